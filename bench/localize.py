"""Issue localization from real git histories: quibra against BM25 peers, measured in the same run.

python bench/localize.py [--project NAME] [--per-project N] [--seed S] [--budget B] [--mirrors DIR]
                         [--scratch DIR] [--window W] [--json FILE]

A commit of a public project stands for an issue and its fix: the query is
the commit's subject, the tree is the commit's parent, and the answer is the
set of functions and methods the commit changed. Each project is read from
a bare git directory under --mirrors (OWNER+NAME/repo, as the fetch tool
leaves them), at the newest commit of its snapshot.

Method, fixed before measuring:

- Commits: the newest --window (2,000) commits of HEAD that have exactly one
  parent. A commit is kept when all of these hold:
  - its subject, less a trailing pull-request number "(#123)", has at least
    4 words, and none of them says nothing of the change: it does not start
    with Merge, Revert, Bump, Release or Prepare, is not a version ("0.74.0",
    "v1.2", "ignore-0.4.28"), does not name only a file ("Update x.md"),
    is not a bare issue reference ("Fix #123", "Closes #9 and #10"), and
    has no word of upkeep (changelog, readme, typo(s), lint, format(ting),
    dependabot, deps, chore, ci, test(s), version, bump) or of
    documentation (doc(s), documentation, documented, docstring(s),
    comment(s)), whose commits change comments and docstrings, not code;
  - it modifies 1 to 3 source files (a file in one of quibra's languages
    that is not a test, by `is_test_path`), adds, deletes or renames none,
    and changes at most 40 lines of them (added plus removed); what else it
    changes (tests, docs, changelogs) is allowed and is no part of the answer;
  - its hunks touch at least one function or method: each hunk's lines of
    the parent file (for a pure insertion, the lines either side of it) map
    to the innermost function or method that quibra's reader finds around
    them in the parent tree; those definitions are the answer.
- Sample: the kept commits are taken in an order shuffled with the seed
  ("SEED/PROJECT") until --per-project (25) are found; they are then run
  oldest first, on one work tree per project checked out commit by commit,
  so that quibra's index is refreshed incrementally.
- Rankers: quibra (`Index.rank(subject, budget)`; its context is what it
  packs, its files those of its results in order of first appearance, so no
  more than its context holds, where a peer's files come from its whole
  ranking), and
  the two peers of peers.py over the same tree: BM25 over symbols and BM25
  over whole files, each packing what it ranks into the budget at 4
  characters per token (each piece whole, in rank order, skipping any that
  no longer fits).
- Figures per commit: hit, whether at least one changed function is in the
  context of --budget (4,000) tokens (a piece of the same file whose lines
  take in the function's definition line); recall, the share of changed
  functions in it; file@1 and file@3, whether a file of a changed function is
  the first, or among the first 3, distinct files of the ranking; MRR, the
  reciprocal rank of the first such file among the first 10 (0 past them).
- Figures are means over commits: per project, per language (that of the
  files the commit changed, which for marked is JavaScript in its older
  commits and TypeScript in its newer ones) and overall;
  each row ends with quibra's figure divided by the better peer's.
"""

from __future__ import annotations

import argparse
import json
import random
import re
import subprocess
import sys
import time
from collections import Counter
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from peers import (  # noqa: E402
    PEERS,
    RANKERS,
    FilePeer,
    SourceFile,
    Span,
    SymbolPeer,
    TreeSymbol,
    files_in_order,
    held_out,
    pack,
    quibra_files,
    quibra_spans,
    read_source_file,
)

DEFAULT_BUDGET = 4000
DEFAULT_PER_PROJECT = 25
DEFAULT_WINDOW = 2000
MAX_SOURCE_FILES = 3
MAX_CHANGED_LINES = 40
MIN_SUBJECT_WORDS = 4
FILE_DEPTH = 10  # MRR looks this far down the files of a ranking
PEER_DEPTH = 300
DEFAULT_MIRRORS = Path("/work/.mirror")
DEFAULT_SCRATCH = Path("/tmp/quibra-localize")
CALLABLE_KINDS = frozenset({"function", "method"})


