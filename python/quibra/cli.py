"""The `quibra` command: argument parsing, output and errors, over `quibra.Index`.

Every command builds a plain report (a dict) through the Python API and
then prints it either as a table for people or, with --json, as JSON for
scripts; the two views come from the same report, so they cannot disagree.
Failures the user can act on (a missing folder, a bad option, an index that
is not quibra's) end in one line on standard error and a non-zero exit
status, never in a traceback.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path
from typing import Any

from quibra import __version__
from quibra.api import DEFAULT_BUDGET, DEFAULT_MAP_BUDGET, Index, QuibraError, Report
from quibra.cluster import ClusterUnavailable
from quibra.hotspots import DEFAULT_SINCE, Window, parse_since
from quibra.languages import LANGUAGES
from quibra.manifest import ManifestError, hash_tree
from quibra.rank import CHANNELS
from quibra.table import format_table

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A command line that names something that does not exist or makes no sense."""


class _Parser(argparse.ArgumentParser):
    """argparse with a one-line error: the usage block it normally prints
    first buries the message a user needs; --help still shows the usage."""

    def error(self, message: str) -> Any:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


# The engine counts tokens, complexities and list lengths in unsigned 64 bits.
LARGEST_COUNT = 2**64 - 1


def _count(minimum: int, maximum: int = LARGEST_COUNT) -> Any:
    """An argparse type for a whole number from `minimum` to `maximum`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
        if not minimum <= value <= maximum:
            raise argparse.ArgumentTypeError(f"must be from {minimum} to {maximum}, not {value}")
        return value

    return parse


def _since(text: str) -> Window:
    try:
        return parse_since(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _global_options(parser: argparse.ArgumentParser, suppress: bool) -> None:
    """Options that work before or after the command name. On the command's
    own parser they default to SUPPRESS, so they do not overwrite a value
    given before the command."""

    def default(value: Any) -> Any:
        return argparse.SUPPRESS if suppress else value

    parser.add_argument("--json", action="store_true", default=default(False), help="print the report as JSON")
    parser.add_argument(
        "--index",
        metavar="FILE",
        type=Path,
        default=default(None),
        help="index file (default: PATH/.quibra/index.sqlite, or the user's cache folder)",
    )
    parser.add_argument(
        "--jobs",
        "-j",
        metavar="N",
        type=_count(1, 1024),
        default=default(None),
        help="worker processes for a large refresh (default: the number of CPUs)",
    )
    parser.add_argument(
        "--lang",
        metavar="LANG[,LANG]",
        action="append",
        default=default(None),
        help=f"only these languages ({', '.join(sorted(LANGUAGES))}); repeatable",
    )
    parser.add_argument(
        "--cluster",
        metavar="ADDRESS",
        default=default(None),
        help="the address of a Dask scheduler to parse files on (needs quibra-core[dask])",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quibra", description="Find the code that answers a question, and fit it into a budget.")
    parser.add_argument("--version", action="version", version=f"quibra {__version__}")
    _global_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument(
            "path", nargs="?", default=".", metavar="PATH", help="folder to look at (default: the current one)"
        )
        _global_options(sub, suppress=True)
        return sub

    def no_refresh(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--no-refresh", action="store_true", help="answer from the index as it stands, without refreshing it"
        )

    command("index", "build the index of a tree, or bring it up to date")

    ranking = command("rank", "the symbols that best answer a query, within a token budget")
    ranking.add_argument("--query", "-q", required=True, help="what to look for, in words")
    ranking.add_argument(
        "--budget",
        "-b",
        type=_count(1),
        default=DEFAULT_BUDGET,
        help=f"token budget (default {DEFAULT_BUDGET})",
    )
    no_refresh(ranking)

    spots = command("hotspots", "complex functions in often-changed files")
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
    no_refresh(spots)

    mapping = command("map", "the most central symbols of the tree as an outline, within a token budget")
    mapping.add_argument(
        "--budget",
        "-b",
        type=_count(1),
        default=DEFAULT_MAP_BUDGET,
        help=f"token budget of the printed map (default {DEFAULT_MAP_BUDGET})",
    )
    mapping.add_argument(
        "--focus",
        metavar="FILE",
        nargs="+",
        action="extend",
        default=[],
        help="files being edited: they and the files they import or are imported by come first",
    )
    no_refresh(mapping)

    command("mcp", "serve the index to coding agents: an MCP server on standard input and output")

    hashing = command("hash", "content hashes, and the files changed since the manifest")
    hashing.add_argument(
        "--manifest", "-m", required=True, type=Path, help="manifest file to compare with and update"
    )
    return parser


def _open(args: argparse.Namespace) -> Index:
    return Index(
        args.path,
        index_file=args.index,
        jobs=args.jobs,
        cluster=args.cluster,
        display_base=Path.cwd(),
        progress=not args.json,
    )


def _folder(text: str) -> Path:
    path = Path(text)
    if not path.exists():
        raise UsageError(f"path not found: {text}")
    if not path.is_dir():
        raise UsageError(f"not a folder: {text}")
    return path


def _serve(args: argparse.Namespace, languages: list[str] | None) -> None:
    try:
        from quibra.mcp_server import serve
    except ImportError as error:
        if (error.name or "").partition(".")[0] != "mcp":
            raise
        raise QuibraError("the MCP server needs the mcp package: pip install 'quibra-core[mcp]'") from None
    # Standard output carries the protocol: no progress bar, paths relative to the tree.
    with Index(args.path, index_file=args.index, jobs=args.jobs, cluster=args.cluster) as index:
        serve(index, languages)


def _run(args: argparse.Namespace) -> Report | None:
    root = _folder(args.path)
    if args.command == "hash":
        return hash_tree(root, args.manifest)
    languages = [name.strip() for group in args.lang for name in group.split(",")] if args.lang else None
    if args.command == "mcp":
        _serve(args, languages)
        return None
    with _open(args) as index:
        if args.command == "index":
            return index.refresh()
        if args.command == "map":
            focus = [os.path.abspath(path) for path in args.focus]
            return index.repo_map(args.budget, focus, languages=languages, refresh=not args.no_refresh)
        if args.command == "rank":
            return index.rank(args.query, args.budget, languages=languages, refresh=not args.no_refresh)
        return index.hotspots(
            args.since, args.top, args.min_complexity, languages=languages, refresh=not args.no_refresh
        )


# Widest symbol name a table shows; longer names (test functions) end in "..."
# so the columns that follow stay on screen. JSON carries the full name.
SYMBOL_COLUMN_WIDTH = 40


def _clip(name: str) -> str:
    return name if len(name) <= SYMBOL_COLUMN_WIDTH else name[: SYMBOL_COLUMN_WIDTH - 3] + "..."


def _printable(path: str) -> str:
    """A file name as a table can show it on one line: bytes that are not
    UTF-8 as \\xNN, control characters (a newline in a name) escaped."""
    text = path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in text)


def _place(entry: dict[str, Any]) -> str:
    return f"{_printable(entry['file'])}:{entry['line']}"


def _channel_rank(value: int | None) -> str:
    return "-" if value is None else str(value)


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _tree_summary(report: Report) -> str:
    return f"{_plural(report['symbols'], 'symbol')} in {_plural(report['files'], 'file')}"


def render_index(report: Report) -> str:
    refreshed = report["refresh"]
    lines = [
        f"{_tree_summary(report)}; {refreshed['added']} added, {refreshed['changed']} changed,"
        f" {refreshed['removed']} removed in {refreshed['seconds']:.2f} s"
    ]
    for language, counts in report["languages"].items():
        lines.append(f"  {language}: {_plural(counts['symbols'], 'symbol')} in {_plural(counts['files'], 'file')}")
    lines.append(f"index: {report['index']}")
    return "\n".join(lines)


def render_rank(report: Report) -> str:
    rows = [
        [
            str(entry["rank"]),
            _clip(entry["symbol"]),
            _place(entry),
            f"{entry['score']:.4f}",
            f"{entry['adjusted_score']:.4f}",
            *(_channel_rank(entry["channel_ranks"][name]) for name in CHANNELS),
            str(entry["tokens"]),
        ]
        for entry in report["results"]
    ]
    summary = (
        f"{_plural(len(rows), 'symbol')}, {report['total_tokens']} of {report['budget']} tokens; "
        f"{report['candidates']} candidates among {_tree_summary(report)}"
    )
    if not rows:
        reason = "no candidate fits into the budget" if report["candidates"] else "no symbol matches the query"
        return f"{reason}\n{summary}"
    # Rows come in pick order: by the adjusted score, which damps the fused
    # score of a second or third pick from the same file.
    headers = ["#", "symbol", "file:line", "score", "adjusted", *CHANNELS, "tokens"]
    return format_table(headers, rows, right_aligned={0, 3, 4, 5, 6, 7, 8}) + "\n" + summary


def render_hotspots(report: Report) -> str:
    rows = [
        [
            str(entry["rank"]),
            _clip(entry["name"]),
            _place(entry),
            str(entry["cyclomatic"]),
            str(entry["max_nesting"]),
            str(entry["churn"]),
            f"{entry['hotspot_score']:.4f}",
            entry["assessment"],
        ]
        for entry in report["results"]
    ]
    window = (
        f"churn from git since {report['since']}" if report["git"] else "no git history here: churn is 0 everywhere"
    )
    summary = f"{_plural(len(rows), 'hotspot')} among {_tree_summary(report)}; {window}"
    if not rows:
        return f"no function reaches the complexity floor\n{summary}"
    headers = ["#", "symbol", "file:line", "cyclomatic", "nesting", "churn", "score", "assessment"]
    return format_table(headers, rows, right_aligned={0, 3, 4, 5, 6}) + "\n" + summary


def render_hash(report: Report) -> str:
    if report["new_manifest"]:
        return f"manifest written with {_plural(report['files'], 'file')}: {report['manifest']}"
    lines = [f"{key:<8} {path}" for key in ("changed", "added", "removed") for path in report[key]]
    count = len(lines)
    if not count:
        return f"no changes among {_plural(report['files'], 'file')} since the manifest was written"
    return "\n".join(
        [*lines, f"{_plural(count, 'change')} among {_plural(report['files'], 'file')}; manifest updated: {report['manifest']}"]
    )


def render_map(report: Report) -> str:
    # The map alone, so that what is printed is what the budget counted.
    return report["map"].removesuffix("\n") or "no symbol to show"


RENDERERS = {
    "index": render_index,
    "rank": render_rank,
    "hotspots": render_hotspots,
    "map": render_map,
    "hash": render_hash,
}


def _notes(report: Report) -> list[str]:
    """Things the table does not show but a user should know."""
    notes = []
    skipped = report.get("skipped") or []
    if skipped:
        shown = ", ".join(f"{_printable(entry['path'])} ({entry['reason']})" for entry in skipped[:5])
        more = ", ..." if len(skipped) > 5 else ""
        notes.append(f"quibra: skipped {_plural(len(skipped), 'file')}: {shown}{more}")
    unreadable = report.get("unreadable_files") or []
    if unreadable:
        shown = ", ".join(unreadable[:5]) + (", ..." if len(unreadable) > 5 else "")
        notes.append(f"quibra: skipped {_plural(len(unreadable), 'file')} (unreadable): {shown}")
    return notes


def _print_report(report: Report, as_json: bool) -> None:
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
        parser.error("choose a command: index, rank, hotspots, map, mcp or hash (see quibra --help)")
    prefix = f"quibra {args.command}"
    try:
        report = _run(args)
        if report is not None:
            _print_report(report, args.json)
    except (UsageError, QuibraError, ClusterUnavailable) as error:
        print(f"{prefix}: error: {error}", file=sys.stderr)
        return EXIT_USAGE if isinstance(error, UsageError) else EXIT_FAILURE
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
        return EXIT_INTERRUPTED
    except Exception as error:  # noqa: BLE001 - even a bug gets one line, not a traceback
        print(f"{prefix}: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_FAILURE
    return 0
