"""The `quibra` command, run as a user runs it: the installed script in a subprocess.

Two kinds of trees: small ones written here, whose right answers are known,
and the standard library's `json` and `email` packages, which nobody here
wrote and which show that the command copes with real code.
"""

from __future__ import annotations

import json
import os
import pathlib
import shlex
import shutil
import subprocess
import textwrap

import _quibra_core as engine
import pytest
import quibra as quibra_api
from helpers import REPO, STDLIB, _command, commit_all, git, needs_git, quibra, quibra_json, write_tree

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host

TREE_KEYS = {"root", "index", "refresh", "files", "symbols", "languages", "skipped", "replaced", "warnings"}
RANK_KEYS = TREE_KEYS | {"command", "query", "budget", "total_tokens", "candidates", "results"}
RANK_RESULT_KEYS = {
    "rank",
    "symbol_id",
    "symbol",
    "kind",
    "language",
    "path",
    "file",
    "line",
    "start_line",
    "end_line",
    "context_lines",
    "signature",
    "score",
    "adjusted_score",
    "channel_ranks",
    "tokens",
}
HOTSPOT_KEYS = TREE_KEYS | {"command", "since", "git", "zero_score", "results"}
HOTSPOT_RESULT_KEYS = {
    "rank",
    "symbol_id",
    "name",
    "kind",
    "language",
    "path",
    "file",
    "line",
    "cyclomatic",
    "max_nesting",
    "param_count",
    "churn",
    "hotspot_score",
    "assessment",
}
HASH_KEYS = {
    "command",
    "root",
    "manifest",
    "new_manifest",
    "files",
    "changed",
    "added",
    "removed",
    "unreadable_files",
    "warnings",
    "file_prefix",
}


USER_STORE = '''
    """User records."""
    import json


    class UserStore:
        """Keeps user records in memory."""

        def __init__(self, records):
            self.records = list(records)

        def find_user_by_name(self, name):
            """Look up a user record by its name."""
            for record in self.records:
                if record["name"] == name:
                    return record
            return None

        def save(self, path):
            with open(path, "w") as stream:
                json.dump(self.records, stream)
'''

SMALL_TREE = {
    "pkg/__init__.py": "from .store import UserStore\n",
    "pkg/store.py": USER_STORE,
    "pkg/render.py": '''
        from pkg.store import UserStore


        def render_page(store: UserStore, title: str) -> str:
            """Render the page listing every user."""
            return title + ", ".join(record["name"] for record in store.records)
    ''',
    "pkg/shapes.py": """
        def classify(value, limits):
            if value is None or not limits:
                return "none"
            for limit in limits:
                if value > limit:
                    return "high"
                elif value == limit:
                    return "equal"
            return "low" if value < 0 else "ok"


        def straight(*args, key=None, **options):
            return args


        def handlers(items):
            try:
                assert items
                kept = [item for item in items if item if item != 0]
            except (TypeError, ValueError):
                kept = []
            except KeyError:
                raise
            match kept:
                case []:
                    return 0
                case [single]:
                    return single

            def nested(value):
                if value:
                    if value > 1:
                        return value
                return 0

            return len(kept) and nested(1) or -1
    """,
    "broken.py": "def oops(:\n",
    # Copies of the code in places a walk must not enter.
    "venv/pyvenv.cfg": "home = /usr/bin\n",
    "venv/lib/site.py": USER_STORE,
    "build/lib/pkg/store.py": USER_STORE,
    "pkg/__pycache__/stale.py": USER_STORE,
}


@pytest.fixture
def small_tree(tmp_path):
    write_tree(tmp_path, SMALL_TREE)
    return tmp_path


# ---------------------------------------------------------------------------
# rank


def test_rank_finds_the_named_method_first_and_skips_copies(small_tree):
    report = quibra_json("rank", small_tree, "--query", "find user by name")
    first = report["results"][0]
    assert first["symbol"] == "UserStore.find_user_by_name"
    assert first["path"] == "pkg/store.py"
    assert first["channel_ranks"]["identity"] == 1
    files = {entry["path"] for entry in report["results"]}
    assert all(file.startswith("pkg/") and "__pycache__" not in file for file in files)
    assert [(entry["path"], entry["file"]) for entry in report["skipped"]] == [("broken.py", f"{small_tree}/broken.py")]
    assert report["files"] == 4  # the four that parse


def test_rank_files_lists_each_file_once_with_its_best_symbols(small_tree):
    report = quibra_json("rank", small_tree, "--query", "find user by name", "--files", "--top", "2")
    assert report["command"] == "rank_files" and len(report["results"]) == 2
    assert [entry["rank"] for entry in report["results"]] == [1, 2]
    first = report["results"][0]
    assert first["path"] == "pkg/store.py" and first["symbols"][0]["symbol"] == "UserStore.find_user_by_name"
    assert first["score"] >= report["results"][1]["score"]
    symbols = quibra_json("rank", small_tree, "--query", "find user by name")["results"]
    places = {entry["symbol_id"]: entry["rank"] for entry in symbols}
    for entry in report["results"]:
        assert 1 <= len(entry["symbols"]) <= entry["matches"]
        for symbol in entry["symbols"]:
            # A file's symbols keep the places the symbol ranking gives them.
            assert places.get(symbol["symbol_id"], symbol["rank"]) == symbol["rank"]
    table = quibra("rank", small_tree, "--query", "find user by name", "--files").stdout
    assert "pkg/store.py" in table and "UserStore.find_user_by_name" in table


