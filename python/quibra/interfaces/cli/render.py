"""What the `quibra` command prints: a report as text.

Each command's report becomes a table for people (`render_index`,
`render_rank`, `render_hotspots`, `render_map`, `render_hash`,
`render_refs`), or JSON with
--json, or with `rank --context` the packed context itself. Results go to
standard output; notes (skipped files, what git said) to standard error,
each on one line that names a file as a terminal can show it.
"""

from __future__ import annotations

import argparse
import json
import re
import sys
import textwrap
from typing import Any

from quibra.interfaces.api import Report
from quibra.interfaces.table import (
    BOLD,
    MAGENTA,
    RED,
    YELLOW,
    Column,
    Screen,
    cut_middle,
    cut_start,
    format_table,
    screen_for,
)
from quibra.ranking.rank import CHANNELS
from quibra.tree.text import printable


def _place(entry: dict[str, Any]) -> str:
    return f"{printable(entry['file'])}:{entry['line']}"


def _channel_rank(value: int | None) -> str:
    return "-" if value is None else str(value)


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _tree_summary(report: Report) -> str:
    return f"{_plural(report['symbols'], 'symbol')} in {_plural(report['files'], 'file')}"


def _wrapped(text: str, screen: Screen) -> str:
    """A summary line broken between words to fit the screen, rather than by the terminal mid-word."""
    if screen.width is None or len(text) <= screen.width:
        return text
    return textwrap.fill(text, screen.width, break_long_words=False, break_on_hyphens=False)


def render_index(report: Report, screen: Screen) -> str:
    refreshed = report["refresh"]
    lines = [
        _wrapped(
            f"{_tree_summary(report)}; {refreshed['added']} added, {refreshed['changed']} changed,"
            f" {refreshed['removed']} removed in {refreshed['seconds']:.2f} s",
            screen,
        )
    ]
    for language, counts in report["languages"].items():
        lines.append(f"  {language}: {_plural(counts['symbols'], 'symbol')} in {_plural(counts['files'], 'file')}")
    lines.append(f"index: {report['index']}")
    return "\n".join(lines)


def _rank_columns() -> list[Column]:
    return [
        Column("#", numeric=True),
        Column("symbol", cut=cut_middle, narrowest=16, style=lambda _: BOLD),
        Column("file:line", cut=cut_start, narrowest=16, style=lambda _: MAGENTA),
        # Rows come in pick order: by the adjusted score, which damps the
        # fused score of a second or third pick from the same file; so a
        # narrow table keeps that one.
        Column("score", numeric=True, drop=1),
        Column("adjusted", numeric=True),
        *(Column(name, numeric=True, drop=2) for name in CHANNELS),
        Column("tokens", numeric=True),
    ]


def render_rank(report: Report, screen: Screen) -> str:
    rows = [
        [
            str(entry["rank"]),
            entry["symbol"],
            _place(entry),
            f"{entry['score']:.4f}",
            f"{entry['adjusted_score']:.4f}",
            *(_channel_rank(entry["channel_ranks"][name]) for name in CHANNELS),
            str(entry["tokens"]),
        ]
        for entry in report["results"]
    ]
    summary = _wrapped(_rank_summary(report), screen)
    if not rows:
        return f"{_nothing_ranked(report)}\n{summary}"
    return format_table(_rank_columns(), rows, screen) + "\n" + summary


def render_rank_files(report: Report, screen: Screen) -> str:
    rows = [
        [
            str(entry["rank"]),
            entry["file"],
            f"{entry['score']:.4f}",
            str(entry["matches"]),
            ", ".join(f"{symbol['symbol']}:{symbol['line']}" for symbol in entry["symbols"]),
        ]
        for entry in report["results"]
    ]
    summary = _wrapped(
        f"{_plural(len(rows), 'file')}; {_plural(report['candidates'], 'candidate')} among {_tree_summary(report)}",
        screen,
    )
    if not rows:
        return f"no symbol matches the query\n{summary}"
    columns = [
        Column("#", numeric=True),
        Column("file", cut=cut_start, narrowest=16, style=lambda _: MAGENTA),
        Column("score", numeric=True, drop=1),
        Column("matches", numeric=True, drop=2),
        Column("best symbols", cut=cut_middle, narrowest=16),
    ]
    return format_table(columns, rows, screen) + "\n" + summary


