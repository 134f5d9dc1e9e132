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

import hashlib
import os
import sqlite3
from collections.abc import Callable, Iterable
from pathlib import Path
from types import TracebackType
from typing import Any

from quibra import git
from quibra.hotspots import DEFAULT_SINCE, Window, hotspot_rows, parse_since
from quibra.languages import LANGUAGES
from quibra.rank import block_header, block_tokens
from quibra.rank import rank as rank_symbols
from quibra.refresh import RefreshReport, refresh
from quibra.repomap import repo_map as map_symbols
from quibra.source import (
    SourceChanged,
    SymbolSpan,
    find_symbol,
    leaves_tree,
    read_spans,
)
from quibra.storage import (
    IndexUnusable,
    NotQuibraIndex,
    Storage,
    open_storage,
    remove_database,
)

# What every operation returns and the command prints: plain, JSON-ready data.
Report = dict[str, Any]

DEFAULT_BUDGET = 4000
DEFAULT_MAP_BUDGET = 2000
INDEX_FOLDER = ".quibra"
INDEX_NAME = "index.sqlite"


class QuibraError(Exception):
    """A failure the user can act on; its text is one line, fit to print as it is."""


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _cache_folder() -> Path:
    configured = os.environ.get("XDG_CACHE_HOME", "")
    base = Path(configured) if os.path.isabs(configured) else Path.home() / ".cache"
    return base / "quibra"


def default_index_path(root: Path) -> Path:
    """Where the index of `root` lives: `root/.quibra/`, with a `.gitignore` of `*`
    so that nothing shows in `git status`; under the user's cache folder,
    named after the tree's absolute path, when the tree is not writable."""
    folder = root / INDEX_FOLDER
    try:
        folder.mkdir(exist_ok=True)
        ignore = folder / ".gitignore"
        if not ignore.exists():
            ignore.write_text("*\n", encoding="utf-8")
        index = folder / INDEX_NAME
        if os.access(folder, os.W_OK) and (not index.exists() or os.access(index, os.W_OK)):
            return index
    except OSError:
        pass
    digest = hashlib.sha256(os.fsencode(root)).hexdigest()[:16]
    cache = _cache_folder()
    try:
        cache.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise QuibraError(f"cannot create the cache folder {cache}: {error.strerror or error}") from None
    return cache / f"{root.name or 'root'}-{digest}.sqlite"


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


def _refresh_summary(report: RefreshReport) -> Report:
    return {
        "added": len(report.added),
        "changed": len(report.changed),
        "removed": len(report.removed),
        "seconds": round(report.seconds, 3),
    }


