"""Import-graph PageRank."""

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quibra_core as q
import fallbacks
import import_graphs

ABC = [("a", "b"), ("a", "c"), ("b", "c")]


def bits(result):
    """A result with every score as its repr, so NaNs and -0.0 compare exactly."""
    scores, count = result
    return {path: repr(score) for path, score in scores.items()}, count


@pytest.mark.parametrize(
    "edges, files, kwargs, expected, count",
    [
        ([("a", "b")], ["a", "b"], {}, {"a": 0.352771, "b": 0.647229}, 16),
        (ABC, ["a", "b", "c"], {}, {"a": 0.199292, "b": 0.282467, "c": 0.518241}, 13),
        (ABC, ["a", "b", "c"], {"max_iter": 3}, {"c": 0.515380}, 3),
        ([], ["a", "b", "c"], {}, {"a": 1 / 3, "b": 1 / 3, "c": 1 / 3}, 1),
        (ABC, ["a", "b", "c"], {"max_iter": 0}, {"a": 1 / 3, "b": 1 / 3, "c": 1 / 3}, 0),
        # One node listed twice: N is 2 and its score enters the dangling mass twice.
        ([], ["a", "a"], {}, {"a": 0.5}, 1),
    ],
)
def test_worked_examples(edges, files, kwargs, expected, count):
    scores, iterations = q.compute_pagerank(edges, files, **kwargs)
    assert iterations == count
    assert set(scores) == set(files)
    for path, score in expected.items():
        assert score == pytest.approx(scores[path], abs=5e-7)


@pytest.mark.parametrize("edges", [[], [("x", "y"), ("a", "a")]])
def test_empty_files_give_empty_result(edges):
    assert q.compute_pagerank(edges, []) == ({}, 0)


def test_empty_files_still_convert_edges():
    with pytest.raises(TypeError, match="^argument 'edges': Can't extract `str` to `Vec`$"):
        q.compute_pagerank("ab", [])
    with pytest.raises(ValueError):
        q.compute_pagerank([("a",)], [])


@pytest.mark.parametrize("tol", [0.0, -1.0, math.nan])
def test_tolerance_never_met_runs_to_the_limit(tol):
    assert q.compute_pagerank(ABC, ["a", "b", "c"], tol=tol)[1] == 100
    assert q.compute_pagerank(ABC, ["a", "b", "c"], max_iter=7, tol=tol)[1] == 7


@pytest.mark.parametrize("damping", [math.nan, math.inf, -math.inf])
def test_non_finite_damping_gives_nan_scores(damping):
    scores, count = q.compute_pagerank(ABC, ["a", "b", "c"], damping=damping, max_iter=5)
    assert count == 5 and all(math.isnan(s) for s in scores.values())


def test_damping_none_is_the_default_and_outside_range_is_used():
    default = q.compute_pagerank(ABC, ["a", "b", "c"])
    assert q.compute_pagerank(ABC, ["a", "b", "c"], None) == default
    assert q.compute_pagerank(ABC, ["a", "b", "c"], damping=0.8347) == default
    # Teleport share -1, dangling share 0.5 * 3 / 2: a falls below zero.
    assert q.compute_pagerank([("a", "b")], ["a", "b"], damping=3.0, max_iter=1) == ({"a": -0.25, "b": 1.25}, 1)


def test_file_whose_edges_lead_nowhere_is_dangling():
    files = ["a", "b", "c"]
    plain = q.compute_pagerank([("a", "b")], files)
    # c's only edges are a self-loop and one leaving the files: c stays dangling.
    assert q.compute_pagerank([("a", "b"), ("c", "c"), ("c", "elsewhere")], files) == plain
    assert q.compute_pagerank([("c", "a"), ("a", "b")], files) != plain


