"""The index: refreshed in small steps it answers as a fresh build does, and
no fault of the tree, of the file or of the process leaves it half-written.

Everything runs on real files: a real SQLite file on disk, real processes
killed with real signals, a real Dask cluster.
"""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator

import _quibra_core as engine
import pytest
import quibra as api
from helpers import (
    STDLIB,
    _command,
    commit_all,
    full_text_counts,
    git,
    needs_git,
    quibra,
    quibra_json,
    stored_references,
    write_tree,
)
from quibra.index.changes import list_tree
from quibra.index.refresh import refresh
from quibra.index.storage import APPLICATION_ID, open_storage

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host

QUERIES = ("parse the settings file", "render a page of users", "store records", "retry a request")

# ---------------------------------------------------------------------------
# A small tree that edits can grow, shrink and rewire.

MODULE = '''
"""Module {name}."""
{imports}


def {name}_load(path, retries=3):
    """Load the {name} settings file, retrying a request when it fails."""
    for attempt in range(retries):
        if attempt and path:
            continue
    return path


class {title}Store:
    """Keeps {name} records."""

    def render_page(self, users):
        """Render a page of users."""
        return [user for user in users if user]
'''


def _module(name: str, imports: list[str], extra: str = "") -> str:
    lines = "\n".join(f"from pkg import {target}" for target in imports)
    # Uses of what it imports and of its own names: references to resolve.
    uses = "".join(
        f"\n\ndef use_{target}(path):\n    {target}.{target}_load(path)\n"
        f"    {target}.{target.title()}Store().render_page([])\n    return {name}_load(path)\n"
        for target in imports
    )
    return textwrap.dedent(MODULE).format(name=name, title=name.title(), imports=lines) + uses + extra


class Tree:
    """A package whose modules import each other; each edit is one a developer makes."""

    def __init__(self, root: pathlib.Path, seed: int):
        self.root = root
        self.random = random.Random(seed)
        self.modules: dict[str, list[str]] = {}
        self.extras: dict[str, str] = {}
        (root / "pkg").mkdir(parents=True)
        (root / "pkg" / "__init__.py").write_text("")
        for name in ("alpha", "beta", "gamma", "delta"):
            self._write(name, [])

    def _write(self, name: str, imports: list[str]) -> None:
        self.modules[name] = imports
        (self.root / "pkg" / f"{name}.py").write_text(_module(name, imports, self.extras.get(name, "")))

    def edit(self, action: str | None = None) -> str:
        names = sorted(self.modules)
        name = self.random.choice(names)
        others = [other for other in names if other != name]
        action = action or self.random.choice(
            ["import", "unimport", "body", "add", "delete", "touch", "same_size", "break", "rename",
             "package_root", "package_above"]
        )
        if action == "import" and others:
            self._write(name, sorted({*self.modules[name], self.random.choice(others)}))
        elif action == "unimport" and self.modules[name]:
            self._write(name, self.modules[name][1:])
        elif action == "body":
            count = self.random.randint(1, 4)
            self.extras[name] = "\n\ndef helper_{0}(value):\n".format(count) + "".join(
                f"    if value > {i}:\n        value -= 1\n" for i in range(count)
            ) + "    return value\n"
            self._write(name, self.modules[name])
        elif action == "add":
            self._write(f"mod{self.random.randint(0, 99)}", others[:1])
        elif action == "delete" and len(names) > 2:
            (self.root / "pkg" / f"{name}.py").unlink()
            del self.modules[name]
            for other in self.modules:
                if name in self.modules[other]:
                    self._write(other, [target for target in self.modules[other] if target != name])
        elif action == "touch":
            path = self.root / "pkg" / f"{name}.py"
            os.utime(path, ns=(time.time_ns(), time.time_ns()))
        elif action == "same_size":
            # Same size and same modification time, other content: only the
            # change time (and the content hash) can tell.
            path = self.root / "pkg" / f"{name}.py"
            before = path.stat()
            text = path.read_text()
            path.write_text(text.replace("retrying", "RETRYING", 1))
            os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        elif action == "break":
            (self.root / "pkg" / f"{name}.py").write_text("def broken(:\n")
        elif action in ("package_root", "package_above"):
            # The root as a package, then a package around it: every module's
            # name changes with the file outside the tree, and so do the edges.
            marker = self.root / "__init__.py" if action == "package_root" else self.root.parent / "__init__.py"
            if marker.exists():
                marker.unlink()
            else:
                marker.write_text("")
        elif action == "rename" and len(names) > 2:
            new = f"{name}_v{self.random.randint(2, 9)}"
            if new not in self.modules:
                os.rename(self.root / "pkg" / f"{name}.py", self.root / "pkg" / f"{new}.py")
                self.modules[new] = self.modules.pop(name)
        return action


def _answers(index: api.Index) -> list[dict[str, object]]:
    """What a user sees, without what may differ between two indexes of one tree."""
    reports = [index.rank(query, budget=1500, refresh=False) for query in QUERIES]
    reports.append(index.hotspots(top=50, min_complexity=1, refresh=False))
    for report in reports:
        del report["index"], report["refresh"]
    return reports


