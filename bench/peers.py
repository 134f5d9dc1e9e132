"""What the file-level benchmarks (public.py, localize.py) share: the trees as the peers see them,
the BM25 peers over symbols and over whole files, and the one place quibra's answer becomes files.

The peers are those of the SWE-bench retrieval baseline, made fair to code:
bm25s with identifiers split at underscores and case changes first (as
quality.py's "bm25s+split"), over the source text of each symbol that
quibra's readers find ("bm25 symbols") and over the whole text of each file
they read ("bm25 files"). Both read the same files: every file of the tree
in one of quibra's languages that its reader does not skip as generated or
binary.
"""

from __future__ import annotations

import hashlib
import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import bm25s  # type: ignore[import-untyped]
import numpy as np
import Stemmer  # type: ignore[import-not-found]

sys.path.insert(0, str(Path(__file__).resolve().parent))

from quality import split_identifiers  # noqa: E402
from quality_doc_comments import reader_symbols  # noqa: E402

# Characters per token when the peers pack what they rank into a budget.
CHARS_PER_TOKEN = 4
SYMBOL_PEER = "bm25 symbols"
FILE_PEER = "bm25 files"
RANKERS = ("quibra", SYMBOL_PEER, FILE_PEER)
PEERS = RANKERS[1:]


@dataclass(frozen=True)
class Span:
    """A ranked piece of code: a file's lines `start`..`end` (1-based, inclusive)."""

    path: str
    start: int
    end: int
    tokens: int = 0  # what it costs in a packed context

    def covers(self, path: str, line: int) -> bool:
        return self.path == path and self.start <= line <= self.end


@dataclass(frozen=True)
class TreeSymbol:
    path: str
    qualname: str
    kind: str
    line: int
    start_line: int
    end_line: int


@dataclass
class SourceFile:
    path: str
    language: str
    text: str
    symbols: list[TreeSymbol]

    @property
    def line_count(self) -> int:
        return self.text.count("\n") + (0 if self.text.endswith("\n") else 1)


def read_source_file(path: str, language: str, source: bytes) -> SourceFile | None:
    """One file as the peers see it; None for a file quibra's reader skips."""
    found = reader_symbols(language, path, source)
    if found is None:
        return None
    symbols = [
        TreeSymbol(path, symbol.qualname, symbol.kind, symbol.line, symbol.start_line, symbol.end_line)
        for symbol in found
    ]
    return SourceFile(path, language, source.decode("utf-8", "replace"), symbols)


def read_tree(root: Path) -> list[SourceFile]:
    """Every file under `root` that a quibra reader reads, in path order (paths relative to `root`)."""
    from quibra.tree.languages import language_of

    files = []
    for file in sorted(root.rglob("*")):
        relative = file.relative_to(root).as_posix()
        language = language_of(relative)
        if language is None or not file.is_file() or "/.git/" in f"/{relative}":
            continue
        read = read_source_file(relative, language, file.read_bytes())
        if read is not None:
            files.append(read)
    return files


def files_in_order(paths: Iterable[str], limit: int | None = None) -> list[str]:
    """The distinct paths in order of first appearance, at most `limit` of them."""
    seen: dict[str, None] = {}
    for path in paths:
        if path not in seen:
            seen[path] = None
            if limit is not None and len(seen) >= limit:
                break
    return list(seen)


def quibra_files(report: dict[str, Any], limit: int | None = None) -> list[str]:
    """The files of quibra's answer to a query, best first: the one place that turns its answer into files.

    quibra ranks symbols; until it ranks files itself, a file stands where
    its first symbol does.
    """
    return files_in_order((result["path"] for result in report["results"]), limit)


def quibra_spans(report: dict[str, Any]) -> list[Span]:
    """The pieces of quibra's packed context, in its order, with the lines it packed of each."""
    spans = []
    for result in report["results"]:
        start, end = result.get("context_lines") or (result["start_line"], result["end_line"])
        spans.append(Span(result["path"], start, end, result.get("tokens", 0)))
    return spans


def symbol_text(file: SourceFile, symbol: TreeSymbol, lines: list[str] | None = None) -> str:
    rows = lines if lines is not None else file.text.split("\n")
    return "\n".join(rows[symbol.start_line - 1 : symbol.end_line])