def render_status(report: Report, screen: Screen) -> str:
    ratio = report["bytes_per_source_byte"]
    lines = [
        f"index: {report['index']}",
        f"holds: {_plural(report['files'], 'file')}, {_plural(report['symbols'], 'symbol')},"
        f" {_plural(report['references'], 'reference')}",
        f"size: {report['index_bytes']:,} bytes"
        + (f" ({ratio} per byte of source)" if ratio is not None else ""),
        f"last change taken in: {report['updated'] or 'never'}",
    ]
    if report["building"]:
        lines.append("building: a first build is under way, or was stopped before its end (the next refresh ends it)")
    if report["importance_pending"]:
        lines.append("importance: from before the last edit, being ranked again")
    if report["fresh"]:
        lines.append("fresh: nothing to read again")
    else:
        lines.append(f"pending: {report['to_read']} to read again, {report['removed']} removed")
        lines += [f"  {path}" for path in report["pending"]]
        more = report["to_read"] + report["removed"] - len(report["pending"])
        if more > 0:
            lines.append(f"  and {more} more")
    watcher = report["watcher"]
    if watcher is None:
        lines.append("watcher: none runs (a running quibra mcp follows the tree's events)")
    else:
        lines.append(f"watcher: quibra mcp, process {watcher['pid']}, since {watcher['started']}: {watcher['state']}")
    return "\n".join(_wrapped(terminal_safe(line), screen) for line in lines)


def _rank_summary(report: Report) -> str:
    return (
        f"{_plural(len(report['results']), 'symbol')}, {report['total_tokens']} of {report['budget']} tokens; "
        f"{_plural(report['candidates'], 'candidate')} among {_tree_summary(report)}"
    )


def _nothing_ranked(report: Report) -> str:
    return "no candidate fits into the budget" if report["candidates"] else "no symbol matches the query"


def terminal_safe(text: str) -> str:
    """`text` with what a terminal would obey rather than show made visible:
    control characters other than newline and tab (an escape sequence in a
    source file could rewrite the screen or the window title) and the
    bidirectional overrides that make code read other than it runs."""
    return re.sub(
        "[\x00-\x08\x0b-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]",
        lambda found: repr(found.group())[1:-1] if found.group() < "\u0100" else f"\\u{ord(found.group()):04x}",
        text,
    )


def render_context(report: Report) -> str:
    """The packed context itself: the text the budget counted, nothing else."""
    return "".join(entry["context"] for entry in report["results"] if entry["context"] is not None)


def _assessment_style(text: str) -> str:
    return {"high": RED, "medium": YELLOW}.get(text, "")


def render_hotspots(report: Report, screen: Screen) -> str:
    rows = [
        [
            str(entry["rank"]),
            entry["name"],
            _place(entry),
            str(entry["cyclomatic"]),
            str(entry["max_nesting"]),
            str(entry["churn"]),
            f"{entry['hotspot_score']:.4f}",
            entry["assessment"],
        ]
        for entry in report["results"]
    ]
    left_out = report["zero_score"]
    summary = f"{_plural(len(rows), 'hotspot')} among {_tree_summary(report)}; churn from git since {report['since']}"
    if left_out:
        summary += f"; {_plural(left_out, 'function')} unchanged since then left out"
    summary = _wrapped(summary, screen)
    if not rows:
        reason = (
            f"no function changed since {report['since']}" if left_out else "no function reaches the complexity floor"
        )
        return f"{reason}\n{summary}"
    columns = [
        Column("#", numeric=True),
        Column("symbol", cut=cut_middle, narrowest=16, style=lambda _: BOLD),
        Column("file:line", cut=cut_start, narrowest=16, style=lambda _: MAGENTA),
        Column("cyclomatic", numeric=True),
        Column("nesting", numeric=True, drop=2),
        Column("churn", numeric=True),
        Column("score", numeric=True),
        Column("assessment", drop=1, style=_assessment_style),
    ]
    return format_table(columns, rows, screen) + "\n" + summary


def render_map(report: Report, screen: Screen) -> str:
    # The map alone, as the budget counted it: no table, no wrapping.
    return str(report["map"]).removesuffix("\n") or "no symbol to show"


def _weight(entry: dict[str, Any]) -> str:
    return "" if entry["weight"] >= 1 else f"  (weight {entry['weight']:.2f})"


def _calls(report: Report, key: str, relation: str) -> list[str]:
    entries = report.get(key)
    if entries is None:
        return []
    lines = [f"{key}:" if entries else f"{key}: none"]
    for entry in entries:
        lines.append(
            f"{'  ' * entry['depth']}{entry['symbol']}  {_place(entry)}  {relation} {entry[relation.replace(' ', '_')]}"
            f"{_weight(entry)}"
        )
    return lines


