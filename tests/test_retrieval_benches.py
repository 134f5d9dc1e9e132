"""The file-level retrieval benchmarks' own logic (bench/public.py, bench/localize.py and what they share
in bench/peers.py): the figures as the public benchmark defines them, which repositories and revisions are
run, which commits make issues and what their answers are. Repositories here are real git repositories
made in a temporary folder; the figures of a real run are the benchmarks' output, not pinned here."""

import json
import math
import subprocess
import textwrap
from pathlib import Path

import pytest

import localize
import peers
import public
from peers import Span, TreeSymbol

pytestmark = pytest.mark.host


def git(cwd: Path, *args: str) -> str:
    done = subprocess.run(
        ["git", "-c", "user.name=bench", "-c", "user.email=bench@example.org", "-c", "init.defaultBranch=main", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        check=True,
    )
    return done.stdout


def write(root: Path, files: dict[str, str]) -> None:
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(textwrap.dedent(text))


def commit(work: Path, files: dict[str, str], subject: str) -> str:
    write(work, files)
    git(work, "add", "-A")
    git(work, "commit", "-q", "-m", subject)
    return git(work, "rev-parse", "HEAD").strip()


# --- Figures of the public benchmark -------------------------------------------------------------


def test_ndcg_has_binary_gains_and_an_ideal_of_at_most_ten_targets():
    assert public.ndcg_at([1], 1) == 1.0
    assert public.ndcg_at([2], 1) == pytest.approx(1 / math.log2(3))
    assert public.ndcg_at([], 2) == 0.0
    assert public.ndcg_at([11], 1) == 0.0
    # Twelve targets, ten of them at the top: as good as a ranking can be.
    assert public.ndcg_at(list(range(1, 11)), 12) == pytest.approx(1.0)
    assert public.ndcg_at([1], 0) == 0.0


def test_paths_match_whole_path_parts_from_either_end():
    assert public.path_matches("src/unix/core.c", "src/unix/core.c")
    assert public.path_matches("lib/src/unix/core.c", "src/unix/core.c")
    assert public.path_matches("unix/core.c", "src/unix/core.c")
    assert not public.path_matches("src/unix/score.c", "core.c")
    assert not public.path_matches("src/win/core.c", "src/unix/core.c")


def test_file_ndcg_counts_each_target_once_at_its_first_file():
    targets = (public.Target("a.py"), public.Target("b.py"))
    both_first = public.file_ndcg(["a.py", "b.py", "c.py"], targets)
    one_late = public.file_ndcg(["c.py", "a.py"], targets)
    assert both_first == pytest.approx(1.0)
    assert 0.0 < one_late < both_first
    assert public.file_ndcg([f"f{i}.py" for i in range(10)] + ["a.py"], targets) == 0.0


def test_a_chunk_covers_a_target_when_their_lines_overlap_in_the_same_file():
    target = public.Target("lib/core/Axios.js", 22, 61)
    assert public.chunk_covers(Span("lib/core/Axios.js", 60, 80), target)
    assert public.chunk_covers(Span("lib/core/Axios.js", 1, 22), target)
    assert not public.chunk_covers(Span("lib/core/Axios.js", 62, 90), target)
    assert not public.chunk_covers(Span("lib/core/other.js", 22, 61), target)
    # A target without lines: any chunk of its file.
    assert public.chunk_covers(Span("lib/core/Axios.js", 500, 510), public.Target("lib/core/Axios.js"))
    chunks = [Span("lib/core/Axios.js", 100, 120), Span("lib/core/Axios.js", 30, 40)]
    assert public.chunk_ndcg(chunks, (target,)) == pytest.approx(1 / math.log2(3))


def test_tasks_take_relevant_then_secondary_targets_and_infer_a_missing_category():
    tasks = public.parse_tasks(
        "axios",
        [
            {"query": "Axios", "relevant": [{"path": "lib/core/Axios.js", "start_line": 22, "end_line": "61"}]},
            {"query": "how are requests retried", "relevant": ["a.js"], "secondary": ["b.js"]},
            {"query": "retry on failure", "relevant": ["a.js"], "category": "semantic"},
            {"query": "Other", "relevant": ["c.js"], "repo": "redux"},
        ],
    )
    assert [task.category for task in tasks] == ["symbol", "architecture", "semantic", "symbol"]
    assert tasks[0].targets == (public.Target("lib/core/Axios.js", 22, 61),) and tasks[0].has_spans
    assert [target.path for target in tasks[1].targets] == ["a.js", "b.js"] and not tasks[1].has_spans
    assert tasks[3].repo == "redux"


@pytest.fixture
def withheld(monkeypatch):
    """Two made-up repositories held out as the real ones are: by owner/name and by short name."""
    monkeypatch.setattr(peers, "HELD_OUT", peers.HELD_OUT | {peers.name_digest("acme/withheld"), peers.name_digest("kept")})


def test_specs_keep_the_eight_languages_and_leave_out_held_out_repositories(withheld):
    raw = [
        {"name": "chi", "language": "go", "url": "https://github.com/go-chi/chi.git", "revision": "a" * 40},
        {"name": "withheld", "language": "go", "url": "https://github.com/acme/withheld.git", "revision": "b" * 40},
        {"name": "kept", "language": "rust", "url": "https://github.com/other-org/kept.git", "revision": "c" * 40},
        {"name": "rack", "language": "ruby", "url": "https://github.com/rack/rack.git", "revision": "d" * 40},
        {
            "name": "fmtlib",
            "language": "cpp",
            "url": "https://github.com/fmtlib/fmt.git",
            "revision": "e" * 40,
            "benchmark_root": "include/fmt",
        },
    ]
    specs, left_out = public.parse_specs(raw)
    assert [(spec.name, spec.language, spec.repository, spec.root) for spec in specs] == [
        ("chi", "go", "go-chi/chi", ""),
        ("fmtlib", "cpp", "fmtlib/fmt", "include/fmt"),
    ]
    assert [line.split()[0] for line in left_out] == ["withheld", "kept"]


@pytest.mark.parametrize(
    ("repository", "held"),
    [
        ("acme/withheld", True),
        ("ACME/Withheld.git", True),
        ("other-org/kept", True),  # held out by its short name
        ("kept", True),
        ("withheld", False),  # only the owner/name is held out
        ("acme/json", False),
        ("Tokio-rs/Axum", False),
    ],
)
def test_held_out_repositories(withheld, repository, held):
    assert peers.held_out(repository) is held


def test_the_held_out_list_covers_the_nine_projects():
    # Each project by owner/name and by short name (one has two owners).
    assert len(peers.HELD_OUT) == 19 and all(len(digest) == 16 for digest in peers.HELD_OUT)


# --- Which revision of a repository --------------------------------------------------------------


@pytest.fixture
def mirrored(tmp_path):
    """A bare git directory under mirrors/, with a pinned commit, a newer HEAD without the searched
    folder, and a branch that has it."""
    work = tmp_path / "work"
    work.mkdir()
    git(work, "init", "-q")
    pinned = commit(work, {"lib/core.py": "def core():\n    return 1\n", "README": "x\n"}, "first")
    git(work, "checkout", "-q", "-b", "next")
    branch = commit(work, {"lib/more.py": "def more():\n    return 2\n"}, "on the branch")
    git(work, "checkout", "-q", "main")
    git(work, "rm", "-q", "-r", "lib")
    head = commit(work, {"src/moved.py": "def moved():\n    return 3\n"}, "move lib away")
    mirrors = tmp_path / "mirrors"
    git(tmp_path, "clone", "-q", "--bare", str(work), str(mirrors / "owner+project" / "repo"))
    return mirrors, {"pinned": pinned, "branch": branch, "head": head}


def test_check_out_extracts_the_pinned_revision_or_the_nearest_that_has_the_folder(mirrored, tmp_path):
    mirrors, commits = mirrored
    spec = public.RepoSpec("project", "python", "owner/project", commits["pinned"], "lib")
    at_pin = public.check_out(spec, mirrors, tmp_path / "scratch")
    assert at_pin.pinned and at_pin.revision == commits["pinned"]
    assert sorted(path.name for path in at_pin.tree.iterdir()) == ["core.py"]

    missing = public.RepoSpec("project", "python", "owner/project", "f" * 40, "lib")
    stand_in = public.check_out(missing, mirrors, tmp_path / "scratch")
    assert not stand_in.pinned and stand_in.revision == commits["branch"]
    assert sorted(path.name for path in stand_in.tree.iterdir()) == ["core.py", "more.py"]

    whole = public.check_out(public.RepoSpec("project", "python", "owner/project", "f" * 40, ""), mirrors, tmp_path)
    assert whole.revision == commits["head"] and (whole.tree / "src" / "moved.py").is_file()

    with pytest.raises(public.BenchmarkError):
        public.check_out(public.RepoSpec("other", "go", "owner/other", commits["pinned"], ""), mirrors, tmp_path)


def test_a_run_ranks_with_quibra_and_both_peers_and_reports_what_it_left_out(mirrored, tmp_path, withheld):
    mirrors, commits = mirrored
    semble = tmp_path / "semble" / "benchmarks"
    (semble / "annotations").mkdir(parents=True)
    url = "https://github.com/owner/project.git"
    (semble / "repos.json").write_text(
        json.dumps(
            [
                {"name": "project", "language": "python", "url": url, "revision": commits["pinned"]},
                {"name": "withheld", "language": "python", "url": "https://github.com/acme/withheld", "revision": "0"},
            ]
        )
    )
    annotations = [{"query": "core", "relevant": ["lib/core.py"], "category": "symbol"}]
    (semble / "annotations" / "project.json").write_text(json.dumps(annotations))
    (semble / "annotations" / "withheld.json").write_text(json.dumps(annotations))
    out = tmp_path / "figures.json"
    status = public.main(
        ["--semble", str(semble.parent), "--mirrors", str(mirrors), "--scratch", str(tmp_path / "s"), "--json", str(out)]
    )
    assert status == 0
    report = json.loads(out.read_text())
    assert list(report["repositories"]) == ["project"] and report["repositories"]["project"]["pinned"]
    assert any(line.startswith("withheld") for line in report["skipped"])
    figures = report["file"]["total"]["ndcg@10"]
    assert set(figures) == set(peers.RANKERS) and all(0.0 <= value <= 1.0 for value in figures.values())
    # The only file with the word in its name and text: every ranker puts it first.
    assert figures == {ranker: 1.0 for ranker in peers.RANKERS}


# --- What the peers share ------------------------------------------------------------------------


def test_files_in_order_of_first_appearance():
    assert peers.files_in_order(["b", "a", "b", "c", "a", "d"]) == ["b", "a", "c", "d"]
    assert peers.files_in_order(["b", "a", "b", "c"], limit=2) == ["b", "a"]


def test_packing_skips_a_piece_that_no_longer_fits_and_goes_on():
    spans = [Span("a", 1, 10, 60), Span("b", 1, 10, 50), Span("c", 1, 2, 30), Span("d", 1, 2, 10)]
    assert [span.path for span in peers.pack(spans, 100)] == ["a", "c", "d"]
    assert peers.pack(spans, 5) == []


def test_quibra_files_follow_its_results_in_order(tmp_path):
    import quibra

    write(
        tmp_path / "tree",
        {
            "colors.py": "def blend_colors(a, b):\n    return a\n\ndef parse_color(text):\n    return text\n",
            "shapes.py": "def draw_circle(radius):\n    return radius\n",
        },
    )
    with quibra.Index(tmp_path / "tree", index_file=tmp_path / "index") as index:
        report = index.rank("blend colors draw circle parse color", budget=2000)
    paths = [result["path"] for result in report["results"]]
    assert peers.quibra_files(report) == list(dict.fromkeys(paths))
    assert set(peers.quibra_files(report)) == {"colors.py", "shapes.py"}
    spans = peers.quibra_spans(report)
    assert [span.path for span in spans] == paths and all(span.start <= span.end for span in spans)


def test_peers_read_every_symbol_and_whole_file_of_the_tree(tmp_path):
    write(
        tmp_path,
        {
            "pkg/reader.py": "class Reader:\n    def read_lines(self):\n        return []\n",
            "pkg/notes.txt": "read lines\n",
            "main.go": "package main\n\nfunc writeLines() {}\n",
        },
    )
    files = peers.read_tree(tmp_path)
    assert [file.path for file in files] == ["main.go", "pkg/reader.py"]
    symbol_peer, file_peer = peers.SymbolPeer(files), peers.FilePeer(files)
    assert symbol_peer.search("read lines", 10)[0].path == "pkg/reader.py"
    assert [span.path for span in file_peer.search("write lines", 10)][0] == "main.go"
    assert symbol_peer.search("nothing matches", 10) == []


# --- Issue localization ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("subject", "kept"),
    [
        ("Fix crash when the terminal width is zero (#1234)", True),
        ("Add support for gradient colors in progress bars", True),
        ("Fix #123", False),
        ("Closes #9 and #10", False),
        ("Update README.md", False),
        ("0.74.0", False),
        ("ignore-0.4.28", False),
        ("Bump actions/checkout from 3 to 4", False),
        ("Merge pull request #5 from someone/branch", False),
        ("changelog: 15.0.0 is out now", False),
        ("Fix a typo in the help text", False),
        ("Add tests for the color parser", False),
        ("Remove dead code", False),
        ("Clarified some Cleaner documentation", False),
        ("DOC: add a note on why we don't use inspect.", False),
        ("Fix the comment of the width function", False),
    ],
)
def test_subjects_that_say_nothing_of_the_change_are_left_out(subject, kept):
    assert localize.subject_says_something(subject) is kept