def test_paths_are_compared_byte_for_byte():
    files = ["src/a.py", "src\\a.py", "SRC/a.py", "src/a.py\x00"]
    scores, _ = q.compute_pagerank([("src/a.py", "src\\a.py")], files)
    assert set(scores) == set(files)
    assert scores["src\\a.py"] > scores["SRC/a.py"] == scores["src/a.py\x00"]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: q.compute_pagerank(), TypeError,
         "compute_pagerank() missing 2 required positional arguments: 'edges' and 'files'"),
        (lambda: q.compute_pagerank([], [], None, 1, 1.0, 0), TypeError,
         "compute_pagerank() takes from 2 to 5 positional arguments but 6 were given"),
        (lambda: q.compute_pagerank("ab", 5), TypeError, "argument 'edges': Can't extract `str` to `Vec`"),
        (lambda: q.compute_pagerank([["a", "b"]], []), TypeError,
         "argument 'edges': 'list' object is not an instance of 'tuple'"),
        (lambda: q.compute_pagerank([("a", "b", "c")], []), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (lambda: q.compute_pagerank([("a", b"b")], []), TypeError,
         "argument 'edges': 'bytes' object is not an instance of 'str'"),
        (lambda: q.compute_pagerank([], {"a": 1}), TypeError,
         "argument 'files': 'dict' object is not an instance of 'Sequence'"),
        (lambda: q.compute_pagerank([], ["a", None]), TypeError,
         "argument 'files': 'None' is not an instance of 'str'"),
        (lambda: q.compute_pagerank([], ["a"], damping="x"), TypeError,
         "argument 'damping': must be real number, not str"),
        (lambda: q.compute_pagerank([], ["a"], max_iter=None), TypeError,
         "argument 'max_iter': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: q.compute_pagerank([], ["a"], max_iter=2.0), TypeError,
         "argument 'max_iter': 'float' object cannot be interpreted as an integer"),
        (lambda: q.compute_pagerank([], ["a"], tol=None), TypeError,
         "argument 'tol': must be real number, not NoneType"),
        (lambda: q.compute_pagerank([], ["a"], max_iter=-1), OverflowError, None),
        (lambda: q.compute_pagerank([], ["a"], max_iter=2**64), OverflowError, None),
        (lambda: q.compute_pagerank([], ["\ud800"]), UnicodeEncodeError, None),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


def test_integer_like_arguments_are_accepted():
    expected = q.compute_pagerank(ABC, ["a", "b", "c"], 0.5, 4, 0.0)
    assert q.compute_pagerank(ABC, ("a", "b", "c"), 1 / 2, True + 3, False) == expected


# --- properties on random graphs ------------------------------------------

# Non-ASCII names fix the byte order of in-link sums: "é" and "😀" sort after
# every ASCII name in UTF-8, and "\uffff" before "\U00010000".
names = st.sampled_from(["a", "b", "c", "d", "src/x.py", "é", "😀", "\uffff", "\U00010000", "a\x00"])
graphs = st.tuples(st.lists(st.tuples(names, names), max_size=40), st.lists(names, min_size=1, max_size=10))
parameters = st.fixed_dictionaries({
    "damping": st.one_of(st.none(), st.floats(0.0, 1.0), st.sampled_from([math.nan, 1.5, -0.5])),
    "max_iter": st.integers(0, 60),
    "tol": st.one_of(st.floats(0.0, 1e-2), st.sampled_from([math.nan, 1.0])),
})


@settings(max_examples=300, deadline=None)
@given(graphs, parameters)
def test_matches_fallback_exactly(graph, kwargs):
    edges, files = graph
    assert bits(q.compute_pagerank(edges, files, **kwargs)) == bits(fallbacks.compute_pagerank(edges, files, **kwargs))


@pytest.mark.parametrize("seed", range(3))
def test_in_link_sums_follow_byte_order_of_sources(seed):
    # Many in-links per file from sources whose names mix ASCII and multi-byte
    # characters: any other summation order changes some score's bits.
    rng = random.Random(seed)
    files = [f"{rng.choice(['a', 'Z', 'é', 'ß', '日', '😀', '~'])}/{i}.py" for i in range(300)]
    edges = [(rng.choice(files), rng.choice(files)) for _ in range(6000)]
    assert bits(q.compute_pagerank(edges, files)) == bits(fallbacks.compute_pagerank(edges, files))


def fresh(text):
    """An equal str that is a different object, with its own buffers."""
    return "".join(list(text)) if len(text) > 1 else (text + "\x00")[:-1]


def test_edges_viewing_other_objects_than_files_give_the_same_result():
    edges, files = import_graphs.synthetic_graph(500, 5000, seed=3)
    files = files + ["é/ü.py", "😀.py", ""]
    edges = edges + [("é/ü.py", "😀.py"), ("😀.py", ""), ("", files[0])]
    copied = [(fresh(s), fresh(t)) for s, t in edges]
    assert all(a is not b for (a, _), (b, _) in zip(copied, edges) if len(a) > 1)
    assert bits(q.compute_pagerank(copied, files)) == bits(q.compute_pagerank(edges, files))
    assert bits(q.compute_pagerank(edges, [fresh(f) for f in files])) == bits(q.compute_pagerank(edges, files))


@settings(max_examples=200, deadline=None)
@given(graphs, st.floats(0.0, 1.0))
def test_scores_sum_to_one_without_repeated_files(graph, damping):
    edges, files = graph
    scores, _ = q.compute_pagerank(edges, list(dict.fromkeys(files)), damping)
    assert math.fsum(scores.values()) == pytest.approx(1.0, abs=1e-9)


@settings(max_examples=200, deadline=None)
@given(graphs, st.data())
def test_ignored_edges_change_nothing(graph, data):
    edges, files = graph
    before = bits(q.compute_pagerank(edges, files))
    path = data.draw(st.sampled_from(files))
    extra = [(path, path), (path, "not a file"), ("not a file", path)]
    if edges:
        extra.append(data.draw(st.sampled_from(edges)))
    position = data.draw(st.integers(0, len(edges)))
    for edge in extra:
        assert bits(q.compute_pagerank(edges[:position] + [edge] + edges[position:], files)) == before


# --- against networkx on a real graph ----------------------------------------


def test_standard_library_graph_agrees_with_networkx():
    nx = pytest.importorskip("networkx")
    edges, files = import_graphs.stdlib_graph()
    damping = 0.85
    scores, count = q.compute_pagerank(edges, files, damping, max_iter=1000, tol=1e-15)
    assert count < 1000

    # networkx keeps self-loops and adds the ends of every edge as nodes, so
    # it is given only the edges that count here. Its dangling nodes spread
    # their score evenly over all nodes, as here, and its personalisation is
    # uniform, so both iterate toward the same fixed point.
    known = set(files)
    graph = nx.DiGraph()
    graph.add_nodes_from(files)
    graph.add_edges_from((s, t) for s, t in edges if s != t and s in known and t in known)
    theirs = nx.pagerank(graph, alpha=damping, max_iter=1000, tol=1e-15)

    assert len(scores) == len(files) > 500
    assert max(abs(scores[path] - theirs[path]) for path in files) < 1e-9


def test_keys_are_plain_str_even_for_str_subclasses():
    class Path(str):
        pass

    scores, _ = q.compute_pagerank([(Path("a"), "b")], [Path("a"), "b", Path("b")])
    assert scores.keys() == {"a", "b"}
    assert all(type(key) is str for key in scores)


def test_docstring():
    assert q.compute_pagerank.__text_signature__ == "(edges, files, damping=None, max_iter=100, tol=1e-6)"
    assert q.compute_pagerank.__doc__ == "\n".join([
        "Compute PageRank on a file import graph.",
        "",
        "Args:",
        "    edges: List of (source_file, target_file) directed edges.",
        "    files: List of all file paths in the graph.",
        "    damping: Damping factor (default uses canary value).",
        "    max_iter: Maximum iterations (default 100).",
        "    tol: Convergence tolerance (default 1e-6).",
        "",
        "Returns:",
        "    (scores_dict, iterations_to_converge)",
    ])
