"""Hotspots: functions that are both complex and often changed.

Churn is the number of commits in a recent window that touched a symbol's
file; the engine multiplies the symbol's cyclomatic complexity by the
logarithm of that churn. A function whose file did not change in the window
scores 0 however complex it is: complexity alone is not a hotspot, so such
rows are counted rather than listed.
"""

from __future__ import annotations

import datetime
import os
import re
import sqlite3
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

import _quibra_core as engine

from quibra.index import queries

DEFAULT_SINCE = "90 days"

# What --since accepts: a span such as "90 days", "6 weeks", "3 months" or
# "1 year" (a month is 30 days, a year 365), or an ISO date. The window start
# is worked out here rather than by git, which reads nearly any text as some
# date and would turn a typo into a silently wrong window.
_SPAN = re.compile(r"^(\d+)\s*(day|week|month|year)s?(?:\s+ago)?$")
_DAYS_PER_UNIT = {"day": 1, "week": 7, "month": 30, "year": 365}
_EXPECTED = "a date YYYY-MM-DD or a span such as '90 days', '6 weeks' or '3 months'"
# Dates before this one start the window at the beginning of any history.
_EPOCH = datetime.date(1970, 1, 2)


@dataclass(frozen=True)
class Window:
    label: str  # as the report shows it: "90 days ago", "2024-01-01"
    start: int  # Unix time of the window's start


def parse_since(text: str, now: float | None = None) -> Window:
    """The churn window that starts at `text`; ValueError, in one line, when it is no span or date."""
    cleaned = " ".join(text.lower().split())
    span = _SPAN.match(cleaned)
    moment = time.time() if now is None else now
    if span:
        count, unit = int(span.group(1)), span.group(2)
        start = moment - count * _DAYS_PER_UNIT[unit] * 86400
        return Window(label=f"{count} {unit}{'' if count == 1 else 's'} ago", start=int(start))
    # Eight digits are a date in ISO's basic format (20260101); other bare
    # numbers are ambiguous, not a count of days.
    if cleaned.isdigit() and len(cleaned) != 8:
        raise ValueError(f"{text.strip()!r} has no unit: say '{cleaned} days', or give a date YYYY-MM-DD")
    try:
        day = datetime.date.fromisoformat(cleaned)
    except ValueError:
        raise ValueError(f"expected {_EXPECTED}, not {text!r}") from None
    if day > datetime.date.fromtimestamp(moment):
        raise ValueError(f"{day.isoformat()} is in the future: no change is that recent")
    if day < _EPOCH:
        return Window(label=day.isoformat(), start=0)
    midnight = datetime.datetime.combine(day, datetime.time()).astimezone()
    return Window(label=day.isoformat(), start=int(midnight.timestamp()))


def hotspot_rows(
    connection: sqlite3.Connection,
    churn_by_path: dict[str, int],
    min_complexity: int,
    top: int,
    display: Callable[[bytes], tuple[str, str]],
    languages: Iterable[str] | None = None,
    selected: Callable[[str], bool] | None = None,
    tests: bool = False,
) -> tuple[list[dict[str, object]], int]:
    """(the `top` highest-scoring functions and methods of the index, highest
    first; how many more at or above the complexity floor scored 0).

    `selected` keeps only the files whose tree-relative path it accepts. The
    engine sees file ids rather than paths: a file name need not be valid
    UTF-8, and an id is all it needs to look churn up.
    """
    files = {os.fsdecode(raw): file_id for file_id, raw in queries.file_paths(connection)}
    churn = {str(files[path]): count for path, count in churn_by_path.items() if path in files and count}
    rows = queries.hotspot_symbols(connection, min_complexity, languages, tests)
    records = [
        {
            "id": str(row[0]),
            "kind": row[1],
            "file": str(row[2]),
            "cyclomatic": row[3],
            "max_nesting": row[4],
            "param_count": row[5],
        }
        for row in rows
        if selected is None or selected(os.fsdecode(row[9]))
    ]
    # ln(churn + 1) * cyclomatic is 0 exactly when either factor is.
    scoring = [record for record in records if record["cyclomatic"] and record["file"] in churn]
    by_id = {row[0]: row for row in rows}
    scored = engine.compute_hotspots(scoring, churn, min_complexity, top)
    results: list[dict[str, object]] = []
    for position, entry in enumerate(scored, start=1):
        row = by_id[int(str(entry["symbol_id"]))]
        path, shown = display(row[9])
        results.append(
            {
                "rank": position,
                "symbol_id": f"{path}:{row[6]}",
                "name": row[7],
                "kind": row[1],
                "language": row[10],
                "path": path,
                "file": shown,
                "line": row[8],
                "cyclomatic": entry["cyclomatic"],
                "max_nesting": entry["max_nesting"],
                "param_count": entry["param_count"],
                "churn": entry["churn"],
                "hotspot_score": entry["hotspot_score"],
                "assessment": entry["assessment"],
            }
        )
    return results, len(records) - len(scoring)
