"""Repeated calls, successful and failing at each conversion step, must not
grow the process's resident memory: every reference and native buffer taken
during a call is released on every path."""

import gc
import os

import pytest

import _quibra_core as q

pytestmark = pytest.mark.skipif(
    os.environ.get("QUIBRA_UNDER_SANITIZER") == "1" or not os.path.exists("/proc/self/statm"),
    reason="resident memory is only meaningful without a sanitizer's quarantine, on Linux",
)

CR = q.ChannelResult
CHANNELS = [CR("lexical", [f"id{i}" for i in range(20)]), CR("identity", ["id3", "id7", "x" * 40])]


class Raises:
    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        raise ValueError("no index")


def expect(exception, function, *args, **kwargs):
    def call():
        try:
            function(*args, **kwargs)
        except exception:
            pass
        else:
            raise AssertionError("no exception")
    return call


ITEMS = [{"id": f"s{i}", "file": f"f{i % 3}.py", "score": 1.0 / (i + 1), "tokens": 5 + i}
         for i in range(12)]
SYMBOLS = [{"id": i, "name": "n", "kind": "function", "file": f"src\\f{i % 3}.py", "line": i,
            "cyclomatic": 2 + i, "max_nesting": 1} for i in range(12)]


def read_packed(result):
    for r in result[0]:
        r.symbol_id, r.file, r.adjusted_score, r.original_score, r.tokens


def read_all(results):
    for r in results:
        r.symbol_id, r.score, r.channel_ranks, r.channel_contributions


CASES = {
    "fuse": lambda: read_all(q.fuse(CHANNELS, 60.0, {"lexical": 2.0, "new": 1.5})),
    "channel_result": lambda: CR("name", ["a", "b" * 30, "ü" * 5], 0.5).ranked_ids,
    "binding errors": expect(TypeError, q.fuse, [], 1.0, None, 4),
    "keyword errors": expect(TypeError, q.fuse, [], chans=[]),
    "list of str": expect(TypeError, q.fuse, "abc"),
    "bad element": expect(TypeError, q.fuse, [CHANNELS[0], 1]),
    "bad float": expect(TypeError, q.fuse, CHANNELS, "x"),
    "hook raises": expect(ValueError, q.fuse, CHANNELS, Raises()),
    "bad weights key": expect(TypeError, q.fuse, CHANNELS, None, {"a": 1.0, 2: 1.0}),
    "bad weights value": expect(ValueError, q.fuse, CHANNELS, None, {"a": 1.0, "b": Raises()}),
    "surrogate id": expect(UnicodeEncodeError, CR, "n", ["a", "\ud800"]),
    "constructor errors": expect(TypeError, CR, "n", [], 1.0, 4),
    "pack_budget": lambda: read_packed(q.pack_budget(ITEMS, 60)),
    "pack_budget bad item": expect(TypeError, q.pack_budget, ITEMS + [{"id": None}], 60),
    "pack_budget hook raises": expect(
        ValueError, q.pack_budget, ITEMS + [{"tokens": Raises()}], 60),
    "pack_budget bad budget": expect(TypeError, q.pack_budget, ITEMS, 1.5),
    "compute_hotspots": lambda: q.compute_hotspots(SYMBOLS, {"src/f1.py": 4}, top_n=8),
    "compute_hotspots bad symbol": expect(ValueError, q.compute_hotspots,
                                          SYMBOLS + [{"kind": "method", "param_count": Raises()}],
                                          {}, 0),
    "compute_hotspots bad churn": expect(TypeError, q.compute_hotspots, SYMBOLS, {"a": 1, 2: 1}),
    "compute_pagerank": lambda: q.compute_pagerank(
        [("a", "b"), ("b", "c"), ("c", "a"), ("a", "x"), ("é", "a")], ["a", "b", "c", "a", "é"]),
    "pagerank bad edge": expect(ValueError, q.compute_pagerank, [("a", "b"), ("a",)], ["a"]),
    "pagerank hook raises": expect(ValueError, q.compute_pagerank, [("a", "b")], ["a", "b"], None, 10, Raises()),
    "content_hash": lambda: q.content_hash(b"x" * 100),
    "batch_content_hash": lambda: q.batch_content_hash(
        [("a", b"x" * 40), ("b", bytearray(b"y" * 40)), ("a", [1, 2, 3]), ("ü", range(70))]),
    "batch bad byte": expect(OverflowError, q.batch_content_hash, [("a", b"x"), ("b", [1, 256])]),
    "batch hook raises": expect(ValueError, q.batch_content_hash, [("a", bytearray(b"x")), ("b", [Raises()])]),
    "tokenize": lambda: q.tokenize("getUserName db_config temp temporary \u00dcBER stra\u00dfe " * 3),
    "tokenize_query": lambda: q.tokenize_query("searching DB"),
    "stem_word": lambda: (q.stem_word("Running"), q.stem_word("Re" * 40 + "NNING")),
    "tokenize bad type": expect(TypeError, q.tokenize, None),
    "tokenize surrogate": expect(UnicodeEncodeError, q.tokenize_query, "db\ud800"),
}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_growth_over_many_calls(name):
    call = CASES[name]
    for _ in range(20_000):
        call()
    gc.collect()
    before = resident_bytes()
    for _ in range(200_000):
        call()
    gc.collect()
    grown = resident_bytes() - before
    # A leak of even one small object per call would add megabytes here.
    assert grown < 1 << 20, f"{name}: resident memory grew by {grown} bytes"
