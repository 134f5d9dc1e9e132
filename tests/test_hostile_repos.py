"""Trees written by an attacker: a repository whose own configuration names
programs for git to run, variables inherited from a git hook that point git
at another repository, an index that lists files outside the tree, folders
swapped for links, FIFOs, a git that never answers, and nesting deeper than
Python recurses. Nothing may run, nothing outside the tree may be read, and
every refusal is one line."""

from __future__ import annotations

import hashlib
import json
import os
import pathlib
import struct
import subprocess
import sys
import time

import pytest
from helpers import commit_all, git, needs_git, quibra, write_tree

pytestmark = [pytest.mark.host, needs_git]

SECRET = "exfiltrated_9c4e1b_secret"  # the name of the one function outside the tree
SECRET_TEXT = "text-of-the-outside-file-5f0a"  # what it returns
OWN = "inside_7d2a_marker"


def _hostile_program(folder: pathlib.Path, marker: pathlib.Path) -> pathlib.Path:
    """A program that leaves `marker` behind if anything ever runs it."""
    program = folder / "hostile.sh"
    program.write_text(f"#!/bin/sh\ntouch '{marker}'\nexit 1\n")
    program.chmod(0o755)
    return program


def _repository(root: pathlib.Path) -> None:
    # Branches enough for hotspots to ask git for the file's history.
    write_tree(root, {"own.py": f"def {OWN}(x):\n    if x:\n        return 1\n    return 2 if x is None else 3\n"})
    commit_all(root)


def _fsmonitor(root: pathlib.Path, program: pathlib.Path) -> None:
    git(root, "config", "core.fsmonitor", str(program))


def _signed_head(root: pathlib.Path, program: pathlib.Path) -> None:
    """HEAD becomes a commit with a signature, which git checks with gpg.program
    whenever log.showSignature is on."""
    write_tree(root, {"signed.py": "SIGNED = 1\n"})  # a change, or log would skip the commit
    git(root, "add", "signed.py")
    tree = subprocess.run(["git", "write-tree"], cwd=root, capture_output=True, text=True).stdout
    parent = subprocess.run(["git", "rev-parse", "HEAD"], cwd=root, capture_output=True, text=True).stdout
    now = int(time.time())  # within the window hotspots look at
    body = (
        f"tree {tree.strip()}\nparent {parent.strip()}\n"
        f"author A <a@example.com> {now} +0000\ncommitter A <a@example.com> {now} +0000\n"
        "gpgsig -----BEGIN PGP SIGNATURE-----\n \n iQEzBAABCAAdFiEE\n -----END PGP SIGNATURE-----\n\nsigned\n"
    )
    (root / "commit.txt").write_text(body)
    commit = subprocess.run(
        ["git", "hash-object", "-t", "commit", "-w", "commit.txt"], cwd=root, capture_output=True, text=True
    ).stdout.strip()
    (root / "commit.txt").unlink()
    git(root, "update-ref", "HEAD", commit)
    git(root, "config", "log.showSignature", "true")
    git(root, "config", "gpg.program", str(program))


def _promisor_with_a_missing_tree(root: pathlib.Path, program: pathlib.Path) -> None:
    """A partial clone whose history lacks a tree: git would fetch it from the
    promisor remote, starting the remote's upload-pack program to do so."""
    write_tree(root, {"sub/a.py": "A = 1\n"})
    commit_all(root, "sub")
    write_tree(root, {"sub/b.py": "B = 1\n"})
    commit_all(root, "more")
    tree = subprocess.run(["git", "rev-parse", "HEAD~1:sub"], cwd=root, capture_output=True, text=True).stdout.strip()
    (root / ".git" / "objects" / tree[:2] / tree[2:]).unlink()
    git(root, "config", "core.repositoryformatversion", "1")
    git(root, "config", "extensions.partialClone", "origin")
    git(root, "config", "remote.origin.url", str(root.parent / "elsewhere"))
    git(root, "config", "remote.origin.uploadpack", str(program))


HOSTILE_CONFIGS = {
    "fsmonitor": (_fsmonitor, [("index",), ("rank", "-q", OWN), ("hotspots",)]),
    "signature-check": (_signed_head, [("hotspots",)]),
    "lazy-fetch": (_promisor_with_a_missing_tree, [("hotspots",)]),
}


