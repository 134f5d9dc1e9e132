"""Bringing the index up to date with the tree, doing only the work that changed.

A refresh lists the files and compares each one's stat with the stored one;
only files whose size, modification or change time moved are read again,
and of those only files whose content hash moved are parsed again. Deleted
files are dropped. Import edges are resolved again only when some file's
imports or the set of files changed, and PageRank is recomputed only when
the edges or the files did. The result is exactly what a build from scratch
would give.

The parsing runs in worker processes, or on the workers of a Dask cluster,
through the same `concurrent.futures` interface; everything is written in
one transaction at the end of the pass over the files.
"""

from __future__ import annotations

import collections
import concurrent.futures
import concurrent.futures.process
import contextlib
import ctypes
import json
import multiprocessing
import os
import select
import signal
import stat
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

import _quibra_core as engine

from quibra.index.extract import Extracted, extract_files
from quibra.index.storage import Storage, StoredFile, content_digest, encode_path
from quibra.tree.files import TreeFolders, open_tree_file
from quibra.tree.languages import (
    UNAVAILABLE_READER,
    is_config_file,
    language_of,
    outside_tree,
    resolve_edges,
)
from quibra.tree.meter import MeterFactory, silent
from quibra.tree.walk import is_test_path, list_files

# A file modified this close to the moment its stat was taken may change
# again within the same timestamp tick without its stat moving; such a file
# is hashed again on the next refresh (the "racy" case that git knows too).
RACY_NANOSECONDS = 2_000_000_000

# Files go to the workers in batches of about this many bytes or files: one
# task per file would cost more in messages than in parsing.
BATCH_BYTES = 2 * 1024 * 1024
BATCH_FILES = 64

# Below this much work a pool costs more to start than it saves.
PARALLEL_THRESHOLD_BYTES = 1024 * 1024

# The language recorded for a configuration file (go.mod, tsconfig.json).
CONFIG = None

# Files larger than this are listed but never read. Parsing costs time and
# memory in proportion to a file's symbols, and past this size a source
# file is almost always generated or data: a 50 MB file of one-line
# functions took four minutes and 3.7 GB to index. Of the standard
# libraries of Python and Go, the Linux headers, the JDK, googletest,
# gnulib and TypeScript, it leaves out only generated tables and bundles.
DEFAULT_MAX_FILE_SIZE = 1024 * 1024

# How the reason of a file over the size limit begins.
TOO_LARGE = "larger than the file size limit"


def format_size(size: int) -> str:
    """A byte count as people write it: "1 MiB", "1.5 MiB", "300 KiB", "12 bytes"."""
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale:
            return f"{size / scale:.1f}".removesuffix(".0") + f" {unit}"
    return f"{size} bytes"


def too_large_reason(size: int, limit: int) -> str:
    return f"{TOO_LARGE} of {format_size(limit)}: {format_size(size)}"


@dataclass(frozen=True)
class Listed:
    """One file of the tree as a listing sees it."""

    path: str
    language: str | None  # None for a configuration file
    size: int
    mtime_ns: int
    ctime_ns: int
    link: str | None  # why a symbolic link is not read; None for a regular file


@dataclass
class RefreshReport:
    added: list[str] = field(default_factory=list)
    changed: list[str] = field(default_factory=list)
    removed: list[str] = field(default_factory=list)
    # Files whose stat moved but whose content did not.
    touched: int = 0
    edges_resolved: bool = False
    pagerank_computed: bool = False
    seconds: float = 0.0

    @property
    def changed_anything(self) -> bool:
        return bool(self.added or self.changed or self.removed)


def _link_reason(root: Path, path: str) -> str:
    """Why the symbolic link at `path` is not read: quibra never leaves the tree,
    and a link to a file of the tree would index that file twice."""
    try:
        target = (root / path).resolve(strict=True)
    except (OSError, RuntimeError):
        return "broken link"
    if not target.is_relative_to(root):
        return "link leading out of the tree"
    return "link to another file of the tree"


