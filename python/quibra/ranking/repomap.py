"""The repository map: what a model should know of a tree before it asks anything.

No query: the map shows the most central symbols of the most central files,
as an outline per file (the file's path, then the signature line of each
chosen symbol, indented by nesting), packed into a token budget.

Centrality is the PageRank of the file graph; within a file, top-level
definitions come before nested ones, public before private, types before
functions, so a symbol's score is its file's PageRank divided by one plus
its place in that order. Files named as the focus (the ones being edited)
come first, then the files they import or are imported by.

The budget counts exactly the printed text, line by line, newline included.
A symbol is shown only under its file's line and its enclosing symbol, so
the file line is charged to the file's first symbol (its lead), and a
symbol whose lead or enclosing symbol did not make it is dropped and the
rest packed again. The same index and budget always give the same map:
every order ends in (path, line, key), never in row ids.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Callable, Iterable
from dataclasses import dataclass

import _quibra_core as engine

from quibra.index import queries
from quibra.index.queries import SymbolRow
from quibra.tree.languages.model import tokens_of_characters
from quibra.tree.text import printable

INDENT = "  "

# The packer sees the best-ordered symbols whose lines add up to this many
# budgets (and a little more, so that a small budget still finds short
# lines to fill its end with); symbols further down could only fill gaps.
CANDIDATE_BUDGETS = 3
CANDIDATE_EXTRA_TOKENS = 2000

# Files whose symbols are read from the index in one query.
FILES_PER_READ = 64

# Within a file: the types a file defines, then its functions, then methods.
_KIND_ORDER = {"class": 0, "struct": 0, "interface": 0, "trait": 0, "enum": 0, "function": 1, "method": 2}

# Tiers of a file: what the caller edits, what that imports or is imported by, the rest.
FOCUS, NEIGHBOUR, OTHER = 2, 1, 0


def line_tokens(text: str) -> int:
    """Tokens of one printed line with its newline."""
    return tokens_of_characters(len(text) + 1)


def is_public(language: str, name: str, signature: str) -> bool:
    """Whether a definition is visible outside its file or class, by its language's convention."""
    head = signature.split("(", 1)[0].split()
    if language == "python":
        return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))
    if language == "go":
        return name[:1].isupper()
    if language == "rust":
        return bool(head) and head[0].startswith("pub")
    if language in ("c", "cpp"):
        return "static" not in head
    return "private" not in head and not name.startswith(("_", "#"))


@dataclass(frozen=True, slots=True)
class MapFile:
    id: int
    path: bytes  # raw, as stored
    pagerank: float
    language: str
    tier: int

    @property
    def order(self) -> tuple[int, float, bytes]:
        return (-self.tier, -self.pagerank, self.path)


def _files(
    connection: sqlite3.Connection, focus: Iterable[bytes], languages: Iterable[str] | None
) -> list[MapFile]:
    """The files that parsed, best first: the focus, its neighbours, then the rest by PageRank."""
    rows = queries.map_files(connection, languages)
    focus_paths = set(focus)
    focus_ids = {row[0] for row in rows if row[1] in focus_paths}
    neighbours = {other for edge in queries.map_edges(connection, sorted(focus_ids)) for other in edge}

    def tier(file_id: int) -> int:
        return FOCUS if file_id in focus_ids else NEIGHBOUR if file_id in neighbours else OTHER

    files = [MapFile(file_id, path, pagerank, language, tier(file_id)) for file_id, path, pagerank, language in rows]
    files.sort(key=lambda entry: entry.order)
    return files


def _symbols_of(connection: sqlite3.Connection, files: list[MapFile]) -> dict[int, list[SymbolRow]]:
    """The symbols of `files`, by file id."""
    by_file: dict[int, list[SymbolRow]] = {entry.id: [] for entry in files}
    for file_id, row in queries.file_symbols(connection, [entry.id for entry in files]):
        by_file[file_id].append(row)
    return by_file


@dataclass(slots=True, eq=False)
class Entry:
    """One symbol that may go on the map."""

    file: MapFile
    key: str
    qualname: str
    kind: str
    line: int
    depth: int
    text: str  # the printed line, indented
    tokens: int  # of that line, plus the file's line for a file's lead
    order: tuple[int, float, bytes, int, str]  # its place on the map: tier, score, then place in the tree
    requires: Entry | None = None  # its enclosing symbol, or its file's lead


def _entries(map_file: MapFile, rows: list[SymbolRow], header: str) -> list[Entry]:
    """The symbols of one file in the file's own order, each scored and tied
    to the symbol it must be shown under."""

    def place(row: SymbolRow) -> tuple[int, bool, int, int, str]:
        public = is_public(map_file.language, row.name, row.signature)
        return (row.depth, not public, _KIND_ORDER.get(row.kind, 1), row.line, row.key)

    rows = sorted(rows, key=place)
    entries = []
    for position, row in enumerate(rows):
        text = INDENT * (row.depth + 1) + printable(row.signature or f"{row.kind} {row.name}")
        score = map_file.pagerank / (1 + position)
        order = (-map_file.tier, -score, map_file.path, row.line, row.key)
        entries.append(
            Entry(map_file, row.key, row.qualname, row.kind, row.line, row.depth, text, line_tokens(text), order)
        )
    if entries:
        lead = entries[0]
        lead.tokens += line_tokens(header)
        for entry, parent in zip(entries, _enclosing(rows), strict=True):
            if entry is not lead:
                entry.requires = entries[parent] if parent is not None else lead
    return entries


