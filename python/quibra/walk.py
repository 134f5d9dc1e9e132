"""Which files of a tree quibra looks at.

Inside a git work tree the answer is git's own (`.gitignore` respected);
elsewhere a plain walk. Either way virtual environments, build output and
tool caches are left out: they hold other people's code or copies of the
project's own, and ranking them would drown the project in noise.
"""

from __future__ import annotations

import os
import re
import stat
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path

from quibra import git

# Folders that never hold the project's own sources, whatever their content.
SKIPPED_FOLDER_NAMES = frozenset(
    {
        ".git",
        ".quibra",  # quibra's own index
        ".hg",
        ".svn",
        "__pycache__",
        "node_modules",
        ".venv",
        "venv",
        ".tox",
        ".nox",
        ".eggs",
        ".mypy_cache",
        ".pytest_cache",
        ".ruff_cache",
        "site-packages",
    }
)

# Output folders of build tools; skipped unless they are a Python package
# (a `build` package with an `__init__.py` is source, not output).
BUILD_FOLDER_NAMES = frozenset({"build", "dist"})

# Files whose presence marks a folder as a virtual environment (venv, virtualenv, conda).
ENVIRONMENT_MARKERS = ("pyvenv.cfg", "conda-meta")


# Where test code lives, by the conventions of each language: test folders,
# test_*.py and *_test.py, Go's *_test.go, JavaScript's *.test.js and
# *.spec.ts, Java's src/test.
_TEST_PATH = re.compile(
    r"(^|/)(tests?|testing|__tests__|spec)/|(^|/)test_[^/]*$|_tests?\.[a-z]+$|\.(test|spec)\.[a-z]+$"
)


def is_test_path(path: str) -> bool:
    return _TEST_PATH.search(path) is not None


@dataclass(frozen=True)
class Tree:
    """The files of one tree, as paths relative to its root with `/` separators, sorted."""

    root: Path
    files: tuple[str, ...]

    def path_of(self, relative: str) -> Path:
        return self.root / relative


@lru_cache(maxsize=4096)
def _is_skipped_folder(folder: Path) -> bool:
    name = folder.name
    if name in SKIPPED_FOLDER_NAMES or name.endswith(".egg-info"):
        return True
    if name in BUILD_FOLDER_NAMES and not (folder / "__init__.py").exists():
        return True
    return any((folder / marker).exists() for marker in ENVIRONMENT_MARKERS)


def _inside_skipped_folder(root: Path, relative: str) -> bool:
    folder = root
    for part in relative.split("/")[:-1]:
        folder = folder / part
        if _is_skipped_folder(folder):
            return True
    return False


def tree_parts(relative: str | bytes) -> list[bytes] | None:
    """The names along a path of the tree, from its root; None for a path that
    could lead out of the tree or names nothing: absolute, empty, with an empty,
    "." or ".." component, or holding a NUL byte. Git lists whatever its index
    holds, and an index is only bytes that anyone can write."""
    raw = os.fsencode(relative)
    if not raw or raw.startswith(b"/") or b"\0" in raw:
        return None
    parts = raw.split(b"/")
    if any(part in (b"", b".", b"..") for part in parts):
        return None
    return parts


# A folder is opened without following a link (O_NOFOLLOW fails on one), so
# a folder of the tree swapped for a link to elsewhere leads nowhere. A file
# is opened without blocking: a FIFO put in its place after it was listed
# would otherwise hold the open until someone writes to it.
_FOLDER_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_DIRECTORY | os.O_CLOEXEC
_FILE_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC


