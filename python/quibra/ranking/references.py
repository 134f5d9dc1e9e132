"""Who uses what, as an answer: a name's definitions, the references
resolved to them, and the calls around them, read from the index.

The references and calls were resolved when the index was refreshed
(quibra.index.resolve); here they are found, described and, where a
budget asks, cut to the tokens of their printed lines.
"""

from __future__ import annotations

import os
import re
import sqlite3
from collections.abc import Callable
from typing import Any

from quibra.index import queries
from quibra.tree.languages.model import REFERENCE_KINDS, tokens_of_characters

Entry = dict[str, Any]
_CALL = REFERENCE_KINDS.index("call")


def named(connection: sqlite3.Connection, name: str) -> list[queries.DefinedSymbol]:
    """The definitions `name` means: a symbol id (`path:key`), a place
    (`path:line`: the symbols whose lines hold it), a qualified name
    (`Class.method`, `Vec::new`) or a bare name."""
    for index, character in enumerate(name):
        if character != ":" or name[index - 1 : index] == ":" or name[index + 1 : index + 2] == ":":
            continue
        path, rest = name[:index], name[index + 1 :]
        raw = os.fsencode(path)
        if rest and queries.source_file_exists(connection, raw):
            if rest.isdigit():
                found = queries.definitions_at(connection, raw, int(rest), None)
                # The innermost of the symbols that hold the line.
                return sorted(found, key=lambda row: (row.end_line - row.line, row.key))[:1]
            return queries.definitions_at(connection, raw, None, rest)
    qualified = "." in name or "::" in name
    return queries.definitions_by_name(connection, name, qualified)


class References:
    """The answers about one index, with paths shown as `display` shows them
    and only the files `kept` accepts (by stored path and language)."""

    def __init__(
        self,
        connection: sqlite3.Connection,
        display: Callable[[bytes], tuple[str, str]],
        kept: Callable[[bytes, str], bool],
    ):
        self.connection = connection
        self.display = display
        self.kept = kept

    def symbol_id(self, row: queries.DefinedSymbol) -> str:
        return f"{self.display(row.path)[0]}:{row.key}"

    def place(self, raw: bytes, line: int) -> Entry:
        path, shown = self.display(raw)
        return {"path": path, "file": shown, "line": line}

    def definition(self, row: queries.DefinedSymbol) -> Entry:
        return {
            "symbol_id": self.symbol_id(row),
            "symbol": row.qualname,
            "kind": row.kind,
            "language": row.language,
            **self.place(row.path, row.line),
        }

    def of(self, name: str, callers: int = 0, callees: int = 0) -> Entry:
        """"definitions", "references", "unresolved" and, when asked, "callers" and "callees" of `name`."""
        connection = self.connection
        found = [row for row in named(connection, name) if self.kept(row.path, row.language)]
        found.sort(key=lambda row: (row.path, row.line, row.key))
        ids = {row.id: row for row in found}
        rows = [row for row in queries.references_to(connection, list(ids)) if self.kept(row.path, row.language)]
        scopes = {row.scope for row in rows if row.scope is not None}
        described = {row.id: row for row in queries.defined_symbols(connection, sorted(scopes))}
        described.update(ids)
        references = [
            {
                **self.place(row.path, row.line),
                "symbol": self.symbol_id(described[row.scope]) if row.scope in described else None,
                "kind": REFERENCE_KINDS[row.kind] if 0 <= row.kind < len(REFERENCE_KINDS) else "other",
                "target": self.symbol_id(ids[row.target]),
                "weight": row.weight,
            }
            for row in rows
        ]
        bare = re.split(r"::|\.|:", found[0].qualname if found else name)[-1]
        answer: Entry = {
            "definitions": [self.definition(row) for row in found],
            "references": references,
            # References that use the name but were resolved to no definition.
            "unresolved": queries.unresolved_count(connection, bare),
        }
        if callers:
            answer["callers"] = self.calls(list(ids), callers, up=True)
        if callees:
            answer["callees"] = self.calls(list(ids), callees, up=False)
        return answer

    def calls(self, start: list[int], depth: int, up: bool) -> list[Entry]:
        """The symbols that call `start` (`up`) or that `start` calls, breadth first to `depth`:
        each with its depth and the symbol it calls or is called by."""
        seen = set(start)
        frontier = start
        found: list[Entry] = []
        for level in range(1, depth + 1):
            if not frontier:
                break
            pairs = (queries.callers_of if up else queries.callees_of)(self.connection, frontier, _CALL)
            fresh = sorted({other for _near, other, _weight in pairs} - seen)
            rows = {row.id: row for row in queries.defined_symbols(self.connection, sorted({*fresh, *frontier}))}
            next_frontier = []
            for near, other, weight in sorted(pairs, key=lambda pair: (pair[1], pair[0])):
                row = rows.get(other)
                if other in seen or row is None or near not in rows or not self.kept(row.path, row.language):
                    continue
                seen.add(other)
                next_frontier.append(other)
                found.append(
                    {
                        **self.definition(row),
                        "depth": level,
                        ("calls" if up else "called_by"): self.symbol_id(rows[near]),
                        "weight": weight,
                    }
                )
            frontier = next_frontier
        found.sort(key=lambda entry: (entry["depth"], entry["path"], entry["line"], entry["symbol_id"]))
        return found


def reference_line(entry: Entry) -> str:
    """A reference or a call as one printed line: what a budget counts."""
    symbol = entry.get("symbol") or ""
    target = entry.get("target") or entry.get("calls") or entry.get("called_by") or ""
    return f"{entry['file']}:{entry['line']} {symbol} -> {target}"


def fit_references(answer: Entry, budget: int) -> int:
    """Cut the references, callers and callees of `answer` to `budget` tokens of
    their printed lines, in that order; how many were cut."""
    spent = sum(
        tokens_of_characters(len(reference_line({**entry, "symbol": entry["symbol_id"]})))
        for entry in answer["definitions"]
    )
    cut = 0
    for key in ("references", "callers", "callees"):
        entries = answer.get(key)
        if entries is None:
            continue
        kept = []
        for entry in entries:
            cost = tokens_of_characters(len(reference_line(entry)))
            if spent + cost > budget:
                cut += 1
                continue
            spent += cost
            kept.append(entry)
        answer[key] = kept
    return cut
