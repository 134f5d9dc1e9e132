"""Extraction throughput of the language readers on real code, in MB of source a second on one core.

For each language: the reader (`read_source`: parse, one query, symbols,
metrics, doc comments, imports) and, as its peer, tree-sitter's parse
alone on the same bytes, which bounds what any reader on that grammar can
reach. The ratio is parse-alone time over reader time: 1.0 would mean the
reader costs nothing beyond the parse. Python's `ast` reader, the oracle
and fallback of its tree-sitter reader, reads the same files in a row of
its own, with `ast.parse` alone as its parse.

The code is what Debian packages install (see .ci/run); a language whose
package is missing is left out with a note, and so are the files that the
readers skip as generated or minified.

    PYTHONPATH=python python bench/languages.py [--quick] [--only LANGUAGE ...]
"""

from __future__ import annotations

import argparse
import ast
import gc
import json
import sys
import time
import zipfile
from collections.abc import Callable
from functools import partial
from pathlib import Path

from quibra.tree.languages import _module, check_source, python, read_source
from quibra.tree.languages.model import FileExtract, SkipFile

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


def _read_by_readers(files: list[tuple[str, bytes]]) -> list[tuple[str, bytes]]:
    """The files a reader parses. Those it skips as generated or minified (Go's
    bundled h2_bundle.go) cost it only a look at their start: their bytes
    would flatter the figure."""
    kept = []
    for path, source in files:
        try:
            check_source(source)
        except SkipFile:
            continue
        kept.append((path, source))
    return kept


def _capped(files: list[tuple[str, bytes]]) -> list[tuple[str, bytes]]:
    kept, total = [], 0
    for path, source in files:
        if total >= CORPUS_BYTES:
            break
        kept.append((path, source))
        total += len(source)
    return kept


def best_seconds(runs: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """The best time of each run; the runs take turns, so that a busy spell
    of a shared machine falls on all of them alike."""
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(rounds):
        for name, run in runs.items():
            # As in an index build (extract.py), the cyclic collector is off while files are read.
            gc.disable()
            # CPU time of this process: other work on the machine slows it far less than the wall clock.
            start = time.process_time()
            run()
            best[name] = min(best[name], time.process_time() - start)
            gc.enable()
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
    options.add_argument("--quick", action="store_true", help="one round instead of five")
    options.add_argument("--only", nargs="+", choices=sorted(CORPORA), help="these languages only")
    arguments = options.parse_args()
    rounds = 1 if arguments.quick else 5
    print(f"{'language':<11}{'corpus':<40}{'MB':>6}{'files':>7}{'symbols':>9}{'read MB/s':>11}"
          f"{'parse MB/s':>12}{'ratio':>7}")
    for language, (description, load) in CORPORA.items():
        if arguments.only and language not in arguments.only:
            continue
        files = _capped(_read_by_readers(load()))
        if not files:
            print(f"{language:<11}{description:<40}  (not installed: skipped)")
            continue
        peers = {label: peer for label, peer in PEERS.items() if peer[0] == language}
        runs: dict[str, Callable[[], object]] = {"read": lambda: _read_all(language, files)}
        parse = _parse_all(language, files)
        if parse is not None:
            runs["parse"] = parse
        for label, (_, read, parse_alone) in peers.items():
            runs[f"{label} read"] = partial(_read_all_with, read, files)
            runs[f"{label} parse"] = partial(_parse_all_with, parse_alone, files)
        seconds = best_seconds(runs, rounds)
        _row(language, description, files, _read_all(language, files), seconds["read"], seconds.get("parse"))
        for label, (_, read, _) in peers.items():
            symbols = _read_all_with(read, files)
            _row(label, description, files, symbols, seconds[f"{label} read"], seconds[f"{label} parse"])


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
