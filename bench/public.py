"""Code search on the public benchmark of MinishLab/semble: quibra against BM25 peers, measured in the same run.

python bench/public.py --semble DIR [--mirrors DIR] [--scratch DIR] [--repo NAME] [--language L]
                       [--budget B] [--json FILE]

The benchmark is semble's `benchmarks/repos.json` (each repository, its URL,
a pinned revision and the folder that is searched, "benchmark_root") and
`benchmarks/annotations/NAME.json` (queries of three categories,
architecture, semantic and symbol, each with "relevant" and "secondary"
targets: a path, or a path with start_line and end_line). --semble is a
checkout of semble, or a bare git directory of one (read at HEAD).

Method, fixed before measuring:

- Repositories: those of the benchmark in quibra's eight languages (Python,
  Go, Rust, Java, JavaScript, TypeScript, C, C++), less the held-out ones
  (peers.held_out, by repository name). Each is read from a bare git
  directory under --mirrors (OWNER+NAME/repo, as the fetch tool leaves
  them) at its pinned revision; where the snapshot lacks that revision, at
  the snapshot's newest commit (HEAD), or where that lacks the searched
  folder the newest branch head that has it; the report names it. A repository with no
  snapshot, or whose searched folder is not in the tree, is skipped and
  named. The searched folder is extracted once into --scratch and kept.
- Rankers, each over the searched folder: quibra, whose files are its
  answer to "which files" (`Index.rank_files(query, 10)`) and whose chunks
  are the lines `Index.rank(query, budget)` packed of each symbol; and two peers (peers.py): BM25 over symbols, whose files
  come the same way and whose chunks are the symbols' lines, and BM25 over
  whole files, whose chunks are whole files.
- File NDCG@10, as semble defines it: the first 10 distinct files of a
  ranking; each target, relevant or secondary, has the rank of the first of
  them whose path matches its path (one is the other, or ends with "/" and
  the other); gains are binary and the ideal DCG counts min(10, targets).
- Chunk NDCG@10, for the queries whose annotation gives line ranges: the
  first 10 chunks of a ranking, not made distinct; a target's rank is that of
  the first chunk in its file whose lines overlap its lines (any chunk of
  its file, for a target without lines).
- Figures are means over queries: per category, per language and overall;
  each row ends with quibra's figure divided by the better peer's.
"""

from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import tarfile
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from peers import (  # noqa: E402
    PEERS,
    RANKERS,
    FilePeer,
    Span,
    SymbolPeer,
    files_in_order,
    held_out,
    quibra_spans,
    read_tree,
)

TOP = 10
DEFAULT_BUDGET = 8000
# How many ranked symbols or files a peer is asked for: enough for 10 distinct files.
PEER_DEPTH = 300
DEFAULT_MIRRORS = Path("/work/.mirror")
DEFAULT_SCRATCH = Path("/tmp/quibra-public")
# semble's language names -> quibra's
LANGUAGES = {
    "python": "python",
    "go": "go",
    "rust": "rust",
    "java": "java",
    "javascript": "javascript",
    "typescript": "typescript",
    "c": "c",
    "cpp": "cpp",
}
CATEGORIES = ("architecture", "semantic", "symbol")


class BenchmarkError(Exception):
    pass


# --- The benchmark's data ------------------------------------------------------------------------


@dataclass(frozen=True)
class Target:
    path: str
    start_line: int | None = None
    end_line: int | None = None

    @property
    def has_span(self) -> bool:
        return self.start_line is not None and self.end_line is not None


@dataclass(frozen=True)
class Task:
    repo: str
    query: str
    targets: tuple[Target, ...]  # relevant, then secondary
    category: str

    @property
    def has_spans(self) -> bool:
        return any(target.has_span for target in self.targets)


@dataclass(frozen=True)
class RepoSpec:
    name: str
    language: str  # quibra's name
    repository: str  # owner/name
    revision: str
    root: str  # the searched folder, "" for the whole tree


def _target(raw: str | dict[str, Any]) -> Target:
    if isinstance(raw, str):
        return Target(raw)
    start, end = raw.get("start_line"), raw.get("end_line")
    return Target(str(raw["path"]), int(start) if start is not None else None, int(end) if end is not None else None)


