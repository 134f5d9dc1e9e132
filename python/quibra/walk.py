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


def _plain_walk(root: Path) -> list[str]:
    found: list[str] = []
    for folder, subfolders, files in os.walk(root):
        here = Path(folder)
        # Pruning in place stops os.walk from descending; sorting keeps the
        # walk (and so any progress output) in a stable order.
        subfolders[:] = sorted(name for name in subfolders if not _is_skipped_folder(here / name))
        relative_folder = here.relative_to(root).as_posix()
        prefix = "" if relative_folder == "." else relative_folder + "/"
        found.extend(prefix + name for name in files)
    return found


def list_files(root: Path) -> Tree:
    """Every file of the tree at `root` that quibra may look at, links included:
    callers decide what to do with each kind of entry."""
    root = root.resolve()
    listed = git.work_tree_files(root)
    if listed is None:
        candidates = _plain_walk(root)
    else:
        candidates = [path for path in listed if not _inside_skipped_folder(root, path)]
    return Tree(root=root, files=tuple(sorted(candidates)))


def read_regular_file(path: str | bytes | Path) -> tuple[bytes, os.stat_result] | None:
    """The bytes of the regular file at `path` and its stat as it was read;
    None when it is gone, unreadable, or no longer a regular file.

    O_NOFOLLOW: a file replaced by a link since it was listed is not
    followed, so nothing outside the tree is ever read.
    """
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        info = os.fstat(descriptor)
        if not stat.S_ISREG(info.st_mode):
            return None
        with os.fdopen(descriptor, "rb", closefd=False) as stream:
            return stream.read(), info
    except OSError:
        return None
    finally:
        os.close(descriptor)
