"""The index is never written where a tree points it, never takes over a file
that is not quibra's, and is never lost to a fault it did not cause: real
links, real full and read-only file systems, real damaged pages."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import shutil
import sqlite3
import stat
import subprocess

import pytest
from helpers import STDLIB, _command, quibra, quibra_json, write_tree

pytestmark = pytest.mark.host

TREE = {
    "app.py": "def load_settings(path):\n    return path\n",
    "store.py": "class RecordStore:\n    def save_record(self, record):\n        return record\n",
}
QUERY = ("--query", "save a record")


def _run(*args: object, cache: pathlib.Path | None = None, prefix: tuple[str, ...] = ()):
    command, environment = _command()
    if cache is not None:
        environment["XDG_CACHE_HOME"] = str(cache)
    return subprocess.run(
        [*prefix, *command, *map(str, args)], env=environment, capture_output=True, text=True, timeout=300
    )


def _failed_in_one_line(completed: subprocess.CompletedProcess) -> str:
    assert (completed.returncode, completed.stdout) == (1, ""), completed.stderr
    assert completed.stderr.count("\n") == 1 and "Traceback" not in completed.stderr, completed.stderr
    return completed.stderr


def _contents(folder: pathlib.Path) -> dict[str, object]:
    """Every entry under `folder`: a link by where it points, a file by its bytes."""
    return {
        str(path.relative_to(folder)): os.readlink(path) if path.is_symlink()
        else path.read_bytes() if path.is_file() else path.stat().st_mode
        for path in folder.rglob("*")
    }


@pytest.mark.parametrize(
    "link, target",
    [(".quibra", "folder"), (".quibra/index.sqlite", "nothing"), (".quibra/index.sqlite", "file"),
     (".quibra/index.sqlite-wal", "nothing"), (".quibra/index.sqlite-shm", "nothing"), (".quibra/.gitignore", "nothing")],
)
def test_a_link_in_the_tree_never_steers_where_the_index_is_written(tmp_path, link, target):
    root, outside = tmp_path / "tree", tmp_path / "outside"
    write_tree(root, TREE)
    outside.mkdir()
    if target == "folder":
        (outside / "target").mkdir()
    elif target == "file":
        (outside / "target").write_text("someone's notes\n")
    (root / link).parent.mkdir(exist_ok=True)
    (root / link).symlink_to(outside / "target")
    before = _contents(outside), os.readlink(root / link)
    completed = _run("rank", root, *QUERY, "--json", cache=tmp_path / "cache")
    assert completed.returncode == 0, completed.stderr
    report = json.loads(completed.stdout)
    assert report["results"][0]["symbol"] == "RecordStore.save_record"
    assert (_contents(outside), os.readlink(root / link)) == before
    assert os.path.realpath(report["index"]) == report["index"]  # reached through no link


@pytest.mark.parametrize(
    "kind, said",
    [("empty_module", "not a quibra index"), ("empty_database", "not a quibra index"),
     ("fifo", "not a quibra index"), ("link_to_nothing", "symbolic link"), ("link_to_an_index", "symbolic link")],
)
def test_an_index_option_naming_what_is_not_an_index_is_refused_and_left_as_it_was(tmp_path, kind, said):
    root = tmp_path / "tree"
    write_tree(root, {**TREE, "pkg/__init__.py": ""})
    target = root / "pkg" / "__init__.py" if kind == "empty_module" else tmp_path / "target"
    if kind == "empty_database":
        sqlite3.connect(target).execute("VACUUM").connection.close()  # a header, no table
    elif kind == "fifo":
        os.mkfifo(target)
    elif kind.startswith("link"):
        if kind == "link_to_an_index":
            quibra("index", root, "--index", tmp_path / "real.sqlite")
        target.symlink_to(tmp_path / "real.sqlite")
    before = _contents(tmp_path)
    for command in (("index",), ("rank", *QUERY, "--no-refresh")):
        stderr = _failed_in_one_line(_run(command[0], root, *command[1:], "--index", target))
        assert str(target) in stderr and said in stderr
    assert _contents(tmp_path) == before


@pytest.mark.parametrize("where", ["schema_page", "symbols_page"])
def test_a_damaged_index_is_rebuilt_from_the_tree_and_the_user_is_told(tmp_path, where):
    root, index = tmp_path / "tree", tmp_path / "index.sqlite"
    write_tree(root, TREE)
    expected = quibra_json("rank", root, *QUERY, "--index", index)
    connection = sqlite3.connect(index)
    size = connection.execute("PRAGMA page_size").fetchone()[0]
    page = connection.execute("SELECT rootpage FROM sqlite_master WHERE name = 'symbols'").fetchone()[0]
    connection.close()  # the last one: the WAL is folded into the file
    # Overwrite one real page with bytes no page holds; the header and its mark stay.
    start, end = (100, size) if where == "schema_page" else ((page - 1) * size, page * size)
    with open(index, "r+b") as stream:
        stream.seek(start)
        stream.write(b"\xff" * (end - start))
    completed = quibra("rank", root, *QUERY, "--index", index, "--no-refresh", "--json")
    report = json.loads(completed.stdout)
    assert report["results"] == expected["results"] and report["symbols"] == expected["symbols"]
    assert completed.stderr.count("\n") == 1 and str(index) in completed.stderr and "damaged" in completed.stderr
    assert report["warnings"] == [completed.stderr.removeprefix("quibra: ").strip()]


@contextlib.contextmanager
def _small_disk(folder: pathlib.Path):
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    folder.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6m", "tmpfs", folder], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {mounted.stderr.strip()}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", folder], check=True)


@pytest.mark.parametrize("leave", [0, 256 * 1024], ids=["no_room", "a_little_room"])
def test_a_full_disk_leaves_the_index_as_it_was(tmp_path, leave):
    root = tmp_path / "tree"
    write_tree(root, TREE)
    with _small_disk(tmp_path / "disk") as disk:
        index = disk / "index.sqlite"
        before = quibra_json("rank", root, *QUERY, "--index", index)
        # Enough new code that the next refresh needs more room than is left.
        shutil.copytree(STDLIB / "email", root / "email", ignore=shutil.ignore_patterns("__pycache__"))
        kept = index.read_bytes()
        with open(disk / "filler", "wb", buffering=0) as filler:
            with contextlib.suppress(OSError):  # until the disk is full
                while filler.write(bytes(1 << 16)):
                    pass
            filler.truncate(max(filler.tell() - leave, 0))
        assert str(index) in _failed_in_one_line(_run("index", root, "--index", index, "--jobs", "1"))
        (disk / "filler").unlink()
        # SQLite may leave its side files where it could not finish them.
        assert {path.name.removesuffix("-wal").removesuffix("-shm") for path in disk.iterdir()} == {index.name}
        assert index.read_bytes() == kept
        after = quibra_json("rank", root, *QUERY, "--index", index, "--no-refresh")
        assert after["results"] == before["results"] and after["files"] == before["files"]


def test_a_read_only_index_in_a_writable_folder_is_left_as_it_was(tmp_path):
    root, index = tmp_path / "tree", tmp_path / "index.sqlite"
    write_tree(root, TREE)
    before = quibra_json("rank", root, *QUERY, "--index", index)
    prefix: tuple[str, ...] = ()
    if os.geteuid() == 0:  # root writes any file: run without the rights that let it
        prefix = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner", "--")
        if shutil.which("setpriv") is None or subprocess.run([*prefix, "true"]).returncode != 0:
            pytest.skip("cannot drop root's right to write any file here (setpriv)")
    index.chmod(0o444)
    write_tree(root, {"more.py": "def save_more(records):\n    return records\n"})
    kept = index.read_bytes(), index.stat().st_ino
    stderr = _failed_in_one_line(_run("index", root, "--index", index, prefix=prefix))
    assert str(index) in stderr and "read-only" in stderr
    assert (index.read_bytes(), index.stat().st_ino) == kept
    # Queries that need no write still answer from it.
    completed = _run("rank", root, *QUERY, "--index", index, "--no-refresh", "--json", prefix=prefix)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert json.loads(completed.stdout)["results"] == before["results"]


@pytest.mark.parametrize("cache_folder", ["new", "left_open_by_an_older_run"])
def test_an_index_in_the_cache_folder_is_private(tmp_path, cache_folder):
    root, cache = tmp_path / "tree", tmp_path / "cache"
    write_tree(root, {**TREE, ".quibra": "a file, not a folder: the index goes to the cache\n"})
    if cache_folder != "new":
        (cache / "quibra").mkdir(parents=True, mode=0o755)
    umask = os.umask(0o022)
    try:
        completed = _run("rank", root, *QUERY, "--json", cache=cache)
    finally:
        os.umask(umask)
    assert completed.returncode == 0, completed.stderr
    index = pathlib.Path(json.loads(completed.stdout)["index"])
    assert index.parent == cache / "quibra" and stat.S_IMODE(index.parent.stat().st_mode) == 0o700
    connection = sqlite3.connect(index)  # open: SQLite keeps its side files beside the index
    connection.execute("SELECT count(*) FROM files").fetchone()
    modes = {path.name: stat.S_IMODE(path.stat().st_mode) for path in index.parent.iterdir()}
    connection.close()
    assert modes == {name: 0o600 for name in (index.name, f"{index.name}-wal", f"{index.name}-shm")}