def infer_category(query: str) -> str:
    """semble's rule for an annotation without a category."""
    if " " not in query.strip():
        return "symbol"
    return "architecture" if query.lower().startswith("how ") else "semantic"


def parse_tasks(repo: str, items: list[dict[str, Any]]) -> list[Task]:
    tasks = []
    for item in items:
        targets = tuple(_target(raw) for raw in [*item.get("relevant", []), *item.get("secondary", [])])
        category = item.get("category")
        if not isinstance(category, str):
            category = infer_category(item["query"])
        tasks.append(Task(item.get("repo", repo), item["query"], targets, category))
    return tasks


def repository_of(url: str) -> str:
    """owner/name of a GitHub URL."""
    parts = url.rstrip("/").removesuffix(".git").split("/")
    return f"{parts[-2]}/{parts[-1]}"


def parse_specs(raw: list[dict[str, Any]]) -> tuple[list[RepoSpec], list[str]]:
    """The repositories to run, and a line for each one left out and why."""
    specs, left_out = [], []
    for item in raw:
        repository = repository_of(item["url"])
        language = LANGUAGES.get(item["language"])
        if language is None:
            continue
        if held_out(repository) or held_out(item["name"]):
            left_out.append(f"{item['name']} ({repository}): held out")
            continue
        specs.append(RepoSpec(item["name"], language, repository, item["revision"], item.get("benchmark_root") or ""))
    return specs, left_out


class SembleData:
    """semble's benchmark files, from a checkout or from a bare git directory."""

    def __init__(self, place: Path) -> None:
        self.place = place
        self.bare = (place / "HEAD").is_file() and (place / "objects").is_dir()
        if not self.bare and not (place / "benchmarks" / "repos.json").is_file():
            raise BenchmarkError(f"{place} is neither a checkout of semble nor a bare git directory of one")

    def read(self, path: str) -> str | None:
        if not self.bare:
            file = self.place / path
            return file.read_text(encoding="utf-8") if file.is_file() else None
        shown = subprocess.run(
            ["git", "--git-dir", str(self.place), "show", f"HEAD:{path}"], capture_output=True, text=True
        )
        return shown.stdout if shown.returncode == 0 else None

    def origin(self) -> str:
        if not self.bare:
            return str(self.place)
        head = _git(self.place, "log", "-1", "--format=%H %cs").strip()
        return f"{self.place} at {head}"

    def specs(self) -> tuple[list[RepoSpec], list[str]]:
        text = self.read("benchmarks/repos.json")
        if text is None:
            raise BenchmarkError(f"{self.place} has no benchmarks/repos.json")
        return parse_specs(json.loads(text))

    def tasks(self, name: str) -> list[Task]:
        text = self.read(f"benchmarks/annotations/{name}.json")
        return [] if text is None else parse_tasks(name, json.loads(text))


# --- Figures -------------------------------------------------------------------------------------


def path_matches(path: str, target: str) -> bool:
    """semble's rule: the same path, or one ends with "/" and the other."""
    return path == target or path.endswith(f"/{target}") or target.endswith(f"/{path}")


def ndcg_at(ranks: Sequence[int], relevant: int, k: int = TOP) -> float:
    """NDCG@k with binary gains from the 1-based ranks at which targets were found."""
    if relevant == 0:
        return 0.0
    gains = [0.0] * k
    for rank in ranks:
        if 1 <= rank <= k:
            gains[rank - 1] = 1.0
    dcg = sum(gain / math.log2(i + 2) for i, gain in enumerate(gains))
    ideal = sum(1.0 / math.log2(i + 2) for i in range(min(k, relevant)))
    return dcg / ideal


def file_ndcg(files: Sequence[str], targets: Sequence[Target]) -> float:
    ranks = []
    for target in targets:
        rank = next((i for i, path in enumerate(files[:TOP], 1) if path_matches(path, target.path)), None)
        if rank is not None:
            ranks.append(rank)
    return ndcg_at(ranks, len(targets))


def chunk_covers(span: Span, target: Target) -> bool:
    if not path_matches(span.path, target.path):
        return False
    if not target.has_span:
        return True
    return not (span.end < target.start_line or span.start > target.end_line)  # type: ignore[operator]


