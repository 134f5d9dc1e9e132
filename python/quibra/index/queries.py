"""Every question the host asks of an index, as one function each.

The ranking and the interfaces read the index only through these: each
takes an open connection (inside a snapshot, where answers must agree) and
returns plain rows, in the order the statement gives them. What is made of
the rows (scores, orders, packing) is the caller's; the tables and columns
they come from are named here and in the schema (`storage`) alone.

A list of ids, terms or names goes to SQLite as one JSON array read with
`json_each`: a statement takes it however long it is, where one parameter
per item would hit SQLite's limit on parameters.
"""

from __future__ import annotations

import json
import os
import sqlite3
from collections.abc import Iterable
from dataclasses import dataclass
from typing import NamedTuple

# Reading the index's own records.


class Totals(NamedTuple):
    files: int  # every file the index knows, skipped ones included
    source_bytes: int  # their sizes, as last seen
    symbols: int
    references: int


def totals(connection: sqlite3.Connection) -> Totals:
    """How much the index holds."""
    files, source_bytes = connection.execute("SELECT count(*), coalesce(sum(size), 0) FROM files").fetchone()
    (symbols,) = connection.execute("SELECT count(*) FROM symbols").fetchone()
    (references,) = connection.execute("SELECT count(*) FROM refs").fetchone()
    return Totals(files, source_bytes, symbols, references)


def meta(connection: sqlite3.Connection, key: str) -> str | None:
    """The value recorded under `key` in the index's `meta` table, or None."""
    row = connection.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
    return None if row is None else str(row[0])


@dataclass(frozen=True)
class StoredFile:
    """A file of the index with the stat and hash it was read with."""

    id: int
    path: str  # tree-relative, decoded as file names are (surrogates for bytes that are not UTF-8)
    language: str | None
    size: int
    mtime_ns: int
    ctime_ns: int
    seen_ns: int
    hash: str
    skipped: str | None


def stored_files(connection: sqlite3.Connection) -> dict[str, StoredFile]:
    """Every file of the index, by its tree-relative path."""
    rows = connection.execute(
        "SELECT id, path, language, size, mtime_ns, ctime_ns, seen_ns, hash, skipped FROM files"
    )
    entries = (StoredFile(row[0], os.fsdecode(row[1]), *row[2:]) for row in rows)
    return {entry.path: entry for entry in entries}


def language_clause(languages: Iterable[str] | None) -> tuple[str, tuple[str, ...]]:
    """A condition on `files` that keeps only `languages` (None: all of them), and its parameter."""
    if languages is None:
        return "", ()
    return " AND files.language IN (SELECT value FROM json_each(?))", (json.dumps(sorted(languages)),)


# The channels of a query.


def term_counts(connection: sqlite3.Connection, table: str, terms: list[str]) -> dict[str, int]:
    """How many rows of the full-text table `table` hold each of `terms`; a
    term that no row holds is left out."""
    # fts5vocab reads the full-text index's own term counts; the table lives
    # in this connection's temporary schema, so the index file is not written.
    connection.execute(
        f"CREATE VIRTUAL TABLE IF NOT EXISTS temp.{table}_terms USING fts5vocab(main, {table}, row)"
    )
    return dict(
        connection.execute(
            f"SELECT term, doc FROM temp.{table}_terms WHERE term IN (SELECT value FROM json_each(?))",
            (json.dumps(terms),),
        ).fetchall()
    )


