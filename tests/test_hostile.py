"""Hostile inputs for every function: conversion hooks that raise, that
change or empty the container being read, that drop the last reference to a
text in use, or that call the module again; numpy's bools; very large
inputs; first use from many threads at once. Each call must end with the
specified result or exception, never a crash. (The fuse-only cases live in
test_frame.py.)"""

import os
import subprocess
import sys
import textwrap

import pytest

import _quibra_core as q
import fallbacks
import frame_model as model

# Very large inputs take minutes under the sanitizer build.
large = pytest.mark.skipif(os.environ.get("QUIBRA_UNDER_SANITIZER") == "1", reason="too slow under the sanitizer")


def fresh(text):
    """A new str object with the text, referenced only by the caller."""
    return "".join(list(text))


class Hook:
    """A number whose conversion hooks first run `action` (which may raise,
    mutate a container or call the module), then give `value`."""

    def __init__(self, value, action=lambda: None):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


def raising(error):
    def action():
        raise error

    return action


def result_of(call):
    try:
        return True, call()
    except BaseException as error:  # noqa: BLE001
        return False, error


def same_as_model(function, make_args, compare=None):
    """Runs the module and the frame model on two fresh copies of a hostile
    input and compares their results or failures."""
    ok, got = result_of(lambda: getattr(q, function)(*make_args()))
    expected_ok, expected = result_of(lambda: model.call(function, *make_args()))
    assert ok == expected_ok, (got, expected)
    if not ok:
        model.assert_same_failure(got, expected)
    elif compare:
        compare(got, expected)
    else:
        assert got == expected
    return got


def plain(value):
    """Results as comparable values: the module's classes as tuples."""
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, q.PackedItem):
        return (value.symbol_id, value.file, value.adjusted_score, value.original_score, value.tokens)
    if isinstance(value, q.ChannelResult):
        return (value.name, value.ranked_ids, value.weight)
    if isinstance(value, q.FusedResult):
        return (value.symbol_id, value.score, value.channel_contributions, value.channel_ranks)
    return value


def same_packing(got, expected):
    assert got[1] == expected[1]
    assert [(p.symbol_id, p.file, p.adjusted_score, p.original_score, p.tokens) for p in got[0]] == \
        [tuple(p) for p in expected[0]]


# ---------------------------------------------------------------------------
# Hooks that raise, at every place a hook runs

FUNCTION_SYMBOL = {"kind": "function", "file": "a.py", "cyclomatic": 5}

# (where, call with the hook in place, argument name that prefixes a
# TypeError or None where the error is raised reading an element's entry)
HOOK_SITES = [
    ("ChannelResult weight", lambda h: q.ChannelResult("x", ["a"], h), "weight"),
    ("fuse weights value", lambda h: q.fuse([], weights={"a": h}), "weights"),
    ("pack_budget score", lambda h: q.pack_budget([{"score": h, "tokens": 1}], 5), None),
    ("pack_budget tokens", lambda h: q.pack_budget([{"tokens": h}], 5), None),
    ("pack_budget token_budget", lambda h: q.pack_budget([], h), "token_budget"),
    ("hotspots cyclomatic", lambda h: q.compute_hotspots([{"kind": "method", "cyclomatic": h}], {}), None),
    ("hotspots max_nesting", lambda h: q.compute_hotspots([{**FUNCTION_SYMBOL, "max_nesting": h}], {}), None),
    ("hotspots param_count", lambda h: q.compute_hotspots([{**FUNCTION_SYMBOL, "param_count": h}], {}), None),
    ("hotspots file_churn", lambda h: q.compute_hotspots([], {"a.py": h}), "file_churn"),
    ("hotspots min_complexity", lambda h: q.compute_hotspots([], {}, h), "min_complexity"),
    ("hotspots top_n", lambda h: q.compute_hotspots([], {}, 2, h), "top_n"),
    ("pagerank damping", lambda h: q.compute_pagerank([], ["a"], h), "damping"),
    ("pagerank max_iter", lambda h: q.compute_pagerank([], ["a"], max_iter=h), "max_iter"),
    ("pagerank tol", lambda h: q.compute_pagerank([], ["a"], tol=h), "tol"),
    ("batch content byte", lambda h: q.batch_content_hash([("p", [1, h])]), "contents"),
]