class Index:
    """The index of one source tree.

    `index_file` chooses where it lives (default: see `default_index_path`);
    `jobs` is the number of worker processes for a large refresh (default:
    the number of CPUs); `cluster` the address of a Dask scheduler that does
    that work instead; `display_base` the folder that reported paths are
    relative to (default: the tree's root); `progress` draws a progress bar
    on a terminal.
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
    ):
        self.root = _root(root)
        self.index_path = Path(index_file) if index_file is not None else default_index_path(self.root)
        self.jobs = jobs if jobs is not None else default_jobs()
        self.cluster = cluster
        self.progress = progress
        self._display_base = Path(display_base).resolve() if display_base is not None else None
        self._shown: dict[bytes, tuple[str, str]] = {}
        self._storage = self._open()

    def _open(self) -> Storage:
        try:
            return open_storage(self.index_path)
        except IndexUnusable as error:
            raise QuibraError(str(error)) from None
        except OSError as error:
            raise QuibraError(f"cannot open the index {self.index_path}: {error.strerror or error}") from None

    def close(self) -> None:
        self._storage.close()

    def __enter__(self) -> Index:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    def _guarded(self, operation: Callable[[], Report]) -> Report:
        """Run `operation`; if the index turns out damaged, rebuild it and run it once more."""
        damage: sqlite3.DatabaseError
        try:
            return operation()
        except sqlite3.OperationalError as error:
            if "locked" in str(error) or "busy" in str(error):
                raise QuibraError(f"the index {self.index_path} is locked: {error}") from None
            damage = error
        except sqlite3.DatabaseError as error:
            damage = error
        self._storage.close()
        self._storage = self._rebuilt(damage)
        return operation()

    def _rebuilt(self, damage: sqlite3.DatabaseError) -> Storage:
        try:
            remove_database(self.index_path, only_if_ours=True)
        except NotQuibraIndex as error:
            raise QuibraError(str(error)) from None
        except OSError as error:
            raise QuibraError(f"the index {self.index_path} is damaged ({damage}) and cannot be removed: "
                              f"{error.strerror or error}") from None
        return self._open()

    # Paths as reported.

    def _display(self, raw: bytes) -> tuple[str, str]:
        """(tree-relative path, path as a user reaches it from the display base)."""
        shown = self._shown.get(raw)
        if shown is None:
            path = os.fsdecode(raw)
            if self._display_base is None:
                shown = (path, path)
            else:
                shown = (path, os.path.relpath(os.path.join(self.root, path), self._display_base))
            self._shown[raw] = shown
        return shown

    # Operations.

    def refresh(self) -> Report:
        """Bring the index up to date with the tree; the report of what changed."""

        def run() -> Report:
            report = refresh(self._storage, self.root, self.jobs, self.cluster, self.progress)
            return {"command": "index", **self._header(), "refresh": _refresh_summary(report), **self._counts()}

        return self._guarded(run)

    def _maybe_refresh(self, wanted: bool) -> Report | None:
        if not wanted:
            return None
        report = refresh(self._storage, self.root, self.jobs, self.cluster, self.progress)
        return _refresh_summary(report)

    def _header(self) -> Report:
        return {"root": str(self.root), "index": str(self.index_path)}

    def _counts(self) -> Report:
        """Files and symbols per language, and the files that gave nothing, with why."""
        connection = self._storage.connection
        languages: dict[str, dict[str, int]] = {}
        for language, files, symbols in connection.execute(
            "SELECT language, count(*), (SELECT count(*) FROM symbols JOIN files AS f ON f.id = symbols.file_id"
            " WHERE f.language = files.language) FROM files"
            " WHERE language IS NOT NULL AND skipped IS NULL GROUP BY language ORDER BY language"
        ):
            languages[language] = {"files": files, "symbols": symbols}
        skipped = [
            {"path": os.fsdecode(raw), "reason": reason}
            for raw, reason in connection.execute(
                "SELECT path, skipped FROM files WHERE skipped IS NOT NULL ORDER BY path"
            )
        ]
        return {
            "files": sum(entry["files"] for entry in languages.values()),
            "symbols": sum(entry["symbols"] for entry in languages.values()),
            "languages": languages,
            "skipped": skipped,
        }

    def rank(
        self,
        query: str,
        budget: int = DEFAULT_BUDGET,
        *,
        languages: Iterable[str] | None = None,
        refresh: bool = True,
    ) -> Report:
        """The symbols that best answer `query`, packed into `budget` tokens, in pick order.

        `languages` limits the answer to symbols of those languages (names as in `quibra.LANGUAGES`).
        """
        scope = _languages(languages)
        if not query.strip():
            raise QuibraError("the query is empty")
        if budget < 1:
            raise QuibraError(f"the budget must be at least 1 token, not {budget}")

        def run() -> Report:
            refreshed = self._maybe_refresh(refresh)
            with self._storage.snapshot() as connection:
                results, total_tokens, candidates = rank_symbols(connection, query, budget, self._display, scope)
                counts = self._counts()
            return {
                "command": "rank",
                **self._header(),
                "refresh": refreshed,
                "query": query,
                "budget": budget,
                "total_tokens": total_tokens,
                "candidates": candidates,
                **counts,
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
    ) -> Report:
        """Complex functions in often-changed files, highest score first."""
        scope = _languages(languages)
        try:
            window = parse_since(since) if isinstance(since, str) else since
        except ValueError as error:
            raise QuibraError(str(error)) from None

        def run() -> Report:
            refreshed = self._maybe_refresh(refresh)
            churn = git.commit_counts(self.root, window.start)
            with self._storage.snapshot() as connection:
                results = hotspot_rows(connection, churn or {}, min_complexity, top, self._display, scope)
                counts = self._counts()
            return {
                "command": "hotspots",
                **self._header(),
                "refresh": refreshed,
                "since": window.label,
                "git": churn is not None,
                **counts,
                "results": results,
            }

        return self._guarded(run)

    # Serving agents: a map without a query, source text, and what changed.

    def _tree_path(self, path: str | os.PathLike[str]) -> str:
        """`path` (relative to the tree's root, or absolute) as a path of the tree;
        QuibraError when it leads out of the tree, links included."""
        text = os.fspath(path)
        real = os.path.realpath(os.path.join(self.root, text))
        relative = os.path.relpath(real, self.root)
        if relative == os.pardir or relative.startswith(os.pardir + os.sep):
            raise QuibraError(f"{text} is outside the tree {self.root}")
        return relative

    def _source_files(self, connection: sqlite3.Connection, paths: list[str]) -> list[bytes]:
        """The stored paths of `paths` (tree-relative), each a source file of the index."""
        found = []
        for path in paths:
            raw = os.fsencode(path)
            row = connection.execute(
                "SELECT 1 FROM files WHERE path = ? AND language IS NOT NULL AND skipped IS NULL", (raw,)
            ).fetchone()
            if row is None:
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
            refreshed = self._maybe_refresh(refresh)
            with self._storage.snapshot() as connection:
                stored = self._source_files(connection, focus_paths)
                text, outline, total_tokens = map_symbols(connection, budget, self._display, stored, scope)
                counts = self._counts()
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
            spans = [SymbolSpan(os.fsencode(entry["path"]), entry["start_line"], entry["end_line"]) for entry in results]
            for entry, text in zip(results, self._sources(spans), strict=True):
                entry["source"] = text
            return report

        return self._guarded(run)

    def symbol_source(self, symbol_id: str, *, refresh: bool = True) -> Report:
        """The source text of one symbol, named as reports name it ("path:key")."""
        if leaves_tree(symbol_id):
            raise QuibraError(f"the symbol id {symbol_id!r} points outside the tree")

        def run() -> Report:
            refreshed = self._maybe_refresh(refresh)
            with self._storage.snapshot() as connection:
                row = find_symbol(connection, symbol_id)
            if row is None:
                raise QuibraError(
                    f"no symbol {symbol_id!r} in the index (ids are 'path:name' as search and map results give them)"
                )
            raw, key, qualname, kind, language, line, start_line, end_line, signature, chars = row
            path, shown = self._display(raw)
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
                "tokens": block_tokens(block_header(shown, start_line, end_line), chars),
                "source": self._sources([SymbolSpan(raw, start_line, end_line)])[0],
            }

        return self._guarded(run)

    def file_hashes(self, *, refresh: bool = True) -> dict[str, str]:
        """The content hash of every file the index read, by tree-relative path."""

        def run() -> Report:
            self._maybe_refresh(refresh)
            rows = self._storage.connection.execute("SELECT path, hash FROM files WHERE hash != ''")
            return {self._display(raw)[0]: digest for raw, digest in rows}

        return self._guarded(run)
