"""`quibra.Index`: the one API behind the command line and the agent server.

An index belongs to one tree. Every query refreshes it first (cheaply: only
what changed is read again) unless told not to, then answers from it. Every
answer is a plain dict, the same one the command prints as JSON, so the
table, the JSON and the MCP tools cannot disagree.

    >>> import quibra
    >>> with quibra.Index("path/to/tree") as index:
    ...     report = index.rank("parse command line arguments", budget=2000)
"""

from __future__ import annotations

import contextlib
import copy
import datetime
import functools
import json
import os
import sqlite3
import subprocess
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from types import TracebackType
from typing import Any

from quibra.index import queries
from quibra.index.counts import counted
from quibra.index.importance import is_stale, settle_importance
from quibra.index.location import default_index_path
from quibra.index.refresh import pending, refresh, refresh_paths
from quibra.index.report import RefreshReport
from quibra.index.storage import (
    BUILDING,
    IndexUnusable,
    Storage,
    failure,
    is_damage,
    open_storage,
    rebuild_damaged,
)
from quibra.interfaces.progress import Progress
from quibra.ranking.context import attach_context
from quibra.ranking.hotspots import DEFAULT_SINCE, Window, hotspot_rows, parse_since
from quibra.ranking.channels import Query
from quibra.ranking.rank import EarlyChannels, block_header, block_tokens, rank_files
from quibra.ranking.rank import rank as rank_symbols
from quibra.ranking.references import References, fit_references
from quibra.ranking.repomap import repo_map as map_symbols
from quibra.ranking.source import (
    SourceChanged,
    SymbolSpan,
    current_lines,
    find_symbol,
    read_spans,
    symbol_leaves_tree,
)
from quibra.tree import git
from quibra.tree.files import NotInTree, tree_relative
from quibra.tree.languages import LANGUAGES
from quibra.tree.meter import MeterFactory
from quibra.tree.selection import BadPattern, Selection
from quibra.tree.watch import TreeWatch, WatchUnavailable

# What every operation returns and the command prints: plain, JSON-ready data.
Report = dict[str, Any]

DEFAULT_BUDGET = 4000
# A query is cut to this many characters: a question, a page of text or a
# pasted error message with its traceback fits; a whole file pasted as a
# query would only cost time (and, unbounded, blocked a server for minutes).
MAX_QUERY_CHARS = 10_000
DEFAULT_MAP_BUDGET = 2000
# How many files `rank_files` gives unless asked for another number.
DEFAULT_TOP_FILES = 10
# How far `refs` follows callers or callees at most.
MAX_CALL_DEPTH = 10


class QuibraError(Exception):
    """A failure the user can act on; its text is one line, fit to print as it is."""


# An answer from an index that a first build is still filling.
BUILDING_NOTE = "the index is still being built: this answer comes from the files indexed so far"

# A map answered while the symbols' importance is being ranked again.
STALE_IMPORTANCE = (
    "the symbols' importance is from before the last edit (it is being ranked again): "
    "the map's order may not show that edit yet"
)


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _default_index_path(root: Path) -> Path:
    try:
        return default_index_path(root)
    except IndexUnusable as error:
        raise QuibraError(str(error)) from None


def _root(path: str | os.PathLike[str]) -> Path:
    root = Path(path)
    if not root.exists():
        raise QuibraError(f"path not found: {os.fspath(path)}")
    if not root.is_dir():
        raise QuibraError(f"not a folder: {os.fspath(path)}")
    return root.resolve()


def _languages(names: Iterable[str] | None) -> list[str] | None:
    """The languages named, checked; None for all of them."""
    if names is None:
        return None
    chosen = sorted(set(names))
    unknown = [name for name in chosen if name not in LANGUAGES]
    if unknown or not chosen:
        raise QuibraError(
            f"unknown language {', '.join(unknown) or '(none given)'}; choose from {', '.join(sorted(LANGUAGES))}"
        )
    return chosen


def _selection(include: Iterable[str] | None, exclude: Iterable[str] | None) -> Selection:
    try:
        return Selection(include, exclude)
    except BadPattern as error:
        raise QuibraError(str(error)) from None


