"""The per-file work of an index build: parse, extract, tokenize.

`extract_files` is what worker processes (or the workers of a Dask cluster)
run: it takes file contents, not paths, so a worker needs no access to the
tree, and it returns plain picklable records that the index stores as they
are. Nothing here touches the index.
"""

from __future__ import annotations

import contextlib
import gc
import importlib.util
import re
from collections.abc import Iterator
from dataclasses import dataclass

import _quibra_core as engine

from quibra.languages import LanguageUnavailable, read_source
from quibra.languages.model import SkipFile, Symbol


@dataclass(slots=True)
class IndexedSymbol:
    symbol: Symbol
    key: str  # the qualname, made unique within its file
    chars: int  # characters of its source lines
    name_key: str
    name_terms: list[str]  # distinct engine terms of its name, in order
    # The lexical index's fields, as blank-separated engine terms: the
    # qualified name, the signature, the docstring and the body's own text.
    fields: tuple[str, str, str, str]


@dataclass(slots=True)
class Extracted:
    path: str
    language: str
    symbols: list[IndexedSymbol]
    imports: list[object]
    skipped: str | None = None  # why the file gave nothing


def name_key(name: str) -> str:
    """A name as a query may spell it: lowercase letters and digits only
    (`raw_decode` and "raw decode" both give "rawdecode")."""
    return re.sub(r"[^0-9a-z]", "", name.lower())


def _text_lines(language: str, source: bytes) -> list[str]:
    if language == "python":
        # Honours the coding cookie and reads every line ending as "\n", as
        # ast does, so the lines match the line numbers it reports.
        return importlib.util.decode_source(source).split("\n")
    return source.decode("utf-8", "replace").split("\n")


def _own_line_ranges(symbols: list[Symbol]) -> list[list[tuple[int, int]]]:
    """For each symbol, its line ranges without the lines of the symbols nested in it.

    A class's own text is its header and class-level statements; its methods
    are indexed as symbols of their own.
    """
    order = sorted(range(len(symbols)), key=lambda i: (symbols[i].start_line, -symbols[i].end_line))
    children: list[list[int]] = [[] for _ in symbols]
    stack: list[int] = []
    for index in order:
        symbol = symbols[index]
        while stack and symbols[stack[-1]].end_line < symbol.start_line:
            stack.pop()
        if stack and symbols[stack[-1]].end_line >= symbol.end_line:
            children[stack[-1]].append(index)
        stack.append(index)
    ranges = []
    for index, symbol in enumerate(symbols):
        own, line = [], symbol.start_line
        for child in children[index]:
            inner = symbols[child]
            if inner.start_line > line:
                own.append((line, inner.start_line - 1))
            line = max(line, inner.end_line + 1)
        if line <= symbol.end_line:
            own.append((line, symbol.end_line))
        ranges.append(own)
    return ranges


def _terms(text: str) -> str:
    return " ".join(engine.tokenize(text))


def _indexed(symbols: list[Symbol], lines: list[str]) -> list[IndexedSymbol]:
    keys: set[str] = set()
    indexed = []
    for symbol, own in zip(symbols, _own_line_ranges(symbols), strict=True):
        # A name defined twice in one scope (property setters, version
        # switches) would otherwise merge two symbols into one.
        key = symbol.qualname if symbol.qualname not in keys else f"{symbol.qualname}@{symbol.line}"
        keys.add(key)
        source = "\n".join(lines[symbol.start_line - 1 : symbol.end_line])
        body = "\n".join("\n".join(lines[first - 1 : last]) for first, last in own)
        indexed.append(
            IndexedSymbol(
                symbol=symbol,
                key=key,
                chars=len(source),
                name_key=name_key(symbol.name),
                name_terms=list(dict.fromkeys(engine.tokenize(symbol.name))),
                fields=(
                    _terms(symbol.qualname),
                    _terms(symbol.signature),
                    _terms(symbol.docstring),
                    _terms(body),
                ),
            )
        )
    return indexed


def extract_file(path: str, language: str, source: bytes) -> Extracted:
    """Symbols, imports and index terms of one file; never raises for bad content."""
    try:
        extract = read_source(language, path, source)
        lines = _text_lines(language, source)
        symbols = _indexed(extract.symbols, lines)
    except (SkipFile, LanguageUnavailable) as reason:
        return Extracted(path, language, [], [], skipped=str(reason))
    except RecursionError:
        return Extracted(path, language, [], [], skipped="nested too deeply to parse")
    except (SyntaxError, UnicodeDecodeError, ValueError):
        return Extracted(path, language, [], [], skipped="not valid text")
    return Extracted(path, language, symbols, extract.imports)


@contextlib.contextmanager
def _cyclic_gc_paused() -> Iterator[None]:
    """Parsing allocates millions of short-lived nodes, and every few
    thousand allocations the collector would re-examine everything kept so
    far; parse trees hold no reference cycles, so reference counting alone
    frees them."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def extract_files(batch: list[tuple[str, str, bytes]]) -> list[Extracted]:
    """`extract_file` for each (path, language, content) of a batch: the unit of work of a worker."""
    with _cyclic_gc_paused():
        return [extract_file(path, language, source) for path, language, source in batch]
