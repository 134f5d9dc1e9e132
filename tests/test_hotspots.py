import math

import pytest
from hypothesis import given, settings, strategies as st

import _quibra_core as qc
import fallbacks

U64_MAX = 2**64 - 1


def fn(cyclomatic=None, file="f.py", **extra):
    d = {"id": extra.pop("id", "s"), "kind": extra.pop("kind", "function"), "file": file}
    if cyclomatic is not None:
        d["cyclomatic"] = cyclomatic
    d.update(extra)
    return d


def scored(symbols, churn, **kwargs):
    return [(d.get("symbol_id"), d["hotspot_score"], d["assessment"])
            for d in qc.compute_hotspots(symbols, churn, **kwargs)]


@pytest.mark.parametrize("cyclomatic, churn, score, rounded, assessment", [
    (5, 0, 0.0, 0.0, "low"),
    (5, 1, 3.4657359027997265, 3.4657, "medium"),
    (3, 2, 3.295836866004329, 3.2958, "medium"),
    (7, 3, 9.704060527839234, 9.7041, "medium"),
    (10, 2, 10.986122886681098, 10.9861, "high"),
])
def test_worked_values(cyclomatic, churn, score, rounded, assessment):
    (out,) = qc.compute_hotspots([fn(cyclomatic)], {"f.py": churn})
    assert (out["cyclomatic"], out["churn"], out["hotspot_score"], out["assessment"]) == (
        cyclomatic, churn, rounded, assessment)
    # The ranking uses the unrounded score; the fallback computes it the same way.
    assert math.log(churn + 1.0) * cyclomatic == score


def test_worked_values_rank_by_unrounded_score():
    pairs = [(5, 0), (5, 1), (3, 2), (7, 3), (10, 2)]
    symbols = [fn(c, file=f"f{i}", id=i) for i, (c, _) in enumerate(pairs)]
    churn = {f"f{i}": ch for i, (_, ch) in enumerate(pairs)}
    assert [d["symbol_id"] for d in qc.compute_hotspots(symbols, churn)] == [4, 3, 1, 2, 0]


@pytest.mark.parametrize("order", [[0, 1], [1, 0]])
def test_equal_scores_keep_input_order(order):
    pairs = [("x", 2, 3), ("y", 4, 1)]  # both score 2.772588722239781
    symbols = [fn(pairs[i][1], file=pairs[i][0], id=pairs[i][0]) for i in order]
    out = qc.compute_hotspots(symbols, {"x": 3, "y": 1})
    assert [d["symbol_id"] for d in out] == [pairs[i][0] for i in order]
    assert out[0]["hotspot_score"] == out[1]["hotspot_score"] == 2.7726


def test_output_keys_in_order_with_input_objects_passed_through():
    ident, name, line, file = object(), ["n"], 3.5, "".join(["src\\", "a.py"])
    kind = type("Kind", (str,), {})("method")
    symbol = {"line": line, "file": file, "kind": kind, "name": name, "id": ident,
              "cyclomatic": 4, "max_nesting": 2, "param_count": True, "other": 1}
    (out,) = qc.compute_hotspots([symbol], {"src/a.py": 3})
    assert list(out) == ["symbol_id", "name", "kind", "file", "line", "cyclomatic",
                         "max_nesting", "param_count", "churn", "hotspot_score", "assessment"]
    for key, value in [("symbol_id", ident), ("name", name), ("kind", kind), ("file", file),
                       ("line", line)]:
        assert out[key] is value
    assert (out["max_nesting"], out["param_count"], out["churn"]) == (2, 1, 3)
    assert type(out["param_count"]) is int


def test_missing_optional_keys_are_left_out_or_zero():
    (out,) = qc.compute_hotspots([{"kind": "function", "cyclomatic": 2}], {"": 5})
    assert out == {"kind": "function", "cyclomatic": 2, "max_nesting": 0, "param_count": 0,
                   "churn": 5, "hotspot_score": 3.5835, "assessment": "medium"}


@pytest.mark.parametrize("symbol", [
    {"cyclomatic": 9},
    fn(9, kind="class"),
    fn(9, kind="Function"),
    fn(9, kind="function "),
    fn(1),
    fn(None),
])
def test_skipped_symbols(symbol):
    assert qc.compute_hotspots([symbol], {"f.py": 10}) == []


@pytest.mark.parametrize("symbol", [
    # A skipped symbol never has its later keys read.
    fn("x", kind="class", file=None, max_nesting=-1),
    fn(1, file=5, max_nesting=-1, param_count="x"),
])
def test_keys_after_a_skip_are_not_read(symbol):
    assert qc.compute_hotspots([symbol], {}) == []


def test_complexity_floor_zero_admits_symbols_without_cyclomatic():
    (out,) = qc.compute_hotspots([fn(None)], {"f.py": 50}, min_complexity=0)
    assert (out["cyclomatic"], out["hotspot_score"], out["assessment"]) == (0, 0.0, "low")


@pytest.mark.parametrize("churn_path, symbol_file", [
    ("src/a.py", "src\\a.py"),
    ("src\\a.py", "src/a.py"),
    ("src\\a.py", "src\\a.py"),
])
def test_backslashes_match_slashes_and_file_passes_through(churn_path, symbol_file):
    (out,) = qc.compute_hotspots([fn(3, file=symbol_file)], {churn_path: 2, "src/b.py": 7})
    assert out["churn"] == 2 and out["file"] is symbol_file


