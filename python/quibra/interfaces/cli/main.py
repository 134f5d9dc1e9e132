"""The `quibra` command: argument parsing, output and errors, over `quibra.Index`.

Every command builds a plain report (a dict) through the Python API and
then prints it either as a table for people or, with --json, as JSON for
scripts; the two views come from the same report, so they cannot disagree.
Results go to standard output, notes (skipped files, what git said) to
standard error. Failures the user can act on (a missing folder, a bad
option, an index that is not quibra's) end in one line on standard error
and a non-zero exit status, never in a traceback; so does Ctrl-C, from the
first line of `main` on: the API, the parser and everything they load are
imported inside it, so the moments before are only the interpreter's start.
"""

from __future__ import annotations

import os
import sys

# Only what a Ctrl-C before `main` could interrupt loads at the top: not
# even argparse (it brings re) or typing (see quibra/__init__.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from pathlib import Path
    from typing import Any

    from quibra.interfaces.api import Report
    from quibra.interfaces.table import Screen
    from quibra.ranking.hotspots import Window

EXIT_FAILURE = 1
EXIT_NOTHING_FOUND = 1  # as grep-like tools: nothing listed is not an error, but scripts can tell
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# The engine counts tokens, complexities and list lengths in unsigned 64 bits.
LARGEST_COUNT = 2**64 - 1


class UsageError(Exception):
    """A command line that names something that does not exist or makes no sense."""


def _parser_class() -> type[argparse.ArgumentParser]:
    import argparse

    class Parser(argparse.ArgumentParser):
        """argparse with a one-line error: the usage block it normally prints
        first buries the message a user needs; --help still shows the usage."""

        def error(self, message: str) -> Any:
            self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")

    return Parser


def _count(minimum: int, maximum: int = LARGEST_COUNT) -> Any:
    """An argparse type for a whole number from `minimum` to `maximum`."""

    def parse(text: str) -> int:
        import argparse

        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
        if not minimum <= value <= maximum:
            raise argparse.ArgumentTypeError(f"must be from {minimum} to {maximum}, not {value}")
        return value

    return parse


def _size(text: str) -> int:
    """A size in bytes: a whole number, or a number with K, M or G (powers of 1024): 500K, 2M, 1.5MiB."""
    import argparse
    import re

    found = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*(?:([kmg])(?:i?b)?|b)?\s*", text, re.IGNORECASE)
    if found is None:
        raise argparse.ArgumentTypeError(f"expected a size such as 1048576, 500K or 2M, not {text!r}")
    scale = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}[(found.group(2) or "").lower()]
    size = int(float(found.group(1)) * scale)
    if size < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte, not {text!r}")
    return size