SubTypeError = type("SubTypeError", (TypeError,), {})


@pytest.mark.parametrize("where, call, name", HOOK_SITES)
@pytest.mark.parametrize("error_class", [TypeError, SubTypeError, ValueError, OverflowError, KeyboardInterrupt])
def test_raising_hook(where, call, name, error_class):
    error = error_class("boom")
    with pytest.raises(BaseException) as info:
        call(Hook(1, raising(error)))
    if error_class is TypeError and name:
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument '{name}': boom"
    else:
        # Other classes, and errors met reading an element's entry, pass
        # through as they are.
        assert info.value is error


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("where, call, name", [site for site in HOOK_SITES if site[2]])
def test_type_error_whose_message_cannot_be_made(where, call, name):
    # The prefix cannot be put in front of a message that fails to become
    # text: that failure is what the caller sees.
    with pytest.raises(ValueError, match="no text"):
        call(Hook(1, raising(TypeError(Unprintable()))))


class EqHookKey(str):
    """A dict key equal to the same text, whose __eq__ runs `action`."""

    def __new__(cls, text, action):
        key = super().__new__(cls, text)
        key.action = action
        return key

    __hash__ = str.__hash__

    def __eq__(self, other):
        self.action()
        return str.__eq__(self, other)


@pytest.mark.parametrize("function, entries", [
    ("pack_budget", {"id": "a", "file": "f", "score": 1.0, "tokens": 2}),
    ("compute_hotspots", {"id": "a", "kind": "function", "file": "f", "cyclomatic": 3, "max_nesting": 1}),
])
@pytest.mark.parametrize("key", ["id", "file", "tokens", "kind", "max_nesting"])
@pytest.mark.parametrize("how", ["raise", "clear", "reenter"])
def test_item_key_whose_eq_hook_raises_or_empties_the_dict(function, entries, key, how):
    if key not in entries:
        pytest.skip("key not read by this function")

    def make():
        item = {}
        actions = {"raise": raising(KeyError("eq")), "clear": item.clear,
                   "reenter": lambda: q.tokenize("fooBar")}
        for k, v in entries.items():
            item[EqHookKey(k, actions[how]) if k == key else k] = v
        second = dict(entries, id="b")
        return ([item, second], 10) if function == "pack_budget" else ([item, second], {"f": 3})

    same_as_model(function, make, same_packing if function == "pack_budget" else None)


class FlakySequence:
    """A sequence whose __len__, __iter__ or item access raises `error`."""

    def __init__(self, items, error, where):
        self.items, self.error, self.where = items, error, where

    def __len__(self):
        if self.where == "len":
            raise self.error
        return len(self.items)

    def __iter__(self):
        if self.where == "iter":
            raise self.error
        yield from self.items[:-1]
        if self.where == "item":
            raise self.error
        yield self.items[-1]

    def __getitem__(self, i):
        return self.items[i]


LIST_SITES = [
    ("fuse channels", lambda s: q.fuse(s), [q.ChannelResult("a", ["x"]), q.ChannelResult("b", ["y", "x"])],
     "channels"),
    ("ChannelResult ranked_ids", lambda s: q.ChannelResult("x", s), ["a", "b"], "ranked_ids"),
    ("pack_budget items", lambda s: q.pack_budget(s, 5), [{"tokens": 1}, {"tokens": 2}], "items"),
    ("hotspots symbols", lambda s: q.compute_hotspots(s, {}), [FUNCTION_SYMBOL, FUNCTION_SYMBOL], "symbols"),
    ("pagerank edges", lambda s: q.compute_pagerank(s, ["a", "b"]), [("a", "b"), ("b", "a")], "edges"),
    ("pagerank files", lambda s: q.compute_pagerank([], s), ["a", "b"], "files"),
    ("batch contents", lambda s: q.batch_content_hash(s), [("a", b"x"), ("b", b"y")], "contents"),
    ("batch content", lambda s: q.batch_content_hash([("a", s)]), [1, 2], "contents"),
]


