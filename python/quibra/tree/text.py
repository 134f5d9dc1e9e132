"""Text of a tree as one line a person can read.

File names come from the tree with the bytes that are not UTF-8 kept as
lone surrogates (Python's surrogateescape), and a name or a signature may
hold a newline or a tab: `printable` shows both, escaped, so that a map, a
table or a note keeps one entry on one line.
"""

from __future__ import annotations


def printable(text: str) -> str:
    """`text` as one printable line: bytes that are not UTF-8 as \\xNN, control
    characters (a newline or tab in a name) escaped."""
    text = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in text)
