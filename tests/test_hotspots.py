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
    return d | extra


@pytest.mark.parametrize("cyclomatic, churn, score, rounded, assessment", [
    (5, 0, 0.0, 0.0, "low"),
    (5, 1, 3.4657359027997265, 3.4657, "medium"),
    (3, 2, 3.295836866004329, 3.2958, "medium"),
    (7, 3, 9.704060527839234, 9.7041, "medium"),
    (10, 2, 10.986122886681098, 10.9861, "high"),
])
def test_worked_values(cyclomatic, churn, score, rounded, assessment):
    (out,) = qc.compute_hotspots([fn(cyclomatic)], {"f.py": churn})
    assert (out["churn"], out["hotspot_score"], out["assessment"]) == (churn, rounded, assessment)
    assert math.log(churn + 1.0) * cyclomatic == score  # the oracle's unrounded score


@pytest.mark.parametrize("order", [[0, 1], [1, 0]])
def test_equal_scores_keep_input_order(order):
    pairs = [("x", 2, 3), ("y", 4, 1)]  # both score 2.772588722239781
    symbols = [fn(pairs[i][1], file=pairs[i][0], id=pairs[i][0]) for i in order]
    out = qc.compute_hotspots(symbols, {"x": 3, "y": 1})
    assert [d["symbol_id"] for d in out] == [pairs[i][0] for i in order]


def test_output_keys_in_order_with_input_objects_passed_through():
    ident, name, line, file = object(), ["n"], 3.5, "".join(["src\\", "a.py"])
    kind = type("Kind", (str,), {})("method")
    symbol = {"line": line, "file": file, "kind": kind, "name": name, "id": ident,
              "cyclomatic": 4, "max_nesting": 2, "param_count": True, "other": 1}
    (out,) = qc.compute_hotspots([symbol], {"src/a.py": 3})
    assert list(out) == ["symbol_id", "name", "kind", "file", "line", "cyclomatic",
                         "max_nesting", "param_count", "churn", "hotspot_score", "assessment"]
    assert all(out[k] is v for k, v in [("symbol_id", ident), ("name", name), ("kind", kind),
                                        ("file", file), ("line", line)])
    assert (out["max_nesting"], out["param_count"], type(out["param_count"])) == (2, 1, int)


def test_missing_optional_keys_with_complexity_floor_zero():
    (out,) = qc.compute_hotspots([{"kind": "function"}], {"": 5}, min_complexity=0)
    assert out == {"kind": "function", "cyclomatic": 0, "max_nesting": 0, "param_count": 0,
                   "churn": 5, "hotspot_score": 0.0, "assessment": "low"}


@pytest.mark.parametrize("symbol", [
    {"cyclomatic": 9},
    fn(9, kind="class"),
    fn(9, kind="Function"),
    fn(1),
    fn(None),
    # A skipped symbol never has its later keys read.
    fn("x", kind="class", file=None, max_nesting=-1),
    fn(1, file=5, max_nesting=-1, param_count="x"),
])
def test_skipped_symbols(symbol):
    assert qc.compute_hotspots([symbol], {"f.py": 10}) == []


@pytest.mark.parametrize("churn_path, symbol_file, churn", [
    ("src/a.py", "src\\a.py", 2),
    ("src\\a.py", "src/a.py", 2),
    ("src/a.py", "SRC/a.py", 0),
    ("src/a.py", "src/./a.py", 0),
])
def test_only_backslashes_are_normalised(churn_path, symbol_file, churn):
    (out,) = qc.compute_hotspots([fn(3, file=symbol_file)], {churn_path: 2, "src/b.py": 7})
    assert out["churn"] == churn and out["file"] is symbol_file


@pytest.mark.parametrize("top_n, count", [(0, 1), (2, 2), (100, 5), (U64_MAX, 5)])
def test_cut_to_top_n(top_n, count):
    symbols = [fn(c, id=c) for c in (3, 7, 5, 2, 9)] + [fn(1)]
    out = qc.compute_hotspots(symbols, {"f.py": 4}, top_n=top_n)
    assert [d["symbol_id"] for d in out] == [9, 7, 5, 3, 2][:count]
    assert qc.compute_hotspots([fn(1)], {}, top_n=top_n) == []


@pytest.mark.parametrize("args, error, message", [
    (("abc", {}), TypeError, "argument 'symbols': Can't extract `str` to `Vec`"),
    (([{}, 1], {}), TypeError, "argument 'symbols': 'int' object is not an instance of 'dict'"),
    (([], []), TypeError, "argument 'file_churn': 'list' object is not an instance of 'dict'"),
    (([], {1: 2}), TypeError, "argument 'file_churn': 'int' object is not an instance of 'str'"),
    (([], {"a": -1}), OverflowError, ""),
    (([], {}, -1), OverflowError, ""),
    (([], {}, 1.5), TypeError, "argument 'min_complexity': "),
    (([], {}, 2, "x"), TypeError, "argument 'top_n': "),
])
def test_argument_errors(args, error, message):
    with pytest.raises(error) as caught:
        qc.compute_hotspots(*args)
    assert str(caught.value).startswith(message)
    assert error is TypeError or not str(caught.value).startswith("argument")


@pytest.mark.parametrize("symbol, error, message", [
    ({"kind": None}, TypeError, "'None' is not an instance of 'str'"),
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
    assert message is None or str(caught.value) == message


@pytest.mark.parametrize("value, expected", [
    (0.5, 1.0), (2.5, 3.0), (-2.5, -3.0), (0.49999999999999994, 0.0),
    (4503599627370497.0, 4503599627370497.0),
])
def test_reference_rounds_halves_away_from_zero(value, expected):
    # The oracle must not inherit round()'s halves-to-even.
    assert fallbacks._round_half_away(value) == expected


paths = st.sampled_from(["a.py", "b/c.py", "b\\c.py", "", "d\\e\\f", "d/e/f"])
symbols = st.lists(st.fixed_dictionaries(
    {"kind": st.sampled_from(["function", "method", "class"])},
    optional={"id": st.integers(0, 50), "file": paths, "name": st.text(max_size=3),
              "cyclomatic": st.one_of(st.integers(0, 40), st.just(U64_MAX)),
              "max_nesting": st.integers(0, 9)}), max_size=40)
churns = st.dictionaries(paths, st.one_of(st.integers(0, 500), st.just(U64_MAX)))


@settings(max_examples=300, deadline=None)
@given(symbols, churns, st.integers(0, 6), st.integers(0, 50))
def test_matches_the_reference(symbols, churn, min_complexity, top_n):
    assert (qc.compute_hotspots(symbols, churn, min_complexity, top_n)
            == fallbacks.compute_hotspots(symbols, churn, min_complexity, top_n))