def bm25_matches(
    connection: sqlite3.Connection,
    table: str,
    expression: str,
    weights: tuple[float, ...],
    role_factors: tuple[float, float],
    languages: Iterable[str] | None,
    limit: int,
) -> list[int]:
    """The ids of the symbols whose row of the full-text table `table`
    matches the FTS5 `expression`, at most `limit`, best BM25 score first
    (`weights` per column); the rows of test files and of auxiliary ones
    score `role_factors` of theirs. Ties go by path, line and key."""
    weight_list = ", ".join(str(weight) for weight in weights)
    scope, scope_parameters = language_clause(languages)
    # bm25() is negative, better scores more so: a factor below 1 moves a row down.
    rows = connection.execute(
        f"SELECT {table}.rowid FROM {table}"
        f" JOIN symbols ON symbols.id = {table}.rowid JOIN files ON files.id = symbols.file_id"
        f" WHERE {table} MATCH ?{scope}"
        f" ORDER BY bm25({table}, {weight_list}) * (CASE files.role WHEN 1 THEN ? WHEN 2 THEN ? ELSE 1.0 END),"
        f" files.path, symbols.line, symbols.key LIMIT ?",
        (expression, *scope_parameters, *role_factors, limit),
    )
    return [row[0] for row in rows]


def symbol_count(connection: sqlite3.Connection) -> int:
    """How many symbols the index holds."""
    return int(connection.execute("SELECT count(*) FROM symbols").fetchone()[0])


def name_term_counts(connection: sqlite3.Connection, terms: list[str]) -> dict[str, int]:
    """How many symbols' names hold each of `terms`; a term that no name holds is left out."""
    return dict(
        connection.execute(
            "SELECT term, count(*) FROM name_terms WHERE term IN (SELECT value FROM json_each(?)) GROUP BY term",
            (json.dumps(terms),),
        ).fetchall()
    )


class NameCandidate(NamedTuple):
    id: int
    name_key: str  # the name lowercased, letters and digits only
    name_terms: str  # the engine's terms of the name, blank-separated
    path: bytes  # raw, as stored
    line: int
    key: str
    role: int  # of its file: CODE, TEST or AUXILIARY


def name_candidates(
    connection: sqlite3.Connection, terms: list[str], name_keys: list[str], languages: Iterable[str] | None
) -> list[NameCandidate]:
    """The symbols whose name holds one of `terms` or whose name key is one of `name_keys`."""
    scope, scope_parameters = language_clause(languages)
    rows = connection.execute(
        "SELECT symbols.id, symbols.name_key, symbols.name_terms, files.path, symbols.line, symbols.key,"
        " files.role FROM symbols JOIN files ON files.id = symbols.file_id"
        " WHERE (symbols.id IN (SELECT symbol_id FROM name_terms WHERE term IN (SELECT value FROM json_each(?)))"
        f" OR symbols.name_key IN (SELECT value FROM json_each(?))){scope}",
        (json.dumps(terms), json.dumps(name_keys), *scope_parameters),
    )
    return [NameCandidate(*row) for row in rows]


class CandidateRow(NamedTuple):
    id: int
    file_id: int
    path: bytes  # raw, as stored
    line: int
    key: str
    pagerank: float  # of its file
    name: str
    kind: str


def candidate_rows(connection: sqlite3.Connection, ids: Iterable[int]) -> list[CandidateRow]:
    """The symbols `ids`, with what the channels and the fusion weigh of them."""
    rows = connection.execute(
        "SELECT symbols.id, symbols.file_id, files.path, symbols.line, symbols.key, files.pagerank, symbols.name,"
        " symbols.kind"
        " FROM symbols JOIN files ON files.id = symbols.file_id"
        " WHERE symbols.id IN (SELECT value FROM json_each(?))",
        (json.dumps(list(ids)),),
    )
    return [CandidateRow(*row) for row in rows]


class SymbolDetails(NamedTuple):
    id: int
    key: str
    qualname: str
    kind: str
    line: int
    start_line: int
    end_line: int
    chars: int  # of the text that stands for it in a context
    signature: str
    context_end: int
    language: str
    file_id: int


def symbol_details(connection: sqlite3.Connection, ids: list[int]) -> list[SymbolDetails]:
    """The symbols `ids`, with what the packer counts and a result shows."""
    rows = connection.execute(
        "SELECT symbols.id, symbols.key, symbols.qualname, symbols.kind, symbols.line, symbols.start_line,"
        " symbols.end_line, symbols.chars, symbols.signature, symbols.context_end, files.language, files.id"
        " FROM symbols JOIN files ON files.id = symbols.file_id WHERE symbols.id IN (SELECT value FROM json_each(?))",
        (json.dumps(ids),),
    )
    return [SymbolDetails(*row) for row in rows]


