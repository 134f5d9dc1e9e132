"""Okapi BM25 over the engine's term lists: a whole scorer in a few lines.

Small enough that a dependency would cost more than it saves. The term lists
come from the engine's `tokenize`, which keeps repeated words (BM25 counts
them) and adds stems and abbreviation expansions once each.
"""

from __future__ import annotations

import math
from collections import Counter

# The usual parameters: k1 bounds how much repeating a term helps, b how much
# a long document is penalised for its length.
K1 = 1.2
B = 0.75


class BM25:
    """An index of documents (term lists) that scores queries against each one."""

    def __init__(self, documents: list[list[str]]):
        self.term_counts = [Counter(terms) for terms in documents]
        self.lengths = [len(terms) for terms in documents]
        count = len(documents)
        self.average_length = (sum(self.lengths) / count) if count else 0.0
        frequencies = Counter(term for counts in self.term_counts for term in counts)
        # The +1 inside the logarithm keeps the weight of a term that occurs
        # in most documents small but positive, instead of negative.
        self.idf = {
            term: math.log(1.0 + (count - frequency + 0.5) / (frequency + 0.5))
            for term, frequency in frequencies.items()
        }

    def scores(self, query_terms: list[str]) -> list[float]:
        """One score per document; a query term counts once however often it is repeated."""
        terms = [term for term in dict.fromkeys(query_terms) if term in self.idf]
        results = []
        for counts, length in zip(self.term_counts, self.lengths, strict=True):
            norm = K1 * (1.0 - B + B * length / self.average_length) if self.average_length else K1
            score = 0.0
            for term in terms:
                frequency = counts.get(term, 0)
                if frequency:
                    score += self.idf[term] * frequency * (K1 + 1.0) / (frequency + norm)
            results.append(score)
        return results