def _graph(index_file: pathlib.Path) -> tuple[list[tuple[bytes, bytes]], list[tuple[bytes, float]]]:
    connection = sqlite3.connect(index_file)
    try:
        edges = connection.execute(
            "SELECT s.path, t.path FROM edges JOIN files s ON s.id = edges.source"
            " JOIN files t ON t.id = edges.target ORDER BY 1, 2"
        ).fetchall()
        ranks = connection.execute(
            "SELECT path, pagerank FROM files WHERE language IS NOT NULL ORDER BY path"
        ).fetchall()
    finally:
        connection.close()
    return edges, ranks


def _schema(index_file: pathlib.Path) -> list[tuple[str, str, str | None]]:
    """Every table and index of the index, as made (a refresh may take an index down and make it again)."""
    connection = sqlite3.connect(index_file)
    try:
        return connection.execute("SELECT type, name, sql FROM sqlite_schema ORDER BY name").fetchall()
    finally:
        connection.close()


def _fresh(root: pathlib.Path, index_file: pathlib.Path) -> api.Index:
    for leftover in index_file.parent.glob(index_file.name + "*"):
        leftover.unlink()
    index = api.Index(root, index_file=index_file, jobs=1)
    index.refresh()
    return index


@needs_git
@pytest.mark.parametrize("seed", range(4))
def test_refresh_after_many_small_edits_equals_a_fresh_build(tmp_path, seed):
    tree = Tree(tmp_path / "tree", seed)
    commit_all(tree.root)  # hotspots need a history; later edits stay uncommitted
    incremental_file = tmp_path / "incremental.sqlite"
    incremental = api.Index(tree.root, index_file=incremental_file, jobs=1)
    incremental.refresh()
    for _step in range(12):
        action = tree.edit()
        incremental.refresh()
        fresh = _fresh(tree.root, tmp_path / "fresh.sqlite")
        try:
            assert _answers(incremental) == _answers(fresh), action
            assert _graph(incremental_file) == _graph(tmp_path / "fresh.sqlite"), action
            assert stored_references(incremental_file) == stored_references(tmp_path / "fresh.sqlite"), action
            assert full_text_counts(incremental_file) == full_text_counts(tmp_path / "fresh.sqlite"), action
            assert _schema(incremental_file) == _schema(tmp_path / "fresh.sqlite"), action
        finally:
            fresh.close()
    incremental.close()


@pytest.mark.parametrize("steps", [("package_root", "package_above"), ("package_root", "package_above", "package_above")])
def test_a_package_appearing_around_the_root_changes_the_edges_as_a_fresh_build_does(tmp_path, steps):
    tree = Tree(tmp_path / "tree", 0)
    # Resolves only while the root is a package and nothing around it is one.
    tree.extras["alpha"] = "\nfrom tree.pkg import beta\n"
    tree._write("alpha", [])
    incremental_file = tmp_path / "incremental.sqlite"
    with api.Index(tree.root, index_file=incremental_file, jobs=1) as incremental:
        for action in steps:
            tree.edit(action)
            incremental.refresh()
            fresh = _fresh(tree.root, tmp_path / "fresh.sqlite")
            fresh.close()
            assert _graph(incremental_file) == _graph(tmp_path / "fresh.sqlite"), action


def _thue_morse(length: int, letters: str) -> str:
    return "".join(letters[bin(i).count("1") % 2] for i in range(length))


