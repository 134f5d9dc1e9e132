"""The parser of the `quibra` command: its commands, options and help texts.

Global options (output, which files, the index) work before or after the
command name; those that may be repeated are kept apart on each side and
merged after parsing (`merge_repeated`). A usage error ends in one line.
"""

from __future__ import annotations

import argparse
import re
from pathlib import Path
from typing import Any

from quibra import __version__
from quibra.interfaces.api import DEFAULT_BUDGET, DEFAULT_MAP_BUDGET, DEFAULT_TOP_FILES, MAX_CALL_DEPTH
from quibra.interfaces.cli.main import EXIT_USAGE
from quibra.ranking.hotspots import DEFAULT_SINCE, Window, parse_since
from quibra.tree.languages import LANGUAGES

# The engine counts tokens, complexities and list lengths in unsigned 64 bits.
LARGEST_COUNT = 2**64 - 1


class Parser(argparse.ArgumentParser):
    """argparse with a one-line error: the usage block it normally prints
    first buries the message a user needs; --help still shows the usage."""

    def error(self, message: str) -> Any:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


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


def _size(text: str) -> int:
    """A size in bytes: a whole number, or a number with K, M or G (powers of 1024): 500K, 2M, 1.5MiB."""
    found = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*(?:([kmg])(?:i?b)?|b)?\s*", text, re.IGNORECASE)
    if found is None:
        raise argparse.ArgumentTypeError(f"expected a size such as 1048576, 500K or 2M, not {text!r}")
    scale = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}[(found.group(2) or "").lower()]
    size = int(float(found.group(1)) * scale)
    if size < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte, not {text!r}")
    return size


def _since(text: str) -> Window:
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
  #           place in the fused order, the same at any budget
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

REFS_EPILOG = """\
A reference is resolved through what its language makes visible: the
definitions of its own file and class, of the files it imports, of its
package. One that may mean several definitions lists each with a weight
below 1; one whose name is too common to guess (x.open() on an unknown x)
is counted as unresolved.

examples:
  quibra refs parse_args
  quibra refs Session.send --callers 2
  quibra refs src/app.py:120 --callees --json
"""

STATUS_EPILOG = """\
Says what the index holds, when it last took in a change of the tree, its
size against the source's, and which files a refresh would read again or
drop now. It lists the tree but reads no file and changes nothing.

example:
  quibra status ~/src/project --json
"""

MCP_EPILOG = """\
Serves search_code, search_files, repo_map, hotspots, changed_files, symbol_source,
find_references and call_graph to a
coding agent over the Model Context Protocol on standard input and output;
every call sees the tree as it is: the server follows the tree's file-system
events and lists the tree again only when one came. Needs the mcp extra:
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
    formatter = argparse.RawDescriptionHelpFormatter
    parser = Parser(
        prog="quibra",
        description="Find the code that answers a question, and fit it into a budget of tokens.",
        epilog=TOP_EPILOG,
        formatter_class=formatter,
    )
    parser.add_argument("--version", action="version", version=f"quibra {__version__}")
    _global_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    def command(
        name: str, summary: str, description: str, epilog: str, before_path: str | None = None
    ) -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = commands.add_parser(
            name, help=summary, description=description, epilog=epilog, formatter_class=formatter
        )
        if before_path is not None:
            sub.add_argument("name", metavar="NAME", help=before_path)
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
    answer = ranking.add_mutually_exclusive_group()
    answer.add_argument(
        "--files",
        action="store_true",
        help="list the files that best answer the query, each with its best symbols, instead of packing symbols",
    )
    ranking.add_argument(
        "--top",
        type=_count(1),
        default=DEFAULT_TOP_FILES,
        help=f"with --files, how many files to list (default {DEFAULT_TOP_FILES})",
    )
    answer.add_argument(
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
    spots.add_argument("--tests", action="store_true", help="list test code too (left out by default)")
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
        help="files being edited: their symbols, then those their code uses or that use theirs, come first",
    )
    no_refresh(mapping)

    references = command(
        "refs",
        "where a function, method or class is used, and what calls it",
        "List the definitions NAME means, then every reference resolved to them, by file, with the symbol"
        " each stands in.",
        REFS_EPILOG,
        before_path="a name (open), a qualified name (Class.method), a symbol id (path:key) or a place (path:line)",
    )
    for option, what in (("callers", "the functions that call it"), ("callees", "the functions it calls")):
        references.add_argument(
            f"--{option}",
            metavar="DEPTH",
            nargs="?",
            type=_count(1, MAX_CALL_DEPTH),
            const=1,
            default=0,
            help=f"also list {what}, and theirs, to DEPTH levels (default 1)",
        )
    no_refresh(references)

    command(
        "status",
        "how fresh the index is, without refreshing it",
        "Report how fresh the index of the tree at PATH is: what it holds, when it last changed, and what a"
        " refresh would read again or drop now.",
        STATUS_EPILOG,
    )

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


def usage(parser: argparse.ArgumentParser) -> str:
    """What plain `quibra` prints: how to call it, the commands and examples, without every option."""
    commands = next(action for action in parser._actions if isinstance(action, argparse._SubParsersAction))
    listed = "\n".join(f"  {choice.dest:<10}{choice.help}" for choice in commands._choices_actions)
    return (
        "usage: quibra [OPTIONS] COMMAND [PATH] [OPTIONS]\n\ncommands:\n"
        f"{listed}\n\n{TOP_EPILOG}\nEvery option: quibra --help; a command's: quibra COMMAND --help"
    )


def merge_repeated(args: argparse.Namespace) -> None:
    """One list per repeated option: the values given before the command, then those after it."""
    for name in REPEATED_OPTIONS:
        before = getattr(args, name, None) or []
        after = getattr(args, f"{name}_after", None) or []
        setattr(args, name, [*before, *after] or None)
