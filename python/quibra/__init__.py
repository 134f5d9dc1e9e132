"""quibra: a small command-line host for the `_quibra_core` ranking engine.

It does with a real source tree what a retrieval host does: it walks the
files, extracts symbols, builds ranked channels for a query, fuses them,
packs the best into a token budget, scores hotspots from git churn and keeps a
manifest of content hashes for staleness checks. All scoring happens in the
engine; this package only gathers the inputs and prints the results.
"""

from __future__ import annotations

# The command ships in one distribution with the engine, so it carries the engine's version.
from _quibra_core import __version__

# Not typing.TYPE_CHECKING: importing typing is most of what this module would
# cost, and the command answers Ctrl-C in one line only once it is loaded.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from quibra.interfaces.api import Index, QuibraError, Report
    from quibra.tree.languages import LANGUAGES

__all__ = ["LANGUAGES", "Index", "QuibraError", "Report", "__version__"]


def __getattr__(name: str) -> object:
    # The API loads on first use: the command imports it only once it can
    # answer Ctrl-C with one line, and `quibra --help` never needs it.
    if name in ("Index", "QuibraError", "Report"):
        from quibra.interfaces import api

        return getattr(api, name)
    if name == "LANGUAGES":
        from quibra.tree.languages import LANGUAGES

        return LANGUAGES
    raise AttributeError(f"module 'quibra' has no attribute {name!r}")