def test_an_edit_that_keeps_a_weak_hash_is_still_seen(tmp_path):
    # A Thue-Morse word and its complement agree under any polynomial hash
    # modulo 2**64 with an odd base: two function names, one 64-bit hash.
    first, second = (f"def {_thue_morse(2048, letters)}():\n    return 1\n" for letters in ("ab", "ba"))
    assert engine.content_hash(first.encode()) == engine.content_hash(second.encode())
    root = tmp_path / "tree"
    root.mkdir()
    (root / "crafted.py").write_text(first)
    with api.Index(root, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        index.refresh()
        (root / "crafted.py").write_text(second)
        report = index.refresh()
        assert report["refresh"]["changed"] == 1
    connection = sqlite3.connect(tmp_path / "index.sqlite")
    try:
        assert connection.execute("SELECT name FROM symbols").fetchall() == [(second[4:2052],)]
    finally:
        connection.close()


def _age(*paths: pathlib.Path) -> None:
    """Date files an hour back: a file written a moment before its stat is
    taken is read again on the next refresh, as its timestamp cannot be trusted."""
    hour_ago = time.time_ns() - 3600 * 10**9
    for path in paths:
        os.utime(path, ns=(hour_ago, hour_ago))


def test_refresh_reads_again_only_what_changed(tmp_path):
    tree = Tree(tmp_path / "tree", 0)
    _age(*(tree.root / "pkg").iterdir())
    storage = open_storage(tmp_path / "index.sqlite")
    first = refresh(storage, tree.root)
    assert len(first.added) == 5 and first.pagerank_computed

    quiet = refresh(storage, tree.root)
    assert not quiet.changed_anything and quiet.touched == 0

    store = tree.root / "pkg" / "alpha.py"
    os.utime(store, ns=(time.time_ns(), time.time_ns() - 1800 * 10**9))
    touched = refresh(storage, tree.root)
    assert touched.touched == 1 and not touched.changed_anything and not touched.edges_resolved

    # Written just now: read again on the next refresh too, then left alone.
    store.write_text(store.read_text() + "\n\ndef extra():\n    return 1\n")
    body = refresh(storage, tree.root)
    assert body.changed == ["pkg/alpha.py"] and not body.edges_resolved and not body.pagerank_computed
    assert refresh(storage, tree.root).touched == 1

    store.write_text(store.read_text() + "\nfrom pkg import beta\n")
    rewired = refresh(storage, tree.root)
    assert rewired.edges_resolved and rewired.pagerank_computed

    (tree.root / "pkg" / "gamma.py").unlink()
    removed = refresh(storage, tree.root)
    assert removed.removed == ["pkg/gamma.py"] and removed.pagerank_computed
    storage.close()


# ---------------------------------------------------------------------------
# Hostile trees


def _hostile_tree(root: pathlib.Path, outside: pathlib.Path) -> None:
    write_tree(
        root,
        {
            "good.py": "def parse_settings(path):\n    return path\n",
            "latin.py": "",
            "binary.py": "",
            # Deeper than any version of the parser reads.
            "deep.py": "x = " + "(" * 2000 + ")" * 2000 + "\n",
            "minified.py": "x = [" + "1, " * 5000 + "]\n",
        },
    )
    (root / "latin.py").write_bytes(b"def caf\xe9():\n    return 1\n")
    (root / "binary.py").write_bytes(b"\x7fELF\x00\x00\x01" * 100)
    os.mkdir(root / b"caf\xe9".decode("utf-8", "surrogateescape"))
    odd = os.fsencode(root) + b"/caf\xe9/odd \n name.py"
    with open(odd, "wb") as stream:
        stream.write(b"def settings_reader():\n    '''Parse the settings.'''\n")
    (root / "loop.py").symlink_to(root / "loop.py")
    outside.write_text("def outside_secret():\n    return 1\n")
    (root / "escape.py").symlink_to(outside)
    (root / "alias.py").symlink_to(root / "good.py")


def test_hostile_tree_is_indexed_with_every_bad_file_explained(tmp_path):
    root = tmp_path / "tree"
    _hostile_tree(root, tmp_path / "outside.py")
    report = quibra_json("rank", root, "--query", "parse settings")
    reasons = {entry["path"]: entry["reason"] for entry in report["skipped"]}
    assert reasons == {
        "alias.py": "link to another file of the tree",
        "binary.py": "binary",
        "deep.py": reasons.get("deep.py", ""),
        "escape.py": "link leading out of the tree",
        "latin.py": reasons.get("latin.py", ""),
        "loop.py": "broken link",
        "minified.py": "minified (a line over 10,000 characters)",
    }
    assert "nested" in reasons["deep.py"]
    # Read with its bad byte replaced, the name holds a character no name may hold.
    assert reasons["latin.py"].startswith("not valid Python")
    symbols = {entry["symbol"] for entry in report["results"]}
    assert symbols == {"parse_settings", "settings_reader"}
    odd = next(entry for entry in report["results"] if entry["symbol"] == "settings_reader")
    assert os.fsencode(odd["path"]) == b"caf\xe9/odd \n name.py"
    assert "outside_secret" not in quibra("rank", root, "--query", "outside secret", expect=(0, 1)).stdout
    # The table prints an undecodable name escaped rather than failing.
    assert "caf\\xe9" in quibra("rank", root, "--query", "settings reader").stdout


def test_a_file_gone_between_listing_and_reading_is_dropped(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"kept.py": "def kept():\n    pass\n", "gone.py": "def gone():\n    pass\n"})
    storage = open_storage(tmp_path / "index.sqlite")
    listed = list_tree(root)
    (root / "gone.py").unlink()
    # The refresh lists again, but its reads come after; replay the race by
    # handing the stale listing to the reading step.
    from quibra.index.build import _apply
    from quibra.index.report import RefreshReport
    from quibra.index.writer import Writer as _Writer

    report = RefreshReport()
    with storage.write():
        _apply(root, listed, _Writer(storage, {}, report), jobs=1, cluster=None, progress=False)
    assert report.added == ["kept.py"]
    storage.close()


def test_no_file_of_the_tree_is_changed(tmp_path):
    root = tmp_path / "tree"
    _hostile_tree(root, tmp_path / "outside.py")

    def snapshot() -> dict[bytes, tuple[bytes, int]]:
        seen = {}
        for folder, _subfolders, names in os.walk(os.fsencode(root)):
            for name in names:
                path = os.path.join(folder, name)
                if b"/.quibra" in path:
                    continue
                info = os.lstat(path)
                content = os.readlink(path) if os.path.islink(path) else open(path, "rb").read()
                seen[path] = (content, info.st_mtime_ns)
        return seen

    before = snapshot()
    quibra("index", root)
    quibra("rank", root, "--query", "settings")
    quibra("hotspots", root, expect=1)  # not a repository: refused before reading anything
    assert snapshot() == before
    assert sorted(os.listdir(root / ".quibra")) == [".gitignore", "index.sqlite", *sorted(
        name for name in os.listdir(root / ".quibra") if name.startswith("index.sqlite-")
    )]


