"""The `quibra` command: argument parsing, output and errors.

Every command builds a plain report (a dict) and then prints it either as a
table for people or, with --json, as JSON for scripts; the two views come
from the same report, so they cannot disagree. Failures the user can act on
(a missing folder, a bad option, a broken manifest) end in one line on
standard error and a non-zero exit status, never in a traceback.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

from quibra import __version__
from quibra.hotspots import DEFAULT_SINCE, Window, hotspots, parse_since
from quibra.manifest import ManifestError, hash_tree
from quibra.rank import CHANNELS, rank
from quibra.table import format_table

DEFAULT_BUDGET = 4000
EXIT_FAILURE = 1
EXIT_USAGE = 2


class UsageError(Exception):
    """A command line that names something that does not exist or makes no sense."""


class _Parser(argparse.ArgumentParser):
    """argparse with a one-line error: the usage block it normally prints
    first buries the message a user needs; --help still shows the usage."""

    def error(self, message: str):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


# The engine counts tokens, complexities and list lengths in unsigned 64 bits.
LARGEST_COUNT = 2**64 - 1


def _count(minimum: int):
    """An argparse type for a whole number from `minimum` to LARGEST_COUNT."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
        if not minimum <= value <= LARGEST_COUNT:
            raise argparse.ArgumentTypeError(f"must be from {minimum} to {LARGEST_COUNT}, not {value}")
        return value

    return parse


def _since(text: str) -> Window:
    try:
        return parse_since(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quibra", description="Rank, score and fingerprint the code of a Python source tree."
    )
    parser.add_argument("--version", action="version", version=f"quibra {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "path", nargs="?", default=".", metavar="PATH", help="folder to look at (default: the current one)"
    )
    common.add_argument("--json", action="store_true", help="print the report as JSON")

    ranking = commands.add_parser(
        "rank", parents=[common], help="the symbols that best answer a query, within a token budget"
    )
    ranking.add_argument("--query", "-q", required=True, help="what to look for, in words")
    ranking.add_argument(
        "--budget",
        "-b",
        type=_count(1),
        default=DEFAULT_BUDGET,
        help=f"token budget (default {DEFAULT_BUDGET})",
    )

    spots = commands.add_parser("hotspots", parents=[common], help="complex functions in often-changed files")
    spots.add_argument(
        "--since",
        type=_since,
        default=DEFAULT_SINCE,
        help="churn window: days, a span such as '6 weeks', or a date (default 90 days)",
    )
    spots.add_argument("--top", type=_count(1), default=20, help="how many to list (default 20)")
    spots.add_argument(
        "--min-complexity", type=_count(0), default=2, help="lowest cyclomatic complexity listed (default 2)"
    )

    hashing = commands.add_parser(
        "hash", parents=[common], help="content hashes, and the files changed since the manifest"
    )
    hashing.add_argument(
        "--manifest", "-m", required=True, type=Path, help="manifest file to compare with and update"
    )
    return parser


def _folder(text: str) -> Path:
    path = Path(text)
    if not path.exists():
        raise UsageError(f"path not found: {text}")
    if not path.is_dir():
        raise UsageError(f"not a folder: {text}")
    return path


def _run(args: argparse.Namespace) -> dict:
    root = _folder(args.path)
    if args.command == "rank":
        if not args.query.strip():
            raise UsageError("the query is empty")
        return rank(root, args.query, args.budget)
    if args.command == "hotspots":
        return hotspots(root, args.since, args.top, args.min_complexity)
    return hash_tree(root, args.manifest)


# Widest symbol name a table shows; longer names (test functions) end in "..."
# so the columns that follow stay on screen. JSON carries the full name.
SYMBOL_COLUMN_WIDTH = 40


def _clip(name: str) -> str:
    return name if len(name) <= SYMBOL_COLUMN_WIDTH else name[: SYMBOL_COLUMN_WIDTH - 3] + "..."


def _channel_rank(value: int | None) -> str:
    return "-" if value is None else str(value)


