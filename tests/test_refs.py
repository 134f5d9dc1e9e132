"""References: stored with the files that hold them, resolved to the
definitions they mean, and asked for through `quibra.Index.refs`, the
`quibra refs` command and the MCP tools, on a small Python tree whose every
reference is written out below by hand."""

from __future__ import annotations

import json
import pathlib

import pytest
import quibra as api
from helpers import quibra, quibra_json, stored_references, write_tree

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


def _targets(dump: list[tuple]) -> set[str]:
    return {target for row in dump for target in row[-1].split()}


@pytest.mark.parametrize(
    ("path", "old", "new"),
    [
        ("pkg/store.py", "def open_store(path)", "def open_db(path)"),  # a definition others use, renamed
        ("pkg/app.py", "open_store(path)\n    st.", "open_db(path)\n    st."),  # a use renamed
        ("pkg/other.py", "class Logger:", "class Logger:\n    pass\n\n\nclass Sink:"),  # emit moves class
        ("pkg/events.py", "    def emit", "    def emit_all"),  # emit becomes unambiguous
    ],
)
def test_a_refresh_after_an_edit_equals_a_fresh_build(tree, tmp_path, path, old, new):
    incremental_file = tmp_path / "incremental.sqlite"
    with api.Index(tree, index_file=incremental_file, jobs=1) as index:
        index.refresh()
        before = stored_references(incremental_file)
        file = tree / path
        text = file.read_text()
        assert old in text
        file.write_text(text.replace(old, new, 1))
        index.refresh()
    fresh_file = tmp_path / "fresh.sqlite"
    with api.Index(tree, index_file=fresh_file, jobs=1) as index:
        index.refresh()
    after = stored_references(incremental_file)
    assert after == stored_references(fresh_file)
    assert after != before


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
