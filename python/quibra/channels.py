"""The ranked channels that the engine fuses: lexical, identity and structural.

Each channel is a list of symbol ids, best first, built independently from
the others and read straight from the index; `fuse` weighs them (identity
above lexical above structural) and adds their reciprocal ranks. A symbol
that no channel lists is not a candidate at all.

Every order here ends in the same tie-break, (path, line, key), never in
row ids: an index refreshed in many small steps gives its symbols other ids
than one built at once, and the two must answer alike.
"""

from __future__ import annotations

import json
import re
import sqlite3
from collections.abc import Iterable
from dataclasses import dataclass

import _quibra_core as engine

# How many symbols each text channel contributes at most. A symbol ranked
# past this adds less than 1/1000 of a first place to its fused score.
CHANNEL_DEPTH = 1000

# BM25 weight of each field of the lexical index: name, signature,
# docstring, body.
FIELD_WEIGHTS = (3.0, 1.0, 1.0, 1.0)


@dataclass(frozen=True, slots=True)
class Candidate:
    id: int
    file_id: int
    path: bytes  # raw, as stored: the tie-break compares bytes
    line: int
    key: str
    pagerank: float

    @property
    def order(self) -> tuple[bytes, int, str]:
        return (self.path, self.line, self.key)


def language_clause(languages: Iterable[str] | None) -> tuple[str, tuple[str, ...]]:
    """A condition on `files` that keeps only `languages` (None: all of them), and its parameter."""
    if languages is None:
        return "", ()
    return " AND files.language IN (SELECT value FROM json_each(?))", (json.dumps(sorted(languages)),)


def match_expression(terms: Iterable[str]) -> str | None:
    """An FTS5 query matching any of `terms` (engine terms: letters and digits only)."""
    quoted = [f'"{term}"' for term in dict.fromkeys(terms) if term and '"' not in term]
    return " OR ".join(quoted) if quoted else None


def lexical_channel(
    connection: sqlite3.Connection, query_terms: list[str], languages: Iterable[str] | None = None
) -> list[int]:
    """Symbols whose name, signature, docstring and body match the query, by BM25.

    Both sides are the engine's terms, so `getUserName` meets a query for
    "user name" and "DB" meets "database".
    """
    expression = match_expression(query_terms)
    if expression is None:
        return []
    weights = ", ".join(str(weight) for weight in FIELD_WEIGHTS)
    scope, scope_parameters = language_clause(languages)
    rows = connection.execute(
        f"SELECT lexical.rowid FROM lexical"
        f" JOIN symbols ON symbols.id = lexical.rowid JOIN files ON files.id = symbols.file_id"
        f" WHERE lexical MATCH ?{scope}"
        f" ORDER BY bm25(lexical, {weights}), files.path, symbols.line, symbols.key LIMIT ?",
        (expression, *scope_parameters, CHANNEL_DEPTH),
    )
    return [row[0] for row in rows]


def query_words(query: str) -> list[str]:
    return re.findall(r"[0-9a-z]+", query.lower())


def identity_channel(
    connection: sqlite3.Connection, query: str, query_terms: list[str], languages: Iterable[str] | None = None
) -> list[int]:
    """Symbols whose own name is what the query asks for.

    Names that match more words of the query come first: `pack_budget` says
    more about "pack into a budget" than a `pack` does. A word counts once
    however many of its terms (stem, expansions) the name shares, so a plural
    does not weigh double. Among equals, a name that the query spells exactly,
    with or without its underscores and case ("raw decode" spells
    `raw_decode`, "json decoder" `JSONDecoder`), goes first, then the names
    whose terms the query covers best.
    """
    words = query_words(query)
    # Every run of consecutive query words, joined: the names the query may spell.
    spelled = sorted(
        {"".join(words[start:end]) for start in range(len(words)) for end in range(start + 1, len(words) + 1)}
    )
    word_terms = [terms for terms in (set(engine.tokenize(word)) for word in query.split()) if terms]
    all_terms = set(query_terms)
    scope, scope_parameters = language_clause(languages)
    rows = connection.execute(
        "SELECT symbols.id, symbols.name_key, symbols.name_terms, files.path, symbols.line, symbols.key"
        " FROM symbols JOIN files ON files.id = symbols.file_id"
        " WHERE (symbols.id IN (SELECT symbol_id FROM name_terms WHERE term IN (SELECT value FROM json_each(?)))"
        f" OR symbols.name_key IN (SELECT value FROM json_each(?))){scope}",
        (json.dumps(sorted(all_terms)), json.dumps(spelled), *scope_parameters),
    )
    spelled_set = set(spelled)
    ranked = []
    for symbol_id, key, terms_text, path, line, unique_key in rows:
        name_terms = set(terms_text.split())
        # One-letter names (`f`, `x`) would match every stray "a" of a query.
        exact = len(key) > 1 and key in spelled_set
        matched_words = sum(1 for terms in word_terms if terms & name_terms)
        if exact or matched_words:
            coverage = len(name_terms & all_terms) / len(name_terms) if name_terms else 0.0
            ranked.append(((-matched_words, not exact, -coverage, path, line, unique_key), symbol_id))
    ranked.sort()
    return [symbol_id for _, symbol_id in ranked[:CHANNEL_DEPTH]]


def load_candidates(connection: sqlite3.Connection, ids: Iterable[int]) -> dict[int, Candidate]:
    rows = connection.execute(
        "SELECT symbols.id, symbols.file_id, files.path, symbols.line, symbols.key, files.pagerank"
        " FROM symbols JOIN files ON files.id = symbols.file_id"
        " WHERE symbols.id IN (SELECT value FROM json_each(?))",
        (json.dumps(list(ids)),),
    )
    return {row[0]: Candidate(*row) for row in rows}


def structural_channel(ordered: list[int], candidates: dict[int, Candidate]) -> list[int]:
    """The query's candidates again, ordered by the PageRank of their files.

    Only candidates: ranking every symbol of a central file would push code
    unrelated to the query into the results. Within a file (and between
    equally central files) the candidates keep the order they came in.
    """
    return sorted(ordered, key=lambda symbol_id: -candidates[symbol_id].pagerank)
