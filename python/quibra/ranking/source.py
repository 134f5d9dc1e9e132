"""The source text of indexed symbols, read from the tree as the index saw it.

Lines are split the way the readers split them when they counted a
symbol's characters (`languages.text_lines`), so the text given for a
symbol is the text its token cost was counted from.
"""

from __future__ import annotations

import os
import re
import sqlite3
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from quibra.index.storage import content_digest
from quibra.tree.files import open_tree_file
from quibra.tree.languages import text_lines


class SourceChanged(Exception):
    """The file's content is no longer what the index holds (or the file is gone)."""


@dataclass(frozen=True)
class SymbolSpan:
    path: bytes  # raw, as stored
    start_line: int
    end_line: int


def leaves_tree(symbol_id: str) -> bool:
    """Whether the path part of `symbol_id` would lead out of the tree: absolute, or through "..".

    Checked on the whole id, as its path part is not known yet; no key has a ".." of its own.
    """
    return symbol_id.startswith("/") or ".." in re.split("[/:]", symbol_id)


def find_symbol(connection: sqlite3.Connection, symbol_id: str) -> tuple[Any, ...] | None:
    """The row of the symbol named `symbol_id` ("path:key"), or None.

    Keys hold "::" (Rust, C++) and paths may hold ":", so every split at a
    colon is tried, the longest path first.
    """
    splits = [index for index, char in enumerate(symbol_id) if char == ":"]
    for index in reversed(splits):
        row = connection.execute(
            "SELECT files.path, symbols.key, symbols.qualname, symbols.kind, files.language, symbols.line,"
            " symbols.start_line, symbols.end_line, symbols.signature, symbols.chars"
            " FROM files JOIN symbols ON symbols.file_id = files.id WHERE files.path = ? AND symbols.key = ?",
            (os.fsencode(symbol_id[:index]), symbol_id[index + 1 :]),
        ).fetchone()
        if row is not None:
            return tuple(row)
    return None


def current_lines(connection: sqlite3.Connection, root: Path, path: bytes) -> list[str] | None:
    """The lines of the file at `path` (raw, as stored) as its reader numbered
    them; None when its content hash is not the stored one (the tree moved
    since the index was refreshed) or it cannot be read."""
    row = connection.execute("SELECT hash, language FROM files WHERE path = ?", (path,)).fetchone()
    found = open_tree_file(root, path)
    if row is None or found is None or content_digest(found[0]) != row[0]:
        return None
    return text_lines(row[1], found[0])


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
