"""Retrieval quality of quibra against BM25 peers, measured in the same run.

python bench/quality.py [--corpus NAME] [--set NAME] [--limit N] [--budget B] [--json FILE] [--show-misses K]

Corpora are copied into a scratch folder: standard-library packages of the
running Python (quality_corpus.py), and Go, Rust, JavaScript, TypeScript and
Java sources that Debian packages install (quality_doc_comments.py); a
corpus whose package is missing is skipped with a warning. Two query sets:

- docstring queries, in the manner of CodeSearchNet: the first sentence of a
  function's docstring or doc comment, whose one right answer is that
  function, asked of a copy of the tree with every docstring and doc comment
  blanked; MRR@10, R@1 and R@10;
- navigational queries written by hand (quality_queries.py), asked of the
  tree as it is; hits@3 and hits@10; the set written later is reported on
  its own ("navigational-later"), as a check that a change made while
  reading the first set's misses holds on queries it was not made for.

The peers rank the same symbols by their source text with bm25s (its default
tokenizer, English stop words, the Snowball English stemmer): "bm25s" as it
comes, "bm25s+split" with identifiers split at underscores and case changes
first. Each table groups the corpora by language, with a macro average per
language and over all corpora, and ends each row with quibra's figure divided
by the better peer's.
"""

from __future__ import annotations

import argparse
import importlib
import json
import random
import re
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Protocol

import bm25s  # type: ignore[import-untyped]
import numpy as np
import Stemmer  # type: ignore[import-not-found]

sys.path.insert(0, str(Path(__file__).resolve().parent))

from quality_corpus import CORPORA as PYTHON_CORPORA  # noqa: E402
from quality_corpus import CorpusError, DocstringQuery, Symbol  # noqa: E402
from quality_doc_comments import PACKAGE_CORPORA, PackageMissing  # noqa: E402
from quality_queries import LATER_NAVIGATIONAL_QUERIES, NAVIGATIONAL_QUERIES  # noqa: E402

# Every figure looks at the first TOP results of a ranking.
TOP = 10
DEFAULT_BUDGET = 8000
# A corpus whose docstrings give fewer queries than this (semver documents its
# types, not its functions) would put noise into the docstring table.
MIN_DOCSTRING_QUERIES = 20

Location = tuple[str, int]  # tree-relative path, line of the definition (a `def` or `class`, a function's name)


class BenchmarkError(Exception):
    pass


class Corpus(Protocol):
    """A tree of real code, with what the benchmark needs to know about its language."""

    @property
    def name(self) -> str: ...

    @property
    def language(self) -> str: ...

    def origin(self) -> str: ...

    def copy_to(self, destination: Path) -> None: ...

    def read_symbols(self, root: Path) -> list[Symbol]: ...

    def write_blanked_copy(self, original: Path, destination: Path) -> None: ...

    def docstring_queries(self, root: Path) -> list[DocstringQuery]: ...

    def symbol_sources(self, root: Path, symbols: list[Symbol]) -> list[str]: ...

    def resolve_answer(self, answer: str, symbols: list[Symbol]) -> list[Symbol]: ...


CORPORA: tuple[Corpus, ...] = (*PYTHON_CORPORA, *PACKAGE_CORPORA)


class Ranker(Protocol):
    name: str

    def search(self, query: str) -> list[Location]: ...


class QuibraRanker:
    """quibra's own index of a tree, asked through its Python API: the one place this benchmark runs quibra."""

    name = "quibra"

    def __init__(self, root: Path, index_file: Path, budget: int) -> None:
        try:
            index_type = importlib.import_module("quibra").Index
        except (ImportError, AttributeError, SyntaxError) as error:
            raise BenchmarkError(
                f"the quibra found here has no usable Python API (quibra.Index): {error}; "
                "run with the quibra package that provides it"
            ) from error
        self.budget = budget
        self.short_lists = 0  # rankings that came back with fewer than TOP results
        self.index = index_type(root, index_file=index_file)
        self.index.refresh()

    def search(self, query: str) -> list[Location]:
        results = self.index.rank(query, budget=self.budget)["results"][:TOP]
        if len(results) < TOP:
            self.short_lists += 1
        return [(result["path"], result["line"]) for result in results]