def test_the_query_is_the_subject_without_its_pull_request_number():
    assert localize.query_of("Fix parser for TypeVar bounds (#4602)") == "Fix parser for TypeVar bounds"
    assert localize.query_of("Handle #4602 in the middle") == "Handle #4602 in the middle"


@pytest.mark.parametrize(
    ("path", "is_test"),
    [
        ("tests/test_console.py", True),
        ("src/rich/console.py", False),
        ("cmd/root_test.go", True),
        ("crates/core/tests.rs", True),
        ("crates/core/flags/hiargs.rs", False),
        ("src/test/java/org/jsoup/NodeTest.java", True),
        ("src/main/java/org/jsoup/nodes/Node.java", False),
        ("test/unit/Lexer.test.ts", True),
        ("src/Lexer.ts", False),
        ("src/latest.py", False),
    ],
)
def test_test_paths(path, is_test):
    assert localize.is_test_path(path) is is_test


@pytest.fixture
def history(tmp_path):
    """A real repository whose commits change functions, add a file, and touch only a test."""
    work = tmp_path / "work"
    work.mkdir()
    git(work, "init", "-q")
    first = {
        "app/render.py": """\
            class Table:
                def add_row(self, row):
                    self.rows.append(row)

                def render(self):
                    def cell(value):
                        return str(value)
                    return [cell(row) for row in self.rows]


            WIDTH = 80


            def measure(text):
                return len(text)
            """,
        "tests/test_render.py": "def test_render():\n    assert True\n",
    }
    commit(work, first, "Start the table renderer with rows and cells")
    changed = first["app/render.py"].replace("return str(value)", "return repr(value)").replace("WIDTH = 80", "WIDTH = 100")
    fix = commit(
        work,
        {"app/render.py": changed, "tests/test_render.py": "def test_render():\n    assert 1\n"},
        "Render cells with their repr instead of str (#12)",
    )
    commit(work, {"app/new.py": "def new():\n    return 0\n"}, "Add a module for new widgets")
    commit(work, {"tests/test_render.py": "def test_render():\n    assert 2\n"}, "Make the render test stricter")
    return work, fix