@dataclass(frozen=True)
class Project:
    name: str
    repository: str  # owner/name on GitHub
    language: str  # quibra's name for its main language (a commit counts under the language of what it changed)


PROJECTS = (
    Project("rich", "Textualize/rich", "python"),
    Project("attrs", "python-attrs/attrs", "python"),
    Project("black", "psf/black", "python"),
    Project("cobra", "spf13/cobra", "go"),
    Project("fzf", "junegunn/fzf", "go"),
    Project("ripgrep", "BurntSushi/ripgrep", "rust"),
    Project("fd", "sharkdp/fd", "rust"),
    Project("jsoup", "jhy/jsoup", "java"),
    Project("marked", "markedjs/marked", "typescript"),
)
assert not any(held_out(project.repository) for project in PROJECTS)


class BenchmarkError(Exception):
    pass


# --- Which commits ---------------------------------------------------------------------------------

_TEST_FOLDERS = frozenset(
    {"test", "tests", "testing", "testdata", "test-data", "__tests__", "spec", "specs", "fixtures", "benches"}
)
_TEST_NAME = re.compile(
    r"(_test\.go|_tests?\.rs|\.(test|spec)\.[cm]?[jt]sx?|Tests?\.java|TestCase\.java|_test\.py)$"
    r"|^(test_|conftest\.py$|tests?\.rs$)"
)


def is_test_path(path: str) -> bool:
    *folders, name = path.split("/")
    return any(folder.lower() in _TEST_FOLDERS for folder in folders) or _TEST_NAME.search(name) is not None


_PULL_REQUEST = re.compile(r"\s*\(#\d+\)\s*$")
_NO_CHANGE_START = re.compile(r"^(merge|revert|bump|release|prepare)\b", re.IGNORECASE)
_VERSION = re.compile(r"^[\w.-]*?v?\d+(\.\d+)+[\w.-]*$")
_FILE_ONLY = re.compile(r"^(update|edit|change|fix|add|create|delete|remove)\s+[\w./-]+\.\w+$", re.IGNORECASE)
_ISSUE_REFERENCE = re.compile(r"^((fix(es|ed)?|close[sd]?|resolve[sd]?|issues?|and|see|for|#\d+)[\s,.:]*)+$", re.I)
_UPKEEP = re.compile(
    r"\b(changelog|readme|typos?|lint|linting|format|formatting|dependabot|deps|chore|ci|tests?|version|bump"
    r"|docs?|documentation|documented|docstrings?|comments?)\b",
    re.IGNORECASE,
)


def query_of(subject: str) -> str:
    """The subject as the query: a trailing pull-request number taken off."""
    return _PULL_REQUEST.sub("", subject).strip()


def subject_says_something(subject: str) -> bool:
    text = query_of(subject)
    words = text.split()
    if len(words) < MIN_SUBJECT_WORDS:
        return False
    if _VERSION.match(text) or _NO_CHANGE_START.match(text) or _FILE_ONLY.match(text):
        return False
    if _ISSUE_REFERENCE.match(text):
        return False
    return _UPKEEP.search(text) is None


@dataclass(frozen=True)
class FileChange:
    path: str
    added: int
    removed: int
    status: str  # "M" modified, "A" added, "D" deleted


@dataclass(frozen=True)
class Commit:
    sha: str
    parent: str
    subject: str
    changes: tuple[FileChange, ...]
    order: int  # 0 for the newest

    def source_changes(self) -> list[FileChange]:
        from quibra.tree.languages import language_of

        return [c for c in self.changes if language_of(c.path) is not None and not is_test_path(c.path)]


def small_source_change(commit: Commit) -> bool:
    sources = commit.source_changes()
    if not 1 <= len(sources) <= MAX_SOURCE_FILES:
        return False
    if any(change.status != "M" for change in sources):
        return False
    return sum(change.added + change.removed for change in sources) <= MAX_CHANGED_LINES