@pytest.mark.parametrize("where, call, items, name", LIST_SITES)
@pytest.mark.parametrize("error_class", [TypeError, ValueError, KeyboardInterrupt])
def test_sequence_hooks_that_raise(where, call, items, name, error_class):
    # A failing __len__ is only a lost hint; a failing item ends the call.
    assert plain(call(FlakySequence(items, error_class("boom"), "len"))) == plain(call(list(items)))
    for where_it_fails in ["iter", "item"]:
        error = error_class("boom")
        with pytest.raises(BaseException) as info:
            call(FlakySequence(items, error, where_it_fails))
        if error_class is TypeError:
            assert str(info.value) == f"argument '{name}': boom"
        else:
            assert info.value is error


def lying_subclass(base, length, calls):
    """A subclass of `base` (a list, tuple or dict) whose __len__ reports
    `length` and records that it was asked."""

    def __len__(self):
        calls.append(length)
        return length

    return type(f"Lying{base.__name__.title()}", (base,), {"__len__": __len__})


class LyingSequence:
    """A sequence, neither list nor tuple, whose __len__ reports `length`."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


LYING_LENGTHS = [10**18, 2**40, 2**28, 0]


@pytest.mark.parametrize("where, call, items, name", LIST_SITES)
@pytest.mark.parametrize("length", LYING_LENGTHS)
def test_lying_len_of_a_sequence_changes_nothing(where, call, items, name, length):
    # A list or tuple subclass gives what the plain list or tuple gives, and
    # its size is read from the object, never from its __len__; any other
    # sequence's __len__ is only a hint.
    expected = plain(call(list(items)))
    for base in (list, tuple):
        calls = []
        assert plain(call(lying_subclass(base, length, calls)(items))) == expected
        assert calls == []
    assert plain(call(LyingSequence(items, length))) == expected


PAIR_SITES = [
    ("pagerank edges", lambda pairs: q.compute_pagerank(pairs, ["a", "b"]), [("a", "b"), ("b", "a")]),
    ("batch contents", lambda pairs: q.batch_content_hash(pairs), [("a", b"x"), ("b", [1, 2])]),
]


@pytest.mark.parametrize("where, call, pairs", PAIR_SITES)
@pytest.mark.parametrize("length", [2, 3, *LYING_LENGTHS])
def test_pairs_are_measured_by_their_real_size(where, call, pairs, length):
    calls = []
    Pair = lying_subclass(tuple, length, calls)
    assert call([Pair(pair) for pair in pairs]) == call(pairs)
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        call([Pair(pair + (None,)) for pair in pairs])
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 1$"):
        call([Pair(pair[:1]) for pair in pairs])
    assert calls == []


DICT_SITES = [
    ("fuse weights", lambda d: [plain(r) for r in q.fuse([q.ChannelResult("a", ["x"])], weights=d)],
     {"a": 2.0, "b": 3.0}),
    ("hotspots file_churn", lambda d: q.compute_hotspots([FUNCTION_SYMBOL], d), {"a.py": 4, "b.py": 1}),
]


@pytest.mark.parametrize("where, call, entries", DICT_SITES)
@pytest.mark.parametrize("length", LYING_LENGTHS)
def test_dict_subclass_with_a_lying_len_is_walked_by_its_entries(where, call, entries, length):
    calls = []
    Lying = lying_subclass(dict, length, calls)
    assert call(Lying(entries)) == call(dict(entries))
    assert calls == []


# ---------------------------------------------------------------------------
# Hooks that change or empty what is being read, and drop texts in use


def test_pack_budget_hook_drops_the_texts_of_its_own_item():
    def make():
        item = {"id": fresh("ïd-" * 30), "file": fresh("fïle" * 20), "tokens": 3}
        later = {"id": fresh("later"), "score": 0.5, "tokens": 1}
        items = [item, later]

        def action():
            del item["id"], item["file"]  # the texts lose their last reference
            later.clear()  # the next item loses all its keys
            items.clear()

        item["score"] = Hook(2.0, action)
        return items, 10

    packed, total = same_as_model("pack_budget", make, same_packing)
    assert [p.symbol_id for p in packed] == ["ïd-" * 30] and total == 3


def test_hotspots_hooks_drop_kind_and_file_texts_and_empty_symbols():
    def make():
        first = {"id": 1, "kind": fresh("function"), "file": fresh("dïr\\a.py"), "cyclomatic": 4}
        second = {"kind": "method", "file": "b.py", "cyclomatic": 9}
        symbols = [first, second]

        def action():
            first.clear()
            del second["file"]
            symbols.clear()

        first["max_nesting"] = Hook(2, action)
        return symbols, {fresh("dïr/a.py"): 3, "b.py": 1}

    result = same_as_model("compute_hotspots", make)
    assert [r["kind"] for r in result] == ["function", "method"]
    assert result[0]["file"] == "dïr\\a.py" and result[0]["churn"] == 3 and "file" not in result[1]


def test_hotspots_churn_hook_that_resizes_or_rekeys_the_dict_is_an_internal_fault():
    churn = {}

    def grow():
        churn["new.py"] = 1

    def swap():
        del churn["a.py"]
        churn["c.py"] = 2

    for action, message in [(grow, "dictionary changed size during iteration"),
                            (swap, "dictionary keys changed during iteration")]:
        churn.clear()
        churn.update({"a.py": Hook(1, action), "b.py": 2})
        with pytest.raises(BaseException) as info:
            q.compute_hotspots([FUNCTION_SYMBOL], churn)
        assert type(info.value).__qualname__ == "PanicException"
        assert info.value.args == (message,)


def test_channel_result_hooks_empty_the_ids_and_drop_them():
    backing = [fresh("ïd" * 40), fresh("two" * 20)]

    class Ids:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            item = backing[i]
            if i == 1:
                backing.clear()
            return item

    channel = q.ChannelResult("x", Ids(), Hook(0.5, backing.clear))
    assert channel.ranked_ids == ["ïd" * 40, "two" * 20] and channel.weight == 0.5


def test_pagerank_hooks_empty_edges_and_files():
    def make():
        paths = [fresh(p * 25) for p in "abcé"]
        edges = [(paths[0], paths[1]), (paths[1], paths[2]), (paths[3], paths[2])]
        files = list(paths)

        def action():
            edges.clear()
            files.clear()
            paths.clear()

        return edges, files, Hook(0.8, action)

    scores, count = same_as_model("compute_pagerank", make)
    assert len(scores) == 4 and count > 1


def test_pagerank_edge_sequence_drops_the_tuples_it_gave():
    backing = [(fresh("src" * 30), fresh("dst" * 30)), ("x", "y")]

    class Edges:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            edge = backing[i]
            if i == 1:
                backing.clear()  # the first tuple and its two texts go away
            return edge

    scores, _ = q.compute_pagerank(Edges(), ["src" * 30, "dst" * 30])
    expected, _ = fallbacks.compute_pagerank([("src" * 30, "dst" * 30)], ["src" * 30, "dst" * 30])
    assert scores == expected


def test_batch_hooks_change_an_earlier_bytearray_and_empty_the_list():
    def make():
        early = bytearray(b"original bytes")
        pairs = []

        def action():
            early[:] = b"changed and longer than before" * 100
            pairs.clear()

        pairs.extend([(fresh("pàth" * 20), early), (fresh("second"), [1, Hook(2, action), 3])])
        return (pairs,)

    result = same_as_model("batch_content_hash", make)
    assert result["pàth" * 20] == fallbacks.content_hash(b"original bytes")


# ---------------------------------------------------------------------------
# Hooks that call the module again


def reentering(call):
    """A hook action that makes a nested call and checks its result."""
    results = []
    return (lambda: results.append(call())), results


REENTRY_SITES = [
    ("ChannelResult", lambda h: q.ChannelResult("x", ["a"], h)),
    ("fuse weights", lambda h: q.fuse([q.ChannelResult("x", ["a"])], weights={"x": h})),
    ("pack_budget score", lambda h: q.pack_budget([{"id": "a", "score": h, "tokens": 1}], 5)),
    ("hotspots cyclomatic", lambda h: q.compute_hotspots([{"kind": "method", "cyclomatic": h}], {})),
    ("hotspots file_churn", lambda h: q.compute_hotspots([FUNCTION_SYMBOL], {"a.py": h})),
    ("pagerank damping", lambda h: q.compute_pagerank([("a", "b")], ["a", "b"], h)),
    ("batch byte", lambda h: q.batch_content_hash([("p", [h])])),
]


@pytest.mark.parametrize("where, call", REENTRY_SITES)
def test_hook_calling_the_module_again(where, call):
    nested_calls = [
        lambda: q.tokenize("getUserName dbConfig"),
        lambda: q.pack_budget([{"id": "n", "score": 1.0, "tokens": 1}], 1),
        lambda: q.compute_hotspots([FUNCTION_SYMBOL], {"a.py": 2}),
        lambda: [r.symbol_id for r in q.fuse([q.ChannelResult("lexical", ["n"])])],
        lambda: call(Hook(1)),  # the outer call itself, one level down
    ]
    for nested in nested_calls:
        action, results = reentering(nested)
        got = call(Hook(1, action))
        assert plain(results) == [plain(nested())]
        assert plain(got) == plain(call(Hook(1)))


@pytest.mark.parametrize("where, call", REENTRY_SITES)
def test_hook_recursing_without_end_hits_the_recursion_limit(where, call):
    def action():
        call(hook)

    hook = Hook(1, action)
    with pytest.raises(RecursionError):
        call(hook)
    assert plain(call(Hook(1))) == plain(call(Hook(1)))


# ---------------------------------------------------------------------------
# Collections while a result is being built

# Run in a fresh process, so that a crash fails the test. With the threshold
# at 1, nearly every allocation of a tracked object starts a collection, and
# at each one a gc.callbacks hook, or the finalizer of garbage that leaves
# new garbage behind, looks at every item of every tracked list, tuple and
# dict, as any hook may. A result container that can be seen before it is
# filled holds empty slots, and reading one crashes.
COLLECTION_SCRIPT = """
import gc
import sys

