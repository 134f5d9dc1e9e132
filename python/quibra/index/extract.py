"""The per-file work of an index build: parse, extract, tokenize.

`extract_files` is what worker processes (or the workers of a Dask cluster)
run: it takes file contents, not paths, so a worker needs no access to the
tree, and it returns plain picklable records that the index stores as they
are. Nothing here touches the index.
"""

from __future__ import annotations

import contextlib
import gc
import re
from collections.abc import Iterator
from dataclasses import dataclass, field

from quibra.index.packed import ReferenceFields, pack_references, pack_terms
from quibra.tree.languages import LanguageUnavailable, decoded_text, read_source
from quibra.tree.languages.model import (
    CONTAINER_KINDS,
    REFERENCE_KINDS,
    Reference,
    SkipFile,
    Symbol,
)
from quibra.tree.languages.standard import protocol_doc
from quibra.tree.terms import counted_terms, text_terms


@dataclass(slots=True)
class IndexedSymbol:
    symbol: Symbol
    key: str  # the qualname, made unique within its file
    context_end: int  # last line of the text that stands for it in a context
    chars: int  # characters of that text, from its start line
    name_key: str
    name_terms: list[str]  # distinct engine terms of its name, in order
    # The lexical index's fields, as blank-separated engine terms: the
    # qualified name, the signature, the docstring, the body's own text and
    # the file's path.
    fields: tuple[str, str, str, str, str]

    def __reduce__(self) -> tuple[object, tuple[object, ...]]:
        # Sent from the workers as plain tuples: a slotted dataclass is
        # pickled field by field through Python code, twice per symbol.
        symbol = self.symbol
        return _indexed_symbol, (
            (symbol.name, symbol.qualname, symbol.kind, symbol.line, symbol.start_line, symbol.end_line,
             symbol.depth, symbol.param_count, symbol.cyclomatic, symbol.max_nesting, symbol.signature,
             symbol.docstring, symbol.declaration),
            self.key, self.context_end, self.chars, self.name_key, self.name_terms, self.fields,
        )


def _indexed_symbol(
    symbol: tuple[str, str, str, int, int, int, int, int, int, int, str, str, bool],
    key: str,
    context_end: int,
    chars: int,
    name_key: str,
    name_terms: list[str],
    fields: tuple[str, str, str, str, str],
) -> IndexedSymbol:
    return IndexedSymbol(Symbol(*symbol), key, context_end, chars, name_key, name_terms, fields)


@dataclass(slots=True)
class Extracted:
    path: str
    language: str
    symbols: list[IndexedSymbol]
    imports: list[object]
    skipped: str | None = None  # why the file gave nothing
    # The names its references use and reach them through, each once, and
    # the references by those, packed as the index keeps references
    # (`packed.pack_references`, with no definitions yet): the name as its
    # index in `reference_texts`, the qualifier as its index plus one (0 for
    # a bare name), the scope as the index of the innermost enclosing symbol
    # in `symbols` (-1 at file level). The writer gives names and symbols
    # their ids only when the references are resolved (`writer.pending_uses`),
    # so the writing process never goes through them one by one.
    reference_texts: list[str] = field(default_factory=list)
    references: bytes = b""
    reference_count: int = 0
    replaced: bool = False  # read with bytes that are not valid UTF-8 replaced
    # What the symbols give the full-text tables and the index keeps nowhere
    # else, compressed (`packed.pack_terms`): made here, on the workers.
    terms: bytes = b""


KIND_CODES = {kind: code for code, kind in enumerate(REFERENCE_KINDS)}


def compact_references(references: list[Reference]) -> tuple[list[str], list[ReferenceFields]]:
    """The references that name something, as `Extracted` holds them before they are packed."""
    texts: dict[str, int] = {}
    other = KIND_CODES["other"]
    compact: list[ReferenceFields] = []
    for reference in references:
        if not reference.name:
            continue
        name = texts.setdefault(reference.name, len(texts))
        qualifier = texts.setdefault(reference.qualifier, len(texts)) + 1 if reference.qualifier else 0
        compact.append(
            (reference.line, KIND_CODES.get(reference.kind, other), name, qualifier, reference.scope, reference.arity, 0, ())
        )
    return list(texts), compact


def name_key(name: str) -> str:
    """A name as a query may spell it: lowercase letters and digits only
    (`raw_decode` and "raw decode" both give "rawdecode")."""
    return re.sub(r"[^0-9a-z]", "", name.lower())


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
    return " ".join(counted_terms(text))


