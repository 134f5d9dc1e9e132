"""A Python model of the module's calling frame.

`call(name, *args, **kwargs)` binds and converts the arguments the way the
compiled module does (same order, same exception classes and, where the text
is the module's own, the same messages), then runs the pure-Python fallback
of the function on the converted values. The differential tests run both and
compare what comes out.
"""

from __future__ import annotations

import functools
import operator
import os
import pathlib
import re

import _quibra_core as q
import fallbacks

MISSING = object()
_U64_MAX = (1 << 64) - 1
_C_LONG_MIN, _C_LONG_MAX = -(1 << 63), (1 << 63) - 1

# name: (display name, parameters, count of required ones)
SIGNATURES = {
    "fuse": ("fuse", ("channels", "smoothing", "weights"), 1),
    "compute_pagerank": ("compute_pagerank", ("edges", "files", "damping", "max_iter", "tol"), 2),
    "pack_budget": ("pack_budget", ("items", "token_budget", "diversity"), 2),
    "compute_hotspots": ("compute_hotspots", ("symbols", "file_churn", "min_complexity", "top_n"), 2),
    "content_hash": ("content_hash", ("content",), 1),
    "batch_content_hash": ("batch_content_hash", ("contents",), 1),
    "tokenize": ("tokenize", ("text",), 1),
    "tokenize_query": ("tokenize_query", ("query",), 1),
    "stem_word": ("stem_word", ("word",), 1),
    "ChannelResult": ("ChannelResult.__new__", ("name", "ranked_ids", "weight"), 2),
}


# ---------------------------------------------------------------------------
# Binding


def _quoted_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(function, args, kwargs):
    name, params, required = SIGNATURES[function]
    if len(args) > len(params):
        verb = "was" if len(args) == 1 else "were"
        if required == len(params):
            takes = f"{len(params)}"
        else:
            takes = f"from {required} to {len(params)}"
        raise TypeError(f"{name}() takes {takes} positional arguments but {len(args)} {verb} given")
    bound = list(args) + [MISSING] * (len(params) - len(args))
    for keyword, value in kwargs.items():
        if keyword not in params:
            raise TypeError(f"{name}() got an unexpected keyword argument '{keyword}'")
        i = params.index(keyword)
        if bound[i] is not MISSING:
            raise TypeError(f"{name}() got multiple values for argument '{keyword}'")
        bound[i] = value
    missing = [p for p, v in zip(params[:required], bound) if v is MISSING]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(f"{name}() missing {len(missing)} required positional {noun}: {_quoted_list(missing)}")
    return bound


# ---------------------------------------------------------------------------
# Converters


def type_mismatch(value, target):
    if value is None:
        return TypeError(f"'None' is not an instance of '{target}'")
    return TypeError(f"'{type(value).__qualname__}' object is not an instance of '{target}'")


def argument(name, convert):
    """Runs `convert`; a TypeError (that exact class) gets the name prefix."""
    try:
        return convert()
    except TypeError as error:
        if type(error) is not TypeError:
            raise
        replacement = TypeError(f"argument '{name}': {error}")
        replacement.__cause__ = error.__cause__
        raise replacement from error.__cause__


def is_absent(value):
    return value is MISSING or value is None


def is_sequence(value):
    # The interpreter's sequence check: an item slot, and not a dict.
    return not isinstance(value, dict) and hasattr(type(value), "__getitem__")


def to_text(value):
    if not isinstance(value, str):
        raise type_mismatch(value, "str")
    value.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError
    return str.__str__(value)


def to_float(value):
    kind = type(value)
    if isinstance(value, float):
        return float.__float__(value)
    if hasattr(kind, "__float__"):
        result = kind.__float__(value)
        if not isinstance(result, float):
            raise TypeError(f"{kind.__name__}.__float__ returned non-float (type {type(result).__name__})")
        return float.__float__(result)
    if hasattr(kind, "__index__"):
        return float(operator.index(value))
    raise TypeError(f"must be real number, not {kind.__name__}")


def to_u64(value):
    number = int.__index__(value) if isinstance(value, int) else operator.index(value)
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if number > _U64_MAX:
        raise OverflowError("int too big to convert")
    return number