@pytest.mark.parametrize("case", sorted(HOSTILE_CONFIGS))
def test_a_repository_configuration_starts_no_program(tmp_path, case):
    configure, commands = HOSTILE_CONFIGS[case]
    root, marker = tmp_path / "repo", tmp_path / "ran"
    root.mkdir()
    _repository(root)
    configure(root, _hostile_program(tmp_path, marker))
    for command in commands:
        completed = quibra(*command, root, "--json", expect=(0, 1))
        assert len(completed.stderr.splitlines()) <= 1, completed.stderr
        assert not marker.exists(), f"quibra {command[0]} ran the repository's program"


# Each layout leaves the same tree: own.py tracked, gen_kept.py tracked although
# its name is ignored, gen_loose.py ignored and untracked, all under src/ of the
# repository (quibra looks at src/). Another repository lies beside it.
def _layout(tmp_path: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path]:
    repository, other = tmp_path / "project", tmp_path / "other"
    write_tree(
        repository,
        {
            ".gitignore": "gen_*.py\n",
            "src/own.py": f"def {OWN}():\n    return 1\n",
            "src/gen_kept.py": "def kept_generated():\n    return 2\n",
        },
    )
    git(repository, "init", "-q")
    git(repository, "add", ".gitignore", "src/own.py")
    git(repository, "add", "-f", "src/gen_kept.py")
    git(repository, "commit", "-q", "-m", "start")
    write_tree(repository, {"src/gen_loose.py": "def loose_generated():\n    return 3\n"})
    write_tree(other, {"src/other.py": "def from_another_repository():\n    return 4\n"})
    commit_all(other)
    return repository, other


REDIRECTING_VARIABLES = {
    "GIT_DIR": lambda repository, other: str(other / ".git"),
    "GIT_WORK_TREE": lambda repository, other: str(other),
    "GIT_INDEX_FILE": lambda repository, other: str(other / ".git" / "index"),
    "GIT_CEILING_DIRECTORIES": lambda repository, other: str(repository),
}


@pytest.mark.parametrize("variable", sorted(REDIRECTING_VARIABLES))
def test_inherited_git_variables_do_not_redirect_the_listing(tmp_path, monkeypatch, variable):
    repository, other = _layout(tmp_path)
    monkeypatch.setenv(variable, REDIRECTING_VARIABLES[variable](repository, other))
    manifest = tmp_path / "manifest.json"
    completed = quibra("hash", repository / "src", "--manifest", manifest, "--json")
    assert json.loads(completed.stdout)["warnings"] == []
    assert set(json.loads(manifest.read_text())["files"]) == {"own.py", "gen_kept.py"}


def test_inherited_object_directory_does_not_hide_the_history(tmp_path, monkeypatch):
    repository, other = _layout(tmp_path)
    monkeypatch.setenv("GIT_OBJECT_DIRECTORY", str(other / ".git" / "objects"))
    report = json.loads(quibra("hotspots", repository / "src", "--json", expect=(0, 1)).stdout)
    assert report["files"] == 2


def _index_entry(name: bytes, blob: str) -> bytes:
    """One entry of a version 2 index: stat fields (zero here), mode, object id, flags, name, NUL padding."""
    fixed = struct.pack(">10I", 0, 0, 0, 0, 0, 0, 0o100644, 0, 0, 0) + bytes.fromhex(blob)
    entry = fixed + struct.pack(">H", min(len(name), 0xFFF)) + name
    return entry + b"\0" * (8 - len(entry) % 8)


def _write_index(root: pathlib.Path, names: list[bytes], blob: str) -> None:
    body = b"DIRC" + struct.pack(">II", 2, len(names)) + b"".join(_index_entry(name, blob) for name in sorted(names))
    (root / ".git" / "index").write_bytes(body + hashlib.sha1(body).digest())


def _outside(tmp_path: pathlib.Path) -> pathlib.Path:
    folder = tmp_path / "outside"
    write_tree(folder, {"secret.py": f"def {SECRET}():\n    return '{SECRET_TEXT}'\n"})
    return folder


