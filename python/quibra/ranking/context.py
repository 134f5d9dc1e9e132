"""The packed context: the source of each ranked symbol, as a model is given it.

Each block is a header line `path:first-last`, the lines that stand for the
symbol (all of a function, the head of a class: its `context_lines`) and a
blank line: exactly the text whose tokens the packer counted, so blocks
printed one after the other never pass the budget. Files are read with the
decoding the index used, and only when their content hash is still the one
the index holds: a file changed since the last refresh would give other
lines than the ones counted and ranked.
"""

from __future__ import annotations

import sqlite3
from pathlib import Path
from typing import Any

from quibra.index.storage import encode_path
from quibra.ranking.rank import block_header, block_tokens
from quibra.ranking.source import current_lines


def context_block(entry: dict[str, Any], lines: list[str]) -> str | None:
    """The block of one ranked symbol; None when it is not the text its tokens counted."""
    first, last = entry["context_lines"]
    header = block_header(entry["file"], first, last)
    source = "\n".join(lines[first - 1 : last])
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
            lines_by_path[path] = current_lines(connection, root, encode_path(path))
        lines = lines_by_path[path]
        entry["context"] = None if lines is None else context_block(entry, lines)
        if entry["context"] is None and all(seen["path"] != path for seen in stale):
            stale.append({"path": path, "file": entry["file"]})
    return stale