def to_bool(value):
    if value is True or value is False:
        return value
    kind = type(value)
    if getattr(kind, "__module__", None) != "numpy" or getattr(kind, "__name__", None) not in ("bool_", "bool"):
        raise type_mismatch(value, "bool")
    if not hasattr(kind, "__bool__"):
        raise TypeError(f"object of type '{kind.__qualname__}' does not define a '__bool__' conversion")
    result = kind.__bool__(value)
    if not isinstance(result, bool):
        raise TypeError(f"__bool__ should return bool, returned {type(result).__name__}")
    return result


def to_list(value, element):
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(value):
        raise type_mismatch(value, "Sequence")
    try:
        len(value)  # only a hint; its failure is dropped
    except BaseException:  # noqa: BLE001 - the frame drops every error here
        pass
    return [element(item) for item in iter(value)]


def to_pair(value, first, second):
    if not isinstance(value, tuple):
        raise type_mismatch(value, "tuple")
    if len(value) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(value)}")
    a = first(tuple.__getitem__(value, 0))
    return a, second(tuple.__getitem__(value, 1))


def to_dict_object(value):
    if not isinstance(value, dict):
        raise type_mismatch(value, "dict")
    return value


def to_dict(value, key, item):
    to_dict_object(value)
    converted = {}
    for k, v in list(dict.items(value)):
        converted_key = key(k)
        converted[converted_key] = item(v)
    return converted


