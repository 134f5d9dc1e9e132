"""compute_hotspots against the pure-Python fallback."""

from __future__ import annotations

import random

import _quibra_core as qc

import fallbacks
from harness import Case


def make_input(count: int, files: int, seed: int = 11) -> tuple[list[dict], dict]:
    rng = random.Random(seed)
    paths = [f"src/pkg{f % 40}/mod{f}.py" for f in range(files)]
    kinds = ["function", "function", "method", "method", "class", "variable"]
    symbols = []
    for i in range(count):
        path = rng.choice(paths)
        if rng.random() < 0.2:
            path = path.replace("/", "\\")
        symbols.append({
            "id": f"sym{i}", "name": f"name{i}", "kind": rng.choice(kinds), "file": path,
            "line": rng.randint(1, 3000), "cyclomatic": rng.randint(1, 30),
            "max_nesting": rng.randint(0, 6), "param_count": rng.randint(0, 8),
        })
    churn = {path: rng.randint(0, 200) for path in paths if rng.random() < 0.9}
    return symbols, churn


def cases(quick: bool) -> list[Case]:
    count, files = (12_500, 500) if quick else (50_000, 2_000)
    symbols, churn = make_input(count, files)
    assert qc.compute_hotspots(symbols, churn) == fallbacks.compute_hotspots(symbols, churn)
    return [
        Case(
            name=f"hotspots over {count:,} symbols (goal x5)",
            subject=lambda: qc.compute_hotspots(symbols, churn),
            peers={"python fallback": lambda: fallbacks.compute_hotspots(symbols, churn)},
            note=f"{count:,} symbol dicts over {files:,} files, 4 of 6 kinds scored, top 20",
        ),
        Case(
            name=f"hotspots over {count:,} symbols, all returned",
            subject=lambda: qc.compute_hotspots(symbols, churn, top_n=count),
            peers={"python fallback": lambda: fallbacks.compute_hotspots(symbols, churn,
                                                                         top_n=count)},
            note="every qualifying symbol comes back as a dict",
        ),
    ]
