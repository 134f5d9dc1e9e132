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


# ---------------------------------------------------------------------------
# Import-graph PageRank

PAGERANK_DEFAULT_DAMPING = 0.8347


def compute_pagerank(edges, files, damping=None, max_iter=100, tol=1e-6):
    """PageRank by power iteration; returns (scores by path, iterations run)."""
    if not files:
        return {}, 0
    d = PAGERANK_DEFAULT_DAMPING if damping is None else float(damping)
    tol = float(tol)
    out_links = {path: set() for path in files}
    in_links = {path: set() for path in files}
    for source, target in edges:
        if source != target and source in out_links and target in out_links:
            out_links[source].add(target)
            in_links[target].add(source)
    out_degree = {path: len(targets) for path, targets in out_links.items()}
    # Code-point order of str is the byte order of its UTF-8 form.
    sources = {path: sorted(found) for path, found in in_links.items()}

    n = float(len(files))
    teleport = (1.0 - d) / n
    scores = {path: 1.0 / n for path in out_links}
    k = 0
    while True:
        if k >= max_iter:
            return scores, max_iter
        k += 1
        dangling = 0.0
        for path in files:
            if not out_degree[path]:
                dangling += scores[path]
        dangling_share = (dangling * d) / n
        new_scores = {}
        for path in files:
            total = 0.0
            for source in sources[path]:
                total += scores[source] / out_degree[source]
            new_scores[path] = (total * d + teleport) + dangling_share
        distance = 0.0
        for path in files:
            distance += abs(new_scores[path] - scores[path])
        scores = new_scores
        if tol > distance:
            return scores, k


# ---------------------------------------------------------------------------
# Content hashing

CONTENT_HASH_SEED = 0x5C1E93B7A24F
CONTENT_HASH_MULTIPLIER = 0x100000001B3
_MASK64 = (1 << 64) - 1


def content_hash(content):
    """Polynomial rolling hash of `content` as 16 lowercase hex digits."""
    h = CONTENT_HASH_SEED
    for byte in content:
        h = (h * CONTENT_HASH_MULTIPLIER + byte) & _MASK64
    return f"{h:016x}"


def batch_content_hash(contents):
    """Hash text by path for (path, content) pairs; the last pair for a path wins."""
    return {path: content_hash(bytes(content)) for path, content in contents}