def _age(tree: pathlib.Path) -> None:
    # Files written a moment before they are indexed are read again by the
    # next refresh (their stat cannot tell a later write in the same tick).
    for path in tree.rglob("*.py"):
        os.utime(path, (path.stat().st_atime - 60, path.stat().st_mtime - 60))


def test_status_tells_what_a_refresh_would_do_without_doing_it(small_tree):
    _age(small_tree)
    first = quibra_json("status", small_tree)
    # Nothing indexed yet: every source file waits, and nothing was written.
    assert first["updated"] is None and first["files"] == 0 and not first["fresh"]
    assert first["to_read"] >= 4 and first["removed"] == 0
    quibra("index", small_tree)
    fresh = quibra_json("status", small_tree)
    assert fresh["fresh"] and fresh["pending"] == [] and fresh["updated"] is not None
    assert fresh["files"] >= 4 and fresh["symbols"] > 0 and fresh["index_bytes"] > 0
    assert fresh["bytes_per_source_byte"] == round(fresh["index_bytes"] / fresh["source_bytes"], 3)
    index_file = pathlib.Path(fresh["index"])
    before = index_file.read_bytes()
    store = small_tree / "pkg/store.py"
    store.write_text(store.read_text() + "\n\ndef added():\n    pass\n")
    (small_tree / "pkg/new.py").write_text("def new():\n    pass\n")
    (small_tree / "pkg/render.py").unlink()
    stale = quibra_json("status", small_tree)
    assert (stale["to_read"], stale["removed"], stale["fresh"]) == (2, 1, False)
    assert stale["pending"] == [str(small_tree / name) for name in ("pkg/new.py", "pkg/render.py", "pkg/store.py")]
    assert index_file.read_bytes() == before
    assert "pending: 2 to read again, 1 removed" in quibra("status", small_tree).stdout
    _age(small_tree)
    quibra("index", small_tree)
    assert quibra_json("status", small_tree)["fresh"]


def test_rank_files_and_context_do_not_mix(small_tree):
    completed = quibra("rank", small_tree, "--query", "user", "--files", "--context", expect=2)
    assert "not allowed with argument" in completed.stderr


def test_rank_json_shape_is_stable(small_tree):
    report = quibra_json("rank", small_tree, "--query", "render users", "--budget", "500")
    assert set(report) == RANK_KEYS
    assert report["results"]
    for entry in report["results"]:
        assert set(entry) == RANK_RESULT_KEYS
        assert set(entry["channel_ranks"]) == {"lexical", "body", "identity", "structural"}
        assert all(rank is None or isinstance(rank, int) for rank in entry["channel_ranks"].values())
        assert isinstance(entry["score"], float) and isinstance(entry["tokens"], int)
    ranks = [entry["rank"] for entry in report["results"]]
    assert ranks == sorted(set(ranks)) and ranks[0] >= 1


def test_a_result_keeps_its_place_whatever_the_budget(small_tree):
    places: dict[str, int] = {}
    for budget in (60, 200, 500, 5000):
        for entry in quibra_json("rank", small_tree, "--query", "render users", "--budget", budget)["results"]:
            assert places.setdefault(entry["symbol_id"], entry["rank"]) == entry["rank"], (budget, entry)
    # The smaller budgets leave some out, so the places they give have gaps.
    assert len(places) > 1


def test_rank_structural_channel_follows_imports(small_tree):
    # store.py is imported by the package (relative import) and by render.py
    # (absolute import); nothing imports the other files.
    report = quibra_json("rank", small_tree, "--query", "render user records in shapes store")
    by_structural_rank = sorted(
        (entry for entry in report["results"] if entry["channel_ranks"]["structural"] is not None),
        key=lambda entry: entry["channel_ranks"]["structural"],
    )
    assert {entry["path"] for entry in report["results"]} >= {"pkg/store.py", "pkg/render.py"}
    assert by_structural_rank[0]["path"] == "pkg/store.py"