def test_commits_are_read_with_their_files_and_filtered_to_small_source_changes(history):
    work, fix = history
    commits = localize.read_commits(work / ".git", 100)
    assert [c.subject for c in commits] == [
        "Make the render test stricter",
        "Add a module for new widgets",
        "Render cells with their repr instead of str (#12)",
    ]  # the root commit has no parent
    by_subject = {c.subject: c for c in commits}
    render_fix = by_subject["Render cells with their repr instead of str (#12)"]
    assert render_fix.sha == fix
    assert {(c.path, c.added, c.removed, c.status) for c in render_fix.changes} == {
        ("app/render.py", 2, 2, "M"),
        ("tests/test_render.py", 1, 1, "M"),
    }
    assert [c.path for c in render_fix.source_changes()] == ["app/render.py"]
    assert localize.small_source_change(render_fix)
    assert not localize.small_source_change(by_subject["Add a module for new widgets"])
    assert not localize.small_source_change(by_subject["Make the render test stricter"])


def test_hunks_map_to_the_innermost_changed_functions_of_the_parent_tree(history):
    work, fix = history
    diff = git(work, "diff", "-U0", f"{fix}^", fix, "--", "app/render.py")
    touched = localize.touched_lines(diff)
    files = localize.BlobReader(work / ".git").files(f"{fix}^")
    answer = localize.changed_functions(files, touched)
    # The nested function, not the method around it; the module constant maps to no function.
    assert [(s.qualname, s.line) for s in answer] == [("Table.render.cell", 6)]


