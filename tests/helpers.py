"""What the tests of the `quibra` command share: running the installed
command as a user does, and writing trees and git histories to run it on."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
STDLIB = pathlib.Path(json.__file__).resolve().parent.parent
needs_git = pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")


def _command() -> tuple[list[str], dict[str, str]]:
    """The installed console script; in a development checkout, `python -m quibra`
    with the package's source folder on the path.

    Path entries are made absolute: the commands run in other folders, where
    a relative PYTHONPATH such as build/dev would find nothing.
    """
    environment = dict(os.environ)
    entries = [
        os.path.abspath(entry) for entry in environment.get("PYTHONPATH", "").split(os.pathsep) if entry
    ]
    script = pathlib.Path(sys.executable).parent / "quibra"
    if script.exists():
        command = [str(script)]
    else:
        command = [sys.executable, "-m", "quibra"]
        entries.insert(0, str(REPO / "python"))
    if entries:
        environment["PYTHONPATH"] = os.pathsep.join(entries)
    return command, environment


def quibra(*args, cwd=None, expect=0) -> subprocess.CompletedProcess:
    command, environment = _command()
    completed = subprocess.run(
        [*command, *map(str, args)], cwd=cwd, env=environment, capture_output=True, text=True, timeout=120
    )
    assert completed.returncode in (expect if isinstance(expect, tuple) else (expect,)), completed.stderr
    assert "Traceback" not in completed.stderr
    return completed


def quibra_json(*args, cwd=None, expect=0) -> dict:
    completed = quibra(*args, "--json", cwd=cwd, expect=expect)
    assert completed.stderr == ""  # no progress bar or notes when stderr is not a terminal
    return json.loads(completed.stdout)


def write_tree(root: pathlib.Path, files: dict[str, str]) -> None:
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))


def git(root: pathlib.Path, *args: str, days_ago: float = 0) -> None:
    """Run git in `root`; a commit made `days_ago` carries that date."""
    environment = dict(os.environ)
    if days_ago:
        date = f"@{int(time.time() - days_ago * 86400)} +0000"
        environment.update(GIT_AUTHOR_DATE=date, GIT_COMMITTER_DATE=date)
    subprocess.run(
        [
            "git",
            "-c",
            "user.name=Test",
            "-c",
            "user.email=test@example.com",
            "-c",
            "commit.gpgsign=false",
            *args,
        ],
        cwd=root,
        env=environment,
        check=True,
        capture_output=True,
    )


def commit_all(root: pathlib.Path, message: str = "start", days_ago: float = 0) -> None:
    """Commit everything under `root`, making it a repository first when it is none."""
    if not (root / ".git").exists():
        git(root, "init", "-q")
    git(root, "add", "-A", ".")
    git(root, "commit", "-q", "--allow-empty", "-m", message, days_ago=days_ago)


def stored_references(index_file: pathlib.Path) -> list[tuple[object, ...]]:
    """Every reference of an index with what it was resolved to, by path and
    place, without ids: symbols are named by their file's path and key."""
    from quibra.index import queries

    connection = sqlite3.connect(index_file)
    try:
        symbols = {
            symbol_id: (path, key)
            for symbol_id, path, key in connection.execute(
                "SELECT s.id, f.path, s.key FROM symbols AS s JOIN files AS f ON f.id = s.file_id"
            )
        }
        return [
            (
                reference.path, reference.seq, reference.line, reference.kind, reference.name, reference.qualifier,
                symbols[reference.scope][1] if reference.scope is not None else "", reference.arity, reference.others,
                sorted((*symbols[target], weight) for target, weight in reference.targets),
            )
            for reference in queries.all_references(connection)
        ]
    finally:
        connection.close()


def edited_and_fresh(
    root: pathlib.Path, into: pathlib.Path, path: str, old: str, new: str
) -> tuple[pathlib.Path, pathlib.Path, list[tuple[object, ...]]]:
    """Index `root`, replace `old` by `new` in its file `path`, refresh; then
    build a second index of the edited tree from nothing. (the index refreshed
    after the edit, the one built fresh, the references before the edit), both
    indexes in `into`."""
    import quibra as api

    incremental_file = into / "incremental.sqlite"
    with api.Index(root, index_file=incremental_file, jobs=1) as index:
        index.refresh()
        before = stored_references(incremental_file)
        file = root / path
        text = file.read_text()
        assert old in text
        file.write_text(text.replace(old, new, 1))
        index.refresh()
    fresh_file = into / "fresh.sqlite"
    with api.Index(root, index_file=fresh_file, jobs=1) as index:
        index.refresh()
    return incremental_file, fresh_file, before


def full_text_counts(index_file: pathlib.Path) -> dict[str, list[tuple[str, str, int, int]]]:
    """What each full-text table of an index holds, by term and column: how
    many rows and how many times; and the rows and tokens of each column in
    all, which BM25 weighs lengths against. A row taken out with other
    tokens than it was given would leave its terms, or its length, counted
    here."""
    connection = sqlite3.connect(index_file)
    try:
        counts: dict[str, list[tuple[str, str, int, int]]] = {}
        for table in ("lexical", "code", "name_terms", "name_keys"):
            connection.execute(f"CREATE VIRTUAL TABLE temp.{table}_counts USING fts5vocab(main, {table}, col)")
            counts[table] = connection.execute(f"SELECT term, col, doc, cnt FROM temp.{table}_counts").fetchall()
            # The record of those totals: the row of id 1 of the table's data.
            (totals,) = connection.execute(f"SELECT block FROM {table}_data WHERE id = 1").fetchone()
            counts[f"{table} totals"] = [(bytes(totals).hex(), "", 0, 0)]
            connection.execute(f"INSERT INTO {table} ({table}) VALUES ('integrity-check')")
        return counts
    finally:
        connection.close()