def _since(text: str) -> Window:
    import argparse

    from quibra.ranking.hotspots import parse_since

    try:
        return parse_since(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


# Options that may be given more than once, before and after the command:
# the command's own parser keeps them apart (dest + "_after") so that
# neither list overwrites the other.
REPEATED_OPTIONS = ("lang", "include", "exclude")


def _global_options(parser: argparse.ArgumentParser, suppress: bool) -> None:
    """Options that work before or after the command name. On the command's
    own parser they default to SUPPRESS, so they do not overwrite a value
    given before the command."""
    import argparse
    from pathlib import Path

    from quibra.tree.languages import LANGUAGES

    def default(value: Any) -> Any:
        return argparse.SUPPRESS if suppress else value

    def repeated(name: str) -> str:
        return f"{name}_after" if suppress else name

    output = parser.add_argument_group("output")
    output.add_argument("--json", action="store_true", default=default(False), help="print the report as JSON")
    output.add_argument(
        "--color",
        choices=("auto", "always", "never"),
        default=default("auto"),
        help="colour the tables: auto (on a terminal, unless NO_COLOR is set), always, never",
    )
    output.add_argument(
        "--quiet", action="store_true", default=default(False), help="no notes on standard error, only errors"
    )
    output.add_argument(
        "--verbose",
        "-v",
        action="store_true",
        default=default(False),
        help="name every skipped file in the notes, not just their number",
    )
    chosen = parser.add_argument_group("which files")
    chosen.add_argument(
        "--include",
        metavar="GLOB",
        action="append",
        dest=repeated("include"),
        default=default(None),
        help="only files matching GLOB (as in .gitignore: 'src/', '*.py', '/lib/**/io*'); repeatable",
    )
    chosen.add_argument(
        "--exclude",
        metavar="GLOB",
        action="append",
        dest=repeated("exclude"),
        default=default(None),
        help="leave out files matching GLOB (as in .gitignore: 'tests/', '*_test.go'); repeatable",
    )
    chosen.add_argument(
        "--lang",
        metavar="LANG[,LANG]",
        action="append",
        dest=repeated("lang"),
        default=default(None),
        help=f"only these languages ({', '.join(sorted(LANGUAGES))}); repeatable",
    )
    index = parser.add_argument_group("the index")
    index.add_argument(
        "--index",
        metavar="FILE",
        type=Path,
        default=default(None),
        help="index file (default: PATH/.quibra/index.sqlite, or the user's cache folder)",
    )
    index.add_argument(
        "--jobs",
        "-j",
        metavar="N",
        type=_count(1, 1024),
        default=default(None),
        help="worker processes for a large refresh (default: the number of CPUs)",
    )
    index.add_argument(
        "--max-file-size",
        metavar="SIZE",
        type=_size,
        default=default(None),
        help="skip files larger than SIZE (bytes, or 500K, 2M) without reading them (default: the size"
        " the index was built with, at first 1M)",
    )
    index.add_argument(
        "--cluster",
        metavar="ADDRESS",
        default=default(None),
        help="the address of a Dask scheduler to parse files on (needs quibra-core[dask])",
    )


TOP_EPILOG = """\
A token is about four characters. Each command takes a folder (default: the
current one), reads its files as git sees them (.gitignore respected), keeps
an index of it up to date, and prints a table, or JSON with --json. Global
options go before or after the command. See quibra COMMAND --help.

examples:
  quibra rank -q "parse http headers"           the symbols that answer a question
  quibra rank -q "retry a request" --context    their source, ready for a model
  quibra hotspots --since "6 months"            complex code that changes often
"""

INDEX_EPILOG = """\
Every other command refreshes the index first, reading again only the files
that changed, so running this one is never required: it builds the index
ahead of time and reports what it holds. The index lives in PATH/.quibra/
(ignored by git), or in the user's cache folder when PATH is not writable.

examples:
  quibra index
  quibra index ~/src/project --jobs 2
"""

RANK_EPILOG = """\
columns:
  #           pick order
  symbol      the function, method or class (Class.method)
  file:line   where it is defined, as reached from the current folder
  score       fused score of the four channels below
  adjusted    the score the packing went by (the fused score, a private name's
              a little lower): the order of the picks
  lexical     rank by BM25 over name, signature, docstring and path ("-": none)
  body        rank by BM25 over the symbol's own code
  identity    rank by how closely the symbol's name spells the query
  structural  rank by the PageRank of its file in the import graph
  tokens      what its block of context costs: the header line, the source and
              a blank line, at about four characters a token
On a narrow terminal the channel columns, then "score", are left out.
Exit status 0 when something is listed, 1 when nothing is, 2 on a usage error.

examples:
  quibra rank -q "parse http headers"
  quibra rank src -q "pack items into a budget" --budget 2000 --exclude tests/
  quibra rank -q "retry a request" --context > prompt.txt
"""

HOTSPOTS_EPILOG = """\
Needs a git repository: churn is the number of commits that touched a file.

columns:
  #           rank by score
  symbol      the function or method (Class.method)
  file:line   where it is defined, as reached from the current folder
  cyclomatic  1 + its branches (if, loops, and/or, except, case arms)
  nesting     the deepest nesting of its blocks
  churn       commits since the start of the window that touched its file
  score       ln(churn + 1) x cyclomatic
  assessment  low, medium (score above 3) or high (above 10)
Functions whose file did not change in the window score 0: they are counted in
the summary, not listed. On a narrow terminal "nesting", then "assessment",
are left out.

examples:
  quibra hotspots
  quibra hotspots --since "6 months" --top 10
  quibra hotspots src --since 2024-01-01 --exclude tests/
"""

MAP_EPILOG = """\
The map shows the most central symbols of the most central files, by the
PageRank of the import graph: each file, then the signature line of each of
its chosen symbols, indented by nesting. Its printed text fits the budget
(about four characters a token). --focus puts the files being edited, and the
files they import or are imported by, first.

examples:
  quibra map --budget 2000
  quibra map --focus src/parser.py --budget 1000 > context.txt
"""

MCP_EPILOG = """\
Serves search_code, repo_map, hotspots, changed_files and symbol_source to a
coding agent over the Model Context Protocol on standard input and output;
every call refreshes the index first. Needs the mcp extra:
pip install 'quibra-core[mcp]'.

example (an agent's MCP configuration):
  {"mcpServers": {"quibra": {"command": "quibra", "args": ["mcp", "/path/to/repo"]}}}
"""

HASH_EPILOG = """\
The manifest maps each file to its content hash; a host keeps one next to its
index and reads again only what changed. Each run lists the files changed,
added and removed since the manifest was written, one per line, then
replaces it in one step. A manifest that is not quibra's is left untouched.
With --exclude or --include, files left out keep their entries unchanged.

examples:
  quibra hash --manifest state.json
  quibra hash src --manifest state.json --exit-code || echo "src changed"
"""


def build_parser() -> argparse.ArgumentParser:
    import argparse
    from pathlib import Path

    from quibra import __version__
    from quibra.interfaces.api import DEFAULT_BUDGET, DEFAULT_MAP_BUDGET
    from quibra.ranking.hotspots import DEFAULT_SINCE

    formatter = argparse.RawDescriptionHelpFormatter
    parser_class = _parser_class()
    parser = parser_class(
        prog="quibra",
        description="Find the code that answers a question, and fit it into a budget of tokens.",
        epilog=TOP_EPILOG,
        formatter_class=formatter,
    )
    parser.add_argument("--version", action="version", version=f"quibra {__version__}")
    _global_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=parser_class)

    def command(name: str, summary: str, description: str, epilog: str) -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = commands.add_parser(
            name, help=summary, description=description, epilog=epilog, formatter_class=formatter
        )
        sub.add_argument(
            "path", nargs="?", default=".", metavar="PATH", help="folder to look at (default: the current one)"
        )
        _global_options(sub, suppress=True)
        return sub

    def no_refresh(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--no-refresh", action="store_true", help="answer from the index as it stands, without refreshing it"
        )

    command(
        "index",
        "build the index of a tree, or bring it up to date",
        "Build the index of the tree at PATH, or bring it up to date; count its files and symbols per language.",
        INDEX_EPILOG,
    )

    ranking = command(
        "rank",
        "the symbols that best answer a query, within a token budget",
        "Rank the functions, methods and classes of the tree for a question in plain words, and pack the best"
        " into a budget of tokens, as a retrieval host fills a model's context.",
        RANK_EPILOG,
    )
    ranking.add_argument("--query", "-q", required=True, help="what to look for, in words")
    ranking.add_argument(
        "--budget",
        "-b",
        type=_count(1),
        default=DEFAULT_BUDGET,
        help=f"token budget, about four characters a token (default {DEFAULT_BUDGET})",
    )
    ranking.add_argument(
        "--context",
        action="store_true",
        help="print the packed context instead of the table: each symbol's source under a"
        " 'path:first-last' header, in pick order, within the budget; with --json, each result"
        " carries its block under \"context\"",
    )
    no_refresh(ranking)

    spots = command(
        "hotspots",
        "complex functions in often-changed files",
        "List the functions that are both complex and often changed: cyclomatic complexity times the"
        " logarithm of git churn over a recent window.",
        HOTSPOTS_EPILOG,
    )
    spots.add_argument(
        "--since",
        metavar="WHEN",
        type=_since,
        default=DEFAULT_SINCE,
        help="start of the churn window: a date (2024-01-31) or a span of N days, weeks, months"
        " (of 30 days) or years (default: 90 days)",
    )
    spots.add_argument("--top", type=_count(1), default=20, help="how many to list (default 20)")
    spots.add_argument(
        "--min-complexity", type=_count(0), default=2, help="lowest cyclomatic complexity listed (default 2)"
    )
    no_refresh(spots)

    mapping = command(
        "map",
        "the most central symbols of the tree as an outline, within a token budget",
        "Print a map of the repository for a model's context, with no query: the most central symbols of"
        " the most central files, as an outline per file.",
        MAP_EPILOG,
    )
    mapping.add_argument(
        "--budget",
        "-b",
        type=_count(1),
        default=DEFAULT_MAP_BUDGET,
        help=f"token budget of the printed map, about four characters a token (default {DEFAULT_MAP_BUDGET})",
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

    command(
        "mcp",
        "serve the index to coding agents: an MCP server on standard input and output",
        "Serve the tree's index to a coding agent over the Model Context Protocol, on standard input and output.",
        MCP_EPILOG,
    )

    hashing = command(
        "hash",
        "content hashes, and the files changed since the manifest",
        "Hash the content of every file of the tree, list what changed since the manifest, and update it.",
        HASH_EPILOG,
    )
    hashing.add_argument(
        "--manifest", "-m", required=True, type=Path, help="manifest file to compare with and update"
    )
    hashing.add_argument(
        "--exit-code",
        action="store_true",
        help="exit with status 1 when a file changed, was added or removed (a first run, which writes the"
        " manifest, exits 0)",
    )
    return parser


def _usage(parser: argparse.ArgumentParser) -> str:
    """What plain `quibra` prints: how to call it, the commands and examples, without every option."""
    import argparse

    commands = next(action for action in parser._actions if isinstance(action, argparse._SubParsersAction))
    listed = "\n".join(f"  {choice.dest:<10}{choice.help}" for choice in commands._choices_actions)
    return (
        "usage: quibra [OPTIONS] COMMAND [PATH] [OPTIONS]\n\ncommands:\n"
        f"{listed}\n\n{TOP_EPILOG}\nEvery option: quibra --help; a command's: quibra COMMAND --help"
    )


def _merge_repeated(args: argparse.Namespace) -> None:
    for name in REPEATED_OPTIONS:
        before = getattr(args, name, None) or []
        after = getattr(args, f"{name}_after", None) or []
        setattr(args, name, [*before, *after] or None)


def _folder(text: str) -> Path:
    from pathlib import Path

    path = Path(text)
    if not path.exists():
        raise UsageError(f"path not found: {text}")
    if not path.is_dir():
        raise UsageError(f"not a folder: {text}")
    return path


def _serve(args: argparse.Namespace) -> None:
    from quibra.interfaces.api import Index, QuibraError

    try:
        from quibra.interfaces.mcp_server import serve
    except ImportError as error:
        if (error.name or "").partition(".")[0] != "mcp":
            raise
        raise QuibraError("the MCP server needs the mcp package: pip install 'quibra-core[mcp]'") from None
    # Standard output carries the protocol: no progress bar, paths relative to the tree.
    with Index(
        args.path, index_file=args.index, jobs=args.jobs, cluster=args.cluster, max_file_size=args.max_file_size
    ) as index:
        serve(index, _languages(args))


def _languages(args: argparse.Namespace) -> list[str] | None:
    return [name.strip() for group in args.lang for name in group.split(",")] if args.lang else None


def _run(args: argparse.Namespace) -> Report | None:
    from quibra.interfaces.api import require_history
    from quibra.tree import git

    root = _folder(args.path)
    if args.command == "hash":
        return _hash(root, args)
    if args.command == "mcp":
        _serve(args)
        return None
    with git.asking_once():
        if args.command == "hotspots":
            # Before the index is opened: a tree without history gets no index folder either.
            require_history(root.resolve())
        return _answer(args)


def _answer(args: argparse.Namespace) -> Report:
    from pathlib import Path

    from quibra.interfaces.api import Index

    filters = {"include": args.include, "exclude": args.exclude}
    with Index(
        args.path,
        index_file=args.index,
        jobs=args.jobs,
        cluster=args.cluster,
        display_base=Path.cwd(),
        progress=not args.json,
        max_file_size=args.max_file_size,
    ) as index:
        if args.command == "index":
            return index.refresh(**filters)
        languages = _languages(args)
        if args.command == "map":
            focus = [os.path.abspath(path) for path in args.focus]
            return index.repo_map(args.budget, focus, languages=languages, refresh=not args.no_refresh)
        if args.command == "rank":
            return index.rank(
                args.query,
                args.budget,
                languages=languages,
                refresh=not args.no_refresh,
                context=args.context,
                **filters,
            )
        return index.hotspots(
            args.since, args.top, args.min_complexity, languages=languages, refresh=not args.no_refresh, **filters
        )


def _hash(root: Path, args: argparse.Namespace) -> Report:
    from pathlib import Path

    from quibra.interfaces.api import QuibraError, file_prefix, git_warnings
    from quibra.interfaces.progress import Progress
    from quibra.tree import git
    from quibra.tree.manifest import hash_tree
    from quibra.tree.selection import BadPattern, Selection

    try:
        selection = Selection(args.include, args.exclude)
    except BadPattern as error:
        raise QuibraError(str(error)) from None
    with git.asking_once():
        report = hash_tree(root, args.manifest, selection if selection else None, Progress)
        report["warnings"] = git_warnings(Path(report["root"]))
    report["file_prefix"] = file_prefix(args.path, Path.cwd())
    return report


# ---------------------------------------------------------------------------
# Tables


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


def _wrapped(text: str, screen: Screen) -> str:
    """A summary line broken between words to fit the screen, rather than by the terminal mid-word."""
    if screen.width is None or len(text) <= screen.width:
        return text
    import textwrap

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


def _rank_columns() -> list[Any]:
    from quibra.interfaces.table import BOLD, MAGENTA, Column, cut_middle, cut_start
    from quibra.ranking.rank import CHANNELS

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
    from quibra.interfaces.table import format_table
    from quibra.ranking.rank import CHANNELS

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
    import re

    return re.sub(
        "[\x00-\x08\x0b-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]",
        lambda found: repr(found.group())[1:-1] if found.group() < "\u0100" else f"\\u{ord(found.group()):04x}",
        text,
    )


def render_context(report: Report) -> str:
    """The packed context itself: the text the budget counted, nothing else."""
    return "".join(entry["context"] for entry in report["results"] if entry["context"] is not None)


def _assessment_style(text: str) -> str:
    from quibra.interfaces.table import RED, YELLOW

    return {"high": RED, "medium": YELLOW}.get(text, "")


def render_hotspots(report: Report, screen: Screen) -> str:
    from quibra.interfaces.table import BOLD, MAGENTA, Column, cut_middle, cut_start, format_table

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


def render_hash(report: Report, screen: Screen) -> str:
    files = _plural(report["files"], "file")
    if report["new_manifest"]:
        return _wrapped(f"manifest written with {files}: {report['manifest']}", screen)
    prefix = report["file_prefix"]
    lines = [
        f"{key:<8} {_printable(prefix + path)}" for key in ("changed", "added", "removed") for path in report[key]
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
            f"quibra: {_printable(stale['file'])} changed since the index was refreshed: its symbols are left out"
        )
    if args.json:
        return notes  # the rest is in the report itself
    if args.command == "rank" and args.context:
        notes.append(f"quibra: {_rank_summary(report)}")
    skipped = report.get("skipped", [])
    notes += _listed(
        len(skipped),
        "skipped",
        [f"{_printable(entry['file'])} ({entry['reason']})" for entry in skipped],
        args.verbose,
    )
    if args.verbose:
        notes += [
            f"quibra: read with invalid UTF-8 replaced: {_printable(entry['file'])}"
            for entry in report.get("replaced", [])
        ]
    unreadable = report.get("unreadable_files", [])
    notes += _listed(
        len(unreadable),
        "unreadable, not hashed",
        [_printable(report.get("file_prefix", "") + path) for path in unreadable],
        args.verbose,
    )
    return notes


# ---------------------------------------------------------------------------
# Running a command


def _print_report(report: Report, args: argparse.Namespace) -> None:
    from quibra.interfaces.table import screen_for

    if args.json:
        import json

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
            "hotspots": render_hotspots,
            "map": render_map,
            "hash": render_hash,
        }
        print(renderers[args.command](report, screen_for(sys.stdout, args.color)))
    sys.stdout.flush()
    if not args.quiet:
        notes_screen = screen_for(sys.stderr, "never")
        for note in _notes(report, args):
            print(_wrapped(note, notes_screen), file=sys.stderr)


