"""What the tests of the `quibra` command share: running the installed
command as a user does, and writing trees and git histories to run it on."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

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
    assert completed.returncode == expect, completed.stderr
    assert "Traceback" not in completed.stderr
    return completed


def quibra_json(*args, cwd=None) -> dict:
    completed = quibra(*args, "--json", cwd=cwd)
    assert completed.stderr == ""  # no progress bar or notes when stderr is not a terminal
    return json.loads(completed.stdout)


def write_tree(root: pathlib.Path, files: dict[str, str]) -> None:
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))


def git(root: pathlib.Path, *args: str) -> None:
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
        check=True,
        capture_output=True,
    )