def _git(git_dir: Path, *args: str) -> str:
    done = subprocess.run(["git", "--git-dir", str(git_dir), *args], capture_output=True)
    if done.returncode != 0:
        raise BenchmarkError(f"git {' '.join(args[:3])} in {git_dir}: {done.stderr.decode(errors='replace').strip()}")
    return done.stdout.decode("utf-8", "replace")


def parse_log(text: str) -> list[Commit]:
    """Commits from `git log --format=%x01%H %P%x02%s --numstat --summary --no-renames`."""
    commits = []
    for order, record in enumerate(text.split("\x01")[1:]):
        head, _, body = record.partition("\n")
        hashes, _, subject = head.partition("\x02")
        sha, *parents = hashes.split()
        counts: dict[str, tuple[int, int]] = {}
        status: dict[str, str] = {}
        for line in body.splitlines():
            if "\t" in line:
                added, removed, path = line.split("\t", 2)
                binary = added == "-" or removed == "-"
                counts[path] = (0, 0) if binary else (int(added), int(removed))
            elif line.startswith((" create mode ", " delete mode ")):
                status[line.split(" ", 4)[4]] = "A" if line.startswith(" create") else "D"
        if len(parents) != 1:
            continue
        changes = tuple(FileChange(p, a, r, status.get(p, "M")) for p, (a, r) in counts.items())
        commits.append(Commit(sha, parents[0], subject.strip(), changes, order))
    return commits


def read_commits(git_dir: Path, window: int) -> list[Commit]:
    log = _git(
        git_dir,
        "log",
        "--no-merges",
        f"-n{window}",
        "--format=%x01%H %P%x02%s",
        "--numstat",
        "--summary",
        "--no-renames",
        "HEAD",
    )
    return parse_log(log)


_HUNK = re.compile(r"^@@ -(\d+)(?:,(\d+))? \+\d+(?:,\d+)? @@")


def touched_lines(diff: str) -> dict[str, set[int]]:
    """The lines of each old file that a `git diff -U0` touches: removed lines, and the lines either side
    of an insertion."""
    touched: dict[str, set[int]] = {}
    path = None
    for line in diff.splitlines():
        if line.startswith("--- "):
            path = line[6:] if line.startswith("--- a/") else None
        elif path is not None and (found := _HUNK.match(line)):
            start, count = int(found.group(1)), int(found.group(2) or "1")
            lines = set(range(start, start + count)) if count else {start, start + 1}
            touched.setdefault(path, set()).update(lines)
    return touched


def enclosing_function(symbols: Iterable[TreeSymbol], line: int) -> TreeSymbol | None:
    """The innermost function or method whose lines take in `line`."""
    around = [s for s in symbols if s.kind in CALLABLE_KINDS and s.start_line <= line <= s.end_line]
    return min(around, key=lambda s: (s.end_line - s.start_line, -s.start_line), default=None)


def changed_functions(files: dict[str, SourceFile], touched: dict[str, set[int]]) -> list[TreeSymbol]:
    found: dict[tuple[str, int], TreeSymbol] = {}
    for path, lines in sorted(touched.items()):
        file = files.get(path)
        if file is None:
            continue
        for line in sorted(lines):
            function = enclosing_function(file.symbols, line)
            if function is not None:
                found.setdefault((function.path, function.line), function)
    return list(found.values())


# --- The trees -----------------------------------------------------------------------------------