def list_tree(root: Path) -> list[Listed]:
    """The source and configuration files of the tree with their stat, sorted by path."""
    listed = []
    with TreeFolders(root) as folders:
        for path in list_files(root).files:
            language = language_of(path)
            if language is None and not is_config_file(path):
                continue
            info = folders.lstat(path)
            if info is None:  # gone since the listing, or reached only through a link
                continue
            if stat.S_ISLNK(info.st_mode):
                if language is None:
                    continue
                link = _link_reason(root, path)
            elif stat.S_ISREG(info.st_mode):
                link = None
            else:
                continue
            listed.append(Listed(path, language, info.st_size, info.st_mtime_ns, info.st_ctime_ns, link))
    return listed


def _too_large(entry: Listed, limit: int) -> str | None:
    """Why a regular file of the listing is not read for its size; None when it is read."""
    return too_large_reason(entry.size, limit) if entry.link is None and entry.size > limit else None


def _needs_reading(entry: Listed, stored: StoredFile | None, limit: int) -> bool:
    if stored is None or stored.language != entry.language:
        return True
    if stored.skipped is not None and stored.skipped.startswith(UNAVAILABLE_READER):
        return True  # its grammar may load now
    was_too_large = stored.skipped is not None and stored.skipped.startswith(TOO_LARGE)
    too_large = _too_large(entry, limit)
    if was_too_large != (too_large is not None) or (too_large is not None and stored.skipped != too_large):
        return True  # the limit moved past it
    if (stored.size, stored.mtime_ns, stored.ctime_ns) != (entry.size, entry.mtime_ns, entry.ctime_ns):
        return True
    return stored.mtime_ns + RACY_NANOSECONDS >= stored.seen_ns


@dataclass
class Pending:
    """What the index holds, and what a refresh must read again or drop."""

    stored: dict[str, StoredFile]
    to_read: list[Listed]
    removed: list[str]


def pending_changes(storage: Storage, listed: list[Listed], limit: int = DEFAULT_MAX_FILE_SIZE) -> Pending:
    stored = storage.stored_files()
    present = {entry.path for entry in listed}
    to_read = [entry for entry in listed if _needs_reading(entry, stored.get(entry.path), limit)]
    removed = sorted(path for path in stored if path not in present)
    return Pending(stored, to_read, removed)


@dataclass
class _Read:
    entry: Listed
    content: bytes
    seen_ns: int
    too_large: str | None = None  # grown past the size limit since it was listed: not read


def _read(root: Path, entry: Listed, limit: int) -> _Read | None:
    """The file's content and its stat at the moment of reading; None when it is gone."""
    seen_ns = time.time_ns()
    found = open_tree_file(root, entry.path, limit)
    if found is None:
        return None
    content, info = found
    # The stat of what was read: a write during the read moves it again, and
    # the next refresh sees that.
    current = Listed(entry.path, entry.language, info.st_size, info.st_mtime_ns, info.st_ctime_ns, None)
    return _Read(current, content, seen_ns, _too_large(current, limit))


def _batches(root: Path, entries: list[Listed], limit: int) -> Iterator[list[_Read]]:
    batch: list[_Read] = []
    size = 0
    for entry in entries:
        read = _read(root, entry, limit)
        if read is None:
            continue
        batch.append(read)
        size += len(read.content)
        if size >= BATCH_BYTES or len(batch) >= BATCH_FILES:
            yield batch
            batch, size = [], 0
    if batch:
        yield batch


Executor = concurrent.futures.Executor


