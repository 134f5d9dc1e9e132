"""The packed context: the source of each ranked symbol, as a model is given it.

Each block is a header line `path:start-end`, the symbol's source lines and
a blank line: exactly the text whose tokens the packer counted, so blocks
printed one after the other never pass the budget. Files are read with the
decoding the index used, and only when their content hash is still the one
the index holds: a file changed since the last refresh would give other
lines than the ones counted and ranked.
"""

from __future__ import annotations

import os
import sqlite3
from pathlib import Path
from typing import Any

import _quibra_core as engine

from quibra.extract import _text_lines as text_lines
from quibra.rank import block_header, block_tokens
from quibra.storage import encode_path


def _read(path: Path) -> bytes | None:
    """The file's bytes, or None when it is gone or is no longer a regular file
    (a link put in its place is not followed out of the tree)."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        with os.fdopen(descriptor, "rb") as stream:
            return stream.read()
    except OSError:
        return None


def _current_lines(connection: sqlite3.Connection, root: Path, path: str) -> list[str] | None:
    """The file's lines as the index read them; None when its content moved since."""
    row = connection.execute(
        "SELECT hash, language FROM files WHERE path = ?", (encode_path(path),)
    ).fetchone()
    content = _read(root / path)
    if row is None or content is None or engine.content_hash(content) != row[0]:
        return None
    return text_lines(row[1], content)


def context_block(entry: dict[str, Any], lines: list[str]) -> str | None:
    """The block of one ranked symbol; None when it is not the text its tokens counted."""
    header = block_header(entry["file"], entry["start_line"], entry["end_line"])
    source = "\n".join(lines[entry["start_line"] - 1 : entry["end_line"]])
    if block_tokens(header, len(source)) != entry["tokens"]:
        return None
    return f"{header}\n{source}\n\n"


def attach_context(
    connection: sqlite3.Connection, root: Path, results: list[dict[str, Any]]
) -> list[dict[str, str]]:
    """Give each result its block under "context" (None for a file changed
    since the index was refreshed); those files, as "path" and "file"."""
    lines_by_path: dict[str, list[str] | None] = {}
    stale: list[dict[str, str]] = []
    for entry in results:
        path = entry["path"]
        if path not in lines_by_path:
            lines_by_path[path] = _current_lines(connection, root, path)
        lines = lines_by_path[path]
        entry["context"] = None if lines is None else context_block(entry, lines)
        if entry["context"] is None and all(seen["path"] != path for seen in stale):
            stale.append({"path": path, "file": entry["file"]})
    return stale