# ---------------------------------------------------------------------------
# Where the index lives


@needs_git
def test_default_index_lives_in_the_tree_and_git_does_not_see_it(tmp_path):
    write_tree(tmp_path, {"app.py": "def load_settings(path):\n    return path\n"})
    git(tmp_path, "init", "-q")
    git(tmp_path, "add", "app.py")
    git(tmp_path, "commit", "-q", "-m", "start")
    report = quibra_json("index", tmp_path)
    assert report["index"] == str(tmp_path.resolve() / ".quibra" / "index.sqlite")
    assert (tmp_path / ".quibra" / ".gitignore").read_text() == "*\n"
    status = subprocess.run(["git", "status", "--porcelain"], cwd=tmp_path, capture_output=True, text=True)
    assert status.stdout == ""


@contextlib.contextmanager
def _unwritable(folder: pathlib.Path) -> Iterator[None]:
    """Make `folder` unwritable even to root, whose rights ignore file modes:
    the immutable attribute there, a read-only mode for anyone else."""
    if os.geteuid() != 0:
        folder.chmod(0o555)
        try:
            yield
        finally:
            folder.chmod(0o755)
        return
    if shutil.which("chattr") is None:
        pytest.skip("running as root without chattr: cannot make a tree unwritable")
    made = subprocess.run(["chattr", "+i", str(folder)], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"this file system keeps no immutable attribute: {made.stderr.strip()}")
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", str(folder)], check=True)


def test_unwritable_tree_keeps_its_index_in_the_cache_folder(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"app.py": "def load_settings(path):\n    return path\n"})
    cache = tmp_path / "cache"
    command, environment = _command()
    environment["XDG_CACHE_HOME"] = str(cache)
    with _unwritable(root):
        completed = subprocess.run(
            [*command, "rank", str(root), "--query", "load settings", "--json"],
            env=environment,
            cwd=root,
            capture_output=True,
            text=True,
        )
    assert completed.returncode == 0, completed.stderr
    report = json.loads(completed.stdout)
    index = pathlib.Path(report["index"])
    assert index.parent == cache / "quibra" and index.name.startswith("tree-")
    assert not (root / ".quibra").exists()
    assert [entry["symbol"] for entry in report["results"]] == ["load_settings"]


# ---------------------------------------------------------------------------
# The index file itself


def _build(root: pathlib.Path, index: pathlib.Path) -> dict[str, object]:
    return quibra_json("rank", root, "--query", "store records", "--index", index)