class BlobReader:
    """Files of any commit as the peers see them, each blob read and parsed once."""

    def __init__(self, git_dir: Path) -> None:
        self.git_dir = git_dir
        self.parsed: dict[tuple[str, str], SourceFile | None] = {}

    def _blobs(self, shas: list[str]) -> list[bytes]:
        done = subprocess.run(
            ["git", "--git-dir", str(self.git_dir), "cat-file", "--batch"],
            input="".join(f"{sha}\n" for sha in shas).encode(),
            capture_output=True,
            check=True,
        )
        out, blobs, at = done.stdout, [], 0
        for _ in shas:
            header_end = out.index(b"\n", at)
            size = int(out[at:header_end].split()[2])
            blobs.append(out[header_end + 1 : header_end + 1 + size])
            at = header_end + 1 + size + 1
        return blobs

    def files(self, revision: str) -> dict[str, SourceFile]:
        from quibra.tree.languages import language_of

        listed = []
        for entry in _git(self.git_dir, "ls-tree", "-r", "-z", revision).split("\0"):
            if not entry:
                continue
            meta, _, path = entry.partition("\t")
            mode, kind, sha = meta.split()
            language = language_of(path)
            if kind == "blob" and mode != "120000" and language is not None:
                listed.append((path, language, sha))
        new = [(path, language, sha) for path, language, sha in listed if (path, sha) not in self.parsed]
        for start in range(0, len(new), 500):
            part = new[start : start + 500]
            for (path, language, sha), blob in zip(part, self._blobs([sha for _, _, sha in part])):
                self.parsed[(path, sha)] = read_source_file(path, language, blob)
        files = {}
        for path, _, sha in listed:
            file = self.parsed[(path, sha)]
            if file is not None:
                files[path] = file
        return files


# --- Running -------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Case:
    project: str
    language: str
    commit: Commit
    query: str
    answer: tuple[TreeSymbol, ...]

    @property
    def answer_files(self) -> frozenset[str]:
        return frozenset(symbol.path for symbol in self.answer)


def choose_cases(
    project: Project, git_dir: Path, blobs: BlobReader, window: int, per_project: int, seed: int
) -> tuple[list[Case], dict[str, int]]:
    """The sampled commits of a project, oldest first, and how many commits each filter left."""
    commits = read_commits(git_dir, window)
    counts = {"commits": len(commits)}
    worded = [commit for commit in commits if subject_says_something(commit.subject)]
    counts["subject kept"] = len(worded)
    small = [commit for commit in worded if small_source_change(commit)]
    counts["small source change"] = len(small)
    random.Random(f"{seed}/{project.name}").shuffle(small)
    cases: list[Case] = []
    for commit in small:
        if len(cases) >= per_project:
            break
        paths = [change.path for change in commit.source_changes()]
        diff = _git(git_dir, "diff", "-U0", "--no-renames", "--no-color", commit.parent, commit.sha, "--", *paths)
        files = blobs.files(commit.parent)
        answer = changed_functions(files, touched_lines(diff))
        if answer:
            language = Counter(files[symbol.path].language for symbol in answer).most_common(1)[0][0]
            cases.append(Case(project.name, language, commit, query_of(commit.subject), tuple(answer)))
    counts["sampled"] = len(cases)
    cases.sort(key=lambda case: -case.commit.order)
    return cases, counts


@dataclass
class Outcome:
    """What one ranker answered for one commit."""

    context: list[Span]
    files: list[str]


def work_tree(git_dir: Path, scratch: Path, name: str) -> Path:
    tree = scratch / "worktrees" / name
    if not (tree / ".git").exists():
        tree.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["git", "clone", "--quiet", "--shared", "--no-checkout", str(git_dir), str(tree)], check=True
        )
    return tree


def check_out(tree: Path, revision: str) -> None:
    subprocess.run(
        ["git", "-C", str(tree), "-c", "advice.detachedHead=false", "checkout", "--quiet", "--force", revision],
        check=True,
        capture_output=True,
    )
    subprocess.run(["git", "-C", str(tree), "clean", "-ffdxq"], check=True, capture_output=True)


@dataclass
class ProjectRun:
    project: Project
    cases: list[Case]
    counts: dict[str, int]
    outcomes: dict[str, list[Outcome]] = field(default_factory=dict)
    seconds: dict[str, float] = field(default_factory=dict)


