"""The languages quibra reads, and the checks every source file passes first.

Each language lives in a module of this package with two functions:
`read(path, source) -> FileExtract` turns one file's bytes into symbols and
imports, and `resolve(root, files, paths) -> [(importer, imported), ...]`
turns the imports of all its files into edges between files of the tree.
Modules load on first use, so a grammar that fails to load costs only its
own language, or nothing where the language has a reader without one
(Python's `ast` reader stands in for its tree-sitter reader).
"""

from __future__ import annotations

import importlib
import importlib.util
import io
import itertools
import re
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

from quibra.tree.languages.model import FileExtract, SkipFile

Reader = Callable[[str, bytes], FileExtract]
Resolver = Callable[[Path, Mapping[str, list[object]], frozenset[str]], list[tuple[str, str]]]


@dataclass(frozen=True)
class Language:
    name: str
    module: str  # the module of this package that reads it
    suffixes: tuple[str, ...]
    # Files (by name) whose content changes how imports resolve: go.mod
    # names the module, Cargo.toml the crate, tsconfig.json maps paths,
    # package.json names a package. The index watches them.
    config_files: tuple[str, ...] = ()
    # The module that reads the language when `module` cannot be loaded.
    fallback: str | None = None


_ECMASCRIPT_CONFIGS = ("tsconfig.json", "jsconfig.json", "package.json")

LANGUAGES: dict[str, Language] = {
    language.name: language
    for language in (
        Language("python", "python_tree", (".py",), fallback="python"),
        Language("javascript", "javascript", (".js", ".mjs", ".cjs", ".jsx"), _ECMASCRIPT_CONFIGS),
        Language("typescript", "typescript", (".ts", ".mts", ".cts", ".tsx"), _ECMASCRIPT_CONFIGS),
        Language("go", "go", (".go",), ("go.mod",)),
        Language("rust", "rust", (".rs",), ("Cargo.toml",)),
        Language("java", "java", (".java",)),
        # A .h file is C unless its text shows C++: the c reader then reads it as C++.
        Language("c", "c", (".c", ".h")),
        Language("cpp", "cpp", (".cc", ".cpp", ".cxx", ".hpp", ".hh", ".hxx")),
    )
}

_BY_SUFFIX = {suffix: language.name for language in LANGUAGES.values() for suffix in language.suffixes}
CONFIG_FILE_NAMES = frozenset(name for language in LANGUAGES.values() for name in language.config_files)


# How the reason of a file whose reader could not load begins.
UNAVAILABLE_READER = "cannot load the "


class LanguageUnavailable(Exception):
    """A language's reader cannot be loaded (its grammar package is missing or broken)."""


def language_of(path: str) -> str | None:
    """The language of the file at `path` (by its suffix), or None; a name
    that is only a suffix (".py") has none, wherever it is."""
    dot = path.rfind(".")
    if dot <= path.rfind("/") + 1:
        return None
    return _BY_SUFFIX.get(path[dot:].lower())


def is_config_file(path: str) -> bool:
    return path.rsplit("/", 1)[-1] in CONFIG_FILE_NAMES


_modules: dict[str, ModuleType | LanguageUnavailable] = {}


def _module(name: str) -> ModuleType:
    loaded = _modules.get(name)
    if loaded is None:
        language = LANGUAGES[name]
        try:
            loaded = importlib.import_module(f"quibra.tree.languages.{language.module}")
        except Exception as error:  # noqa: BLE001 - any failure of a grammar package costs one language only
            if language.fallback is None:
                loaded = LanguageUnavailable(f"{UNAVAILABLE_READER}{name} reader: {type(error).__name__}: {error}")
            else:
                loaded = importlib.import_module(f"quibra.tree.languages.{language.fallback}")
        _modules[name] = loaded
    if isinstance(loaded, LanguageUnavailable):
        raise loaded
    return loaded


# Past this, a line is minified or generated output, not code anyone searches.
LONGEST_LINE = 10_000
# Only the start of a file is looked at for the signs below.
_SNIFF_BYTES = 8192
_GENERATED = re.compile(rb"^\s*(?://|#|/\*|--)\s*Code generated .* DO NOT EDIT\.?", re.MULTILINE)


# Generated code that carries no marker shows in its shape. Lines that
# differ only in their digits, this many in a row: code written by a loop
# (`def handler_1`, `def handler_2`, ...). The longest such run in the
# standard libraries of Python and Go, the Linux headers, gnulib's Unicode
# tables, googletest, TypeScript and the Rust crates is 1,220 lines (a
# table of gnulib's); in code under the size limit, 594.
LONGEST_REPEAT = 5_000
# And this many symbols at this many a line or more: one-line functions by
# the thousand. In those same trees no file of 2,000 symbols or more has
# more than one symbol in five lines, and none of 200 or more reaches nine
# in ten.
GENERATED_SYMBOLS = 2_000
GENERATED_SYMBOLS_PER_LINE = 0.5