def file_prefix(root: str | os.PathLike[str], base: str | os.PathLike[str] | None) -> str:
    """What goes before a tree-relative path to reach the file from `base`.

    As grep-like tools print paths: a tree named by its absolute path gives
    absolute paths, one named relative to `base` paths relative to it, and
    with no `base` the paths stay relative to the tree.
    """
    if base is None:
        return ""
    absolute = os.path.abspath(root)
    if os.path.isabs(root):
        return absolute.rstrip("/") + "/"
    relative = os.path.relpath(absolute, base)
    return "" if relative == "." else relative + "/"


def git_warnings(root: Path) -> list[str]:
    """What a user should know of git's answers about `root` during the current
    operation (inside `git.asking_once`): a failure means that `.gitignore` was not applied."""
    found = git.repository(root)
    if found.state != git.FAILED:
        return []
    return [f"{found.problem}; every file is read, .gitignore is not applied"]


def require_history(root: Path) -> None:
    """Refuse, in one line (QuibraError), a tree without git history to score."""
    found = git.repository(root)
    if found.state == git.OUTSIDE:
        raise QuibraError(f"not in a git repository: {root}; hotspots need the history of the files")
    if found.state == git.IGNORED:
        raise QuibraError(f"{root} is ignored by the git repository around it: it has no history to score")
    if found.state == git.FAILED:
        raise QuibraError(found.problem)


def _cut_query(query: str) -> tuple[str, list[str]]:
    """The query cut to MAX_QUERY_CHARS (at the last blank before, when a
    word would be split), and the warning that says so; an empty one refused."""
    if not query.strip():
        raise QuibraError("the query is empty")
    if len(query) <= MAX_QUERY_CHARS:
        return query, []
    cut = query[:MAX_QUERY_CHARS]
    if not query[MAX_QUERY_CHARS].isspace():
        words = cut.rsplit(None, 1)
        if len(words) == 2 and words[0].strip():
            cut = words[0]
    return cut, [f"the query was cut to its first {len(cut):,} of {len(query):,} characters"]


def _iso_time(ns: int) -> str:
    """A time in nanoseconds since the epoch as ISO 8601 in UTC, to the second."""
    return datetime.datetime.fromtimestamp(ns / 1e9, datetime.timezone.utc).isoformat(timespec="seconds")


def _refresh_summary(report: RefreshReport, phases: bool = False) -> Report:
    summary: Report = {
        "added": len(report.added),
        "changed": len(report.changed),
        "removed": len(report.removed),
        "seconds": round(report.seconds, 3),
    }
    if phases:
        # Where the seconds went: listing, reading, imports, references, importance, commit.
        summary["phases"] = {phase: round(seconds, 3) for phase, seconds in report.phases.items()}
    return summary