def test_an_insertion_touches_the_lines_either_side_of_it():
    diff = "--- a/x.py\n+++ b/x.py\n@@ -4,0 +5,2 @@\n+one\n+two\n@@ -9,2 +11 @@\n-a\n-b\n+c\n"
    assert localize.touched_lines(diff) == {"x.py": {4, 5, 9, 10}}


def test_blobs_read_as_the_peers_read_the_checked_out_tree(history, tmp_path):
    work, fix = history
    from_blobs = localize.BlobReader(work / ".git").files(fix)
    git(work, "checkout", "-q", fix)
    from_tree = {file.path: file for file in peers.read_tree(work)}
    assert from_blobs.keys() == from_tree.keys()
    assert all(from_blobs[path].symbols == from_tree[path].symbols for path in from_tree)


def test_cases_are_sampled_with_their_answers_and_run_oldest_first(history, tmp_path):
    work, fix = history
    project = localize.Project("demo", "owner/demo", "python")
    cases, counts = localize.choose_cases(project, work / ".git", localize.BlobReader(work / ".git"), 100, 5, 0)
    assert counts == {"commits": 3, "subject kept": 2, "small source change": 1, "sampled": 1}
    assert [(case.commit.sha, case.query, case.language) for case in cases] == [
        (fix, "Render cells with their repr instead of str", "python")
    ]


def test_commit_figures_from_the_context_and_the_files():
    answer = (
        TreeSymbol("a.py", "f", "function", 10, 10, 20),
        TreeSymbol("b.py", "g", "function", 5, 5, 8),
    )
    case = localize.Case("demo", "python", None, "query", answer)  # type: ignore[arg-type]
    outcome = localize.Outcome([Span("c.py", 1, 50), Span("b.py", 1, 9)], ["c.py", "b.py", "a.py"])
    assert localize.figures(case, outcome) == {"hit": 1.0, "recall": 0.5, "file@1": 0.0, "file@3": 1.0, "MRR": 0.5}
    missed = localize.Outcome([Span("a.py", 11, 20)], ["d.py"])
    assert localize.figures(case, missed) == {"hit": 0.0, "recall": 0.0, "file@1": 0.0, "file@3": 0.0, "MRR": 0.0}
