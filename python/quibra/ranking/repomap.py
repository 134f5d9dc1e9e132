"""The repository map: what a model should know of a tree before it asks anything.

No query: the map shows the symbols the rest of the tree leans on most, as
an outline per file (the file's path, then the signature line of each
chosen symbol, indented by nesting), packed into a token budget.

A symbol's place is its importance: its PageRank in the symbol graph (who
uses what, see quibra.index.importance), equals going by their file's
PageRank. Test code, private definitions and dunder methods come after
every other symbol. Symbols of the files named as the focus (the ones being
edited) come first, then the symbols their code uses or that use theirs.

The budget counts exactly the printed text, line by line, newline included.
A symbol is shown only under its file's line and its enclosing symbol, so
an enclosing symbol takes the best place of what it holds, the file line is
charged to the file's first symbol (its lead), and a symbol whose lead or
enclosing symbol did not make it is dropped and the rest packed again. The
same index and budget always give the same map: every order ends in
(path, line, key), never in row ids.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Callable, Iterable
from dataclasses import dataclass

import _quibra_core as engine

from quibra.index import queries
from quibra.index.importance import containment
from quibra.index.queries import MapSymbol
from quibra.tree.languages.model import tokens_of_characters
from quibra.tree.text import printable
from quibra.tree.walk import CODE

INDENT = "  "

# The packer sees the best-ordered symbols whose lines add up to this many
# budgets (and a little more, so that a small budget still finds short
# lines to fill its end with); symbols further down could only fill gaps.
CANDIDATE_BUDGETS = 3
CANDIDATE_EXTRA_TOKENS = 2000

# Symbols read from the index at a time, most important first.
SYMBOLS_PER_READ = 512

# Tiers of a symbol: in a file being edited, used by or using one, the rest.
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


def is_minor(symbol: MapSymbol) -> bool:
    """Whether a symbol goes after every other: tests, benchmarks, examples and
    the like, a dunder method, or
    private, itself or (where a name says it) through what encloses it."""
    if symbol.role != CODE or not is_public(symbol.language, symbol.name, symbol.signature):
        return True
    if symbol.language == "python":
        dunder = symbol.name.startswith("__") and symbol.name.endswith("__")
        return dunder or any(part.startswith("_") for part in symbol.qualname.split(".")[:-1])
    if symbol.language == "go":
        return any(part[:1].islower() for part in symbol.qualname.split(".")[:-1])
    return False


# A symbol's place on the map: tier, minor, importance, file PageRank, then its place in the tree.
Order = tuple[int, bool, float, float, bytes, int, int, str]


def _order(symbol: MapSymbol, tier: int) -> Order:
    return (
        -tier, is_minor(symbol), -symbol.importance, -symbol.pagerank, symbol.path, symbol.depth, symbol.line, symbol.key
    )


@dataclass(slots=True, eq=False)
class Entry:
    """One symbol that may go on the map."""

    symbol: MapSymbol
    tier: int
    text: str  # the printed line, indented
    tokens: int  # of that line, plus the file's line for a file's lead
    order: Order
    requires: Entry | None = None  # its enclosing symbol, or its file's lead


def _enclosing(rows: list[MapSymbol]) -> dict[int, int]:
    """For each symbol of one file (by id), the id of the innermost symbol one
    level up whose lines hold it; top-level symbols are left out."""
    return dict(containment([(row.id, row.line, row.end_line, row.depth, row.key) for row in rows]))


def _header(display: Callable[[bytes], tuple[str, str]], path: bytes) -> str:
    return printable(display(path)[1]) + ":"


def _tiers(connection: sqlite3.Connection, focus: Iterable[bytes]) -> tuple[set[int], dict[int, MapSymbol]]:
    """The ids of the focus files, and the symbols of the focus tiers by id."""
    wanted = set(focus)
    focus_ids = {row[0] for row in queries.parsed_files(connection) if row[1] in wanted}
    if not focus_ids:
        return focus_ids, {}
    near = {symbol.id: symbol for symbol in queries.map_neighbours(connection, focus_ids)}
    near.update((symbol.id, symbol) for symbol in queries.map_file_symbols(connection, focus_ids))
    return focus_ids, near


def candidates(
    connection: sqlite3.Connection,
    budget: int,
    display: Callable[[bytes], tuple[str, str]],
    focus: Iterable[bytes] = (),
    languages: Iterable[str] | None = None,
) -> list[Entry]:
    """The best-ordered symbols worth offering to the packer, best first,
    each after the symbol it must be shown under.

    Symbols are read from the most important down until the ones that are not
    minor add up to the wanted amount of text: minor ones come after all of
    them, so those read are the prefix of the order that reading every symbol
    would give.
    """
    wanted = CANDIDATE_BUDGETS * budget + CANDIDATE_EXTRA_TOKENS
    allowed = None if languages is None else set(languages)
    focus_ids, near = _tiers(connection, focus)
    chosen: dict[int, tuple[MapSymbol, int]] = {
        symbol.id: (symbol, FOCUS if symbol.file_id in focus_ids else NEIGHBOUR)
        for symbol in near.values()
        if allowed is None or symbol.language in allowed
    }
    found = 0
    offset = 0
    while found < wanted:
        page = queries.map_symbols(connection, allowed, offset, SYMBOLS_PER_READ)
        offset += len(page)
        for symbol in page:
            if symbol.id not in chosen:
                chosen[symbol.id] = (symbol, OTHER)
                if not is_minor(symbol):
                    found += line_tokens(INDENT * (symbol.depth + 1) + symbol.signature)
        if len(page) < SYMBOLS_PER_READ:
            break
    return _with_enclosing(connection, chosen, display)


def _with_enclosing(
    connection: sqlite3.Connection,
    chosen: dict[int, tuple[MapSymbol, int]],
    display: Callable[[bytes], tuple[str, str]],
) -> list[Entry]:
    """Entries for the `chosen` symbols and every symbol enclosing one, in
    map order: an enclosing symbol takes the best place of what it holds."""
    by_file: dict[int, list[MapSymbol]] = {}
    for symbol in queries.map_file_symbols(connection, {symbol.file_id for symbol, _tier in chosen.values()}):
        by_file.setdefault(symbol.file_id, []).append(symbol)
    entries: dict[int, Entry] = {}

    def entry_of(symbol: MapSymbol, tier: int) -> Entry:
        entry = entries.get(symbol.id)
        order = _order(symbol, tier)
        if entry is None:
            text = INDENT * (symbol.depth + 1) + printable(symbol.signature or f"{symbol.kind} {symbol.name}")
            entry = entries[symbol.id] = Entry(symbol, tier, text, line_tokens(text), order)
        elif order < entry.order:
            entry.order, entry.tier = order, tier
        return entry

    for rows in by_file.values():
        parents = _enclosing(rows)
        by_id = {row.id: row for row in rows}
        for row in rows:
            if row.id not in chosen:
                continue
            tier = chosen[row.id][1]
            entry = entry_of(row, tier)
            child, parent_id = entry, parents.get(row.id)
            while parent_id is not None:
                parent = entry_of(by_id[parent_id], tier)
                if child.order < parent.order:
                    # The enclosing symbol moves up to where what it holds stands; it still goes first.
                    parent.order = child.order[:5] + (parent.symbol.depth, parent.symbol.line, parent.symbol.key)
                    parent.tier = child.tier
                child.requires = parent
                child, parent_id = parent, parents.get(parent_id)
    ordered = sorted(entries.values(), key=lambda entry: entry.order)
    leads: dict[int, Entry] = {}
    for entry in ordered:
        lead = leads.setdefault(entry.symbol.file_id, entry)
        if lead is entry:
            entry.tokens += line_tokens(_header(display, entry.symbol.path))
        elif entry.requires is None:
            entry.requires = lead
    return ordered


def _greedy(entries: list[Entry], budget: int) -> list[Entry]:
    """The engine's greedy pick from `entries` (best first) within `budget`, in their order."""
    if not entries or budget < 1:
        return []
    items = [
        {
            "id": str(index),
            "file": str(entry.symbol.file_id),
            "score": float(len(entries) - index),
            "tokens": entry.tokens,
        }
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


def outline(chosen: list[Entry]) -> list[list[Entry]]:
    """The chosen entries by file: files in the order their leads were ranked,
    symbols in the order they appear in the file."""
    by_file: dict[int, list[Entry]] = {}
    for entry in chosen:
        by_file.setdefault(entry.symbol.file_id, []).append(entry)
    grouped = []
    for entries in by_file.values():
        entries.sort(key=lambda entry: (entry.symbol.line, entry.symbol.depth, entry.symbol.key))
        grouped.append(entries)
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
    for entries in outline(chosen):
        first = entries[0].symbol
        path, shown = display(first.path)
        header = _header(display, first.path)
        lines.append(header)
        symbols = []
        for entry in entries:
            lines.append(entry.text)
            symbols.append(
                {
                    "symbol_id": f"{path}:{entry.symbol.key}",
                    "symbol": entry.symbol.qualname,
                    "kind": entry.symbol.kind,
                    "line": entry.symbol.line,
                    "depth": entry.symbol.depth,
                    "importance": entry.symbol.importance,
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
                "focus": any(entry.tier == FOCUS for entry in entries),
                "pagerank": first.pagerank,
                "tokens": file_tokens,
                "symbols": symbols,
            }
        )
    text = "".join(line + "\n" for line in lines)
    return text, files, total