class _Writer:
    """Applies what the pass over the files found, inside the refresh's transaction."""

    def __init__(self, storage: Storage, stored: dict[str, StoredFile], report: RefreshReport):
        self.connection = storage.connection
        self.stored = stored
        self.report = report
        self.imports_changed = False
        # Whether the graph's nodes (the source files that parse) changed.
        self.nodes_changed = False

    def touch(self, read: _Read) -> None:
        """Same content under a new stat."""
        entry = read.entry
        self.connection.execute(
            "UPDATE files SET size = ?, mtime_ns = ?, ctime_ns = ?, seen_ns = ? WHERE id = ?",
            (entry.size, entry.mtime_ns, entry.ctime_ns, read.seen_ns, self.stored[entry.path].id),
        )
        self.report.touched += 1

    def _drop_symbols(self, file_id: int) -> None:
        connection = self.connection
        for table in ("lexical", "code"):
            connection.execute(
                f"DELETE FROM {table} WHERE rowid IN (SELECT id FROM symbols WHERE file_id = ?)", (file_id,)
            )
        connection.execute(
            "DELETE FROM name_terms WHERE symbol_id IN (SELECT id FROM symbols WHERE file_id = ?)", (file_id,)
        )
        connection.execute("DELETE FROM symbols WHERE file_id = ?", (file_id,))

    def _file_row(
        self, entry: Listed, seen_ns: int, digest: str, skipped: str | None, imports: str, replaced: bool = False
    ) -> int:
        """Insert or update the file's row; its id."""
        connection = self.connection
        previous = self.stored.get(entry.path)
        values = (
            entry.language, entry.size, entry.mtime_ns, entry.ctime_ns, seen_ns, digest, skipped, imports, replaced
        )
        if previous is None:
            self.report.added.append(entry.path)
            cursor = connection.execute(
                "INSERT INTO files (path, language, size, mtime_ns, ctime_ns, seen_ns, hash, skipped, imports,"
                " replaced, is_test) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (encode_path(entry.path), *values, is_test_path(entry.path)),
            )
            self.imports_changed = True
            self.nodes_changed = True
            assert cursor.lastrowid is not None
            return cursor.lastrowid
        self.report.changed.append(entry.path)
        old_imports = connection.execute("SELECT imports FROM files WHERE id = ?", (previous.id,)).fetchone()[0]
        if old_imports != imports or previous.language is CONFIG:
            self.imports_changed = True
        if (previous.skipped is None) != (skipped is None) or previous.language != entry.language:
            self.imports_changed = True
            self.nodes_changed = True
        self._drop_symbols(previous.id)
        connection.execute(
            "UPDATE files SET language = ?, size = ?, mtime_ns = ?, ctime_ns = ?, seen_ns = ?, hash = ?,"
            " skipped = ?, imports = ?, replaced = ? WHERE id = ?",
            (*values, previous.id),
        )
        return previous.id

    def unread(self, entry: Listed, seen_ns: int, reason: str) -> None:
        """A file that is listed but not read (a link, a file over the size limit): kept with the reason."""
        previous = self.stored.get(entry.path)
        if previous is not None and previous.skipped == reason and previous.hash == "":
            # Only its stat moved: recorded, so that the next refresh finds nothing to do.
            self.connection.execute(
                "UPDATE files SET size = ?, mtime_ns = ?, ctime_ns = ?, seen_ns = ? WHERE id = ?",
                (entry.size, entry.mtime_ns, entry.ctime_ns, seen_ns, previous.id),
            )
            return
        self._file_row(entry, seen_ns, "", reason, "[]")

    def config(self, read: _Read, digest: str) -> None:
        self._file_row(read.entry, read.seen_ns, digest, None, "[]")
        self.imports_changed = True

    def extracted(self, read: _Read, digest: str, result: Extracted) -> None:
        imports = json.dumps(result.imports, separators=(",", ":"))
        file_id = self._file_row(read.entry, read.seen_ns, digest, result.skipped, imports, result.replaced)
        connection = self.connection
        for indexed in result.symbols:
            symbol = indexed.symbol
            cursor = connection.execute(
                "INSERT INTO symbols (file_id, key, name, qualname, kind, line, start_line, end_line, depth,"
                " param_count, cyclomatic, max_nesting, signature, docstring, context_end, chars, name_key,"
                " name_terms) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    file_id,
                    indexed.key,
                    symbol.name,
                    symbol.qualname,
                    symbol.kind,
                    symbol.line,
                    symbol.start_line,
                    symbol.end_line,
                    symbol.depth,
                    symbol.param_count,
                    symbol.cyclomatic,
                    symbol.max_nesting,
                    symbol.signature,
                    symbol.docstring,
                    indexed.context_end,
                    indexed.chars,
                    indexed.name_key,
                    " ".join(indexed.name_terms),
                ),
            )
            symbol_id = cursor.lastrowid
            name, signature, doc, body, path = indexed.fields
            connection.execute(
                "INSERT INTO lexical (rowid, name, signature, doc, path) VALUES (?, ?, ?, ?, ?)",
                (symbol_id, name, signature, doc, path),
            )
            connection.execute("INSERT INTO code (rowid, body) VALUES (?, ?)", (symbol_id, body))
            connection.executemany(
                "INSERT OR IGNORE INTO name_terms (term, symbol_id) VALUES (?, ?)",
                [(term, symbol_id) for term in indexed.name_terms],
            )

    def removed(self, path: str) -> None:
        previous = self.stored[path]
        self._drop_symbols(previous.id)
        self.connection.execute("DELETE FROM edges WHERE source = ? OR target = ?", (previous.id, previous.id))
        self.connection.execute("DELETE FROM files WHERE id = ?", (previous.id,))
        self.report.removed.append(path)
        self.imports_changed = True
        self.nodes_changed = True