def symbol_heads(connection: sqlite3.Connection, ids: list[int]) -> list[tuple[int, str, str]]:
    """(id, signature, docstring) of the symbols `ids`: what the ranking reads of a candidate's head."""
    return connection.execute(
        "SELECT id, signature, docstring FROM symbols WHERE id IN (SELECT value FROM json_each(?))",
        (json.dumps(ids),),
    ).fetchall()


# The repository map.


class MapSymbol(NamedTuple):
    """A symbol as the map shows it, with what the map needs of its file."""

    id: int
    file_id: int
    path: bytes  # raw, as stored
    language: str
    role: int  # of the file: CODE, TEST or AUXILIARY
    pagerank: float  # of the file
    importance: float  # of the symbol
    key: str
    name: str
    qualname: str
    kind: str
    line: int
    end_line: int
    depth: int
    signature: str


_MAP_SYMBOL = (
    "SELECT symbols.id, symbols.file_id, files.path, files.language, files.role, files.pagerank,"
    " symbols.importance, symbols.key, symbols.name, symbols.qualname, symbols.kind, symbols.line,"
    " symbols.end_line, symbols.depth, symbols.signature"
    " FROM symbols JOIN files ON files.id = symbols.file_id"
)


def map_symbols(
    connection: sqlite3.Connection, languages: Iterable[str] | None, offset: int, limit: int
) -> list[MapSymbol]:
    """The symbols of `languages` (None: all), the most important first, from
    place `offset` on; equals go by their file's PageRank, then by place."""
    scope, scope_parameters = language_clause(languages)
    rows = connection.execute(
        f"{_MAP_SYMBOL} WHERE files.skipped IS NULL{scope}"
        " ORDER BY symbols.importance DESC, files.pagerank DESC, files.path, symbols.line, symbols.key"
        " LIMIT ? OFFSET ?",
        (*scope_parameters, limit, offset),
    )
    return [MapSymbol(*row) for row in rows]


def map_file_symbols(connection: sqlite3.Connection, file_ids: Iterable[int]) -> list[MapSymbol]:
    """Every symbol of the files `file_ids`."""
    rows = connection.execute(
        f"{_MAP_SYMBOL} WHERE symbols.file_id IN (SELECT value FROM json_each(?))", (json.dumps(sorted(file_ids)),)
    )
    return [MapSymbol(*row) for row in rows]


def map_neighbours(connection: sqlite3.Connection, file_ids: Iterable[int]) -> list[MapSymbol]:
    """The symbols that code in the files `file_ids` uses, and those whose code uses a symbol of theirs."""
    wanted = json.dumps(sorted(file_ids))
    rows = connection.execute(
        f"{_MAP_SYMBOL} WHERE symbols.id IN ("
        " SELECT ref_targets.symbol_id FROM ref_targets WHERE ref_targets.file_id IN (SELECT value FROM json_each(?))"
        " UNION SELECT refs.scope FROM symbols AS used"
        " JOIN ref_targets ON ref_targets.symbol_id = used.id"
        " JOIN refs ON refs.file_id = ref_targets.file_id AND refs.seq = ref_targets.seq"
        " WHERE used.file_id IN (SELECT value FROM json_each(?)) AND refs.scope IS NOT NULL)",
        (wanted, wanted),
    )
    return [MapSymbol(*row) for row in rows]


# Hotspots.


def file_paths(connection: sqlite3.Connection) -> list[tuple[int, bytes]]:
    """Every file of the index as (id, path), the path raw, as stored."""
    return connection.execute("SELECT id, path FROM files").fetchall()


class HotspotSymbol(NamedTuple):
    id: int
    kind: str
    file_id: int
    cyclomatic: int
    max_nesting: int
    param_count: int
    key: str
    qualname: str
    line: int
    path: bytes  # raw, as stored
    language: str


