"""Pure-Python fallbacks of the _quibra_core functions.

Written as a host would write them for installations without the compiled
module: straightforward, faithful to the same results. They serve as the
benchmarks' peers and as test oracles.
"""

from __future__ import annotations


# --- Import-graph PageRank ---------------------------------------------------

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


# --- Content hashing ---------------------------------------------------------

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
