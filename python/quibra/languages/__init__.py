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
import re
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

from quibra.languages.model import FileExtract, SkipFile

Reader = Callable[[str, bytes], FileExtract]
Resolver = Callable[[Path, Mapping[str, list[object]], frozenset[str]], list[tuple[str, str]]]


@dataclass(frozen=True)
class Language:
    name: str
    module: str  # the module of this package that reads it
    suffixes: tuple[str, ...]
    # Files (by name) whose content changes how imports resolve: go.mod
    # names the module, tsconfig.json maps paths. The index watches them.
    config_files: tuple[str, ...] = ()
    # The module that reads the language when `module` cannot be loaded.
    fallback: str | None = None


_ECMASCRIPT_CONFIGS = ("tsconfig.json", "jsconfig.json")

LANGUAGES: dict[str, Language] = {
    language.name: language
    for language in (
        Language("python", "python_tree", (".py",), fallback="python"),
        Language("javascript", "javascript", (".js", ".mjs", ".cjs", ".jsx"), _ECMASCRIPT_CONFIGS),
        Language("typescript", "typescript", (".ts", ".mts", ".cts", ".tsx"), _ECMASCRIPT_CONFIGS),
        Language("go", "go", (".go",), ("go.mod",)),
        Language("rust", "rust", (".rs",)),
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
    """The language of the file at `path` (by its suffix), or None."""
    dot = path.rfind(".")
    if dot <= path.rfind("/"):
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
            loaded = importlib.import_module(f"quibra.languages.{language.module}")
        except Exception as error:  # noqa: BLE001 - any failure of a grammar package costs one language only
            if language.fallback is None:
                loaded = LanguageUnavailable(f"{UNAVAILABLE_READER}{name} reader: {type(error).__name__}: {error}")
            else:
                loaded = importlib.import_module(f"quibra.languages.{language.fallback}")
        _modules[name] = loaded
    if isinstance(loaded, LanguageUnavailable):
        raise loaded
    return loaded


# Past this, a line is minified or generated output, not code anyone searches.
LONGEST_LINE = 10_000
# Only the start of a file is looked at for the signs below.
_SNIFF_BYTES = 8192
_GENERATED = re.compile(rb"^\s*(?://|#|/\*|--)\s*Code generated .* DO NOT EDIT\.?", re.MULTILINE)


def check_source(source: bytes) -> None:
    """Raise SkipFile when `source` is binary, minified or marked as generated."""
    head = source[:_SNIFF_BYTES]
    if b"\0" in head:
        raise SkipFile("binary")
    if _GENERATED.search(head):
        raise SkipFile("generated")
    if len(source) > LONGEST_LINE and max(map(len, source.split(b"\n"))) > LONGEST_LINE:
        raise SkipFile("minified (a line over 10,000 characters)")


def text_lines(language: str, source: bytes) -> list[str]:
    """The lines of a file as its reader numbers them: Python decoded by its
    coding cookie with every line ending read as "\n" (as `ast` does), other
    languages as UTF-8, split at "\n" (as tree-sitter counts rows)."""
    if language == "python":
        return importlib.util.decode_source(source).split("\n")
    return source.decode("utf-8", "replace").split("\n")


def read_source(language: str, path: str, source: bytes) -> FileExtract:
    """Symbols and imports of one file; SkipFile when it is not worth indexing,
    LanguageUnavailable when its language cannot be read here."""
    check_source(source)
    reader: Reader = _module(language).read
    return reader(path, source)


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