def _status(report: Report, args: argparse.Namespace) -> int:
    if args.command == "rank" and not report["results"]:
        return EXIT_NOTHING_FOUND
    changes = args.command == "hash" and (report["changed"] or report["added"] or report["removed"])
    if changes and args.exit_code:
        return EXIT_FAILURE
    return 0


def _command(argv: list[str] | None) -> int:
    from quibra.index.cluster import ClusterUnavailable
    from quibra.interfaces.api import QuibraError
    from quibra.tree.manifest import ManifestError

    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        print(_usage(parser), file=sys.stderr)
        return EXIT_USAGE
    _merge_repeated(args)
    prefix = f"quibra {args.command}"
    try:
        report = _run(args)
        if report is None:  # the MCP server, which answered on its own
            return 0
        _print_report(report, args)
    except (UsageError, QuibraError, ClusterUnavailable, ManifestError) as error:
        print(f"{prefix}: error: {error}", file=sys.stderr)
        return EXIT_USAGE if isinstance(error, UsageError) else EXIT_FAILURE
    except KeyboardInterrupt:
        return _interrupted(prefix)
    except BrokenPipeError:
        raise
    except OSError as error:
        print(f"{prefix}: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except Exception as error:  # noqa: BLE001 - even a bug gets one line, not a traceback
        print(f"{prefix}: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_FAILURE
    return _status(report, args)


def _interrupted(prefix: str) -> int:
    # The terminal has echoed "^C" where the cursor stood (after a progress
    # bar, say): start from the first column and clear the line.
    start = "\r\x1b[K" if sys.stderr.isatty() else ""
    print(f"{start}{prefix}: interrupted", file=sys.stderr)
    return EXIT_INTERRUPTED


def main(argv: list[str] | None = None) -> int:
    try:
        # File names need not be valid UTF-8; print them escaped rather than fail.
        for stream in (sys.stdout, sys.stderr):
            if hasattr(stream, "reconfigure"):  # absent when a caller swapped in another stream
                stream.reconfigure(errors="backslashreplace")
        return _command(argv)
    except KeyboardInterrupt:
        return _interrupted("quibra")
    except BrokenPipeError:
        # The reader (head, less) went away: nothing left to say. Point stdout
        # at /dev/null so the interpreter's final flush does not complain.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