class Index:
    """The index of one source tree.

    `index_file` chooses where it lives (default: see `location.default_index_path`);
    `jobs` is the number of worker processes for a large refresh (default:
    the number of CPUs); `cluster` the address of a Dask scheduler that does
    that work instead; `display_base` the folder from which reported paths
    (the "file" of each entry) lead to the files: a tree given by an
    absolute path is then reported with absolute paths, one given by a
    relative path with paths relative to `display_base` (default: paths
    relative to the tree's root, as in "path"); `progress` draws a progress
    bar on a terminal; `max_file_size` is the size in bytes past which a file
    is listed as skipped, never read (default: the limit the index was last
    refreshed with, at first 1 MiB); `watch` the tree's file-system events
    (a long-lived server keeps one): while they tell that nothing changed
    since the last refresh, an operation answers without listing the tree;
    `settle` whether a refresh that moves the symbol graph ranks it again
    before it ends, `refresh()` and the map's own (the other operations never
    wait for it; a long-lived server passes False, answers the edit at once
    and calls `settle` on a thread of its own); `batched` whether a
    first build commits as it goes, so that other connections answer from
    the files indexed so far (a server does); `meter` what a refresh tells
    how far it is (default: the progress bar, if `progress`).
    """

    def __init__(
        self,
        root: str | os.PathLike[str],
        *,
        index_file: str | os.PathLike[str] | None = None,
        jobs: int | None = None,
        cluster: str | None = None,
        display_base: str | os.PathLike[str] | None = None,
        progress: bool = False,
        max_file_size: int | None = None,
        watch: TreeWatch | None = None,
        settle: bool = True,
        batched: bool = False,
        meter: MeterFactory | None = None,
    ):
        self.root = _root(root)
        self.watch = watch
        self.settles = settle
        self.batched = batched
        self.meter = meter
        self.file_prefix = file_prefix(root, display_base)
        self.index_path = Path(index_file) if index_file is not None else _default_index_path(self.root)
        self.jobs = jobs if jobs is not None else default_jobs()
        self.cluster = cluster
        self.progress = progress
        if max_file_size is not None and max_file_size < 1:
            raise QuibraError(f"the file size limit must be at least 1 byte, not {max_file_size}")
        self.max_file_size = max_file_size
        self._shown: dict[bytes, tuple[str, str]] = {}
        # What the next report must tell (the index was found damaged and
        # rebuilt), and whether the index lacks the tree since: then the next
        # operation refreshes it, even one asked not to.
        self._notices: list[str] = []
        self._unfilled = False
        self._storage = self._open()
        self._counted: tuple[tuple[Storage, tuple[int, int]], Report] | None = None

    def _open(self) -> Storage:
        try:
            storage = open_storage(self.index_path)
        except IndexUnusable as error:
            raise QuibraError(str(error)) from None
        except sqlite3.Error as error:
            raise QuibraError(failure(error, self.index_path)) from None
        except OSError as error:
            raise QuibraError(f"cannot open the index {self.index_path}: {error.strerror or error}") from None
        return self._taken(storage)

    def _taken(self, storage: Storage) -> Storage:
        """`storage`, noting for the next report that it was rebuilt, if it was."""
        if storage.rebuilt is not None:
            self._notices.append(
                f"the index {self.index_path} was damaged ({storage.rebuilt}); it is rebuilt from the tree"
            )
            self._unfilled = True
        return storage

    def close(self) -> None:
        self._storage.close()

    def __enter__(self) -> Index:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    def _guarded(self, operation: Callable[[], Report]) -> Report:
        """Run `operation`. When SQLite finds the index damaged (and it is
        quibra's), it is rebuilt from the tree, `operation` runs once more and
        its report says so. Any other failure of the index (a full disk, a
        read-only file or folder, an I/O error, a lock held too long) is one
        line, and the index stays as it was: deleting it would lose a good
        index to a fault that is not its own."""
        try:
            report = operation()
        except sqlite3.DatabaseError as error:
            if not is_damage(error):
                raise QuibraError(failure(error, self.index_path)) from None
            self._storage = self._rebuilt(error)
            try:
                report = operation()
            except sqlite3.DatabaseError as again:
                raise QuibraError(failure(again, self.index_path)) from None
        self._unfilled = False
        # Only into a report (file_hashes' answer is keyed by file names).
        if report.get("index") == str(self.index_path):
            building = [BUILDING_NOTE] if self._building() and BUILDING_NOTE not in report.get("warnings", []) else []
            if self._notices or building:
                report["warnings"] = [*self._notices, *building, *report.get("warnings", [])]
                self._notices = []
        return report

    def _building(self) -> bool:
        """Whether another process's first build of the index is under way (or was killed)."""
        try:
            return self._storage.meta(BUILDING) is not None
        except sqlite3.Error:
            return False

    def _rebuilt(self, damage: sqlite3.DatabaseError) -> Storage:
        try:
            storage = rebuild_damaged(self._storage, damage)
        except IndexUnusable as error:
            raise QuibraError(str(error)) from None
        except sqlite3.Error as error:
            raise QuibraError(failure(error, self.index_path)) from None
        except OSError as error:
            raise QuibraError(
                f"the index {self.index_path} is damaged ({damage}) and cannot be rebuilt: {error.strerror or error}"
            ) from None
        return self._taken(storage)

    # Paths as reported.

    def _display(self, raw: bytes) -> tuple[str, str]:
        """(tree-relative path, path as a user reaches it from the display base)."""
        shown = self._shown.get(raw)
        if shown is None:
            path = os.fsdecode(raw)
            shown = (path, self.file_prefix + path)
            self._shown[raw] = shown
        return shown

    # Operations.

    def refresh(self, *, include: Iterable[str] | None = None, exclude: Iterable[str] | None = None) -> Report:
        """Bring the index up to date with the tree; the report of what changed.

        `include` and `exclude` (patterns as in `.gitignore`) choose the files
        the counts cover; the index always holds the whole tree.
        """
        selection = _selection(include, exclude)

        def run() -> Report:
            with git.asking_once():
                report = self._refresh(self.settles)
                warnings = git_warnings(self.root)
            return {
                "command": "index",
                **self._header(),
                "refresh": _refresh_summary(report, phases=True),
                **self._counts(selection),
                "warnings": warnings,
            }

        return self._guarded(run)

    def status(self, *, shown: int = 20) -> Report:
        """How fresh the index is, without refreshing it: what it holds, when it
        last took in a change, and what a refresh would read again or drop
        now (the first `shown` of those paths by name)."""

        def run() -> Report:
            with git.asking_once():
                to_read, removed = pending(self._storage, self.root, self.max_file_size)
            with self._storage.snapshot() as connection:
                totals = queries.totals(connection)
                updated = queries.meta(connection, "updated_ns")
                building = queries.meta(connection, BUILDING) is not None
                stale = is_stale(connection)
            index_bytes = sum(
                path.stat().st_size
                for path in (self.index_path, self.index_path.with_name(self.index_path.name + "-wal"))
                if path.exists()
            )
            paths = sorted([*(entry.path for entry in to_read), *removed])
            return {
                "command": "status",
                **self._header(),
                "updated": None if updated is None else _iso_time(int(updated)),
                "files": totals.files,
                "symbols": totals.symbols,
                "references": totals.references,
                "source_bytes": totals.source_bytes,
                "index_bytes": index_bytes,
                "bytes_per_source_byte": round(index_bytes / totals.source_bytes, 3) if totals.source_bytes else None,
                # Files whose stat moved or that are new: a refresh looks at them
                # again (one whose content did not move is only re-stamped).
                "to_read": len(to_read),
                "removed": len(removed),
                "pending": [self._display(os.fsencode(path))[1] for path in paths[:shown]],
                "fresh": not to_read and not removed and not building,
                # A first build that commits as it goes (a server's) is under way, or was killed.
                "building": building,
                # The symbols' importance is from before the symbol graph last moved.
                "importance_pending": stale,
                # The long-lived server (quibra mcp) that follows the tree's events, if one runs.
                "watcher": _running_watch(self),
            }

        return self._guarded(run)

    def _maybe_refresh(self, wanted: bool, importance: bool = False) -> tuple[Report | None, list[str]]:
        """(what the refresh changed, or None when not wanted; what git had to say on the way).

        Only an answer that reads the symbols' importance (`importance`: the
        map) waits for it to be ranked again after an edit that moved the
        symbol graph, where the index settles it at all: on a large tree that
        takes longer than the rest of a refresh, and the other answers do not
        read it. It is left marked for later, as a server leaves it."""
        settle = self.settles and importance
        if not wanted and not self._unfilled:
            return None, []
        if self.watch is not None and not self._unfilled:
            found = self.watch.pending()
            if found is not None and not found[1]:
                # The events tell that the tree is as the last refresh left it.
                return {"added": 0, "changed": 0, "removed": 0, "seconds": 0.0, "watched": True}, []
            if found is not None:
                # They tell which files changed: only those are looked at.
                mark, paths = found
                report = refresh_paths(self._storage, self.root, paths, self.jobs, self.max_file_size, settle)
                if report is not None:
                    self.watch.refreshed(mark)
                    return {**_refresh_summary(report), "watched": True}, []
        return _refresh_summary(self._refresh(settle)), git_warnings(self.root)

    @contextlib.contextmanager
    def _refreshed_early(
        self, wanted: bool, query: str, languages: list[str] | None
    ) -> Iterator[tuple[Report | None, list[str], EarlyChannels | None]]:
        """`_maybe_refresh(wanted)`, with the full-text channels of `query`
        started beside it where it walks the tree (see `EarlyChannels`);
        they come out with it where the refresh wrote nothing, and end with
        the block."""
        with contextlib.ExitStack() as started:
            early = None
            # Not while a watch tells what changed (that refresh takes no
            # time), nor into an index that was never written, whose build
            # wants it to itself.
            if wanted and self.watch is None and not self._unfilled and self._storage.state() is not None:
                sides = started.enter_context(self._storage.side_snapshots(2))
                if len(sides) == 2:
                    early = EarlyChannels(sides, Query.parse(query, languages))
                    started.callback(early.stop)
            with git.asking_once():
                refreshed, warnings = self._maybe_refresh(wanted)
            if early is not None and self._storage.state() != early.state:
                # Written since: scored again on the state the answer reads,
                # with the sides it needs for that.
                started.close()
                early = None
            yield refreshed, warnings, early

    def _meter(self) -> MeterFactory | None:
        """A progress bar on standard error when asked for (it shows only on a terminal)."""
        if self.meter is not None:
            return self.meter
        if not self.progress:
            return None
        return functools.partial(Progress, enabled=True)

    def _refresh(self, settle: bool) -> RefreshReport:
        mark = self.watch.mark() if self.watch is not None else None
        report = refresh(
            self._storage, self.root, self.jobs, self.cluster, self._meter(), self.max_file_size, settle, self.batched
        )
        if self.watch is not None and mark is not None:
            self.watch.refreshed(mark)
        return report

    def importance_stale(self) -> bool:
        """Whether a refresh left the symbol graph to rank again later."""
        try:
            with self._storage.snapshot() as connection:
                return is_stale(connection)
        except sqlite3.Error as error:
            raise QuibraError(failure(error, self.index_path)) from None

    def settle(self) -> None:
        """Rank the symbol graph again, as often as refreshes move it meanwhile,
        until the importance the index holds is that of its graph."""
        while self.importance_stale():
            try:
                settle_importance(self._storage)
            except sqlite3.Error as error:
                raise QuibraError(failure(error, self.index_path)) from None

    def settle_apart(self) -> None:
        """`settle`, in a process of its own: on a large tree ranking the
        symbol graph holds the interpreter for seconds, which the calls of
        a server would otherwise wait on. Here if that process fails."""
        if sys.executable:  # an embedded interpreter may have none to start
            with contextlib.suppress(OSError):
                subprocess.run(
                    [sys.executable, "-c", _SETTLE_PROGRAM, os.fspath(self.root), os.fspath(self.index_path)],
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                    check=False,
                )
        self.settle()

    def _header(self) -> Report:
        return {"root": str(self.root), "index": str(self.index_path)}

    def _counts(self, selection: Selection) -> Report:
        """Files and symbols per language, and the files that gave nothing, with why.

        On a large tree they take longer than many a query, and a server
        answers many queries of an index that did not change: the counts of
        the whole tree are kept until the index is written again."""
        key = (self._storage, self._storage.generation())
        if not selection and self._counted is not None and self._counted[0] == key:
            return copy.deepcopy(self._counted[1])
        counts = self._count(selection)
        if not selection:
            self._counted = (key, copy.deepcopy(counts))
        return counts

    def _count(self, selection: Selection) -> Report:
        connection = self._storage.connection
        languages: dict[str, dict[str, int]] = {}
        noted = counted(self._storage)
        if selection:
            for raw, language, symbols in queries.file_symbol_counts(connection):
                if selection(os.fsdecode(raw)):
                    counts = languages.setdefault(language, {"files": 0, "symbols": 0})
                    counts["files"] += 1
                    counts["symbols"] += symbols
        else:
            for language, files, symbols in noted.language_rows():
                languages[language] = {"files": files, "symbols": symbols}
        skipped = []
        for raw, reason in noted.skipped_rows():
            path, shown = self._display(raw)
            if selection(path):
                skipped.append({"path": path, "file": shown, "reason": reason})
        replaced = []
        for raw in noted.replaced_rows():
            path, shown = self._display(raw)
            if selection(path):
                replaced.append({"path": path, "file": shown})
        return {
            "files": sum(entry["files"] for entry in languages.values()),
            "symbols": sum(entry["symbols"] for entry in languages.values()),
            "languages": languages,
            "skipped": skipped,
            # Files read with the bytes that are not valid UTF-8 replaced.
            "replaced": replaced,
        }

    def rank(
        self,
        query: str,
        budget: int = DEFAULT_BUDGET,
        *,
        languages: Iterable[str] | None = None,
        refresh: bool = True,
        include: Iterable[str] | None = None,
        exclude: Iterable[str] | None = None,
        context: bool = False,
    ) -> Report:
        """The symbols that best answer `query`, packed into `budget` tokens, in pick order.

        `languages` limits the answer to symbols of those languages (names as
        in `quibra.LANGUAGES`); `include` and `exclude` to files matching
        patterns as in `.gitignore`. With `context`, each result carries its
        block of the packed context under "context": the header line
        `file:start-end`, the source and a blank line, the text its tokens
        count (None, and its path in "stale_files", when the file changed
        since the index was refreshed).
        """
        scope = _languages(languages)
        selection = _selection(include, exclude)
        query, cut = _cut_query(query)
        if budget < 1:
            raise QuibraError(f"the budget must be at least 1 token, not {budget}")

        def run() -> Report:
            with self._refreshed_early(refresh, query, scope) as (refreshed, warnings, early):
                warnings = [*cut, *warnings]
                with self._storage.snapshot() as connection, self._storage.side_snapshots(2) as sides:
                    results, total_tokens, candidates = rank_symbols(
                        connection,
                        query,
                        budget,
                        self._display,
                        scope,
                        selection if selection else None,
                        lambda path: current_lines(connection, self.root, path),
                        sides,
                        early,
                    )
                    counts = self._counts(selection)
                    stale = attach_context(connection, self.root, results) if context else None
            report = {
                "command": "rank",
                **self._header(),
                "refresh": refreshed,
                "query": query,
                "budget": budget,
                "total_tokens": total_tokens,
                "candidates": candidates,
                **counts,
                "warnings": warnings,
                "results": results,
            }
            if stale is not None:
                report["stale_files"] = stale
            return report

        return self._guarded(run)

    def rank_files(
        self,
        query: str,
        top: int = DEFAULT_TOP_FILES,
        *,
        languages: Iterable[str] | None = None,
        refresh: bool = True,
        include: Iterable[str] | None = None,
        exclude: Iterable[str] | None = None,
    ) -> Report:
        """The `top` files that best answer `query`, best first, each with its best symbols.

        A file's "score" adds up its best symbols' scores, each counting half
        the one before; "matches" counts its symbols among the candidates,
        and each symbol's "rank" is its place in `rank`'s order.
        """
        scope = _languages(languages)
        selection = _selection(include, exclude)
        query, cut = _cut_query(query)
        if top < 1:
            raise QuibraError(f"the number of files must be at least 1, not {top}")

        def run() -> Report:
            with self._refreshed_early(refresh, query, scope) as (refreshed, warnings, early):
                with self._storage.snapshot() as connection, self._storage.side_snapshots(2) as sides:
                    results, candidates = rank_files(
                        connection,
                        query,
                        top,
                        self._display,
                        scope,
                        selection if selection else None,
                        sides=sides,
                        early=early,
                    )
                    counts = self._counts(selection)
            return {
                "command": "rank_files",
                **self._header(),
                "refresh": refreshed,
                "query": query,
                "top": top,
                "candidates": candidates,
                **counts,
                "warnings": [*cut, *warnings],
                "results": results,
            }

        return self._guarded(run)

    def hotspots(
        self,
        since: str | Window = DEFAULT_SINCE,
        top: int = 20,
        min_complexity: int = 2,
        *,
        languages: Iterable[str] | None = None,
        refresh: bool = True,
        include: Iterable[str] | None = None,
        exclude: Iterable[str] | None = None,
        tests: bool = False,
    ) -> Report:
        """Complex functions in often-changed files, highest score first.

        The tree must be in a git repository that git can read (QuibraError,
        before any file is read, otherwise). Functions whose score is 0 (no
        change in the window) are left out and counted under "zero_score".
        Test code is left out unless `tests`: a test is long and changes with
        the code it tests, but it is seldom what a refactoring is after.
        """
        scope = _languages(languages)
        selection = _selection(include, exclude)
        try:
            window = parse_since(since) if isinstance(since, str) else since
        except ValueError as error:
            raise QuibraError(str(error)) from None

        def run() -> Report:
            with git.asking_once():
                require_history(self.root)
                refreshed, warnings = self._maybe_refresh(refresh)
                try:
                    churn = git.commit_counts(self.root, window.start)
                except git.GitFailed as error:
                    raise QuibraError(str(error)) from None
            with self._storage.snapshot() as connection:
                results, zero_score = hotspot_rows(
                    connection,
                    churn,
                    min_complexity,
                    top,
                    self._display,
                    scope,
                    selection if selection else None,
                    tests,
                )
                counts = self._counts(selection)
            return {
                "command": "hotspots",
                **self._header(),
                "refresh": refreshed,
                "since": window.label,
                "git": True,
                **counts,
                "warnings": warnings,
                "zero_score": zero_score,
                "results": results,
            }

        return self._guarded(run)

    # Serving agents: a map without a query, source text, and what changed.

    def _tree_path(self, path: str | os.PathLike[str]) -> str:
        """`path` (relative to the tree's root, or absolute) as a path of the tree;
        QuibraError when it leads out of the tree or through a link."""
        try:
            return tree_relative(self.root, path)
        except NotInTree as error:
            raise QuibraError(str(error)) from None

    def _source_files(self, connection: sqlite3.Connection, paths: list[str]) -> list[bytes]:
        """The stored paths of `paths` (tree-relative), each a source file of the index."""
        found = []
        for path in paths:
            raw = os.fsencode(path)
            if not queries.source_file_exists(connection, raw):
                raise QuibraError(f"not a source file of the index: {path}")
            found.append(raw)
        return found

    def repo_map(
        self,
        budget: int = DEFAULT_MAP_BUDGET,
        focus: Iterable[str | os.PathLike[str]] = (),
        *,
        languages: Iterable[str] | None = None,
        refresh: bool = True,
    ) -> Report:
        """A map of the tree for a model's context, with no query: the most
        central symbols of the most central files as an outline per file, in
        at most `budget` tokens of printed text (report["map"]).

        `focus` names the files being edited (relative to the tree's root, or
        absolute): they and the files they import or are imported by come first.
        """
        scope = _languages(languages)
        if budget < 1:
            raise QuibraError(f"the budget must be at least 1 token, not {budget}")
        focus_paths = [self._tree_path(path) for path in focus]

        def run() -> Report:
            with git.asking_once():
                refreshed, warnings = self._maybe_refresh(refresh, importance=True)
            with self._storage.snapshot() as connection:
                stored = self._source_files(connection, focus_paths)
                text, outline, total_tokens = map_symbols(connection, budget, self._display, stored, scope)
                counts = self._counts(Selection())
                stale = is_stale(connection)
            return {
                "command": "map",
                **self._header(),
                "refresh": refreshed,
                "budget": budget,
                "focus": sorted(set(focus_paths)),
                "total_tokens": total_tokens,
                **counts,
                "map": text,
                "outline": outline,
                "warnings": [*warnings, STALE_IMPORTANCE] if stale else warnings,
            }

        return self._guarded(run)

    def _sources(self, spans: list[SymbolSpan]) -> list[str]:
        with self._storage.snapshot() as connection:
            try:
                return read_spans(connection, self.root, spans)
            except SourceChanged as changed:
                raise QuibraError(f"{changed} changed while it was read; ask again") from None

    def search_code(
        self,
        query: str,
        budget: int = DEFAULT_BUDGET,
        *,
        languages: Iterable[str] | None = None,
        refresh: bool = True,
    ) -> Report:
        """`rank`, with each symbol's source text (the text its tokens count) in its "source"."""
        report = self.rank(query, budget, languages=languages, refresh=refresh)
        results = report["results"]

        def run() -> Report:
            spans = [SymbolSpan(os.fsencode(entry["path"]), *entry["context_lines"]) for entry in results]
            for entry, text in zip(results, self._sources(spans), strict=True):
                entry["source"] = text
            return report

        return self._guarded(run)

    def symbol_source(self, symbol_id: str, *, refresh: bool = True) -> Report:
        """The source text of one symbol, named as reports name it ("path:key")."""
        if symbol_leaves_tree(symbol_id):
            raise QuibraError(f"the symbol id {symbol_id!r} points outside the tree")

        def run() -> Report:
            refreshed = self._maybe_refresh(refresh)
            with self._storage.snapshot() as connection:
                row = find_symbol(connection, symbol_id)
            if row is None:
                raise QuibraError(
                    f"no symbol {symbol_id!r} in the index (ids are 'path:name' as search and map results give them)"
                )
            raw, key, qualname, kind, language, line, start_line, end_line, signature, _chars = row
            path, shown = self._display(raw)
            # The whole symbol, a class with its members: its tokens are those of this text.
            source = self._sources([SymbolSpan(raw, start_line, end_line)])[0]
            return {
                "command": "source",
                **self._header(),
                "refresh": refreshed,
                "symbol_id": f"{path}:{key}",
                "symbol": qualname,
                "kind": kind,
                "language": language,
                "path": path,
                "file": shown,
                "line": line,
                "start_line": start_line,
                "end_line": end_line,
                "signature": signature,
                "tokens": block_tokens(block_header(shown, start_line, end_line), len(source)),
                "source": source,
            }

        return self._guarded(run)

    def file_hashes(self, *, refresh: bool = True) -> dict[str, str]:
        """The content hash of every file the index read, by tree-relative path."""

        def run() -> Report:
            self._maybe_refresh(refresh)
            rows = queries.file_hashes(self._storage.connection)
            return {self._display(raw)[0]: digest for raw, digest in rows}

        return self._guarded(run)

    # References.

    def refs(
        self,
        name: str,
        *,
        callers: int = 0,
        callees: int = 0,
        languages: Iterable[str] | None = None,
        include: Iterable[str] | None = None,
        exclude: Iterable[str] | None = None,
        refresh: bool = True,
        budget: int | None = None,
    ) -> Report:
        """The definitions `name` means and the references resolved to them.

        `name` is a bare name, a qualified one (`Class.method`), a symbol id
        (`path:key`) or a place (`path:line`). Each reference names its
        enclosing symbol ("symbol", None at file level), the definition it
        was resolved to ("target") and the weight of that resolution: a
        reference that may mean several definitions has a weight below 1 for
        each. With `callers` or `callees`, the symbols that call the
        definitions, or that they call, to that depth. `budget` (tokens)
        bounds the references and calls listed, about four characters a
        token of their printed lines; "left_out" counts what it cut.
        """
        scope = _languages(languages)
        selection = _selection(include, exclude)
        if not name.strip():
            raise QuibraError("the name is empty")
        for option, depth in (("callers", callers), ("callees", callees)):
            if not 0 <= depth <= MAX_CALL_DEPTH:
                raise QuibraError(f"the {option} depth must be from 0 to {MAX_CALL_DEPTH}, not {depth}")
        if budget is not None and budget < 1:
            raise QuibraError(f"the budget must be at least 1 token, not {budget}")
        name = name.strip()

        def kept(raw: bytes, language: str) -> bool:
            return (scope is None or language in scope) and selection(self._display(raw)[0])

        def run() -> Report:
            with git.asking_once():
                refreshed, warnings = self._maybe_refresh(refresh)
            with self._storage.snapshot() as connection:
                answer = References(connection, self._display, kept).of(name, callers, callees)
            report: Report = {
                "command": "refs",
                **self._header(),
                "refresh": refreshed,
                "name": name,
                "warnings": warnings,
                **answer,
            }
            if budget is not None:
                report["left_out"] = fit_references(report, budget)
            return report

        return self._guarded(run)


