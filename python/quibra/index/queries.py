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
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import NamedTuple

from quibra.index.packed import (
    TOKEN,
    PackedReference,
    resolved_pairs,
    select_resolved,
    unpack_references,
    unresolved_uses,
    weight_of,
)

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
    (references,) = connection.execute("SELECT coalesce(sum(uses), 0) FROM file_refs").fetchone()
    return Totals(files, source_bytes, symbols, references)


def meta(connection: sqlite3.Connection, key: str) -> str | None:
    """The value recorded under `key` in the index's `meta` table, or None."""
    row = connection.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
    return None if row is None else str(row[0])


def keep_note(connection: sqlite3.Connection, key: str, value: str, token_key: str, token: str) -> None:
    """Record `value` under `key` if the value under `token_key` (the index's write token) is still `token`."""
    connection.execute(
        "INSERT OR REPLACE INTO meta (key, value) SELECT ?, ? WHERE EXISTS"
        " (SELECT 1 FROM meta WHERE key = ? AND value = ?)",
        (key, value, token_key, token),
    )


def notes_for(connection: sqlite3.Connection, token: str) -> list[tuple[str, str]]:
    """The notes recorded for the write token `token`, as (key, value without the token)."""
    rows = connection.execute("SELECT key, value FROM meta WHERE substr(value, 1, ?) = ?", (len(token) + 1, f"{token} "))
    return [(str(key), str(value)[len(token) + 1 :]) for key, value in rows]


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


# A file's row as a StoredFile takes it.
_STORED_FILE = "SELECT id, path, language, size, mtime_ns, ctime_ns, seen_ns, hash, skipped FROM files"


def stored_files(connection: sqlite3.Connection) -> dict[str, StoredFile]:
    """Every file of the index, by its tree-relative path."""
    rows = connection.execute(_STORED_FILE)
    entries = (StoredFile(row[0], os.fsdecode(row[1]), *row[2:]) for row in rows)
    return {entry.path: entry for entry in entries}


def stored_files_at(connection: sqlite3.Connection, paths: Iterable[str]) -> dict[str, StoredFile]:
    """The files of the index at `paths` (tree-relative), by path; a path it does not hold is left out."""
    found = {}
    for path in paths:
        row = connection.execute(f"{_STORED_FILE} WHERE path = ?", (os.fsencode(path),)).fetchone()
        if row is not None:
            found[path] = StoredFile(row[0], path, *row[2:])
    return found


class FileCount(NamedTuple):
    """What one file adds to a report's counts."""

    path: str  # as os.fsdecode gives it
    language: str | None
    skipped: str | None
    replaced: bool
    symbols: int


def file_counts_at(connection: sqlite3.Connection, paths: Iterable[str]) -> list[FileCount]:
    """What each file of the index at `paths` adds to the counts; a path it does not hold is left out."""
    found = []
    for path in paths:
        row = connection.execute(
            "SELECT language, skipped, replaced, (SELECT count(*) FROM symbols WHERE symbols.file_id = files.id)"
            " FROM files WHERE path = ?",
            (os.fsencode(path),),
        ).fetchone()
        if row is not None:
            found.append(FileCount(path, row[0], row[1], bool(row[2]), row[3]))
    return found


def file_stats(connection: sqlite3.Connection) -> set[tuple[bytes, str | None, int, int, int]]:
    """Every file of the index as (raw path, language, size, mtime_ns, ctime_ns)."""
    return set(connection.execute("SELECT path, language, size, mtime_ns, ctime_ns FROM files"))


def unsettled_files(connection: sqlite3.Connection, racy_ns: int, unavailable: str) -> bool:
    """Whether some file was read within `racy_ns` of its last modification, or
    was left unread for want of its grammar (its reason starts with `unavailable`)."""
    row = connection.execute(
        "SELECT EXISTS (SELECT 1 FROM files WHERE mtime_ns + ? >= seen_ns OR substr(skipped, 1, length(?)) = ?)",
        (racy_ns, unavailable, unavailable),
    ).fetchone()
    return bool(row[0])


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


