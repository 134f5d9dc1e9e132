"""Module surface: attribute order, version, docstrings and signatures."""

import inspect

import pytest

import _quibra_core as q

ORDER = [
    "__version__", "ChannelResult", "FusedResult", "fuse", "compute_pagerank", "PackedItem",
    "pack_budget", "compute_hotspots", "content_hash", "batch_content_hash", "tokenize",
    "tokenize_query", "stem_word", "verify_canary",
]

SIGNATURES = {
    "fuse": "(channels, smoothing=None, weights=None)",
    "compute_pagerank": "(edges, files, damping=None, max_iter=100, tol=1e-6)",
    "pack_budget": "(items, token_budget, diversity=True)",
    "compute_hotspots": "(symbols, file_churn, min_complexity=2, top_n=20)",
    "content_hash": "(content)",
    "batch_content_hash": "(contents)",
    "tokenize": "(text)",
    "tokenize_query": "(query)",
    "stem_word": "(word)",
    "verify_canary": "()",
}

FIRST_DOC_LINES = {
    "fuse": "Run Weighted Reciprocal Rank fusion across channels.",
    "compute_pagerank": "Compute PageRank on a file import graph.",
    "pack_budget": "Diversity-aware greedy budget packing.",
    "compute_hotspots": "Compute hotspot scores for a batch of symbols.",
    "content_hash": "Compute a content hash for staleness detection.",
    "batch_content_hash": "Compute content hashes for a batch of files.",
    "tokenize": "Enhanced tokenizer: split + stem + abbreviation expansion.",
    "tokenize_query": "Tokenize a query string for BM25 search.",
    "stem_word": "Stem a single word (exposed for testing/debugging).",
    "verify_canary": "Verify canary constants are intact in the binary.",
}

PRESENT = [name for name in ORDER if hasattr(q, name)]
FUNCTIONS = [name for name in SIGNATURES if hasattr(q, name)]


def test_all_lists_attributes_in_fixed_order():
    # Functions join the module as they are built; whatever is present keeps
    # its place in the fixed order, and __all__ mirrors it exactly.
    assert q.__all__ == PRESENT
    assert [n for n in vars(q) if n in ORDER] == PRESENT


def test_version_and_docstring():
    assert q.__version__ == "0.1.0"
    lines = q.__doc__.split("\n")
    assert lines[0] == "_quibra_core — compiled ranking engine for the Quibra retrieval suite."
    assert lines[1] == ""
    assert len(lines) == 5 and all(lines[2:])


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_signature_and_doc(name):
    function = getattr(q, name)
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__.split("\n")[0] == FIRST_DOC_LINES[name]
    assert function.__name__ == name
    assert function.__self__ is q
    assert function.__module__ == "_quibra_core"
    # inspect renders defaults by their repr (1e-6 shows as 1e-06): compare
    # with what it shows for a Python function of the same signature.
    same_signature = eval(f"lambda {SIGNATURES[name][1:-1]}: None")
    assert str(inspect.signature(function)) == str(inspect.signature(same_signature))


def test_fuse_docstring_whole():
    assert q.fuse.__doc__ == "\n".join([
        "Run Weighted Reciprocal Rank fusion across channels.",
        "",
        "Args:",
        "    channels: List of ChannelResult from each scoring channel.",
        "    smoothing: RRF smoothing constant k (default uses canary value).",
        "    weights: Optional per-channel weight overrides.",
        "",
        "Returns:",
        "    List of FusedResult sorted by descending fused score.",
    ])


def test_verify_canary():
    assert q.verify_canary() is True
    with pytest.raises(TypeError):
        q.verify_canary(1)


def test_second_module_object_shares_the_classes():
    import importlib.util

    spec = importlib.util.find_spec("_quibra_core")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other is not q
    assert other.ChannelResult is q.ChannelResult and other.FusedResult is q.FusedResult
    assert other.__all__ == q.__all__
    assert other.fuse.__self__ is other


def test_distribution_version_matches_module():
    import importlib.metadata

    try:
        version = importlib.metadata.version("quibra-core")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("quibra-core is not installed (development build)")
    assert version == q.__version__