def hotspot_symbols(
    connection: sqlite3.Connection, min_complexity: int, languages: Iterable[str] | None, tests: bool = False
) -> list[HotspotSymbol]:
    """The functions and methods of `languages` (None: all) whose cyclomatic
    complexity is at least `min_complexity`, by path, line and key; those of
    test code only with `tests`."""
    scope, scope_parameters = language_clause(languages)
    if not tests:
        scope += " AND files.role != 1"
    rows = connection.execute(
        "SELECT symbols.id, symbols.kind, symbols.file_id, symbols.cyclomatic, symbols.max_nesting,"
        " symbols.param_count, symbols.key, symbols.qualname, symbols.line, files.path, files.language"
        " FROM symbols JOIN files ON files.id = symbols.file_id"
        f" WHERE symbols.kind IN ('function', 'method') AND symbols.cyclomatic >= ?{scope}"
        " ORDER BY files.path, symbols.line, symbols.key",
        (min_complexity, *scope_parameters),
    )
    return [HotspotSymbol(*row) for row in rows]


# Source text.


class FoundSymbol(NamedTuple):
    path: bytes  # raw, as stored
    key: str
    qualname: str
    kind: str
    language: str
    line: int
    start_line: int
    end_line: int
    signature: str
    chars: int


def find_symbol(connection: sqlite3.Connection, path: bytes, key: str) -> FoundSymbol | None:
    """The symbol `key` of the file at `path` (raw, as stored), or None."""
    row = connection.execute(
        "SELECT files.path, symbols.key, symbols.qualname, symbols.kind, files.language, symbols.line,"
        " symbols.start_line, symbols.end_line, symbols.signature, symbols.chars"
        " FROM files JOIN symbols ON symbols.file_id = files.id WHERE files.path = ? AND symbols.key = ?",
        (path, key),
    ).fetchone()
    return None if row is None else FoundSymbol(*row)


def file_hash_and_language(connection: sqlite3.Connection, path: bytes) -> tuple[str, str | None] | None:
    """The content hash and the language of the file at `path` (raw, as stored);
    None when the index has no such file."""
    row = connection.execute("SELECT hash, language FROM files WHERE path = ?", (path,)).fetchone()
    return None if row is None else (row[0], row[1])


def source_file_exists(connection: sqlite3.Connection, path: bytes) -> bool:
    """Whether the file at `path` (raw, as stored) is a source file of the index that parsed."""
    row = connection.execute(
        "SELECT 1 FROM files WHERE path = ? AND language IS NOT NULL AND skipped IS NULL", (path,)
    ).fetchone()
    return row is not None


# What an index holds, as reports count it.


def file_symbol_counts(connection: sqlite3.Connection) -> list[tuple[bytes, str, int]]:
    """Each file that parsed as (path, language, its number of symbols), by language."""
    return connection.execute(
        "SELECT path, language, (SELECT count(*) FROM symbols WHERE symbols.file_id = files.id) FROM files"
        " WHERE language IS NOT NULL AND skipped IS NULL ORDER BY language"
    ).fetchall()


def language_counts(connection: sqlite3.Connection) -> list[tuple[str, int, int]]:
    """Each language as (language, files that parsed, their symbols), by language."""
    return connection.execute(
        "SELECT language, count(*), (SELECT count(*) FROM symbols JOIN files AS f"
        " ON f.id = symbols.file_id WHERE f.language = files.language) FROM files"
        " WHERE language IS NOT NULL AND skipped IS NULL GROUP BY language ORDER BY language"
    ).fetchall()


def skipped_files(connection: sqlite3.Connection) -> list[tuple[bytes, str]]:
    """The files that gave no symbols as (path, why), by path."""
    return connection.execute("SELECT path, skipped FROM files WHERE skipped IS NOT NULL ORDER BY path").fetchall()


