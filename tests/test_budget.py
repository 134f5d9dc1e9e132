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


def picks(result):
    packed, total = result
    return [(p.symbol_id, p.adjusted_score) for p in packed], total


def as_tuples(packed):
    return [(p.symbol_id, p.file, p.adjusted_score, p.original_score, p.tokens) for p in packed]


DIVERSITY_ITEMS = [item("a1", 1.0, 10, "a"), item("a2", 0.9, 10, "a"), item("a3", 0.8, 10, "a"),
                   item("a4", 0.7, 10, "a"), item("b1", 0.5, 10, "b")]


@pytest.mark.parametrize("items, budget, diversity, expected", [
    # A does not leave room for B, the walk goes on to the smaller C.
    ([item("A", 0.9, 8), item("B", 0.8, 5), item("C", 0.7, 2)], 10, False,
     ([("A", 0.9), ("C", 0.7)], 10)),
    (DIVERSITY_ITEMS, 40, True, ([("a1", 1.0), ("a2", 0.6), ("b1", 0.5), ("a3", 0.4)], 40)),
    (DIVERSITY_ITEMS, 40, False, ([("a1", 1.0), ("a2", 0.9), ("a3", 0.8), ("a4", 0.7)], 40)),
    # Packing stops once the budget is used up exactly.
    ([item("x", 0.5, 4), item("y", 0.4, 6), item("z", 0.3, 1)], 10, False,
     ([("x", 0.5), ("y", 0.4)], 10)),
    # Equal scores: the earlier item goes first.
    ([item(s, 0.5, 1, s) for s in "pqrs"], 10, True,
     ([("p", 0.5), ("q", 0.5), ("r", 0.5), ("s", 0.5)], 4)),
    # Equal adjusted scores from different damping levels: the higher
    # original score comes first, whether that is the damped candidate...
    ([item("a1", 1.0, 1, "a"), item("a2", 0.9, 1, "a"), item("a3", 0.8, 1, "a"),
      item("b1", 0.4, 1, "b")], 4, True,
     ([("a1", 1.0), ("a2", 0.9 * (1.0 / 1.5)), ("a3", 0.4), ("b1", 0.4)], 4)),
    # ... or, for negative scores, the undamped one.
    ([item("a1", 1.0, 1, "a"), item("a2", 0.9, 1, "a"), item("a3", -0.8, 1, "a"),
      item("b1", -0.4, 1, "b")], 4, True,
     ([("a1", 1.0), ("a2", 0.9 * (1.0 / 1.5)), ("b1", -0.4), ("a3", -0.4)], 4)),
    # A negative score is pulled towards zero by the damping.
    ([item("top", 1.0, 1, "f"), item("neg", -0.9, 1, "f")], 10, True,
     ([("top", 1.0), ("neg", -0.9 * (1.0 / 1.5))], 2)),
])
def test_worked_examples(items, budget, diversity, expected):
    assert picks(qc.pack_budget(items, budget, diversity)) == expected


def test_packed_item_carries_the_candidate():
    (packed,), total = qc.pack_budget([item("s", 2, 7, "f.py") | {"extra": object()}], 10)
    assert type(packed) is qc.PackedItem
    assert (packed.symbol_id, packed.file, packed.adjusted_score, packed.original_score,
            packed.tokens, total) == ("s", "f.py", 2.0, 2.0, 7, 7)
    assert type(packed.adjusted_score) is float and type(packed.tokens) is int


def test_missing_keys_take_their_defaults():
    (packed,), total = qc.pack_budget([{"tokens": 3}], 5)
    assert (packed.symbol_id, packed.file, packed.original_score, total) == ("", "", 0.0, 3)


@pytest.mark.parametrize("dropped", [{"id": "d", "score": 9.0}, {"id": "d", "score": 9.0, "tokens": 0}])
def test_items_without_tokens_are_never_packed(dropped):
    packed, total = qc.pack_budget([dropped, item("k", 0.1, 1)], 100)
    assert [p.symbol_id for p in packed] == ["k"] and total == 1


@pytest.mark.parametrize("score", [-1.0, -1, -5.0, float("nan")])
@pytest.mark.parametrize("diversity", [True, False])
def test_scores_at_or_below_minus_one_and_nan_are_never_packed(score, diversity):
    items = [item("lost", score, 1, "a"), item("kept", -0.5, 1, "b")]
    packed, total = qc.pack_budget(items, 100, diversity)
    assert [p.symbol_id for p in packed] == ["kept"] and total == 1


