"""How the index keeps what it holds: references and full-text terms packed
one value per file, full-text tables without text, a build into an empty
index through a rollback journal, references resolved on worker processes."""

from __future__ import annotations

import pathlib
import shutil
import signal
import sqlite3
import subprocess
import time

import pytest
import quibra as api
from helpers import (
    STDLIB,
    _command,
    full_text_counts,
    quibra,
    quibra_json,
    stored_references,
    write_tree,
)
from quibra.index import packed, queries, writer
from quibra.index.extract import extract_file, head_terms, path_terms
from quibra.index.packed import PackedReference

CASES = {
    "none": [],
    "one bare name, unresolved": [PackedReference(1, 0, 1, 0, 0, -1, 0, ())],
    "read, not resolved yet": [PackedReference(line, 1, line % 7, 0, line // 2, 1, 0, ()) for line in (4, 4, 9, 2)],
    "lines going back, large ids, three targets": [
        PackedReference(120, 2, 7, 9, 31, 2, 4, ((5, 10_000),)),
        PackedReference(3, 1, 7, 0, 0, -1, 0, ((5, 3333), (8, 3333), (2**31 - 1, 3334))),
    ],
    "a long file": [
        PackedReference(
            line, line % 5, line * 7, 0 if line % 2 else line, line // 3, line % 3 - 1, line % 4,
            tuple((line + target, 1000 * target) for target in range(line % 4)),
        )
        for line in range(1, 3000)
    ],
}


@pytest.mark.parametrize("references", CASES.values(), ids=CASES.keys())
def test_references_come_back_as_they_were_packed(references):
    blob = packed.pack_references(list(references))
    assert packed.unpack_references(blob) == references
    # What they resolve to, read without unpacking the rest.
    assert packed.resolved_pairs(blob) == [
        (reference.scope, target) for reference in references for target, _units in reference.targets
    ]
    for name in {reference.name for reference in references} | {-1}:
        assert packed.unresolved_uses(blob, name) == sum(
            1 for reference in references if reference.name == name and not reference.targets
        )
    targets = sorted({target for reference in references for target, _units in reference.targets})
    for wanted in ({targets[0]}, set(targets[::3]), {-5}) if targets else ({1},):
        assert packed.select_resolved(blob, wanted) == [
            (seq, reference)
            for seq, reference in enumerate(references)
            if any(target in wanted for target, _units in reference.targets)
        ]


@pytest.mark.parametrize("parts", [1, 2, 3, 6, 7, 9999])
def test_a_weight_comes_back_from_its_units(parts):
    # The resolution weighs a target by its share of the candidates, to four decimals.
    weight = round(1 / parts, 4)
    assert packed.weight_of(packed.weight_units(weight)) == weight


@pytest.mark.parametrize("name", ["json/decoder.py", "email/_header_value_parser.py", "argparse.py"])
def test_the_terms_a_file_gives_the_full_text_tables_come_back(name):
    result = extract_file(name, "python", (STDLIB / name).read_bytes())
    assert result.symbols
    given = [indexed.fields for indexed in result.symbols]
    # The qualified name, signature and path come from what the index keeps of them.
    assert [
        (*head_terms(indexed.symbol.qualname, indexed.symbol.signature), path_terms(name)) for indexed in result.symbols
    ] == [(fields[0], fields[1], fields[4]) for fields in given]
    # The docstring and body: the same tokens, as many, not in the same
    # order; what takes a row out of a full-text table that keeps no text.
    # The tables' own tokenizer finds in each field the terms that were counted for it.
    assert all(packed.TOKEN.findall(field) == field.split() for fields in given for field in fields)
    texts = packed.unpack_terms(result.terms)
    assert [[len(text.split()) for text in row] for row in texts] == [
        [len(fields[2].split()), len(fields[3].split())] for fields in given
    ]
    assert [[set(text.split()) for text in row] for row in texts] == [
        [set(fields[2].split()), set(fields[3].split())] for fields in given
    ]


def _copies(root, copies):
    for copy in range(copies):
        shutil.copytree(STDLIB / "email", root / f"email{copy}", ignore=shutil.ignore_patterns("__pycache__"))


def test_a_build_into_an_empty_index_leaves_it_in_wal_mode(tmp_path):
    root = tmp_path / "tree"
    _copies(root, 1)
    index = tmp_path / "index.sqlite"
    quibra("index", root, "--index", index)
    connection = sqlite3.connect(index)
    try:
        assert connection.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
        assert connection.execute("SELECT count(*) FROM file_refs").fetchone()[0] > 0
    finally:
        connection.close()
    assert not (tmp_path / "index.sqlite-journal").exists()


def test_a_build_beside_an_open_connection_gives_the_same_index(tmp_path):
    """Another connection keeps the index in WAL mode: the build writes through the WAL then, to the same end."""
    root = tmp_path / "tree"
    write_tree(root, {"README.txt": "nothing to read yet\n"})
    held_file, alone_file = tmp_path / "held.sqlite", tmp_path / "alone.sqlite"
    quibra("index", root, "--index", held_file)
    _copies(root, 1)
    holder = sqlite3.connect(held_file)
    try:
        assert holder.execute("SELECT count(*) FROM files").fetchone()[0] == 0
        held = quibra_json("rank", root, "--query", "parse a message header", "--index", held_file)
        assert holder.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    finally:
        holder.close()
    alone = quibra_json("rank", root, "--query", "parse a message header", "--index", alone_file)
    assert held["results"] and held["results"] == alone["results"]
    assert stored_references(held_file) == stored_references(alone_file)
    assert full_text_counts(held_file) == full_text_counts(alone_file)


def _size(path: pathlib.Path) -> int:
    try:
        return path.stat().st_size
    except FileNotFoundError:
        return 0


def test_a_build_killed_while_it_writes_leaves_the_empty_index(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"README.txt": "nothing to read yet\n"})
    index = tmp_path / "index.sqlite"
    quibra("index", root, "--index", index)
    _copies(root, 3)
    journal = tmp_path / "index.sqlite-journal"
    command, environment = _command()
    process = subprocess.Popen(
        [*command, "index", str(root), "--index", str(index), "--jobs", "1"],
        env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    # Killed once its journal holds the empty index's pages: a journal just
    # created, with nothing in it yet, is no journal to roll back, and a
    # reader leaves it where it is.
    while process.poll() is None and _size(journal) == 0:
        time.sleep(0.01)
    process.send_signal(signal.SIGKILL)
    process.wait()
    assert process.returncode == -signal.SIGKILL, "the build ended before it was killed"
    query = ("rank", root, "--query", "parse a message header", "--index", index)
    assert quibra_json(*query, "--no-refresh", expect=1)["results"] == []
    assert not journal.exists()
    assert quibra_json(*query)["results"]
    assert full_text_counts(index)["code"]


def test_references_resolved_on_workers_are_those_of_one_process(tmp_path):
    root = tmp_path / "tree"
    _copies(root, 8)
    results = {}
    for jobs in (1, 2):
        with api.Index(root, index_file=tmp_path / f"{jobs}.sqlite", jobs=jobs) as index:
            index.refresh()
        results[jobs] = stored_references(tmp_path / f"{jobs}.sqlite")
    # Enough references that two jobs resolve them on worker processes.
    assert len(results[1]) >= writer.PARALLEL_REFERENCES
    assert results[1] == results[2]


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_call_through_an_included_header_reaches_the_source_file_beside_it(tmp_path, jobs):
    root = tmp_path / "tree"
    write_tree(root, {
        "lib/util.h": "int add(int a, int b);\n",
        "lib/util.c": '#include "util.h"\nint add(int a, int b) { return a + b; }\n',
        "lib/main.c": '#include "util.h"\nint main(void) { return add(1, 2); }\n',
        "other/add.c": "int add(int a, int b) { return b + a; }\n",
    })
    report = quibra_json("refs", "add", root, "--index", tmp_path / "index.sqlite", "--jobs", str(jobs))
    # The header brings its source file with it: the definition there is the
    # one meant, before the other folder's; the header's declaration is none.
    calls = sorted((-entry["weight"], entry["path"], entry["target"]) for entry in report["references"])
    assert [call[1:] for call in calls] == [("lib/main.c", "lib/util.c:add"), ("lib/main.c", "other/add.c:add")]
    assert calls[0][0] < calls[1][0]


def test_a_query_during_the_first_build_waits_for_it(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"README.txt": "nothing to read yet\n"})
    index = tmp_path / "index.sqlite"
    quibra("index", root, "--index", index)
    _copies(root, 3)
    query = ("rank", root, "--query", "parse a message header")
    reference = quibra_json(*query, "--index", tmp_path / "reference.sqlite")["results"]
    command, environment = _command()
    build = subprocess.Popen(
        [*command, "index", str(root), "--index", str(index), "--jobs", "1"],
        env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
    )
    while build.poll() is None and not (tmp_path / "index.sqlite-journal").exists():
        time.sleep(0.01)
    # The index is not in WAL mode while it is built: opening it waits for the build, and reads what it wrote.
    assert quibra_json(*query, "--index", index, "--no-refresh")["results"] == reference
    _out, errors = build.communicate()
    assert build.returncode == 0, errors


SOURCES = {
    "python": (
        "pkg/shapes.py",
        '@dataclass\nclass Shape:\n    """A shape."""\n\n    sides: int = 0\n\n    @property\n    def area(self):\n'
        "        return 0\n\n    @area.setter\n    def area(self, value):\n        pass\n\n\n"
        "def __getattr__(name):\n    return name\n\n\nclass Outer:\n    class Inner:\n        def __init__(self):\n"
        "            pass\n\n\ndef größe(maß: str = \"größe\") -> str:\n    return maß\n\n\n"
        "def shapes(shape, shapes=()):\n    pass\n",
    ),
    "go": (
        "shapes/shapes.go",
        "package shapes\n\ntype Square struct {\n\tSide int\n}\n\n// Area of the square.\nfunc (s *Square) Area() int {\n"
        "\treturn s.Side * s.Side\n}\n\ntype Shape interface {\n\tArea() int\n}\n\nfunc New(side int) *Square {\n"
        "\treturn &Square{side}\n}\n",
    ),
    "rust": (
        "src/lib.rs",
        "pub trait Area {\n    fn area(&self) -> u32;\n}\n\npub struct Square {\n    side: u32,\n}\n\n"
        "impl Area for Square {\n    fn area(&self) -> u32 {\n        self.side * self.side\n    }\n}\n\n"
        "pub enum Kind {\n    Round,\n    Flat,\n}\n",
    ),
    "typescript": (
        "src/shapes.ts",
        "export interface Shape {\n  area(): number;\n}\n\nexport class Square implements Shape {\n"
        "  constructor(private side: number) {}\n\n  area(): number {\n    return this.side * this.side;\n  }\n}\n\n"
        "export type Id = string;\n",
    ),
}


@pytest.mark.parametrize("language", SOURCES)
def test_a_symbol_comes_back_from_the_index_as_it_was_read(tmp_path, language):
    """The qualname, kind and lines a row keeps in parts come back whole."""
    path, source = SOURCES[language]
    root = tmp_path / "tree"
    write_tree(root, {path: source})
    index = tmp_path / "index.sqlite"
    quibra("index", root, "--index", index)
    read = extract_file(path, language, source.encode())
    assert read.symbols
    connection = sqlite3.connect(index)
    try:
        stored = connection.execute(
            "SELECT key, name, qualname, kind, line, start_line, end_line, context_end, signature FROM symbols"
            " ORDER BY line, key"
        ).fetchall()
    finally:
        connection.close()
    assert stored == sorted(
        (
            (item.key, item.symbol.name, item.symbol.qualname, item.symbol.kind, item.symbol.line, item.symbol.start_line,
             item.symbol.end_line, item.context_end, item.symbol.signature)
            for item in read.symbols
        ),
        key=lambda row: (row[4], row[0]),
    )


def test_a_first_build_leaves_no_room_unused(tmp_path):
    root = tmp_path / "tree"
    _copies(root, 2)
    index = tmp_path / "index.sqlite"
    quibra("index", root, "--index", index)
    copy = tmp_path / "copy.sqlite"
    shutil.copy(index, copy)
    connection = sqlite3.connect(copy)
    try:
        built = connection.execute("PRAGMA page_count").fetchone()[0]
        connection.execute("VACUUM")
        assert connection.execute("PRAGMA page_count").fetchone()[0] == built
    finally:
        connection.close()


@pytest.mark.parametrize(
    "terms, keys",
    [([], []), (["header", "parse"], []), ([], ["parseheader"]), (["a-b", 'say"', "", "header"], ["x y", "*"])],
    ids=["nothing", "terms", "keys", "not one token each"],
)
def test_name_holders_are_the_names_asked_for(tmp_path, terms, keys):
    root = tmp_path / "tree"
    write_tree(root, {"mail.py": "def parse_header(text):\n    return text\n\n\ndef send(message):\n    pass\n"})
    index = tmp_path / "index.sqlite"
    quibra("index", root, "--index", index)
    connection = sqlite3.connect(index)
    try:
        by_term = queries.name_holders(connection, "name_terms", terms)
        by_key = queries.name_holders(connection, "name_keys", keys)
        ids = set().union(*by_term.values(), *by_key.values())
        marked = set().union(*by_key.values())
        found = {(row.key, row.marked) for row in queries.named_symbols(connection, ids, marked, None)}
        elsewhere = queries.named_symbols(connection, ids, marked, ["go"])
        counts = queries.name_term_counts(connection, terms)
    finally:
        connection.close()
    asked = set(terms) | set(keys)
    assert found == ({("parse_header", "parseheader" in keys)} if asked & {"header", "parse", "parseheader"} else set())
    assert elsewhere == []
    assert {term: len(ids) for term, ids in by_term.items()} == counts
    assert counts == {term: 1 for term in terms if term in ("header", "parse")}
