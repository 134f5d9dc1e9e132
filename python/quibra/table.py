"""Plain-text tables for the terminal: columns padded to their widest cell."""

from __future__ import annotations


def format_table(headers: list[str], rows: list[list[str]], right_aligned: set[int]) -> str:
    """Rows under a header line; the columns in `right_aligned` (numbers) pad on the left."""
    widths = [max(len(cell) for cell in column) for column in zip(headers, *rows, strict=True)]

    def line(cells: list[str]) -> str:
        padded = (
            cell.rjust(width) if index in right_aligned else cell.ljust(width)
            for index, (cell, width) in enumerate(zip(cells, widths, strict=True))
        )
        return "  ".join(padded).rstrip()

    return "\n".join([line(headers), *(line(row) for row in rows)])