_CASE_CHANGE = re.compile(r"(?<=[a-z])(?=[A-Z])")


def split_identifiers(text: str) -> str:
    """Identifiers taken apart at underscores and lower-to-upper case changes: `getUserName` -> `get User Name`."""
    return _CASE_CHANGE.sub(" ", text.replace("_", " "))


def _unchanged(text: str) -> str:
    return text


class Bm25Ranker:
    """bm25s over the source text of each symbol, with its default tokenizer, stop words and stemmer."""

    def __init__(self, name: str, symbols: Sequence[Symbol], sources: Sequence[str], split: bool) -> None:
        self.name = name
        self.locations = [symbol.location for symbol in symbols]
        self.analyze: Callable[[str], str] = split_identifiers if split else _unchanged
        self.stemmer = Stemmer.Stemmer("english")
        tokens = self._tokenize([self.analyze(source) for source in sources], return_ids=True)
        self.retriever = bm25s.BM25()
        self.retriever.index(tokens, show_progress=False)

    def _tokenize(self, texts: list[str], return_ids: bool) -> Any:
        return bm25s.tokenize(texts, stopwords="en", stemmer=self.stemmer, return_ids=return_ids, show_progress=False)

    def search(self, query: str) -> list[Location]:
        vocabulary = self.retriever.vocab_dict
        terms = [term for term in self._tokenize([self.analyze(query)], return_ids=False)[0] if term in vocabulary]
        # bm25s keeps an empty term for documents without any; a query has no use for it.
        terms = [term for term in terms if term]
        if not terms:
            return []
        scores = self.retriever.get_scores(terms)
        best = np.argsort(-scores, kind="stable")[:TOP]
        return [self.locations[i] for i in best if scores[i] > 0.0]


# --- Query sets and figures ----------------------------------------------------------------------


@dataclass(frozen=True)
class Query:
    text: str
    answers: frozenset[Location]
    label: str  # the answers as a reader knows them


Metric = Callable[[int | None], float]  # from the 1-based rank of the first right answer (None: not in the top)


@dataclass(frozen=True)
class QuerySet:
    name: str
    title: str
    metrics: dict[str, Metric]


DOCSTRING_SET = QuerySet(
    "docstring",
    "docstring queries, docstrings blanked",
    {
        "MRR@10": lambda rank: 1.0 / rank if rank else 0.0,
        "R@1": lambda rank: float(rank == 1),
        "R@10": lambda rank: float(rank is not None),
    },
)
NAVIGATIONAL_METRICS: dict[str, Metric] = {
    "hits@3": lambda rank: float(rank is not None and rank <= 3),
    "hits@10": lambda rank: float(rank is not None),
}
NAVIGATIONAL_SET = QuerySet("navigational", "navigational queries, docstrings kept", NAVIGATIONAL_METRICS)
LATER_NAVIGATIONAL_SET = QuerySet(
    "navigational-later", "navigational queries written later, docstrings kept", NAVIGATIONAL_METRICS
)
QUERY_SETS = (DOCSTRING_SET, NAVIGATIONAL_SET, LATER_NAVIGATIONAL_SET)


def first_right_rank(hits: list[Location], answers: frozenset[Location]) -> int | None:
    return next((position for position, hit in enumerate(hits[:TOP], start=1) if hit in answers), None)


@dataclass
class SetRun:
    """One query set asked of one corpus: every ranker's results for every query."""

    corpus: str
    language: str
    query_set: QuerySet
    queries: list[Query]
    symbols: dict[Location, Symbol]
    hits: dict[str, list[list[Location]]] = field(default_factory=dict)
    seconds: dict[str, float] = field(default_factory=dict)
    short_lists: int = 0

    def ranks(self, ranker: str) -> list[int | None]:
        return [first_right_rank(hits, query.answers) for hits, query in zip(self.hits[ranker], self.queries)]

    def figures(self, ranker: str) -> dict[str, float]:
        ranks = self.ranks(ranker)
        return {name: _mean([metric(rank) for rank in ranks]) for name, metric in self.query_set.metrics.items()}


def _mean(values: Sequence[float]) -> float:
    return sum(values) / len(values) if values else 0.0