def run_project(project: Project, git_dir: Path, scratch: Path, args: argparse.Namespace) -> ProjectRun:
    import quibra

    blobs = BlobReader(git_dir)
    started = time.perf_counter()
    cases, counts = choose_cases(project, git_dir, blobs, args.window, args.per_project, args.seed)
    run = ProjectRun(project, cases, counts, {ranker: [] for ranker in RANKERS})
    run.seconds = dict.fromkeys(("choose", "checkout", "quibra refresh", "quibra", *PEERS), 0.0)
    run.seconds["choose"] = time.perf_counter() - started
    tree = work_tree(git_dir, scratch, project.name)
    (scratch / "indexes").mkdir(parents=True, exist_ok=True)
    index = quibra.Index(tree, index_file=scratch / "indexes" / f"{project.name}.index")
    try:
        for case in cases:
            started = time.perf_counter()
            check_out(tree, case.commit.parent)
            run.seconds["checkout"] += time.perf_counter() - started
            started = time.perf_counter()
            index.refresh()
            run.seconds["quibra refresh"] += time.perf_counter() - started
            started = time.perf_counter()
            report = index.rank(case.query, budget=args.budget, refresh=False)
            run.outcomes["quibra"].append(Outcome(quibra_spans(report), quibra_files(report, FILE_DEPTH)))
            run.seconds["quibra"] += time.perf_counter() - started
            files = list(blobs.files(case.commit.parent).values())
            for make_peer in (SymbolPeer, FilePeer):
                started = time.perf_counter()
                peer = make_peer(files)
                ranked = peer.search(case.query, PEER_DEPTH)
                outcome = Outcome(pack(ranked, args.budget), files_in_order((s.path for s in ranked), FILE_DEPTH))
                run.outcomes[peer.name].append(outcome)
                run.seconds[peer.name] += time.perf_counter() - started
    finally:
        index.close()
    return run


# --- Figures and report --------------------------------------------------------------------------

METRICS = ("hit", "recall", "file@1", "file@3", "MRR")


def figures(case: Case, outcome: Outcome) -> dict[str, float]:
    found = [
        symbol for symbol in case.answer if any(span.covers(symbol.path, symbol.line) for span in outcome.context)
    ]
    first_file = next((i for i, path in enumerate(outcome.files[:FILE_DEPTH], 1) if path in case.answer_files), None)
    return {
        "hit": float(bool(found)),
        "recall": len(found) / len(case.answer),
        "file@1": float(first_file == 1),
        "file@3": float(first_file is not None and first_file <= 3),
        "MRR": 1.0 / first_file if first_file else 0.0,
    }


def _mean(values: Sequence[float]) -> float:
    return sum(values) / len(values) if values else 0.0


def summarize(scored: list[dict[str, dict[str, float]]]) -> dict[str, Any]:
    means = {ranker: {m: _mean([item[ranker][m] for item in scored]) for m in METRICS} for ranker in RANKERS}
    ratios: dict[str, float | None] = {}
    for metric in METRICS:
        best = max(means[peer][metric] for peer in PEERS)
        ratios[metric] = means["quibra"][metric] / best if best > 0.0 else None
    return {"commits": len(scored), "figures": means, "quibra_over_best_peer": ratios}


NAME_WIDTH = 14


def _row(name: str, entry: dict[str, Any]) -> str:
    cells = [f"{name:<{NAME_WIDTH}}{entry['commits']:>5}"]
    for ranker in RANKERS:
        cells.append(" ".join(f"{entry['figures'][ranker][m]:5.2f}" for m in METRICS))
    cells.append(" ".join(f"{'-' if r is None else f'x{r:.2f}':>5}" for r in entry["quibra_over_best_peer"].values()))
    return " | ".join(cells)


