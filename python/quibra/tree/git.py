"""The little that quibra asks of git: which files belong to a tree, and how
often each changed lately.

Every question goes through the `git` command itself, so the answers follow
the user's own configuration (global excludes, `.git/info/exclude`, nested
`.gitignore` files) without quibra re-implementing any of it.

A folder outside any repository is a plain folder, and callers walk it
themselves. A repository that git cannot read (git missing from PATH, a
repository with "dubious ownership", a broken one) is not the same thing:
it is recorded as failed, with git's own words, so that callers can pass
them on instead of quietly scoring or listing the wrong files.
"""

from __future__ import annotations

import contextlib
import contextvars
import math
import os
import subprocess
from collections import Counter
from collections.abc import Iterator
from pathlib import Path
from typing import NamedTuple

TRACKED = "tracked"  # inside a work tree, and not ignored there
IGNORED = "ignored"  # inside a work tree that ignores it
OUTSIDE = "outside"  # in no repository at all
FAILED = "failed"  # in a repository that git cannot read


class GitFailed(Exception):
    """git could not answer; the text says which command failed and how, in git's words, on one line."""


class Repository(NamedTuple):
    """What git says of one folder."""

    state: str  # TRACKED, IGNORED, OUTSIDE or FAILED
    problem: str = ""  # for FAILED: what went wrong, in git's words


class _Answer(NamedTuple):
    returncode: int
    output: bytes
    message: str  # standard error on one line


def _one_line(text: bytes) -> str:
    return " ".join(text.decode("utf-8", "replace").split())


# A repository's own configuration is written by whoever wrote the tree, and
# git obeys it: `core.fsmonitor` names a program to run, `log.showSignature`
# runs `gpg.program` on every signed commit, a partial clone fetches missing
# objects by running `remote.*.uploadpack`, and an index that git rewrites in
# passing runs the clean filters of `.gitattributes` and the
# post-index-change hook. Options given on the command line win over every
# configuration file, so each of these is switched off there; what cannot be
# named that way is shut off through the environment below. Nothing quibra
# asks needs any of them.
_SAFE_OPTIONS = (
    "--no-pager",
    "--no-optional-locks",  # read the index, never write it back
    "-c", "core.fsmonitor=",  # empty is off, whether this git reads a hook path here or a yes/no
    "-c", "core.hooksPath=/dev/null",
    "-c", "core.untrackedCache=false",
    "-c", "core.pager=cat",
    "-c", "log.showSignature=false",
    "-c", "protocol.allow=never",
)

# Variables that tell git which repository, index, object store or
# configuration to use. Inherited (from a git hook that runs quibra, say)
# they would make git answer about another repository than the tree's, so
# the child gets none of them; the user's own global and system
# configuration files are kept, as are git's own install paths.
_KEPT_VARIABLES = frozenset({"GIT_CONFIG_GLOBAL", "GIT_CONFIG_SYSTEM", "GIT_CONFIG_NOSYSTEM", "GIT_EXEC_PATH"})
_SAFE_VARIABLES = {
    "GIT_OPTIONAL_LOCKS": "0",
    "GIT_TERMINAL_PROMPT": "0",  # never wait for a password
    "GIT_ASKPASS": "true",  # asked anyway, it gets an empty answer
    "GIT_PAGER": "cat",
    "GIT_NO_LAZY_FETCH": "1",  # a missing object is an error, not a fetch
    "GIT_ALLOW_PROTOCOL": "",  # no transport at all, whatever protocol.*.allow says
}

# Seconds that one git command may take; QUIBRA_GIT_TIMEOUT overrides it.
DEFAULT_TIMEOUT = 60.0


def _environment() -> dict[str, str]:
    kept = {name: value for name, value in os.environ.items() if not name.startswith("GIT_") or name in _KEPT_VARIABLES}
    return {**kept, **_SAFE_VARIABLES}


def _timeout() -> float:
    configured = os.environ.get("QUIBRA_GIT_TIMEOUT", "")
    if not configured:
        return DEFAULT_TIMEOUT
    try:
        seconds = float(configured)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and seconds > 0):
        raise GitFailed(f"QUIBRA_GIT_TIMEOUT must be a positive number of seconds, not {configured!r}")
    return seconds