# How many times the rows asked for are scored before their files are looked
# up (see bm25_matches).
SCORED_FIRST = 2


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
    score `role_factors` of theirs (each at most 1). Ties go by path, line
    and key.

    A common word matches a large share of a large tree's rows, and looking
    up each one's file costs more than scoring it: the rows are scored
    alone first, and only the best few times `limit` are looked up. A
    factor only makes a score worse (bm25() is negative, better scores more
    so), so no row past the ones looked up can beat a score better than
    theirs; when the last one kept is not that good, more are looked up."""
    assert all(0.0 <= factor <= 1.0 for factor in role_factors)
    weight_list = ", ".join(str(weight) for weight in weights)
    scope, scope_parameters = language_clause(languages)
    by_role = "(CASE files.role WHEN 1 THEN ? WHEN 2 THEN ? ELSE 1.0 END)"
    if not scope:
        scored = limit * SCORED_FIRST
        rows = connection.execute(
            f"WITH best AS (SELECT rowid AS id, bm25({table}, {weight_list}) AS score FROM {table}"
            f" WHERE {table} MATCH ? ORDER BY score LIMIT ?)"
            f" SELECT best.id, best.score, best.score * {by_role}"
            " AS adjusted FROM best JOIN symbols ON symbols.id = best.id JOIN files ON files.id = symbols.file_id"
            " ORDER BY adjusted, files.path, symbols.line, symbols.key",
            (expression, scored, *role_factors),
        ).fetchall()
        # Every row not scored scores no better than the worst one scored.
        if len(rows) < scored or rows[limit - 1][2] < max(row[1] for row in rows):
            return [row[0] for row in rows[:limit]]
    # A language scope (or factors that sank too many of the best rows): each
    # row's file is looked up before it is scored, and only the rows kept are scored.
    rows = connection.execute(
        f"SELECT {table}.rowid FROM {table}"
        f" JOIN symbols ON symbols.id = {table}.rowid JOIN files ON files.id = symbols.file_id"
        f" WHERE {table} MATCH ?{scope} ORDER BY bm25({table}, {weight_list}) * {by_role},"
        " files.path, symbols.line, symbols.key LIMIT ?",
        (expression, *scope_parameters, *role_factors, limit),
    ).fetchall()
    return [row[0] for row in rows]


def symbol_count(connection: sqlite3.Connection) -> int:
    """How many symbols the index holds."""
    return int(connection.execute("SELECT count(*) FROM symbols").fetchone()[0])


def name_term_counts(connection: sqlite3.Connection, terms: list[str]) -> dict[str, int]:
    """How many symbols' names hold each of `terms`; a term that no name holds is left out."""
    return term_counts(connection, "name_terms", [term for term in terms if TOKEN.fullmatch(term)])



class NameCandidate(NamedTuple):
    id: int
    marked: bool  # whether its name key is one of the keys asked to mark
    name_terms: str  # the engine's terms of the name, blank-separated
    path: bytes  # raw, as stored
    line: int
    key: str
    role: int  # of its file: CODE, TEST or AUXILIARY


def name_holders(connection: sqlite3.Connection, table: str, tokens: Iterable[str]) -> dict[str, set[int]]:
    """For each of `tokens`, the ids of the symbols whose row of the name
    table `table` ("name_terms" or "name_keys") holds it; a token no row
    holds is left out. Only the full-text index is read, no symbol row."""
    held = {}
    for token in dict.fromkeys(tokens):
        if TOKEN.fullmatch(token):
            # A common term's ids run to a tenth of a large tree's symbols:
            # SQLite writes them as one JSON array, faster than a row each.
            (ids,) = connection.execute(
                f"SELECT json_group_array(rowid) FROM {table} WHERE {table} MATCH ?", (f'"{token}"',)
            ).fetchone()
            if ids != "[]":
                held[token] = set(json.loads(ids))
    return held


def named_symbols(
    connection: sqlite3.Connection, ids: Iterable[int], marked: set[int], languages: Iterable[str] | None
) -> list[NameCandidate]:
    """The symbols `ids` of `languages`, as candidates of the identity
    channel; `marked` the ids whose name key was asked for."""
    scope, scope_parameters = language_clause(languages)
    rows = connection.execute(
        "SELECT symbols.id, symbols.name_terms, files.path, symbols.line, symbols.key, files.role"
        " FROM symbols JOIN files ON files.id = symbols.file_id"
        f" WHERE symbols.id IN (SELECT value FROM json_each(?)){scope}",
        (json.dumps(sorted(ids)), *scope_parameters),
    )
    return [NameCandidate(row[0], row[0] in marked, *row[1:]) for row in rows]


