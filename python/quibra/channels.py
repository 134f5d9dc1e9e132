"""The ranked channels that the engine fuses: lexical, identity and structural.

Each channel is a list of symbol ids, best first, built independently from
the others; `fuse` weighs them (identity above lexical above structural) and
adds their reciprocal ranks. A symbol that no channel lists is not a
candidate at all.
"""

from __future__ import annotations

import re

import _quibra_core as engine

from quibra.bm25 import BM25
from quibra.symbols import Symbol


def lexical_channel(symbols: list[Symbol], query_terms: list[str]) -> list[str]:
    """Symbols whose name, signature and docstring match the query, by BM25 score.

    Both sides go through the engine's tokenizer, so `getUserName` meets a
    query for "user name" and "DB" meets "database".
    """
    index = BM25([engine.tokenize(symbol.search_text()) for symbol in symbols])
    scores = index.scores(query_terms)
    # sorted() is stable: equal scores keep source order (file, then line).
    order = sorted((i for i, score in enumerate(scores) if score > 0.0), key=lambda i: -scores[i])
    return [symbols[i].id for i in order]


def _query_words(query: str) -> list[str]:
    return re.findall(r"[0-9a-z]+", query.lower())


def _name_key(name: str) -> str:
    return re.sub(r"[^0-9a-z]", "", name.lower())


def identity_channel(symbols: list[Symbol], query: str, query_terms: list[str]) -> list[str]:
    """Symbols whose own name is what the query asks for.

    Names that match more words of the query come first: `pack_budget` says
    more about "pack into a budget" than a `pack` does. A word counts once
    however many of its terms (stem, expansions) the name shares, so a plural
    does not weigh double. Among equals, a name that the query spells exactly,
    with or without its underscores and case ("raw decode" spells
    `raw_decode`, "json decoder" `JSONDecoder`), goes first, then the names
    whose terms the query covers best.
    """
    words = _query_words(query)
    # Every run of consecutive query words, joined: the names the query may spell.
    spelled = {
        "".join(words[start:end]) for start in range(len(words)) for end in range(start + 1, len(words) + 1)
    }
    word_terms = [terms for terms in (set(engine.tokenize(word)) for word in query.split()) if terms]
    all_terms = set(query_terms)
    ranked = []
    for position, symbol in enumerate(symbols):
        key = _name_key(symbol.name)
        # One-letter names (`f`, `x`) would match every stray "a" of a query.
        exact = len(key) > 1 and key in spelled
        name_terms = set(engine.tokenize(symbol.name))
        matched_words = sum(1 for terms in word_terms if terms & name_terms)
        if exact or matched_words:
            coverage = len(name_terms & all_terms) / len(name_terms) if name_terms else 0.0
            ranked.append(((-matched_words, not exact, -coverage, position), symbol.id))
    ranked.sort()
    return [symbol_id for _, symbol_id in ranked]


def structural_channel(candidates: list[Symbol], file_scores: dict[str, float]) -> list[str]:
    """The query's candidates again, ordered by the PageRank of their files.

    Only candidates: ranking every symbol of a central file would push code
    unrelated to the query into the results. Within a file (and between
    equally central files) the candidates keep the order they came in.
    """
    return [symbol.id for symbol in sorted(candidates, key=lambda symbol: -file_scores.get(symbol.file, 0.0))]
