"""Where the index of a tree lives when the caller names no file for it.

In the tree, at `.quibra/index.sqlite`, with a `.gitignore` of `*` beside
it so that nothing shows in `git status`. In the user's cache folder
instead when the tree cannot hold it. A tree is often someone else's work,
and what it holds must never decide where quibra writes: no link in the
tree is written through, and the cache folder is the user's alone.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import stat
from pathlib import Path

import platformdirs

from quibra.index.storage import IndexUnusable, linked

INDEX_FOLDER = ".quibra"
INDEX_NAME = "index.sqlite"


class NoIndexPlace(IndexUnusable):
    """Neither the tree nor the user's cache folder can hold the index."""


def cache_folder() -> Path:
    """quibra's folder in the user's cache: $XDG_CACHE_HOME/quibra, else ~/.cache/quibra."""
    return platformdirs.user_cache_path("quibra", appauthor=False)


def default_index_path(root: Path) -> Path:
    """Where the index of `root` lives: `root/.quibra/index.sqlite`, with a
    `.gitignore` of `*` beside it so that nothing shows in `git status`.

    In the user's cache folder instead, named after the tree's absolute
    path, when the tree cannot hold it: when it is not writable, and when
    `.quibra` is not a folder or the index (or a file SQLite keeps beside
    it) is a symbolic link. A tree is often someone else's work, and what it
    holds must never decide where quibra writes; the cache is always the
    user's own, so the tree still gets its answers.

    Raises NoIndexPlace when the cache folder cannot be made either.
    """
    index = _tree_index(root)
    return index if index is not None else _cached_index(root)


def _tree_index(root: Path) -> Path | None:
    folder = root / INDEX_FOLDER
    try:
        with contextlib.suppress(FileExistsError):
            folder.mkdir()
        if not stat.S_ISDIR(os.lstat(folder).st_mode):
            return None
        index = folder / INDEX_NAME
        if linked(index) is not None or not os.access(folder, os.W_OK):
            return None
        if os.path.lexists(index) and not os.access(index, os.W_OK):
            return None
        _write_gitignore(folder)
    except OSError:
        return None
    return index


def _write_gitignore(folder: Path) -> None:
    """A `.gitignore` of `*` in the index folder, unless something is there
    already: the user's own, or a link, which is never written through."""
    try:
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
        descriptor = os.open(folder / ".gitignore", flags, 0o666)
    except FileExistsError:
        return
    with os.fdopen(descriptor, "w", encoding="utf-8") as stream:
        stream.write("*\n")


def _cached_index(root: Path) -> Path:
    cache = cache_folder()
    try:
        cache.parent.mkdir(parents=True, exist_ok=True)
        with contextlib.suppress(FileExistsError):
            cache.mkdir(mode=0o700)
        # Each index holds the code it was built from: the folder is the
        # user's alone, even when an older run left it open to everyone.
        info = cache.stat()
        if stat.S_IMODE(info.st_mode) & 0o077 and info.st_uid == os.geteuid():
            cache.chmod(0o700)
    except OSError as error:
        raise NoIndexPlace(f"cannot create the cache folder {cache}: {error.strerror or error}") from None
    digest = hashlib.sha256(os.fsencode(root)).hexdigest()[:16]
    return cache / f"{root.name or 'root'}-{digest}.sqlite"