def chunk_ndcg(chunks: Sequence[Span], targets: Sequence[Target]) -> float:
    ranks = []
    for target in targets:
        rank = next((i for i, chunk in enumerate(chunks[:TOP], 1) if chunk_covers(chunk, target)), None)
        if rank is not None:
            ranks.append(rank)
    return ndcg_at(ranks, len(targets))


# --- Running -------------------------------------------------------------------------------------


def _git(git_dir: Path, *args: str) -> str:
    done = subprocess.run(["git", "--git-dir", str(git_dir), *args], capture_output=True, text=True)
    if done.returncode != 0:
        raise BenchmarkError(f"git {' '.join(args)} in {git_dir}: {done.stderr.strip()}")
    return done.stdout


def mirror_of(mirrors: Path, repository: str) -> Path | None:
    folder = mirrors / repository.replace("/", "+")
    for candidate in (folder / "repo", folder):
        if (candidate / "HEAD").is_file() and (candidate / "objects").is_dir():
            return candidate
    return None


def has_commit(git_dir: Path, revision: str) -> bool:
    done = subprocess.run(
        ["git", "--git-dir", str(git_dir), "cat-file", "-e", f"{revision}^{{commit}}"], capture_output=True
    )
    return done.returncode == 0


def has_folder(git_dir: Path, revision: str, folder: str) -> bool:
    return not folder or bool(_git(git_dir, "ls-tree", "-d", "--name-only", revision, folder).strip())


def nearest_revision(git_dir: Path, folder: str) -> str | None:
    """Stand-in for a missing pinned revision: the snapshot's newest commit (HEAD), or else the newest
    branch head, that has the searched folder."""
    heads = _git(git_dir, "for-each-ref", "--sort=-committerdate", "--format=%(objectname)", "refs/heads").split()
    for revision in [_git(git_dir, "rev-parse", "HEAD").strip(), *heads]:
        if has_folder(git_dir, revision, folder):
            return revision
    return None


@dataclass
class Checkout:
    spec: RepoSpec
    revision: str
    pinned: bool
    tree: Path  # the extracted searched folder
    key: str  # names its extraction and its index in the scratch folder

    def describe(self) -> str:
        where = (
            "pinned revision"
            if self.pinned
            else f"pinned {self.spec.revision[:12]} missing; the newest commit that has the folder"
        )
        return f"{self.spec.name} ({self.spec.repository}) at {self.revision[:12]} ({where})"


def check_out(spec: RepoSpec, mirrors: Path, scratch: Path) -> Checkout:
    git_dir = mirror_of(mirrors, spec.repository)
    if git_dir is None:
        raise BenchmarkError(f"no snapshot of {spec.repository} under {mirrors}")
    pinned = has_commit(git_dir, spec.revision)
    revision = spec.revision if pinned else nearest_revision(git_dir, spec.root)
    if revision is None:
        raise BenchmarkError(f"pinned {spec.revision[:12]} missing, and no branch of the snapshot has {spec.root}")
    destination = scratch / "trees" / f"{spec.name}-{revision[:12]}"
    done = destination / ".extracted"
    if not done.exists():
        if not has_folder(git_dir, revision, spec.root):
            raise BenchmarkError(f"{spec.repository} at {revision[:12]} has no folder {spec.root}")
        destination.mkdir(parents=True, exist_ok=True)
        archive = subprocess.Popen(
            ["git", "--git-dir", str(git_dir), "archive", revision, *([spec.root] if spec.root else [])],
            stdout=subprocess.PIPE,
        )
        assert archive.stdout is not None
        with tarfile.open(fileobj=archive.stdout, mode="r|") as tar:
            tar.extractall(destination, filter="data")
        if archive.wait() != 0:
            raise BenchmarkError(f"git archive of {spec.repository} at {revision[:12]} failed")
        done.touch()
    tree = destination / spec.root if spec.root else destination
    if not tree.is_dir():
        raise BenchmarkError(f"{spec.repository} at {revision[:12]} has no folder {spec.root}")
    return Checkout(spec, revision, pinned, tree, destination.name)


@dataclass
class Answer:
    files: list[str]
    chunks: list[Span]


@dataclass
class RepoRun:
    checkout: Checkout
    tasks: list[Task]
    answers: dict[str, list[Answer]] = field(default_factory=dict)
    seconds: dict[str, float] = field(default_factory=dict)
    missing_targets: int = 0  # targets whose file is not in the searched folder
    short_file_lists: int = 0  # quibra answers with fewer than TOP files