def render_rank(report: dict) -> str:
    rows = [
        [
            str(entry["rank"]),
            _clip(entry["symbol"]),
            f"{entry['file']}:{entry['line']}",
            f"{entry['score']:.4f}",
            f"{entry['adjusted_score']:.4f}",
            *(_channel_rank(entry["channel_ranks"][name]) for name in CHANNELS),
            str(entry["tokens"]),
        ]
        for entry in report["results"]
    ]
    summary = (
        f"{len(rows)} symbols, {report['total_tokens']} of {report['budget']} tokens; "
        f"{report['candidates']} candidates among {report['symbols']} symbols in {report['files']} files"
    )
    if not rows:
        reason = (
            "no candidate fits into the budget" if report["candidates"] else "no symbol matches the query"
        )
        return f"{reason}\n{summary}"
    # Rows come in pick order: by the adjusted score, which damps the fused
    # score of a second or third pick from the same file.
    headers = ["#", "symbol", "file:line", "score", "adjusted", *CHANNELS, "tokens"]
    return format_table(headers, rows, right_aligned={0, 3, 4, 5, 6, 7, 8}) + "\n" + summary


def render_hotspots(report: dict) -> str:
    rows = [
        [
            str(entry["rank"]),
            _clip(entry["name"]),
            f"{entry['file']}:{entry['line']}",
            str(entry["cyclomatic"]),
            str(entry["max_nesting"]),
            str(entry["churn"]),
            f"{entry['hotspot_score']:.4f}",
            entry["assessment"],
        ]
        for entry in report["results"]
    ]
    window = (
        f"churn from git since {report['since']}"
        if report["git"]
        else "no git history here: churn is 0 everywhere"
    )
    summary = f"{len(rows)} hotspots among {report['symbols']} symbols in {report['files']} files; {window}"
    if not rows:
        return f"no function reaches the complexity floor\n{summary}"
    headers = ["#", "symbol", "file:line", "cyclomatic", "nesting", "churn", "score", "assessment"]
    return format_table(headers, rows, right_aligned={0, 3, 4, 5, 6}) + "\n" + summary


def render_hash(report: dict) -> str:
    if report["new_manifest"]:
        return f"manifest written with {report['files']} files: {report['manifest']}"
    lines = [
        f"{label:<8} {path}"
        for label, key in (("changed", "changed"), ("added", "added"), ("removed", "removed"))
        for path in report[key]
    ]
    count = len(lines)
    if not count:
        return f"no changes among {report['files']} files since the manifest was written"
    noun = "change" if count == 1 else "changes"
    return "\n".join(
        [*lines, f"{count} {noun} among {report['files']} files; manifest updated: {report['manifest']}"]
    )


RENDERERS = {"rank": render_rank, "hotspots": render_hotspots, "hash": render_hash}


def _notes(report: dict) -> list[str]:
    """Things the table does not show but a user should know."""
    notes = []
    for key, reason in (
        ("skipped_files", "not valid Python or unreadable"),
        ("unreadable_files", "unreadable"),
    ):
        paths = report.get(key) or []
        if paths:
            shown = ", ".join(paths[:5]) + (", ..." if len(paths) > 5 else "")
            notes.append(f"quibra: skipped {len(paths)} files ({reason}): {shown}")
    return notes


def _print_report(report: dict, as_json: bool) -> None:
    if as_json:
        print(json.dumps(report, indent=2))
    else:
        print(RENDERERS[report["command"]](report))
        for note in _notes(report):
            print(note, file=sys.stderr)
    sys.stdout.flush()


def main(argv: list[str] | None = None) -> int:
    # File names need not be valid UTF-8; print them escaped rather than fail.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):  # absent when a caller swapped in another stream
            stream.reconfigure(errors="backslashreplace")
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("choose a command: rank, hotspots or hash (see quibra --help)")
    prefix = f"quibra {args.command}"
    try:
        _print_report(_run(args), args.json)
    except UsageError as error:
        print(f"{prefix}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader (head, less) went away: nothing left to say. Point stdout
        # at /dev/null so the interpreter's final flush does not complain.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except (ManifestError, OSError) as error:
        print(f"{prefix}: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"{prefix}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # noqa: BLE001 - even a bug gets one line, not a traceback
        print(f"{prefix}: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_FAILURE
    return 0