@pytest.mark.parametrize(
    "damage",
    ["truncate", "garbage_pages", "older_version"],
)
def test_damaged_or_older_index_is_rebuilt(tmp_path, damage):
    tree = Tree(tmp_path / "tree", 1)
    index = tmp_path / "index.sqlite"
    expected = _build(tree.root, index)
    if damage == "truncate":
        with open(index, "r+b") as stream:
            stream.truncate(index.stat().st_size // 2)
    elif damage == "garbage_pages":
        with open(index, "r+b") as stream:
            stream.seek(8192)
            stream.write(os.urandom(index.stat().st_size - 8192))
    elif damage == "older_version":
        connection = sqlite3.connect(index)
        connection.execute("UPDATE meta SET value = '0.0.1' WHERE key = 'version'")
        connection.commit()
        connection.close()
    for suffix in ("-wal", "-shm"):
        pathlib.Path(f"{index}{suffix}").unlink(missing_ok=True)
    completed = quibra("rank", tree.root, "--query", "store records", "--index", index, "--json")
    rebuilt = json.loads(completed.stdout)
    # Damage is news to the user; a new version's rebuild is routine.
    notes = ["damaged"] if damage != "older_version" else []
    assert ["damaged" for line in completed.stderr.splitlines() if "damaged" in line] == notes, completed.stderr
    assert rebuilt["results"] == expected["results"]
    assert rebuilt["refresh"]["added"] == expected["refresh"]["added"] == 5


def _foreign_database(path: pathlib.Path) -> None:
    connection = sqlite3.connect(path)
    connection.execute("CREATE TABLE invoices (id INTEGER PRIMARY KEY, total REAL)")
    connection.execute("INSERT INTO invoices (total) VALUES (9.5)")
    connection.commit()
    connection.close()


@pytest.mark.parametrize("kind", ["sqlite_of_another_program", "text", "random_bytes"])
def test_a_file_of_another_program_is_refused_and_left_untouched(tmp_path, kind):
    tree = Tree(tmp_path / "tree", 2)
    index = tmp_path / "their.db"
    if kind == "sqlite_of_another_program":
        _foreign_database(index)
    elif kind == "text":
        index.write_text("my notes, not an index\n")
    else:
        index.write_bytes(random.Random(3).randbytes(5000))
    before = index.read_bytes()
    for command in ("index", "rank"):
        extra = ["--query", "x"] if command == "rank" else []
        completed = quibra(command, tree.root, *extra, "--index", index, expect=1)
        assert completed.stdout == ""
        assert completed.stderr.count("\n") == 1 and str(index) in completed.stderr
        assert "not a quibra index" in completed.stderr
    assert index.read_bytes() == before
    assert sorted(path.name for path in tmp_path.iterdir()) == ["their.db", "tree"]


def test_marker_is_in_the_file_header(tmp_path):
    tree = Tree(tmp_path / "tree", 0)
    quibra("index", tree.root, "--index", tmp_path / "i.sqlite")
    header = (tmp_path / "i.sqlite").read_bytes()[:100]
    assert int.from_bytes(header[68:72], "big") == APPLICATION_ID


# ---------------------------------------------------------------------------
# Killed, and run side by side


def _big_tree(root: pathlib.Path) -> None:
    """Enough real code that a build takes a while: copies of the standard library's email package."""
    for copy in range(3):
        shutil.copytree(STDLIB / "email", root / f"email{copy}", ignore=shutil.ignore_patterns("__pycache__"))


def _integrity(index: pathlib.Path) -> None:
    connection = sqlite3.connect(index)
    try:
        assert connection.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        assert connection.execute("INSERT INTO lexical(lexical) VALUES ('integrity-check')") is not None
        symbols = connection.execute("SELECT count(*) FROM symbols").fetchone()[0]
        lexical = connection.execute("SELECT count(*) FROM lexical").fetchone()[0]
        assert symbols == lexical
    finally:
        connection.close()


def test_killed_at_any_moment_the_index_is_the_old_or_the_new(tmp_path):
    root = tmp_path / "tree"
    _big_tree(root)
    index = tmp_path / "index.sqlite"
    reference = tmp_path / "reference.sqlite"
    query = ("rank", root, "--query", "parse a message header", "--budget", "2000")
    complete = quibra_json(*query, "--index", reference)["results"]
    command, environment = _command()
    chance = random.Random(7)
    for attempt in range(6):
        # Alternate cold builds and refreshes after an edit, killed at random moments.
        if attempt % 2:
            target = root / "email1" / "header.py"
            target.write_text(target.read_text() + f"\n\ndef edited_{attempt}():\n    return {attempt}\n")
            complete = quibra_json(*query, "--index", reference)["results"]
        # An index killed early may hold nothing yet: rank then lists nothing and exits 1.
        before = (
            quibra_json(*query, "--index", index, "--no-refresh", expect=(0, 1))["results"] if index.exists() else None
        )
        process = subprocess.Popen(
            [*command, "index", str(root), "--index", str(index), "--jobs", "1"],
            env=environment,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        time.sleep(chance.uniform(0.05, 1.5))
        process.send_signal(signal.SIGKILL)
        process.wait()
        # A kill leaves no index at all, or one with quibra's mark and whole
        # schema that answers as before the run or as after it: a new index is
        # built under another name and only then moved in place.
        if index.exists():
            assert index.read_bytes()[68:72] == APPLICATION_ID.to_bytes(4, "big")
            _integrity(index)
            after = quibra_json(*query, "--index", index, "--no-refresh", expect=(0, 1))["results"]
            assert after in ([] if before is None else before, complete)
    # Then a run that is left alone finishes the work, and what killed runs
    # left half-built is gone.
    assert quibra_json(*query, "--index", index)["results"] == complete
    assert [path.name for path in tmp_path.iterdir() if path.name.endswith(".building")] == []


def test_concurrent_refreshes_and_queries_neither_fail_nor_corrupt(tmp_path):
    root = tmp_path / "tree"
    _big_tree(root)
    index = tmp_path / "index.sqlite"
    command, environment = _command()
    builders = [
        subprocess.Popen(
            [*command, "index", str(root), "--index", str(index), "--jobs", "1"],
            env=environment,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for _ in range(2)
    ]
    queries = []
    while any(builder.poll() is None for builder in builders):
        queries.append(
            subprocess.run(
                [*command, "rank", str(root), "--query", "parse header", "--index", str(index), "--no-refresh"],
                env=environment,
                capture_output=True,
                text=True,
            )
        )
    for builder in builders:
        _out, errors = builder.communicate()
        assert builder.returncode == 0, errors
    # A query before the first build's commit finds an empty index, lists nothing and exits 1.
    assert queries and all(query.returncode in (0, 1) and "Traceback" not in query.stderr for query in queries)
    _integrity(index)
    reference = quibra_json("rank", root, "--query", "parse header", "--index", tmp_path / "reference")
    assert quibra_json("rank", root, "--query", "parse header", "--index", index)["results"] == reference["results"]


# ---------------------------------------------------------------------------
# Parallel builds


def test_worker_processes_build_the_same_index(tmp_path):
    root = tmp_path / "tree"
    _big_tree(root)
    single = quibra_json("rank", root, "--query", "decode a header", "--index", tmp_path / "one", "--jobs", "1")
    parallel = quibra_json("rank", root, "--query", "decode a header", "--index", tmp_path / "two", "--jobs", "2")
    assert single["results"] == parallel["results"] and single["symbols"] == parallel["symbols"]
    assert _graph(tmp_path / "one") == _graph(tmp_path / "two")


EMBEDDED = """
import sys, threading, time
import quibra

if sys.argv[1] == "threaded":  # a host with threads of its own, a server say
    threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
with quibra.Index(sys.argv[2], index_file=sys.argv[3], jobs=2) as index:
    print(index.refresh()["symbols"])
"""


@pytest.mark.parametrize("host", ["single", "threaded"])
def test_a_host_program_read_from_standard_input_builds_the_index(tmp_path, host):
    # Workers that import the host's main module would find none to import
    # here (nor a main guard in a host's script): the build must not depend
    # on it, nor print the tracebacks of workers that failed to start.
    root = tmp_path / "tree"
    _big_tree(root)
    command, environment = _command()
    completed = subprocess.run(
        [sys.executable, "-", host, str(root), str(tmp_path / "index.sqlite")],
        input=EMBEDDED,
        env=environment,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode == 0 and completed.stderr == "", completed.stderr[-2000:]
    single = quibra_json("index", root, "--index", tmp_path / "one", "--jobs", "1")
    assert int(completed.stdout) == single["symbols"] > 0


def test_index_report_says_where_the_time_went(tmp_path):
    tree = Tree(tmp_path / "tree", 0)
    built = quibra_json("index", tree.root, "--index", tmp_path / "index.sqlite")["refresh"]
    assert list(built["phases"]) == ["listing", "reading", "imports", "references", "importance", "commit"]
    assert sum(built["phases"].values()) <= built["seconds"] + 0.01


def test_dask_cluster_builds_the_same_index(tmp_path):
    distributed = pytest.importorskip("distributed")
    root = tmp_path / "tree"
    _big_tree(root)
    local = quibra_json("rank", root, "--query", "decode a header", "--index", tmp_path / "local", "--jobs", "1")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    ) as cluster:
        remote = quibra_json(
            "rank", root, "--query", "decode a header", "--index", tmp_path / "remote", "--cluster", cluster.scheduler_address
        )
    assert remote["results"] == local["results"] and remote["refresh"]["added"] == local["refresh"]["added"]
    assert _graph(tmp_path / "local") == _graph(tmp_path / "remote")


def test_unreachable_cluster_is_one_line(tmp_path):
    pytest.importorskip("distributed")
    tree = Tree(tmp_path / "tree", 0)
    completed = quibra("index", tree.root, "--cluster", "tcp://127.0.0.1:9", expect=1)
    assert completed.stderr.count("\n") == 1 and "Dask scheduler" in completed.stderr


# ---------------------------------------------------------------------------
# The Python API


@needs_git
def test_api_answers_as_the_command_does(tmp_path):
    tree = Tree(tmp_path / "tree", 0)
    commit_all(tree.root)
    index_file = tmp_path / "index.sqlite"
    # Shown from the same folder, the paths (and so the token counts of the blocks) agree.
    with api.Index(tree.root, index_file=index_file, display_base=os.getcwd()) as index:
        refreshed = index.refresh()
        assert refreshed["command"] == "index" and refreshed["refresh"]["added"] == 5
        ranked = index.rank("store records", budget=800)
        spots = index.hotspots(top=5)
    command = quibra_json("rank", tree.root, "--query", "store records", "--budget", "800", "--index", index_file)
    assert ranked["results"] == command["results"]
    assert spots["results"] and spots["command"] == "hotspots"
    assert ranked["refresh"] == {"added": 0, "changed": 0, "removed": 0, "seconds": ranked["refresh"]["seconds"]}


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda index: index.rank("   "), "the query is empty"),
        (lambda index: index.rank("x", budget=0), "budget"),
        (lambda index: index.hotspots(since="last tuesday"), "expected a date"),
        (lambda index: index.hotspots(since="30"), "has no unit"),
        (lambda index: index.rank("x", exclude=["!"]), "bad pattern"),
    ],
)
def test_api_refuses_bad_calls_with_one_line(tmp_path, call, message):
    tree = Tree(tmp_path / "tree", 0)
    with api.Index(tree.root, index_file=tmp_path / "index.sqlite") as index:
        with pytest.raises(api.QuibraError, match=message) as raised:
            call(index)
    assert "\n" not in str(raised.value)