def _enclosing(rows: list[SymbolRow]) -> list[int | None]:
    """For each row, the index of the innermost row one level up whose lines
    hold it; None at the top level (or when the reader left no such row)."""
    parents: list[int | None] = [None] * len(rows)
    open_rows: list[int] = []  # rows whose lines hold the current one, outermost first
    for index in sorted(range(len(rows)), key=lambda index: (rows[index].line, rows[index].depth)):
        row = rows[index]
        while open_rows and rows[open_rows[-1]].end_line < row.line:
            open_rows.pop()
        parents[index] = next((other for other in reversed(open_rows) if rows[other].depth == row.depth - 1), None)
        open_rows.append(index)
    return parents


def _header(display: Callable[[bytes], tuple[str, str]], path: bytes) -> str:
    return printable(display(path)[1]) + ":"


def candidates(
    connection: sqlite3.Connection,
    budget: int,
    display: Callable[[bytes], tuple[str, str]],
    focus: Iterable[bytes] = (),
    languages: Iterable[str] | None = None,
) -> list[Entry]:
    """The best-ordered symbols worth offering to the packer, best first.

    Files are read in their order until the next file's best possible place
    falls behind the candidate that completes the wanted amount of text (a
    symbol never scores above its file's PageRank), so the result is the
    prefix of the order that reading every file would give.
    """
    wanted = CANDIDATE_BUDGETS * budget + CANDIDATE_EXTRA_TOKENS
    files = _files(connection, focus, languages)
    found: list[Entry] = []
    for start in range(0, len(files), FILES_PER_READ):
        chunk = files[start : start + FILES_PER_READ]
        rows = _symbols_of(connection, chunk)
        for map_file in chunk:
            found.extend(_entries(map_file, rows[map_file.id], _header(display, map_file.path)))
        found.sort(key=lambda entry: entry.order)
        cut = _cut(found, wanted)
        following = files[start + FILES_PER_READ : start + FILES_PER_READ + 1]
        if cut is not None and (not following or found[cut].order[:3] < following[0].order):
            return found[: cut + 1]
    return found


def _cut(ordered: list[Entry], wanted: int) -> int | None:
    """The index of the entry at which the running sum of tokens reaches `wanted`; None if it never does."""
    total = 0
    for index, entry in enumerate(ordered):
        total += entry.tokens
        if total >= wanted:
            return index
    return None


def _greedy(entries: list[Entry], budget: int) -> list[Entry]:
    """The engine's greedy pick from `entries` (best first) within `budget`, in their order."""
    if not entries or budget < 1:
        return []
    items = [
        {"id": str(index), "file": str(entry.file.id), "score": float(len(entries) - index), "tokens": entry.tokens}
        for index, entry in enumerate(entries)
    ]
    # A budget beyond everything offered is the same as exactly everything.
    offered = sum(entry.tokens for entry in entries)
    packed, _total = engine.pack_budget(items, min(budget, offered), diversity=False)
    return [entries[index] for index in sorted(int(item.symbol_id) for item in packed)]


def pack(pool: list[Entry], budget: int) -> list[Entry]:
    """The entries to show, in `pool` order, within `budget` tokens.

    The engine packs greedily by score; an entry picked without the entry it
    must be shown under (which did not fit when its turn came) is taken out
    and the rest packed again, until every pick stands under its own.
    """
    while True:
        shown: set[Entry] = set()
        orphans: set[Entry] = set()
        # Pool order puts every entry after the one it requires: a lead scores
        # highest in its file, an enclosing symbol stands one level up.
        for entry in _greedy(pool, budget):
            (shown if entry.requires is None or entry.requires in shown else orphans).add(entry)
        if not orphans:
            return [entry for entry in pool if entry in shown]
        pool = [entry for entry in pool if entry not in orphans]


def outline(chosen: list[Entry]) -> list[tuple[MapFile, list[Entry]]]:
    """The chosen entries by file: files in the order their leads were ranked,
    symbols in the order they appear in the file."""
    by_file: dict[int, list[Entry]] = {}
    for entry in chosen:
        by_file.setdefault(entry.file.id, []).append(entry)
    grouped = []
    for entries in by_file.values():
        entries.sort(key=lambda entry: (entry.line, entry.depth, entry.key))
        grouped.append((entries[0].file, entries))
    return grouped


def repo_map(
    connection: sqlite3.Connection,
    budget: int,
    display: Callable[[bytes], tuple[str, str]],
    focus: Iterable[bytes] = (),
    languages: Iterable[str] | None = None,
) -> tuple[str, list[dict[str, object]], int]:
    """(the map's text, its outline as data, its tokens)."""
    chosen = pack(candidates(connection, budget, display, focus, languages), budget)
    lines: list[str] = []
    files: list[dict[str, object]] = []
    total = 0
    for map_file, entries in outline(chosen):
        path, shown = display(map_file.path)
        header = _header(display, map_file.path)
        lines.append(header)
        symbols = []
        for entry in entries:
            lines.append(entry.text)
            symbols.append(
                {
                    "symbol_id": f"{path}:{entry.key}",
                    "symbol": entry.qualname,
                    "kind": entry.kind,
                    "line": entry.line,
                    "depth": entry.depth,
                    "text": entry.text,
                    "tokens": line_tokens(entry.text),
                }
            )
        file_tokens = line_tokens(header) + sum(line_tokens(entry.text) for entry in entries)
        total += file_tokens
        files.append(
            {
                "path": path,
                "file": shown,
                "focus": map_file.tier == FOCUS,
                "pagerank": map_file.pagerank,
                "tokens": file_tokens,
                "symbols": symbols,
            }
        )
    text = "".join(line + "\n" for line in lines)
    return text, files, total