def test_rank_tokens_count_the_header_and_the_source(small_tree):
    report = quibra_json("rank", small_tree, "--query", "straight")
    entry = report["results"][0]
    assert entry["symbol"] == "straight"
    source = "def straight(*args, key=None, **options):\n    return args"
    first, last = entry["context_lines"]
    assert (first, last) == (entry["start_line"], entry["end_line"])  # a function stands for all of itself
    header = f"{entry['file']}:{first}-{last}"
    # About four characters a token, rounded up: the header line, the source and a blank line.
    assert entry["tokens"] == -(-(len(header) + 1 + len(source) + 2) // 4)


@pytest.mark.parametrize("budget", [1, 60, 400, 100_000])
def test_rank_stays_within_the_budget(small_tree, budget):
    report = quibra_json(
        "rank", small_tree, "--query", "user record name store", "--budget", budget, expect=int(budget == 1)
    )
    tokens = [entry["tokens"] for entry in report["results"]]
    assert sum(tokens) == report["total_tokens"] <= budget
    assert len(tokens) <= report["candidates"]


def test_rank_table_names_every_column(small_tree):
    output = quibra("rank", small_tree, "--query", "find user by name").stdout
    header, first = output.splitlines()[:2]
    columns = ["#", "symbol", "file:line", "score", "adjusted", "lexical", "body", "identity", "structural", "tokens"]
    assert header.split() == columns
    assert "UserStore.find_user_by_name" in first and "pkg/store.py:12" in first


def test_rank_defaults_to_the_current_folder(small_tree):
    report = quibra_json("rank", "--query", "render page", cwd=small_tree)
    assert report["root"] == str(small_tree.resolve())
    assert report["results"][0]["symbol"] == "render_page"


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--query", "zebra quasar"], "no symbol matches the query"),
        (["--query", "find user by name", "--budget", "1"], "no candidate fits into the budget"),
    ],
)
def test_rank_says_why_nothing_is_listed_and_exits_1(small_tree, args, message):
    assert quibra("rank", small_tree, *args, expect=1).stdout.startswith(message)
    assert quibra_json("rank", small_tree, *args, expect=1)["results"] == []


@needs_git
def test_rank_respects_gitignore(tmp_path):
    write_tree(
        tmp_path,
        {
            ".gitignore": "generated/\n",
            "app.py": "def load_settings(path):\n    return path\n",
            "generated/settings.py": "def load_settings_generated(path):\n    return path\n",
            "untracked.py": "def load_settings_draft(path):\n    return path\n",
        },
    )
    git(tmp_path, "init", "-q")
    git(tmp_path, "add", "app.py", ".gitignore")
    git(tmp_path, "commit", "-q", "-m", "start")
    report = quibra_json("rank", tmp_path, "--query", "load settings")
    assert {entry["path"] for entry in report["results"]} == {"app.py", "untracked.py"}


@pytest.mark.parametrize(
    ("package", "query", "expected_file"),
    [
        ("json", "decode a JSON document from a string", "decoder.py"),
        ("email", "parse message headers", "parser.py"),
    ],
)
def test_rank_real_standard_library_package(package, query, expected_file, tmp_path):
    root = STDLIB / package
    report = quibra_json("rank", root, "--query", query, "--budget", "3000", "--index", tmp_path / "index")
    results = report["results"]
    assert report["symbols"] > 20 and report["skipped"] == []
    assert results and report["total_tokens"] <= 3000
    top_files = {pathlib.PurePosixPath(entry["path"]).name for entry in results[:5]}
    assert any(name.endswith(expected_file) for name in top_files)
    for entry in results:
        # Every reported place is a real definition of the reported name.
        line = (root / entry["path"]).read_text(encoding="utf-8").splitlines()[entry["line"] - 1]
        assert entry["symbol"].rsplit(".", 1)[-1] in line


# ---------------------------------------------------------------------------
# symbol measures, seen through hotspots


@needs_git
def test_hotspots_measure_complexity_nesting_and_parameters(small_tree):
    commit_all(small_tree)
    report = quibra_json("hotspots", small_tree, "--min-complexity", "1", "--top", "100")
    measured = {
        entry["name"]: (entry["cyclomatic"], entry["max_nesting"], entry["param_count"])
        for entry in report["results"]
    }
    # classify: if, or, for, if, elif, ternary; the elif reads as a sibling, not deeper.
    assert measured["classify"] == (7, 2, 2)
    assert measured["straight"] == (1, 0, 3)
    # handlers: assert, two comprehension ifs, two excepts, two cases, one and,
    # one or; the nested function's branches are its own.
    assert measured["handlers"] == (10, 1, 1)
    assert measured["handlers.nested"] == (3, 2, 1)
    assert measured["UserStore.find_user_by_name"] == (3, 2, 2)
    assert "UserStore" not in measured  # classes are not hotspots
    assert {entry["churn"] for entry in report["results"]} == {1} and report["zero_score"] == 0


