"""What the index keeps of a file in one compressed value, rather than in rows.

A tree has millions of name uses and hundreds of thousands of symbols; a
row costs SQLite a header, a cell and an entry in every index, so a
file's references are one value of `file_refs`, and what its symbols gave
the full-text tables (kept only to take them out again) one of
`file_terms`, kept as only the distinct tokens that taking them out
again needs, of the fields the index keeps nowhere else. Both are zlib-compressed. Nothing here touches the index.
"""

from __future__ import annotations

import bisect
import itertools
import json
import re
import sys
import zlib
from array import array
from collections.abc import Iterable
from typing import NamedTuple

# Weights are kept in ten-thousandths: the resolution rounds them to four decimals.
WEIGHT_SCALE = 10_000

# The width of every packed integer: symbol ids, name ids and lines all fit.
_TYPECODE = "i"
_COLUMNS = 8  # line, kind, name, qualifier, scope, arity, others, targets
_LEVEL = 6


class PackedReference(NamedTuple):
    """One use of a name in a file, by ids, with the definitions it was resolved to."""

    line: int
    kind: int  # index in REFERENCE_KINDS
    name: int  # ref_names.id
    qualifier: int  # ref_names.id; 0 for a bare name
    scope: int  # symbols.id of the innermost enclosing symbol; 0 at file level
    arity: int  # the arguments a call passes; -1 where unknown or no call
    others: int  # the definitions it may mean beyond `targets`
    targets: tuple[tuple[int, int], ...]  # (symbols.id, weight in ten-thousandths), best first


# A reference as the resolution handles it: the fields of PackedReference, in its order.
ReferenceFields = tuple[int, int, int, int, int, int, int, tuple[tuple[int, int], ...]]


def weight_units(weight: float) -> int:
    return round(weight * WEIGHT_SCALE)


def weight_of(units: int) -> float:
    return units / WEIGHT_SCALE


def _compressed(values: array[int]) -> bytes:
    if sys.byteorder == "big":
        values.byteswap()
    return zlib.compress(values.tobytes(), _LEVEL)


def _decompressed(blob: bytes) -> array[int]:
    values = array(_TYPECODE)
    values.frombytes(zlib.decompress(blob))
    if sys.byteorder == "big":
        values.byteswap()
    return values


def pack_references(references: list[ReferenceFields]) -> bytes:
    """A file's references, in order, as one value: their count, then each
    field as a column (lines as steps from the line before), then the
    targets' ids and weights. Columns of alike numbers compress well."""
    count = len(references)
    values = array(_TYPECODE, [count])
    previous = 0
    for reference in references:
        values.append(reference[0] - previous)
        previous = reference[0]
    values.extend([reference[1] for reference in references])
    values.extend([reference[2] for reference in references])
    values.extend([reference[3] for reference in references])
    values.extend([reference[4] for reference in references])
    values.extend([reference[5] for reference in references])
    values.extend([reference[6] for reference in references])
    values.extend([len(reference[7]) for reference in references])
    values.extend([target for reference in references for target, _units in reference[7]])
    values.extend([units for reference in references for _target, units in reference[7]])
    return _compressed(values)


def unpack_references(blob: bytes) -> list[PackedReference]:
    """The references `pack_references` packed, in the same order."""
    values = _decompressed(blob)
    count = values[0]
    columns = [values[1 + column * count : 1 + (column + 1) * count] for column in range(_COLUMNS)]
    steps, kinds, names, qualifiers, scopes, arities, others, counts = columns
    flat = values[1 + _COLUMNS * count :]
    total = len(flat) // 2
    ids, units = flat[:total], flat[total:]
    if total:
        starts = list(itertools.accumulate(counts, initial=0))
        targets: Iterable[tuple[tuple[int, int], ...]] = (
            tuple(zip(ids[start:end], units[start:end], strict=True))
            for start, end in zip(starts, starts[1:], strict=False)
        )
    else:
        # References not resolved yet, or resolved to nothing: no targets to cut out.
        targets = itertools.repeat((), count)
    return list(
        map(PackedReference, itertools.accumulate(steps), kinds, names, qualifiers, scopes, arities, others, targets)
    )