def _repo_relative(root: str, path: str) -> str:
    return f"{root}/{path}" if root else path


def run_repo(checkout: Checkout, tasks: list[Task], scratch: Path, budget: int) -> RepoRun:
    import quibra

    run = RepoRun(checkout, tasks)
    root = checkout.spec.root
    started = time.perf_counter()
    (scratch / "indexes").mkdir(parents=True, exist_ok=True)
    index = quibra.Index(checkout.tree, index_file=scratch / "indexes" / f"{checkout.key}.index")
    index.refresh()
    run.seconds["quibra index"] = time.perf_counter() - started
    answers = []
    started = time.perf_counter()
    for task in tasks:
        report = index.rank(task.query, budget=budget, refresh=False)
        ranked_files = index.rank_files(task.query, TOP, refresh=False)["results"]
        files = [_repo_relative(root, entry["path"]) for entry in ranked_files]
        chunks = [Span(_repo_relative(root, s.path), s.start, s.end) for s in quibra_spans(report)[:TOP]]
        run.short_file_lists += len(files) < TOP
        answers.append(Answer(files, chunks))
    run.answers["quibra"] = answers
    run.seconds["quibra"] = time.perf_counter() - started
    index.close()

    started = time.perf_counter()
    files_read = read_tree(checkout.tree)
    run.seconds["peers read"] = time.perf_counter() - started
    present = {_repo_relative(root, file.path) for file in files_read}
    run.missing_targets = sum(
        1 for task in tasks for target in task.targets if not any(path_matches(p, target.path) for p in present)
    )
    for peer in (SymbolPeer(files_read), FilePeer(files_read)):
        started = time.perf_counter()
        answers = []
        for task in tasks:
            spans = [Span(_repo_relative(root, s.path), s.start, s.end) for s in peer.search(task.query, PEER_DEPTH)]
            answers.append(Answer(files_in_order((s.path for s in spans), TOP), spans[:TOP]))
        run.answers[peer.name] = answers
        run.seconds[peer.name] = time.perf_counter() - started
    return run


# --- Report --------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Scored:
    """One query's figures for every ranker."""

    repo: str
    language: str
    category: str
    file: dict[str, float]
    chunk: dict[str, float] | None  # only for queries whose annotation gives line ranges


def score(run: RepoRun) -> list[Scored]:
    scored = []
    for i, task in enumerate(run.tasks):
        file = {ranker: file_ndcg(run.answers[ranker][i].files, task.targets) for ranker in RANKERS}
        chunk = (
            {ranker: chunk_ndcg(run.answers[ranker][i].chunks, task.targets) for ranker in RANKERS}
            if task.has_spans
            else None
        )
        scored.append(Scored(task.repo, run.checkout.spec.language, task.category, file, chunk))
    return scored


def _mean(values: Sequence[float]) -> float:
    return sum(values) / len(values) if values else 0.0


def summarize(figures: list[dict[str, float]]) -> dict[str, Any]:
    means = {ranker: _mean([figure[ranker] for figure in figures]) for ranker in RANKERS}
    best_peer = max(means[peer] for peer in PEERS)
    return {
        "queries": len(figures),
        "ndcg@10": means,
        "quibra_over_best_peer": means["quibra"] / best_peer if best_peer > 0.0 else None,
    }


def group(scored: list[Scored], level: str) -> dict[str, Any]:
    """Figures by category, language and repository, and over all queries, at the file or chunk level."""
    kept = [(item, getattr(item, level)) for item in scored if getattr(item, level) is not None]
    rows: dict[str, Any] = {}
    for key in ("category", "language", "repo"):
        values = dict.fromkeys(getattr(item, key) for item, _ in kept)
        order = [c for c in CATEGORIES if c in values] + [v for v in values if v not in CATEGORIES]
        rows[key] = {
            value: summarize([figure for item, figure in kept if getattr(item, key) == value]) for value in order
        }
    rows["total"] = summarize([figure for _, figure in kept])
    return rows


NAME_WIDTH = 22


def _row(name: str, entry: dict[str, Any]) -> str:
    cells = [f"{name:<{NAME_WIDTH}}{entry['queries']:>7}"]
    cells += [f"{entry['ndcg@10'][ranker]:>12.3f}" for ranker in RANKERS]
    ratio = entry["quibra_over_best_peer"]
    cells.append(f"{'-' if ratio is None else f'x{ratio:.2f}':>10}")
    return " ".join(cells)