@needs_git
def test_hotspots_rank_often_changed_files_first(tmp_path):
    body = textwrap.dedent(SMALL_TREE["pkg/shapes.py"])
    # cold.py changes once, 200 days ago; hot.py then, 100 days ago and today.
    for revision, days_ago in enumerate([200, 100, 0]):
        write_tree(tmp_path, {"hot.py": body + f"\nREVISION = {revision}\n"})
        if revision == 0:
            write_tree(tmp_path, {"cold.py": body})
        commit_all(tmp_path, f"revision {revision}", days_ago=days_ago)
    report = quibra_json("hotspots", tmp_path, "--since", "1 year")
    assert set(report) == HOTSPOT_KEYS and report["git"]
    assert all(set(entry) == HOTSPOT_RESULT_KEYS for entry in report["results"])
    churn = {(entry["path"], entry["name"]): entry["churn"] for entry in report["results"]}
    assert churn[("hot.py", "classify")] == 3 and churn[("cold.py", "classify")] == 1
    assert report["results"][0]["path"] == "hot.py"
    scores = [entry["hotspot_score"] for entry in report["results"]]
    assert scores == sorted(scores, reverse=True)
    # The default window of 90 days sees only today's commit: cold.py scores 0
    # and is counted, not listed.
    recent = quibra_json("hotspots", tmp_path)
    assert {entry["path"] for entry in recent["results"]} == {"hot.py"}
    assert {entry["churn"] for entry in recent["results"]} == {1}
    assert recent["zero_score"] == len(report["results"]) - len(recent["results"]) > 0
    table = quibra("hotspots", tmp_path).stdout
    assert f"{recent['zero_score']} functions unchanged since then left out" in table
    assert "cold.py" not in table


@needs_git
def test_hotspots_leave_test_code_out_unless_asked(tmp_path):
    body = textwrap.dedent(SMALL_TREE["pkg/shapes.py"])
    write_tree(tmp_path, {"hot.py": body, "tests/test_hot.py": body})
    commit_all(tmp_path, "first")
    plain = {entry["path"] for entry in quibra_json("hotspots", tmp_path)["results"]}
    assert plain == {"hot.py"}
    asked = {entry["path"] for entry in quibra_json("hotspots", tmp_path, "--tests")["results"]}
    assert asked == {"hot.py", "tests/test_hot.py"}


@needs_git
@pytest.mark.parametrize(
    ("since", "commits"),
    [("150 days", 2), ("2 weeks", 1), ("4 months", 2), ("1 year", 3), ("0001-01-01", 3), ("19991231", 3)],
)
def test_hotspots_window_starts_where_since_says(tmp_path, since, commits):
    body = textwrap.dedent(SMALL_TREE["pkg/shapes.py"])
    for revision, days_ago in enumerate([200, 100, 0]):
        write_tree(tmp_path, {"hot.py": body + f"\nREVISION = {revision}\n"})
        commit_all(tmp_path, f"revision {revision}", days_ago=days_ago)
    report = quibra_json("hotspots", tmp_path, "--since", since)
    assert {entry["churn"] for entry in report["results"]} == {commits}


@needs_git
def test_hotspots_real_standard_library_package(tmp_path):
    root = tmp_path / "email"
    shutil.copytree(STDLIB / "email", root, ignore=shutil.ignore_patterns("__pycache__"))
    commit_all(root)
    report = quibra_json("hotspots", root, "--top", "10")
    assert len(report["results"]) == 10 and report["zero_score"] == 0
    for entry in report["results"]:
        assert entry["kind"] in ("function", "method") and entry["cyclomatic"] >= 2
        assert entry["assessment"] in ("low", "medium", "high") and entry["churn"] == 1
    output = quibra("hotspots", root, "--top", "3").stdout
    assert len(output.splitlines()) == 5  # header, three rows, summary


# ---------------------------------------------------------------------------
# hash and the manifest


def test_manifest_staleness_round_trip(tmp_path):
    tree, manifest = tmp_path / "tree", tmp_path / "state" / "manifest.json"
    manifest.parent.mkdir()
    write_tree(tree, {"a.py": "a = 1\n", "b.py": "b = 2\n", "docs/notes.txt": "notes\n"})
    first = quibra_json("hash", tree, "--manifest", manifest)
    assert set(first) == HASH_KEYS and first["new_manifest"] and first["files"] == 3
    stored = json.loads(manifest.read_text())
    assert stored["files"] == {
        name: engine.content_hash((tree / name).read_bytes()) for name in ("a.py", "b.py", "docs/notes.txt")
    }

    (tree / "a.py").write_text("a = 10\n")
    (tree / "b.py").unlink()
    (tree / "c.py").write_text("c = 3\n")
    second = quibra_json("hash", tree, "--manifest", manifest)
    assert (second["changed"], second["added"], second["removed"]) == (["a.py"], ["c.py"], ["b.py"])
    assert not second["new_manifest"]

    third = quibra("hash", tree, "--manifest", manifest)
    assert third.stdout.startswith("no changes among 3 files")
    assert sorted(path.name for path in manifest.parent.iterdir()) == ["manifest.json"]  # no temporary left


def test_manifest_inside_the_tree_is_not_hashed(small_tree):
    quibra("hash", small_tree, "--manifest", small_tree / "quibra.json")
    report = quibra_json("hash", small_tree, "--manifest", small_tree / "quibra.json")
    assert report["changed"] == report["added"] == report["removed"] == []
    assert "quibra.json" not in json.loads((small_tree / "quibra.json").read_text())["files"]


