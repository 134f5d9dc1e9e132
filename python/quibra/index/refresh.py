"""Bringing the index up to date with the tree, doing only the work that changed.

A refresh lists the files and compares each one's stat with the stored one
(`changes`); only files whose size, modification or change time moved are
read again, and of those only files whose content hash moved are parsed
again. Deleted files are dropped. Import edges are resolved again only when
some file's imports or the set of files changed, and PageRank is recomputed
only when the edges or the files did; references are resolved again only in
the files read again or whose edges moved, and wherever they use a name
that a file read again or dropped defines (`writer`). The result is exactly what
a build from scratch would give. The reading and writing are `build`'s.
"""

from __future__ import annotations

import json
import time
from pathlib import Path

from quibra.index.changes import (
    Listed,
    file_size_limit,
    list_paths,
    list_tree,
    listed_file,
    pending_changes,
    unchanged,
)
from quibra.index.importance import settle_importance
from quibra.index.report import RefreshReport
from quibra.index.storage import BUILDING, Storage
from quibra.tree.languages import outside_tree
from quibra.tree.meter import MeterFactory
from quibra.tree.walk import rules_listing


def refresh(
    storage: Storage,
    root: Path,
    jobs: int = 1,
    cluster: str | None = None,
    progress: MeterFactory | None = None,
    max_file_size: int | None = None,
    settle: bool = True,
    batched: bool = False,
) -> RefreshReport:
    """Bring the index at `storage` up to date with the tree at `root`.

    Files over `max_file_size` bytes are not read (default: the limit the
    index was last refreshed with, or DEFAULT_MAX_FILE_SIZE); a new limit is
    recorded, and only the files it moves past are read again or dropped.
    Without `settle`, the symbols' importance is left to rank again later
    (`importance.settle_importance`) when the symbol graph moved; with it,
    it is ranked here, and so is one an earlier refresh left. With `batched`,
    a first build commits as it goes, for readers to see the index fill
    (`build.write_changes`)."""
    started = time.monotonic()
    report = RefreshReport()
    limit = file_size_limit(storage) if max_file_size is None else max_file_size
    listed = list_tree(root)
    # The tree moved, or what its import edges depend on outside it changed:
    # the edges are resolved again even when no file of the tree changed.
    outside = json.dumps(outside_tree(root))
    root_moved = _root_moved(storage, root, outside)
    if _settled(storage, root_moved, limit) and unchanged(storage, listed):
        report.phases["listing"] = time.monotonic() - started
        if settle and settle_importance(storage):
            report.importance_computed = True
        report.seconds = time.monotonic() - started
        return report
    state = storage.state()
    pending = pending_changes(storage, listed, limit)
    report.phases["listing"] = time.monotonic() - started
    # The writing half loads only when there is something to write: a query
    # of a tree that did not change starts without it.
    from quibra.index.build import write_changes

    write_changes(
        storage, root, listed, limit, outside, root_moved, report, jobs, cluster, progress, settle,
        not pending.stored, batched, found=(state, pending),
    )
    report.seconds = time.monotonic() - started
    return report


def refresh_paths(
    storage: Storage,
    root: Path,
    paths: list[str],
    jobs: int = 1,
    max_file_size: int | None = None,
    settle: bool = True,
) -> RefreshReport | None:
    """`refresh`, where a watch of the tree tells that only the entries at
    `paths` (relative to the root) changed since the last refresh: those
    are looked at, not the whole tree. None, with nothing done, where that
    cannot be enough: a path that a listing may now hold and the index does
    not (a new source file), a change to what decides which files the
    listing holds (an ignore rule, git's own files, a folder's marks), or
    an index not settled as `refresh` leaves it."""
    started = time.monotonic()
    limit = file_size_limit(storage) if max_file_size is None else max_file_size
    outside = json.dumps(outside_tree(root))
    if not _settled(storage, _root_moved(storage, root, outside), limit) or any(map(rules_listing, paths)):
        return None
    stored = storage.stored_files_at(paths)
    if any(path not in stored and listed_file(path) for path in paths):
        return None
    report = RefreshReport()
    among = sorted(stored)
    listed = list_paths(root, among)
    report.phases["listing"] = time.monotonic() - started
    if among:
        from quibra.index.build import write_changes

        write_changes(
            storage, root, listed, limit, outside, False, report, jobs, None, None, settle, False, among=among
        )
    report.seconds = time.monotonic() - started
    return report


def _root_moved(storage: Storage, root: Path, outside: str) -> bool:
    """Whether the tree moved, or what its import edges depend on outside it
    (`outside`, as JSON) changed, since the index recorded them."""
    return storage.meta("root") != str(root) or storage.meta("outside") != outside


def _settled(storage: Storage, root_moved: bool, limit: int) -> bool:
    """Whether the index is as a refresh of the tree under the size limit
    `limit` leaves it, but for the files that changed since."""
    return not root_moved and storage.meta("max_file_size") == str(limit) and storage.meta(BUILDING) is None


def pending(storage: Storage, root: Path, max_file_size: int | None = None) -> tuple[list[Listed], list[str]]:
    """What a refresh would read again, and drop, found by listing the tree; nothing is written."""
    limit = file_size_limit(storage) if max_file_size is None else max_file_size
    listed = list_tree(root)
    if storage.meta("max_file_size") == str(limit) and unchanged(storage, listed):
        return [], []
    found = pending_changes(storage, listed, limit)
    return found.to_read, found.removed