def print_table(report: dict[str, Any]) -> None:
    width = 6 * len(METRICS) - 1
    print(f"== issue localization, {report['budget']} tokens: {' / '.join(METRICS)} ==")
    print(" | ".join([f"{'':<{NAME_WIDTH}}{'n':>5}", *(f"{r:<{width}}" for r in (*RANKERS, "quibra / best peer"))]))
    for name, entry in report["projects"].items():
        print(_row(name, entry))
    for name, entry in report["languages"].items():
        print(_row(name, entry))
    print(_row("total", report["total"]))


def main(argv: list[str] | None = None) -> int:
    names = [project.name for project in PROJECTS]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--project", action="append", choices=names, help="project to run (repeatable; default: all)")
    parser.add_argument("--per-project", type=int, default=DEFAULT_PER_PROJECT, help="commits sampled per project")
    parser.add_argument("--seed", type=int, default=0, help="seed of the sample")
    parser.add_argument("--budget", type=int, default=DEFAULT_BUDGET, help="tokens of each ranker's context")
    parser.add_argument("--window", type=int, default=DEFAULT_WINDOW, help="newest commits looked at per project")
    parser.add_argument("--mirrors", type=Path, default=DEFAULT_MIRRORS, help="folder of OWNER+NAME bare git dirs")
    parser.add_argument("--scratch", type=Path, default=DEFAULT_SCRATCH, help="where work trees and indexes are kept")
    parser.add_argument("--json", type=Path, help="also write the figures to this file as JSON")
    args = parser.parse_args(argv)
    if args.per_project < 1:
        parser.error("--per-project must be at least 1")

    from public import mirror_of

    runs: list[ProjectRun] = []
    skipped: list[str] = []
    started = time.perf_counter()
    for project in PROJECTS:
        if args.project and project.name not in args.project:
            continue
        git_dir = mirror_of(args.mirrors, project.repository)
        if git_dir is None:
            skipped.append(f"{project.name} ({project.repository}): no snapshot under {args.mirrors}")
            continue
        try:
            run = run_project(project, git_dir, args.scratch, args)
        except BenchmarkError as error:
            skipped.append(f"{project.name} ({project.repository}): {error}")
            continue
        timings = ", ".join(f"{name} {seconds:.1f} s" for name, seconds in run.seconds.items())
        print(f"localize: {project.name}: {run.counts}; {timings}", file=sys.stderr)
        runs.append(run)
    runs = [run for run in runs if run.cases]
    if not runs:
        print("localize: no project gave any commit", file=sys.stderr)
        return 2

    scored: list[tuple[ProjectRun, Case, dict[str, dict[str, float]]]] = []
    for run in runs:
        for i, case in enumerate(run.cases):
            scored.append((run, case, {r: figures(case, run.outcomes[r][i]) for r in RANKERS}))
    report: dict[str, Any] = {
        "budget": args.budget,
        "per_project": args.per_project,
        "seed": args.seed,
        "window": args.window,
        "skipped": skipped,
        "projects": {
            run.project.name: summarize([item for r, _, item in scored if r is run]) for run in runs
        },
        "languages": {
            language: summarize([item for _, case, item in scored if case.language == language])
            for language in dict.fromkeys(case.language for run in runs for case in run.cases)
        },
        "total": summarize([item for _, _, item in scored]),
        "sources": {
            run.project.name: {
                "repository": run.project.repository,
                "language": run.project.language,
                "filters": run.counts,
                "seconds": run.seconds,
            }
            for run in runs
        },
        "commits": [
            {
                "project": case.project,
                "commit": case.commit.sha,
                "query": case.query,
                "answer": [f"{s.path}:{s.line} {s.qualname}" for s in case.answer],
                "figures": item,
            }
            for _, case, item in scored
        ],
    }
    for run in runs:
        print(f"{run.project.name}: {run.project.repository}, commits {run.counts}")
    for line in skipped:
        print(f"skipped {line}")
    print(f"{time.perf_counter() - started:.0f} s in all\n")
    print_table(report)
    if args.json is not None:
        try:
            args.json.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
        except OSError as error:
            print(f"localize: cannot write the figures to {args.json}: {error.strerror}", file=sys.stderr)
            return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