def test_hash_real_standard_library_package(tmp_path):
    root = STDLIB / "json"
    report = quibra_json("hash", root, "--manifest", tmp_path / "m.json")
    expected = {path.name for path in root.iterdir() if path.is_file()}
    stored = json.loads((tmp_path / "m.json").read_text())["files"]
    assert set(stored) == expected and report["files"] == len(expected)


@pytest.mark.parametrize(
    "content",
    [
        b"{not json",
        b"[]",
        b"\xff\xfe garbage",
        b'{"format": "something-else", "version": 1, "files": {}}',
        b'{"format": "quibra-manifest", "version": 99, "files": {}}',
        b'{"format": "quibra-manifest", "version": 1, "files": {"a.py": "not-a-hash"}}',
        b'{"format": "quibra-manifest", "version": 1, "files": ["a.py"]}',
    ],
)
def test_malformed_manifest_is_reported_and_left_alone(small_tree, tmp_path, content):
    manifest = tmp_path / "manifest.json"
    manifest.write_bytes(content)
    completed = quibra("hash", small_tree, "--manifest", manifest, expect=1)
    assert completed.stdout == ""
    assert len(completed.stderr.splitlines()) == 1 and "manifest" in completed.stderr
    assert manifest.read_bytes() == content


# ---------------------------------------------------------------------------
# errors


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["rank", "{missing}", "--query", "x"], "path not found"),
        (["rank", "{file}", "--query", "x"], "not a folder"),
        (["rank", "{tree}", "--query", "x", "--budget", "many"], "--budget"),
        (["rank", "{tree}", "--query", "x", "--budget", "0"], "--budget"),
        (["rank", "{tree}", "--query", "  "], "query"),
        (["rank", "{tree}"], "--query"),
        (["hotspots", "{tree}", "--since", "last tuesday"], "--since"),
        (["hotspots", "{tree}", "--top", "-3"], "--top"),
        (["hash", "{tree}"], "--manifest"),
        (["hash", "{tree}", "--manifest", "{missing}/m.json"], "cannot write manifest"),
        (["rank", "{tree}", "--query", "x", "--colour"], "--colour"),
        (["rank", "{tree}", "--query", "x", "--exclude", "!"], "bad pattern"),
        (["search"], "invalid choice"),
    ],
)
def test_errors_are_one_line(small_tree, tmp_path, args, message):
    places = {"tree": small_tree, "missing": tmp_path / "missing", "file": small_tree / "broken.py"}
    command, environment = _command()
    completed = subprocess.run(
        [*command, *(arg.format(**places) for arg in args)], env=environment, capture_output=True, text=True
    )
    assert completed.returncode in (1, 2)
    assert completed.stdout == ""
    assert len(completed.stderr.splitlines()) == 1, completed.stderr
    assert completed.stderr.startswith("quibra") and message in completed.stderr


def test_readme_first_command_ranks_this_checkout():
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    first_line = readme.split("```")[1].strip().splitlines()[0]
    install, _, command = first_line.partition(" && ")
    assert install == "pip install ." and command.startswith("quibra rank . --query ")
    report = quibra_json(*shlex.split(command)[1:], cwd=REPO)
    assert report["results"] and report["total_tokens"] <= report["budget"]


def test_version_is_the_engine_version():
    assert quibra("--version").stdout.strip() == f"quibra {engine.__version__}"


# ---------------------------------------------------------------------------
# mixed trees

MIXED_TREE = {
    "tools/budget.py": '''
        def pack_into_budget(items, budget):
            """Pack ranked items into a token budget."""
            if budget <= 0:
                return []
            return items[:budget]
    ''',
    "server/listen.go": """
        package server

        // ListenAndServe listens on the address and serves requests.
        func (s *Server) ListenAndServe(address string) error {
            if address == "" {
                return nil
            }
            return nil
        }
    """,
    "crate/src/lib.rs": """
        /// Parse a version requirement.
        pub fn parse_requirement(text: &str) -> bool {
            if text.is_empty() { return false; }
            true
        }
    """,
    "web/pack.ts": """
        /** Pack ranked items into a budget of tokens. */
        export function packItems(items: string[], budget: number): string[] {
            return budget > 0 ? items.slice(0, budget) : [];
        }
    """,
}


@needs_git
def test_mixed_tree_commands_count_and_limit_languages(tmp_path):
    write_tree(tmp_path, MIXED_TREE)
    commit_all(tmp_path)
    index = quibra_json("index", tmp_path)
    assert {name: counts["symbols"] for name, counts in index["languages"].items()} == {
        "go": 1,
        "python": 1,
        "rust": 1,
        "typescript": 1,
    }
    everything = quibra_json("rank", tmp_path, "--query", "pack items into a token budget")
    assert {entry["language"] for entry in everything["results"]} >= {"python", "typescript"}
    only = quibra_json("rank", tmp_path, "--query", "pack items into a token budget", "--lang", "typescript,go")
    assert {entry["language"] for entry in only["results"]} == {"typescript"}
    assert only["languages"] == index["languages"]  # the summary still counts the whole tree
    spots = quibra_json("hotspots", tmp_path, "--min-complexity", "1", "--lang", "go", "--lang", "rust")
    assert {entry["symbol_id"] for entry in spots["results"]} == {
        "server/listen.go:Server.ListenAndServe",
        "crate/src/lib.rs:parse_requirement",
    }
    hashed = quibra_json("hash", tmp_path, "--manifest", tmp_path / "manifest.json")
    assert hashed["files"] == len(MIXED_TREE)  # quibra's own index folder is not part of the tree
    completed = quibra("rank", tmp_path, "--query", "x", "--lang", "cobol", expect=1)
    assert "unknown language cobol" in completed.stderr


