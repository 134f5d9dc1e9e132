"""Outsized input and stray processes: a huge or generated file, a huge query,
a build killed or interrupted, a file with a byte that is not UTF-8. Each
costs bounded time and memory, and says what it left out."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import shutil
import signal
import subprocess
import time
from collections.abc import Iterator

import pytest
from helpers import STDLIB, _command, quibra, quibra_json, write_tree
from quibra.index.build import PARALLEL_THRESHOLD_BYTES

pytestmark = pytest.mark.host

# Packages of the standard library that together pass the size past which a
# build starts worker processes, on every Python version (unittest lost its
# tests to the test package in 3.12).
WORKER_PACKAGES = ("asyncio", "email", "http", "json", "multiprocessing", "unittest", "xml")


def _copy_packages(into: pathlib.Path, packages: tuple[str, ...] = WORKER_PACKAGES) -> pathlib.Path:
    for package in packages:
        shutil.copytree(STDLIB / package, into / package, ignore=shutil.ignore_patterns("__pycache__"))
    if packages == WORKER_PACKAGES:
        source = sum(path.stat().st_size for path in into.rglob("*.py"))
        assert source > PARALLEL_THRESHOLD_BYTES, "too little code to start workers"
    return into


def _skipped(report: dict) -> dict[str, str]:
    return {entry["path"]: entry["reason"] for entry in report["skipped"]}


# ---------------------------------------------------------------------------
# Files too large to read, and generated files


def _plain_code(functions: int) -> str:
    """Code a person might write, if at length: several lines a function, no two alike in a row."""
    return "".join(
        f"def measure_{index}(alpha, beta):\n"
        f'    """Weigh alpha against beta, the {index}th way."""\n'
        f"    total = alpha + beta * {index}\n"
        f"    return total\n\n\n"
        for index in range(functions)
    )


def test_a_file_over_the_size_limit_is_skipped_unread(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"small.py": "def measure_small(alpha):\n    return alpha\n"})
    # Sparse: reading it would take 4 GiB.
    with open(root / "huge.py", "wb") as stream:
        stream.truncate(4 << 30)
    report = quibra_json("index", root)
    assert _skipped(report) == {"huge.py": "larger than the file size limit of 1 MiB: 4 GiB"}
    assert report["files"] == 1


def test_a_raised_size_limit_is_kept_and_a_refresh_equals_a_fresh_build(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"small.py": "def measure_small(alpha):\n    return alpha\n", "large.py": _plain_code(10_000)})
    size = (root / "large.py").stat().st_size
    assert 1 << 20 < size < 2 << 20
    index = tmp_path / "index.sqlite"

    def counts(report: dict) -> tuple:
        return report["files"], report["symbols"], _skipped(report)

    def fresh(*options: str) -> tuple:
        fresh_index = tmp_path / "fresh.sqlite"
        for suffix in ("", "-wal", "-shm"):
            pathlib.Path(f"{fresh_index}{suffix}").unlink(missing_ok=True)
        return counts(quibra_json("index", root, "--index", fresh_index, *options))

    default = counts(quibra_json("index", root, "--index", index))
    assert "large.py" in default[2] and default[1] == 1
    raised = counts(quibra_json("index", root, "--index", index, "--max-file-size", "2M"))
    assert raised == fresh("--max-file-size", "2M") and raised[2] == {} and raised[1] == 10_001
    # A later command without the option keeps the limit the index was built with.
    assert counts(quibra_json("index", root, "--index", index)) == raised
    ranked = quibra_json("rank", root, "--index", index, "-q", "measure 4321")
    assert any(entry["symbol"] == "measure_4321" for entry in ranked["results"])
    lowered = counts(quibra_json("index", root, "--index", index, "--max-file-size", "1M"))
    assert lowered == default == fresh("--max-file-size", "1M")


@pytest.mark.parametrize(
    ("language", "source"),
    [
        # Lines that differ only in their digits, by the thousand.
        ("py", "".join(f"def handler_{i}(value, other): return value * {i} + other\n" for i in range(6000))),
        ("go", "package gen\n" + "".join(f"func Handler{i}(v int) int {{ return v * {i} }}\n" for i in range(6000))),
        # One-line functions whose names differ in their letters: one symbol a line.
        ("py", "".join(f"def run_{chr(97 + i % 26)}{chr(97 + i // 26 % 26)}{chr(97 + i // 676)}(v): return v\n"
                       for i in range(3000))),
    ],
)
def test_a_generated_file_is_skipped_and_counted(tmp_path, language, source):
    root = tmp_path / "tree"
    write_tree(root, {f"real.{language}": "", f"generated.{language}": source})
    (root / f"real.{language}").write_text(
        "def measure(alpha):\n    return alpha\n" if language == "py" else "package gen\n\nfunc Measure() {}\n"
    )
    report = quibra_json("index", root)
    reasons = _skipped(report)
    assert list(reasons) == [f"generated.{language}"] and reasons[f"generated.{language}"].startswith("generated: ")
    assert report["symbols"] == 1


# ---------------------------------------------------------------------------
# A byte that is not UTF-8


@pytest.mark.parametrize("newline", [b"\n", b"\r\n"])
def test_a_file_with_an_invalid_byte_is_read_with_it_replaced(tmp_path, newline):
    root = tmp_path / "tree"
    root.mkdir()
    lines = [b"# Caf\xe9 notes \xff", b"def locate_needle(haystack):", b'    """Find the needle \xe9."""',
             b"    return haystack.index('needle')", b""]
    (root / "notes.py").write_bytes(newline.join(lines))
    completed = quibra("rank", root, "-q", "locate needle", "--context", "--verbose")
    assert "quibra: read with invalid UTF-8 replaced: " in completed.stderr
    assert completed.stderr.count("notes.py") == 1
    report = quibra_json("rank", root, "-q", "locate needle", "--context")
    (result,) = report["results"]
    text = b"\n".join(lines).decode("utf-8", "replace").split("\n")
    start, end = result["context_lines"]
    assert result["context"].endswith("\n".join(text[start - 1 : end]) + "\n\n")
    assert (start, end) == (2, 4)


# ---------------------------------------------------------------------------
# A huge query


def test_a_long_query_is_cut_and_says_so(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"tools.py": "def decode_header(value):\n    return value\n"})
    query = "decode the header " + " ".join(f"word{i}" for i in range(3000))
    completed = quibra("rank", root, "-q", query, "--json")
    report = json.loads(completed.stdout)
    assert [entry["symbol"] for entry in report["results"]] == ["decode_header"]
    (warning,) = report["warnings"]
    assert f"of {len(query):,} characters" in warning
    assert len(report["query"]) < len(query) and query.startswith(report["query"])
    assert completed.stderr.splitlines() == [f"quibra: {warning}"]


# ---------------------------------------------------------------------------
# Worker processes and signals


def _state(pid: int) -> str | None:
    """The process's state letter (Z for a zombie); None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stream:
            return stream.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