def engine_key(path: str) -> str:
    """The path as the engine takes it: UTF-8 text. A name that is not valid
    UTF-8 is escaped behind a NUL, which no real file name contains, so it
    can never meet another file's key."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return "\0" + path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return path


def _update_graph(storage: Storage, root: Path, nodes_changed: bool, report: RefreshReport) -> None:
    """Resolve the import edges again; recompute PageRank when they or the nodes changed."""
    connection = storage.connection
    rows = connection.execute(
        "SELECT id, path, language, imports FROM files WHERE language IS NOT NULL AND skipped IS NULL"
    ).fetchall()
    ids = {}
    imports: dict[str, dict[str, list[object]]] = collections.defaultdict(dict)
    for file_id, raw_path, language, raw_imports in rows:
        path = os.fsdecode(raw_path)
        ids[path] = file_id
        try:
            parsed = json.loads(raw_imports)
        except ValueError:
            parsed = []
        imports[language][path] = parsed if isinstance(parsed, list) else []
    all_paths = frozenset(
        os.fsdecode(raw) for (raw,) in connection.execute("SELECT path FROM files WHERE hash != ''")
    )
    edges = sorted({(ids[source], ids[target]) for source, target in resolve_edges(root, imports, all_paths)
                    if source in ids and target in ids})
    report.edges_resolved = True
    stored_edges = connection.execute("SELECT source, target FROM edges ORDER BY source, target").fetchall()
    if edges != [tuple(edge) for edge in stored_edges]:
        connection.execute("DELETE FROM edges")
        connection.executemany("INSERT INTO edges (source, target) VALUES (?, ?)", edges)
    elif not nodes_changed:
        return
    paths = {file_id: path for path, file_id in ids.items()}
    keys = {file_id: engine_key(path) for file_id, path in paths.items()}
    scores, _iterations = engine.compute_pagerank(
        sorted((keys[source], keys[target]) for source, target in edges), sorted(keys.values())
    )
    connection.execute("UPDATE files SET pagerank = 0.0")
    connection.executemany(
        "UPDATE files SET pagerank = ? WHERE id = ?",
        [(scores.get(key, 0.0), file_id) for file_id, key in keys.items()],
    )
    report.pagerank_computed = True


def _executor(jobs: int, cluster: str | None) -> tuple[Executor | None, Callable[[], None]]:
    """An executor for the per-file work and the function that shuts it
    down; no executor when no worker process can start here."""
    if cluster is not None:
        from quibra.index.cluster import dask_executor

        return dask_executor(cluster)
    method = _start_method()
    if method is None:
        return None, lambda: None
    pool = concurrent.futures.ProcessPoolExecutor(
        max_workers=jobs,
        mp_context=multiprocessing.get_context(method),
        initializer=_worker_started,
        initargs=(os.getpid(), method == "fork"),
    )
    return pool, lambda: pool.shutdown(wait=True, cancel_futures=True)


# prctl(2): the signal a process gets when its parent dies.
_PR_SET_PDEATHSIG = 1


def _worker_started(main: int, forked: bool) -> None:
    """How each worker process begins.

    Ctrl-C reaches every process of the terminal's group, but only the main
    process answers it (it stops the workers and says "interrupted"): a
    worker ignores it, rather than print a traceback of its own.

    A worker dies with the main process. One killed outright (by the
    out-of-memory killer, say) never shuts its pool down, and its workers
    would wait for work forever, each holding its memory. A forked worker's
    parent is the main process, and on Linux the kernel kills the worker
    when it dies. A forkserver's child is the forkserver's, which lives as
    long as any of its children does: a thread of the worker watches the
    main process instead.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    if forked and _die_with_parent():
        # Asked after the fork: the parent may have died before, and then no signal comes.
        if os.getppid() != main:
            os._exit(1)
        return
    _watch(main)