# ---------------------------------------------------------------------------
# The packed context


@pytest.fixture(scope="module")
def json_package(tmp_path_factory):
    root = tmp_path_factory.mktemp("context") / "json"
    shutil.copytree(STDLIB / "json", root, ignore=shutil.ignore_patterns("__pycache__"))
    return root


CONTEXT_QUERY = ("--query", "decode a JSON document from a string")


@pytest.mark.parametrize("budget", [40, 300, 1500, 20_000])
def test_context_prints_what_the_budget_counted(json_package, budget):
    report = quibra_json("rank", *CONTEXT_QUERY, "--budget", budget, "--context", cwd=json_package.parent)
    completed = quibra("rank", *CONTEXT_QUERY, "--budget", budget, "--context", cwd=json_package.parent)
    printed = completed.stdout
    assert len(printed) <= budget * 4
    blocks = [entry["context"] for entry in report["results"]]
    assert printed == "".join(blocks) and report["results"]
    for entry, block in zip(report["results"], blocks, strict=True):
        header, _, rest = block.partition("\n")
        first, last = entry["context_lines"]
        assert header == f"{entry['file']}:{first}-{last}"
        assert header.startswith("json/") and block.endswith("\n\n")
        lines = (json_package.parent / entry["file"]).read_text(encoding="utf-8").split("\n")
        assert rest[:-2] == "\n".join(lines[first - 1 : last])
        assert -(-len(block) // 4) == entry["tokens"]  # about four characters a token, rounded up
    assert sum(-(-len(block) // 4) for block in blocks) == report["total_tokens"] <= budget
    # The summary goes to standard error, so standard output is the context alone.
    assert f"{report['total_tokens']} of {budget} tokens" in completed.stderr


def test_context_leaves_out_a_file_changed_since_the_refresh(json_package, tmp_path):
    root = tmp_path / "json"
    shutil.copytree(json_package, root)
    fresh = quibra_json("rank", root, *CONTEXT_QUERY, "--context")
    changed = fresh["results"][0]["path"]
    (root / changed).write_text((root / changed).read_text() + "\n# edited\n")
    stale = quibra_json("rank", root, *CONTEXT_QUERY, "--context", "--no-refresh", "--quiet")
    assert stale["stale_files"] == [{"path": changed, "file": str(root / changed)}]
    for entry in stale["results"]:
        assert (entry["context"] is None) == (entry["path"] == changed)
    completed = quibra("rank", root, *CONTEXT_QUERY, "--context", "--no-refresh")
    assert f"{root / changed}:" not in completed.stdout
    assert f"quibra: {root / changed} changed since the index was refreshed" in completed.stderr
    # A refresh reads it again, and its blocks are back.
    assert "stale_files" not in quibra_json("rank", root, *CONTEXT_QUERY)
    assert quibra_json("rank", root, *CONTEXT_QUERY, "--context")["stale_files"] == []


# ---------------------------------------------------------------------------
# Honest git


def _repository(root: pathlib.Path) -> None:
    write_tree(
        root,
        {
            ".gitignore": "generated/\n",
            "app.py": "def load_settings(path):\n    if path:\n        return path\n    return None\n",
            "generated/settings.py": "def load_settings_generated(path):\n    return path\n",
        },
    )
    commit_all(root)


def _without_git(tmp_path: pathlib.Path) -> dict[str, str]:
    """An environment whose PATH holds no git (the command starts its interpreter by its full path)."""
    _command_line, environment = _command()
    folder = tmp_path / "bin"
    folder.mkdir()
    environment["PATH"] = str(folder)
    return environment


@needs_git
def test_git_missing_from_path_is_said_not_hidden(tmp_path):
    root = tmp_path / "tree"
    _repository(root)
    command, _ = _command()
    environment = _without_git(tmp_path)
    ranked = subprocess.run(
        [*command, "rank", str(root), "--query", "load settings"], env=environment, capture_output=True, text=True
    )
    assert ranked.returncode == 0
    assert ranked.stderr == (
        "quibra: git is not installed (not found on PATH); every file is read, .gitignore is not applied\n"
    )
    assert "generated/settings.py" in ranked.stdout  # what .gitignore would have hidden
    spots = subprocess.run([*command, "hotspots", str(root)], env=environment, capture_output=True, text=True)
    assert (spots.returncode, spots.stdout) == (1, "")
    assert spots.stderr == "quibra hotspots: error: git is not installed (not found on PATH)\n"


def _dubious(root: pathlib.Path) -> None:
    os.chown(root, 65534, 65534)


def _broken_objects(root: pathlib.Path) -> None:
    shutil.rmtree(root / ".git" / "objects")
    (root / ".git" / "objects").mkdir()


def _broken_index(root: pathlib.Path) -> None:
    (root / ".git" / "index").write_bytes(b"DIRC garbage")


@needs_git
@pytest.mark.parametrize(
    ("damage", "git_says"),
    [(_dubious, "dubious ownership"), (_broken_objects, "git log failed"), (_broken_index, "failed")],
    ids=["dubious ownership", "objects missing", "index damaged"],
)
def test_git_failure_passes_git_own_words_on(tmp_path, damage, git_says):
    root = tmp_path / "tree"
    _repository(root)
    if damage is _dubious and os.geteuid() != 0:
        pytest.skip("needs root to give the repository to another user")
    damage(root)
    if damage is _dubious and subprocess.run(["git", "-C", str(root), "status"], capture_output=True).returncode == 0:
        pytest.skip("git here trusts every folder (safe.directory)")
    spots = quibra("hotspots", root, expect=1)
    assert spots.stdout == "" and len(spots.stderr.splitlines()) == 1 and git_says in spots.stderr
    ranked = quibra("rank", root, "--query", "load settings", expect=(0, 1))
    if damage is not _broken_objects:  # listing files needs no objects: only the history is lost
        assert git_says in ranked.stderr and ".gitignore is not applied" in ranked.stderr
    assert quibra_json("rank", root, "--query", "load settings", "--quiet")["warnings"] == (
        [] if damage is _broken_objects else [ranked.stderr.strip().removeprefix("quibra: ")]
    )


def test_hotspots_outside_a_repository_stop_before_reading_a_file(small_tree):
    completed = quibra("hotspots", small_tree, expect=1)
    assert completed.stdout == ""
    assert completed.stderr == (
        f"quibra hotspots: error: not in a git repository: {small_tree}; hotspots need the history of the files\n"
    )
    assert not (small_tree / ".quibra").exists()  # no index built, not even its folder


# ---------------------------------------------------------------------------
# Conventions


@pytest.mark.parametrize(
    ("since", "message"),
    [
        ("20260101x", "expected a date YYYY-MM-DD or a span"),
        ("30", "'30' has no unit: say '30 days'"),
        ("202601011", "has no unit"),
        ("1.5 weeks", "expected a date"),
        ("-3 days", "expected a date"),
        ("2999-01-01", "2999-01-01 is in the future"),
        ("2024-02-30", "expected a date"),
    ],
)
def test_since_refuses_what_it_cannot_read_in_one_line(small_tree, since, message):
    completed = quibra("hotspots", small_tree, "--since", since, expect=2)
    assert completed.stderr.count("\n") == 1 and "--since" in completed.stderr and message in completed.stderr


def test_quiet_silences_notes_and_verbose_names_the_files(tmp_path):
    write_tree(tmp_path, {"one.py": "def one():\n    return 1\n", "broken.py": "def oops(:\n"})
    default = quibra("rank", tmp_path, "--query", "one")
    assert default.stderr == "quibra: 1 file skipped (--verbose names them)\n"
    assert "1 symbol, " in default.stdout and "1 candidate among 1 symbol in 1 file" in default.stdout
    verbose = quibra("rank", tmp_path, "--query", "one", "--verbose")
    assert verbose.stderr.startswith(f"quibra: skipped: {tmp_path}/broken.py (not valid Python")
    assert quibra("--quiet", "rank", tmp_path, "--query", "one").stderr == ""
    assert quibra("index", tmp_path, "--quiet").stderr == ""


def test_hash_exit_code_says_whether_files_changed(tmp_path):
    tree, manifest = tmp_path / "tree", tmp_path / "manifest.json"
    write_tree(tree, {"a.py": "a = 1\n"})
    assert quibra("hash", tree, "-m", manifest, "--exit-code").stdout.startswith("manifest written with 1 file:")
    quibra("hash", tree, "-m", manifest, "--exit-code")
    (tree / "a.py").write_text("a = 2\n")
    quibra("hash", tree, "-m", manifest, "--exit-code", expect=1)
    (tree / "a.py").write_text("a = 3\n")
    quibra("hash", tree, "-m", manifest)  # without the option a change is no failure


@needs_git
def test_include_and_exclude_choose_what_every_command_covers(small_tree, tmp_path):
    commit_all(small_tree)
    everything = quibra_json("index", small_tree)
    only = ("--exclude", "pkg/shapes.py", "--exclude", "broken.py")
    index = quibra_json("index", small_tree, *only)
    assert index["files"] == everything["files"] - 1 and index["skipped"] == []
    assert index["languages"]["python"]["symbols"] < everything["languages"]["python"]["symbols"]
    ranked = quibra_json("rank", small_tree, "--query", "classify handlers find user", *only)
    assert ranked["results"] and all(entry["path"] != "pkg/shapes.py" for entry in ranked["results"])
    spots = quibra_json("hotspots", small_tree, "--min-complexity", "1", "--include", "pkg/shapes.py")
    assert {entry["path"] for entry in spots["results"]} == {"pkg/shapes.py"}
    # Before and after the command, the lists add up.
    both = quibra_json("--exclude", "pkg/shapes.py", "hotspots", small_tree, "--min-complexity", "1",
                       "--exclude", "pkg/store.py")
    assert {entry["path"] for entry in both["results"]} <= {"pkg/render.py"}
    manifest = tmp_path / "manifest.json"
    quibra("hash", small_tree, "-m", manifest)
    (small_tree / "pkg" / "shapes.py").write_text("changed = True\n")
    (small_tree / "pkg" / "render.py").write_text("changed = True\n")
    hashed = quibra_json("hash", small_tree, "-m", manifest, "--exclude", "shapes.py")
    assert hashed["changed"] == ["pkg/render.py"]
    # What was left out keeps its entry, and is seen changed by the next full run.
    assert quibra_json("hash", small_tree, "-m", manifest)["changed"] == ["pkg/shapes.py"]


@pytest.mark.parametrize("command", ["index", "rank", "hotspots", "hash"])
def test_help_explains_each_command(command):
    text = quibra(command, "--help").stdout
    assert "examples:" in text and text.count(f"quibra {command}") >= 2
    assert "--exclude GLOB" in text and "--quiet" in text
    if command in ("rank", "hotspots"):
        assert "columns:" in text and "file:line" in text
    if command == "rank":
        assert "four characters" in text


def test_plain_quibra_prints_the_usage():
    completed = quibra(expect=2)
    assert completed.stdout == "" and completed.stderr.startswith("usage: quibra")
    assert all(f"  {name} " in completed.stderr for name in ("index", "rank", "hotspots", "hash"))


@pytest.mark.parametrize("place", ["before", "after"])
def test_global_options_go_before_or_after_the_command(small_tree, place):
    options = ["--json", "--quiet", "--lang", "python", "--exclude", "pkg/store.py"]
    command = ["rank", str(small_tree), "--query", "render page users"]
    arguments = [*options, *command] if place == "before" else [*command, *options]
    report = json.loads(quibra(*arguments).stdout)
    assert report["results"] and "pkg/store.py" not in {entry["path"] for entry in report["results"]}


NESTED = '''\
def outer(text):
    """Parse the text with a helper of its own."""
    def parse_piece(piece):
        """Parse one piece of the text."""
        return piece.strip()
    return [parse_piece(piece) for piece in text.split(",")]


class Parser:
    """Parse texts."""

    def parse(self, text):
        return outer(text)
'''


@pytest.mark.parametrize("query", ["parse a piece of the text", "parse the text with a helper"])
def test_context_never_gives_the_same_line_twice(tmp_path, query):
    write_tree(tmp_path, {"nest.py": NESTED})
    report = quibra_json("rank", tmp_path, "--query", query)
    lines = [
        line for entry in report["results"] for line in range(entry["context_lines"][0], entry["context_lines"][1] + 1)
    ]
    assert len(report["results"]) >= 2
    assert len(lines) == len(set(lines))


def test_symbol_source_counts_the_tokens_of_the_text_it_gives(tmp_path):
    write_tree(tmp_path, {"nest.py": NESTED})
    with quibra_api.Index(tmp_path, index_file=tmp_path / "index.sqlite") as index:
        report = index.symbol_source("nest.py:Parser")
    assert report["source"].endswith("return outer(text)")
    header = f"{report['file']}:{report['start_line']}-{report['end_line']}"
    assert report["tokens"] == -(-(len(header) + len(report["source"]) + 3) // 4)


def test_a_query_that_is_not_utf8_is_answered(tmp_path):
    write_tree(tmp_path, {"nest.py": NESTED})
    # A shell passes such bytes as they are; Python hands them on as lone surrogates.
    completed = quibra("rank", tmp_path, "--query", os.fsdecode(b"parse \xff piece"))
    assert "parse_piece" in completed.stdout


def test_a_focus_path_holding_a_nul_byte_is_refused_in_one_line(tmp_path):
    write_tree(tmp_path, {"nest.py": NESTED})
    with quibra_api.Index(tmp_path, index_file=tmp_path / "index.sqlite") as index:
        with pytest.raises(quibra_api.QuibraError, match="NUL byte"):
            index.repo_map(focus=["nest.py\0../../etc/passwd"])


def test_a_file_name_with_a_newline_keeps_its_context_header_on_one_line(tmp_path):
    write_tree(tmp_path, {"odd\nname.py": "def parse_line(text):\n    return text\n"})
    context = quibra("rank", "--query", "parse line", "--context", "--budget", "100", cwd=tmp_path).stdout
    assert context.splitlines()[:2] == ["odd\\nname.py:1-2", "def parse_line(text):"]
    report = quibra_json("rank", "--query", "parse line", "--budget", "100", cwd=tmp_path)
    assert report["results"][0]["tokens"] == -(-(len(context) - 1) // 4)