def test_api_refuses_a_missing_tree(tmp_path):
    with pytest.raises(api.QuibraError, match="path not found"):
        api.Index(tmp_path / "missing")



def test_counts_follow_every_write_of_the_index(tmp_path):
    """What a report counts is kept between calls of a long-lived index, and
    given again only while nobody, this index or another, wrote the index."""
    root = tmp_path / "tree"
    write_tree(root, {"a.py": "def alpha():\n    return 1\n"})
    index_file = tmp_path / "index.sqlite"

    def counted(index: api.Index) -> tuple[int, int]:
        report = index.rank("alpha", refresh=False)
        return report["files"], report["symbols"]

    with api.Index(root, index_file=index_file) as first:
        first.refresh()
        assert counted(first) == (1, 1)
        report = first.rank("alpha", refresh=False)
        report["languages"]["python"]["files"] = 99  # a caller's own copy
        assert counted(first) == (1, 1)
        (root / "b.py").write_text("def beta():\n    return 2\n\ndef gamma():\n    return 3\n")
        with api.Index(root, index_file=index_file) as second:
            second.refresh()
        assert counted(first) == (2, 3)
        (root / "a.py").unlink()
        first.refresh()
        assert counted(first) == (1, 2)


def _meta_write(storage, value: str) -> None:
    with storage.write() as connection:
        connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('probe', ?)", (value,))


