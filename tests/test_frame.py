"""The calling frame: binding, conversions, error prefixes, hooks that fight
back, and the internal-fault exception."""

import threading

import pytest

import _quibra_core as q

CR = q.ChannelResult


def panic_class():
    try:
        q.fuse([], weights=MutatingWeights.make("grow"))
    except BaseException as error:  # noqa: BLE001 - the class is what we want
        return type(error)
    raise AssertionError("no internal fault raised")


class MutatingWeights:
    """A weights dict whose first value's __float__ changes the dict."""

    @staticmethod
    def make(how):
        weights = {}

        class Hook:
            def __float__(self):
                if how == "grow":
                    weights["extra"] = 1.0
                elif how == "swap":
                    # Same size, but one more entry to visit than there were.
                    del weights["a"]
                    weights["c"] = 3.0
                elif how == "shrink":
                    del weights["b"]
                return 2.0

        weights["a"] = Hook()
        weights["b"] = 1.0
        return weights


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: q.fuse(), "fuse() missing 1 required positional argument: 'channels'"),
        (lambda: q.fuse([], 1.0, None, 4), "fuse() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: q.fuse([], channels=[]), "fuse() got multiple values for argument 'channels'"),
        (lambda: q.fuse(chans=[]), "fuse() got an unexpected keyword argument 'chans'"),
        # Keywords are checked in the caller's order, before missing ones.
        (lambda: q.fuse(smoothing=1, bad=1), "fuse() got an unexpected keyword argument 'bad'"),
        (lambda: q.fuse(**{"ü": 1}), "fuse() got an unexpected keyword argument 'ü'"),
        (lambda: q.fuse("abc"), "argument 'channels': Can't extract `str` to `Vec`"),
        (lambda: q.fuse(5), "argument 'channels': 'int' object is not an instance of 'Sequence'"),
        (lambda: q.fuse({}), "argument 'channels': 'dict' object is not an instance of 'Sequence'"),
        (lambda: q.fuse({1, 2}), "argument 'channels': 'set' object is not an instance of 'Sequence'"),
        (lambda: q.fuse(x for x in []), "argument 'channels': 'generator' object is not an instance of 'Sequence'"),
        (lambda: q.fuse(None), "argument 'channels': 'None' is not an instance of 'Sequence'"),
        (lambda: q.fuse([1]), "argument 'channels': 'int' object is not an instance of 'ChannelResult'"),
        (lambda: q.fuse([CR("a", []), None]), "argument 'channels': 'None' is not an instance of 'ChannelResult'"),
        (lambda: q.fuse([], weights=[]), "argument 'weights': 'list' object is not an instance of 'dict'"),
        (lambda: q.fuse([], weights={1: 2.0}), "argument 'weights': 'int' object is not an instance of 'str'"),
        (lambda: q.fuse([], weights={"a": "x"}), "argument 'weights': must be real number, not str"),
        (lambda: q.fuse([], smoothing="x"), "argument 'smoothing': must be real number, not str"),
    ],
)
def test_binding_and_conversion_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_qualname_of_nested_class_in_type_message():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"'test_qualname_of_nested_class_in_type_message\.<locals>\.Outer\.Inner' object"):
        q.fuse([Outer.Inner()])


@pytest.mark.parametrize("value, expected", [(60, 60.0), (True, 1.0), (None, 61.0), (0.5, 0.5)])
def test_float_rule_accepts_numbers_and_none_default(value, expected):
    (record,) = q.fuse([CR("lexical", ["a"])], smoothing=value)
    assert record.score == 1.0 / (1.0 + expected)


def test_float_rule_accepts_index_and_float_hooks():
    class Index:
        def __index__(self):
            return 3

    class Float:
        def __float__(self):
            return 0.25

    (record,) = q.fuse([CR("custom", ["a"])], smoothing=Index(), weights={"custom": Float()})
    assert record.score == 0.25 / 4.0


@pytest.mark.parametrize("sequence", [list, tuple, lambda xs: range(0) if not xs else xs])
def test_any_sequence_but_str_is_a_list(sequence):
    channels = [CR("lexical", ["a"])]
    assert [r.symbol_id for r in q.fuse(sequence(channels))] == ["a"]


class Flaky:
    """A sequence whose iteration raises `error` after `good` items."""

    def __init__(self, items, good, error, length=None):
        self.items, self.good, self.error, self.length = items, good, error, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i >= self.good:
            raise self.error
        return self.items[i]


