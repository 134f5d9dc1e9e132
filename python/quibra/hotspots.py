"""`quibra hotspots`: functions that are both complex and often changed.

Churn is the number of commits in a recent window that touched a symbol's
file; the engine multiplies the symbol's cyclomatic complexity by the
logarithm of that churn. Outside a git repository every churn is 0, so every
score is 0: complexity alone is not a hotspot.
"""

from __future__ import annotations

import datetime
import re
import time
from dataclasses import dataclass
from pathlib import Path

import _quibra_core as engine

from quibra import git
from quibra.scan import scan_python_files

DEFAULT_SINCE = "90 days"

# What --since accepts: a count of days, a span such as "6 weeks" or
# "1 year", or a date. The window start is worked out here rather than by
# git, which reads nearly any text as some date and would turn a typo (or a
# year it cannot represent) into a silently wrong window.
_SPAN = re.compile(r"^(\d+)\s*(day|week|month|year)?s?(?:\s+ago)?$")
_DAYS_PER_UNIT = {"day": 1, "week": 7, "month": 30, "year": 365}


@dataclass(frozen=True)
class Window:
    label: str  # as the report shows it: "90 days ago", "2024-01-01"
    start: int  # Unix time of the window's start


def parse_since(text: str, now: float | None = None) -> Window:
    """The churn window that starts at `text`; ValueError when it is no span or date."""
    cleaned = text.strip().lower()
    span = _SPAN.match(cleaned)
    if span:
        count, unit = int(span.group(1)), span.group(2) or "day"
        start = (time.time() if now is None else now) - count * _DAYS_PER_UNIT[unit] * 86400
        return Window(label=f"{count} {unit}{'' if count == 1 else 's'} ago", start=int(start))
    try:
        day = datetime.date.fromisoformat(cleaned)
    except ValueError:
        raise ValueError(
            f"expected a number of days, a span such as '6 weeks', or a date YYYY-MM-DD, not {text!r}"
        ) from None
    midnight = datetime.datetime.combine(day, datetime.time()).astimezone()
    return Window(label=day.isoformat(), start=int(midnight.timestamp()))


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


def hotspots(root: Path, since: Window, top: int, min_complexity: int) -> dict:
    """The report: the `top` highest-scoring functions and methods, highest first."""
    scan = scan_python_files(root)
    churn = git.commit_counts(scan.tree.root, since.start)
    in_git = churn is not None
    records = [_symbol_record(symbol) for symbol in scan.symbols]
    scored = engine.compute_hotspots(records, churn or {}, min_complexity, top)
    results = [{"rank": position, **entry} for position, entry in enumerate(scored, start=1)]
    return {
        "command": "hotspots",
        "root": str(scan.tree.root),
        "since": since.label,
        "git": in_git,
        "files": len(scan.tree.files),
        "symbols": len(records),
        "skipped_files": scan.skipped,
        "results": results,
    }
