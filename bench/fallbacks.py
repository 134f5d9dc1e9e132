"""Pure-Python fallbacks of the _quibra_core functions.

Written as a host would write them for installations without the compiled
module: straightforward, faithful to the same results. They serve as the
benchmarks' peers and as test oracles.
"""

from __future__ import annotations

import math

# ---------------------------------------------------------------------------
# Rank fusion


class ChannelResult:
    """A channel's ranked symbol ids, best first."""

    __slots__ = ("name", "ranked_ids", "weight")

    def __init__(self, name, ranked_ids, weight=1.0):
        self.name = name
        self.ranked_ids = list(ranked_ids)
        self.weight = float(weight)


class FusedResult:
    __slots__ = ("symbol_id", "score", "channel_contributions", "channel_ranks")

    def __init__(self, symbol_id):
        self.symbol_id = symbol_id
        self.score = 0.0
        self.channel_contributions = {}
        self.channel_ranks = {}


DEFAULT_CHANNEL_WEIGHTS = {"lexical": 1.0, "structural": 0.4, "similarity": 0.8, "identity": 2.0}


def _descending_score(record):
    # Descending by score, NaN last; sorted() is stable for equal keys.
    score = record.score
    return (True, 0.0) if math.isnan(score) else (False, -score)


def fuse(channels, smoothing=None, weights=None):
    """Weighted reciprocal rank fusion: each id at rank r in a channel of
    weight w adds w / (r + k) to its score."""
    k = 61.0 if smoothing is None else float(smoothing)
    table = dict(DEFAULT_CHANNEL_WEIGHTS)
    if weights is not None:
        for name, weight in weights.items():
            table[name] = float(weight)
    fused = {}
    for channel in channels:
        name = channel.name
        w = table.get(name, 1.0) if channel.weight == 1.0 else channel.weight
        for position, symbol_id in enumerate(channel.ranked_ids):
            rank = position + 1
            contribution = w / (float(rank) + k)
            record = fused.get(symbol_id)
            if record is None:
                record = fused[symbol_id] = FusedResult(symbol_id)
            record.score += contribution
            record.channel_contributions[name] = contribution
            record.channel_ranks[name] = rank
    return sorted(fused.values(), key=_descending_score)