def _parent_of(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/stat") as stream:
            return int(stream.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None


def _descendants(root: int) -> list[int]:
    parents = {int(entry): _parent_of(int(entry)) for entry in os.listdir("/proc") if entry.isdigit()}
    found, frontier = [], [root]
    while frontier:
        pid = frontier.pop()
        children = [child for child, parent in parents.items() if parent == pid]
        found += children
        frontier += children
    return found


def _alive(pids: list[int]) -> list[int]:
    return [pid for pid in pids if _state(pid) not in (None, "Z")]


def _wait_for_workers(process: subprocess.Popen, count: int) -> list[int]:
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and process.poll() is None:
        found = _descendants(process.pid)
        if len(found) >= count:
            return found
        time.sleep(0.01)
    pytest.fail("the build ended before its workers were seen")


@contextlib.contextmanager
def _reaped(pids: list[int]) -> Iterator[None]:
    """Kill whatever of `pids` the test leaves behind."""
    try:
        yield
    finally:
        for pid in _alive(pids):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)


def _mcp_start(process: subprocess.Popen) -> None:
    """Open the session and ask for a search, which builds the index."""
    assert process.stdin is not None
    for message in (
        {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "test", "version": "1"}}},
        {"jsonrpc": "2.0", "method": "notifications/initialized"},
        {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
         "params": {"name": "search_code", "arguments": {"query": "parse a header"}}},
    ):
        process.stdin.write(json.dumps(message).encode() + b"\n")
    process.stdin.flush()


@pytest.mark.parametrize(("command", "workers"), [("index", 2), ("mcp", 3)])
def test_workers_die_with_a_killed_parent(tmp_path, command, workers):
    """SIGKILL, what the out-of-memory killer sends: no worker outlives the parent."""
    tree = _copy_packages(tmp_path / "tree")
    executable, environment = _command()
    process = subprocess.Popen(
        [*executable, command, tree, "--index", tmp_path / "index.sqlite", "--jobs", "2"],
        env=environment, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    if command == "mcp":
        _mcp_start(process)
    # The MCP server's workers are children of a forkserver, a child of its own.
    children = _wait_for_workers(process, workers)
    with _reaped(children):
        process.kill()
        process.wait()
        deadline = time.monotonic() + 60
        while _alive(children) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert _alive(children) == []


@pytest.mark.parametrize("attempt", range(3))
def test_ctrl_c_during_a_build_prints_one_line(tmp_path, attempt):
    """Ctrl-C reaches every process of the terminal's group: the workers stay silent."""
    tree = _copy_packages(tmp_path / "tree")
    executable, environment = _command()
    process = subprocess.Popen(
        [*executable, "index", tree, "--jobs", "2"],
        env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True, text=True,
    )
    children = _wait_for_workers(process, 2)
    with _reaped(children):
        os.killpg(process.pid, signal.SIGINT)
        _, errors = process.communicate(timeout=120)
    assert errors == "quibra index: interrupted\n"
    assert process.returncode != 0


# ---------------------------------------------------------------------------
# The MCP server: a slow call holds up no other


def test_a_call_answers_while_another_builds_the_index(tmp_path):
    """Two searches at once on a tree whose cold build is long: the server
    builds the index from its start, and a call answers without waiting for
    the build's end, saying what it read."""
    anyio = pytest.importorskip("anyio")
    pytest.importorskip("mcp")
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    command, environment = _command()
    parameters = StdioServerParameters(
        command=command[0],
        args=[*command[1:], "mcp", str(STDLIB), "--index", str(tmp_path / "index.sqlite")],
        env=environment,
    )
    finished: list[tuple[str, dict]] = []

    async def main() -> None:
        with anyio.fail_after(600), open(tmp_path / "server.log", "w") as errlog:
            async with stdio_client(parameters, errlog=errlog) as (read, write):
                async with ClientSession(read, write) as session:
                    await session.initialize()
                    async with anyio.create_task_group() as group:

                        async def search(name: str, query: str) -> None:
                            result = await session.call_tool("search_code", {"query": query, "budget": 300})
                            assert not result.is_error, result.content
                            finished.append((name, result.structured_content or {}))
                            group.cancel_scope.cancel()  # the other is still building: no need to wait

                        # Long queries, which the server cuts short.
                        group.start_soon(search, "first", "parse a mail header " * 2000)
                        group.start_soon(search, "second", "decode a json document " * 2000)

    anyio.run(main)
    ((_name, report),) = finished
    assert any("the index is being built" in warning for warning in report["warnings"])
    assert any("the query was cut" in warning for warning in report["warnings"])
