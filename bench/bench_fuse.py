"""fuse: 4 channels of 10,000 ids with realistic overlap, and 4 of 50 (one query).

Each timed call builds the four channels from the host's id lists, fuses them
and reads every result's symbol_id, score and channel_ranks, as a host does.
"""

from __future__ import annotations

import random

import _quibra_core as q
import fallbacks
from harness import Case

CHANNELS = ("lexical", "structural", "similarity", "identity")


def symbol_ids(count: int, rng: random.Random) -> list[str]:
    return [
        f"src/pkg{rng.randrange(40)}/module_{rng.randrange(500)}.py::Class{i % 97}.method_{i}"
        for i in range(count)
    ]


def channel_lists(per_channel: int, seed: int = 7) -> list[tuple[str, list[str]]]:
    # Channels draw from a shared pool twice their length, so most ids appear
    # in two or more channels, in different orders.
    rng = random.Random(seed)
    pool = symbol_ids(per_channel * 2, rng)
    return [(name, rng.sample(pool, per_channel)) for name in CHANNELS]


def run_module(lists):
    results = q.fuse([q.ChannelResult(name, ids) for name, ids in lists])
    return [(r.symbol_id, r.score, r.channel_ranks) for r in results]


def run_fallback(lists):
    results = fallbacks.fuse([fallbacks.ChannelResult(name, ids) for name, ids in lists])
    return [(r.symbol_id, r.score, dict(r.channel_ranks)) for r in results]


def cases(quick: bool) -> list[Case]:
    out = []
    for per_channel, goal in ((10_000, 20), (50, 5)):
        lists = channel_lists(per_channel)
        assert [row[:2] for row in run_module(lists)] == [row[:2] for row in run_fallback(lists)]
        out.append(Case(
            name=f"fuse 4 x {per_channel:,} ids (build channels, fuse, read results)",
            subject=lambda lists=lists: run_module(lists),
            peers={"pure-Python fallback": lambda lists=lists: run_fallback(lists)},
            note=f"goal: fallback/module >= {goal}",
        ))
        channels = [q.ChannelResult(name, ids) for name, ids in lists]
        fallback_channels = [fallbacks.ChannelResult(name, ids) for name, ids in lists]
        out.append(Case(
            name=f"fuse 4 x {per_channel:,} ids (fuse only, channels prebuilt)",
            subject=lambda c=channels: q.fuse(c),
            peers={"pure-Python fallback": lambda c=fallback_channels: fallbacks.fuse(c)},
        ))
    return out