def test_side_snapshots_see_what_their_snapshot_sees_or_are_withheld(tmp_path):
    write_tree(tmp_path / "tree", {"a.py": "def alpha():\n    return 1\n", "b.py": "def beta():\n    return 2\n"})
    index_path = tmp_path / "index.sqlite"
    with api.Index(tmp_path / "tree", index_file=index_path, jobs=1) as index:
        index.refresh()
    storage, writer = open_storage(index_path), open_storage(index_path)
    try:
        probe = "SELECT value FROM meta WHERE key = 'probe'"
        with storage.snapshot() as main, storage.side_snapshots(2) as sides:
            assert len(sides) == 2
            # A write committed meanwhile is seen by none of the three.
            _meta_write(writer, "during")
            assert [connection.execute(probe).fetchone() for connection in (main, *sides)] == [None] * 3
            # They are lent to one call at a time.
            with storage.side_snapshots(2) as more:
                assert more == []
        # A write between the snapshot's first read and the sides' own: they would see another state.
        with storage.snapshot() as main:
            main.execute(probe).fetchone()
            _meta_write(writer, "between")
            with storage.side_snapshots(2) as sides:
                assert sides == []
        # A write transaction that changes nothing leaves the state as it was.
        with storage.snapshot() as main:
            main.execute(probe).fetchone()
            with writer.write() as connection:
                connection.execute("DELETE FROM meta WHERE key = 'absent'")
            with storage.side_snapshots(2) as sides:
                assert len(sides) == 2
                assert {connection.execute(probe).fetchone() for connection in (main, *sides)} == {("between",)}
    finally:
        storage.close()
        writer.close()