class CandidateRow(NamedTuple):
    id: int
    file_id: int
    path: bytes  # raw, as stored
    line: int
    key: str
    pagerank: float  # of its file
    name: str
    kind: str
    language: str | None  # of its file


def candidate_rows(connection: sqlite3.Connection, ids: Iterable[int]) -> list[CandidateRow]:
    """The symbols `ids`, with what the channels and the fusion weigh of them."""
    rows = connection.execute(
        "SELECT symbols.id, symbols.file_id, files.path, symbols.line, symbols.key, files.pagerank, symbols.name,"
        " symbols.kind, files.language"
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


def symbol_heads(connection: sqlite3.Connection, ids: list[int]) -> list[tuple[int, str, int]]:
    """(id, signature, digest of the documentation) of the symbols `ids`: what
    the ranking reads of a candidate's head."""
    return connection.execute(
        "SELECT id, signature, doc_key FROM symbols WHERE id IN (SELECT value FROM json_each(?))",
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
    wanted = sorted(set(file_ids))
    near = {target for _file_id, _scope, target in uses_of_files(connection, wanted)}
    own = {
        symbol_id
        for (symbol_id,) in connection.execute(
            "SELECT id FROM symbols WHERE file_id IN (SELECT value FROM json_each(?))", (json.dumps(wanted),)
        )
    }
    near.update(
        reference.scope
        for file in references_resolved_to(connection, own)
        for _seq, reference in file.references
        if reference.scope
    )
    rows = connection.execute(
        f"{_MAP_SYMBOL} WHERE symbols.id IN (SELECT value FROM json_each(?)) ORDER BY symbols.id",
        (json.dumps(sorted(near)),),
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


def file_path(connection: sqlite3.Connection, file_id: int) -> bytes:
    """The path of the file `file_id`, raw, as stored."""
    return bytes(connection.execute("SELECT path FROM files WHERE id = ?", (file_id,)).fetchone()[0])


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
    # Each file's symbols are counted through the index by file: no symbol row is read.
    return connection.execute(
        "SELECT language, count(*), sum((SELECT count(*) FROM symbols WHERE symbols.file_id = files.id)) FROM files"
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


def parsed_file(connection: sqlite3.Connection, file_id: int) -> tuple[bytes, str] | None:
    """The source file `file_id` as (path raw as stored, language), if it parsed."""
    row = connection.execute(
        "SELECT path, language FROM files WHERE id = ? AND language IS NOT NULL AND skipped IS NULL", (file_id,)
    ).fetchone()
    return None if row is None else (row[0], row[1])


def parsed_file_id(connection: sqlite3.Connection, path: bytes) -> int | None:
    """The id of the source file at `path` (raw, as stored), if it parsed."""
    row = connection.execute(
        "SELECT id FROM files WHERE path = ? AND language IS NOT NULL AND skipped IS NULL", (path,)
    ).fetchone()
    return None if row is None else int(row[0])


def parsed_file_count(connection: sqlite3.Connection) -> int:
    """How many source files parsed."""
    return int(
        connection.execute("SELECT count(*) FROM files WHERE language IS NOT NULL AND skipped IS NULL").fetchone()[0]
    )


def symbol_spans(connection: sqlite3.Connection) -> Iterator[tuple[int, int, int, int, int, str]]:
    """Every symbol as (file id, id, start line, end line, depth, key), by file, as read."""
    yield from connection.execute("SELECT file_id, id, start_line, end_line, depth, key FROM symbols ORDER BY file_id")


def symbol_id_bound(connection: sqlite3.Connection) -> int:
    """One more than the largest symbol id."""
    return int(connection.execute("SELECT coalesce(max(id), 0) + 1 FROM symbols").fetchone()[0])


def resolved_uses(connection: sqlite3.Connection) -> Iterator[tuple[int, int | None, int]]:
    """Every resolved reference as (its file's id, the symbol it lies in or None, a definition it means)."""
    for file_id, blob in connection.execute("SELECT file_id, refs FROM file_refs"):
        for scope, target in resolved_pairs(blob):
            yield file_id, scope or None, target


def uses_of_files(connection: sqlite3.Connection, file_ids: list[int]) -> list[tuple[int, int | None, int]]:
    """`resolved_uses` of the files `file_ids` only."""
    return [
        (file_id, scope or None, target)
        for file_id, blob in file_reference_blobs(connection, file_ids).items()
        for scope, target in resolved_pairs(blob)
    ]


def import_targets(connection: sqlite3.Connection, source: int) -> list[int]:
    """The targets of the import edges of the file `source`."""
    return [row[0] for row in connection.execute("SELECT target FROM edges WHERE source = ?", (source,))]


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


def definition_names(connection: sqlite3.Connection) -> list[str]:
    """Every name that some symbol has, in order."""
    return [name for (name,) in connection.execute("SELECT DISTINCT name FROM symbols ORDER BY name")]


def nested_definitions(connection: sqlite3.Connection) -> list[tuple[str, str]]:
    """(name, qualname) of every definition that some other encloses, or whose
    qualname says whose it is (a Go method's receiver)."""
    return connection.execute("SELECT name, qualname FROM symbols WHERE depth > 0 OR qualname != name").fetchall()


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


def ref_name_texts(connection: sqlite3.Connection, ids: list[int]) -> dict[int, str]:
    """The texts of the reference names `ids`, by id."""
    return dict(
        connection.execute(
            "SELECT id, text FROM ref_names WHERE id IN (SELECT value FROM json_each(?))", (json.dumps(ids),)
        ).fetchall()
    )


def file_reference_blobs(connection: sqlite3.Connection, file_ids: list[int]) -> dict[int, bytes]:
    """The packed references of those of `file_ids` that have any, by file id."""
    return dict(
        connection.execute(
            "SELECT file_id, refs FROM file_refs WHERE file_id IN (SELECT value FROM json_each(?))",
            (json.dumps(file_ids),),
        ).fetchall()
    )


def files_using_names(connection: sqlite3.Connection, name_ids: list[int]) -> list[int]:
    """The files whose references use one of the reference names `name_ids`, by id."""
    rows = connection.execute(
        "SELECT DISTINCT file_id FROM ref_uses WHERE name IN (SELECT value FROM json_each(?)) ORDER BY file_id",
        (json.dumps(name_ids),),
    )
    return [file_id for (file_id,) in rows]


def largest_symbol_id(connection: sqlite3.Connection) -> int:
    """The largest id a symbol has; 0 when there is none."""
    return int(connection.execute("SELECT coalesce(max(id), 0) FROM symbols").fetchone()[0])


def file_terms(connection: sqlite3.Connection, file_id: int) -> tuple[list[int], bytes] | None:
    """What the symbols of the file `file_id` gave the full-text tables: their
    ids and the packed terms (`packed.pack_terms`); None when it has no symbols."""
    row = connection.execute("SELECT symbols, terms FROM file_terms WHERE file_id = ?", (file_id,)).fetchone()
    return None if row is None else ([int(symbol_id) for symbol_id in json.loads(row[0])], bytes(row[1]))


def symbol_name_terms(connection: sqlite3.Connection, file_id: int) -> list[tuple[int, str]]:
    """The symbols of the file `file_id` as (id, the terms of its name, blank-separated)."""
    return connection.execute("SELECT id, name_terms FROM symbols WHERE file_id = ?", (file_id,)).fetchall()


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


class FileReferences(NamedTuple):
    id: int
    path: bytes  # raw, as stored
    language: str
    references: list[PackedReference]  # in the file's order: a reference's place is its seq


def file_references(connection: sqlite3.Connection, file_ids: Iterable[int]) -> list[FileReferences]:
    """The references of the files `file_ids` that have any, unpacked, by file id."""
    rows = connection.execute(
        "SELECT files.id, files.path, files.language, file_refs.refs FROM file_refs"
        " JOIN files ON files.id = file_refs.file_id WHERE file_refs.file_id IN (SELECT value FROM json_each(?))"
        " ORDER BY files.id",
        (json.dumps(sorted(set(file_ids))),),
    )
    return [FileReferences(file_id, path, language, unpack_references(blob)) for file_id, path, language, blob in rows]


class ResolvedIn(NamedTuple):
    id: int
    path: bytes  # raw, as stored
    language: str
    references: list[tuple[int, PackedReference]]  # (seq, reference), in the file's order


def references_resolved_to(connection: sqlite3.Connection, symbol_ids: Iterable[int]) -> list[ResolvedIn]:
    """The references resolved to one of `symbol_ids`, with their places, by file id."""
    wanted = set(symbol_ids)
    rows = connection.execute(
        "SELECT files.id, files.path, files.language, file_refs.refs FROM file_refs"
        " JOIN files ON files.id = file_refs.file_id WHERE file_refs.file_id IN"
        " (SELECT DISTINCT file_id FROM ref_sources WHERE symbol_id IN (SELECT value FROM json_each(?)))"
        " ORDER BY files.id",
        (json.dumps(sorted(wanted)),),
    )
    return [
        ResolvedIn(file_id, path, language, select_resolved(blob, wanted)) for file_id, path, language, blob in rows
    ]


def references_to(connection: sqlite3.Connection, symbol_ids: list[int]) -> list[ReferenceRow]:
    """The references resolved to any of `symbol_ids`, by path and line."""
    wanted = set(symbol_ids)
    found: list[tuple[tuple[bytes, int, int, int], ReferenceRow]] = []
    for file in references_resolved_to(connection, symbol_ids):
        for seq, reference in file.references:
            for target, units in reference.targets:
                if target in wanted:
                    row = ReferenceRow(
                        target, weight_of(units), file.path, reference.line, reference.kind, reference.scope or None,
                        file.language,
                    )
                    found.append(((file.path, reference.line, seq, target), row))
    found.sort(key=lambda item: item[0])
    return [row for _order, row in found]


def unresolved_count(connection: sqlite3.Connection, name: str) -> int:
    """How many references use `name` and were resolved to no definition."""
    name_id = ref_name_ids(connection, [name]).get(name)
    if name_id is None:
        return 0
    return sum(
        unresolved_uses(blob, name_id)
        for blob in file_reference_blobs(connection, files_using_names(connection, [name_id])).values()
    )


def _strongest(pairs: Iterable[tuple[int, int, int]]) -> list[tuple[int, int, float]]:
    """(one, other, weight) for each distinct pair of `pairs`, with its largest weight, by pair."""
    best: dict[tuple[int, int], int] = {}
    for one, other, units in pairs:
        if units > best.get((one, other), -1):
            best[(one, other)] = units
    return [(one, other, weight_of(units)) for (one, other), units in sorted(best.items())]


def callers_of(connection: sqlite3.Connection, symbol_ids: list[int], kind: int) -> list[tuple[int, int, float]]:
    """(callee, caller, weight): the symbols whose references of `kind` are resolved to one of `symbol_ids`."""
    wanted = set(symbol_ids)
    return _strongest(
        (target, reference.scope, units)
        for file in references_resolved_to(connection, symbol_ids)
        for _seq, reference in file.references
        if reference.kind == kind and reference.scope
        for target, units in reference.targets
        if target in wanted
    )


def callees_of(connection: sqlite3.Connection, symbol_ids: list[int], kind: int) -> list[tuple[int, int, float]]:
    """(caller, callee, weight): what references of `kind` within `symbol_ids` are resolved to."""
    wanted = set(symbol_ids)
    files = connection.execute(
        "SELECT DISTINCT file_id FROM symbols WHERE id IN (SELECT value FROM json_each(?))", (json.dumps(symbol_ids),)
    ).fetchall()
    return _strongest(
        (reference.scope, target, units)
        for file in file_references(connection, [file_id for (file_id,) in files])
        for reference in file.references
        if reference.kind == kind and reference.scope in wanted
        for target, units in reference.targets
    )


class StoredReference(NamedTuple):
    """A reference with its names spelled out, as a report of everything the index holds shows it."""

    path: bytes  # raw, as stored
    seq: int
    line: int
    kind: int  # index in REFERENCE_KINDS
    name: str
    qualifier: str  # "" for a bare name
    scope: int | None
    arity: int
    others: int
    targets: tuple[tuple[int, float], ...]  # (symbol id, weight), best first


def all_references(connection: sqlite3.Connection) -> list[StoredReference]:
    """Every reference the index holds, by path and place."""
    texts = dict(connection.execute("SELECT id, text FROM ref_names").fetchall())
    files = [file_id for (file_id,) in connection.execute("SELECT file_id FROM file_refs")]
    found = [
        StoredReference(
            file.path, seq, reference.line, reference.kind, texts[reference.name],
            texts[reference.qualifier] if reference.qualifier else "", reference.scope or None, reference.arity,
            reference.others,
            tuple((target, weight_of(units)) for target, units in reference.targets),
        )
        for file in file_references(connection, files)
        for seq, reference in enumerate(file.references)
    ]
    found.sort(key=lambda reference: (reference.path, reference.seq))
    return found
