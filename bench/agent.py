"""The MCP server at work: what a coding agent waits for, through the SDK's own client.

    python bench/agent.py [--tree PATH] [--index FILE] [--runs N] [--budget N] [--edits]

On a tree (default: this interpreter's standard library), with the index in
a temporary folder (or the --index given, for a tree too large to build
again: its first call then only brings it up to date), `quibra mcp` runs as its own process and the SDK's stdio
client measures (the server follows the tree's events only with its index
inside the tree, `PATH/.quibra/index.sqlite`; otherwise every call lists
the tree, and the report says that no watcher runs):

- the first call, which builds the index;
- the search_code round trip on the warm index (every call refreshes first),
  median and 95th percentile over a set of questions;
- repo_map at --budget tokens (default 2,000), warm: its time, how much of
  the budget its text fills, and whether every run gave the same bytes;
- changed_files and symbol_source round trips;
- with --edits, what an agent that edits the tree waits for: the bench
  writes a file of its own into the tree (a new file), changes the name of
  its function --runs times (edits; each answer must hold the new name),
  deletes it, and times each search_code that follows from the write to
  the answer. The file is the only one it writes, and it is gone after.

Peers measured in the same run, each call right after the server's: the same
answers from the Python API in this process (what the protocol adds), and the
`quibra rank` and `quibra map` commands as one process per question (what an
agent without a server pays); each peer's time is shown divided by the
server's round trip.
Goals: search_code at most 0.2 s median, repo_map at most 0.5 s, the map
within its budget and at least 98 % full, and identical on every run.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import random
import statistics
import string
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections.abc import Callable
from typing import Any

import anyio
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

import quibra

HERE = pathlib.Path(__file__).resolve().parent
QUESTIONS = (
    "parse command line arguments",
    "decode base64 data",
    "copy a file and its permissions",
    "send an http request with headers",
    "compress data with zlib",
    "format a date as text",
    "read a csv file",
    "walk a directory tree",
)


def _environment() -> dict[str, str]:
    environment = dict(os.environ)
    entries = [str(HERE.parent / "python")]
    entries += [os.path.abspath(entry) for entry in environment.get("PYTHONPATH", "").split(os.pathsep) if entry]
    environment["PYTHONPATH"] = os.pathsep.join(entries)
    return environment


def _quibra(*arguments: str) -> list[str]:
    return [sys.executable, "-m", "quibra", *arguments]


def _timed(function: Callable[[], object]) -> float:
    started = time.perf_counter()
    function()
    return time.perf_counter() - started


async def _timed_call(session: ClientSession, tool: str, arguments: dict[str, Any]) -> tuple[float, Any]:
    started = time.perf_counter()
    result = await session.call_tool(tool, arguments)
    seconds = time.perf_counter() - started
    if result.is_error:
        raise SystemExit(f"{tool} failed: {result.content[0].text}")
    return seconds, result


def _printed_tokens(text: str) -> int:
    return sum(-(-(len(line) + 1) // 4) for line in text.splitlines())


class Measurement:
    def __init__(self) -> None:
        self.rows: list[tuple[str, str]] = []

    def add(self, name: str, value: str) -> None:
        self.rows.append((name, value))

    def print(self) -> None:
        width = max(len(name) for name, _ in self.rows)
        for name, value in self.rows:
            print(f"  {name:<{width}}  {value}")


def _median_pair(pairs: list[tuple[float, float]]) -> tuple[float, float]:
    return statistics.median(first for first, _ in pairs), statistics.median(second for _, second in pairs)


async def _measure(
    tree: pathlib.Path, index: pathlib.Path, runs: int, budget: int, edits: bool, rows: Measurement
) -> None:
    """Each server call is followed by its peers on the same question, so that
    a change in the machine's load weighs on both sides of a ratio."""
    environment = _environment()

    def command(*arguments: str) -> float:
        return _timed(lambda: subprocess.run(_quibra(*arguments), env=environment, capture_output=True, check=True))

    parameters = StdioServerParameters(
        command=sys.executable, args=["-m", "quibra", "mcp", str(tree), "--index", str(index)], env=environment
    )
    async with stdio_client(parameters) as (read, write), ClientSession(read, write) as session:
        await session.initialize()
        first, _ = await _timed_call(session, "changed_files", {})
        rows.add("first call (builds the index, or brings it up to date)", f"{first:8.2f} s")
        api = quibra.Index(tree, index_file=index)
        # Without a watcher (an index outside the tree, or inotify refusing) every call lists the tree.
        watcher = api.status()["watcher"]
        rows.add("the server's watcher", "none" if watcher is None else str(watcher["state"]))

        searches: list[tuple[float, float]] = []
        processes: list[float] = []
        symbol_id = ""
        for run in range(runs):
            for number, question in enumerate(QUESTIONS):
                seconds, result = await _timed_call(session, "search_code", {"query": question})
                searches.append((seconds, _timed(lambda: api.search_code(question))))
                symbol_id = symbol_id or result.structured_content["results"][0]["symbol_id"]
                if number == run % len(QUESTIONS):
                    processes.append(command("rank", str(tree), "--index", str(index), "-q", question, "--json"))
        search, in_process = _median_pair(searches)
        rank_process = statistics.median(processes)
        rows.add(f"search_code round trip (median of {len(searches)})", f"{search:8.3f} s   goal 0.2 s")
        slow = sorted(seconds for seconds, _ in searches)[max(0, -(-95 * len(searches) // 100) - 1)]
        rows.add("  95th percentile", f"{slow:8.3f} s")
        rows.add("  peer: Index.search_code in this process", f"{in_process:8.3f} s   x{in_process / search:.2f} the round trip")
        rows.add("  peer: quibra rank, a process a question", f"{rank_process:8.3f} s   x{rank_process / search:.1f} the round trip")

        maps: list[tuple[float, float]] = []
        map_processes: list[float] = []
        texts = set()
        for run in range(runs * 2):
            seconds, result = await _timed_call(session, "repo_map", {"budget": budget})
            maps.append((seconds, _timed(lambda: api.repo_map(budget))))
            texts.add(result.content[0].text)
            if run % 2 == 0:
                map_processes.append(command("map", str(tree), "--index", str(index), "-b", str(budget)))
        mapped, map_in_process = _median_pair(maps)
        map_process = statistics.median(map_processes)
        tokens = _printed_tokens(next(iter(texts)))
        rows.add(f"repo_map {budget:,} tokens (median of {len(maps)})", f"{mapped:8.3f} s   goal 0.5 s")
        rows.add(
            "  map text",
            f"{tokens:,} of {budget:,} tokens ({100 * tokens / budget:.1f} %);"
            f" {'identical' if len(texts) == 1 else f'{len(texts)} different texts'} in {len(maps)} runs",
        )
        rows.add("  peer: Index.repo_map in this process", f"{map_in_process:8.3f} s   x{map_in_process / mapped:.2f} the round trip")
        rows.add("  peer: quibra map, one process", f"{map_process:8.3f} s   x{map_process / mapped:.1f} the round trip")

        changed = [(await _timed_call(session, "changed_files", {}))[0] for _ in range(runs)]
        rows.add(f"changed_files round trip (median of {runs})", f"{statistics.median(changed):8.3f} s")
        sources = [(await _timed_call(session, "symbol_source", {"symbol_id": symbol_id}))[0] for _ in range(runs)]
        rows.add(f"symbol_source round trip (median of {runs})", f"{statistics.median(sources):8.3f} s")
        if edits:
            await _measure_edits(session, tree, runs, rows)
        api.close()


async def _measure_edits(session: ClientSession, tree: pathlib.Path, runs: int, rows: Measurement) -> None:
    """From a write of the bench's own file to the answer that holds it."""
    probe = tree / f"quibra_bench_probe_{os.getpid()}.py"
    if probe.exists():
        raise SystemExit(f"{probe} is in the way")

    words = random.Random(os.getpid())
    name = ""

    async def answered() -> list[str]:
        result = await session.call_tool("search_code", {"query": name.replace("_", " "), "budget": 500})
        return [entry["symbol"] for entry in (result.structured_content or {}).get("results", [])]

    async def written() -> float:
        nonlocal name
        # A made-up word of letters, that no other name of the tree holds.
        name = "probe_function_" + "".join(words.choice(string.ascii_lowercase) for _ in range(10))
        started = time.perf_counter()
        probe.write_text(f"def {name}(value):\n    return value\n")
        found = await answered()
        seconds = time.perf_counter() - started
        if name not in found:
            raise SystemExit(f"the answer after writing {probe.name} does not hold {name}: {found[:3]}")
        return seconds

    try:
        created = await written()
        changes = [await written() for _ in range(runs)]
    finally:
        probe.unlink(missing_ok=True)
    started = time.perf_counter()
    found = await answered()
    deleted = time.perf_counter() - started
    if name in found:
        raise SystemExit(f"the answer after deleting {probe.name} still holds {name}")
    rows.add("a new file, then search_code", f"{created:8.3f} s")
    rows.add(f"an edit, then search_code (median of {runs})", f"{statistics.median(changes):8.3f} s   goal 0.1 s")
    rows.add("  slowest", f"{max(changes):8.3f} s")
    rows.add("the file deleted, then search_code", f"{deleted:8.3f} s")


def measure(tree: pathlib.Path, runs: int, budget: int, index: pathlib.Path, edits: bool = False) -> None:
    print(f"\n== {tree} ==")
    rows = Measurement()
    anyio.run(_measure, tree, index, runs, budget, edits, rows)
    rows.print()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--tree", type=pathlib.Path, default=pathlib.Path(sysconfig.get_paths()["stdlib"]))
    parser.add_argument("--runs", type=int, default=5, help="rounds of questions (medians kept)")
    parser.add_argument("--budget", type=int, default=2000, help="repo_map budget in tokens")
    parser.add_argument("--index", type=pathlib.Path, help="an index of the tree to use (default: a new one)")
    parser.add_argument("--edits", action="store_true", help="also time answers after edits (writes a file of its own)")
    args = parser.parse_args(argv)
    tree = args.tree.resolve()
    if args.index is not None:
        measure(tree, args.runs, args.budget, args.index.resolve(), args.edits)
    else:
        with tempfile.TemporaryDirectory(prefix="quibra-agent-") as folder:
            measure(tree, args.runs, args.budget, pathlib.Path(folder) / f"{tree.name}.sqlite", args.edits)
    print(f"\n(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
