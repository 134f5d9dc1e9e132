"""The little that quibra asks of git: which files belong to a tree, and how
often each changed lately.

Every question goes through the `git` command itself, so the answers follow
the user's own configuration (global excludes, `.git/info/exclude`, nested
`.gitignore` files) without quibra re-implementing any of it. Where git is not
installed, or the tree is not part of a work tree, the functions say so by
returning None and the callers fall back to a plain walk.
"""

from __future__ import annotations

import subprocess
from collections import Counter
from pathlib import Path


def _git(root: Path, *args: str) -> bytes | None:
    """Output of `git -C root args...`, or None when git is missing or fails.

    Errors are swallowed on purpose: a failing git only means that the tree
    is treated as a plain folder, which is always a correct fallback.
    """
    try:
        completed = subprocess.run(
            ["git", "-C", str(root), *args],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            check=False,
        )
    except OSError:
        return None
    if completed.returncode != 0:
        return None
    return completed.stdout


def _null_separated(output: bytes) -> list[str]:
    # Paths come NUL-separated (-z) so that names with blanks, quotes or
    # newlines arrive unquoted; surrogateescape keeps undecodable names intact.
    return [part.decode("utf-8", "surrogateescape") for part in output.split(b"\0") if part]


def is_tracked_tree(root: Path) -> bool:
    """Whether `root` lies in a git work tree and is not itself ignored there.

    A folder that its enclosing repository ignores (an interpreter installed
    under a dotfiles repository, say) is not that project's code, so its
    ignore rules would hide everything the user asked to see.
    """
    inside = _git(root, "rev-parse", "--is-inside-work-tree")
    if inside is None or inside.strip() != b"true":
        return False
    # check-ignore exits 1 when the path is not ignored; _git maps that to None.
    return _git(root, "check-ignore", "-q", ".") is None


def work_tree_files(root: Path) -> list[str] | None:
    """Files under `root` that git tracks or would track, relative to `root`.

    Tracked files plus untracked ones that no ignore rule excludes; None when
    `root` is not a tracked tree. Tracked files that were deleted from disk
    are still listed by git; callers check that each file exists.
    """
    if not is_tracked_tree(root):
        return None
    output = _git(root, "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    if output is None:
        return None
    return sorted(set(_null_separated(output)))


def commit_counts(root: Path, since: int) -> dict[str, int] | None:
    """Number of commits since the Unix time `since` that touched each file under `root`.

    Paths are relative to `root`; None when `root` is not a tracked tree.
    Merge commits list no files here, so a change merged from a branch counts
    once, for the commit that made it.
    """
    if not is_tracked_tree(root):
        return None
    # --max-age=0 would mean no limit, and a negative age matches nothing:
    # a window that starts before 1970 is the whole history.
    output = _git(
        root, "log", f"--max-age={max(since, 1)}", "--relative", "--name-only", "-z", "--format=", "--", "."
    )
    if output is None:
        # A repository without commits yet: nothing has churned.
        return {}
    return dict(Counter(_null_separated(output)))