def to_content(value):
    """bytes or bytearray as they are; any other sequence of small ints."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")

    def byte(item):
        number = operator.index(item)
        if not _C_LONG_MIN <= number <= _C_LONG_MAX:
            raise OverflowError("Python int too large to convert to C long")
        if not 0 <= number <= 255:
            raise OverflowError("out of range integral type conversion attempted")
        return number

    return bytes(to_list(value, byte))


def to_channel(value):
    if not isinstance(value, q.ChannelResult):
        raise type_mismatch(value, "ChannelResult")
    return fallbacks.ChannelResult(value.name, value.ranked_ids, value.weight)


# ---------------------------------------------------------------------------
# Character classes for the tokenizer oracle

UCD_DIR = pathlib.Path(os.environ.get("QUIBRA_UCD_DIR", "/usr/share/unicode"))
_TABLES = pathlib.Path(__file__).resolve().parent.parent / "src" / "tokenizer" / "char_classes.hpp"


def _ucd_version():
    try:
        with (UCD_DIR / "DerivedCoreProperties.txt").open(encoding="utf-8") as f:
            match = re.match(r"# DerivedCoreProperties-(\S+)\.txt", f.readline())
    except OSError:
        return None
    return match and match.group(1)


def _tables_version():
    match = re.search(r'unicode_version\[\] = "([^"]+)"', _TABLES.read_text(encoding="utf-8"))
    return match and match.group(1)


# Exact classes need the UCD files of the compiled tables' version; without
# them Python's str predicates stand in, and the generated texts must keep to
# the characters on which the two agree (see fallbacks.python_char_class).
UCD_PRESENT = _ucd_version() is not None and _ucd_version() == _tables_version()


@functools.cache
def char_class():
    if UCD_PRESENT:
        classes = fallbacks.ucd_char_classes(str(UCD_DIR))
        return lambda c: classes[ord(c)]
    return fallbacks.python_char_class


# ---------------------------------------------------------------------------
# The functions


def _fuse(channels, smoothing, weights):
    converted = argument("channels", lambda: to_list(channels, to_channel))
    k = argument("smoothing", lambda: None if is_absent(smoothing) else to_float(smoothing))
    table = argument("weights", lambda: None if is_absent(weights) else to_dict(weights, to_text, to_float))
    return fallbacks.fuse(converted, k, table)


def _compute_pagerank(edges, files, damping, max_iter, tol):
    edge_list = argument("edges", lambda: to_list(edges, lambda e: to_pair(e, to_text, to_text)))
    file_list = argument("files", lambda: to_list(files, to_text))
    d = argument("damping", lambda: None if is_absent(damping) else to_float(damping))
    limit = argument("max_iter", lambda: 100 if max_iter is MISSING else to_u64(max_iter))
    tolerance = argument("tol", lambda: 1e-6 if tol is MISSING else to_float(tol))
    return fallbacks.compute_pagerank(edge_list, file_list, d, limit, tolerance)


def _pack_budget(items, token_budget, diversity):
    dicts = argument("items", lambda: to_list(items, to_dict_object))
    budget = argument("token_budget", lambda: to_u64(token_budget))
    spread = argument("diversity", lambda: True if diversity is MISSING else to_bool(diversity))
    return fallbacks.pack_budget(dicts, budget, spread)


def _compute_hotspots(symbols, file_churn, min_complexity, top_n):
    dicts = argument("symbols", lambda: to_list(symbols, to_dict_object))
    churn = argument("file_churn", lambda: to_dict(file_churn, to_text, to_u64))
    floor = argument("min_complexity", lambda: 2 if min_complexity is MISSING else to_u64(min_complexity))
    top = argument("top_n", lambda: 20 if top_n is MISSING else to_u64(top_n))
    return fallbacks.compute_hotspots(dicts, churn, floor, top)


def _content_hash(content):
    def exact_bytes():
        if not isinstance(content, bytes):
            raise type_mismatch(content, "bytes")
        return bytes(content)

    return fallbacks.content_hash(argument("content", exact_bytes))


def _batch_content_hash(contents):
    pairs = argument("contents", lambda: to_list(contents, lambda p: to_pair(p, to_text, to_content)))
    return fallbacks.batch_content_hash(pairs)


def _tokenize(text):
    return fallbacks.tokenize(argument("text", lambda: to_text(text)), char_class())


def _tokenize_query(query):
    return fallbacks.tokenize_query(argument("query", lambda: to_text(query)), char_class())


def _stem_word(word):
    return fallbacks.stem_word(argument("word", lambda: to_text(word)))


def _channel_result(name, ranked_ids, weight):
    text = argument("name", lambda: to_text(name))
    ids = argument("ranked_ids", lambda: to_list(ranked_ids, to_text))
    w = argument("weight", lambda: 1.0 if weight is MISSING else to_float(weight))
    return text, ids, w


_MODELS = {
    "fuse": _fuse,
    "compute_pagerank": _compute_pagerank,
    "pack_budget": _pack_budget,
    "compute_hotspots": _compute_hotspots,
    "content_hash": _content_hash,
    "batch_content_hash": _batch_content_hash,
    "tokenize": _tokenize,
    "tokenize_query": _tokenize_query,
    "stem_word": _stem_word,
    "ChannelResult": _channel_result,
}


def call(function, *args, **kwargs):
    return _MODELS[function](*bind(function, args, kwargs))


# ---------------------------------------------------------------------------
# Comparing failures

# Messages that are the module's own text; all others come from the
# interpreter (float, integer and encoding conversions) and are compared by
# exception class and argument prefix only.
_OWN_MESSAGE = re.compile(
    r"^(\S+\(\) (takes|got|missing) "
    r"|('[^']*' object|'None') is not an instance of '"
    r"|Can't extract `str` to `Vec`$"
    r"|expected tuple of length 2, but got tuple of length \d+$"
    r"|out of range integral type conversion attempted$"
    r"|object of type '[^']*' does not define a '__bool__' conversion$"
    r"|dictionary (changed size|keys changed) during iteration$)"
)
_PREFIX = re.compile(r"^argument '[^']*': ")


def assert_same_failure(got, expected):
    assert type(got) is type(expected), f"module raised {got!r}, model {expected!r}"
    got_text, expected_text = str(got), str(expected)
    prefix = _PREFIX.match(expected_text)
    prefix = prefix.group(0) if prefix else ""
    if _OWN_MESSAGE.match(expected_text[len(prefix):]):
        assert got_text == expected_text
    else:
        assert got_text.startswith(prefix), (got_text, expected_text)
        if not prefix:
            assert not _PREFIX.match(got_text), (got_text, expected_text)