import _quibra_core as q

walks = 0


def walk():
    global walks
    walks += 1
    for o in gc.get_objects():
        if isinstance(o, (list, tuple)):
            for x in o:
                type(x)
        elif isinstance(o, dict):
            for k, v in o.items():
                type(k), type(v)


def on_collection(phase, info):
    if phase == "start":
        walk()


class Finalizer:
    renew = True

    def __init__(self):
        self.cycle = self

    def __del__(self):
        if Finalizer.renew:
            walk()
            Finalizer()


ids = [f"s{{i}}" for i in range(40)]
channels = [q.ChannelResult("lexical", ids), q.ChannelResult("b", ids[::-3])]
items = [{{"id": i, "file": f"f{{n % 4}}", "score": 1.0 - n / 100, "tokens": 1 + n % 3}} for n, i in enumerate(ids)]
symbols = [{{"id": i, "kind": "function", "file": f"f{{n % 4}}", "cyclomatic": 2 + n}} for n, i in enumerate(ids)]
churn = {{f"f{{n}}": n for n in range(4)}}
edges = [(a, b) for a, b in zip(ids, ids[1:] + ids[:1])]
contents = [(i, i.encode() * 3) for i in ids]
text = " ".join(f"getUser{{i}}Name dbConfig" for i in ids)