def test_nan_scores_leave_the_other_candidates_in_order():
    nan = float("nan")
    items = [item("n1", nan, 1), item("b", 0.2, 1), item("n2", nan, 1), item("a", 0.9, 1),
             item("c", 0.2, 1), item("n3", nan, 1)]
    packed, _ = qc.pack_budget(items, 100, False)
    assert [p.symbol_id for p in packed] == ["a", "b", "c"]


def test_at_most_three_picks_per_file_with_diversity():
    items = [item(f"a{i}", 1.0, 1, "a") for i in range(6)]
    assert [p.symbol_id for p in qc.pack_budget(items, 100)[0]] == ["a0", "a1", "a2"]
    # The fourth from the file is refused even when it is the only one that fits.
    items = [item(f"a{i}", 1.0, 1, "a") for i in range(4)] + [item("big", 5.0, 50, "b")]
    packed, total = qc.pack_budget(items, 4)
    assert [p.symbol_id for p in packed] == ["a0", "a1", "a2"] and total == 3


def test_items_without_file_share_the_empty_file():
    items = [{"id": str(i), "score": 1.0, "tokens": 1} for i in range(5)]
    assert len(qc.pack_budget(items, 100)[0]) == 3
    assert len(qc.pack_budget(items, 100, False)[0]) == 5


def test_same_id_is_packed_twice():
    packed, _ = qc.pack_budget([item("s", 1.0, 1, "a"), item("s", 0.9, 1, "b")], 10)
    assert [p.symbol_id for p in packed] == ["s", "s"]


@pytest.mark.parametrize("items, budget, expected_total", [
    ([item("max", 1.0, U64_MAX)], U64_MAX, U64_MAX),
    ([item("max", 1.0, U64_MAX)], U64_MAX - 1, 0),
    ([item("a", 0.1, 1), item("max", 1.0, U64_MAX)], U64_MAX, U64_MAX),
    ([item("big", 1.0, U64_MAX - 1), item("max", 0.9, U64_MAX), item("one", 0.1, 1)],
     U64_MAX, U64_MAX),
    ([item("a", 1.0, 2**63), item("b", 0.9, 2**63)], U64_MAX, 2**63),
])
def test_token_counts_near_the_limit_never_overflow(items, budget, expected_total):
    packed, total = qc.pack_budget(items, budget, False)
    assert total == expected_total == sum(p.tokens for p in packed)


def test_zero_budget_still_validates_the_items():
    assert qc.pack_budget([item("a", 1.0, 1)], 0) == ([], 0)
    assert qc.pack_budget([], 10) == ([], 0)
    with pytest.raises(OverflowError):
        qc.pack_budget([item("a", 1.0, -1)], 0)


def test_bool_budget_and_index_values_are_accepted():
    class Index:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            return self.value

    packed, total = qc.pack_budget([item("a", Index(2), Index(1))], True)
    assert (packed[0].original_score, total) == (2.0, 1)
    assert qc.pack_budget([item("a", 1.0, 5)], Index(5))[1] == 5


def test_dict_subclass_hooks_are_not_consulted():
    class Hooked(dict):
        def __getitem__(self, key):
            return 1000

        def __missing__(self, key):
            return 1000

    (packed,), total = qc.pack_budget([Hooked(id="h", tokens=2)], 10)
    assert (packed.symbol_id, packed.original_score, total) == ("h", 0.0, 2)


@pytest.mark.parametrize("bad, error, message", [
    ({"id": None}, TypeError, "'None' is not an instance of 'str'"),
    ({"id": 1}, TypeError, "'int' object is not an instance of 'str'"),
    ({"file": b"f"}, TypeError, "'bytes' object is not an instance of 'str'"),
    ({"id": "\ud800"}, UnicodeEncodeError, None),
    ({"score": "0.5"}, TypeError, None),
    ({"score": None}, TypeError, None),
    ({"tokens": -1}, OverflowError, None),
    ({"tokens": 2**64}, OverflowError, None),
    ({"tokens": 1.5}, TypeError, None),
])
def test_element_errors_carry_no_argument_name(bad, error, message):
    # The element is dropped for its tokens, but is still read and checked.
    element = {"id": "x", "score": 1.0} | bad
    with pytest.raises(error) as caught:
        qc.pack_budget([item("ok", 1.0, 1), element], 10)
    text = str(caught.value)
    assert not text.startswith("argument")
    if message is not None:
        assert text == message


