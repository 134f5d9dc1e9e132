"""`quibra hotspots`: functions that are both complex and often changed.

Churn is the number of commits in a recent window that touched a symbol's
file; the engine multiplies the symbol's cyclomatic complexity by the
logarithm of that churn. Outside a git repository every churn is 0, so every
score is 0: complexity alone is not a hotspot.
"""

from __future__ import annotations

import re
from pathlib import Path

import _quibra_core as engine

from quibra import git
from quibra.scan import scan_python_files

DEFAULT_SINCE = "90 days ago"

# What --since accepts: a count of days, a span such as "6 weeks" or
# "1 year", or a date. git itself accepts nearly any text and silently reads
# a typo as "now", which would report zero churn without a word.
_SPAN = re.compile(r"^(\d+)\s*(?:(day|week|month|year)s?)?(?:\s+ago)?$")
_DATE = re.compile(r"^\d{4}-\d{2}-\d{2}$")


def parse_since(text: str) -> str:
    """The window start in a form git reads exactly; ValueError for anything else."""
    text = text.strip().lower()
    span = _SPAN.match(text)
    if span:
        count, unit = span.group(1), span.group(2) or "day"
        return f"{count} {unit}s ago"
    if _DATE.match(text):
        return text
    raise ValueError(f"expected a number of days, a span such as '6 weeks', or a date YYYY-MM-DD, not {text!r}")


def _symbol_record(symbol) -> dict:
    return {
        "id": symbol.id,
        "name": symbol.qualname,
        "kind": symbol.kind,
        "file": symbol.file,
        "line": symbol.line,
        "cyclomatic": symbol.cyclomatic,
        "max_nesting": symbol.max_nesting,
        "param_count": symbol.param_count,
    }


def hotspots(root: Path, since: str, top: int, min_complexity: int) -> dict:
    """The report: the `top` highest-scoring functions and methods, highest first.

    `since` is the window start as `parse_since` returns it.
    """
    scan = scan_python_files(root)
    churn = git.commit_counts(scan.tree.root, since)
    in_git = churn is not None
    records = [_symbol_record(symbol) for symbol in scan.symbols]
    scored = engine.compute_hotspots(records, churn or {}, min_complexity, top)
    results = [{"rank": position, **entry} for position, entry in enumerate(scored, start=1)]
    return {
        "command": "hotspots",
        "root": str(scan.tree.root),
        "since": since,
        "git": in_git,
        "files": len(scan.tree.files),
        "symbols": len(records),
        "skipped_files": scan.skipped,
        "results": results,
    }