def print_table(title: str, rows: dict[str, Any], with_repos: bool) -> None:
    print(f"== {title}: NDCG@10 ==")
    print(" ".join([f"{'':<{NAME_WIDTH}}{'queries':>7}", *(f"{r:>12}" for r in RANKERS), f"{'q/best':>10}"]))
    for key in ("category", "language", *(("repo",) if with_repos else ())):
        for name, entry in rows[key].items():
            print(_row(name, entry))
        print()
    print(_row("total", rows["total"]))
    print()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--semble", type=Path, required=True, help="a checkout of semble, or a bare git dir of one")
    parser.add_argument("--mirrors", type=Path, default=DEFAULT_MIRRORS, help="folder of OWNER+NAME bare git dirs")
    parser.add_argument("--scratch", type=Path, default=DEFAULT_SCRATCH, help="where trees and indexes are kept")
    parser.add_argument("--repo", action="append", help="repository to run, by its benchmark name (repeatable)")
    parser.add_argument("--language", action="append", choices=sorted(LANGUAGES), help="language to run")
    parser.add_argument("--budget", type=int, default=DEFAULT_BUDGET, help="token budget of each quibra ranking")
    parser.add_argument("--json", type=Path, help="also write the figures to this file as JSON")
    args = parser.parse_args(argv)

    try:
        data = SembleData(args.semble)
        specs, left_out = data.specs()
    except BenchmarkError as error:
        print(f"public: {error}", file=sys.stderr)
        return 2
    if args.repo:
        specs = [spec for spec in specs if spec.name in args.repo]
    if args.language:
        specs = [spec for spec in specs if spec.language in args.language]
    runs: list[RepoRun] = []
    started = time.perf_counter()
    for spec in specs:
        tasks = data.tasks(spec.name)
        if not tasks:
            left_out.append(f"{spec.name} ({spec.repository}): no annotations")
            continue
        try:
            checkout = check_out(spec, args.mirrors, args.scratch)
        except BenchmarkError as error:
            left_out.append(f"{spec.name} ({spec.repository}): {error}")
            continue
        run = run_repo(checkout, tasks, args.scratch, args.budget)
        timings = ", ".join(f"{name} {seconds:.1f} s" for name, seconds in run.seconds.items())
        print(f"public: {checkout.describe()}: {len(tasks)} queries; {timings}", file=sys.stderr)
        runs.append(run)
    if not runs:
        print("public: no repository could be run", file=sys.stderr)
        for line in left_out:
            print(f"public: skipped {line}", file=sys.stderr)
        return 2

    print(f"semble benchmark data: {data.origin()}")
    for run in runs:
        missing = f"; {run.missing_targets} targets not in the tree" if run.missing_targets else ""
        print(f"  {run.checkout.describe()}{missing}")
    for line in left_out:
        print(f"  skipped {line}")
    print(f"quibra budget {args.budget} tokens; {time.perf_counter() - started:.0f} s in all\n")
    scored = [item for run in runs for item in score(run)]
    report: dict[str, Any] = {
        "semble": data.origin(),
        "budget": args.budget,
        "repositories": {
            run.checkout.spec.name: {
                "repository": run.checkout.spec.repository,
                "language": run.checkout.spec.language,
                "revision": run.checkout.revision,
                "pinned": run.checkout.pinned,
                "queries": len(run.tasks),
                "missing_targets": run.missing_targets,
                "quibra_short_file_lists": run.short_file_lists,
                "seconds": run.seconds,
            }
            for run in runs
        },
        "skipped": left_out,
        "file": group(scored, "file"),
        "chunk": group(scored, "chunk"),
    }
    print_table("file level", report["file"], with_repos=True)
    short = sum(run.short_file_lists for run in runs)
    print(f"quibra's answer held fewer than {TOP} files for {short} of {len(scored)} queries\n")
    if report["chunk"]["total"]["queries"]:
        print_table("chunk level, queries with line ranges", report["chunk"], with_repos=True)
    if args.json is not None:
        try:
            args.json.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
        except OSError as error:
            print(f"public: cannot write the figures to {args.json}: {error.strerror}", file=sys.stderr)
            return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