def run():
    return {call}


expected = run()
if sys.argv[1] == "callback":
    gc.callbacks.append(on_collection)
else:
    Finalizer()
gc.set_threshold(1)
got = run()
# Proof that the watcher is armed, on every version: from 3.12 on a collection
# that allocations start waits for the next safe point, which may come after
# the result is built, so the threshold alone need not have run one yet.
gc.collect()
gc.set_threshold(700)
gc.callbacks.clear()
Finalizer.renew = False
assert got == expected, (got, expected)
assert walks > 0
print("ok", walks)
"""

RESULT_BUILDERS = {
    "fuse": "[(r.symbol_id, r.score, r.channel_ranks) for r in q.fuse(channels)]",
    "FusedResult dicts": "[(r.channel_contributions, r.channel_ranks) for r in q.fuse(channels)]",
    "ChannelResult ranked_ids": "q.ChannelResult(name='x', ranked_ids=ids, weight=2.0).ranked_ids",
    "pack_budget": "(lambda r: ([(p.symbol_id, p.tokens) for p in r[0]], r[1]))(q.pack_budget(items, 50))",
    "compute_hotspots": "q.compute_hotspots(symbols, churn, top_n=100)",
    "compute_pagerank": "q.compute_pagerank(edges, ids)",
    "batch_content_hash": "q.batch_content_hash(contents)",
    "tokenize": "q.tokenize(text)",
    "tokenize_query": "q.tokenize_query(text)",
}


@pytest.mark.parametrize("function", RESULT_BUILDERS)
@pytest.mark.parametrize("watcher", ["callback", "finalizer"])
def test_collection_while_the_result_is_built_sees_no_empty_slot(function, watcher):
    code = COLLECTION_SCRIPT.format(call=RESULT_BUILDERS[function])
    done = subprocess.run([sys.executable, "-c", code, watcher], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.startswith("ok"), (done.returncode, done.stderr[-2000:])


# ---------------------------------------------------------------------------
# numpy's bools for `diversity`

ITEMS = [{"id": f"a{i}", "file": "a.py", "score": 1.0 - i / 10, "tokens": 1} for i in range(4)]


def packed_ids(diversity):
    return [p.symbol_id for p in q.pack_budget(ITEMS, 4, diversity)[0]]


def fake_numpy_bool(name="bool_", module="numpy", truth=None):
    namespace = {"__module__": module}
    if truth is not None:
        namespace["__bool__"] = truth
    return type(name, (), namespace)()


@pytest.mark.parametrize("value", [True, False])
def test_numpy_bool_scalars_are_bools(value):
    numpy = pytest.importorskip("numpy")
    assert packed_ids(numpy.bool_(value)) == packed_ids(value)


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("value", [True, False])
def test_numpy_like_bool_uses_its_bool_slot(name, value):
    assert packed_ids(fake_numpy_bool(name, truth=lambda self: value)) == packed_ids(value)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (fake_numpy_bool(), TypeError,
         "argument 'diversity': object of type 'bool_' does not define a '__bool__' conversion"),
        (fake_numpy_bool(module="numpy.core"), TypeError,
         "argument 'diversity': 'bool_' object is not an instance of 'bool'"),
        (fake_numpy_bool(name="int_"), TypeError, "argument 'diversity': 'int_' object is not an instance of 'bool'"),
        (fake_numpy_bool(truth=lambda self: 1), TypeError, "argument 'diversity': "),
        (fake_numpy_bool(truth=lambda self: (_ for _ in ()).throw(ValueError("no truth"))), ValueError, "no truth"),
        (fake_numpy_bool(truth=lambda self: (_ for _ in ()).throw(TypeError("no truth"))), TypeError,
         "argument 'diversity': no truth"),
    ],
)
def test_numpy_like_bool_failures(value, error, message):
    with pytest.raises(error) as info:
        packed_ids(value)
    assert str(info.value).startswith(message) if message.endswith(": ") else str(info.value) == message


def test_numpy_like_bool_hook_that_empties_items_and_reenters():
    items = [dict(item) for item in ITEMS]

    def truth(self):
        items.clear()
        return q.pack_budget(ITEMS, 4, False)[1] == 4

    assert [p.symbol_id for p in q.pack_budget(items, 4, fake_numpy_bool(truth=truth))[0]] == packed_ids(True)


# ---------------------------------------------------------------------------
# Very large inputs

TEN_MILLION = 10**7
HUNDRED_MB = 100 * 2**20
SEED, MULTIPLIER, MASK = 0x5C1E93B7A24F, 0x100000001B3, 2**64 - 1


def hash_of_zeros_then(count, last):
    """The hash of count - 1 zero bytes and one byte `last`, in closed form."""
    return f"{(SEED * pow(MULTIPLIER, count, 2**64) + last) & MASK:016x}"


@large
def test_ten_million_ids_in_one_channel():
    ranked = ["a"] * (TEN_MILLION - 1) + ["b"]
    (first, second) = q.fuse([q.ChannelResult("other", ranked)])
    expected = 0.0
    for rank in range(1, TEN_MILLION):
        expected += 1.0 / (float(rank) + 61.0)
    assert (first.symbol_id, first.score, first.channel_ranks) == ("a", expected, {"other": TEN_MILLION - 1})
    assert second.score == 1.0 / (TEN_MILLION + 61.0)


@large
def test_ten_million_items_and_symbols_that_are_read_and_dropped():
    skipped = {"id": "x", "file": "f", "score": 9.0}  # no tokens: read, then no candidate
    items = [skipped] * TEN_MILLION + [{"id": "a", "score": 1.0, "tokens": 2}]
    packed, total = q.pack_budget(items, 10)
    assert [p.symbol_id for p in packed] == ["a"] and total == 2

    symbols = [{"kind": "class", "cyclomatic": 99}] * TEN_MILLION + [FUNCTION_SYMBOL]
    (entry,) = q.compute_hotspots(symbols, {"a.py": 1})
    assert entry["kind"] == "function" and entry["churn"] == 1


@large
def test_ten_million_tokens():
    terms = q.tokenize("ab " * TEN_MILLION)
    assert len(terms) == TEN_MILLION and terms[0] == "ab" and terms[-1] == "ab"


@large
def test_ten_million_entries_of_one_file():
    files = ["a"] * TEN_MILLION
    scores, count = q.compute_pagerank([("a", "a")], files)
    n = float(TEN_MILLION)
    start = 1.0 / n
    dangling = 0.0
    for _ in range(TEN_MILLION):
        dangling += start
    expected = (0.0 * 0.8347 + (1.0 - 0.8347) / n) + (dangling * 0.8347) / n
    assert scores == {"a": expected} and count == 1


@large
def test_ten_million_byte_values():
    content = [0] * (TEN_MILLION - 1) + [7]
    assert q.batch_content_hash([("p", content)]) == {"p": hash_of_zeros_then(TEN_MILLION, 7)}


@large
def test_hundred_megabyte_texts():
    word = "a" * HUNDRED_MB
    assert q.stem_word(word + "ation") == word
    assert q.tokenize(word) == [word]
    accented = "é" * (HUNDRED_MB // 2)  # 100 MB of UTF-8
    assert q.tokenize_query(" " + accented + " x") == [accented]
    (record,) = q.fuse([q.ChannelResult("lexical", [word])])
    assert record.symbol_id == word
    path = "d\\" * (HUNDRED_MB // 2)
    (entry,) = q.compute_hotspots([{"kind": "function", "file": path, "cyclomatic": 2}],
                                  {path.replace("\\", "/"): 1})
    assert entry["file"] is path and entry["churn"] == 1


@large
def test_hundred_megabyte_paths():
    long_path = "p" * HUNDRED_MB
    scores, count = q.compute_pagerank([("a", long_path), (long_path, long_path)], ["a", long_path])
    expected = fallbacks.compute_pagerank([("a", long_path)], ["a", long_path])
    assert (scores, count) == expected


@large
def test_hundred_megabyte_buffers():
    content = bytes(HUNDRED_MB - 1) + b"\x07"
    expected = hash_of_zeros_then(HUNDRED_MB, 7)
    assert q.content_hash(content) == expected
    assert q.batch_content_hash([("a", content), ("b", bytearray(content))]) == {"a": expected, "b": expected}


# ---------------------------------------------------------------------------
# First use from many threads


def test_first_use_of_every_function_from_many_threads_in_a_fresh_process():
    code = textwrap.dedent("""
        import threading
        import _quibra_core as q

        calls = [
            lambda: [(r.symbol_id, r.score) for r in q.fuse([q.ChannelResult("lexical", ["a", "b"])])],
            lambda: q.ChannelResult("x", ["a"], 2).ranked_ids,
            lambda: [(p.symbol_id, p.tokens) for p in q.pack_budget([{"id": "a", "score": 1.0, "tokens": 2}], 5)[0]],
            lambda: q.compute_hotspots([{"kind": "function", "file": "a", "cyclomatic": 3}], {"a": 4}),
            lambda: q.tokenize("getUserName dbConfig initParams"),
            lambda: q.tokenize_query("searching DB"),
            lambda: q.stem_word("configurations"),
            lambda: q.verify_canary(),
            lambda: sorted(q.compute_pagerank([("a", "b")], ["a", "b"])[0].items()),
            lambda: q.content_hash(b"abc"),
            lambda: q.batch_content_hash([("a", bytearray(b"abc"))]),
        ]

        threads_per_call = 4
        start = threading.Barrier(len(calls) * threads_per_call)
        results = {}

        def run(i, j):
            start.wait()
            results[i, j] = calls[i]()

        threads = [threading.Thread(target=run, args=(i, j))
                   for i in range(len(calls)) for j in range(threads_per_call)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for (i, j), got in sorted(results.items()):
            assert got == calls[i](), (i, got)
        assert len(results) == len(calls) * threads_per_call
        print("ok", len(results))
    """)
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0 and done.stdout.startswith("ok"), done.stderr
