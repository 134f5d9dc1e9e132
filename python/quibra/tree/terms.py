"""The terms that the index stores and that queries look up.

The engine's tokenizer splits identifiers, lowercases, and adds stems and
abbreviation expansions. Its stemmer strips "-es" whole, so the forms of a
verb or noun ending in "e" land on two different terms ("parses" gives
"pars", "parse" stays "parse"), and it leaves four-letter plurals alone
("sets", "uses"). Doc comments speak in the third person ("Parses the
header") and names in the base form (`parse_header`), so the two would never
meet. Each term therefore also gives its folded form: a final "e" dropped,
and a four-letter plural made singular. Applied alike to the index and to
the query, the fold only ever joins forms of one word.
"""

from __future__ import annotations

import _quibra_core as engine


def fold(term: str) -> str:
    """The form that joins a word's inflections: "parse" and "pars" both give "pars"."""
    if len(term) == 4 and term.endswith("s") and not term.endswith("ss"):
        return term[:-1]
    if len(term) >= 4 and term.endswith("e"):
        return term[:-1]
    return term


def _with_folds(terms: list[str]) -> list[str]:
    """`terms` in order, each followed by its folded form the first time that form occurs."""
    seen = set(terms)
    result = []
    for term in terms:
        result.append(term)
        folded = fold(term)
        if folded not in seen:
            seen.add(folded)
            result.append(folded)
    return result


def text_terms(text: str) -> list[str]:
    """The terms of a text as the index holds them; repeated words stay repeated (BM25 counts them)."""
    return _with_folds(engine.tokenize(text))


# The folded form of each term met so far in this process: a code base's
# words are few, and a lookup costs less than folding again. Emptied when full.
_FOLDED: dict[str, str] = {}
_FOLDED_LIMIT = 200_000


def counted_terms(text: str) -> list[str]:
    """The terms of `text_terms`, as many of each, in another order: each
    distinct term's folded form comes after all the terms, not after its
    first use. What a full-text table counts (it asks for no phrases), made
    with far fewer Python steps."""
    terms = engine.tokenize(text)
    distinct = dict.fromkeys(terms)
    folded = _FOLDED
    if len(folded) > _FOLDED_LIMIT:
        folded.clear()
    for term in [term for term in distinct if term not in folded]:
        folded[term] = fold(term)
    try:
        forms = list(map(folded.__getitem__, distinct))
    except KeyError:  # emptied meanwhile, by another thread's text
        forms = [fold(term) for term in distinct]
    return terms + list(dict.fromkeys([form for form in forms if form not in distinct]))


def query_terms(text: str) -> list[str]:
    """The terms of a query."""
    return _with_folds(engine.tokenize_query(text))
