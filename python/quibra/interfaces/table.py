"""Plain-text tables for the terminal, sized to its width.

A table first gets every column at the width of its widest cell. When a
row would be wider than the screen, the columns marked droppable go first
(highest `drop` first, a group sharing a number together), then the
columns that may be cut lose characters, the widest first, down to their
narrowest. Without a width (a pipe, a file) nothing is dropped or cut:
names are never shortened where there is room for them.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import NamedTuple, TextIO

GAP = "  "

# SGR parameters of the styles used on a colour terminal.
BOLD = "1"
RED = "31"
GREEN = "32"
YELLOW = "33"
MAGENTA = "35"


# wcwidth is imported where text other than ASCII needs it, not at the top:
# loading it costs about a tenth of a warm query, and most tables are ASCII.


def display_width(text: str) -> int:
    """Columns `text` takes on a terminal, as wcwidth measures them: a wide
    (East Asian) character takes two, a mark drawn on the letter before it
    (an accent, a Thai vowel sign) none, an emoji sequence two."""
    if text.isascii():
        return len(text)
    from wcwidth import width

    return width(text)


def cut_middle(text: str, width: int, ellipsis: str) -> str:
    """`text` in `width` columns, its middle replaced by `ellipsis`: a qualified
    name keeps its class and its own name."""
    if display_width(text) <= width:
        return text
    room = max(width - display_width(ellipsis), 0)
    return _fitting(text, room - room // 2, from_end=False) + ellipsis + _fitting(text, room // 2, from_end=True)


def cut_start(text: str, width: int, ellipsis: str) -> str:
    """`text` in `width` columns, its start replaced by `ellipsis`: a path keeps its file name and line."""
    if display_width(text) <= width:
        return text
    return ellipsis + _fitting(text, max(width - display_width(ellipsis), 0), from_end=True)


def _fitting(text: str, width: int, from_end: bool) -> str:
    """The longest start of `text` (with `from_end`, its end) that fits in
    `width` columns, cut between graphemes: a letter with its marks, or an
    emoji sequence, is what a terminal shows as one and stays whole."""
    if text.isascii():
        return text[max(len(text) - width, 0) :] if from_end else text[:width]
    from wcwidth import iter_graphemes, iter_graphemes_reverse

    kept: list[str] = []
    used = 0
    for grapheme in iter_graphemes_reverse(text) if from_end else iter_graphemes(text):
        used += display_width(grapheme)
        if used > width:
            break
        kept.append(grapheme)
    return "".join(reversed(kept) if from_end else kept)


Cut = Callable[[str, int, str], str]


# Records are NamedTuples rather than dataclasses: a dataclass compiles its
# methods when the module loads, which a warm query would notice.


class Column(NamedTuple):
    header: str
    numeric: bool = False  # right-aligned
    drop: int = 0  # 0: always shown; otherwise dropped when the screen is narrow, highest first
    cut: Cut | None = None  # how a cell is shortened on a narrow screen; None: never
    narrowest: int = 0
    style: Callable[[str], str] | None = None  # the SGR parameters of a cell, "" for none


class Screen(NamedTuple):
    """Where a report is printed: its width in columns (None: no limit) and whether it shows colour."""

    width: int | None = None
    colour: bool = False
    ellipsis: str = "..."


def terminal_width(stream: TextIO) -> int | None:
    """The width of the terminal `stream` prints to (COLUMNS, when set, wins);
    None for a pipe or a file."""
    if not stream.isatty():
        return None
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        return int(columns)
    try:
        return os.get_terminal_size(stream.fileno()).columns or None
    except (OSError, ValueError):
        return None


def wants_colour(choice: str, stream: TextIO) -> bool:
    """Colour for `--color auto|always|never`: on auto, only on a terminal
    and not when NO_COLOR is set (to anything but the empty text)."""
    if choice != "auto":
        return choice == "always"
    return stream.isatty() and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


def screen_for(stream: TextIO, colour: str) -> Screen:
    encoding = (stream.encoding or "").lower().replace("-", "").replace("_", "")
    return Screen(terminal_width(stream), wants_colour(colour, stream), "…" if encoding == "utf8" else "...")


def paint(text: str, style: str, screen: Screen) -> str:
    return f"\x1b[{style}m{text}\x1b[0m" if screen.colour and style and text else text


def _layout(columns: list[Column], rows: list[list[str]], width: int | None) -> tuple[list[int], list[int]]:
    """(the indexes of the columns shown, the width of every column)."""
    widths = [max(display_width(cell) for cell in column) for column in zip(*rows, strict=True)]
    shown = list(range(len(columns)))
    if width is None:
        return shown, widths

    def total() -> int:
        return sum(widths[index] for index in shown) + len(GAP) * (len(shown) - 1)

    for drop in sorted({column.drop for column in columns if column.drop}, reverse=True):
        if total() <= width:
            break
        shown = [index for index in shown if columns[index].drop != drop]
    excess = total() - width
    while excess > 0:
        cuttable = [
            index
            for index in shown
            if columns[index].cut is not None and widths[index] > max(columns[index].narrowest, 1)
        ]
        if not cuttable:
            break
        widest = max(cuttable, key=lambda index: widths[index])
        widths[widest] -= 1
        excess -= 1
    return shown, widths


def format_table(columns: list[Column], rows: list[list[str]], screen: Screen) -> str:
    """Rows under a header line, fitted to the screen."""
    every = [[column.header for column in columns], *rows]
    shown, widths = _layout(columns, every, screen.width)

    def cell(text: str, index: int, header: bool) -> str:
        column = columns[index]
        if column.cut is not None:
            text = column.cut(text, widths[index], screen.ellipsis)
        padding = " " * max(widths[index] - display_width(text), 0)
        style = BOLD if header else column.style(text) if column.style is not None else ""
        painted = paint(text, style, screen)
        return padding + painted if column.numeric else painted + padding

    def line(cells: list[str], header: bool) -> str:
        return GAP.join(cell(cells[index], index, header) for index in shown).rstrip()

    return "\n".join([line(every[0], True), *(line(row, False) for row in rows)])
