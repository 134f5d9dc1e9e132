"""The long-lived server follows the tree's file-system events: a call made
while nothing changed answers without listing the tree, and every change
made between two calls is in the second one's answer, whatever made it (an
edit, a rename, a delete, `git checkout`), also when the events cannot be
trusted (an inotify watch limit that runs out, lost events)."""

from __future__ import annotations

import contextlib
import os
import pathlib
import sqlite3
import subprocess
from collections.abc import Iterator

import pytest
from helpers import commit_all, quibra_json, write_tree
from test_mcp import answer, drive

pytestmark = pytest.mark.host
pytest.importorskip("watchdog")

WATCH_LIMIT = pathlib.Path("/proc/sys/fs/inotify/max_user_watches")
QUEUE_LIMIT = pathlib.Path("/proc/sys/fs/inotify/max_queued_events")


@contextlib.contextmanager
def kernel_limit(path: pathlib.Path, value: int) -> Iterator[None]:
    """Set an inotify limit of this machine for a moment (root only), and put it back."""
    if not os.access(path, os.W_OK):
        pytest.skip(f"{path} cannot be written here")
    old = path.read_text()
    path.write_text(str(value))
    try:
        yield
    finally:
        path.write_text(old)


def _tree(root: pathlib.Path) -> pathlib.Path:
    write_tree(root, {"pkg/__init__.py": "", "pkg/base.py": "def plain_helper(value):\n    return value\n"})
    commit_all(root)
    return root


async def _paths(session, query: str) -> set[str]:
    found = await answer(session, "search_files", query=query, top=20)
    return {entry["path"] for entry in found["results"]}


async def _names(session, query: str) -> set[str]:
    found = await answer(session, "search_code", query=query, budget=2000)
    return {entry["symbol"] for entry in found["results"]}


def test_every_change_between_two_calls_is_seen_and_a_quiet_tree_is_not_listed(tmp_path):
    root = _tree(tmp_path / "tree")
    git = ["git", "-C", str(root)]

    async def scenario(session) -> None:
        assert "plain_helper" in await _names(session, "plain helper")
        quiet = await answer(session, "search_code", query="plain helper", budget=500)
        assert quiet["refresh"].get("watched") is True
        # Each change is made right before the call that must see it.
        (root / "pkg/fresh.py").write_text("def frobnicate_widgets(count):\n    return count\n")
        assert await _paths(session, "frobnicate widgets") == {"pkg/fresh.py"}
        (root / "pkg/fresh.py").write_text("def frobnicate_gadgets(count):\n    return count\n")
        assert "frobnicate_gadgets" in await _names(session, "frobnicate gadgets")
        (root / "pkg/fresh.py").rename(root / "pkg/moved.py")
        assert await _paths(session, "frobnicate gadgets") == {"pkg/moved.py"}
        (root / "pkg/moved.py").unlink()
        assert await _paths(session, "frobnicate gadgets") == set()
        # Another branch, checked out by git between two calls.
        subprocess.run([*git, "checkout", "-q", "-b", "other"], check=True)
        (root / "pkg/branch.py").write_text("def branch_only_feature():\n    return 1\n")
        commit_all(root, "a file of the other branch")
        assert await _paths(session, "branch only feature") == {"pkg/branch.py"}
        subprocess.run([*git, "checkout", "-q", "-"], check=True)
        assert await _paths(session, "branch only feature") == set()
        # A new folder, watched from now on.
        (root / "deep/er").mkdir(parents=True)
        (root / "deep/er/inside.py").write_text("def nested_folder_finder():\n    return 2\n")
        assert await _paths(session, "nested folder finder") == {"deep/er/inside.py"}
        (root / "deep/er/inside.py").write_text("def nested_folder_seeker():\n    return 2\n")
        assert "nested_folder_seeker" in await _names(session, "nested folder seeker")

    drive(root, tmp_path / "server.log", scenario)
    # The server's note is gone with it: no watcher runs now.
    assert quibra_json("status", root)["watcher"] is None


def test_a_watch_limit_that_runs_out_leaves_the_answers_right(tmp_path):
    root = _tree(tmp_path / "tree")

    async def scenario(session) -> None:
        assert "plain_helper" in await _names(session, "plain helper")
        status = quibra_json("status", root)
        assert status["watcher"]["state"] == "running" and status["watcher"]["pid"] != os.getpid()
        # No watch is left for the folder made now: its events never come.
        with kernel_limit(WATCH_LIMIT, 1):
            (root / "late").mkdir()
            (root / "late/first.py").write_text("def late_folder_first():\n    return 1\n")
            assert await _paths(session, "late folder first") == {"late/first.py"}
            (root / "late/first.py").write_text("def late_folder_second():\n    return 1\n")
            assert "late_folder_second" in await _names(session, "late folder second")
            quiet = await answer(session, "search_code", query="late folder", budget=500)
            assert not quiet["refresh"].get("watched")

    drive(root, tmp_path / "server.log", scenario)


def test_a_server_that_cannot_watch_lists_the_tree_on_every_call(tmp_path):
    root = _tree(tmp_path / "tree")

    async def scenario(session) -> None:
        assert "plain_helper" in await _names(session, "plain helper")
        assert quibra_json("status", root)["watcher"]["state"].startswith("off: ")
        (root / "pkg/base.py").write_text("def plain_assistant(value):\n    return value\n")
        assert "plain_assistant" in await _names(session, "plain assistant")

    with kernel_limit(WATCH_LIMIT, 1):
        drive(root, tmp_path / "server.log", scenario)