def replaced_files(connection: sqlite3.Connection) -> list[bytes]:
    """The paths of the files read with bytes that were not valid UTF-8 replaced, by path."""
    rows = connection.execute("SELECT path FROM files WHERE replaced AND skipped IS NULL ORDER BY path")
    return [path for (path,) in rows]


def file_hashes(connection: sqlite3.Connection) -> list[tuple[bytes, str]]:
    """Every file the index read as (path, content hash)."""
    return connection.execute("SELECT path, hash FROM files WHERE hash != ''").fetchall()


# References: what the resolution reads.


def ref_name_ids(connection: sqlite3.Connection, texts: list[str]) -> dict[str, int]:
    """The ids of those of `texts` that references already use, by text."""
    return dict(
        connection.execute(
            "SELECT text, id FROM ref_names WHERE text IN (SELECT value FROM json_each(?))", (json.dumps(texts),)
        ).fetchall()
    )


class FileDefinition(NamedTuple):
    """What the resolution of references reads of a definition, besides its file."""

    id: int
    key: str
    name: str
    qualname: str
    kind: str
    signature: str
    param_count: int
    declaration: bool
    importance: float


def file_definitions(connection: sqlite3.Connection, file_id: int) -> list[FileDefinition]:
    """The symbols of the file `file_id`, in line order."""
    rows = connection.execute(
        "SELECT id, key, name, qualname, kind, signature, param_count, declaration, importance FROM symbols"
        " WHERE file_id = ? ORDER BY line, id",
        (file_id,),
    )
    return [FileDefinition(*row) for row in rows]


def parsed_files(connection: sqlite3.Connection) -> list[tuple[int, bytes, str]]:
    """The source files that parsed, as (id, path raw as stored, language)."""
    return connection.execute(
        "SELECT id, path, language FROM files WHERE language IS NOT NULL AND skipped IS NULL"
    ).fetchall()


def symbol_spans(connection: sqlite3.Connection) -> list[tuple[int, int, int, int, int, str]]:
    """Every symbol as (file id, id, start line, end line, depth, key), by file."""
    return connection.execute(
        "SELECT file_id, id, start_line, end_line, depth, key FROM symbols ORDER BY file_id"
    ).fetchall()


def resolved_uses(connection: sqlite3.Connection) -> list[tuple[int, int | None, int]]:
    """Every resolved reference as (its file's id, the symbol it lies in or None, a definition it means)."""
    return connection.execute(
        "SELECT refs.file_id, refs.scope, ref_targets.symbol_id FROM ref_targets JOIN refs USING (file_id, seq)"
    ).fetchall()


def uses_of_files(connection: sqlite3.Connection, file_ids: list[int]) -> list[tuple[int, int | None, int]]:
    """`resolved_uses` of the files `file_ids` only."""
    return connection.execute(
        "SELECT refs.file_id, refs.scope, ref_targets.symbol_id FROM ref_targets JOIN refs USING (file_id, seq)"
        " WHERE refs.file_id IN (SELECT value FROM json_each(?))",
        (json.dumps(file_ids),),
    ).fetchall()


def targets_of(connection: sqlite3.Connection, references: list[tuple[int, int]]) -> list[tuple[int, int, int]]:
    """The definitions the references (file id, seq) were resolved to, as (file id, seq, symbol id)."""
    return connection.execute(
        "SELECT t.file_id, t.seq, t.symbol_id FROM json_each(?) AS wanted JOIN ref_targets AS t"
        " ON t.file_id = json_extract(wanted.value, '$[0]') AND t.seq = json_extract(wanted.value, '$[1]')",
        (json.dumps(references),),
    ).fetchall()


def all_edges(connection: sqlite3.Connection) -> list[tuple[int, int]]:
    """Every import edge as (source, target)."""
    return connection.execute("SELECT source, target FROM edges").fetchall()


class DefinitionRow(NamedTuple):
    id: int
    file_id: int
    name: str
    qualname: str
    kind: str
    line: int
    key: str
    signature: str
    param_count: int
    declaration: bool
    path: bytes  # raw, as stored
    language: str