# What `Index.settle_apart` runs: its root and index file follow the program.
_SETTLE_PROGRAM = """\
import sys
import quibra
with quibra.Index(sys.argv[1], index_file=sys.argv[2], jobs=1) as index:
    index.settle()
"""


def _watch_record(index: Index) -> Path:
    return index.index_path.with_name(index.index_path.name + ".watch")


def start_watch(index: Index) -> TreeWatch | None:
    """Follow the tree's events for a long-lived server, and leave a note
    beside the index that `status` reads; None where the tree cannot be
    watched (the index lives outside it, or inotify refuses)."""
    folder = index.index_path.parent
    record = _watch_record(index)
    state = "running"
    watch: TreeWatch | None = None
    if not (folder == index.root or index.root in folder.parents):
        state = "off: the index lives outside the tree, where no cookie of the tree can be written"
    else:
        try:
            watch = TreeWatch(index.root, folder)
        except WatchUnavailable as error:
            state = f"off: {error}"
    note = {"pid": os.getpid(), "started": _iso_time(time.time_ns()), "state": state}
    try:
        temporary = record.with_name(f"{record.name}.{os.getpid()}")
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
        with os.fdopen(descriptor, "w") as stream:
            json.dump(note, stream)
        os.replace(temporary, record)
    except OSError:
        pass  # status then says no watcher runs: the answers do not depend on the note
    return watch


def stop_watch(index: Index, watch: TreeWatch) -> None:
    watch.close()
    record = _watch_record(index)
    try:
        if json.loads(record.read_text()).get("pid") == os.getpid():
            record.unlink()
    except (OSError, ValueError):
        pass


def _running_watch(index: Index) -> Report | None:
    """The note of the server that follows this index's tree, if that server still runs."""
    try:
        note = json.loads(_watch_record(index).read_text())
        pid = int(note["pid"])
        os.kill(pid, 0)
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return {"pid": pid, "started": str(note.get("started")), "state": str(note.get("state"))}

