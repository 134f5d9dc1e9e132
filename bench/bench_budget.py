"""pack_budget against the pure-Python fallback, and how its time grows."""

from __future__ import annotations

import random

import _quibra_core as qc

import fallbacks
from harness import Case


def make_items(count: int, files: int, seed: int = 7) -> list[dict]:
    rng = random.Random(seed)
    return [
        {"id": f"pkg.mod{i % files}.sym{i}", "file": f"src/pkg/mod{rng.randrange(files)}.py",
         "score": rng.random(), "tokens": rng.randint(20, 400)}
        for i in range(count)
    ]


def _case(name, items, budget, diversity=True, peer=True):
    picks = len(qc.pack_budget(items, budget, diversity)[0])
    files = len({d["file"] for d in items})
    peers = {}
    if peer:
        assert [p.symbol_id for p in fallbacks.pack_budget(items, budget, diversity)[0]] == [
            p.symbol_id for p in qc.pack_budget(items, budget, diversity)[0]]
        peers["python fallback"] = lambda: fallbacks.pack_budget(items, budget, diversity)
    return Case(
        name=name,
        subject=lambda: qc.pack_budget(items, budget, diversity),
        peers=peers,
        note=f"{len(items):,} candidates over {files:,} files, budget {budget:,}, "
             f"diversity {'on' if diversity else 'off'}: {picks} picks",
    )


def cases(quick: bool) -> list[Case]:
    scale = 4 if quick else 1
    out = [
        _case("pack 2,000 candidates (goal x30)", make_items(2_000, 200), 8_000),
        _case("pack 20,000 candidates (goal x30)",
              make_items(20_000 // scale, 2_000 // scale), 100_000 // scale),
        _case("pack 20,000 candidates, diversity off",
              make_items(20_000 // scale, 2_000 // scale), 100_000 // scale, diversity=False),
    ]
    # Growth: candidates at a fixed number of picks, then picks at fixed candidates.
    for count in (5_000, 20_000, 80_000):
        out.append(_case(f"growth: {count:,} candidates", make_items(count // scale, count // 10),
                         20_000, peer=False))
    for budget in (10_000, 100_000, 1_000_000):
        out.append(_case(f"growth: budget {budget:,}", make_items(20_000 // scale, 2_000),
                         budget, peer=False))
    # Everything fits: every file gives its three picks, and most candidates
    # wait damped behind the ones being picked.
    for count in (20_000, 80_000):
        out.append(_case(f"growth: {count:,} candidates, unbounded budget",
                         make_items(count // scale, count // 4), 2**64 - 1, peer=False))
    return out