def test_lost_events_send_the_next_call_to_the_tree(tmp_path):
    root = _tree(tmp_path / "tree")
    count = 300

    async def scenario(session) -> None:
        assert "plain_helper" in await _names(session, "plain helper")
        # A burst of far more events than the kernel queues for the watch.
        for number in range(count):
            (root / "pkg" / f"burst{number}.py").write_text(f"def burst_function_{number}():\n    return {number}\n")
        found = await answer(session, "search_files", query="burst function", top=count + 10)
        assert len(found["results"]) == count

    # The queue's length is taken when the watch starts.
    with kernel_limit(QUEUE_LIMIT, 16):
        drive(root, tmp_path / "server.log", scenario)


def test_a_change_made_just_before_asking_is_never_missed(tmp_path):
    from quibra.tree.watch import TreeWatch

    root = tmp_path / "tree"
    (root / ".quibra").mkdir(parents=True)
    watch = TreeWatch(root, root / ".quibra")
    try:
        watch.refreshed(watch.mark())
        assert watch.quiet()
        for number in range(50):
            # The index's own folder is not the tree: writing there changes nothing.
            (root / ".quibra" / "index.sqlite").write_bytes(b"%d" % number)
            assert watch.quiet()
            (root / f"file{number}.py").write_text("x = 1\n")
            assert not watch.quiet(), number  # asked at once: the event must be waited for
            watch.refreshed(watch.mark())
    finally:
        watch.close()


def _index_dump(index_file: pathlib.Path) -> tuple[list[tuple], list[tuple], list[tuple]]:
    from helpers import stored_references
    from test_refs import _importance

    connection = sqlite3.connect(index_file)
    try:
        files = connection.execute("SELECT path, language, hash, skipped FROM files ORDER BY path").fetchall()
    finally:
        connection.close()
    return files, stored_references(index_file), _importance(index_file)


def _atomic_save(root: pathlib.Path) -> None:
    # As editors save: a new file written beside, then renamed over the old one.
    (root / "pkg/base.py.tmp").write_text("def plain_helper(value, more):\n    return value\n")
    os.replace(root / "pkg/base.py.tmp", root / "pkg/base.py")


def _swapped_for_link(root: pathlib.Path) -> None:
    (root / "pkg/base.py").unlink()
    (root / "pkg/base.py").symlink_to(root.parent / "outside.py")


# Each change, and whether its events alone tell what to look at (else the tree is listed).
CHANGES = {
    "a file swapped for a link out of the tree": (_swapped_for_link, True),
    "a file's mode changed": (lambda root: (root / "pkg/user.py").chmod(0o600), True),
    "an edit": (lambda root: (root / "pkg/base.py").write_text("def plain_sibling(value):\n    return value\n"), True),
    "a delete": (lambda root: (root / "pkg/user.py").unlink(), True),
    "an editor's save": (_atomic_save, True),
    "a file no listing holds": (lambda root: (root / "notes.txt").write_text("later\n"), True),
    "a new source file": (lambda root: (root / "pkg/fresh.py").write_text("def fresh_one():\n    return 1\n"), False),
    "a build folder's package mark gone": (lambda root: (root / "build/__init__.py").unlink(), False),
    "an ignore rule": (lambda root: (root / ".gitignore").write_text("pkg/extra.py\n"), False),
    "a folder renamed": (lambda root: (root / "build").rename(root / "made"), False),
}


@pytest.mark.parametrize("name", list(CHANGES))
def test_a_call_after_a_change_looks_at_the_changed_files_alone_only_where_their_events_tell_enough(tmp_path, name):
    import quibra as api
    from quibra.tree.watch import TreeWatch

    change, alone = CHANGES[name]
    root = tmp_path / "tree"
    write_tree(
        root,
        {
            "pkg/__init__.py": "",
            "pkg/base.py": "def plain_helper(value):\n    return value\n",
            "pkg/user.py": "from pkg.base import plain_helper\n\n\ndef use():\n    return plain_helper(1)\n",
            "build/__init__.py": "",
            "build/gen.py": "def generated_thing():\n    return 0\n",
        },
    )
    commit_all(root)
    (tmp_path / "outside.py").write_text("def outside_secret():\n    return 3\n")
    (root / "pkg/extra.py").write_text("def untracked_extra():\n    return 2\n")
    (root / ".quibra").mkdir()
    index_file = root / ".quibra/index.sqlite"
    watch = TreeWatch(root, root / ".quibra")
    try:
        with api.Index(root, index_file=index_file, jobs=1, watch=watch) as index:
            index.rank("plain helper")
            assert index.rank("plain helper")["refresh"].get("watched") is True
            change(root)
            assert bool(index.rank("plain helper")["refresh"].get("watched")) is alone
            assert index.rank("plain helper")["refresh"].get("watched") is True
            index.settle()  # a ranking leaves the symbols' importance to the map
    finally:
        watch.close()
    with api.Index(root, index_file=tmp_path / "fresh.sqlite", jobs=1) as index:
        index.refresh()
    assert _index_dump(index_file) == _index_dump(tmp_path / "fresh.sqlite")