def test_a_ranking_leaves_no_thread_behind(tmp_path):
    # Worker processes are forked only from a process with one thread.
    import threading

    write_tree(tmp_path, {"a.py": "def parse_header(line):\n    return line\n"})
    with api.Index(tmp_path, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        before = threading.active_count()
        assert index.rank("parse a header")["results"]
        assert index.rank_files("parse a header")["results"]
        assert threading.active_count() == before


def test_a_listing_noted_as_matching_is_trusted_only_for_the_index_it_matched(tmp_path):
    """A refresh of an unchanged tree notes its listing; a later one trusts that
    note only while the index is as it was, and noting never waits for a writer."""
    from quibra.index.changes import LISTING_NOTE

    tree = Tree(tmp_path / "tree", 0)
    _age(*(tree.root / "pkg").iterdir())
    index_file = tmp_path / "index.sqlite"
    storage, other = open_storage(index_file), open_storage(index_file)
    try:
        refresh(storage, tree.root)
        # Another connection holds the write lock: the note is given up, not waited for.
        other.connection.execute("BEGIN IMMEDIATE")
        assert not refresh(storage, tree.root).changed_anything
        assert storage.note(LISTING_NOTE) is None
        other.connection.execute("ROLLBACK")
        refresh(storage, tree.root)
        assert storage.note(LISTING_NOTE) is not None
        assert refresh(storage, tree.root).touched == 0

        # The index moves under the same tree: the stored stat of one file no
        # longer matches it, which only a comparison with the files finds.
        with other.write() as connection:
            connection.execute("UPDATE files SET mtime_ns = mtime_ns - 1 WHERE path = ?", (b"pkg/alpha.py",))
        assert storage.note(LISTING_NOTE) is None
        assert refresh(storage, tree.root).touched == 1
        assert refresh(storage, tree.root).touched == 0
    finally:
        storage.close()
        other.close()


def test_counts_noted_in_the_index_are_checked_before_they_are_used(tmp_path):
    from quibra.index.counts import NOTE as COUNTS_NOTE

    write_tree(tmp_path / "tree", {"a.py": "def alpha():\n    return 1\n", "b.go": "package b\n\nfunc Beta() {}\n"})
    index_file = tmp_path / "index.sqlite"
    with api.Index(tmp_path / "tree", index_file=index_file) as index:
        expected = index.rank("alpha")["languages"]
    storage = open_storage(index_file)
    try:
        assert storage.note(COUNTS_NOTE) is not None
        state = storage.state()
        # Written as another program might, the index's state left as it was.
        raw = sqlite3.connect(index_file, isolation_level=None)
        for damaged in ("not json", "[1, 2]", '[{"python": ["many", 1]}, {}, []]', '[{"python": 1}, {}, []]', "[[], {}, []]"):
            raw.execute("UPDATE meta SET value = ? WHERE key = ?", (f"{state} {damaged}", COUNTS_NOTE))
            assert storage.note(COUNTS_NOTE) == damaged
            with api.Index(tmp_path / "tree", index_file=index_file) as index:
                assert index.rank("alpha", refresh=False)["languages"] == expected
        raw.close()
    finally:
        storage.close()


def test_notes_outlive_a_settling_of_importance_and_no_other_write(tmp_path):
    from quibra.index import counts
    from quibra.index.changes import LISTING_NOTE
    from quibra.index.importance import settle_importance

    tree = Tree(tmp_path / "tree", 0)
    _age(*(tree.root / "pkg").iterdir())
    storage = open_storage(tmp_path / "index.sqlite")
    try:
        refresh(storage, tree.root)
        tree.edit("import")  # the graph moves: its importance is left to settle
        _age(*(tree.root / "pkg").iterdir())
        assert refresh(storage, tree.root, settle=False).importance_pending
        refresh(storage, tree.root, settle=False)
        counted = counts.counted(storage)
        noted = {key: storage.note(key) for key in (LISTING_NOTE, counts.NOTE)}
        assert None not in noted.values()
        assert settle_importance(storage)
        assert {key: storage.note(key) for key in noted} == noted
        # Any other write leaves them behind.
        tree.edit("body")
        refresh(storage, tree.root)
        assert storage.note(LISTING_NOTE) is None
        assert counts.counted(storage) != counted
    finally:
        storage.close()


def test_what_a_refresh_found_is_looked_for_again_when_another_wrote_meanwhile(tmp_path):
    from quibra.index.build import write_changes
    from quibra.index.changes import DEFAULT_MAX_FILE_SIZE, pending_changes
    from quibra.index.report import RefreshReport
    from quibra.tree.languages import outside_tree

    tree = Tree(tmp_path / "tree", 0)
    index_file = tmp_path / "index.sqlite"
    storage, other = open_storage(index_file), open_storage(index_file)
    try:
        refresh(storage, tree.root)
        tree.edit("add")
        listed = list_tree(tree.root)
        state = storage.state()
        found = pending_changes(storage, listed, DEFAULT_MAX_FILE_SIZE)
        assert found.to_read
        refresh(other, tree.root)  # writes what this one found, while it waited
        report = RefreshReport()
        write_changes(
            storage, tree.root, listed, DEFAULT_MAX_FILE_SIZE, json.dumps(outside_tree(tree.root)), False, report,
            1, None, None, True, False, found=(state, found),
        )
        assert not report.added and not report.changed
    finally:
        storage.close()
        other.close()


def test_only_the_map_waits_for_the_symbols_importance_after_an_edit(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {
        "a.py": "def load(path):\n    return open(path).read()\n",
        "b.py": "from a import load\n\ndef settings(path):\n    return load(path)\n",
    })
    with api.Index(root, index_file=tmp_path / "index.sqlite") as index:
        index.refresh()
        assert not index.importance_stale()
        # The graph moves: `settings` now uses another name.
        (root / "b.py").write_text("from a import load\n\ndef read_all(path):\n    return load(path)\n\n"
                                   "def settings(path):\n    return read_all(path)\n")
        assert [result["symbol"] for result in index.rank("read all")["results"]][:1] == ["read_all"]
        assert index.importance_stale()
        assert index.refs("load")["references"] and index.importance_stale()
        mapped = index.repo_map(budget=500)
        assert not index.importance_stale() and not mapped["warnings"]
    with _fresh(root, tmp_path / "fresh.sqlite") as fresh:
        assert fresh.repo_map(budget=500, refresh=False)["map"] == mapped["map"]


@pytest.mark.parametrize("files", [False, True])
def test_a_query_begun_beside_the_refresh_answers_from_the_state_the_refresh_leaves(tmp_path, files):
    # The full-text channels start before the tree is walked; where the walk
    # finds an edit, what they found in the index before it must not be used.
    root = tmp_path / "tree"
    root.mkdir()
    (root / "headers.py").write_text('def parse_header(text):\n    """Parse a mail header."""\n    return text\n')
    (root / "other.py").write_text('def send_message(text):\n    """Send a mail message."""\n    return text\n')

    def answer(index: api.Index, refresh: bool = True) -> list[str]:
        if files:
            return [entry["path"] for entry in index.rank_files("parse a mail header", refresh=refresh)["results"]]
        return [entry["symbol"] for entry in index.rank("parse a mail header", refresh=refresh)["results"]]

    with api.Index(root, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        index.refresh()
        unchanged = answer(index)
        assert unchanged == answer(index, refresh=False)
        assert unchanged[0] == ("headers.py" if files else "parse_header")
        (root / "headers.py").unlink()
        (root / "configs.py").write_text('def read_config(path):\n    """Read a configuration file."""\n    return path\n')
        edited = answer(index)
        assert edited == answer(index, refresh=False)
        assert ("headers.py" if files else "parse_header") not in edited
