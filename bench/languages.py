"""Extraction throughput of the language readers on real code, in MB of source a second on one core.

For each language: the reader (`read_source`: parse, one query, symbols,
metrics, doc comments, imports) and, as its peer, tree-sitter's parse
alone on the same bytes, which bounds what any reader on that grammar can
reach. The ratio is parse-alone time over reader time: 1.0 would mean the
reader costs nothing beyond the parse. Python's `ast` reader, the oracle
and fallback of its tree-sitter reader, reads the same files in a row of
its own, with `ast.parse` alone as its parse.

The code is what Debian packages install (see .ci/run); a language whose
package is missing is left out with a note.

    PYTHONPATH=python python bench/languages.py [--quick]
"""

from __future__ import annotations

import argparse
import ast
import json
import sys
import time
import zipfile
from collections.abc import Callable
from pathlib import Path

from quibra.languages import _module, check_source, python, read_source
from quibra.languages.model import FileExtract, SkipFile

# About this much source per language: enough for stable figures, little enough for a short run.
CORPUS_BYTES = 3_000_000


def _files(root: Path, patterns: tuple[str, ...]) -> list[tuple[str, bytes]]:
    found = [path for pattern in patterns for path in sorted(root.glob(pattern)) if path.is_file()]
    return [(str(path), path.read_bytes()) for path in found]


def _jdk_sources() -> list[tuple[str, bytes]]:
    archive = Path("/usr/lib/jvm/openjdk-17/lib/src.zip")
    if not archive.exists():
        return []
    with zipfile.ZipFile(archive) as sources:
        names = [name for name in sources.namelist() if name.startswith("java.base/java/util/") and name.endswith(".java")]
        return [(name, sources.read(name)) for name in sorted(names)]


# language -> (what the corpus is, a function returning (path, bytes) pairs)
CORPORA: dict[str, tuple[str, Callable[[], list[tuple[str, bytes]]]]] = {
    "go": ("Go std net/ (golang-src)", lambda: _files(Path("/usr/share/go-1.19/src/net"), ("**/*.go",))),
    "rust": (
        "regex-syntax and semver crates",
        lambda: _files(Path("/usr/share/cargo/registry"), ("regex-syntax-*/**/*.rs", "semver-*/**/*.rs")),
    ),
    "javascript": (
        "node-semver, then TypeScript's tsc.js",
        lambda: _files(Path("/usr/share/nodejs"), ("semver/**/*.js", "typescript/lib/tsc.js")),
    ),
    "typescript": ("TypeScript's lib.*.d.ts", lambda: _files(Path("/usr/share/nodejs/typescript/lib"), ("lib.*.d.ts",))),
    "java": ("JDK 17 java.util (openjdk-17-source)", _jdk_sources),
    "c": ("gnulib lib/*.c", lambda: _files(Path("/usr/share/gnulib/lib"), ("*.c",))),
    "cpp": ("googletest .cc and .h", lambda: _files(Path("/usr/src/googletest"), ("**/*.cc", "**/*.h"))),
    "python": ("CPython's standard library", lambda: _files(Path(json.__file__).parent.parent, ("*.py",))),
}

# Readers measured beside a language's own, on the same files: label -> (language, read, parse alone).
PEERS: dict[str, tuple[str, Callable[[str, bytes], FileExtract], Callable[[bytes], object]]] = {
    "python ast": ("python", python.read, ast.parse),
}


def _capped(files: list[tuple[str, bytes]]) -> list[tuple[str, bytes]]:
    kept, total = [], 0
    for path, source in files:
        if total >= CORPUS_BYTES:
            break
        kept.append((path, source))
        total += len(source)
    return kept


def best_seconds(run: Callable[[], object], rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def _read_all(language: str, files: list[tuple[str, bytes]]) -> int:
    symbols = 0
    for path, source in files:
        try:
            symbols += len(read_source(language, path, source).symbols)
        except SkipFile:
            pass
    return symbols


def _read_all_with(read: Callable[[str, bytes], FileExtract], files: list[tuple[str, bytes]]) -> int:
    symbols = 0
    for path, source in files:
        try:
            check_source(source)
            symbols += len(read(path, source).symbols)
        except SkipFile:
            pass
    return symbols


def _parse_all_with(parse: Callable[[bytes], object], files: list[tuple[str, bytes]]) -> None:
    for _, source in files:
        try:
            parse(source)
        except (SyntaxError, ValueError):
            pass


def _parse_all(language: str, files: list[tuple[str, bytes]]) -> Callable[[], object] | None:
    module = _module(language)
    grammars = [getattr(module, name) for name in ("GRAMMAR", "TSX_GRAMMAR") if hasattr(module, name)]
    if not grammars:
        return None
    parser = grammars[0].parser
    return lambda: [parser.parse(source) for _, source in files]


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--quick", action="store_true", help="one round instead of three")
    rounds = 1 if options.parse_args().quick else 3
    print(f"{'language':<11}{'corpus':<40}{'MB':>6}{'files':>7}{'symbols':>9}{'read MB/s':>11}"
          f"{'parse MB/s':>12}{'ratio':>7}")
    for language, (description, load) in CORPORA.items():
        files = _capped(load())
        if not files:
            print(f"{language:<11}{description:<40}  (not installed: skipped)")
            continue
        symbols = _read_all(language, files)
        read_seconds = best_seconds(lambda: _read_all(language, files), rounds)
        parse = _parse_all(language, files)
        parse_seconds = best_seconds(parse, rounds) if parse is not None else None
        _row(language, description, files, symbols, read_seconds, parse_seconds)
        for label, (peer_language, read, parse_alone) in PEERS.items():
            if peer_language == language:
                symbols = _read_all_with(read, files)
                read_seconds = best_seconds(lambda: _read_all_with(read, files), rounds)
                parse_seconds = best_seconds(lambda: _parse_all_with(parse_alone, files), rounds)
                _row(label, description, files, symbols, read_seconds, parse_seconds)


def _row(
    label: str,
    description: str,
    files: list[tuple[str, bytes]],
    symbols: int,
    read_seconds: float,
    parse_seconds: float | None,
) -> None:
    megabytes = sum(len(source) for _, source in files) / 1e6
    parse_column, ratio_column = f"{'-':>12}", f"{'-':>7}"
    if parse_seconds is not None:
        parse_column = f"{megabytes / parse_seconds:12.2f}"
        ratio_column = f"{parse_seconds / read_seconds:7.2f}"
    print(f"{label:<11}{description:<40}{megabytes:6.2f}{len(files):7d}{symbols:9d}"
          f"{megabytes / read_seconds:11.2f}{parse_column}{ratio_column}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