def render_refs(report: Report, screen: Screen) -> str:
    """The definitions, then the references by file, each under its enclosing symbol; then the calls."""
    definitions = report["definitions"]
    if not definitions:
        lines = [f"no definition of {report['name']} in the index"]
    else:
        lines = [f"{entry['symbol']} ({entry['kind']})  {_place(entry)}" for entry in definitions]
    several = len({entry["target"] for entry in report["references"]}) > 1
    current = None
    for entry in report["references"]:
        if entry["file"] != current:
            current = entry["file"]
            lines.append(printable(current))
        target = f" -> {entry['target']}" if several else ""
        enclosing = str(entry["symbol"] or "(file level)").removeprefix(f"{entry['path']}:")
        lines.append(f"  {entry['line']:>6}  {enclosing}  {entry['kind']}{target}{_weight(entry)}")
    lines += _calls(report, "callers", "calls")
    lines += _calls(report, "callees", "called by")
    files = len({entry["file"] for entry in report["references"]})
    summary = f"{_plural(len(report['references']), 'reference')} in {_plural(files, 'file')}"
    if report["unresolved"]:
        summary += f"; {report['unresolved']} more use the name but were resolved to no definition"
    lines.append(_wrapped(summary, screen))
    return "\n".join(lines)


def render_hash(report: Report, screen: Screen) -> str:
    files = _plural(report["files"], "file")
    if report["new_manifest"]:
        return _wrapped(f"manifest written with {files}: {report['manifest']}", screen)
    prefix = report["file_prefix"]
    lines = [
        f"{key:<8} {printable(prefix + path)}" for key in ("changed", "added", "removed") for path in report[key]
    ]
    if not lines:
        return f"no changes among {files} since the manifest was written"
    summary = f"{_plural(len(lines), 'change')} among {files}; manifest updated: {report['manifest']}"
    return "\n".join([*lines, _wrapped(summary, screen)])


# ---------------------------------------------------------------------------
# Notes on standard error


def _listed(count: int, what: str, names: list[str], verbose: bool) -> list[str]:
    if not count:
        return []
    if verbose:
        return [f"quibra: {what}: {name}" for name in names]
    return [f"quibra: {_plural(count, 'file')} {what} (--verbose names them)"]


def _notes(report: Report, args: argparse.Namespace) -> list[str]:
    """What the results do not show but a user should know."""
    notes = [f"quibra: {warning}" for warning in report.get("warnings", [])]
    for stale in report.get("stale_files", []):
        notes.append(
            f"quibra: {printable(stale['file'])} changed since the index was refreshed: its symbols are left out"
        )
    if args.json:
        return notes  # the rest is in the report itself
    if args.command == "rank" and args.context:
        notes.append(f"quibra: {_rank_summary(report)}")
    skipped = report.get("skipped", [])
    notes += _listed(
        len(skipped),
        "skipped",
        [f"{printable(entry['file'])} ({entry['reason']})" for entry in skipped],
        args.verbose,
    )
    if args.verbose:
        notes += [
            f"quibra: read with invalid UTF-8 replaced: {printable(entry['file'])}"
            for entry in report.get("replaced", [])
        ]
    unreadable = report.get("unreadable_files", [])
    notes += _listed(
        len(unreadable),
        "unreadable, not hashed",
        [printable(report.get("file_prefix", "") + path) for path in unreadable],
        args.verbose,
    )
    return notes


# ---------------------------------------------------------------------------
# Printing a report


def print_report(report: Report, args: argparse.Namespace) -> None:
    """The report on standard output as --json, --context or a table asked; then the notes on standard error."""
    if args.json:
        print(json.dumps(report, indent=2))
    elif args.command == "rank" and args.context:
        # Written as it was counted: a file name that is not UTF-8 goes out
        # as its own bytes, one character each, not as a longer escape.
        text = render_context(report)
        if sys.stdout.isatty():
            text = terminal_safe(text)
        sys.stdout.flush()
        sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))
    else:
        renderers = {
            "index": render_index,
            "rank": render_rank,
            "rank_files": render_rank_files,
            "status": render_status,
            "hotspots": render_hotspots,
            "map": render_map,
            "hash": render_hash,
            "refs": render_refs,
        }
        kind = "rank_files" if args.command == "rank" and args.files else args.command
        print(renderers[kind](report, screen_for(sys.stdout, args.color)))
    sys.stdout.flush()
    if not args.quiet:
        notes_screen = screen_for(sys.stderr, "never")
        for note in _notes(report, args):
            print(_wrapped(note, notes_screen), file=sys.stderr)
