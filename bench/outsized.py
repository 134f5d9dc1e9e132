"""Outsized input: a build holding one huge generated file, and a huge query.

    python bench/outsized.py [--megabytes 20] [--words 200000] [--jobs 2]

Builds a tree of a few real standard-library packages (json, email, http)
plus one generated Python file of one-line functions (`--megabytes` of
them), then runs, each as a process of its own:

- a cold `quibra index` of that tree with `--jobs` workers;
- a `rank` of a query of `--words` random words, drawn with a fixed seed
  from the tree's own identifiers and from made-up words, through the
  `quibra.Index` API (a command line cannot carry an argument that long).

For each it prints the wall time, the peak resident memory of the whole
process tree (sampled from /proc every 20 ms, workers summed with their
parent), the largest single process's peak as the kernel reports it, and
for the build the index's size on disk and what it says it skipped.

With `--host FOLDER` (a folder holding another copy of the `quibra`
package, such as one exported from git history) the same figures are taken
for that copy: that is how a change is measured against the code before it.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

STDLIB = pathlib.Path(json.__file__).resolve().parent.parent
PACKAGES = ("json", "email", "http")


def _tree_rss_kib(root_pid: int) -> int:
    """Resident kilobytes of `root_pid` and every process descended from it."""
    parents: dict[int, int] = {}
    rss: dict[int, int] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stream:
                fields = stream.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        pid = int(entry)
        parents[pid] = int(fields[1])
        rss[pid] = int(fields[21]) * os.sysconf("SC_PAGE_SIZE") // 1024
    total, frontier = 0, [root_pid]
    seen = set()
    while frontier:
        pid = frontier.pop()
        if pid in seen:
            continue
        seen.add(pid)
        total += rss.get(pid, 0)
        frontier.extend(child for child, parent in parents.items() if parent == pid)
    return total


def measure(arguments: list[str], environment: dict[str, str]) -> dict[str, float]:
    """Wall seconds, peak summed resident MiB of the process tree, and the largest process's peak MiB
    (of every process this one has waited for so far)."""
    started = time.perf_counter()
    process = subprocess.Popen(arguments, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    peak = 0
    done = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not done.is_set():
            peak = max(peak, _tree_rss_kib(process.pid))
            done.wait(0.02)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    stdout, stderr = process.communicate()
    seconds = time.perf_counter() - started
    done.set()
    sampler.join()
    if process.returncode != 0:
        sys.exit(f"outsized: {arguments[0]} failed: {stderr.decode(errors='replace').strip()[-400:]}")
    import resource

    largest = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return {"seconds": seconds, "tree_mb": peak / 1024, "largest_mb": largest / 1024, "stdout": stdout.decode()}


def generated_file(path: pathlib.Path, megabytes: float, kind: str) -> int:
    """Functions up to `megabytes` (less one line's worth); how many. "one-line":
    one function a line, as a code generator writes them; "plain": four lines
    a function with a blank line between, which no rule takes for generated,
    so that the whole file is parsed and stored."""
    limit = int(megabytes * 1024 * 1024)
    count = written = 0
    with open(path, "w") as stream:
        while True:
            if kind == "one-line":
                text = f"def handler_{count}(value, other): return value * {count} + other\n"
            else:
                text = (f"def handler_{count}(value, other):\n    \"\"\"Scale value by {count}.\"\"\"\n"
                        f"    scaled = value * {count}\n    return scaled + other\n\n")
            if written + len(text) > limit:
                return count
            stream.write(text)
            written += len(text)
            count += 1


def random_query(tree: pathlib.Path, words: int) -> str:
    vocabulary = sorted(
        {word for path in tree.rglob("*.py") if path.name != "generated.py"
         for word in re.findall(r"[A-Za-z_][A-Za-z0-9_]{2,}", path.read_text(errors="replace"))}
    )
    chooser = random.Random(7)
    made_up = ["".join(chooser.choices("abcdefghijklmnopqrstuvwxyz", k=chooser.randint(3, 10))) for _ in range(5000)]
    pool = vocabulary + made_up
    return " ".join(chooser.choice(pool) for _ in range(words))


# Runs the rest of the command line with the host package of the folder in
# argv[1] in place of the installed one (an editable install's import hook
# would otherwise find the installed one first).
LAUNCHER = """
import runpy, sys
folder = sys.argv.pop(1)
if folder:
    sys.path.insert(0, folder)
    sys.meta_path[:] = [finder for finder in sys.meta_path if "Redirecting" not in type(finder).__name__]
if sys.argv[1] == "-m":
    sys.argv[:] = sys.argv[2:]
    runpy.run_module(sys.argv[0], run_name="__main__", alter_sys=True)
else:
    code = sys.argv.pop(1)
    exec(compile(code, "<rank>", "exec"), {"__name__": "__main__"})
"""

RANK_SCRIPT = """
import sys, quibra
with quibra.Index(sys.argv[1], index_file=sys.argv[2], jobs=1) as index:
    report = index.rank(open(sys.argv[3]).read(), 4000)
print(len(report["results"]), "results;", "; ".join(report.get("warnings", [])))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=float, default=20.0, help="size of the generated file, in MiB")
    parser.add_argument("--kind", choices=("one-line", "plain"), default="one-line",
                        help="the shape of the generated file's functions (see generated_file)")
    parser.add_argument("--words", type=int, default=200_000, help="words of the long query")
    parser.add_argument("--jobs", type=int, default=2, help="worker processes of the build")
    parser.add_argument("--max-file-size", help="passed to the build, to measure past the default size limit")
    parser.add_argument("--host", type=pathlib.Path, help="a folder holding the `quibra` package to measure")
    options = parser.parse_args()
    environment = dict(os.environ)
    host = str(options.host.resolve()) if options.host else ""
    launcher = [sys.executable, "-c", LAUNCHER, host]
    command = [*launcher, "-m", "quibra"]
    with tempfile.TemporaryDirectory() as scratch:
        tree = pathlib.Path(scratch, "tree")
        for package in PACKAGES:
            shutil.copytree(STDLIB / package, tree / package, ignore=shutil.ignore_patterns("__pycache__"))
        functions = generated_file(tree / "generated.py", options.megabytes, options.kind)
        index_file = pathlib.Path(scratch, "index.sqlite")
        print(f"host package: {options.host or 'the installed one'}")
        print(f"tree: {', '.join(PACKAGES)} from {STDLIB} and generated.py "
              f"({options.megabytes:g} MiB, {functions:,} {options.kind} functions)")
        build = measure(
            [*command, "index", str(tree), "--index", str(index_file), "--jobs", str(options.jobs), "--json",
             *(["--max-file-size", options.max_file_size] if options.max_file_size else [])],
            environment,
        )
        report = json.loads(build["stdout"])
        skipped = [f"{entry['path']} ({entry['reason']})" for entry in report.get("skipped", [])]
        print(f"build -j {options.jobs}: {build['seconds']:.1f} s, peak {build['tree_mb']:.0f} MB (process tree),"
              f" largest process {build['largest_mb']:.0f} MB, index {index_file.stat().st_size / 2**20:.1f} MB,"
              f" {report['symbols']:,} symbols")
        print(f"  skipped: {', '.join(skipped) or 'nothing'}")
        query_file = pathlib.Path(scratch, "query.txt")
        query_file.write_text(random_query(tree, options.words))
        ranked = measure(
            [*launcher, RANK_SCRIPT, str(tree), str(index_file), str(query_file)], environment
        )
        print(f"rank of {options.words:,} words ({query_file.stat().st_size:,} characters):"
              f" {ranked['seconds']:.1f} s, peak {ranked['tree_mb']:.0f} MB; {ranked['stdout'].strip()}")


if __name__ == "__main__":
    main()