def _die_with_parent() -> bool:
    """Ask the kernel to kill this process when its parent dies; whether it took the request."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return int(libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)) == 0
    except (OSError, AttributeError):
        return False


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _watch(main: int) -> None:
    """End this process when the process `main` ends, from a thread of its own."""
    descriptor: int | None
    try:
        # Readable once the process has ended (even before it is reaped).
        descriptor = os.pidfd_open(main)
    except (AttributeError, OSError):
        descriptor = None
        if not _alive(main):
            os._exit(1)
    threading.Thread(target=_exit_after, args=(main, descriptor), daemon=True).start()


def _exit_after(main: int, descriptor: int | None) -> None:
    if descriptor is not None:
        select.select([descriptor], [], [])
    else:
        while _alive(main):
            time.sleep(1.0)
    os._exit(1)


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Hold Ctrl-C back from this thread for a moment: a worker forked now
    inherits the mask, and so cannot be interrupted before it has set
    itself to ignore Ctrl-C. The parent gets the signal when this ends."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _stop_workers(executor: Executor | None) -> None:
    """Stop the workers of an abandoned pool now, not after their current batch."""
    if isinstance(executor, concurrent.futures.ProcessPoolExecutor):
        processes = getattr(executor, "_processes", None) or {}
        for process in list(processes.values()):
            with contextlib.suppress(OSError, AttributeError):
                process.terminate()


def _start_method() -> str | None:
    """How worker processes start. Forked, while this process runs a single
    thread: they start at once and never import the caller's main module,
    which a host's script without a main guard, a notebook or a program
    read from standard input cannot stand. From a forkserver otherwise, as
    forking a process with threads may leave a child holding a lock that no
    thread of its own will ever release; but a forkserver's children run
    the main module again, so when that module cannot be found again (a
    program read from standard input, say) there are no workers at all."""
    if threading.active_count() == 1 and "fork" in multiprocessing.get_all_start_methods():
        return "fork"
    if "forkserver" not in multiprocessing.get_all_start_methods() or not _main_found_again():
        return None
    return "forkserver"


def _main_found_again() -> bool:
    """Whether a child process that runs the main module again will find it."""
    main = sys.modules.get("__main__")
    if getattr(main, "__spec__", None) is not None:
        return True
    path = getattr(main, "__file__", None)
    if path is None:
        return True  # an interactive session: nothing is run again
    return os.path.isfile(os.path.join(getattr(multiprocessing.process, "ORIGINAL_DIR", None) or os.getcwd(), path))


def refresh(
    storage: Storage,
    root: Path,
    jobs: int = 1,
    cluster: str | None = None,
    progress: MeterFactory | None = None,
    max_file_size: int | None = None,
) -> RefreshReport:
    """Bring the index at `storage` up to date with the tree at `root`.

    Files over `max_file_size` bytes are not read (default: the limit the
    index was last refreshed with, or DEFAULT_MAX_FILE_SIZE); a new limit is
    recorded, and only the files it moves past are read again or dropped."""
    started = time.monotonic()
    report = RefreshReport()
    limit = file_size_limit(storage) if max_file_size is None else max_file_size
    listed = list_tree(root)
    pending = pending_changes(storage, listed, limit)
    # The tree moved, or what its import edges depend on outside it changed:
    # the edges are resolved again even when no file of the tree changed.
    outside = json.dumps(outside_tree(root))
    root_moved = storage.meta("root") != str(root) or storage.meta("outside") != outside
    limit_moved = storage.meta("max_file_size") != str(limit)
    if not pending.to_read and not pending.removed and not root_moved and not limit_moved:
        report.seconds = time.monotonic() - started
        return report
    with storage.write():
        # Another refresh may have written while this one waited for the lock.
        pending = pending_changes(storage, listed, limit)
        writer = _Writer(storage, pending.stored, report)
        _apply(root, pending.to_read, writer, jobs, cluster, progress, limit)
        for path in pending.removed:
            writer.removed(path)
        if writer.imports_changed or writer.nodes_changed or root_moved:
            _update_graph(storage, root, writer.nodes_changed or root_moved, report)
        storage.connection.executemany(
            "INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)",
            [("root", str(root)), ("outside", outside), ("max_file_size", str(limit))],
        )
    report.seconds = time.monotonic() - started
    return report


def file_size_limit(storage: Storage) -> int:
    """The size limit the index was last refreshed with; the default for a new index."""
    recorded = storage.meta("max_file_size")
    return int(recorded) if recorded is not None and recorded.isdigit() else DEFAULT_MAX_FILE_SIZE


def _apply(
    root: Path,
    to_read: list[Listed],
    writer: _Writer,
    jobs: int,
    cluster: str | None,
    progress: MeterFactory | None,
    limit: int = DEFAULT_MAX_FILE_SIZE,
) -> None:
    """Read, hash and (where the content moved) extract every file of `to_read`."""
    unread = {entry.path: entry.link or _too_large(entry, limit) for entry in to_read}
    regular = [entry for entry in to_read if unread[entry.path] is None]
    now = time.time_ns()
    for entry in to_read:
        reason = unread[entry.path]
        if reason is not None:
            writer.unread(entry, now, reason)
    total_bytes = sum(entry.size for entry in regular)
    parallel = cluster is not None or (jobs > 1 and total_bytes >= PARALLEL_THRESHOLD_BYTES)
    executor, shutdown = _executor(jobs, cluster) if parallel else (None, lambda: None)
    pool = executor
    in_flight: collections.deque[
        tuple[list[tuple[_Read, str]], list[tuple[str, str, bytes]], concurrent.futures.Future[list[Extracted]]]
    ] = collections.deque()
    window = 2 * max(jobs, 1) if cluster is None else 64

    def finish(batch: list[tuple[_Read, str]], results: list[Extracted]) -> None:
        for (read, digest), result in zip(batch, results, strict=True):
            writer.extracted(read, digest, result)
        meter.advance(len(batch))

    def collect() -> None:
        nonlocal executor
        batch, work, future = in_flight.popleft()
        try:
            results = future.result()
        except concurrent.futures.process.BrokenProcessPool:
            # A worker died (killed, out of memory, or unable to start): the
            # rest of the work is done here, more slowly but all the same.
            executor = None
            results = extract_files(work)
        finish(batch, results)

    try:
        with (progress or silent)("indexing", len(regular)) as meter:
            for batch in _batches(root, regular, limit):
                changed: list[tuple[_Read, str]] = []
                for read in batch:
                    if read.too_large is not None:
                        writer.unread(read.entry, read.seen_ns, read.too_large)
                        continue
                    digest = content_digest(read.content)
                    previous = writer.stored.get(read.entry.path)
                    unchanged = (
                        previous is not None
                        and previous.hash == digest
                        and previous.language == read.entry.language
                    )
                    if unchanged:
                        writer.touch(read)
                    elif read.entry.language is CONFIG:
                        writer.config(read, digest)
                    else:
                        changed.append((read, digest))
                meter.advance(len(batch) - len(changed))
                if not changed:
                    continue
                work = [(read.entry.path, read.entry.language or "", read.content) for read, _ in changed]
                if executor is None:
                    finish(changed, extract_files(work))
                    continue
                try:
                    with _interrupts_held():
                        future = executor.submit(extract_files, work)
                except concurrent.futures.process.BrokenProcessPool:
                    executor = None
                    finish(changed, extract_files(work))
                    continue
                in_flight.append((changed, work, future))
                while len(in_flight) >= window:
                    collect()
            while in_flight:
                collect()
    except BaseException:
        # Interrupted, or failed: what the workers are doing is wasted.
        _stop_workers(pool)
        raise
    finally:
        shutdown()