def sample(queries: list[Query], limit: int | None, seed: str) -> list[Query]:
    """`limit` of the queries, the same ones on every run with the same seed, in their original order."""
    if limit is None or len(queries) <= limit:
        return queries
    chosen = random.Random(seed).sample(range(len(queries)), limit)
    return [queries[i] for i in sorted(chosen)]


def _label(symbol: Symbol) -> str:
    return f"{symbol.path}:{symbol.line} {symbol.qualname}"


def navigational_queries(
    corpus: Corpus, symbols: list[Symbol], written: dict[str, tuple[tuple[str, tuple[str, ...]], ...]]
) -> list[Query]:
    """The hand-written queries of the corpus, their answers found in this copy of it.

    An answer this copy does not define (the library changed) is left out
    with a warning; a query left with none is dropped.
    """
    queries = []
    for text, answers in written.get(corpus.name, ()):
        found: list[Symbol] = []
        for answer in answers:
            resolved = corpus.resolve_answer(answer, symbols)
            if not resolved:
                print(f"quality: warning: {corpus.name}: {answer} is not defined in this copy", file=sys.stderr)
            found.extend(resolved)
        if found:
            label = ", ".join(dict.fromkeys(f"{s.path} {s.qualname}" for s in found))
            queries.append(Query(text, frozenset(s.location for s in found), label))
    return queries


def _run_set(run: SetRun, symbols: list[Symbol], sources: list[str], tree: Path, scratch: Path, budget: int) -> SetRun:
    started = time.perf_counter()
    quibra = QuibraRanker(tree, scratch / f"{run.corpus}-{run.query_set.name}.index", budget)
    rankers: list[Ranker] = [quibra]
    run.seconds["quibra index"] = time.perf_counter() - started
    rankers += [Bm25Ranker("bm25s", symbols, sources, False), Bm25Ranker("bm25s+split", symbols, sources, True)]
    for ranker in rankers:
        started = time.perf_counter()
        run.hits[ranker.name] = [ranker.search(query.text) for query in run.queries]
        run.seconds[ranker.name] = time.perf_counter() - started
    run.short_lists = quibra.short_lists
    return run


def run_corpus(
    corpus: Corpus, scratch: Path, limit: int | None, seed: int, budget: int, sets: Sequence[QuerySet] = QUERY_SETS
) -> list[SetRun]:
    original = scratch / corpus.name / "original"
    blanked = scratch / corpus.name / "blanked"
    corpus.copy_to(original)
    corpus.write_blanked_copy(original, blanked)
    # Blanking keeps every definition on its lines, so one list of symbols serves both trees.
    symbols = corpus.read_symbols(original)
    by_location = {symbol.location: symbol for symbol in symbols}
    from_docstrings = [
        Query(query.text, frozenset({query.answer.location}), _label(query.answer))
        for query in corpus.docstring_queries(original)
    ]
    if len(from_docstrings) < MIN_DOCSTRING_QUERIES:
        print(
            f"quality: warning: {corpus.name}: {len(from_docstrings)} docstring queries are too few for figures;"
            " it has none in that table",
            file=sys.stderr,
        )
        from_docstrings = []
    runs = []
    for query_set, tree, queries in (
        (DOCSTRING_SET, blanked, from_docstrings),
        (NAVIGATIONAL_SET, original, navigational_queries(corpus, symbols, NAVIGATIONAL_QUERIES)),
        (LATER_NAVIGATIONAL_SET, original, navigational_queries(corpus, symbols, LATER_NAVIGATIONAL_QUERIES)),
    ):
        if query_set not in sets:
            continue
        chosen = sample(queries, limit, f"{seed}/{corpus.name}/{query_set.name}")
        if not chosen:
            continue
        sources = corpus.symbol_sources(tree, symbols)
        run = SetRun(corpus.name, corpus.language, query_set, chosen, by_location)
        _run_set(run, symbols, sources, tree, scratch, budget)
        timings = ", ".join(f"{name} {seconds:.1f} s" for name, seconds in run.seconds.items())
        print(f"{corpus.name}: {len(chosen)} {query_set.name} queries; {timings}", file=sys.stderr)
        runs.append(run)
    return runs


# --- Report --------------------------------------------------------------------------------------