def definitions_named(connection: sqlite3.Connection, names: list[str]) -> list[DefinitionRow]:
    """The symbols whose name is one of `names`, with their file's path and language."""
    rows = connection.execute(
        "SELECT symbols.id, symbols.file_id, symbols.name, symbols.qualname, symbols.kind, symbols.line,"
        " symbols.key, symbols.signature, symbols.param_count, symbols.declaration, files.path, files.language"
        " FROM symbols JOIN files ON files.id = symbols.file_id"
        " WHERE symbols.name IN (SELECT value FROM json_each(?))",
        (json.dumps(names),),
    )
    return [DefinitionRow(*row) for row in rows]


def imports_of_files(connection: sqlite3.Connection, file_ids: list[int], language: str) -> list[tuple[int, str]]:
    """The imports, as stored (JSON), of those of the files `file_ids` in `language`."""
    return connection.execute(
        "SELECT id, imports FROM files WHERE language = ? AND id IN (SELECT value FROM json_each(?))",
        (language, json.dumps(file_ids)),
    ).fetchall()


def scope_symbols(connection: sqlite3.Connection, file_ids: list[int]) -> list[tuple[int, int, str, str, str]]:
    """The symbols of the files `file_ids` as (file id, id, qualname, kind, signature)."""
    return connection.execute(
        "SELECT file_id, id, qualname, kind, signature FROM symbols WHERE file_id IN (SELECT value FROM json_each(?))",
        (json.dumps(file_ids),),
    ).fetchall()


class StoredReference(NamedTuple):
    file_id: int
    seq: int
    kind: int  # index in REFERENCE_KINDS
    name: str
    qualifier: str  # "" for a bare name
    scope: int | None
    others: int
    arity: int  # arguments a call passes; -1 unknown


_STORED_REFERENCE = (
    "SELECT refs.file_id, refs.seq, refs.kind, n.text, coalesce(q.text, ''), refs.scope, refs.others, refs.arity"
    " FROM refs JOIN ref_names AS n ON n.id = refs.name LEFT JOIN ref_names AS q ON q.id = refs.qualifier"
)


def references_of_files(connection: sqlite3.Connection, file_ids: list[int]) -> list[StoredReference]:
    """Every reference of the files `file_ids`."""
    rows = connection.execute(
        f"{_STORED_REFERENCE} WHERE refs.file_id IN (SELECT value FROM json_each(?))", (json.dumps(file_ids),)
    )
    return [StoredReference(*row) for row in rows]


def references_named(connection: sqlite3.Connection, names: list[str]) -> list[StoredReference]:
    """Every reference that uses one of `names`."""
    rows = connection.execute(
        f"{_STORED_REFERENCE} WHERE refs.name IN"
        " (SELECT id FROM ref_names WHERE text IN (SELECT value FROM json_each(?)))",
        (json.dumps(names),),
    )
    return [StoredReference(*row) for row in rows]


# References: what `refs` asks.


class DefinedSymbol(NamedTuple):
    id: int
    path: bytes  # raw, as stored
    key: str
    qualname: str
    kind: str
    line: int
    end_line: int
    language: str


_DEFINED = (
    "SELECT symbols.id, files.path, symbols.key, symbols.qualname, symbols.kind, symbols.line, symbols.end_line,"
    " files.language FROM symbols JOIN files ON files.id = symbols.file_id"
)


def definitions_by_name(connection: sqlite3.Connection, name: str, qualified: bool) -> list[DefinedSymbol]:
    """The symbols named `name`: by their qualified name (or key) when `qualified`, else by their own name."""
    if qualified:
        rows = connection.execute(f"{_DEFINED} WHERE symbols.qualname = ? OR symbols.key = ?", (name, name))
    else:
        rows = connection.execute(f"{_DEFINED} WHERE symbols.name = ?", (name,))
    return [DefinedSymbol(*row) for row in rows]