def _git(root: Path, *args: str) -> _Answer:
    """The outcome of `git -C root args...`, with every repository setting that
    could start a program switched off; GitFailed when git cannot be run at
    all or does not answer in time."""
    timeout = _timeout()
    try:
        completed = subprocess.run(
            ["git", "-C", str(root), *_SAFE_OPTIONS, *args],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            check=False,
            env=_environment(),
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        unit = "second" if timeout == 1 else "seconds"
        raise GitFailed(f"git did not answer within {timeout:g} {unit} (git {args[0]} in {root})") from None
    except FileNotFoundError:
        raise GitFailed("git is not installed (not found on PATH)") from None
    except OSError as error:
        raise GitFailed(f"git cannot be run: {error.strerror or error}") from None
    return _Answer(completed.returncode, completed.stdout, _one_line(completed.stderr))


def _failure(command: str, answer: _Answer) -> str:
    return f"git {command} failed: {answer.message or f'exit status {answer.returncode}'}"


def _null_separated(output: bytes) -> list[str]:
    # Paths come NUL-separated (-z) so that names with blanks, quotes or
    # newlines arrive unquoted; surrogateescape keeps undecodable names intact.
    return [part.decode("utf-8", "surrogateescape") for part in output.split(b"\0") if part]


def _has_git_folder(root: Path) -> bool:
    """Whether `root` or a folder above it holds a `.git`: git itself says "not a
    git repository" both of a plain folder and of a repository it cannot read."""
    return any((folder / ".git").exists() for folder in (root, *root.parents))


def _probe(root: Path) -> Repository:
    try:
        inside = _git(root, "rev-parse", "--is-inside-work-tree")
    except GitFailed as error:
        return Repository(FAILED, str(error)) if _has_git_folder(root) else Repository(OUTSIDE)
    if inside.returncode != 0:
        return Repository(FAILED, _failure("rev-parse", inside)) if _has_git_folder(root) else Repository(OUTSIDE)
    if inside.output.strip() != b"true":  # inside a .git folder or a bare repository
        return Repository(OUTSIDE)
    # A folder that its enclosing repository ignores (an interpreter installed
    # under a dotfiles repository, say) is not that project's code, so its
    # ignore rules would hide everything the user asked to see.
    try:
        ignored = _git(root, "check-ignore", "-q", "--", ".")
    except GitFailed as error:
        return Repository(FAILED, str(error))
    if ignored.returncode == 0:
        return Repository(IGNORED)
    if ignored.returncode != 1:  # 1: not ignored
        return Repository(FAILED, _failure("check-ignore", ignored))
    return Repository(TRACKED)


# What git said of each tree during the current operation. One query asks
# several questions of the same tree (its files, then its history); asking
# once saves a process each time and keeps a failure seen on the way, which
# the operation then reports.
_asked: contextvars.ContextVar[dict[Path, Repository] | None] = contextvars.ContextVar("quibra_git", default=None)


@contextlib.contextmanager
def asking_once() -> Iterator[None]:
    """Within this block git is asked about each tree once, and failures are
    kept for `repository`; a block inside another shares its answers."""
    if _asked.get() is not None:
        yield
        return
    token = _asked.set({})
    try:
        yield
    finally:
        _asked.reset(token)


def repository(root: Path) -> Repository:
    """What git says of `root` (see `asking_once`)."""
    asked = _asked.get()
    if asked is not None and root in asked:
        return asked[root]
    found = _probe(root)
    if asked is not None:
        asked[root] = found
    return found


def _record_failure(root: Path, problem: str) -> None:
    asked = _asked.get()
    if asked is not None:
        asked[root] = Repository(FAILED, problem)


def work_tree_files(root: Path) -> list[str] | None:
    """Files under `root` that git tracks or would track, relative to `root`.

    Tracked files plus untracked ones that no ignore rule excludes; None when
    `root` is not a tracked tree or git fails (the failure is recorded, see
    `repository`). Tracked files that were deleted from disk are still
    listed by git; callers check that each file exists.
    """
    try:
        if repository(root).state != TRACKED:
            return None
        listed = _git(root, "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    except GitFailed as error:
        _record_failure(root, str(error))
        return None
    if listed.returncode != 0:
        _record_failure(root, _failure("ls-files", listed))
        return None
    return sorted(set(_null_separated(listed.output)))


def commit_counts(root: Path, since: int) -> dict[str, int]:
    """Number of commits since the Unix time `since` that touched each file under `root`.

    Paths are relative to `root`, which must be a tracked tree; GitFailed when
    git cannot read the history. Merge commits list no files here, so a
    change merged from a branch counts once, for the commit that made it.
    """
    # --max-age=0 would mean no limit, and a negative age matches nothing:
    # a window that starts before 1970 is the whole history.
    log = _git(
        root,
        "log",
        f"--max-age={max(since, 1)}",
        "--no-ext-diff",  # names only: no diff program, no textconv filter
        "--no-textconv",
        "--relative",
        "--name-only",
        "-z",
        "--format=",
        "--",
        ".",
    )
    if log.returncode == 0:
        return dict(Counter(_null_separated(log.output)))
    head = _git(root, "rev-parse", "-q", "--verify", "HEAD")
    if head.returncode == 1 and not head.message:
        return {}  # a repository without commits yet: nothing has churned
    raise GitFailed(_failure("log", log))