RANKERS = ("quibra", "bm25s", "bm25s+split")
PEERS = RANKERS[1:]


def _ratios(figures: dict[str, dict[str, float]]) -> dict[str, float | None]:
    """quibra's figure over the better peer's, per metric; None when no peer scores at all."""
    ratios: dict[str, float | None] = {}
    for metric, value in figures["quibra"].items():
        best_peer = max(figures[peer][metric] for peer in PEERS)
        ratios[metric] = value / best_peer if best_peer > 0.0 else None
    return ratios


def _entry(run: SetRun) -> dict[str, Any]:
    figures = {ranker: run.figures(ranker) for ranker in RANKERS}
    return {
        "language": run.language,
        "queries": len(run.queries),
        "quibra_short_lists": run.short_lists,
        "seconds": run.seconds,
        "figures": figures,
        "quibra_over_best_peer": _ratios(figures),
        # Each query's first right place in quibra's list (None past TOP), so
        # that two runs can be compared query by query.
        "quibra_ranks": [[query.text, rank] for query, rank in zip(run.queries, run.ranks("quibra"), strict=True)],
    }


def _macro(entries: list[dict[str, Any]], metrics: Iterable[str]) -> dict[str, Any]:
    """The mean of each figure over `entries`, each corpus counting once whatever its number of queries."""
    figures = {
        ranker: {metric: _mean([entry["figures"][ranker][metric] for entry in entries]) for metric in metrics}
        for ranker in RANKERS
    }
    return {
        "queries": sum(entry["queries"] for entry in entries),
        "quibra_short_lists": sum(entry["quibra_short_lists"] for entry in entries),
        "figures": figures,
        "quibra_over_best_peer": _ratios(figures),
    }


def summarize(query_set: QuerySet, runs: list[SetRun]) -> dict[str, Any]:
    """Figures per corpus, their macro average per language and over all corpora, for one query set."""
    corpora = {run.corpus: _entry(run) for run in runs}
    languages = {
        language: _macro([entry for entry in corpora.values() if entry["language"] == language], query_set.metrics)
        for language in dict.fromkeys(run.language for run in runs)
    }
    return {
        "title": query_set.title,
        "metrics": list(query_set.metrics),
        "corpora": corpora,
        "languages": languages,
        "total": _macro(list(corpora.values()), query_set.metrics),
    }


NAME_WIDTH = 20


def _row(name: str, entry: dict[str, Any], metrics: list[str]) -> str:
    cells = [f"{name:<{NAME_WIDTH}}{entry['queries']:>7}"]
    for ranker in RANKERS:
        cells.append(" ".join(f"{entry['figures'][ranker][metric]:6.3f}" for metric in metrics))
    ratios = entry["quibra_over_best_peer"].values()
    cells.append(" ".join(f"{'-' if r is None else f'x{r:.2f}':>6}" for r in ratios))
    return "   ".join(cells)


def print_table(summary: dict[str, Any]) -> None:
    """One row per corpus, grouped by language; a language of several corpora adds its macro average."""
    metrics: list[str] = summary["metrics"]
    width = 7 * len(metrics) - 1
    print(f"== {summary['title']}: {' / '.join(metrics)} ==")
    header = [
        f"{'corpus':<{NAME_WIDTH}}{'queries':>7}",
        *(f"{name:<{width}}" for name in (*RANKERS, "quibra / best peer")),
    ]
    print("   ".join(header))
    for language, language_entry in summary["languages"].items():
        members = {name: entry for name, entry in summary["corpora"].items() if entry["language"] == language}
        for corpus, entry in members.items():
            print(_row(corpus, entry, metrics))
        if len(members) > 1:
            print(_row(f"{language} (macro)", language_entry, metrics))
    print(_row("total (macro)", summary["total"], metrics))
    total = summary["total"]
    print(f"quibra returned fewer than {TOP} results for {total['quibra_short_lists']} of {total['queries']} queries")
    print()


def _describe(location: Location, symbols: dict[Location, Symbol]) -> str:
    symbol = symbols.get(location)
    return _label(symbol) if symbol else f"{location[0]}:{location[1]} (not a symbol of the tree)"


