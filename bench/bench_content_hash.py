"""content_hash and batch_content_hash against xxhash (xxh64, xxh3_64),
zlib.crc32 and hashlib.blake2b, each producing its hex text as the module does.

Cases: one 64 MiB buffer (throughput), 10,000 files of 4 KiB through
batch_content_hash (the peers build the same dict with a comprehension), and a
16-byte content, where the call itself is what is measured.
"""

from __future__ import annotations

import hashlib
import os
import zlib

import _quibra_core as q
import fallbacks
from harness import Case

try:
    import xxhash
except ImportError:  # the bench extra is not installed: those peers are left out
    xxhash = None


def hex_peers(data):
    peers = {}
    if xxhash is not None:
        peers["xxhash.xxh64"] = lambda: xxhash.xxh64(data).hexdigest()
        peers["xxhash.xxh3_64"] = lambda: xxhash.xxh3_64(data).hexdigest()
    peers["zlib.crc32"] = lambda: f"{zlib.crc32(data):08x}"
    peers["hashlib.blake2b (8 bytes)"] = lambda: hashlib.blake2b(data, digest_size=8).hexdigest()
    return peers


def batch_peers(pairs):
    peers = {}
    if xxhash is not None:
        xxh64, xxh3 = xxhash.xxh64, xxhash.xxh3_64
        peers["xxhash.xxh64"] = lambda: {p: xxh64(c).hexdigest() for p, c in pairs}
        peers["xxhash.xxh3_64"] = lambda: {p: xxh3(c).hexdigest() for p, c in pairs}
    crc32, blake2b = zlib.crc32, hashlib.blake2b
    peers["zlib.crc32"] = lambda: {p: f"{crc32(c):08x}" for p, c in pairs}
    peers["hashlib.blake2b (8 bytes)"] = lambda: {p: blake2b(c, digest_size=8).hexdigest() for p, c in pairs}
    return peers


def throughput(size):
    return lambda seconds: f"{size / seconds / 1e9:.2f} GB/s"


def cases(quick: bool) -> list[Case]:
    big = os.urandom((8 if quick else 64) << 20)
    assert q.content_hash(big[:100_000]) == fallbacks.content_hash(big[:100_000])

    n_files = 1_000 if quick else 10_000
    pairs = [(f"src/pkg_{i % 50:02d}/module_{i:05d}.py", os.urandom(4096)) for i in range(n_files)]
    assert q.batch_content_hash(pairs[:20]) == fallbacks.batch_content_hash(pairs[:20])

    # For 16 bytes the call is what is timed: every peer is called bare, as
    # a local name, and returns its own native result.
    small = os.urandom(16)
    content_hash, crc32, fallback = q.content_hash, zlib.crc32, fallbacks.content_hash
    small_peers = {"zlib.crc32 (int)": lambda: crc32(small)}
    if xxhash is not None:
        xxh64_intdigest, xxh3_64_intdigest = xxhash.xxh64_intdigest, xxhash.xxh3_64_intdigest
        small_peers["xxhash.xxh64_intdigest"] = lambda: xxh64_intdigest(small)
        small_peers["xxhash.xxh3_64_intdigest"] = lambda: xxh3_64_intdigest(small)
    small_peers["pure-Python fallback"] = lambda: fallback(small)
    return [
        Case(
            name=f"content_hash, one {len(big) >> 20} MiB buffer",
            subject=lambda: q.content_hash(big),
            peers=hex_peers(big),
            note="goals: crc32/module > 1, xxh64/module >= 0.3",
            extras={"throughput": throughput(len(big))},
        ),
        Case(
            name=f"batch_content_hash, {n_files:,} files of 4 KiB",
            subject=lambda: q.batch_content_hash(pairs),
            peers=batch_peers(pairs),
            note="peers build the same dict of hex texts",
            extras={"throughput": throughput(4096 * n_files)},
        ),
        Case(
            name="content_hash, 16 bytes",
            subject=lambda: content_hash(small),
            peers=small_peers,
            note="goal: crc32/module >= 1/1.5 = 0.67",
        ),
    ]
