"""Content hashing."""

import os
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quibra_core as q
import fallbacks

SEED = 0x5C1E93B7A24F
P = 0x100000001B3


def prefix_hashes(data):
    """The byte-by-byte hash of every prefix of `data`, empty prefix first."""
    h = SEED
    out = [h]
    for byte in data:
        h = (h * P + byte) % 2**64
        out.append(h)
    return [f"{v:016x}" for v in out]


def test_empty_content_is_the_seed_with_leading_zeros():
    assert q.content_hash(b"") == "00005c1e93b7a24f"


@pytest.mark.parametrize("byte", [0, 1, 0x7F, 0x80, 0xFF])
def test_single_byte(byte):
    # Bytes count as 0 .. 255: 0x80 and 0xFF must not act as negative chars.
    assert q.content_hash(bytes([byte])) == f"{(SEED * P + byte) % 2**64:016x}"


def test_hash_text_form():
    for content in (b"", b"\x00", b"abc", os.urandom(100)):
        assert re.fullmatch("[0-9a-f]{16}", q.content_hash(content))


@pytest.mark.parametrize("content", [b"ab", b"\x00\xff", b"x" * 40 + b"yz" + b"x" * 1000])
def test_swapping_adjacent_bytes_changes_the_hash(content):
    i = next(k for k in range(len(content) - 1) if content[k] != content[k + 1])
    swapped = content[:i] + content[i + 1:i + 2] + content[i:i + 1] + content[i + 2:]
    assert q.content_hash(swapped) != q.content_hash(content)


def test_every_length_and_offset_matches_byte_by_byte():
    # Lengths run across several 1024-byte blocks, their 32-byte steps and
    # the tail; offsets move where the blocks start within the data.
    data = os.urandom(4200 + 40)
    for offset in range(0, 40, 3):
        expected = prefix_hashes(data[offset:])
        for length in range(len(data) - offset + 1):
            assert q.content_hash(data[offset:offset + length]) == expected[length], (offset, length)


@pytest.mark.parametrize("length", [31, 32, 1023, 1024, 1025, 3 * 1024 + 31, 1 << 20])
@pytest.mark.parametrize("fill", [0x00, 0xFF])
def test_extreme_bytes_at_block_boundaries(length, fill):
    # All-0xFF content drives every partial sum to its largest magnitude.
    content = bytes([fill]) * length
    assert q.content_hash(content) == prefix_hashes(content)[-1]


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=5000))
def test_matches_byte_by_byte_reference(content):
    assert q.content_hash(content) == fallbacks.content_hash(content)


def test_all_forms_of_the_same_bytes_agree():
    content = bytes(range(256)) * 5 + b"tail"
    expected = q.content_hash(content)

    class Bytes(bytes):
        pass

    class ByteArray(bytearray):
        pass

    forms = [content, bytearray(content), list(content), tuple(content), Bytes(content), ByteArray(content)]
    result = q.batch_content_hash([(f"f{i}", form) for i, form in enumerate(forms)])
    assert result == {f"f{i}": expected for i in range(len(forms))}
    assert q.content_hash(Bytes(content)) == expected
    assert q.batch_content_hash([("r", range(256))]) == {"r": q.content_hash(bytes(range(256)))}


def test_batch_last_pair_for_a_path_wins():
    assert q.batch_content_hash([]) == {}
    result = q.batch_content_hash([("a", b"1"), ("b", b"2"), ("a", b"3"), ("a\x00", b"4")])
    assert result == {"a": q.content_hash(b"3"), "b": q.content_hash(b"2"), "a\x00": q.content_hash(b"4")}


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["a", "b", "é", "src/x.py"]), st.binary(max_size=300)), max_size=8))
def test_batch_matches_fallback(contents):
    assert q.batch_content_hash(contents) == fallbacks.batch_content_hash(contents)


def test_bytearray_changed_by_a_later_hook_is_hashed_as_converted():
    original = bytearray(b"first content " * 100)
    expected = q.content_hash(bytes(original))

    class Shrinking:
        def __index__(self):
            original.clear()
            return 1

    result = q.batch_content_hash([("a", original), ("b", [Shrinking()])])
    assert result == {"a": expected, "b": q.content_hash(b"\x01")}


@pytest.mark.parametrize("content", [bytearray(b"x"), "x", memoryview(b"x"), None, 5, [120]])
def test_content_hash_takes_bytes_only(content):
    target = "'None' is not" if content is None else f"'{type(content).__qualname__}' object is not"
    with pytest.raises(TypeError) as info:
        q.content_hash(content)
    assert str(info.value) == f"argument 'content': {target} an instance of 'bytes'"


@pytest.mark.parametrize(
    "contents, error, message",
    [
        ("ab", TypeError, "argument 'contents': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'contents': 'int' object is not an instance of 'Sequence'"),
        ([["a", b""]], TypeError, "argument 'contents': 'list' object is not an instance of 'tuple'"),
        ([("a", b"", b"")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([(b"a", b"")], TypeError, "argument 'contents': 'bytes' object is not an instance of 'str'"),
        ([("a", "text")], TypeError, "argument 'contents': Can't extract `str` to `Vec`"),
        ([("a", 5)], TypeError, "argument 'contents': 'int' object is not an instance of 'Sequence'"),
        ([("a", {1, 2})], TypeError, "argument 'contents': 'set' object is not an instance of 'Sequence'"),
        ([("a", [1.0])], TypeError, "argument 'contents': 'float' object cannot be interpreted as an integer"),
        ([("a", ["1"])], TypeError, "argument 'contents': 'str' object cannot be interpreted as an integer"),
        ([("a", [256])], OverflowError, "out of range integral type conversion attempted"),
        ([("a", [0, -1])], OverflowError, "out of range integral type conversion attempted"),
        ([("a", [2**70])], OverflowError, "Python int too large to convert to C long"),
        ([("a", b""), ("b", [300])], OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_batch_conversion_errors(contents, error, message):
    with pytest.raises(error) as info:
        q.batch_content_hash(contents)
    assert type(info.value) is error
    assert str(info.value) == message


def test_batch_keys_are_plain_str_even_for_str_subclasses():
    class Path(str):
        pass

    result = q.batch_content_hash([(Path("a"), b"1"), ("b", b"2"), (Path("b"), b"3")])
    assert result == {"a": q.content_hash(b"1"), "b": q.content_hash(b"3")}
    assert all(type(key) is str for key in result)


def test_docstrings():
    assert q.content_hash.__doc__ == "\n".join([
        "Compute a content hash for staleness detection.",
        "",
        "Uses a polynomial rolling hash with the canary seed.",
        "This hash is NOT cryptographic — it's for fast change detection.",
        "",
        "Args:",
        "    content: The file content bytes to hash.",
        "",
        "Returns:",
        "    64-bit hash as hex string.",
    ])
    assert q.batch_content_hash.__doc__ == "\n".join([
        "Compute content hashes for a batch of files.",
        "",
        "Args:",
        "    contents: List of (file_path, content_bytes) pairs.",
        "",
        "Returns:",
        "    Dict mapping file_path -> hash hex string.",
    ])
