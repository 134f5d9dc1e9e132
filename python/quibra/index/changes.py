"""What a refresh finds in the tree, and which of it must be read again.

A listing holds every source and configuration file of the tree with its
stat, and for a symbolic link why it is not read. Against the stored files
it tells what to read again (new files, files whose stat moved, files the
size limit moved past, files whose grammar may load now) and what to drop.
Reading a listed file goes through `open_tree_file`, so nothing outside the
tree is ever read.
"""

from __future__ import annotations

import contextlib
import gc
import hashlib
import os
import stat
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple

from quibra.index.queries import StoredFile
from quibra.index.storage import Storage
from quibra.tree.files import TreeFolders, open_tree_file
from quibra.tree.languages import UNAVAILABLE_READER, is_config_file, language_of
from quibra.tree.walk import stat_files

# A file modified this close to the moment its stat was taken may change
# again within the same timestamp tick without its stat moving; such a file
# is hashed again on the next refresh (the "racy" case that git knows too).
RACY_NANOSECONDS = 2_000_000_000

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


def file_size_limit(storage: Storage) -> int:
    """The size limit the index was last refreshed with; the default for a new index."""
    recorded = storage.meta("max_file_size")
    return int(recorded) if recorded is not None and recorded.isdigit() else DEFAULT_MAX_FILE_SIZE


class Listed(NamedTuple):
    """One file of the tree as a listing sees it."""

    path: str
    language: str | None  # None for a configuration file
    size: int
    mtime_ns: int
    ctime_ns: int
    link: str | None  # why a symbolic link is not read; None for a regular file


def link_reason(root: Path, path: str) -> str:
    """Why the symbolic link at `path` is not read: quibra never leaves the tree,
    and a link to a file of the tree would index that file twice."""
    try:
        target = (root / path).resolve(strict=True)
    except (OSError, RuntimeError):
        return "broken link"
    if not target.is_relative_to(root):
        return "link leading out of the tree"
    return "link to another file of the tree"


def listed_file(path: str) -> bool:
    """Whether a listing holds the file at `path` when the tree's rules let it: a source or configuration file."""
    return _kind(path.rpartition("/")[2]) is not None


def _kind(name: str) -> str | None:
    """What a listing holds a file named `name` as: its language, "" for a configuration file, None for neither."""
    language = language_of(name)
    if language is not None:
        return language
    return "" if is_config_file(name) else None


def _listed(root: Path, path: str, info: os.stat_result, language: str | None) -> Listed | None:
    if stat.S_ISREG(info.st_mode):
        link = None
    elif stat.S_ISLNK(info.st_mode) and language is not None:
        link = link_reason(root, path)
    else:
        return None
    return Listed(path, language, info.st_size, info.st_mtime_ns, info.st_ctime_ns, link)


@contextlib.contextmanager
def _collection_paused() -> Iterator[None]:
    """Python's cycle collector held off: a listing makes a few objects per
    file of the tree and no cycle, and on a large tree the collector's passes
    over them cost a fifth of the listing."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def list_tree(root: Path) -> list[Listed]:
    """The source and configuration files of the tree with their stat, sorted by path."""
    with _collection_paused():
        return [
            entry for path, kind, info in stat_files(root, _kind) if (entry := _listed(root, path, info, kind or None))
        ]


def list_paths(root: Path, paths: list[str]) -> list[Listed]:
    """The files at `paths` (listed by the tree's rules before) as `list_tree`
    lists them now, sorted by path; one gone, or no longer a file or a link,
    is left out."""
    listed = []
    with TreeFolders(root) as folders:
        for path in sorted(paths):
            info = folders.lstat(path)
            entry = None if info is None else _listed(root, path, info, language_of(path))
            if entry is not None:
                listed.append(entry)
    return listed


def too_large(entry: Listed, limit: int) -> str | None:
    """Why a regular file of the listing is not read for its size; None when it is read."""
    return too_large_reason(entry.size, limit) if entry.link is None and entry.size > limit else None


def unread_reason(entry: Listed, limit: int) -> str | None:
    """Why a file of the listing is kept without being read (a link, a file
    over the size limit); None for a file that is read."""
    return entry.link or too_large(entry, limit)


def _needs_reading(entry: Listed, stored: StoredFile | None, limit: int) -> bool:
    if stored is None or stored.language != entry.language:
        return True
    if stored.skipped is not None and stored.skipped.startswith(UNAVAILABLE_READER):
        return True  # its grammar may load now
    was_too_large = stored.skipped is not None and stored.skipped.startswith(TOO_LARGE)
    reason = too_large(entry, limit)
    if was_too_large != (reason is not None) or (reason is not None and stored.skipped != reason):
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


# The note that names the last listing found to match the index (see `unchanged`).
LISTING_NOTE = "listing"


def listing_digest(listed: list[Listed]) -> str:
    """A digest of what `unchanged` compares of a listing: each file's path, language and stat."""
    text = "".join(f"{e.path}\0{e.language}\0{e.size}\0{e.mtime_ns}\0{e.ctime_ns}\n" for e in listed)
    return hashlib.blake2b(text.encode("utf-8", "surrogateescape"), digest_size=16).hexdigest()


def unchanged(storage: Storage, listed: list[Listed]) -> bool:
    """Whether the index holds exactly the files of the listing, each with the
    stat it has now, none of them read too close to its last change or
    waiting for its grammar: then nothing is to be read again or dropped,
    and a refresh under the same size limit has nothing to do. The quick
    answer for a tree that did not change, without a record per stored file.

    A listing found to match is noted, by its digest, for the index as it
    is: a later refresh of the same tree, in this process or another, then
    compares digests and reads no stored file."""
    digest = listing_digest(listed)
    if storage.note(LISTING_NOTE) == digest:
        return True
    state = storage.state()
    if storage.unsettled_files(RACY_NANOSECONDS, UNAVAILABLE_READER):
        return False
    if storage.file_stats() != {(os.fsencode(e.path), e.language, e.size, e.mtime_ns, e.ctime_ns) for e in listed}:
        return False
    if state is not None:
        # Kept only if the index is still in `state`, and so was when its files were read.
        storage.keep_note(LISTING_NOTE, digest, state)
    return True


def pending_changes(
    storage: Storage, listed: list[Listed], limit: int = DEFAULT_MAX_FILE_SIZE, among: list[str] | None = None
) -> Pending:
    """What to read again and drop. `listed` is the whole listing, or with
    `among` that of the paths `among` only (the rest of the tree did not change)."""
    stored = storage.stored_files() if among is None else storage.stored_files_at(among)
    present = {entry.path for entry in listed}
    to_read = [entry for entry in listed if _needs_reading(entry, stored.get(entry.path), limit)]
    removed = sorted(path for path in stored if path not in present)
    return Pending(stored, to_read, removed)


@dataclass
class Read:
    """A listed file as it was read."""

    entry: Listed
    content: bytes
    seen_ns: int
    too_large: str | None = None  # grown past the size limit since it was listed: not read


def read_listed(root: Path, entry: Listed, limit: int) -> Read | None:
    """The file's content and its stat at the moment of reading; None when it is gone."""
    seen_ns = time.time_ns()
    found = open_tree_file(root, entry.path, limit)
    if found is None:
        return None
    content, info = found
    # The stat of what was read: a write during the read moves it again, and
    # the next refresh sees that.
    current = Listed(entry.path, entry.language, info.st_size, info.st_mtime_ns, info.st_ctime_ns, None)
    return Read(current, content, seen_ns, too_large(current, limit))
