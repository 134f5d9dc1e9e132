"""The one way quibra opens a file of a tree.

A tree is written by whoever wrote it, and its paths come from git's index,
which is only bytes that anyone can write: a path may be absolute, climb
out with "..", or pass through a folder that was swapped for a link. Every
reader of the host (the refresh, the context, `quibra hash`, the readers of
go.mod and tsconfig.json) opens files through `TreeFolders` or
`open_tree_file`, so none of them can read outside the tree.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path


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



class NotInTree(ValueError):
    """A path a user gave that is no path of the tree; the text says why, in one line."""


def tree_relative(root: str | Path, path: str | os.PathLike[str]) -> str:
    """`path`, relative to the tree's root or absolute, as a path of the tree
    ("/"-separated, from the root), whether or not it names a file.

    Raises NotInTree for a path that holds a NUL byte, climbs out with "..",
    lies outside the tree, or passes through a symbolic link in the tree
    (wherever that leads: quibra follows no link of the tree). Folders
    above the root may be links: the user named the tree through them.
    """
    text = os.fspath(path)
    if "\0" in text:
        raise NotInTree(f"{text!r} is not a file name: it holds a NUL byte")
    names = _names_below(root, text) if os.path.isabs(text) else text.split("/")
    # "./a.py" and "a//b.py" name files of the tree as well as "a.py" and "a/b.py" do.
    names = None if names is None else [name for name in names if name not in ("", ".")]
    if not names:
        if names is not None:
            return "."  # the root itself
        raise NotInTree(f"{text} is outside the tree {root}")
    relative = "/".join(names)
    parts = tree_parts(relative)
    if parts is None or _through_link(root, parts):
        raise NotInTree(f"{text} is outside the tree {root}")
    return relative


def _names_below(root: str | Path, absolute: str) -> list[str] | None:
    """The names that lead from `root` to the absolute path `absolute`; None
    when no folder on its way is the root. The way there is compared by
    what each folder is, not by how it is spelled, so a root reached through
    a link (or a path named through one) is still found; the first match
    counts, so nothing below the root is skipped."""
    try:
        target = os.stat(root)
    except OSError:
        return None
    names = absolute.split("/")
    for count in range(1, len(names) + 1):
        folder = "/".join(names[:count]) or "/"
        try:
            info = os.stat(folder)
        except (OSError, ValueError):
            return None
        if (info.st_dev, info.st_ino) == (target.st_dev, target.st_ino):
            return names[count:]
    return None


def _through_link(root: str | Path, parts: list[bytes]) -> bool:
    """Whether the path of `parts` passes through (or ends at) a symbolic
    link of the tree; what does not exist from some point on is no link."""
    with TreeFolders(root) as folders:
        for depth in range(1, len(parts) + 1):
            info = folders.lstat(b"/".join(parts[:depth]))
            if info is None:
                return False
            if stat.S_ISLNK(info.st_mode):
                return True
    return False


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

    The folders along the path last reached stay open, up to HELD of them,
    so that sorted paths (and a walk, depth first) open each folder once;
    deeper than that, the folder last reached is opened from the deepest one
    held. A few more than HELD descriptors are open at most, whatever the depth.
    """

    HELD = 32

    def __init__(self, root: str | Path) -> None:
        self._root = os.fsencode(root)
        # The root and the folders below it on the way to the last one
        # reached: their names (the root's is empty) and descriptors.
        self._names: list[bytes] = []
        self._held: list[int] = []
        self._deep: tuple[tuple[bytes, ...], int] | None = None  # a folder past the held ones

    def __enter__(self) -> TreeFolders:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def _release_deep(self) -> None:
        if self._deep is not None:
            os.close(self._deep[1])
            self._deep = None

    def _release_to(self, depth: int) -> None:
        """Keep the root and `depth` folders below it; close the rest."""
        while len(self._held) > depth + 1:
            os.close(self._held.pop())
            self._names.pop()

    def close(self) -> None:
        self._release_deep()
        while self._held:
            os.close(self._held.pop())
        self._names.clear()

    def folder(self, names: list[bytes]) -> int | None:
        """A descriptor of the folder reached through `names` from the root (valid
        until the next call); None when one of them is not a folder, or a link."""
        if self._deep is not None:
            if self._deep[0] == tuple(names):
                return self._deep[1]
            self._release_deep()
        if not self._held:
            try:
                # The root itself may be reached through a link: the user named it.
                self._held.append(os.open(self._root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC))
            except (OSError, ValueError):
                return None
            self._names.append(b"")
        shared = 0
        while shared < len(self._held) - 1 and shared < len(names) and self._names[shared + 1] == names[shared]:
            shared += 1
        self._release_to(shared)
        for depth in range(shared, len(names)):
            if len(self._held) > self.HELD:
                return self._open_deep(names, depth)
            try:
                inner = os.open(names[depth], _FOLDER_FLAGS, dir_fd=self._held[-1])
            except (OSError, ValueError):
                return None
            self._held.append(inner)
            self._names.append(names[depth])
        return self._held[-1]

    def _open_deep(self, names: list[bytes], depth: int) -> int | None:
        """The folder of `names`, opened from the deepest held one (that of `depth` names)."""
        current = os.dup(self._held[-1])
        for name in names[depth:]:
            try:
                inner = os.open(name, _FOLDER_FLAGS, dir_fd=current)
            except (OSError, ValueError):
                os.close(current)
                return None
            os.close(current)
            current = inner
        self._deep = (tuple(names), current)
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
