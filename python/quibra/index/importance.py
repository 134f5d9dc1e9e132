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


def symbol_graph(connection: sqlite3.Connection) -> tuple[list[tuple[str, str]], list[str], array[int]]:
    """The graph's edges and nodes as the engine takes them, and the node of
    each symbol id (-1 for none). A node is named by its place in the order
    of its key (a file's path, then the path and a symbol's key), written
    with as many characters as every place needs: the engine orders and
    sums by name exactly as it would with the keys themselves, and a million
    short names cost a fraction of the keys. Keys are made of paths and
    symbol keys, never of row ids: an index refreshed in steps ranks exactly
    as one built at once."""
    files = {file_id: engine_key(os.fsdecode(path)) for file_id, path, _language in queries.parsed_files(connection)}
    bound = queries.symbol_id_bound(connection)
    # First each symbol's place among its file's, and the members' edges
    # to what holds them as pairs of symbol ids; the file's place among the
    # files makes them places in the whole order once every file is counted.
    place = array("q", bytes(8 * bound))
    owner = array("q", bytes(8 * bound))
    counts: dict[int, int] = {}
    members = array("q")
    for file_id, group in itertools.groupby(queries.symbol_spans(connection), key=lambda row: row[0]):
        if file_id not in files:
            continue
        spans = [(symbol_id, start, end, depth, key) for _file_id, symbol_id, start, end, depth, key in group]
        keys = {key: 0 for *_rest, key in spans}
        for rank, key in enumerate(sorted(keys), start=1):  # the file's own node comes first
            keys[key] = rank
        for symbol_id, *_rest, key in spans:
            place[symbol_id] = keys[key]
            owner[symbol_id] = file_id
        counts[file_id] = len(keys)
        members.extend(member << _SHIFT | parent for member, parent in containment(spans))
    base: dict[int, int] = {}
    total = 0
    for _key, file_id in sorted((key, file_id) for file_id, key in files.items()):
        base[file_id] = total
        total += 1 + counts.get(file_id, 0)
    del files, counts
    for symbol_id in range(bound):
        place[symbol_id] = base[owner[symbol_id]] + place[symbol_id] if place[symbol_id] else -1
    del owner
    edges = array("q", (place[pair >> _SHIFT] << _SHIFT | place[pair & _LOW] for pair in members))
    del members
    # A file's uses are all its own, so its set is enough to count each once.
    for file_id, file_uses in itertools.groupby(queries.resolved_uses(connection), key=lambda row: row[0]):
        if file_id not in base:
            continue
        file_node = base[file_id]
        uses = set()
        for _file_id, scope, target in file_uses:
            source = file_node if scope is None else place[scope] if 0 <= scope < bound else -1
            node = place[target] if 0 <= target < bound else -1
            if source >= 0 and node >= 0 and source != node:
                uses.add(source << _SHIFT | node)
        edges.extend(uses)
    del base
    nodes = _node_names(total)
    graph = [(nodes[edge >> _SHIFT], nodes[edge & _LOW]) for edge in edges]
    return graph, nodes, place


# Printable ASCII, in the order of its bytes.
_DIGITS = "".join(map(chr, range(0x21, 0x7F)))


def _node_names(count: int) -> list[str]:
    """`count` names of one length whose byte order is their order in the list."""
    width = 1
    while len(_DIGITS) ** width < count:
        width += 1
    return ["".join(digits) for digits in itertools.islice(itertools.product(_DIGITS, repeat=width), count)]


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
    edges, nodes, places = symbol_graph(storage.connection)
    scores, _iterations = engine.compute_pagerank(edges, nodes)
    del edges
    _write_scores(storage.connection, scores, nodes, places)


def settle_importance(storage: Storage) -> bool:
    """Rank the symbol graph again if a refresh left that for later; whether
    the new scores were written. The graph is read and ranked outside any
    write, so refreshes go on meanwhile; the scores are written only if none
    of them moved the graph again (else the next settling ranks that)."""
    with storage.snapshot() as connection:
        if not is_stale(connection):
            return False
        generation = queries.meta(connection, GENERATION)
        edges, nodes, places = symbol_graph(connection)
    scores, _iterations = engine.compute_pagerank(edges, nodes)
    del edges
    with storage.write() as connection:
        if not is_stale(connection) or queries.meta(connection, GENERATION) != generation:
            return False
        _write_scores(connection, scores, nodes, places)
        storage.keep_notes_through()
    return True


def _write_scores(
    connection: sqlite3.Connection, scores: dict[str, float], nodes: list[str], places: array[int]
) -> None:
    connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, '0')", (STALE,))
    # Every row is written: the index on the column is made again once
    # rather than moved a million times (5.6 s -> 3.4 s on the kernel).
    made = connection.execute(
        "SELECT sql FROM sqlite_master WHERE type = 'index' AND name = 'symbols_by_importance'"
    ).fetchone()
    if made is not None:
        connection.execute("DROP INDEX symbols_by_importance")
    connection.execute("UPDATE symbols SET importance = 0.0")
    rows = ((scores[nodes[place]], symbol_id) for symbol_id, place in enumerate(places) if place >= 0)
    connection.executemany("UPDATE symbols SET importance = ? WHERE id = ?", rows)
    if made is not None:
        connection.execute(made[0])
