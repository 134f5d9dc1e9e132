"""The type stubs shipped in the wheel: a type checker in the user's
environment finds them, accepts correct use and flags misuse."""

import importlib.metadata
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

mypy = pytest.importorskip("mypy")


def installed_stubs():
    try:
        files = importlib.metadata.files("quibra-core") or []
    except importlib.metadata.PackageNotFoundError:
        return None
    for file in files:
        if file.parts[0] == "_quibra_core-stubs" and file.name == "__init__.pyi":
            return file.locate()
    return None


pytestmark = pytest.mark.skipif(installed_stubs() is None, reason="quibra-core is not installed")

GOOD = """
import _quibra_core as q

channels = [q.ChannelResult("lexical", ["a", "b"]), q.ChannelResult("identity", ("b",), 2)]
fused: list[q.FusedResult] = q.fuse(channels, smoothing=60, weights={"lexical": 1.5})
ranks: dict[str, int] = fused[0].channel_ranks
score: float = fused[0].score
packed, total = q.pack_budget([{"id": "a", "file": "f.py", "score": 1.0, "tokens": 10}], 100)
first: q.PackedItem = packed[0]
tokens: int = first.tokens + total
scores, iterations = q.compute_pagerank([("a.py", "b.py")], ["a.py", "b.py"], max_iter=50)
rank: float = scores["a.py"]
spots: list[dict[str, object]] = q.compute_hotspots([{"kind": "function"}], {"f.py": 3})
digest: str = q.content_hash(b"data")
digests: dict[str, str] = q.batch_content_hash([("a", b"x"), ("b", bytearray(b"y")), ("c", [1, 2])])
terms: list[str] = q.tokenize("getUserName") + q.tokenize_query("db") + [q.stem_word("running")]
ok: bool = q.verify_canary()
version: str = q.__version__
"""

BAD = {
    "q.fuse(['lexical'])": "fuse",
    "q.ChannelResult('x', ['a']).weight = 2.0": "weight",
    "q.content_hash('text')": "content_hash",
    "q.tokenize(b'bytes')": "tokenize",
    "q.pack_budget([], 10, diversity=1.5)": "pack_budget",
    "x: str = q.fuse([])[0].score": "score",
    "q.compute_pagerank([('a', 'b', 'c')], ['a'])": "compute_pagerank",
    "q.fuse([], smoothing='x')": "fuse",
}


def run_mypy(tmp_path, source):
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent(source))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--hide-error-context",
         "--no-error-summary", str(script)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    return done.returncode, done.stdout.splitlines()


def test_correct_use_type_checks(tmp_path):
    code, lines = run_mypy(tmp_path, GOOD)
    assert code == 0, "\n".join(lines)


def test_misuse_is_flagged_line_by_line(tmp_path):
    source = "import _quibra_core as q\n" + "\n".join(BAD)
    code, lines = run_mypy(tmp_path, source)
    assert code == 1
    flagged = {int(line.split(":")[1]) for line in lines if ": error:" in line}
    assert flagged == set(range(2, 2 + len(BAD))), "\n".join(lines)


def test_the_host_package_is_strictly_typed(tmp_path):
    """The `quibra` package as installed: its own code passes mypy --strict,
    so a host that embeds it gets types it can trust."""
    quibra = pytest.importorskip("quibra")
    environment = dict(os.environ)
    location = pathlib.Path(quibra.__file__).parent.parent
    if location.name != "site-packages":  # a development checkout on PYTHONPATH
        environment["MYPYPATH"] = str(location)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary", "-p", "quibra"],
        capture_output=True, text=True, cwd=tmp_path, timeout=600, env=environment,
    )
    assert done.returncode == 0, done.stdout
