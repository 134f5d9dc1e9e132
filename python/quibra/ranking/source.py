"""The source text of indexed symbols, read from the tree as the index saw it.

Lines are split the way the readers split them when they counted a
symbol's characters (`languages.text_lines`), so the text given for a
symbol is the text its token cost was counted from.
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

from quibra.index import queries
from quibra.index.storage import content_digest
from quibra.tree.files import open_tree_file, tree_parts
from quibra.tree.languages import text_lines


class SourceChanged(Exception):
    """The file's content is no longer what the index holds (or the file is gone)."""


@dataclass(frozen=True)
class SymbolSpan:
    path: bytes  # raw, as stored
    start_line: int
    end_line: int


def symbol_paths(symbol_id: str) -> list[tuple[str, str]]:
    """Every way to read `symbol_id` as "path:key" whose path is a path of the
    tree (`tree_parts`), the longest path first.

    Keys hold "::" (Rust, C++) and paths may hold ":", so every split at a
    colon is a reading.
    """
    splits = [index for index, char in enumerate(symbol_id) if char == ":"]
    return [
        (symbol_id[:index], symbol_id[index + 1 :]) for index in reversed(splits)
        if tree_parts(symbol_id[:index]) is not None
    ]


def symbol_leaves_tree(symbol_id: str) -> bool:
    """Whether `symbol_id` names no path of the tree: whatever part of it is
    the path (all of it, when it holds no colon) is absolute, climbs out
    with "..", or is no path at all."""
    if ":" not in symbol_id:
        return tree_parts(symbol_id) is None
    return not symbol_paths(symbol_id)


def find_symbol(connection: sqlite3.Connection, symbol_id: str) -> queries.FoundSymbol | None:
    """The row of the symbol named `symbol_id` ("path:key"), or None.

    Every reading of it (`symbol_paths`) is tried, the longest path first.
    """
    for path, key in symbol_paths(symbol_id):
        row = queries.find_symbol(connection, os.fsencode(path), key)
        if row is not None:
            return row
    return None


def current_lines(connection: sqlite3.Connection, root: Path, path: bytes) -> list[str] | None:
    """The lines of the file at `path` (raw, as stored) as its reader numbered
    them; None when its content hash is not the stored one (the tree moved
    since the index was refreshed) or it cannot be read."""
    row = queries.file_hash_and_language(connection, path)
    found = open_tree_file(root, path)
    if row is None or found is None or content_digest(found[0]) != row[0]:
        return None
    # Only a configuration file has no language, and it is read as UTF-8 as any other but Python.
    return text_lines(row[1] or "", found[0])


def read_spans(connection: sqlite3.Connection, root: Path, spans: Iterable[SymbolSpan]) -> list[str]:
    """The text of each span, each file read once.

    Raises SourceChanged when a file's content hash is not the stored one:
    the tree moved since the index was refreshed.
    """
    spans = list(spans)
    lines_by_path: dict[bytes, list[str]] = {}
    for path in dict.fromkeys(span.path for span in spans):
        lines = current_lines(connection, root, path)
        if lines is None:
            raise SourceChanged(os.fsdecode(path))
        lines_by_path[path] = lines
    return ["\n".join(lines_by_path[span.path][span.start_line - 1 : span.end_line]) for span in spans]