@pytest.mark.parametrize("args, error, message", [
    (("abc", 10), TypeError, "argument 'items': Can't extract `str` to `Vec`"),
    ((5, 10), TypeError, "argument 'items': 'int' object is not an instance of 'Sequence'"),
    (({}, 10), TypeError, "argument 'items': 'dict' object is not an instance of 'Sequence'"),
    (([{}, 1], 10), TypeError, "argument 'items': 'int' object is not an instance of 'dict'"),
    (([], 1.5), TypeError, "argument 'token_budget': "),
    (([], None), TypeError, "argument 'token_budget': "),
    (([], -1), OverflowError, ""),
    (([], 2**64), OverflowError, ""),
    (([], 10, 1), TypeError, "argument 'diversity': 'int' object is not an instance of 'bool'"),
    (([], 10, 0), TypeError, "argument 'diversity': 'int' object is not an instance of 'bool'"),
    (([], 10, None), TypeError, "argument 'diversity': 'None' is not an instance of 'bool'"),
])
def test_argument_errors_name_the_argument(args, error, message):
    with pytest.raises(error) as caught:
        qc.pack_budget(*args)
    assert str(caught.value).startswith(message)
    if error is OverflowError:
        assert not str(caught.value).startswith("argument")


def fresh(text):
    # A str object that only the dict refers to.
    return "".join(list(text))


def drop_read_texts_and_retarget(items):
    # Runs inside the score conversion of the first item: the id and file
    # already read lose their last other reference, the tokens change, and
    # the list and the second item are emptied.
    first = items[0]
    del first["id"], first["file"]
    first["tokens"] = 4
    items[1].clear()
    items.clear()
    return 0.5


def empty_everything(items):
    # Runs inside the tokens conversion of the first item.
    for d in items:
        d.clear()
    items.clear()
    return 3


@pytest.mark.parametrize("hook, hooked_key, expected", [
    (drop_read_texts_and_retarget, "score", [("sym1", "f1", 0.5, 0.5, 4)]),
    (empty_everything, "tokens", [("sym1", "f1", 0.25, 0.25, 3)]),
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
    # The second item lost its keys before it was read, so it has no tokens.
    assert as_tuples(packed) == expected and total == expected[0][4]


def test_items_are_taken_before_any_key_is_read():
    items = []

    class Score:
        def __float__(self):
            del items[:]
            return 1.0

    items.extend([{"id": "a", "score": Score(), "tokens": 1}, {"id": "b", "tokens": 1},
                  {"id": "c", "tokens": 1}])
    packed, total = qc.pack_budget(items, 10)
    assert [p.symbol_id for p in packed] == ["a", "b", "c"] and total == 3


scores = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 0.5, -0.5, -1.0, 1.0, 0.25]),
)
tokens = st.one_of(st.integers(0, 12), st.sampled_from([U64_MAX, 2**63, U64_MAX - 1]))
candidates = st.lists(
    st.fixed_dictionaries({"id": st.sampled_from(["s1", "s2", "s3", "s4"]),
                           "score": scores, "tokens": tokens},
                          optional={"file": st.sampled_from(["a", "b", "c", "a\\b", ""])}),
    max_size=30)
budgets = st.one_of(st.integers(0, 60), st.sampled_from([U64_MAX, U64_MAX - 1, 2**63]))


@settings(max_examples=300, deadline=None)
@given(candidates, budgets, st.booleans())
def test_packing_matches_the_reference_and_respects_the_budget(items, budget, diversity):
    packed, total = qc.pack_budget(items, budget, diversity)
    assert total <= budget and total == sum(p.tokens for p in packed)
    expected, expected_total = fallbacks.pack_budget(items, budget, diversity)
    assert total == expected_total

    def key(row):  # floats compared exactly, the sign of a zero included
        return tuple(v.hex() if isinstance(v, float) else v for v in row)

    assert [key(r) for r in as_tuples(packed)] == [key(tuple(r)) for r in expected]
    if diversity:
        files = [p.file for p in packed]
        assert all(files.count(f) <= 3 for f in files)
