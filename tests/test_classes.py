"""The record classes ChannelResult, FusedResult and PackedItem."""

import weakref

import pytest

import _quibra_core as q

CLASSES = [q.ChannelResult, q.FusedResult, q.PackedItem]


def fused_one():
    return q.fuse([q.ChannelResult("lexical", ["a"]), q.ChannelResult("identity", ["a"])])[0]


@pytest.mark.parametrize("cls", CLASSES)
def test_class_shape(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for descriptor in vars(cls).values():
        if hasattr(descriptor, "__get__") and hasattr(descriptor, "__set__"):
            assert descriptor.__doc__ is None


@pytest.mark.parametrize("cls", [q.FusedResult, q.PackedItem])
def test_output_classes_cannot_be_called(cls):
    with pytest.raises(TypeError):
        cls()


def test_class_docs():
    assert q.ChannelResult.__text_signature__ == "(name, ranked_ids, weight=1.0)"
    assert q.ChannelResult.__doc__ == "A single channel's ranked result."
    assert q.FusedResult.__doc__ == "One symbol's fused score with per-channel breakdown."
    assert q.PackedItem.__doc__ == "Result of packing a single symbol into the budget."


def test_channel_result_fields():
    r = q.ChannelResult("lexical", ["a", "b", "a"])
    assert (r.name, r.ranked_ids, r.weight) == ("lexical", ["a", "b", "a"], 1.0)
    r = q.ChannelResult("x", ("a", "b"), 2)
    assert r.ranked_ids == ["a", "b"] and r.weight == 2.0 and type(r.weight) is float
    r = q.ChannelResult(ranked_ids=range(0), name="n\x00m", weight=True)
    assert (r.name, r.ranked_ids, r.weight) == ("n\x00m", [], 1.0)


@pytest.mark.parametrize("make", [lambda: q.ChannelResult("x", ["a"]), fused_one])
def test_instances_are_immutable_and_fresh_on_read(make):
    r = make()
    names = [n for n in dir(type(r)) if not n.startswith("_")]
    for name in names:
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
        with pytest.raises(AttributeError):
            delattr(r, name)
    with pytest.raises(AttributeError):
        r.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(r)
    assert not hasattr(r, "__dict__")
    for name in names:
        value = getattr(r, name)
        if isinstance(value, (list, dict)):
            again = getattr(r, name)
            assert again == value and again is not value
            value.clear()
            assert getattr(r, name) == again


def test_fused_result_breakdown():
    f = fused_one()
    assert f.symbol_id == "a"
    assert f.score == 1.0 / 62 + 2.0 / 62
    assert f.channel_ranks == {"lexical": 1, "identity": 1}
    assert f.channel_contributions == {"lexical": 1.0 / 62, "identity": 2.0 / 62}
    assert f.channel_ranks is not f.channel_ranks


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError,
         "ChannelResult.__new__() missing 2 required positional arguments: 'name' and 'ranked_ids'"),
        (("x",), {}, TypeError,
         "ChannelResult.__new__() missing 1 required positional argument: 'ranked_ids'"),
        (("x", [], 1.0, 4), {}, TypeError,
         "ChannelResult.__new__() takes from 2 to 3 positional arguments but 4 were given"),
        (("x", []), {"name": "y"}, TypeError,
         "ChannelResult.__new__() got multiple values for argument 'name'"),
        (("x", []), {"wieght": 1}, TypeError,
         "ChannelResult.__new__() got an unexpected keyword argument 'wieght'"),
        (("x", "ab"), {}, TypeError, "argument 'ranked_ids': Can't extract `str` to `Vec`"),
        (("x", [1]), {}, TypeError, "argument 'ranked_ids': 'int' object is not an instance of 'str'"),
        ((1, []), {}, TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
        (("x", None), {}, TypeError, "argument 'ranked_ids': 'None' is not an instance of 'Sequence'"),
        (("x", {"a": 1}), {}, TypeError,
         "argument 'ranked_ids': 'dict' object is not an instance of 'Sequence'"),
    ],
)
def test_channel_result_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        q.ChannelResult(*args, **kwargs)
    assert str(info.value) == message


def test_channel_result_weight_none_is_converted_and_fails():
    with pytest.raises(TypeError, match=r"^argument 'weight': "):
        q.ChannelResult("x", [], weight=None)


def test_channel_result_lone_surrogate_raises_encoding_error_unprefixed():
    with pytest.raises(UnicodeEncodeError):
        q.ChannelResult("x", ["ok", "\ud800"])
