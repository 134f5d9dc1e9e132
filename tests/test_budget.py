import pytest
from hypothesis import given, settings, strategies as st

import _quibra_core as qc
import fallbacks

U64_MAX = 2**64 - 1


def item(ident, score, tokens, file=None):
    d = {"id": ident, "score": score, "tokens": tokens}
    if file is not None:
        d["file"] = file
    return d


def rows(packed):
    return [(p.symbol_id, p.file, p.adjusted_score, p.original_score, p.tokens) for p in packed]


A4 = [item(f"a{i}", s, 10, "a") for i, s in enumerate((1.0, 0.9, 0.8, 0.7), 1)]
DAMPED = 0.9 * (1.0 / 1.5)


@pytest.mark.parametrize("items, budget, diversity, expected", [
    # A leaves no room for B; the walk goes on to the smaller C.
    ([item("A", 0.9, 8), item("B", 0.8, 5), item("C", 0.7, 2)], 10, False,
     [("A", 0.9), ("C", 0.7)]),
    (A4 + [item("b1", 0.5, 10, "b")], 40, True,
     [("a1", 1.0), ("a2", 0.6), ("b1", 0.5), ("a3", 0.4)]),
    (A4 + [item("b1", 0.5, 10, "b")], 40, False,
     [("a1", 1.0), ("a2", 0.9), ("a3", 0.8), ("a4", 0.7)]),
    # Equal scores keep input order.
    ([item(s, 0.5, 1, s) for s in "pqrs"], 10, True, [(s, 0.5) for s in "pqrs"]),
    # Equal adjusted scores at different damping levels: the higher original
    # score wins, the damped one for positive scores, the undamped for negative.
    (A4[:3] + [item("b1", 0.4, 1, "b")], 40, True,
     [("a1", 1.0), ("a2", DAMPED), ("a3", 0.4), ("b1", 0.4)]),
    (A4[:2] + [item("a3", -0.8, 1, "a"), item("b1", -0.4, 1, "b")], 40, True,
     [("a1", 1.0), ("a2", DAMPED), ("b1", -0.4), ("a3", -0.4)]),
    # A fourth pick from a file is refused even when nothing else fits.
    (A4 + [item("big", 5.0, 50, "b")], 40, True, [("a1", 1.0), ("a2", DAMPED), ("a3", 0.4)]),
    # Items without a file share the empty file.
    ([{"id": str(i), "score": 1.0, "tokens": 1} for i in range(5)], 10, True,
     [("0", 1.0), ("1", 1 / 1.5), ("2", 0.5)]),
])
def test_greedy_picks(items, budget, diversity, expected):
    packed, total = qc.pack_budget(items, budget, diversity)
    assert [(p.symbol_id, p.adjusted_score) for p in packed] == expected
    assert total == sum(p.tokens for p in packed) <= budget


def test_reading_defaults_and_dropped_items():
    items = [{"tokens": 3, "other": object()}, {"id": "no tokens", "score": 9.0},
             {"id": "zero", "score": 9.0, "tokens": 0}]
    packed, total = qc.pack_budget(items, 5)
    assert type(packed[0]) is qc.PackedItem
    assert rows(packed) == [("", "", 0.0, 0.0, 3)] and total == 3


@pytest.mark.parametrize("score", [-1.0, -5.0, float("nan")])
@pytest.mark.parametrize("diversity", [True, False])
def test_scores_at_or_below_minus_one_and_nan_are_never_packed(score, diversity):
    packed, _ = qc.pack_budget([item("lost", score, 1, "a"), item("kept", -0.5, 1, "b")], 100,
                               diversity)
    assert [p.symbol_id for p in packed] == ["kept"]


@pytest.mark.parametrize("items, budget, expected_total", [
    ([item("max", 1.0, U64_MAX)], U64_MAX, U64_MAX),
    ([item("max", 1.0, U64_MAX)], U64_MAX - 1, 0),
    ([item("big", 1.0, U64_MAX - 1), item("max", 0.9, U64_MAX), item("one", 0.1, 1)],
     U64_MAX, U64_MAX),
])
def test_counts_near_the_limit_never_overflow(items, budget, expected_total):
    packed, total = qc.pack_budget(items, budget, False)
    assert total == expected_total == sum(p.tokens for p in packed)


