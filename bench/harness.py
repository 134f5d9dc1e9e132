"""Timing harness shared by the benchmark modules.

A benchmark module in this folder is named ``bench_<area>.py`` and defines
``cases(quick)``, returning a list of :class:`Case`. Each case times the
module's function ("subject") and its peers on the same prepared input, in the
same process and run, and reports each peer's time divided by the subject's:
a ratio above 1 means the subject is that many times faster.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Case:
    name: str
    subject: Callable[[], object]
    peers: dict[str, Callable[[], object]] = field(default_factory=dict)
    # A note printed under the case: input sizes, goals, what is included.
    note: str = ""
    # Extra figures the case wants reported, computed after timing
    # (for example MB/s): name -> function(subject_seconds) -> str.
    extras: dict[str, Callable[[float], str]] = field(default_factory=dict)


def best_time(fn: Callable[[], object], repeat: int, budget: float) -> float:
    """Minimum over `repeat` rounds of the mean time of one call.

    Each round runs as many calls as fit in about budget/repeat seconds
    (at least one), so fast calls are averaged over many runs.
    """
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-9)
    per_round = budget / repeat
    number = max(1, int(per_round / once))
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def format_seconds(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:8.3f} {unit}"
    return f"{seconds / 1e-9:8.1f} ns"


def run_case(case: Case, repeat: int, budget: float, print_fn=print) -> dict:
    subject = best_time(case.subject, repeat, budget)
    print_fn(f"\n{case.name}")
    if case.note:
        print_fn(f"  {case.note}")
    print_fn(f"  {'_quibra_core':<28}{format_seconds(subject)}")
    result = {"case": case.name, "subject": subject, "peers": {}}
    for name, peer in case.peers.items():
        seconds = best_time(peer, repeat, budget)
        ratio = seconds / subject
        result["peers"][name] = seconds
        print_fn(f"  {name:<28}{format_seconds(seconds)}   x{ratio:,.2f}")
    for name, extra in case.extras.items():
        print_fn(f"  {name}: {extra(subject)}")
    return result