def _index_leading_up(root: pathlib.Path, outside: pathlib.Path) -> list[str]:
    blob = subprocess.run(
        ["git", "hash-object", "-w", str(outside / "secret.py")], cwd=root, capture_output=True, text=True
    ).stdout.strip()
    escape = os.path.relpath(outside / "secret.py", root).encode()
    _write_index(root, [escape, b"own.py"], blob)
    return ["own.py"]


def _index_absolute(root: pathlib.Path, outside: pathlib.Path) -> list[str]:
    blob = subprocess.run(
        ["git", "hash-object", "-w", str(outside / "secret.py")], cwd=root, capture_output=True, text=True
    ).stdout.strip()
    _write_index(root, [os.fsencode(outside / "secret.py"), b"own.py"], blob)
    return ["own.py"]


def _folder_swapped_for_a_link(root: pathlib.Path, outside: pathlib.Path) -> list[str]:
    write_tree(root, {"pkg/secret.py": "def harmless():\n    return 0\n"})
    commit_all(root, "pkg")
    for file in (root / "pkg").iterdir():
        file.unlink()
    (root / "pkg").rmdir()
    (root / "pkg").symlink_to(outside, target_is_directory=True)
    return ["own.py", "pkg"]  # the link itself is listed, and unreadable


def _file_link_out(root: pathlib.Path, outside: pathlib.Path) -> list[str]:
    (root / "leak.py").symlink_to(outside / "secret.py")
    commit_all(root, "link")
    return ["own.py", "leak.py"]


LEAKING_LAYOUTS = {
    "index-entry-leading-up": _index_leading_up,
    "index-entry-absolute": _index_absolute,
    "folder-swapped-for-a-link": _folder_swapped_for_a_link,
    "file-link-out-of-the-tree": _file_link_out,
}


@pytest.mark.parametrize("layout", sorted(LEAKING_LAYOUTS))
def test_no_file_outside_the_tree_is_read(tmp_path, layout):
    root = tmp_path / "repo"
    root.mkdir()
    _repository(root)
    listed = LEAKING_LAYOUTS[layout](root, _outside(tmp_path))
    shown = quibra("rank", "-q", SECRET, root, "--context", expect=(0, 1))
    found = quibra("rank", "-q", SECRET, root, "--context", "--json", expect=(0, 1))
    manifest = tmp_path / "manifest.json"
    hashed = quibra("hash", root, "--manifest", manifest, "--json")
    for completed in (shown, found, hashed):
        assert SECRET_TEXT not in completed.stdout + completed.stderr
    assert SECRET not in json.dumps(json.loads(found.stdout)["results"])
    report = json.loads(hashed.stdout)
    # Links are not read: counted unreadable, as the index records them unread.
    assert sorted([*json.loads(manifest.read_text())["files"], *report["unreadable_files"]]) == sorted(listed)
    assert not any((root / path).is_symlink() for path in json.loads(manifest.read_text())["files"])


def test_a_git_that_never_answers_is_one_line(tmp_path, monkeypatch):
    root = tmp_path / "repo"
    root.mkdir()
    _repository(root)
    # git opens its index and waits for a writer that never comes.
    (root / ".git" / "index").unlink()
    os.mkfifo(root / ".git" / "index")
    monkeypatch.setenv("QUIBRA_GIT_TIMEOUT", "1")
    indexed = quibra("index", root)
    assert indexed.stderr.splitlines() == [indexed.stderr.strip()]
    assert "git did not answer within 1 second" in indexed.stderr
    spots = quibra("hotspots", root, expect=1)
    assert spots.stderr.splitlines() == [spots.stderr.strip()]
    assert "git did not answer within 1 second" in spots.stderr


def test_a_fifo_in_place_of_a_file_is_refused_without_blocking(tmp_path):
    os.mkfifo(tmp_path / "pipe.py")
    write_tree(tmp_path, {"plain.py": "X = 1\n"})
    probe = (
        "import sys\nfrom quibra.tree.files import open_tree_file\n"
        "root = sys.argv[1]\n"
        "print(open_tree_file(root, 'pipe.py') is None, open_tree_file(root, 'plain.py')[0] == b'X = 1\\n')\n"
    )
    # Run apart, so that an open that blocks fails this test instead of hanging the run.
    completed = subprocess.run(
        [sys.executable, "-c", probe, str(tmp_path)], capture_output=True, text=True, timeout=60
    )
    assert completed.stdout.split() == ["True", "True"], completed.stderr