def test_dict_subclass_hooks_are_not_consulted_and_a_bool_is_a_budget():
    class Hooked(dict):
        def __getitem__(self, key):
            return 1000

        __missing__ = __getitem__

    packed, total = qc.pack_budget([Hooked(id="h", tokens=1)], True)
    assert rows(packed) == [("h", "", 0.0, 0.0, 1)] and total == 1


@pytest.mark.parametrize("bad, error, message", [
    ({"id": None}, TypeError, "'None' is not an instance of 'str'"),
    ({"file": b"f"}, TypeError, "'bytes' object is not an instance of 'str'"),
    ({"id": "\ud800"}, UnicodeEncodeError, None),
    ({"score": "0.5"}, TypeError, None),
    ({"tokens": -1}, OverflowError, None),
    ({"tokens": 1.5}, TypeError, None),
])
@pytest.mark.parametrize("budget", [0, 10])
def test_element_errors_carry_no_argument_name(bad, error, message, budget):
    # The element would be dropped for its missing tokens, and the budget may
    # be zero: it is read and checked all the same.
    with pytest.raises(error) as caught:
        qc.pack_budget([item("ok", 1.0, 1), {"id": "x", "score": 1.0} | bad], budget)
    assert not str(caught.value).startswith("argument")
    assert message is None or str(caught.value) == message


@pytest.mark.parametrize("args, error, message", [
    (("abc", 10), TypeError, "argument 'items': Can't extract `str` to `Vec`"),
    (([{}, 1], 10), TypeError, "argument 'items': 'int' object is not an instance of 'dict'"),
    (([], 1.5), TypeError, "argument 'token_budget': "),
    (([], -1), OverflowError, ""),
    (([], 10, 1), TypeError, "argument 'diversity': 'int' object is not an instance of 'bool'"),
])
def test_argument_errors(args, error, message):
    with pytest.raises(error) as caught:
        qc.pack_budget(*args)
    assert str(caught.value).startswith(message)
    assert error is TypeError or not str(caught.value).startswith("argument")


def fresh(text):
    return "".join(list(text))  # a str object only its dict refers to


def drop_read_texts(items):
    # In the first item's score conversion: the id and file already read lose
    # their last other reference, the tokens change, everything else empties.
    first = items[0]
    del first["id"], first["file"]
    first["tokens"] = 4
    items[1].clear()
    items.clear()
    return 0.5


def empty_everything(items):
    # In the first item's tokens conversion.
    for d in items:
        d.clear()
    items.clear()
    return 3


@pytest.mark.parametrize("hook, hooked_key, expected", [
    (drop_read_texts, "score", ("sym1", "f1", 0.5, 0.5, 4)),
    (empty_everything, "tokens", ("sym1", "f1", 0.25, 0.25, 3)),
])
def test_hooks_that_mutate_the_input_cannot_break_the_call(hook, hooked_key, expected):
    items = []

    class Hook:
        def __float__(self):
            return hook(items)

        __index__ = __float__

    first = {"id": fresh("sym1"), "file": fresh("f1"), "score": 0.25, "tokens": 2}
    first[hooked_key] = Hook()
    items.extend([first, {"id": fresh("sym2"), "score": 9.0, "tokens": 1}])
    packed, total = qc.pack_budget(items, 100)
    # The second item lost its keys before it was read.
    assert rows(packed) == [expected] and total == expected[4]


candidates = st.lists(st.fixed_dictionaries(
    {"id": st.sampled_from(["s1", "s2", "s3"]),
     "score": st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 0.5, -0.5, -1.0, 1.0])),
     "tokens": st.one_of(st.integers(0, 12), st.sampled_from([U64_MAX, 2**63]))},
    optional={"file": st.sampled_from(["a", "b", "c", ""])}), max_size=30)
budgets = st.one_of(st.integers(0, 60), st.sampled_from([U64_MAX, 2**63]))


@settings(max_examples=300, deadline=None)
@given(candidates, budgets, st.booleans())
def test_matches_the_reference_and_respects_the_budget(items, budget, diversity):
    packed, total = qc.pack_budget(items, budget, diversity)
    assert total <= budget and total == sum(p.tokens for p in packed)
    expected, expected_total = fallbacks.pack_budget(items, budget, diversity)

    def exact(row):  # floats by their bits, so -0.0 and 0.0 differ
        return tuple(v.hex() if isinstance(v, float) else v for v in row)

    assert [exact(r) for r in rows(packed)] == [exact(r) for r in expected]
    assert total == expected_total
    if diversity:
        files = [p.file for p in packed]
        assert all(files.count(f) <= 3 for f in files)
