"""The index at work: cold builds, warm queries and one-file edits, against a full scan.

    python bench/index.py [--tree PATH ...] [--runs N] [--baseline COMMIT]
    python bench/index.py --scale 1000 10000 100000

For each tree (default: this interpreter's standard library and its
site-packages folder) it measures, each as a whole `quibra` process the way
a user runs it:

- the full scan: the command as it was before the index (the host package
  of commit --baseline, taken from this repository's history), which reads
  every file again for each query;
- a cold build with one worker process and with two, and the peak memory of
  the main process during each;
- a warm query (index fresh, nothing changed);
- a query right after one file was edited (a copy of the tree is edited,
  never the tree itself);
- the index's size on disk, and per byte of the source it reads;
- the first call an agent makes to `quibra mcp` started on the tree with no
  index yet (with the `mcp` extra): how long after the server started it
  was answered, and whether from a part of the index.

Ratios are the full scan's time over the index's, from the same run.

With --scale it measures only how a cold build, a warm query and the index
grow with the number of files, on trees made of the standard library's files
linked again and again.

    python bench/index.py --large PATH [--sample N] [--cluster]
    python bench/index.py --grow 100000 --into FOLDER

For a tree too large to build more than once (the Linux kernel: Debian's
linux-source package), only: one cold build with --jobs 2 as a `quibra index`
process, its seconds per step and the peak memory of its largest process;
the readers' own time on the same files, estimated from every --sample'th
source file (default 20) read in this process and divided between two
workers; the index's size per source byte; a warm query. With --cluster, the
same build again on a Dask LocalCluster of two workers (the `dask` extra),
and what a cluster of N workers would take by the measured costs: the
reading divided among N, the rest as measured. --grow makes such a tree of
copies of the standard library's source files in --into (kept there, so
that `bench/agent.py --tree` can measure a server watching it) and measures
it the same way.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
# The last commit whose `quibra rank` parsed the whole tree on every query.
BASELINE = "6448c12"
QUERIES = ("parse command line arguments", "decode base64 data", "copy a file and its permissions")


def _environment(python_path: pathlib.Path | None) -> dict[str, str]:
    environment = dict(os.environ)
    entries = [str(python_path)] if python_path else []
    entries += [os.path.abspath(entry) for entry in environment.get("PYTHONPATH", "").split(os.pathsep) if entry]
    if entries:
        environment["PYTHONPATH"] = os.pathsep.join(entries)
    return environment


def _run(arguments: list[str], environment: dict[str, str]) -> tuple[float, int]:
    """(wall seconds, peak resident kilobytes) of one process."""
    started = time.perf_counter()
    process = subprocess.Popen(arguments, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _pid, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    errors = process.stderr.read().decode() if process.stderr else ""
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        raise SystemExit(f"{' '.join(arguments)} failed: {errors}")
    return seconds, usage.ru_maxrss


def _baseline_package(commit: str, into: pathlib.Path) -> pathlib.Path | None:
    """The host package as of `commit`, unpacked into `into`; None outside a git checkout."""
    archive = subprocess.run(
        ["git", "-C", str(REPO), "archive", commit, "python/quibra"], capture_output=True, check=False
    )
    if archive.returncode != 0:
        print(f"(no full-scan baseline: {archive.stderr.decode().strip()})")
        return None
    into.mkdir(parents=True, exist_ok=True)
    subprocess.run(["tar", "-x", "-C", str(into)], input=archive.stdout, check=True)
    return into / "python"


def _quibra(*arguments: str) -> list[str]:
    return [sys.executable, "-m", "quibra", *arguments]


def _build_memory(tree: pathlib.Path, index: pathlib.Path, jobs: int, environment: dict[str, str]) -> tuple[float, int]:
    """A cold build through the API in a process of its own: (seconds, peak kilobytes of that process alone)."""
    code = (
        "import resource, sys, time, quibra\n"
        f"started = time.perf_counter()\n"
        f"quibra.Index({str(tree)!r}, index_file={str(index)!r}, jobs={jobs}).refresh()\n"
        "print(time.perf_counter() - started, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n"
    )
    output = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True, check=True)
    seconds, kilobytes = output.stdout.split()
    return float(seconds), int(kilobytes)


def _warm_median(tree: pathlib.Path, index: pathlib.Path, runs: int, environment: dict[str, str]) -> float:
    """The median seconds of `runs` warm `quibra rank` processes, one query after another."""
    return statistics.median(
        _run(_quibra("rank", str(tree), "--index", str(index), "-q", QUERIES[run % len(QUERIES)]), environment)[0]
        for run in range(runs)
    )


def _first_call(tree: pathlib.Path, index: pathlib.Path, environment: dict[str, str]) -> str:
    """The first search_code call to a server started on `tree` with no index:
    seconds from the server's start to the answer, and what the answer says."""
    try:
        import anyio
        from mcp import ClientSession, StdioServerParameters
        from mcp.client.stdio import stdio_client
    except ImportError:
        return "(needs the mcp extra)"

    async def ask() -> str:
        parameters = StdioServerParameters(
            command=sys.executable, args=["-m", "quibra", "mcp", str(tree), "--index", str(index)], env=environment
        )
        started = time.perf_counter()
        with open(os.devnull, "w") as errors:
            async with stdio_client(parameters, errlog=errors) as (read, write), ClientSession(read, write) as session:
                await session.initialize()
                result = await session.call_tool("search_code", {"query": QUERIES[0], "budget": 2000})
                seconds = time.perf_counter() - started
        report = result.structured_content or {}
        notes = [note for note in report.get("warnings", []) if "being" in note]
        answered = f"{len(report.get('results', []))} results"
        return f"{seconds:8.2f} s   {answered}" + (f", {notes[0].split(':')[0]}" if notes else ", whole index")

    return anyio.run(ask)


