"""How much the rest of the tree leans on each symbol: PageRank over the symbol graph.

The graph's nodes are the symbols, plus one node per parsed file for what
its top level uses (imports, module-level calls). A resolved reference is
an edge from the symbol it lies in (or its file's node) to each definition
it was resolved to; a member is an edge to its enclosing symbol as well,
so that a class gathers what its methods are used for. Edges are plain:
three `x.save()` in one function count once, as one use of `save`.

The scores go into `symbols.importance` (they sum to 1 over the graph's
nodes). A refresh ranks the graph again only when it moved: a symbol or a
parsed file came or went, or a reference read or resolved again means
other definitions than before (the writer tells). A long-lived server
leaves that for later (`mark_stale`), so that the edit is answered at
once, and settles it on a thread of its own (`settle_importance`); until
then the index says so (`is_stale`), and keeps the previous scores.
"""

from __future__ import annotations

import itertools
import os
import sqlite3
from array import array

import _quibra_core as engine

from quibra.index import queries
from quibra.index.storage import Storage

# An edge as one integer: its source node's number above these bits, its target's in them.
_SHIFT = 32
_LOW = (1 << _SHIFT) - 1


def engine_key(path: str) -> str:
    """The path as the engine takes it: UTF-8 text. A name that is not valid
    UTF-8 is escaped behind a NUL, which no real file name contains, so it
    can never meet another file's key."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return "\0" + path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return path


def containment(rows: list[tuple[int, int, int, int, str]]) -> list[tuple[int, int]]:
    """(member, enclosing symbol) pairs of one file's symbols, given as
    (id, first line, last line, depth, key): the innermost symbol one level
    up whose lines hold the member. Equal places go by key, never by id."""
    pairs = []
    open_rows: list[tuple[int, int, int, int, str]] = []  # the symbols holding the current line, outermost first
    for row in sorted(rows, key=lambda row: (row[1], row[3], row[4])):
        symbol_id, start, _end, depth, _key = row
        while open_rows and open_rows[-1][2] < start:
            open_rows.pop()
        parent = next((other for other in reversed(open_rows) if other[3] == depth - 1), None)
        if parent is not None:
            pairs.append((symbol_id, parent[0]))
        open_rows.append(row)
    return pairs


def symbol_graph(connection: sqlite3.Connection) -> tuple[list[tuple[str, str]], list[str], dict[str, int]]:
    """The graph's sorted, distinct edges and nodes, keyed as the engine takes
    them, and the symbol id behind each symbol's key. Keys are made of paths
    and symbol keys, never of row ids: an index refreshed in steps ranks
    exactly as one built at once."""
    # Nodes are numbered as they come and edges kept as pairs of numbers in
    # one integer; both are put in the order of their keys only at the end.
    # A million keys and four million edges as pairs of strings would cost
    # several times as much to hold, compare and sort.
    files = {file_id: engine_key(os.fsdecode(path)) for file_id, path, _language in queries.parsed_files(connection)}
    number: dict[str, int] = {}
    file_nodes = {file_id: number.setdefault(key, len(number)) for file_id, key in files.items()}
    symbol_nodes: dict[int, int] = {}
    symbol_ids: dict[str, int] = {}
    edges: set[int] = set()
    for file_id, group in itertools.groupby(queries.symbol_spans(connection), key=lambda row: row[0]):
        if file_id not in files:
            continue
        spans = []
        for _file_id, symbol_id, start, end, depth, key in group:
            full = f"{files[file_id]}\0{key}"
            symbol_nodes[symbol_id] = number.setdefault(full, len(number))
            symbol_ids[full] = symbol_id
            spans.append((symbol_id, start, end, depth, key))
        edges.update(symbol_nodes[member] << _SHIFT | symbol_nodes[parent] for member, parent in containment(spans))
    for file_id, scope, target in queries.resolved_uses(connection):
        source = symbol_nodes.get(scope) if scope is not None else file_nodes.get(file_id)
        node = symbol_nodes.get(target)
        if source is not None and node is not None and source != node:
            edges.add(source << _SHIFT | node)
    del symbol_nodes, file_nodes
    nodes = sorted(number)
    place = array("q", bytes(8 * len(nodes)))
    for position, key in enumerate(nodes):
        place[number[key]] = position
    del number
    # Each step lets the last go before the next is made: on the kernel the
    # edges would otherwise be held three times over.
    renumbered = array("q", (place[edge >> _SHIFT] << _SHIFT | place[edge & _LOW] for edge in edges))
    del edges, place
    ordered = array("q", sorted(renumbered))
    del renumbered
    return [(nodes[edge >> _SHIFT], nodes[edge & _LOW]) for edge in ordered], nodes, symbol_ids


# The index's record of a ranking left for later: whether one is, and a
# count of the refreshes that left one, so that a ranking of a graph that
# has moved since is not written.
STALE = "importance_stale"
GENERATION = "importance_generation"


def is_stale(connection: sqlite3.Connection) -> bool:
    """Whether the importance the index holds is from before its symbol graph last moved."""
    return queries.meta(connection, STALE) == "1"


def mark_stale(storage: Storage) -> None:
    """Inside a refresh's write: the graph moved, and is ranked later."""
    generation = int(storage.meta(GENERATION) or 0) + 1
    storage.connection.executemany(
        "INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)", [(STALE, "1"), (GENERATION, str(generation))]
    )


def update_importance(storage: Storage) -> None:
    """Inside a refresh's write: rank the symbol graph again."""
    edges, nodes, symbol_ids = symbol_graph(storage.connection)
    scores, _iterations = engine.compute_pagerank(edges, nodes)
    del edges, nodes
    _write_scores(storage.connection, scores, symbol_ids)


def settle_importance(storage: Storage) -> bool:
    """Rank the symbol graph again if a refresh left that for later; whether
    the new scores were written. The graph is read and ranked outside any
    write, so refreshes go on meanwhile; the scores are written only if none
    of them moved the graph again (else the next settling ranks that)."""
    with storage.snapshot() as connection:
        if not is_stale(connection):
            return False
        generation = queries.meta(connection, GENERATION)
        edges, nodes, symbol_ids = symbol_graph(connection)
    scores, _iterations = engine.compute_pagerank(edges, nodes)
    del edges, nodes
    with storage.write() as connection:
        if not is_stale(connection) or queries.meta(connection, GENERATION) != generation:
            return False
        _write_scores(connection, scores, symbol_ids)
    return True


def _write_scores(connection: sqlite3.Connection, scores: dict[str, float], symbol_ids: dict[str, int]) -> None:
    connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, '0')", (STALE,))
    # Every row is written: the index on the column is made again once
    # rather than moved a million times (5.6 s -> 3.4 s on the kernel).
    made = connection.execute(
        "SELECT sql FROM sqlite_master WHERE type = 'index' AND name = 'symbols_by_importance'"
    ).fetchone()
    if made is not None:
        connection.execute("DROP INDEX symbols_by_importance")
    connection.execute("UPDATE symbols SET importance = 0.0")
    rows = [(scores[key], symbol_id) for key, symbol_id in symbol_ids.items() if key in scores]
    rows.sort(key=lambda row: row[1])
    connection.executemany("UPDATE symbols SET importance = ? WHERE id = ?", rows)
    if made is not None:
        connection.execute(made[0])