@pytest.mark.parametrize(
    "error, expected_type, prefixed",
    [
        (TypeError("boom"), TypeError, True),
        (ValueError("boom"), ValueError, False),
        (type("SubTypeError", (TypeError,), {})("boom"), TypeError, False),
        (KeyError("boom"), KeyError, False),
    ],
)
def test_iteration_error_midway(error, expected_type, prefixed):
    channels = Flaky([CR("a", ["x"])] * 3, 2, error)
    with pytest.raises(expected_type) as info:
        q.fuse(channels)
    assert info.value is not error or not prefixed
    if prefixed:
        assert type(info.value) is TypeError
        assert str(info.value) == "argument 'channels': boom"
    else:
        assert info.value is error


@pytest.mark.parametrize("length", [RuntimeError("len fails"), 10**18, 0])
def test_length_is_only_a_hint(length):
    channels = Flaky([CR("a", ["x"]), CR("b", ["y"])], 2, IndexError(), length=length)
    assert sorted(r.symbol_id for r in q.fuse(channels)) == ["x", "y"]


def test_prefixed_error_keeps_the_cause():
    class Hook:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        q.fuse([], smoothing=Hook())
    assert str(info.value) == "argument 'smoothing': outer"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("error", [OverflowError("big"), ZeroDivisionError("z"), KeyboardInterrupt()])
def test_non_type_errors_pass_unchanged(error):
    class Hook:
        def __float__(self):
            raise error

    with pytest.raises(type(error)) as info:
        q.fuse([], smoothing=Hook())
    assert info.value is error


@pytest.mark.parametrize(
    "how, message",
    [
        ("grow", "dictionary changed size during iteration"),
        ("shrink", "dictionary changed size during iteration"),
        ("swap", "dictionary keys changed during iteration"),
    ],
)
def test_dict_changed_while_read_is_an_internal_fault(how, message):
    with pytest.raises(BaseException) as info:
        q.fuse([CR("a", ["x"])], weights=MutatingWeights.make(how))
    assert type(info.value) is panic_class()
    assert info.value.args == (message,)


def test_panic_exception_class():
    cls = panic_class()
    assert cls.__module__ == "pyo3_runtime" and cls.__qualname__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert "BaseException" in cls.__doc__


def test_hook_dropping_last_reference_to_key_text():
    # The key string is only referenced by the dict; the hook deletes it.
    weights = {}

    class Hook:
        def __float__(self):
            weights.clear()
            return 1.0

    weights["k" * 50 + "é"] = Hook()
    with pytest.raises(BaseException, match="dictionary changed size"):
        q.fuse([], weights=weights)


def test_hook_emptying_the_channels_list_keeps_converted_channels_alive():
    channels = [CR("lexical", ["id" * 40]), CR("identity", ["other" * 30])]

    class Hook:
        def __float__(self):
            channels.clear()
            return 61.0

    result = q.fuse(channels, smoothing=Hook())
    assert sorted(r.symbol_id for r in result) == ["id" * 40, "other" * 30]


def test_reentrant_call_from_a_hook():
    class Hook:
        def __float__(self):
            inner = q.fuse([CR("lexical", ["z"])])
            return float(len(inner)) * 61.0

    (record,) = q.fuse([CR("lexical", ["a"])], smoothing=Hook())
    assert record.score == 1.0 / 62.0


def test_subclasses_of_str_and_dict():
    class S(str):
        pass

    class D(dict):
        def __getitem__(self, key):
            raise AssertionError("not consulted")

        def __missing__(self, key):
            raise AssertionError("not consulted")

        def items(self):
            raise AssertionError("not consulted")

        def __iter__(self):
            raise AssertionError("not consulted")

    result = q.fuse([CR(S("custom"), [S("a")])], weights=D({S("custom"): 4.0}))
    assert result[0].score == 4.0 / 62
    assert type(result[0].symbol_id) is str


def test_threads_building_channels_and_fusing():
    expected = [r.symbol_id for r in q.fuse([CR("lexical", [f"s{i}" for i in range(200)]),
                                             CR("identity", [f"s{i}" for i in range(199, -1, -2)])])]
    results, errors = [], []

    def work():
        try:
            for _ in range(50):
                channels = [CR("lexical", [f"s{i}" for i in range(200)]),
                            CR("identity", [f"s{i}" for i in range(199, -1, -2)])]
                results.append([r.symbol_id for r in q.fuse(channels)])
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 400 and all(r == expected for r in results)


def test_first_use_from_many_threads_in_a_fresh_process():
    import subprocess
    import sys

    code = (
        "import threading\n"
        "import _quibra_core as q\n"
        "out = []\n"
        "def go():\n"
        "    out.append([r.symbol_id for r in q.fuse([q.ChannelResult('lexical', ['a', 'b'])])])\n"
        "ts = [threading.Thread(target=go) for _ in range(16)]\n"
        "[t.start() for t in ts]; [t.join() for t in ts]\n"
        "assert out == [['a', 'b']] * 16, out\n"
        "print('ok')\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "ok", done.stderr
