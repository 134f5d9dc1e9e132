"""The writing half of a refresh (`refresh`): the files that changed read,
parsed and written, then the import graph, the references and the
symbols' importance, in one transaction.

The parsing runs in worker processes, or on the workers of a Dask cluster
(`workers`), in batches; everything is written in one transaction at the
end of the pass over the files.
"""

from __future__ import annotations

import collections
import concurrent.futures
import concurrent.futures.process
import contextlib
import time
from collections.abc import Callable, Iterator
from pathlib import Path

from quibra.index.changes import (
    CONFIG,
    DEFAULT_MAX_FILE_SIZE,
    Listed,
    Pending,
    Read,
    pending_changes,
    read_listed,
    unread_reason,
)
from quibra.index.counts import Carried
from quibra.index.extract import Extracted, extract_files
from quibra.index.importance import is_stale, mark_stale, update_importance
from quibra.index.report import RefreshReport
from quibra.index.storage import BUILDING, Storage, content_digest
from quibra.index.workers import interrupts_held, start_executor, stop_workers
from quibra.index.writer import (
    Writer,
    lineage_member_names,
    update_graph,
    update_references,
)
from quibra.tree.meter import MeterFactory, silent

# Files go to the workers in batches of about this many bytes or files: one
# task per file would cost more in messages than in parsing. The first
# batches are smaller, doubling up to these: the first files are written
# (and, in a first build that commits as it goes, seen) sooner.
BATCH_BYTES = 2 * 1024 * 1024
BATCH_FILES = 64
FIRST_BATCH_FILES = 8

# Below this much work a pool costs more to start than it saves.
PARALLEL_THRESHOLD_BYTES = 1024 * 1024


def _batches(root: Path, entries: list[Listed], limit: int) -> Iterator[list[Read]]:
    batch: list[Read] = []
    size = 0
    files = FIRST_BATCH_FILES
    for entry in entries:
        read = read_listed(root, entry, limit)
        if read is None:
            continue
        batch.append(read)
        size += len(read.content)
        if size >= BATCH_BYTES * files // BATCH_FILES or len(batch) >= files:
            yield batch
            batch, size = [], 0
            files = min(2 * files, BATCH_FILES)
    if batch:
        yield batch


def write_changes(
    storage: Storage,
    root: Path,
    listed: list[Listed],
    limit: int,
    outside: str,
    root_moved: bool,
    report: RefreshReport,
    jobs: int,
    cluster: str | None,
    progress: MeterFactory | None,
    settle: bool,
    first: bool,
    batched: bool = False,
    among: list[str] | None = None,
    found: tuple[str | None, Pending] | None = None,
) -> None:
    """The writing half of `refresh.refresh`: the files of `listed` that
    changed read and written, then the import graph, the references and the
    symbols' importance, in one transaction. `first`: the index is empty.
    With `among`, `listed` lists those paths only, the rest of the tree
    being as the index holds it. `found`: what `pending_changes` found of
    `listed` when the index was in the given state (`Storage.state`); used
    if the index is still in that state when the write begins.

    With `batched`, a first build commits each batch of files it writes, so
    that readers see the index fill (marked BUILDING until it is whole: its
    references are resolved at the end); a build killed before it was done
    leaves that mark, and the next refresh builds the index again."""
    batched = batched and first
    clock = _PhaseClock(report)
    # Otherwise a build into an empty index goes through a rollback journal, not the WAL.
    with storage.journaled() if first and not batched else contextlib.nullcontext(False):
        with storage.write():
            rebuilding = storage.meta(BUILDING) is not None
            if rebuilding:
                storage.clear()
            # Another refresh may have written while this one waited for the lock.
            if found is not None and found[0] is not None and found[0] == storage.state() and not rebuilding:
                pending = found[1]
            else:
                pending = pending_changes(storage, listed, limit, among)
            carried = None
            if not (rebuilding or first):
                carried = Carried(storage, sorted({entry.path for entry in pending.to_read}.union(pending.removed)))
            writer = Writer(storage, pending.stored, report)
            if batched:
                storage.connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, '1')", (BUILDING,))
            commit = storage.commit_so_far if batched else None
            _apply(root, pending.to_read, writer, jobs, cluster, progress, limit, commit)
            for path in pending.removed:
                writer.removed(path)
            writer.files_written()
            clock.lap("reading")
            moved: set[int] = set()
            if writer.imports_changed or writer.nodes_changed or root_moved:
                moved = update_graph(storage, root, writer.nodes_changed or root_moved, report)
            clock.lap("imports")
            uses_moved = False
            names = writer.reference_names | lineage_member_names(storage.connection, writer.lineage_roots)
            if writer.reference_files or names or moved:
                uses_moved = update_references(
                    storage,
                    root,
                    writer.reference_files | moved,
                    names,
                    report,
                    writer.pending_references,
                    jobs,
                    None if writer.graph_moved else writer.dropped_uses,
                )
            clock.lap("references")
            if settle and (uses_moved or writer.graph_moved or is_stale(storage.connection)):
                update_importance(storage)
                report.importance_computed = True
            elif not settle and (uses_moved or writer.graph_moved):
                mark_stale(storage)
                report.importance_pending = True
            clock.lap("importance")
            if carried is not None:
                carried.finish()
            writer.record(root, outside, limit)
            storage.connection.execute("DELETE FROM meta WHERE key = ?", (BUILDING,))
        if first:
            # Written in the order the files came, a build leaves pages
            # part-filled behind it: the rows grow as their importance comes,
            # and the indexes take their keys in no order.
            storage.compact()
    clock.lap("commit")


class _PhaseClock:
    """Adds the seconds since its last lap to the report, under each step's name."""

    def __init__(self, report: RefreshReport):
        self.report = report
        self.last = time.monotonic()

    def lap(self, phase: str) -> None:
        now = time.monotonic()
        self.report.phases[phase] = self.report.phases.get(phase, 0.0) + now - self.last
        self.last = now


def _apply(
    root: Path,
    to_read: list[Listed],
    writer: Writer,
    jobs: int,
    cluster: str | None,
    progress: MeterFactory | None,
    limit: int = DEFAULT_MAX_FILE_SIZE,
    commit: Callable[[], None] | None = None,
) -> None:
    """Read, hash and (where the content moved) extract every file of `to_read`;
    `commit`, where given, after each batch of them is written."""
    unread = {entry.path: unread_reason(entry, limit) for entry in to_read}
    regular = [entry for entry in to_read if unread[entry.path] is None]
    now = time.time_ns()
    for entry in to_read:
        reason = unread[entry.path]
        if reason is not None:
            writer.unread(entry, now, reason)
    total_bytes = sum(entry.size for entry in regular)
    parallel = cluster is not None or (jobs > 1 and total_bytes >= PARALLEL_THRESHOLD_BYTES)
    executor, shutdown = start_executor(jobs, cluster) if parallel else (None, lambda: None)
    pool = executor
    in_flight: collections.deque[
        tuple[list[tuple[Read, str]], list[tuple[str, str, bytes]], concurrent.futures.Future[list[Extracted]]]
    ] = collections.deque()
    window = 2 * max(jobs, 1) if cluster is None else 64

    def finish(batch: list[tuple[Read, str]], results: list[Extracted]) -> None:
        for (read, digest), result in zip(batch, results, strict=True):
            writer.extracted(read, digest, result)
        meter.advance(len(batch))
        if commit is not None:
            commit()

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
                changed: list[tuple[Read, str]] = []
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
                    with interrupts_held():
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
        stop_workers(pool)
        raise
    finally:
        shutdown()
