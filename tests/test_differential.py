"""Differential tests: every function driven with generated arguments, valid
and invalid, against the frame model of frame_model.py (the module's
conversion rules in Python, in front of the pure-Python fallbacks).

Failures are compared by exception class and message; results as the
function's contract allows (dicts as mappings, fused ties in any order).
The number of examples comes from the hypothesis profile (conftest.py).
"""

import math
import random

import pytest
from hypothesis import currently_in_test_context, event, given
from hypothesis import strategies as st

import _quibra_core as q
import frame_model as model

# ---------------------------------------------------------------------------
# Running both sides


def outcome(function, args, kwargs):
    try:
        return True, function(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - the internal-fault class included
        return False, error


def differential(name, args, kwargs, same_result):
    ok, got = outcome(getattr(q, name), args, kwargs)
    expected_ok, expected = outcome(lambda *a, **k: model.call(name, *a, **k), args, kwargs)
    if not expected_ok and not ok:
        model.assert_same_failure(got, expected)
    elif expected_ok and ok:
        same_result(got, expected)
    else:
        raise AssertionError(f"module gave {got!r}, model {expected!r}")
    if currently_in_test_context():
        event("result" if ok else type(got).__name__)
    return ok


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def same_float_map(got, expected):
    return got.keys() == expected.keys() and all(same_float(got[k], expected[k]) for k in expected)


# ---------------------------------------------------------------------------
# Values

INF, NAN = math.inf, math.nan


class FloatHook:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatHook({self.value!r})"


class IndexHook:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexHook({self.value!r})"


class OddFloat(float):
    """A float whose own __float__ the float conversion does not call."""

    def __float__(self):
        return 42.0


class OddInt(int):
    """An int whose own __index__ the integer conversions do not call."""

    def __index__(self):
        return 7


class Text(str):
    pass


class Bytes(bytes):
    pass


class Sequence:
    """A sequence with only __getitem__ and a __len__ that may lie."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.length

    def __repr__(self):
        return f"Sequence({self.items!r}, {self.length})"


class HostileDict(dict):
    """A dict subclass whose own lookups must never be consulted."""

    def __getitem__(self, key):
        raise AssertionError("__getitem__ consulted")

    def __missing__(self, key):
        raise AssertionError("__missing__ consulted")

    def __iter__(self):
        raise AssertionError("__iter__ consulted")


def numpy_like_bool(value, with_bool=True):
    namespace = {"__module__": "numpy"}
    if with_bool:
        namespace["__bool__"] = lambda self: value
    return type("bool_", (), namespace)()


# Texts of several scripts, superscripts, combining marks, emoji, NUL, and
# camelCase pieces; ids drawn from a small pool collide often.
LETTERS = ("aAbBzZ09_ -./\\\x00éÜßДжΩλ日本語한글عربي\u0939\u093f\u0902"
           "²³ⁿ₁ǅ\u0301\u0308😀🚀👍🏽\u200dⒶⓐª")
WORDS = ["get", "User", "Name", "JSON", "Decoder", "db", "DB", "Config", "init", "parsing",
         "running", "ctx", "ÜBER", "iter", "nation", "processes", "a1B2", "searching",
         "configuration", "Initializing", "happiness", "shipping", "controlled", "quickly",
         "parameters", "libraries", "Classes", "stopped", "handler", "database", "temporary"]
if not model.UCD_PRESENT:
    # Python's predicates differ from the compiled tables on Brahmic vowel signs.
    LETTERS = LETTERS.replace("\u093f", "").replace("\u0902", "")
plain_text = st.text(alphabet=st.sampled_from(LETTERS), max_size=24)
camel = st.lists(st.sampled_from(WORDS), max_size=6).map("".join)
any_char_text = st.text(st.characters(blacklist_categories=["Cs"]), max_size=16)
surrogate_text = st.builds(lambda a, s, b: a + s + b, plain_text,
                           st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), plain_text)
texts = st.one_of(plain_text, camel, plain_text.map(Text), *([any_char_text] if model.UCD_PRESENT else []))
ids = st.one_of(st.sampled_from(["a", "b", "c", "é", "日本", "a\x00b", "", "😀", "a/b", "a\\b"]), texts)

not_text = st.sampled_from([None, 1, 2.5, b"ab", ["a"], ("a",), {"a": 1}])
weird_floats = st.sampled_from([0.0, -0.0, 1.0, -1.0, INF, -INF, NAN, 5e-324, 1e308, -61.0])
floats = st.one_of(st.floats(), weird_floats, st.integers(-10**6, 10**6), st.booleans(),
                   st.builds(FloatHook, st.floats()), st.builds(IndexHook, st.integers(-5, 5)),
                   st.floats().map(OddFloat), st.integers(-3, 3).map(OddInt))
bad_floats = st.sampled_from(["1.5", None, b"x", [], {}, 10**400, FloatHook(1), FloatHook("x"),
                              IndexHook(10**400), 1j])
u64s = st.one_of(st.integers(0, 2**64 - 1), st.sampled_from([0, 1, 2**64 - 1, True, False]),
                 st.builds(IndexHook, st.integers(0, 50)), st.integers(0, 9).map(OddInt))
bad_u64s = st.sampled_from([-1, 2**64, 10**30, 1.0, "3", None, IndexHook(-1), IndexHook(2**64),
                            IndexHook(1.5), FloatHook(2.0)])


class Arg:
    """The values of one parameter: good ones, and bad ones that fail."""

    def __init__(self, good, bad):
        self.good, self.bad = good, bad


def sequences(elements, max_size=8):
    lists = st.lists(elements, max_size=max_size)
    return st.one_of(lists, lists.map(tuple),
                     st.builds(lambda xs, n: Sequence(xs, n), lists, st.sampled_from([0, 3, 10**9])))


def with_one(elements, odd, max_size=8):
    """Lists of `elements` with one `odd` element somewhere."""
    return st.builds(lambda xs, x, i: xs[: i % (len(xs) + 1)] + [x] + xs[i % (len(xs) + 1):],
                     st.lists(elements, max_size=max_size), odd, st.integers(0, max_size))


def bad_sequence(elements):
    return st.one_of(st.sampled_from(["abc", Text("x"), 5, None, {}, {"a": 1}, {1, 2}, 2.0]),
                     st.lists(elements, max_size=3).map(lambda xs: iter(xs)))


def list_arg(element, max_size=8):
    """A list parameter: any sequence of good elements; or a bad sequence, or
    a list with one bad element."""
    return Arg(sequences(element.good, max_size),
               st.one_of(bad_sequence(element.good), with_one(element.good, element.bad, max_size)))


def dict_items(fields, max_size=8):
    """A list parameter of dicts with some of `fields` (name: Arg) each; a
    few are HostileDicts. Bad: one dict with one bad field."""
    good_fields = {k: v.good for k, v in fields.items()}
    good = st.fixed_dictionaries({}, optional=good_fields)
    good = st.one_of(good, good, good.map(HostileDict))
    bad_keys = st.sampled_from([k for k, v in fields.items() if v.bad is not None])
    bad = bad_keys.flatmap(lambda key: st.fixed_dictionaries(
        {key: fields[key].bad}, optional={k: v for k, v in good_fields.items() if k != key}))
    return list_arg(Arg(good, st.one_of(bad, not_text)), max_size)


@st.composite
def calls(draw, function, values):
    """(args, kwargs) for `function`: each parameter's value from its Arg,
    at most one of them bad, given positionally or by keyword, optional ones
    sometimes left out, and now and then a binding mistake."""
    _, params, required = model.SIGNATURES[function]
    present = [i < required or draw(st.booleans()) for i in range(len(params))]
    mistake = draw(st.integers(0, 24))
    if mistake == 0:
        present[draw(st.integers(0, len(params) - 1))] = False
    bad_at = draw(st.integers(-2 * len(params), len(params) - 1))
    given_values = [draw(v.bad if i == bad_at else v.good) if present[i] else model.MISSING
                    for i, v in enumerate(values)]
    positional = draw(st.integers(0, len(params)))
    args, kwargs = [], {}
    for i, name in enumerate(params):
        if i < positional and all(present[: i + 1]):
            args.append(given_values[i])
        elif present[i]:
            kwargs[name] = given_values[i]
    kwargs = {k: kwargs[k] for k in draw(st.permutations(list(kwargs)))}
    if mistake == 1:
        args.append(draw(values[-1].good))
    elif mistake == 2:
        kwargs[draw(st.sampled_from(["bogus", "Channels", params[0] + "_", "é"]))] = 1
    elif mistake == 3 and args:
        kwargs[params[0]] = args[0]
    return tuple(args), kwargs


# ---------------------------------------------------------------------------
# Result comparisons


def same_fused(got, expected):
    assert len(got) == len(expected)
    want = {r.symbol_id: r for r in expected}
    for r in got:
        e = want[r.symbol_id]
        assert same_float(r.score, e.score), (r.symbol_id, r.score, e.score)
        assert same_float_map(r.channel_contributions, e.channel_contributions)
        assert r.channel_ranks == e.channel_ranks
    # Ties in any order, but never a record after one with a smaller score.
    scores = [r.score for r in got]
    assert not any(scores[j] > scores[i] for i in range(len(scores)) for j in range(i + 1, len(scores)))


def same_packing(got, expected):
    (packed, total), (want, want_total) = got, expected
    assert total == want_total
    assert len(packed) == len(want)
    for p, w in zip(packed, want):
        assert (p.symbol_id, p.file, p.tokens) == (w.symbol_id, w.file, w.tokens)
        assert same_float(p.adjusted_score, w.adjusted_score) and same_float(p.original_score, w.original_score)


PASSED_THROUGH = ("symbol_id", "name", "kind", "file", "line")


def same_hotspots(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert list(g) == list(e)
        for key in g:
            if key in PASSED_THROUGH:
                assert g[key] is e[key], key
            elif key == "hotspot_score":
                assert same_float(g[key], e[key])
            else:
                assert g[key] == e[key] and type(g[key]) is type(e[key]), key


def same_pagerank(got, expected):
    (scores, count), (want, want_count) = got, expected
    assert count == want_count
    assert same_float_map(scores, want)


def equal(got, expected):
    assert got == expected


def same_channel(got, expected):
    assert (got.name, got.ranked_ids) == expected[:2]
    assert same_float(got.weight, expected[2])


# ---------------------------------------------------------------------------
# fuse and ChannelResult

text_arg = Arg(texts, st.one_of(not_text, surrogate_text))
float_arg = Arg(floats, bad_floats)
u64_arg = Arg(st.one_of(st.integers(0, 40), u64s), bad_u64s)
channel_args = calls("ChannelResult", [text_arg, list_arg(Arg(ids, st.one_of(not_text, surrogate_text)), 12),
                                       float_arg])
CHANNEL_NAMES = ["lexical", "structural", "similarity", "identity", "other", "é", ""]


@given(channel_args)
def test_channel_result_constructor(call):
    differential("ChannelResult", *call, same_channel)


def make_channel(name, ranked, weight):
    return q.ChannelResult(name, ranked) if weight is None else q.ChannelResult(name, ranked, weight)


channel_names = st.one_of(st.sampled_from(CHANNEL_NAMES), st.sampled_from(CHANNEL_NAMES), texts)
# The weight is often left out or exactly 1.0, so that the table decides.
valid_channels = st.builds(make_channel, channel_names, st.lists(ids, max_size=12),
                           st.one_of(st.none(), st.none(), st.just(1.0), floats))
weights = st.dictionaries(channel_names, floats, max_size=5)
bad_weights = st.one_of(
    st.sampled_from([[], "x", 1, [("lexical", 1.0)]]),
    st.builds(lambda good, k, v: {**good, k: v}, weights, st.one_of(texts, st.sampled_from([1, None, b"k"]),
                                                                    surrogate_text), bad_floats),
    st.builds(lambda good, k, v: {**good, k: v}, weights, st.sampled_from([1, None, b"k"]), floats),
)
fuse_calls = calls("fuse", [
    list_arg(Arg(valid_channels, not_text), 5),
    Arg(st.one_of(st.none(), floats), bad_floats),
    Arg(st.one_of(st.none(), weights, weights.map(HostileDict)), bad_weights),
])


@given(fuse_calls)
def test_fuse(call):
    differential("fuse", *call, same_fused)


# ---------------------------------------------------------------------------
# pack_budget and compute_hotspots

budget_items = dict_items({
    "id": Arg(ids, st.one_of(not_text, surrogate_text)),
    "file": Arg(st.sampled_from(["a.py", "b.py", "", "é.py", "a\x00"]), not_text),
    "score": Arg(floats, bad_floats),
    "tokens": Arg(st.one_of(st.integers(0, 40), u64s), bad_u64s),
    "other": Arg(st.just(object()), None),
}, 14)
pack_calls = calls("pack_budget", [
    budget_items,
    Arg(st.one_of(st.integers(0, 120), u64s), bad_u64s),
    Arg(st.one_of(st.booleans(), st.booleans().map(numpy_like_bool)),
        st.sampled_from([1, 0, None, "yes", numpy_like_bool(True, with_bool=False)])),
])


@given(pack_calls)
def test_pack_budget(call):
    differential("pack_budget", *call, same_packing)


PATHS = ["src/a.py", "src\\a.py", "b.py", "", "é/ü.py", "a\x00b"]
symbols = dict_items({
    "id": Arg(st.one_of(ids, st.integers(), st.none()), None),
    "name": Arg(st.one_of(texts, st.floats()), None),
    "kind": Arg(st.sampled_from(["function", "method", "method", "class", "Function", "méthod"])
                .flatmap(lambda k: st.sampled_from([k, Text(k)])), not_text),
    "file": Arg(st.sampled_from(PATHS), st.one_of(not_text, surrogate_text)),
    "line": Arg(st.one_of(st.integers(-3, 10**20), st.none()), None),
    "cyclomatic": u64_arg,
    "max_nesting": u64_arg,
    "param_count": u64_arg,
}, 10)
churn = st.dictionaries(st.one_of(st.sampled_from(PATHS), texts),
                        st.one_of(st.integers(0, 10**6), u64s), max_size=5)
bad_churn = st.one_of(
    st.sampled_from([[], "a", None, [("a", 1)]]),
    st.builds(lambda good, k, v: {**good, k: v}, churn, st.sampled_from(PATHS), bad_u64s),
    st.builds(lambda good, k, v: {**good, k: v}, churn, st.one_of(st.sampled_from([1, None]), surrogate_text),
              u64s),
)
hotspot_calls = calls("compute_hotspots", [
    symbols,
    Arg(st.one_of(churn, churn.map(HostileDict)), bad_churn),
    Arg(st.one_of(st.integers(0, 12), u64s), bad_u64s),
    Arg(st.one_of(st.integers(0, 12), u64s), bad_u64s),
])


@given(hotspot_calls)
def test_compute_hotspots(call):
    differential("compute_hotspots", *call, same_hotspots)


# ---------------------------------------------------------------------------
# Tokenizer


@pytest.mark.parametrize("name", ["tokenize", "tokenize_query", "stem_word"])
@given(data=st.data())
def test_tokenizer(name, data):
    differential(name, *data.draw(calls(name, [text_arg])), equal)


# ---------------------------------------------------------------------------
# PageRank and content hashing


node = st.sampled_from(["a", "b", "c", "d", "é", "a\x00", "A", "a/b", "a\\b", "😀", ""])
edge = Arg(st.tuples(node, node),
           st.one_of(not_text, st.sampled_from([("a",), ("a", "b", "c"), ["a", "b"], ("a", 1), (None, "a")]),
                     st.tuples(node, surrogate_text)))
pagerank_calls = calls("compute_pagerank", [
    list_arg(edge, 16),
    list_arg(Arg(node, st.one_of(not_text, surrogate_text)), 10),
    Arg(st.one_of(st.none(), floats, st.floats(0.0, 1.0)), bad_floats),
    # Bounded: with a NaN tolerance the fallback too runs every iteration.
    Arg(st.one_of(st.integers(0, 60), st.builds(IndexHook, st.integers(0, 5)), st.booleans()), bad_u64s),
    Arg(st.one_of(st.floats(), weird_floats, st.sampled_from([1e-6, 1e-12, 0.5]), st.integers(0, 2)), bad_floats),
])


@given(pagerank_calls)
def test_compute_pagerank(call):
    differential("compute_pagerank", *call, same_pagerank)


byte_value = st.integers(0, 255)
content = Arg(
    st.one_of(st.binary(max_size=40), st.binary(max_size=40).map(bytearray), st.binary(max_size=40).map(Bytes),
              st.lists(st.one_of(byte_value, st.booleans(), st.builds(IndexHook, byte_value)), max_size=20),
              st.lists(byte_value, max_size=20).map(tuple), st.just(range(0, 256, 7))),
    st.one_of(st.sampled_from([None, 1, 2.5, {"a": 1}, "text", Text("t"), memoryview(b"ab")]),
              *[with_one(byte_value, st.sampled_from([256, -1, 2**63, 2**70, 1.0, "1", None]), 4)] * 2),
)
pair = Arg(st.tuples(ids, content.good),
           st.one_of(not_text, st.sampled_from([("a",), ("a", b"", b""), ["a", b""]]),
                     st.tuples(st.one_of(not_text, surrogate_text), content.good),
                     *[st.tuples(ids, content.bad)] * 2))
batch_calls = calls("batch_content_hash", [list_arg(pair, 8)])
content_calls = calls("content_hash", [
    Arg(st.one_of(st.binary(max_size=200), st.binary(max_size=40).map(Bytes)),
        st.one_of(not_text, st.binary(max_size=8).map(bytearray), st.binary(max_size=8).map(memoryview))),
])


@given(batch_calls)
def test_batch_content_hash(call):
    differential("batch_content_hash", *call, equal)


@given(content_calls)
def test_content_hash(call):
    differential("content_hash", *call, equal)


# ---------------------------------------------------------------------------
# Large inputs, drawn from a seeded generator: far beyond the sizes above


def large_calls(seed):
    rng = random.Random(seed)
    words = WORDS + ["é", "日本", "x1", "😀", "a\x00b", "ǅ"]
    pool = [f"{rng.choice(words)}{i % 700}" for i in range(3000)]
    paths = [f"src/{rng.choice(words)}/{i}.py" for i in range(1500)]
    yield "fuse", ([q.ChannelResult(rng.choice(CHANNEL_NAMES), rng.choices(pool, k=rng.randrange(2000)),
                                    *rng.choice([(), (1.0,), (rng.uniform(-1, 3),)]))
                    for _ in range(30)], rng.choice([None, 0.0, 60])), same_fused
    yield "pack_budget", ([{"id": rng.choice(pool), "file": rng.choice(paths[:40]), "score": rng.uniform(-2, 2),
                            "tokens": rng.randrange(0, 60)} for _ in range(1500)],
                          rng.randrange(3000), rng.random() < 0.5), same_packing
    yield "compute_hotspots", ([{"id": i, "kind": rng.choice(["function", "method", "class"]),
                                 "file": rng.choice(paths).replace("/", rng.choice("/\\")),
                                 "cyclomatic": rng.randrange(30), "max_nesting": rng.randrange(5)}
                                for i in range(20000)],
                               {p: rng.randrange(100) for p in rng.sample(paths, 500)}, 2, 300), same_hotspots
    text = " ".join(rng.choice(pool) + rng.choice(["", "Parser", "DBConfig", "_ctx", "."]) for _ in range(100000))
    yield "tokenize", (text,), equal
    yield "tokenize_query", (text[: len(text) // 3],), equal
    edges = [(rng.choice(paths), rng.choice(paths + ["outside.py"])) for _ in range(8000)]
    yield "compute_pagerank", (edges, paths + rng.sample(paths, 50), rng.choice([None, 0.85, 0.5])), same_pagerank
    yield "batch_content_hash", ([(rng.choice(paths), rng.randbytes(rng.randrange(20000))) for _ in range(100)],), equal


@pytest.mark.parametrize("seed", [1, 2])
def test_large_inputs(seed):
    for name, args, same_result in large_calls(seed):
        assert differential(name, args, {}, same_result), name