@pytest.mark.parametrize(
    "path",
    ["../outside/secret.py", "/etc/hostname", "tree/../../outside/secret.py", "link/secret.py", "./tree/a.py",
     "tree//a.py", "", "tree/a.py\0", "tree/a.py/"],
)
def test_open_tree_file_refuses_paths_that_leave_the_tree(tmp_path, path):
    from quibra.tree.files import open_tree_file

    outside = _outside(tmp_path)
    root = tmp_path / "root"
    write_tree(root, {"tree/a.py": "A = 1\n"})
    (root / "link").symlink_to(outside, target_is_directory=True)
    assert open_tree_file(root, "tree/a.py") is not None
    assert open_tree_file(root, path) is None


@pytest.fixture
def deep_tree(tmp_path):
    """1,200 folders one inside the other, a source file at the bottom. It is
    taken down by rm, which does not recurse: shutil.rmtree (and so pytest's
    own clean-up) would fail on it, and keep failing in later runs."""
    root = tmp_path / "deep"
    try:
        folder = root
        for _ in range(1200):  # os.makedirs recurses too
            folder = folder / "d"
            folder.mkdir(parents=True)
        (folder / "bottom.py").write_text("def deepest_nested_function():\n    return 1\n")
        yield root
    finally:
        subprocess.run(["rm", "-rf", "--", str(root)], check=True)


def test_a_tree_nested_deeper_than_python_recurses(deep_tree):
    deep = "/".join(["d"] * 1200)
    found = json.loads(quibra("rank", "-q", "deepest_nested_function", deep_tree, "--json").stdout)
    assert [result["path"] for result in found["results"]] == [f"{deep}/bottom.py"]


def _open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("order", ["sorted", "shuffled"])
def test_tree_folders_reach_every_depth_with_few_descriptors_open(tmp_path, order):
    """Two branches nested past the folders held open, a file at every level,
    read in path order and in no order: each read gives that file's bytes, and
    the descriptors held never grow with the depth."""
    import random

    from quibra.tree.files import TreeFolders

    depth = TreeFolders.HELD + 12
    paths = [
        "/".join([branch] * level + [f"f{level}.py"]) for branch in ("a", "b") for level in range(depth)
    ]
    write_tree(tmp_path, {path: f"# {path}\n" for path in paths})
    if order == "sorted":
        paths.sort()
    else:
        random.Random(7).shuffle(paths)
    before = _open_descriptors()
    most = before
    with TreeFolders(tmp_path) as folders:
        for path in paths + paths[::3]:
            found = folders.read(path)
            assert found is not None and found[0] == f"# {path}\n".encode(), path
            info = folders.lstat(path)
            assert info is not None and info.st_ino == os.lstat(tmp_path / path).st_ino
            most = max(most, _open_descriptors())
        # A path through a file, and one gone, lead nowhere and leave the rest reachable.
        assert folders.read("a/f1.py/x.py") is None and folders.lstat("a/a/gone/x.py") is None
        assert folders.read(paths[0]) is not None
    assert most - before <= TreeFolders.HELD + 2
    assert _open_descriptors() == before


SKIPPED_BY_CONTENT = {
    # path: whether a plain walk lists it
    "build/out.py": False,  # build output: no package
    "dist/out.py": False,
    "pkg/build/__init__.py": True,  # a package named build is source
    "pkg/build/steps.py": True,
    "env/pyvenv.cfg": False,
    "env/lib/site.py": False,
    "conda/conda-meta/history": False,
    "conda/lib/site.py": False,
    "src/main.py": True,
    "src/build/nested/out.py": False,
    "pyvenv.cfg": True,  # the root itself is never skipped for what it holds
    "node_modules/lib.js": False,
    "x.egg-info/PKG-INFO": False,
}