@pytest.mark.parametrize("symbol_file", ["SRC/a.py", "src/./a.py", " src/a.py", "src/a.py\0"])
def test_paths_are_not_normalised_beyond_separators(symbol_file):
    (out,) = qc.compute_hotspots([fn(3, file=symbol_file)], {"src/a.py": 2})
    assert out["churn"] == 0


@pytest.mark.parametrize("top_n, count", [(0, 1), (1, 1), (2, 2), (5, 5), (100, 5), (U64_MAX, 5)])
def test_cut_to_top_n(top_n, count):
    symbols = [fn(c, id=c) for c in (3, 7, 5, 2, 9)]
    out = qc.compute_hotspots(symbols, {"f.py": 4}, top_n=top_n)
    assert [d["symbol_id"] for d in out] == [9, 7, 5, 3, 2][:count]


def test_no_qualifying_symbol_gives_empty_list():
    assert qc.compute_hotspots([], {}, top_n=0) == []
    assert qc.compute_hotspots([fn(1)], {}, top_n=0) == []


def test_extreme_counts():
    (out,) = qc.compute_hotspots([fn(U64_MAX)], {"f.py": U64_MAX})
    assert out["cyclomatic"] == U64_MAX and out["churn"] == U64_MAX
    assert out["assessment"] == "high"
    assert out["hotspot_score"] == fallbacks.compute_hotspots([fn(U64_MAX)], {"f.py": U64_MAX})[0][
        "hotspot_score"]


@pytest.mark.parametrize("args, error, message", [
    (("abc", {}), TypeError, "argument 'symbols': Can't extract `str` to `Vec`"),
    (({}, {}), TypeError, "argument 'symbols': 'dict' object is not an instance of 'Sequence'"),
    (([{}, 1], {}), TypeError, "argument 'symbols': 'int' object is not an instance of 'dict'"),
    (([], []), TypeError, "argument 'file_churn': 'list' object is not an instance of 'dict'"),
    (([], {1: 2}), TypeError, "argument 'file_churn': 'int' object is not an instance of 'str'"),
    (([], {"a": None}), TypeError, "argument 'file_churn': "),
    (([], {"a": -1}), OverflowError, ""),
    (([], {}, -1), OverflowError, ""),
    (([], {}, 2, -1), OverflowError, ""),
    (([], {}, 1.5), TypeError, "argument 'min_complexity': "),
    (([], {}, 2, "x"), TypeError, "argument 'top_n': "),
])
def test_argument_errors_name_the_argument(args, error, message):
    with pytest.raises(error) as caught:
        qc.compute_hotspots(*args)
    assert str(caught.value).startswith(message)
    if error is OverflowError:
        assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("symbol, error, message", [
    ({"kind": None}, TypeError, "'None' is not an instance of 'str'"),
    ({"kind": b"function"}, TypeError, "'bytes' object is not an instance of 'str'"),
    (fn(-1), OverflowError, None),
    (fn(2.0), TypeError, None),
    (fn(3, file=None), TypeError, "'None' is not an instance of 'str'"),
    (fn(3, file="\udc80"), UnicodeEncodeError, None),
    (fn(3, max_nesting=-1), OverflowError, None),
    (fn(3, param_count="2"), TypeError, None),
])
def test_errors_inside_the_walk_carry_no_argument_name(symbol, error, message):
    with pytest.raises(error) as caught:
        qc.compute_hotspots([fn(5), symbol], {})
    assert not str(caught.value).startswith("argument")
    if message is not None:
        assert str(caught.value) == message


def test_dict_subclass_hooks_are_not_consulted():
    class Hooked(dict):
        def __getitem__(self, key):
            return 100

        def __missing__(self, key):
            return 100

    (out,) = qc.compute_hotspots([Hooked(kind="method", cyclomatic=2)], {})
    assert out["cyclomatic"] == 2 and "symbol_id" not in out


@pytest.mark.parametrize("value, expected", [
    (0.5, 1.0), (1.5, 2.0), (2.5, 3.0), (-2.5, -3.0), (0.49999999999999994, 0.0),
    (4503599627370497.0, 4503599627370497.0),
])
def test_reference_rounds_halves_away_from_zero(value, expected):
    # The oracle must not inherit round()'s halves-to-even.
    assert fallbacks._round_half_away(value) == expected


paths = st.sampled_from(["a.py", "b/c.py", "b\\c.py", "", "d\\e\\f", "d/e/f"])
symbols = st.lists(st.fixed_dictionaries(
    {"kind": st.sampled_from(["function", "method", "class"])},
    optional={"id": st.integers(0, 50), "file": paths,
              "cyclomatic": st.one_of(st.integers(0, 40), st.just(U64_MAX)),
              "max_nesting": st.integers(0, 9), "name": st.text(max_size=3)}), max_size=40)
churns = st.dictionaries(paths, st.one_of(st.integers(0, 500), st.just(U64_MAX)))


@settings(max_examples=300, deadline=None)
@given(symbols, churns, st.integers(0, 6), st.integers(0, 50))
def test_matches_the_reference(symbols, churn, min_complexity, top_n):
    assert (qc.compute_hotspots(symbols, churn, min_complexity, top_n)
            == fallbacks.compute_hotspots(symbols, churn, min_complexity, top_n))