def _edit(path: pathlib.Path, step: int) -> None:
    with open(path, "a", encoding="utf-8") as stream:
        stream.write(f"\n\ndef edited_by_benchmark_{step}(value):\n    return value + {step}\n")


def measure(tree: pathlib.Path, runs: int, baseline: pathlib.Path | None, work: pathlib.Path) -> None:
    environment = _environment(None)
    # What the index reads: source files of the languages quibra knows.
    from quibra.index.changes import list_tree

    sources = [entry for entry in list_tree(tree) if entry.language is not None and entry.link is None]
    megabytes = sum(entry.size for entry in sources) / 1e6
    print(f"\n== {tree} ({len(sources)} source files, {megabytes:.1f} MB) ==")
    index = work / f"{tree.name}.sqlite"
    rows: list[tuple[str, str]] = []

    single, single_memory = _build_memory(tree, index, 1, environment)
    for leftover in work.glob(f"{tree.name}.sqlite*"):
        leftover.unlink()
    double, double_memory = _build_memory(tree, index, 2, environment)
    rows.append(("cold build, 1 process", f"{single:8.2f} s   main process {single_memory / 1024:6.0f} MB"))
    rows.append(
        ("cold build, --jobs 2", f"{double:8.2f} s   main process {double_memory / 1024:6.0f} MB   x{double / single:.2f} of 1 process")
    )
    rows.append(("  per megabyte of source, --jobs 2", f"{double / megabytes:8.3f} s/MB"))

    warm_median = _warm_median(tree, index, runs, environment)
    rows.append(("warm query", f"{warm_median:8.3f} s   (median of {runs})"))

    scan = scan_memory = None
    if baseline is not None:
        old = _environment(baseline)
        timings = [_run(_quibra("rank", str(tree), "-q", QUERIES[0]), old) for _ in range(max(1, runs // 3))]
        scan = statistics.median(seconds for seconds, _ in timings)
        scan_memory = max(kilobytes for _, kilobytes in timings)
        rows.append(("full scan (before the index)", f"{scan:8.2f} s   {scan_memory / 1024:6.0f} MB"))
        rows.append(("  warm query vs full scan", f"x{scan / warm_median:,.1f} faster"))
        rows.append(("  main process memory, cold build vs full scan", f"{single_memory / scan_memory:.2f}"))

    # Edits go to a copy, indexed once, so the tree itself is never touched.
    copy = work / f"{tree.name}-copy"
    shutil.copytree(tree, copy, symlinks=True, ignore=shutil.ignore_patterns("__pycache__", ".quibra"))
    copy_index = work / f"{tree.name}-copy.sqlite"
    _run(_quibra("index", str(copy), "--index", str(copy_index)), environment)
    targets = sorted(copy.rglob("*.py"))
    edited = []
    for step in range(runs):
        _edit(targets[(step * 7919) % len(targets)], step)
        edited.append(
            _run(_quibra("rank", str(copy), "--index", str(copy_index), "-q", QUERIES[step % len(QUERIES)]), environment)[0]
        )
    rows.append(("one file edited, then a query", f"{statistics.median(edited):8.3f} s   (median of {runs})"))
    size = sum(path.stat().st_size for path in work.glob(f"{tree.name}.sqlite*"))
    rows.append(("index size", f"{size / 2**20:8.1f} MB   {size / (megabytes * 1e6):.2f} bytes per source byte"))
    shutil.rmtree(copy)
    rows.append(("first MCP call, no index yet", _first_call(tree, work / f"{tree.name}-served.sqlite", environment)))

    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"  {name:<{width}}  {value}")


def _grown_tree(source: pathlib.Path, files: int, into: pathlib.Path, copies: bool = False) -> pathlib.Path:
    """A tree of `files` source files: the ones quibra reads in `source`, again
    and again, in folders copy0/, copy1/, ..., as hard links (no disk space,
    distinct paths) or, with `copies`, as copies: a file-system watcher sees
    only the path written, so a tree that a server watches while its files
    are edited must not share them."""
    from quibra.index.changes import list_tree

    originals = [entry.path for entry in list_tree(source) if entry.language is not None and entry.link is None]
    tree = into / f"grown-{files}"
    for number in range(files):
        original = source / originals[number % len(originals)]
        target = tree / f"copy{number // len(originals)}" / originals[number % len(originals)]
        target.parent.mkdir(parents=True, exist_ok=True)
        if copies:
            shutil.copyfile(original, target)
        else:
            os.link(original, target)
    return tree


def scale(sizes: list[int], runs: int, work: pathlib.Path) -> None:
    """How a cold build, a warm query and the index grow with the number of files."""
    environment = _environment(None)
    source = pathlib.Path(sysconfig.get_paths()["stdlib"])
    print(f"\n== growth: copies of {source} ==")
    print(f"  {'files':>8}  {'cold build --jobs 2':>20}  {'warm query':>11}  {'index size':>11}")
    for files in sizes:
        tree = _grown_tree(source, files, work)
        index = work / f"grown-{files}.sqlite"
        build, _memory = _build_memory(tree, index, 2, environment)
        warm = _warm_median(tree, index, runs, environment)
        size = sum(path.stat().st_size for path in work.glob(f"grown-{files}.sqlite*"))
        print(f"  {files:>8}  {build:>18.1f} s  {warm:>9.3f} s  {size / 2**20:>8.0f} MB")
        shutil.rmtree(tree)
        for leftover in work.glob(f"grown-{files}.sqlite*"):
            leftover.unlink()


def _readers_seconds(tree: pathlib.Path, sample: int) -> tuple[float, float, int]:
    """(seconds the readers take on every source file of `tree` in one process,
    estimated from every `sample`'th file; megabytes of source; files)."""
    from quibra.index.changes import list_tree
    from quibra.tree.languages import read_source
    from quibra.tree.languages.model import SkipFile

    sources = [entry for entry in list_tree(tree) if entry.language is not None and entry.link is None]
    chosen = sources[::sample]
    seconds = 0.0
    for entry in chosen:
        content = (tree / entry.path).read_bytes()
        started = time.perf_counter()
        try:
            read_source(entry.language, entry.path, content)
        except SkipFile:
            pass
        seconds += time.perf_counter() - started
    total = sum(entry.size for entry in sources)
    return seconds * total / max(sum(entry.size for entry in chosen), 1), total / 1e6, len(sources)


def _cold_build(
    tree: pathlib.Path, index: pathlib.Path, extra: list[str], environment: dict[str, str]
) -> tuple[float, int, dict[str, float]]:
    """One cold `quibra index --json` process: (seconds, peak kilobytes of its
    largest process, its seconds per step)."""
    started = time.perf_counter()
    arguments = _quibra("index", str(tree), "--index", str(index), "--json", "--quiet", *extra)
    process = subprocess.Popen(arguments, env=environment, stdout=subprocess.PIPE)
    assert process.stdout is not None
    output = process.stdout.read()
    # What wait4 tells of a process covers the workers it waited for: the larger peak of them all.
    _pid, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"quibra index {tree} failed")
    return seconds, usage.ru_maxrss, json.loads(output)["refresh"].get("phases", {})


def large(tree: pathlib.Path, runs: int, sample: int, cluster: bool, work: pathlib.Path) -> None:
    """One cold build of a tree too large for more, its steps, and a warm query (see the module's docstring)."""
    environment = _environment(None)
    readers, megabytes, files = _readers_seconds(tree, sample)
    print(f"\n== {tree} ({files} source files, {megabytes:.1f} MB) ==")
    rows = [(f"readers alone, 1 in {sample} files, scaled", f"{readers:8.1f} s in one process, {megabytes / readers:.1f} MB/s")]
    index = work / "large.sqlite"
    seconds, kilobytes, phases = _cold_build(tree, index, ["--jobs", "2"], environment)
    rows.append(
        (
            "cold build, --jobs 2",
            f"{seconds:8.1f} s   x{seconds / (readers / 2):.2f} of the readers on 2 workers   peak {kilobytes / 1024:.0f} MB",
        )
    )
    rows += [(f"  {phase}", f"{phase_seconds:8.1f} s") for phase, phase_seconds in phases.items()]
    size = sum(path.stat().st_size for path in work.glob("large.sqlite*"))
    rows.append(("index size", f"{size / 2**20:8.1f} MB   {size / (megabytes * 1e6):.2f} bytes per source byte"))
    rows.append(("warm query, whole process", f"{_warm_median(tree, index, runs, environment):8.3f} s   (median of {runs})"))
    if cluster:
        try:
            import distributed
        except ImportError:
            rows.append(("Dask LocalCluster", "(needs the dask extra)"))
        else:
            with distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
            ) as local:
                remote, _kilobytes, remote_phases = _cold_build(
                    tree, work / "large-cluster.sqlite", ["--cluster", local.scheduler_address], environment
                )
            rows.append(("cold build, LocalCluster of 2", f"{remote:8.1f} s   x{remote / seconds:.2f} of --jobs 2"))
            reading = remote_phases.get("reading", 0.0)
            for workers in (8, 32, 128):
                estimate = reading * 2 / workers + remote - reading
                rows.append((f"  a cluster of {workers}, by these costs", f"{estimate:8.1f} s"))
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"  {name:<{width}}  {value}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", action="append", type=pathlib.Path, help="tree to measure (repeatable)")
    parser.add_argument("--runs", type=int, default=5, help="queries per measurement (median kept)")
    parser.add_argument("--baseline", default=BASELINE, help="commit whose quibra is the full-scan peer")
    parser.add_argument(
        "--scale", type=int, nargs="+", metavar="FILES", help="only measure growth, on trees of these many files"
    )
    parser.add_argument("--large", action="append", type=pathlib.Path, help="only a cold build and a warm query of this tree")
    parser.add_argument("--sample", type=int, default=20, help="with --large: time the readers on 1 in this many files")
    parser.add_argument("--cluster", action="store_true", help="with --large: build again on a Dask LocalCluster")
    parser.add_argument(
        "--grow",
        type=int,
        metavar="FILES",
        help="with --into: make a tree of FILES copies of the standard library's source files there (or keep the"
        " one made before), then measure it as --large does",
    )
    parser.add_argument("--into", type=pathlib.Path, help="the folder of the --grow tree, kept for other benchmarks")
    args = parser.parse_args(argv)
    if args.grow:
        if args.into is None:
            parser.error("--grow needs --into")
        tree = args.into.resolve() / f"grown-{args.grow}"
        if not tree.is_dir():
            args.into.mkdir(parents=True, exist_ok=True)
            started = time.perf_counter()
            _grown_tree(pathlib.Path(sysconfig.get_paths()["stdlib"]), args.grow, args.into.resolve(), copies=True)
            print(f"made {tree} in {time.perf_counter() - started:.0f} s")
        args.large = [*(args.large or []), tree]
    if args.large:
        for tree in args.large:
            with tempfile.TemporaryDirectory(prefix="quibra-bench-") as folder:
                large(tree.resolve(), args.runs, args.sample, args.cluster, pathlib.Path(folder))
        print(f"\n(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs)")
        return 0
    if args.scale:
        with tempfile.TemporaryDirectory(prefix="quibra-bench-") as folder:
            scale(args.scale, args.runs, pathlib.Path(folder))
        return 0
    trees = args.tree or [pathlib.Path(sysconfig.get_paths()["stdlib"]), pathlib.Path(sysconfig.get_paths()["purelib"])]
    with tempfile.TemporaryDirectory(prefix="quibra-bench-") as folder:
        work = pathlib.Path(folder)
        baseline = _baseline_package(args.baseline, work / "baseline")
        for tree in trees:
            measure(tree.resolve(), args.runs, baseline, work)
    print(f"\n(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