def definitions_at(connection: sqlite3.Connection, path: bytes, line: int | None, key: str | None) -> list[DefinedSymbol]:
    """The symbols of the file at `path` (raw, as stored) whose lines hold `line`, or whose key is `key`."""
    if key is not None:
        rows = connection.execute(f"{_DEFINED} WHERE files.path = ? AND symbols.key = ?", (path, key))
    else:
        rows = connection.execute(
            f"{_DEFINED} WHERE files.path = ? AND symbols.start_line <= ? AND symbols.end_line >= ?", (path, line, line)
        )
    return [DefinedSymbol(*row) for row in rows]


def defined_symbols(connection: sqlite3.Connection, ids: list[int]) -> list[DefinedSymbol]:
    """The symbols `ids`, with their file's path and language."""
    rows = connection.execute(f"{_DEFINED} WHERE symbols.id IN (SELECT value FROM json_each(?))", (json.dumps(ids),))
    return [DefinedSymbol(*row) for row in rows]


class ReferenceRow(NamedTuple):
    target: int  # the symbol referred to
    weight: float
    path: bytes  # raw, as stored: the file of the reference
    line: int
    kind: int  # index in REFERENCE_KINDS
    scope: int | None  # the enclosing symbol's id
    language: str


def references_to(connection: sqlite3.Connection, symbol_ids: list[int]) -> list[ReferenceRow]:
    """The references resolved to any of `symbol_ids`, by path and line."""
    rows = connection.execute(
        "SELECT ref_targets.symbol_id, ref_targets.weight, files.path, refs.line, refs.kind, refs.scope,"
        " files.language FROM ref_targets"
        " JOIN refs ON refs.file_id = ref_targets.file_id AND refs.seq = ref_targets.seq"
        " JOIN files ON files.id = refs.file_id"
        " WHERE ref_targets.symbol_id IN (SELECT value FROM json_each(?))"
        " ORDER BY files.path, refs.line, refs.seq",
        (json.dumps(symbol_ids),),
    )
    return [ReferenceRow(*row) for row in rows]


def unresolved_count(connection: sqlite3.Connection, name: str) -> int:
    """How many references use `name` and were resolved to no definition."""
    row = connection.execute(
        "SELECT count(*) FROM refs WHERE refs.name = (SELECT id FROM ref_names WHERE text = ?) AND NOT EXISTS"
        " (SELECT 1 FROM ref_targets WHERE ref_targets.file_id = refs.file_id AND ref_targets.seq = refs.seq)",
        (name,),
    ).fetchone()
    return int(row[0])


def callers_of(connection: sqlite3.Connection, symbol_ids: list[int], kind: int) -> list[tuple[int, int, float]]:
    """(callee, caller, weight): the symbols whose references of `kind` are resolved to one of `symbol_ids`."""
    return connection.execute(
        "SELECT ref_targets.symbol_id, refs.scope, max(ref_targets.weight) FROM ref_targets"
        " JOIN refs ON refs.file_id = ref_targets.file_id AND refs.seq = ref_targets.seq"
        " WHERE ref_targets.symbol_id IN (SELECT value FROM json_each(?)) AND refs.kind = ? AND refs.scope IS NOT NULL"
        " GROUP BY ref_targets.symbol_id, refs.scope",
        (json.dumps(symbol_ids), kind),
    ).fetchall()


def callees_of(connection: sqlite3.Connection, symbol_ids: list[int], kind: int) -> list[tuple[int, int, float]]:
    """(caller, callee, weight): what references of `kind` within `symbol_ids` are resolved to."""
    return connection.execute(
        "SELECT refs.scope, ref_targets.symbol_id, max(ref_targets.weight) FROM refs"
        " JOIN ref_targets ON ref_targets.file_id = refs.file_id AND ref_targets.seq = refs.seq"
        " WHERE refs.scope IN (SELECT value FROM json_each(?)) AND refs.kind = ?"
        " GROUP BY refs.scope, ref_targets.symbol_id",
        (json.dumps(symbol_ids), kind),
    ).fetchall()
