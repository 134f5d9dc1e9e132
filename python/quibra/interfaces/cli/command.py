"""Running one `quibra` command: parse, answer through `quibra.Index`, print.

`quibra hash` reads the tree without an index and `quibra mcp` serves the
index until its client leaves; every other command answers from the index
with a report. A failure the user can act on, and even a bug, ends in one
line on standard error and a non-zero exit status, never in a traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from quibra.index.cluster import ClusterUnavailable
from quibra.interfaces.api import Index, QuibraError, Report, file_prefix, git_warnings, require_history
from quibra.interfaces.cli.main import EXIT_FAILURE, EXIT_NOTHING_FOUND, EXIT_USAGE, interrupted
from quibra.interfaces.cli.parser import build_parser, merge_repeated, usage
from quibra.interfaces.cli.render import print_report
from quibra.interfaces.progress import Progress
from quibra.tree import git
from quibra.tree.manifest import ManifestError, hash_tree
from quibra.tree.selection import BadPattern, Selection


class UsageError(Exception):
    """A command line that names something that does not exist or makes no sense."""


def run_command(argv: list[str] | None) -> int:
    """Run the command `argv` names (None: the process's arguments); its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        print(usage(parser), file=sys.stderr)
        return EXIT_USAGE
    merge_repeated(args)
    prefix = f"quibra {args.command}"
    try:
        report = _run(args)
        if report is None:  # the MCP server, which answered on its own
            return 0
        print_report(report, args)
    except (UsageError, QuibraError, ClusterUnavailable, ManifestError) as error:
        print(f"{prefix}: error: {error}", file=sys.stderr)
        return EXIT_USAGE if isinstance(error, UsageError) else EXIT_FAILURE
    except KeyboardInterrupt:
        return interrupted(prefix)
    except BrokenPipeError:
        raise
    except OSError as error:
        print(f"{prefix}: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except Exception as error:  # noqa: BLE001 - even a bug gets one line, not a traceback
        print(f"{prefix}: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_FAILURE
    return _status(report, args)


def _status(report: Report, args: argparse.Namespace) -> int:
    if args.command == "refs" and not report["definitions"] and not report["references"]:
        return EXIT_NOTHING_FOUND
    if args.command == "rank" and not report["results"]:
        return EXIT_NOTHING_FOUND
    changes = args.command == "hash" and (report["changed"] or report["added"] or report["removed"])
    if changes and args.exit_code:
        return EXIT_FAILURE
    return 0


def _folder(text: str) -> Path:
    path = Path(text)
    if not path.exists():
        raise UsageError(f"path not found: {text}")
    if not path.is_dir():
        raise UsageError(f"not a folder: {text}")
    return path


def _languages(args: argparse.Namespace) -> list[str] | None:
    return [name.strip() for group in args.lang for name in group.split(",")] if args.lang else None


def _run(args: argparse.Namespace) -> Report | None:
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
        if args.command == "status":
            return index.status()
        languages = _languages(args)
        if args.command == "map":
            focus = [os.path.abspath(path) for path in args.focus]
            return index.repo_map(args.budget, focus, languages=languages, refresh=not args.no_refresh)
        if args.command == "rank" and args.files:
            return index.rank_files(
                args.query, args.top, languages=languages, refresh=not args.no_refresh, **filters
            )
        if args.command == "rank":
            return index.rank(
                args.query,
                args.budget,
                languages=languages,
                refresh=not args.no_refresh,
                context=args.context,
                **filters,
            )
        if args.command == "refs":
            return index.refs(
                args.name,
                callers=args.callers,
                callees=args.callees,
                languages=languages,
                refresh=not args.no_refresh,
                **filters,
            )
        return index.hotspots(
            args.since,
            args.top,
            args.min_complexity,
            languages=languages,
            refresh=not args.no_refresh,
            tests=args.tests,
            **filters,
        )


def _hash(root: Path, args: argparse.Namespace) -> Report:
    try:
        selection = Selection(args.include, args.exclude)
    except BadPattern as error:
        raise QuibraError(str(error)) from None
    with git.asking_once():
        report = hash_tree(root, args.manifest, selection if selection else None, Progress)
        report["warnings"] = git_warnings(Path(report["root"]))
    report["file_prefix"] = file_prefix(args.path, Path.cwd())
    return report


def _serve(args: argparse.Namespace) -> None:
    # The server needs the mcp extra, which brings a web stack: loaded only for this command.
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