_DIGITS = b"0123456789"


def _longest_repeat(source: bytes) -> int:
    """The most consecutive non-blank lines that are the same but for their digits."""
    lines = source.translate(None, _DIGITS).split(b"\n")
    return max((sum(1 for _ in run) for line, run in itertools.groupby(lines) if line.strip()), default=0)


def check_source(source: bytes) -> None:
    """Raise SkipFile when `source` is binary, minified or generated (marked so, or by its shape)."""
    head = source[:_SNIFF_BYTES]
    if b"\0" in head:
        raise SkipFile("binary")
    if _GENERATED.search(head):
        raise SkipFile("generated")
    if len(source) > LONGEST_LINE and max(map(len, source.split(b"\n"))) > LONGEST_LINE:
        raise SkipFile("minified (a line over 10,000 characters)")
    if source.count(b"\n") >= LONGEST_REPEAT:
        repeat = _longest_repeat(source)
        if repeat >= LONGEST_REPEAT:
            raise SkipFile(f"generated: {repeat:,} lines in a row that differ only in their digits")


def check_symbols(symbols: int, lines: int) -> None:
    """Raise SkipFile when a file holds symbols by the thousand, most lines one."""
    if symbols >= GENERATED_SYMBOLS and symbols >= GENERATED_SYMBOLS_PER_LINE * lines:
        raise SkipFile(f"generated: {symbols:,} symbols in {lines:,} lines")


def decoded_text(language: str, source: bytes) -> tuple[str, bool]:
    """The text of a file as its reader reads it, and whether bytes that are
    not valid UTF-8 were replaced (by U+FFFD) to read it at all.

    Python is decoded by its coding cookie with every line ending read as
    "\n" (as `ast` does); a file meant as UTF-8 that is not valid, as UTF-8
    with the bad bytes replaced. Other languages are UTF-8 with bad bytes
    replaced, as tree-sitter reads them."""
    if language == "python":
        try:
            return importlib.util.decode_source(source), False
        except (UnicodeDecodeError, SyntaxError):
            # SyntaxError: the cookie lines themselves are not valid UTF-8.
            text = source.decode("utf-8", "replace")
            return io.IncrementalNewlineDecoder(None, translate=True).decode(text, final=True), True
    try:
        return source.decode("utf-8"), False
    except UnicodeDecodeError:
        return source.decode("utf-8", "replace"), True


def text_lines(language: str, source: bytes) -> list[str]:
    """The lines of a file as its reader numbers them (see `decoded_text`),
    split at "\n" (as `ast` and tree-sitter count rows)."""
    return decoded_text(language, source)[0].split("\n")


def read_source(language: str, path: str, source: bytes) -> FileExtract:
    """Symbols and imports of one file; SkipFile when it is not worth indexing,
    LanguageUnavailable when its language cannot be read here.

    A Python file that is not valid in its encoding is read as UTF-8 with
    the bad bytes replaced, so one stray byte costs one character, not the
    file's every symbol."""
    check_source(source)
    reader: Reader = _module(language).read
    if language == "python":
        text, replaced = decoded_text(language, source)
        if replaced:
            source = text.encode("utf-8")
    extract = reader(path, source)
    check_symbols(len(extract.symbols), source.count(b"\n") + 1)
    return extract


def outside_tree(root: Path) -> list[str]:
    """What import resolution reads from outside the tree: the Python packages
    that enclose its root (an `__init__.py` above the root changes every
    module's name). A refresh resolves the edges again when this changes."""
    from quibra.tree.languages.python import package_prefix_above

    return package_prefix_above(root)


def resolve_edges(
    root: Path, imports: Mapping[str, Mapping[str, list[object]]], paths: frozenset[str]
) -> list[tuple[str, str]]:
    """Edges between files of the tree, for every language: `imports` maps a
    language to its files' imports. Sorted and without duplicates."""
    edges: set[tuple[str, str]] = set()
    for language in sorted(imports):
        try:
            resolver: Resolver = _module(language).resolve
        except LanguageUnavailable:
            continue
        edges.update(_within(paths, resolver(root, imports[language], paths)))
    return sorted(edges)


def _within(paths: frozenset[str], edges: Iterable[tuple[str, str]]) -> Iterable[tuple[str, str]]:
    return ((source, target) for source, target in edges if source != target and target in paths)