def print_misses(run: SetRun, count: int) -> None:
    """The queries where quibra places the right answer furthest below the better peer."""
    quibra_ranks = run.ranks("quibra")
    peer_ranks = [run.ranks(peer) for peer in PEERS]
    misses = []
    for i, quibra_rank in enumerate(quibra_ranks):
        best_peer = min((rank for rank in (ranks[i] for ranks in peer_ranks) if rank is not None), default=None)
        if best_peer is not None and (quibra_rank is None or quibra_rank > best_peer):
            misses.append(((quibra_rank or TOP + 1) - best_peer, i))
    misses.sort(key=lambda miss: (-miss[0], miss[1]))
    print(f"-- {run.corpus}, {run.query_set.name}: {len(misses)} queries where quibra is below the better peer --")
    for _, i in misses[:count]:
        query = run.queries[i]
        ranks = ", ".join(
            f"{name} {rank or '-'}" for name, rank in zip(RANKERS, [quibra_ranks[i], *(r[i] for r in peer_ranks)])
        )
        print(f'"{query.text}"')
        print(f"    answer {query.label}; ranks: {ranks}")
        for position, location in enumerate(run.hits["quibra"][i][:3], start=1):
            print(f"    quibra {position}. {_describe(location, run.symbols)}")
    print()


def main(argv: list[str] | None = None) -> int:
    names = [corpus.name for corpus in CORPORA]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--corpus", action="append", choices=names, help="corpus to run (repeatable; default: all)")
    parser.add_argument("--limit", type=int, help="at most N queries per corpus and set, the same ones every run")
    parser.add_argument("--seed", type=int, default=0, help="seed of the --limit sample")
    parser.add_argument("--budget", type=int, default=DEFAULT_BUDGET, help="token budget of each quibra ranking")
    parser.add_argument("--json", type=Path, help="also write the figures to this file as JSON")
    parser.add_argument("--show-misses", type=int, default=0, metavar="K", help="print K misses per corpus and set")
    set_names = [query_set.name for query_set in QUERY_SETS]
    parser.add_argument("--set", action="append", choices=set_names, help="query set to run (repeatable; default: all)")
    args = parser.parse_args(argv)
    if args.limit is not None and args.limit < 1:
        parser.error("--limit must be at least 1")

    selected = [corpus for corpus in CORPORA if args.corpus is None or corpus.name in args.corpus]
    runs: list[SetRun] = []
    origins: dict[str, list[str]] = {}
    try:
        with tempfile.TemporaryDirectory(prefix="quibra-quality-") as scratch:
            for corpus in selected:
                try:
                    sets = [query_set for query_set in QUERY_SETS if args.set is None or query_set.name in args.set]
                    runs += run_corpus(corpus, Path(scratch), args.limit, args.seed, args.budget, sets)
                except PackageMissing as missing:
                    print(f"quality: warning: skipping {corpus.name}: {missing}", file=sys.stderr)
                    continue
                origins.setdefault(corpus.origin(), []).append(corpus.name)
    except (BenchmarkError, CorpusError) as error:
        print(f"quality: {error}", file=sys.stderr)
        return 2
    except ImportError as error:
        print(f"quality: the quibra found here cannot read every language of the corpora: {error}", file=sys.stderr)
        return 2
    if not runs:
        print("quality: no corpus could be run", file=sys.stderr)
        return 2

    for origin, names_there in origins.items():
        print(f"{', '.join(names_there)}: {origin}")
    print(f"quibra budget {args.budget} tokens\n")
    report: dict[str, Any] = {
        "python": sys.version.split()[0],
        "budget": args.budget,
        "limit": args.limit,
        "origins": {name: origin for origin, names_there in origins.items() for name in names_there},
        "sets": {},
    }
    for query_set in QUERY_SETS:
        set_runs = [run for run in runs if run.query_set is query_set]
        if set_runs:
            report["sets"][query_set.name] = summarize(query_set, set_runs)
            print_table(report["sets"][query_set.name])
    if args.show_misses > 0:
        for run in runs:
            print_misses(run, args.show_misses)
    if args.json is not None:
        try:
            args.json.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
        except OSError as error:
            print(f"quality: cannot write the figures to {args.json}: {error.strerror}", file=sys.stderr)
            return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