def select_resolved(blob: bytes, wanted: set[int]) -> list[tuple[int, PackedReference]]:
    """The references `pack_references` packed that were resolved to one of
    `wanted`, each with its place among them: the same as picking them out
    of `unpack_references`, without making the others (a file that calls
    one function may hold thousands)."""
    values = _decompressed(blob)
    count = values[0]
    flat = values[1 + _COLUMNS * count :]
    total = len(flat) // 2
    ids, units = flat[:total], flat[total:]
    hits = [position for position, target in enumerate(ids) if target in wanted]
    if not hits:
        return []
    columns = [values[1 + column * count : 1 + (column + 1) * count] for column in range(_COLUMNS)]
    steps, kinds, names, qualifiers, scopes, arities, others, counts = columns
    starts = list(itertools.accumulate(counts, initial=0))
    lines = list(itertools.accumulate(steps))
    selected = []
    for index in sorted({bisect.bisect_right(starts, position) - 1 for position in hits}):
        start, end = starts[index], starts[index + 1]
        selected.append(
            (
                index,
                PackedReference(
                    lines[index], kinds[index], names[index], qualifiers[index], scopes[index], arities[index],
                    others[index], tuple(zip(ids[start:end], units[start:end], strict=True)),
                ),
            )
        )
    return selected


def unresolved_uses(blob: bytes, name: int) -> int:
    """How many of the references `pack_references` packed use the name
    `name` (a ref_names id) and were resolved to nothing."""
    values = _decompressed(blob)
    count = values[0]
    names = values[1 + 2 * count : 1 + 3 * count]
    counts = values[1 + 7 * count : 1 + 8 * count]
    return sum(1 for used, many in zip(names, counts, strict=True) if used == name and not many)


def resolved_pairs(blob: bytes) -> list[tuple[int, int]]:
    """What the references `pack_references` packed resolve to, as (scope,
    target symbol id) for each target of each, without unpacking the rest."""
    values = _decompressed(blob)
    count = values[0]
    scopes = values[1 + 4 * count : 1 + 5 * count]
    counts = values[1 + 7 * count : 1 + 8 * count]
    flat = values[1 + _COLUMNS * count :]
    ids = flat[: len(flat) // 2]
    sources = [scope for scope, many in zip(scopes, counts, strict=True) for _ in range(many)]
    return list(zip(sources, ids, strict=True))


# What the ascii tokenizer of the full-text tables takes as one token: a run
# of ASCII letters and digits and of any character beyond ASCII. Engine
# terms and name keys are made of nothing else.
TOKEN = re.compile(r"[0-9A-Za-z\x80-\U0010ffff]+")


def pack_terms(fields: list[tuple[list[str], list[str]]]) -> bytes:
    """What a file's symbols give the full-text tables and the index keeps
    nowhere else (their docstrings' and bodies' tokens, each a `TOKEN`), as
    much as taking them out again needs: for each symbol, in the file's
    order, how many tokens its docstring and its body hold, and the distinct
    tokens of each.

    A row of a full-text table that keeps no text leaves it when given
    tokens again: each distinct token of the row, in any column, and as many
    in each column as the row had (the table's average lengths count them).
    Their order and repeats do not matter, and most of a body is repeats."""
    rows = [
        [len(doc), len(body), " ".join(sorted(set(doc))), " ".join(sorted(set(body)))] for doc, body in fields
    ]
    return zlib.compress(json.dumps(rows, separators=(",", ":")).encode(), _LEVEL)


def _spread(distinct: str, size: int) -> str:
    """A column of `size` tokens that holds each of the tokens `distinct`
    (blank-separated), the first repeated where more are due."""
    tokens = distinct.split()
    if tokens:
        tokens += [tokens[0]] * (size - len(tokens))
    return " ".join(tokens[:size])


def unpack_terms(blob: bytes) -> list[tuple[str, str]]:
    """From what `pack_terms` packed: for each symbol a docstring and a body
    that take its rows out of the full-text tables (the same tokens, not in
    the same order)."""
    return [
        (_spread(str(doc), int(doc_size)), _spread(str(body), int(body_size)))
        for doc_size, body_size, doc, body in json.loads(zlib.decompress(blob))
    ]
