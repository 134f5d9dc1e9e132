"""quibra: a small command-line host for the `_quibra_core` ranking engine.

It does with a real source tree what a retrieval host does: it walks the
files, extracts symbols, builds ranked channels for a query, fuses them,
packs the best into a token budget, scores hotspots from git churn and keeps a
manifest of content hashes for staleness checks. All scoring happens in the
engine; this package only gathers the inputs and prints the results.
"""

# The command ships in one distribution with the engine, so it carries the engine's version.
from _quibra_core import __version__

from quibra.api import Index, QuibraError, Report
from quibra.languages import LANGUAGES

__all__ = ["LANGUAGES", "Index", "QuibraError", "Report", "__version__"]