class Bm25Documents:
    """bm25s over a list of texts, identifiers split first, English stop words and stemmer (as quality.py's)."""

    def __init__(self, texts: Sequence[str]) -> None:
        self.stemmer = Stemmer.Stemmer("english")
        self.size = len(texts)
        self.retriever = bm25s.BM25()
        if texts:
            tokens = self._tokenize([split_identifiers(text) for text in texts], return_ids=True)
            self.retriever.index(tokens, show_progress=False)

    def _tokenize(self, texts: list[str], return_ids: bool) -> Any:
        return bm25s.tokenize(texts, stopwords="en", stemmer=self.stemmer, return_ids=return_ids, show_progress=False)

    def ranked(self, query: str, depth: int) -> list[int]:
        """Indices of the `depth` best texts with a score above zero, best first (ties in text order)."""
        if not self.size:
            return []
        vocabulary = self.retriever.vocab_dict
        terms = [term for term in self._tokenize([split_identifiers(query)], return_ids=False)[0] if term]
        terms = [term for term in terms if term in vocabulary]
        if not terms:
            return []
        scores = self.retriever.get_scores(terms)
        best = np.argsort(-scores, kind="stable")[:depth]
        return [int(i) for i in best if scores[i] > 0.0]


class SymbolPeer:
    """BM25 over the source text of every symbol of the tree; its spans are the symbols' lines."""

    name = SYMBOL_PEER

    def __init__(self, files: Sequence[SourceFile]) -> None:
        self.spans: list[Span] = []
        texts = []
        for file in files:
            lines = file.text.split("\n")
            for symbol in file.symbols:
                text = symbol_text(file, symbol, lines)
                texts.append(text)
                self.spans.append(Span(file.path, symbol.start_line, symbol.end_line, _tokens(text)))
        self.bm25 = Bm25Documents(texts)

    def search(self, query: str, depth: int) -> list[Span]:
        return [self.spans[i] for i in self.bm25.ranked(query, depth)]


class FilePeer:
    """BM25 over the whole text of every file of the tree; its spans are whole files."""

    name = FILE_PEER

    def __init__(self, files: Sequence[SourceFile]) -> None:
        self.spans = [Span(file.path, 1, max(1, file.line_count), _tokens(file.text)) for file in files]
        self.bm25 = Bm25Documents([f"{file.path}\n{file.text}" for file in files])

    def search(self, query: str, depth: int) -> list[Span]:
        return [self.spans[i] for i in self.bm25.ranked(query, depth)]


def _tokens(text: str) -> int:
    return max(1, -(-len(text) // CHARS_PER_TOKEN))


def pack(spans: Iterable[Span], budget: int) -> list[Span]:
    """The spans a peer's context of `budget` tokens holds: each whole, in rank order, skipping any that
    no longer fits."""
    packed = []
    left = budget
    for span in spans:
        if span.tokens <= left:
            packed.append(span)
            left -= span.tokens
    return packed


# Repositories that no benchmark, test or tuning of quibra may use, kept as the
# first 16 hex digits of the SHA-256 of their lowercase GitHub "owner/name" and
# of their short name, so that no benchmark spells them out. A list of
# repositories that comes from elsewhere goes through `held_out` first.
HELD_OUT = frozenset(
    {
        "008231aaf9995698",
        "118ed66320ca3720",
        "2869beca07619a28",
        "3a2ff84cb8bd8297",
        "3ef2c81d73621616",
        "44c3f6f83c39094f",
        "4b1cb9a625a5d4be",
        "4db6a8e1248f6a64",
        "53097d904e2fd1a8",
        "6aee0e678a168eea",
        "7ae31811b699aada",
        "8b917c4b6163bc82",
        "8f5a43fbbd9b85a2",
        "985adc4dc7d1150f",
        "a29ffcc7a645856a",
        "a3d1696c5c902827",
        "b87aa5270772708a",
        "e5c7ffac26fed654",
        "ec72420df5dfbdce",
    }
)


def name_digest(name: str) -> str:
    return hashlib.sha256(name.encode("utf-8")).hexdigest()[:16]


def held_out(repository: str) -> bool:
    """Whether a repository ("owner/name", or a benchmark's short name for it) is held out."""
    repository = repository.lower().removesuffix(".git").strip("/")
    name = repository.rpartition("/")[2]
    return name_digest(repository) in HELD_OUT or name_digest(name) in HELD_OUT
