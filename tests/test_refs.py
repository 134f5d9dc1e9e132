"""References: stored with the files that hold them, resolved to the
definitions they mean, and asked for through `quibra.Index.refs`, the
`quibra refs` command and the MCP tools, on a small Python tree whose every
reference is written out below by hand."""

from __future__ import annotations

import json
import pathlib
import sqlite3

import pytest
import quibra as api
from helpers import edited_and_fresh, quibra, quibra_json, stored_references, write_tree
from quibra.interfaces.api import STALE_IMPORTANCE

pytestmark = pytest.mark.host


TREE = {
    "pkg/__init__.py": "",
    "pkg/store.py": """\
        class Base:
            def close(self):
                return None


        class Store(Base):
            def save(self, record):
                self.validate(record)
                return record

            def validate(self, record):
                return record

            def shutdown(self):
                super().close()


        def open_store(path) -> Store:
            return Store()
        """,
    "pkg/events.py": """\
        class Bus:
            def emit(self, event):
                return event

            def get(self, key):
                return key
        """,
    "pkg/other.py": """\
        class Logger:
            def emit(self, event):
                return event

            def get(self, key):
                return key


        class Cache:
            def get(self, key):
                return key


        class Table:
            def get(self, key):
                return key
        """,
    "pkg/app.py": """\
        import pkg.store as st
        from pkg.store import open_store
        from pkg.events import Bus


        def main(path, bus: Bus, settings):
            store = open_store(path)
            st.open_store(path)
            store.save(path)
            bus.emit(path)
            settings.get("key")
            return helper(path)


        def helper(path):
            return path
        """,
}

# (name asked for, the references resolved to it: path, line, enclosing symbol, target, weight), by hand.
EXPECTED = [
    # A plain call of an imported name, and one through a module imported under another name.
    ("open_store", [("pkg/app.py", 7, "pkg/app.py:main", "pkg/store.py:open_store", 1.0),
                    ("pkg/app.py", 8, "pkg/app.py:main", "pkg/store.py:open_store", 1.0)]),
    # A name of the same file.
    ("helper", [("pkg/app.py", 12, "pkg/app.py:main", "pkg/app.py:helper", 1.0)]),
    # self.method() within the class; super().close() in its base.
    ("Store.validate", [("pkg/store.py", 8, "pkg/store.py:Store.save", "pkg/store.py:Store.validate", 1.0)]),
    ("Base.close", [("pkg/store.py", 15, "pkg/store.py:Store.shutdown", "pkg/store.py:Base.close", 1.0)]),
    # A base class, a return annotation and a construction.
    ("Store", [("pkg/store.py", 18, "pkg/store.py:open_store", "pkg/store.py:Store", 1.0),
               ("pkg/store.py", 19, "pkg/store.py:open_store", "pkg/store.py:Store", 1.0)]),
    ("Base", [("pkg/store.py", 6, "pkg/store.py:Store", "pkg/store.py:Base", 1.0)]),
    # A parameter's annotation.
    ("Bus", [("pkg/app.py", 6, "pkg/app.py:main", "pkg/events.py:Bus", 1.0)]),
    # An attribute of an unknown receiver whose name is rare: one candidate.
    ("Store.save", [("pkg/app.py", 9, "pkg/app.py:main", "pkg/store.py:Store.save", 1.0)]),
    # Ambiguous: two candidates, the one in an imported file weighed twice the one beside it.
    ("emit", [("pkg/app.py", 10, "pkg/app.py:main", "pkg/events.py:Bus.emit", 0.6667),
              ("pkg/app.py", 10, "pkg/app.py:main", "pkg/other.py:Logger.emit", 0.3333)]),
    # Too common a name on an unknown receiver: no candidate at all.
    ("get", []),
]


@pytest.fixture
def tree(tmp_path) -> pathlib.Path:
    root = tmp_path / "tree"
    write_tree(root, TREE)
    return root


def _found(report: dict) -> list[tuple[str, int, str | None, str, float]]:
    return sorted(
        (entry["path"], entry["line"], entry["symbol"], entry["target"], entry["weight"])
        for entry in report["references"]
        if entry["kind"] != "import"
    )