def test_a_plain_walk_skips_folders_by_what_they_hold(tmp_path):
    from quibra.tree.walk import _inside_skipped_folder, list_files, stat_files

    write_tree(tmp_path, {path: "x = 1\n" for path in SKIPPED_BY_CONTENT})
    # A dangling link named __init__.py makes no package; one to a real file does.
    (tmp_path / "dangling" / "build").mkdir(parents=True)
    (tmp_path / "dangling" / "build" / "__init__.py").symlink_to(tmp_path / "nowhere.py")
    (tmp_path / "dangling" / "build" / "out.py").write_text("x = 1\n")
    (tmp_path / "linked" / "build").mkdir(parents=True)
    (tmp_path / "linked" / "build" / "__init__.py").symlink_to(tmp_path / "src" / "main.py")
    (tmp_path / "linked" / "build" / "out.py").write_text("x = 1\n")
    listed = set(list_files(tmp_path).files)
    expected = {path for path, kept in SKIPPED_BY_CONTENT.items() if kept}
    expected |= {"linked/build/__init__.py", "linked/build/out.py"}
    assert listed == expected
    # The rule is the one that git-listed paths are held to, path by path.
    every = {
        os.path.relpath(os.path.join(folder, name), tmp_path)
        for folder, _, names in os.walk(tmp_path)
        for name in names
    }
    assert listed == {path for path in every if not _inside_skipped_folder(tmp_path.resolve(), path)}
    # With stats: only the wanted files, each with its own (a link's, not its target's), in path order.
    stats = stat_files(tmp_path, lambda name: name.rpartition(".")[2] if name.endswith(".py") else None)
    assert [path for path, _, _ in stats] == sorted(path for path in listed if path.endswith(".py"))
    for path, kind, info in stats:
        assert kind == "py"
        assert (info.st_ino, info.st_mode) == (os.lstat(tmp_path / path).st_ino, os.lstat(tmp_path / path).st_mode)


TSCONFIGS = {
    # A comma and a brace inside a string are text, not syntax.
    "punctuation-in-strings": ('{"compilerOptions": {"baseUrl": ".", "paths": {"@v/*": ["v,}/*"]}}}', True),
    "comments-and-trailing-commas": (
        '{\n // note\n "compilerOptions": {"baseUrl": ".", /* x */ "paths": {"@v/*": ["v,}/*",],},},}',
        True,
    ),
    "nested-past-the-recursion-limit": ("[" * 100_000, False),
}


@pytest.mark.parametrize("case", sorted(TSCONFIGS))
def test_tsconfig_paths_are_read_as_written(tmp_path, case):
    from quibra.tree.languages import language_of, read_source, resolve_edges

    text, maps = TSCONFIGS[case]
    write_tree(tmp_path, {"main.ts": 'import { v } from "@v/util";\nimport "./near";\n', "near.ts": "export {};\n"})
    (tmp_path / "v,}").mkdir()
    (tmp_path / "v,}" / "util.ts").write_text("export const v = 1;\n")
    (tmp_path / "tsconfig.json").write_text(text)
    paths = frozenset(["main.ts", "near.ts", "v,}/util.ts", "tsconfig.json"])
    imports = {
        path: read_source("typescript", path, (tmp_path / path).read_bytes()).imports
        for path in paths
        if language_of(path) == "typescript"
    }
    edges = set(resolve_edges(tmp_path, {"typescript": imports}, paths))
    assert edges == {("main.ts", "near.ts")} | ({("main.ts", "v,}/util.ts")} if maps else set())


def test_the_mcp_server_runs_no_repository_program_and_reads_nothing_outside(tmp_path):
    from test_mcp import answer, drive

    root, marker = tmp_path / "repo", tmp_path / "ran"
    root.mkdir()
    _repository(root)
    _index_leading_up(root, _outside(tmp_path))
    _fsmonitor(root, _hostile_program(tmp_path, marker))

    async def scenario(session):
        found = await answer(session, "search_code", query=SECRET)
        assert SECRET_TEXT not in json.dumps(found) and SECRET not in json.dumps(found["results"])
        found = await answer(session, "search_code", query=OWN)
        assert [result["path"] for result in found["results"]] == ["own.py"]

    drive(root, tmp_path / "server.log", scenario)
    assert not marker.exists()