# Methods that construct their class: what a query calls them by is the class's name.
CONSTRUCTORS = frozenset({"__init__", "__new__", "constructor", "new"})


def identity_name(symbol: Symbol) -> str:
    """The name a query would call the symbol by: a constructor by its
    class's name; a special method (`__str__`, `__eq__`) by none at all,
    since its name is an accident of the protocol, not what it does."""
    return _identity(symbol.name, symbol.kind, symbol.qualname)


def _identity(name: str, kind: str, qualname: str) -> str:
    if kind == "method" and name in CONSTRUCTORS:
        owner = re.split(r"::|\.", qualname)
        # A macro template's `impl $name` names its type only where the macro is used.
        return owner[-2] if len(owner) > 1 and not owner[-2].startswith("$") else name
    if name.startswith("__") and name.endswith("__"):
        return ""
    return name


def identity_key(name: str, kind: str, qualname: str) -> str:
    """The name key (`name_key`) of the identity name of a symbol of `name`, `kind` and `qualname`."""
    return name_key(_identity(name, kind, qualname))


def head_terms(qualname: str, signature: str) -> tuple[str, str]:
    """The lexical index's terms of a symbol's qualified name and signature."""
    return _terms(qualname), _terms(signature)


def path_terms(path: str) -> str:
    """The file's path without its suffix: `http/cookies.py` says what its code is about."""
    # A name that is not valid UTF-8 still has words; the bytes that are not are left out.
    text = path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    stem, dot, suffix = text.rpartition(".")
    return _terms(stem if dot and "/" not in suffix else text)


def context_end(symbol: Symbol, own: list[tuple[int, int]], lines: list[str]) -> int:
    """The last line of the text that stands for `symbol` in a model's context.

    A function is its whole source. A class, struct or interface is its
    head, up to its first member: the members are symbols of their own, and
    a class with its methods would count their lines twice.
    """
    if symbol.kind not in CONTAINER_KINDS or not own or own[0][1] == symbol.end_line:
        return symbol.end_line
    first, last = own[0]
    while last > first and not lines[last - 1].strip():
        last -= 1
    return last


def _indexed(
    path: str, language: str, symbols: list[Symbol], lines: list[str]
) -> tuple[list[IndexedSymbol], bytes]:
    """The symbols as the index takes them, and what they give the
    full-text tables that it keeps nowhere else (`packed.pack_terms`)."""
    keys: set[str] = set()
    kept: list[tuple[list[str], list[str]]] = []
    paths = path_terms(path)
    indexed = []
    for symbol, own in zip(symbols, _own_line_ranges(symbols), strict=True):
        # A name defined twice in one scope (property setters, version
        # switches) would otherwise merge two symbols into one.
        key = symbol.qualname if symbol.qualname not in keys else f"{symbol.qualname}@{symbol.line}"
        keys.add(key)
        last = context_end(symbol, own, lines)
        source = "\n".join(lines[symbol.start_line - 1 : last])
        doc = counted_terms(symbol.docstring or protocol_doc(language, symbol))
        body = counted_terms("\n".join("\n".join(lines[first - 1 : last]) for first, last in own))
        kept.append((doc, body))
        indexed.append(
            IndexedSymbol(
                symbol=symbol,
                key=key,
                context_end=last,
                chars=len(source),
                name_key=name_key(identity_name(symbol)),
                name_terms=list(dict.fromkeys(text_terms(identity_name(symbol)))),
                fields=(
                    *head_terms(symbol.qualname, symbol.signature),
                    " ".join(doc),
                    " ".join(body),
                    paths,
                ),
            )
        )
    return indexed, pack_terms(kept) if kept else b""


def extract_file(path: str, language: str, source: bytes) -> Extracted:
    """Symbols, imports, references and index terms of one file; never raises for bad content."""
    try:
        extract = read_source(language, path, source)
        text, replaced = decoded_text(language, source)
        symbols, terms = _indexed(path, language, extract.symbols, text.split("\n"))
    except (SkipFile, LanguageUnavailable) as reason:
        return Extracted(path, language, [], [], skipped=str(reason))
    except RecursionError:
        return Extracted(path, language, [], [], skipped="nested too deeply to parse")
    except (SyntaxError, UnicodeDecodeError, ValueError):
        return Extracted(path, language, [], [], skipped="not valid text")
    texts, references = compact_references(extract.references)
    return Extracted(
        path, language, symbols, extract.imports, replaced=replaced, reference_texts=texts,
        references=pack_references(references) if references else b"", reference_count=len(references), terms=terms,
    )


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