class TreeFolders:
    """The one way quibra reaches a file of a tree: each folder on the way is
    opened relative to the one above it, from the root down, and never through
    a link, so no path leads out of the tree whatever it holds and however
    the tree changes meanwhile.

    The folder last reached stays open, so that sorted paths open each folder
    once; only two descriptors are open at a time whatever the depth.
    """

    def __init__(self, root: str | Path) -> None:
        self._root = os.fsencode(root)
        self._open: tuple[tuple[bytes, ...], int] | None = None

    def __enter__(self) -> TreeFolders:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def close(self) -> None:
        if self._open is not None:
            os.close(self._open[1])
            self._open = None

    def folder(self, names: list[bytes]) -> int | None:
        """A descriptor of the folder reached through `names` from the root (valid
        until the next call); None when one of them is not a folder, or a link."""
        key = tuple(names)
        if self._open is not None and self._open[0] == key:
            return self._open[1]
        self.close()
        try:
            # The root itself may be reached through a link: the user named it.
            current = os.open(self._root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except (OSError, ValueError):
            return None
        for name in names:
            try:
                inner = os.open(name, _FOLDER_FLAGS, dir_fd=current)
            except (OSError, ValueError):
                os.close(current)
                return None
            os.close(current)
            current = inner
        self._open = (key, current)
        return current

    def lstat(self, relative: str | bytes) -> os.stat_result | None:
        """The stat of the entry at `relative` itself (a link is not followed);
        None when it is gone, or its path leads out of the tree or through a link."""
        parts = tree_parts(relative)
        folder = None if parts is None else self.folder(parts[:-1])
        if parts is None or folder is None:
            return None
        try:
            return os.stat(parts[-1], dir_fd=folder, follow_symlinks=False)
        except (OSError, ValueError):
            return None

    def read(self, relative: str | bytes, limit: int | None = None) -> tuple[bytes, os.stat_result] | None:
        """The bytes of the regular file at `relative` and its stat as it was read;
        None when it is gone, unreadable, not a regular file (a link, a FIFO, a
        device), or its path leads out of the tree or through a link. A file
        over `limit` bytes is not read: its bytes come back empty, beside a
        stat that says how large it is."""
        parts = tree_parts(relative)
        folder = None if parts is None else self.folder(parts[:-1])
        if parts is None or folder is None:
            return None
        try:
            descriptor = os.open(parts[-1], _FILE_FLAGS, dir_fd=folder)
        except (OSError, ValueError):
            return None
        try:
            info = os.fstat(descriptor)
            if not stat.S_ISREG(info.st_mode):
                return None
            if limit is not None and info.st_size > limit:
                return b"", info
            with os.fdopen(descriptor, "rb", closefd=False) as stream:
                # A file that grows while it is read stops at one byte past the limit.
                content = stream.read() if limit is None else stream.read(limit + 1)
            if limit is not None and len(content) > limit:
                return b"", os.fstat(descriptor)
            return content, info
        except OSError:
            return None
        finally:
            os.close(descriptor)


def open_tree_file(
    root: str | Path, relative: str | bytes, limit: int | None = None
) -> tuple[bytes, os.stat_result] | None:
    """The bytes and stat of one regular file of the tree at `root` (see `TreeFolders.read`)."""
    with TreeFolders(root) as folders:
        return folders.read(relative, limit)


def _plain_walk(root: Path) -> list[str]:
    """Every entry under `root` but its folders, links included and never followed.

    Iterative (a tree may be nested deeper than Python's recursion limit) and
    depth first in sorted order, so that any progress output stays stable.
    """
    found: list[str] = []
    pending: list[str] = [""]  # folders still to read, relative to the root
    with TreeFolders(root) as folders:
        while pending:
            relative_folder = pending.pop()
            parts = tree_parts(relative_folder) if relative_folder else []
            descriptor = None if parts is None else folders.folder(parts)
            if descriptor is None:
                continue  # gone, or swapped for a link, since it was seen
            prefix = relative_folder + "/" if relative_folder else ""
            subfolders = []
            try:
                with os.scandir(descriptor) as entries:
                    for entry in entries:
                        try:
                            is_folder = entry.is_dir(follow_symlinks=False)
                        except OSError:
                            is_folder = False
                        if not is_folder:
                            found.append(prefix + entry.name)
                        elif not _is_skipped_folder(root / (prefix + entry.name)):
                            subfolders.append(prefix + entry.name)
            except OSError:
                continue
            pending.extend(sorted(subfolders, reverse=True))
    return found


def _within_tree(root: Path, paths: list[str]) -> list[str]:
    """The paths that stay inside the tree through real folders.

    Dropped: paths that are absolute or hold "..", and paths under a folder
    that is a link (or is not a folder at all). Each folder is looked at once,
    from the root down, and none is looked through before the one above it
    was found to be a real folder.
    """
    real_folder: dict[tuple[bytes, ...], bool] = {(): True}
    base = os.fsencode(root)
    kept = []
    for path in paths:
        parts = tree_parts(path)
        if parts is None:
            continue
        for depth in range(1, len(parts)):
            key = tuple(parts[:depth])
            if key not in real_folder:
                if not real_folder[key[:-1]]:
                    real_folder[key] = False
                    continue
                try:
                    info = os.lstat(os.path.join(base, *key))
                except (OSError, ValueError):
                    real_folder[key] = False
                else:
                    real_folder[key] = stat.S_ISDIR(info.st_mode)
        if real_folder[tuple(parts[:-1])]:
            kept.append(path)
    return kept


def list_files(root: Path) -> Tree:
    """Every file of the tree at `root` that quibra may look at, links included:
    callers decide what to do with each kind of entry."""
    root = root.resolve()
    listed = git.work_tree_files(root)
    if listed is None:
        candidates = _plain_walk(root)
    else:
        candidates = [path for path in _within_tree(root, listed) if not _inside_skipped_folder(root, path)]
    return Tree(root=root, files=tuple(sorted(candidates)))