@pytest.mark.parametrize(("name", "expected"), EXPECTED, ids=[name for name, _ in EXPECTED])
def test_references_resolve_to_what_the_code_means(tree, tmp_path, name, expected):
    with api.Index(tree, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        report = index.refs(name)
    assert _found(report) == sorted(expected)
    for entry in report["references"]:
        assert entry["kind"] in ("call", "type", "import", "attribute", "other")


def test_a_common_name_on_an_unknown_receiver_is_counted_not_guessed(tree, tmp_path):
    with api.Index(tree, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        report = index.refs("get")
    assert len(report["definitions"]) == 4
    assert report["references"] == []
    assert report["unresolved"] == 1


def test_an_imported_name_resolves_to_its_module_definition(tree, tmp_path):
    with api.Index(tree, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        report = index.refs("open_store")
    imports = [entry for entry in report["references"] if entry["kind"] == "import"]
    assert [(entry["line"], entry["symbol"], entry["target"]) for entry in imports] == [
        (2, None, "pkg/store.py:open_store")
    ]


def test_the_command_prints_the_json_shape(tree):
    report = quibra_json("refs", "open_store", tree)
    assert report["command"] == "refs"
    assert [entry["symbol_id"] for entry in report["definitions"]] == ["pkg/store.py:open_store"]
    assert {"path", "file", "line", "symbol", "kind", "target", "weight"} <= set(report["references"][0])
    assert "callers" not in report and "callees" not in report


def test_the_command_lists_callers_to_depth_two(tree):
    report = quibra_json("refs", "Store.validate", tree, "--callers", "2")
    callers = [(entry["symbol_id"], entry["depth"], entry["calls"]) for entry in report["callers"]]
    assert callers == [
        ("pkg/store.py:Store.save", 1, "pkg/store.py:Store.validate"),
        ("pkg/app.py:main", 2, "pkg/store.py:Store.save"),
    ]
    callees = quibra_json("refs", "pkg/app.py:main", tree, "--callees")["callees"]
    assert {entry["symbol_id"] for entry in callees} == {
        "pkg/store.py:open_store", "pkg/store.py:Store.save", "pkg/events.py:Bus.emit",
        "pkg/other.py:Logger.emit", "pkg/app.py:helper",
    }


def test_the_table_shows_definitions_then_references_by_file(tree):
    text = quibra("refs", "open_store", tree, "--color", "never").stdout
    lines = text.splitlines()
    assert lines[0].startswith("open_store (function)")
    assert lines[1].endswith("pkg/app.py")
    assert [line.split()[:2] for line in lines[2:5]] == [["2", "(file"], ["7", "main"], ["8", "main"]]


@pytest.mark.parametrize(
    ("args", "expect", "message"),
    [
        (("refs", "no_such_name"), 1, None),
        (("refs", "open_store", "--callers", "99"), 2, "must be from 1 to 10"),
        (("refs", "open_store", "--lang", "cobol"), 1, "unknown language cobol"),
        (("refs", "open_store", "--include", "["), 1, None),
    ],
)
def test_a_bad_request_is_one_line(tree, args, expect, message):
    completed = quibra(*args[:2], tree, *args[2:], expect=expect)
    if message is not None:
        assert message in completed.stderr
        assert len(completed.stderr.strip().splitlines()) == 1


def _importance(index_file: pathlib.Path) -> list[tuple]:
    connection = sqlite3.connect(index_file)
    try:
        return connection.execute(
            "SELECT f.path, s.key, s.importance FROM symbols AS s JOIN files AS f ON f.id = s.file_id ORDER BY 1, 2"
        ).fetchall()
    finally:
        connection.close()


def _targets(dump: list[tuple]) -> set[str]:
    return {target for row in dump for target in row[-1].split()}


@pytest.mark.parametrize(
    ("path", "old", "new"),
    [
        ("pkg/store.py", "def open_store(path)", "def open_db(path)"),  # a definition others use, renamed
        ("pkg/app.py", "open_store(path)\n    st.", "open_db(path)\n    st."),  # a use renamed
        ("pkg/other.py", "class Logger:", "class Logger:\n    pass\n\n\nclass Sink:"),  # emit moves class
        ("pkg/events.py", "    def emit", "    def emit_all"),  # emit becomes unambiguous
        ("pkg/app.py", "def main(", "\n\ndef main("),  # lines move, the uses stay: the graph is the same
    ],
)
def test_a_refresh_after_an_edit_equals_a_fresh_build(tree, tmp_path, path, old, new):
    incremental_file, fresh_file, before = edited_and_fresh(tree, tmp_path, path, old, new)
    after = stored_references(incremental_file)
    assert after == stored_references(fresh_file)
    assert after != before
    assert _importance(incremental_file) == _importance(fresh_file)


def test_importance_is_pagerank_over_the_graph_named_by_its_keys(tree, tmp_path):
    """The engine is given short names for the nodes; its scores must be
    those of the graph named by the keys themselves, to the last bit."""
    import _quibra_core as engine
    from quibra.index import queries
    from quibra.index.importance import containment

    (tree / "pkg/üñí.py").write_text("from pkg.store import open_store\n\n\ndef z():\n    return open_store('x')\n")
    index_file = tmp_path / "index.sqlite"
    with api.Index(tree, index_file=index_file, jobs=1) as index:
        index.refresh()
    connection = sqlite3.connect(index_file)
    try:
        paths = {file_id: path.decode() for file_id, path, _language in queries.parsed_files(connection)}
        keys = {}
        spans: dict[int, list] = {}
        for file_id, symbol_id, start, end, depth, key in queries.symbol_spans(connection):
            keys[symbol_id] = f"{paths[file_id]}\0{key}"
            spans.setdefault(file_id, []).append((symbol_id, start, end, depth, key))
        edges = {(keys[member], keys[parent]) for rows in spans.values() for member, parent in containment(rows)}
        edges |= {
            (paths[file_id] if scope is None else keys[scope], keys[target])
            for file_id, scope, target in queries.resolved_uses(connection)
        }
        scores, _iterations = engine.compute_pagerank(sorted(edges), sorted([*paths.values(), *keys.values()]))
        stored = dict(connection.execute("SELECT id, importance FROM symbols"))
    finally:
        connection.close()
    assert len(edges) > len(spans)
    assert stored == {symbol_id: scores[key] for symbol_id, key in keys.items()}


@pytest.mark.parametrize("count", [0, 1, 93, 94, 95, 94 * 94, 94 * 94 + 1])
def test_the_engines_names_for_nodes_are_distinct_and_in_byte_order(count):
    from quibra.index.importance import _node_names

    names = _node_names(count)
    assert len(set(names)) == len(names) == count
    assert sorted(names, key=str.encode) == names


@pytest.mark.parametrize("settling", ["settle", "settle_apart"])  # here, or in a process of its own
def test_importance_left_for_later_is_said_and_settles_to_that_of_a_fresh_build(tree, tmp_path, settling):
    index_file = tmp_path / "later.sqlite"
    with api.Index(tree, index_file=index_file, jobs=1, settle=False) as index:
        settle = getattr(index, settling)
        index.refresh()
        # A first build leaves it for later too.
        assert index.importance_stale()
        settle()
        assert not index.importance_stale()
        assert index.repo_map()["warnings"] == []
        before = _importance(index_file)
        store = tree / "pkg/store.py"
        store.write_text(store.read_text().replace("def open_store(", "def open_db("))
        # The edit is in the index at once; the scores are those from before it.
        assert index.refs("open_db")["definitions"]
        assert index.importance_stale()
        assert STALE_IMPORTANCE in index.repo_map()["warnings"]
        kept = dict(((path, key), score) for path, key, score in before)
        assert all(kept.get((path, key), 0.0) == score for path, key, score in _importance(index_file))
        settle()
        assert not index.importance_stale()
        assert index.repo_map()["warnings"] == []
    with api.Index(tree, index_file=tmp_path / "fresh.sqlite", jobs=1) as index:
        index.refresh()
    assert _importance(index_file) == _importance(tmp_path / "fresh.sqlite")


def test_a_refresh_that_ranks_settles_what_an_earlier_one_left(tree, tmp_path):
    # A server stopped before it ranked the graph again: the next command does.
    index_file = tmp_path / "later.sqlite"
    with api.Index(tree, index_file=index_file, jobs=1, settle=False) as index:
        index.refresh()
        store = tree / "pkg/store.py"
        store.write_text(store.read_text().replace("def open_store(", "def open_db("))
        index.refresh()
        assert index.importance_stale()
    report = quibra_json("map", tree, "--index", index_file)
    assert report["warnings"] == [] and isinstance(report["refresh"], dict)
    with api.Index(tree, index_file=tmp_path / "fresh.sqlite", jobs=1) as index:
        index.refresh()
    assert _importance(index_file) == _importance(tmp_path / "fresh.sqlite")


def test_a_renamed_definition_loses_its_references_in_files_not_read_again(tree, tmp_path):
    with api.Index(tree, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        assert len(index.refs("open_store")["references"]) == 3
        store = tree / "pkg/store.py"
        store.write_text(store.read_text().replace("def open_store(", "def open_db("))
        report = index.refs("open_store")
        assert report["refresh"]["changed"] == 1
        assert report["definitions"] == [] and report["references"] == []
        assert report["unresolved"] == 3


def test_a_budget_cuts_the_references_and_counts_them(tree, tmp_path):
    with api.Index(tree, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        whole = index.refs("open_store", budget=10_000)
        cut = index.refs("open_store", budget=30)
    assert whole["left_out"] == 0 and len(whole["references"]) == 3
    assert cut["left_out"] == 3 - len(cut["references"]) > 0
    assert json.dumps(cut)  # plain data


# Python's ways to bind a name: renamed names and modules, relative imports,
# a package that re-exports what its modules define, decorators, super() as
# Python 2 wrote it; and names that no import brings: a parameter, a str's
# method, another function's own function.
IMPORTS_TREE = {
    "lib/__init__.py": """\
        from .util import helper, Registry
        """,
    "lib/util.py": """\
        def helper(x):
            return x


        def encode(text):
            return text


        def register(function):
            return function


        class Registry:
            def add(self, item):
                return item


        class Plugins(Registry):
            def add(self, item):
                return super(Plugins, self).add(item)
        """,
    "lib/core/__init__.py": "",
    "lib/core/engine.py": """\
        from .. import util
        from ..util import register as plugin


        @plugin
        def run(task):
            return util.helper(task)


        def schedule(tasks):
            def callback(task):
                return run(task)

            return [callback(task) for task in tasks]
        """,
    "lib/core/worker.py": """\
        from lib.util import encode


        def work(callback, text):
            callback(text)
            return text.encode("utf-8")
        """,
    "app.py": """\
        import lib
        from lib import helper


        def main(path):
            helper(path)
            return lib.helper(path)
        """,
    "tool.py": """\
        import lib.util as u
        from lib.util import Registry as Reg


        @u.register
        def build(path):
            u.encode(path)
            registry: Reg = Reg()
            return registry
        """,
}

# (name asked for, its references: path, line, kind, enclosing symbol, target), by hand; every weight is 1.
IMPORTS_EXPECTED = [
    # Imported from the package that re-exports it, called plainly and through the package; through a relative import.
    ("helper", [("app.py", 2, "import", None, "lib/util.py:helper"),
                ("app.py", 6, "call", "app.py:main", "lib/util.py:helper"),
                ("app.py", 7, "call", "app.py:main", "lib/util.py:helper"),
                ("lib/__init__.py", 1, "import", None, "lib/util.py:helper"),
                ("lib/core/engine.py", 7, "call", "lib/core/engine.py:run", "lib/util.py:helper")]),
    # A renamed class as a type and as a call, its re-export, and a base class.
    ("Registry", [("lib/__init__.py", 1, "import", None, "lib/util.py:Registry"),
                  ("lib/util.py", 18, "type", "lib/util.py:Plugins", "lib/util.py:Registry"),
                  ("tool.py", 2, "import", None, "lib/util.py:Registry"),
                  ("tool.py", 8, "call", "tool.py:build", "lib/util.py:Registry"),
                  ("tool.py", 8, "type", "tool.py:build", "lib/util.py:Registry")]),
    # Decorators, one renamed, one through a renamed module.
    ("register", [("lib/core/engine.py", 2, "import", None, "lib/util.py:register"),
                  ("lib/core/engine.py", 5, "call", "lib/core/engine.py:run", "lib/util.py:register"),
                  ("tool.py", 5, "call", "tool.py:build", "lib/util.py:register")]),
    # Through a renamed module; `text.encode()` is no use of a module's function.
    ("encode", [("lib/core/worker.py", 1, "import", None, "lib/util.py:encode"),
                ("tool.py", 7, "call", "tool.py:build", "lib/util.py:encode")]),
    # A function's own function, called inside it; the parameter of that name elsewhere is not it.
    ("callback", [("lib/core/engine.py", 14, "call", "lib/core/engine.py:schedule",
                   "lib/core/engine.py:schedule.callback")]),
    ("run", [("lib/core/engine.py", 12, "call", "lib/core/engine.py:schedule.callback", "lib/core/engine.py:run")]),
    # The base class's method, through `super(Class, self)`.
    ("Registry.add", [("lib/util.py", 20, "call", "lib/util.py:Plugins.add", "lib/util.py:Registry.add")]),
]


@pytest.fixture
def imports_tree(tmp_path) -> pathlib.Path:
    root = tmp_path / "imports"
    write_tree(root, IMPORTS_TREE)
    return root


@pytest.mark.parametrize(("name", "expected"), IMPORTS_EXPECTED, ids=[name for name, _ in IMPORTS_EXPECTED])
def test_python_imports_resolve_as_the_interpreter_binds_them(imports_tree, tmp_path, name, expected):
    with api.Index(imports_tree, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        report = index.refs(name)
    found = [(e["path"], e["line"], e["kind"], e["symbol"], e["target"]) for e in report["references"]]
    assert sorted(found) == sorted(expected)
    assert {entry["weight"] for entry in report["references"]} <= {1.0}


@pytest.mark.parametrize(
    ("name", "methods", "functions", "linked"),
    [
        ("transcode", 1, 3, True),  # module functions are no candidates, nor do they make the name common
        ("transcode", 4, 0, False),  # a common method name
        ("encode", 1, 0, False),  # a str's method, most likely: `text` may well be one
    ],
)
def test_what_an_unknown_receiver_reaches(tmp_path, name, methods, functions, linked):
    files = {f"m{number}.py": f"def {name}(text):\n    return text\n" for number in range(functions)}
    for number in range(methods):
        files[f"codec{number}.py"] = f"class Codec:\n    def {name}(self, text):\n        return text\n"
    files["use.py"] = f"def send(text):\n    return text.{name}()\n"
    write_tree(tmp_path / "tree", files)
    with api.Index(tmp_path / "tree", index_file=tmp_path / "index.sqlite", jobs=1) as index:
        report = index.refs(name)
    found = [(e["path"], e["line"], e["target"]) for e in report["references"]]
    assert found == ([("use.py", 2, f"codec0.py:Codec.{name}")] if linked else [])
    assert report["unresolved"] == (0 if linked else 1)


def test_a_tree_that_is_a_package_names_itself_by_its_folder(tmp_path):
    root = tmp_path / "lib"
    files = {path.removeprefix("lib/"): text for path, text in IMPORTS_TREE.items() if path.startswith("lib/")}
    write_tree(root, {**files, "app.py": IMPORTS_TREE["app.py"]})
    with api.Index(root, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        report = index.refs("helper")
    found = {(e["path"], e["line"], e["kind"], e["target"]) for e in report["references"] if e["path"] == "app.py"}
    # `from lib import helper` and `lib.helper()` reach the root's __init__.py, which imports util.py.
    assert found == {("app.py", 2, "import", "util.py:helper"), ("app.py", 6, "call", "util.py:helper"),
                     ("app.py", 7, "call", "util.py:helper")}


@pytest.mark.parametrize(
    ("path", "old", "new"),
    [
        ("lib/__init__.py", "helper, Registry", "Registry"),  # a re-export dropped: app.py is not read again
        ("lib/__init__.py", "from .util", "from .extra import helper\nfrom .util"),  # re-exported from a new module
        ("lib/util.py", "def helper(x)", "def helper_v2(x)"),  # what a package re-exports, renamed
        ("lib/core/engine.py", "def schedule", "def callback():\n    pass\n\n\ndef schedule"),  # now at the top
    ],
)
def test_a_refresh_after_an_edit_of_imports_equals_a_fresh_build(imports_tree, tmp_path, path, old, new):
    (imports_tree / "lib/extra.py").write_text("def helper(x):\n    return x\n")
    incremental_file, fresh_file, before = edited_and_fresh(imports_tree, tmp_path, path, old, new)
    after = stored_references(incremental_file)
    assert after == stored_references(fresh_file)
    assert after != before


mcp = pytest.importorskip("mcp")


def test_the_mcp_tools_answer_from_the_index(tree, tmp_path):
    from test_mcp import answer, drive

    async def scenario(session) -> None:
        listed = {tool.name for tool in (await session.list_tools()).tools}
        assert {"find_references", "call_graph"} <= listed
        found = await answer(session, "find_references", name="Store.save")
        assert [(e["path"], e["line"], e["target"]) for e in found["references"]] == [
            ("pkg/app.py", 9, "pkg/store.py:Store.save")
        ]
        graph = await answer(session, "call_graph", name="Store.validate", direction="callers", depth=2)
        assert [entry["symbol_id"] for entry in graph["callers"]] == ["pkg/store.py:Store.save", "pkg/app.py:main"]
        assert "references" not in graph
        failed = await session.call_tool("call_graph", {"name": "helper", "depth": 0})
        assert failed.is_error and "depth" in failed.content[0].text
        still = await answer(session, "find_references", name="helper")
        assert len(still["references"]) == 1

    drive(tree, tmp_path / "server.log", scenario)
