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
from collections.abc import Callable
from dataclasses import dataclass
from functools import lru_cache
from operator import itemgetter
from pathlib import Path
from typing import TypeVar

from quibra.tree import git
from quibra.tree.files import TreeFolders, tree_parts

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


# Code that sits beside what a project offers and is seldom what a question
# is about: benchmarks, examples and demos, a crate's build script, copies
# of other projects' code, a library's private parts for its own macros.
_AUXILIARY_PATH = re.compile(
    r"(^|/)(benches|benchmarks?|bench|examples?|demos?|samples?|vendor|vendored|third[_-]party|private)/"
    r"|(^|/)build\.rs$|_bench\.[a-z]+$"
)

# What a file holds, by its path: the code itself, tests, or auxiliary code.
CODE, TEST, AUXILIARY = 0, 1, 2


def path_role(path: str) -> int:
    if is_test_path(path):
        return TEST
    return AUXILIARY if _AUXILIARY_PATH.search(path) is not None else CODE


# What a caller of `stat_files` makes of a file by its name (its language, say).
Kind = TypeVar("Kind")


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


def _exists_in(folder: int, name: str) -> bool:
    """Whether `name` in the open folder exists, its link followed (as Path.exists does)."""
    try:
        os.stat(name, dir_fd=folder)
    except (OSError, ValueError):
        return False
    return True


# The entries whose presence `_skipped_by_content` weighs.
_TELLING_NAMES = frozenset({"__init__.py", *ENVIRONMENT_MARKERS})


def rules_listing(path: str) -> bool:
    """Whether the entry at `path` (relative to the root) has a say in which
    other files a listing holds: an ignore rule, git's own files, an entry
    that tells what its folder is."""
    parts = path.split("/")
    return ".git" in parts or parts[-1] == ".gitignore" or parts[-1] in _TELLING_NAMES


def _skipped_by_content(name: str, folder: int, entries: set[str]) -> bool:
    """`_is_skipped_folder`'s rules that look inside the folder, told from its open
    descriptor and the names of its entries: a build folder that is no package,
    a virtual environment."""
    if name in BUILD_FOLDER_NAMES and not ("__init__.py" in entries and _exists_in(folder, "__init__.py")):
        return True
    return any(marker in entries and _exists_in(folder, marker) for marker in ENVIRONMENT_MARKERS)


def _plain_walk(
    root: Path, kind: Callable[[str], Kind | None] | None = None
) -> list[tuple[str, Kind | None, os.stat_result | None]]:
    """Every entry under `root` but its folders, links included and never followed;
    with `kind`, only the entries whose name it gives a kind, each with that
    kind and its own stat (a link's, not its target's), taken as the walk passes.

    Iterative (a tree may be nested deeper than Python's recursion limit) and
    depth first in sorted order, so that any progress output stays stable.
    Which folders are skipped is `_is_skipped_folder`'s rule, told from the
    entries each folder's own listing shows.
    """
    found: list[tuple[str, Kind | None, os.stat_result | None]] = []
    pending: list[str] = [""]  # folders still to read, relative to the root
    with TreeFolders(root) as folders:
        while pending:
            relative_folder = pending.pop()
            parts = tree_parts(relative_folder) if relative_folder else []
            descriptor = None if parts is None else folders.folder(parts)
            if descriptor is None:
                continue  # gone, or swapped for a link, since it was seen
            prefix = relative_folder + "/" if relative_folder else ""
            files: list[tuple[str, Kind | None, os.stat_result | None]] = []
            subfolders = []
            names = set()  # those of the entries that tell what a folder is
            try:
                with os.scandir(descriptor) as entries:
                    for entry in entries:
                        name = entry.name
                        if name in _TELLING_NAMES:
                            names.add(name)
                        try:
                            is_folder = entry.is_dir(follow_symlinks=False)
                        except OSError:
                            is_folder = False
                        if is_folder:
                            if name not in SKIPPED_FOLDER_NAMES and not name.endswith(".egg-info"):
                                subfolders.append(prefix + name)
                            continue
                        if kind is None:
                            files.append((prefix + name, None, None))
                        elif (found_kind := kind(name)) is not None:
                            try:
                                files.append((prefix + name, found_kind, entry.stat(follow_symlinks=False)))
                            except OSError:
                                pass  # gone since the listing
            except OSError:
                continue
            if relative_folder and _skipped_by_content(relative_folder.rpartition("/")[2], descriptor, names):
                continue
            found.extend(files)
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


def _git_candidates(root: Path, listed: list[str]) -> list[str]:
    """Of the paths git lists, those inside the tree and outside skipped folders."""
    # What a folder is may have changed since the last listing (a long-lived server lists many times).
    _is_skipped_folder.cache_clear()
    return [path for path in _within_tree(root, listed) if not _inside_skipped_folder(root, path)]


def list_files(root: Path) -> Tree:
    """Every file of the tree at `root` that quibra may look at, links included:
    callers decide what to do with each kind of entry."""
    root = root.resolve()
    listed = git.work_tree_files(root)
    if listed is None:
        candidates = [path for path, _, _ in _plain_walk(root)]
    else:
        candidates = _git_candidates(root, listed)
    return Tree(root=root, files=tuple(sorted(candidates)))


def stat_files(root: Path, kind: Callable[[str], Kind | None]) -> list[tuple[str, Kind, os.stat_result]]:
    """The files of the tree at `root` (of those `list_files` gives) whose
    name `kind` gives a kind, each with that kind and its own stat (a link's,
    not its target's), sorted by path. A file gone before its stat was taken
    is left out."""
    root = root.resolve()
    listed = git.work_tree_files(root)
    found: list[tuple[str, Kind, os.stat_result]] = []
    if listed is None:
        walked = _plain_walk(root, kind)
        walked.sort(key=itemgetter(0))
        return walked  # type: ignore[return-value]  # with `kind`, each entry has a kind and a stat
    kept = sorted(
        ((path, k) for path in _git_candidates(root, listed) if (k := kind(path.rpartition("/")[2])) is not None),
        key=itemgetter(0),
    )
    with TreeFolders(root) as folders:
        for path, k in kept:
            info = folders.lstat(path)
            if info is not None:
                found.append((path, k, info))
    return found
