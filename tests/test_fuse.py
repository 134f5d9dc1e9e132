"""Weighted reciprocal rank fusion."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quibra_core as q
import fallbacks

CR = q.ChannelResult


def summary(results):
    return [(r.symbol_id, r.score, r.channel_contributions, r.channel_ranks) for r in results]


def test_empty_inputs():
    assert q.fuse([]) == []
    assert q.fuse([CR("lexical", []), CR("identity", [])]) == []


def test_single_channel_default_smoothing():
    a, b = q.fuse([CR("lexical", ["a", "b"])])
    assert (a.symbol_id, a.score, a.channel_ranks) == ("a", 1 / 62, {"lexical": 1})
    assert (b.symbol_id, b.score, b.channel_ranks) == ("b", 1 / 63, {"lexical": 2})


@pytest.mark.parametrize(
    "channel, weights, expected",
    [
        (CR("structural", ["a"]), None, 0.4 / 62),
        (CR("structural", ["a"], 0.5), None, 0.5 / 62),
        (CR("structural", ["a"], 1.0), None, 0.4 / 62),  # explicit 1.0 counts as omitted
        (CR("structural", ["a"]), {"structural": 3.0}, 3.0 / 62),
        (CR("structural", ["a"], 0.5), {"structural": 3.0}, 0.5 / 62),
        (CR("custom", ["a"]), {"custom": 5.0}, 5.0 / 62),
        (CR("custom", ["a"]), None, 1.0 / 62),
        (CR("identity", ["a"]), {}, 2.0 / 62),
        (CR("similarity", ["a"]), None, 0.8 / 62),
    ],
)
def test_weight_resolution(channel, weights, expected):
    (record,) = q.fuse([channel], weights=weights)
    assert record.score == expected


def test_nan_channel_weight_beats_the_table():
    (record,) = q.fuse([CR("lexical", ["a"], math.nan)])
    assert math.isnan(record.score)


def test_two_channels_sum_and_breakdown():
    x, y = q.fuse([CR("identity", ["x"]), CR("lexical", ["y", "x"])])
    assert x.symbol_id == "x" and x.score == 2.0 / 62 + 1.0 / 63
    assert x.channel_ranks == {"identity": 1, "lexical": 2}
    assert y.symbol_id == "y"


def test_repeated_id_in_one_channel_keeps_later_rank():
    a, b = q.fuse([CR("other", ["a", "b", "a"])])
    assert a.symbol_id == "a" and a.score == 1 / 62 + 1 / 64
    assert a.channel_ranks == {"other": 3} and a.channel_contributions == {"other": 1 / 64}
    assert b.symbol_id == "b" and b.score == 1 / 63


def test_channels_sharing_a_name_add_up_and_keep_later_entry():
    (a,) = q.fuse([CR("lexical", ["a"]), CR("lexical", ["b", "a"])])[:1]
    assert a.symbol_id == "a" and a.score == 1 / 62 + 1 / 63
    assert a.channel_ranks == {"lexical": 2}


@pytest.mark.parametrize(
    "smoothing, expected",
    [(0, 1.0), (None, 1 / 62), (-1, math.inf), (-2.0, -1.0)],
)
def test_smoothing_is_not_validated(smoothing, expected):
    (record,) = q.fuse([CR("lexical", ["a"])], smoothing=smoothing)
    assert record.score == expected


def test_zero_weight_at_infinite_contribution_is_nan():
    (record,) = q.fuse([CR("custom", ["a"], 0.0)], smoothing=-1)
    assert math.isnan(record.score)


def test_equal_scores_follow_first_appearance():
    # Ties have no order of their own; this module keeps first appearance.
    ids = [r.symbol_id for r in q.fuse([CR("a1", ["x", "p"]), CR("a2", ["y", "q"])])]
    assert ids == ["x", "y", "p", "q"]


def test_nan_scores_sort_last():
    results = q.fuse([CR("c", ["n"], math.nan), CR("d", ["a", "b"], -1.0), CR("e", ["z"])])
    assert [r.symbol_id for r in results] == ["z", "b", "a", "n"]


def test_ids_with_nul_and_non_ascii():
    ids = ["a\x00b", "a\x00c", "日本", "e\u0301", "😀"]
    assert [r.symbol_id for r in q.fuse([CR("lexical", ids)])] == ids


texts = st.sampled_from(["a", "b", "c", "d", "lexical", "identity", "é", "x\x00"])
scores = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from([1.0, 0.0, -0.0]))
channel_lists = st.lists(
    st.tuples(st.sampled_from(["lexical", "structural", "similarity", "identity", "other", "a"]),
              st.lists(texts, max_size=8), scores),
    max_size=6,
)


def ranks_before(a, b):
    return not math.isnan(a) and (math.isnan(b) or a > b)


@settings(max_examples=300, deadline=None)
@given(channel_lists, st.one_of(st.none(), scores),
       st.one_of(st.none(), st.dictionaries(st.sampled_from(["lexical", "a", "zz"]), scores, max_size=3)))
def test_matches_fallback(channel_rows, smoothing, weights):
    ours = q.fuse([CR(n, ids, w) for n, ids, w in channel_rows], smoothing, weights)
    theirs = fallbacks.fuse([fallbacks.ChannelResult(n, ids, w) for n, ids, w in channel_rows], smoothing, weights)

    def key(record):
        return (record.symbol_id, repr(record.score),
                sorted((k, repr(v)) for k, v in record.channel_contributions.items()),
                sorted(record.channel_ranks.items()))

    assert sorted(map(key, ours)) == sorted(map(key, theirs))
    for earlier, later in zip(ours, ours[1:]):
        assert not ranks_before(later.score, earlier.score)
    for record in ours:
        assert record.channel_contributions.keys() == record.channel_ranks.keys()


@pytest.mark.parametrize(
    "weight, smoothing, expected",
    [(0.0, -1.0, math.nan), (2.0, -1.0, math.inf), (-2.0, -1.0, -math.inf), (2.0, -1.0 - 0.0, math.inf)],
)
def test_zero_denominator_follows_ieee(weight, smoothing, expected):
    for fuse, channel in ((q.fuse, q.ChannelResult), (fallbacks.fuse, fallbacks.ChannelResult)):
        (record,) = fuse([channel("custom", ["a"], weight)], smoothing)
        assert math.isnan(record.score) if math.isnan(expected) else record.score == expected
