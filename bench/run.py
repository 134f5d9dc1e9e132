"""Run the benchmarks: python bench/run.py [--quick] [AREA ...]

Every bench_<area>.py module in this folder contributes cases; naming areas
runs only those. Ratios are peer time / _quibra_core time from the same run.
"""

from __future__ import annotations

import argparse
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import run_case  # noqa: E402


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("areas", nargs="*", help="areas to run (default: all)")
    parser.add_argument("--quick", action="store_true", help="smaller inputs, shorter timing")
    parser.add_argument("--repeat", type=int, default=5, help="rounds per measurement (min is kept)")
    args = parser.parse_args(argv)

    available = sorted(p.stem[len("bench_"):] for p in HERE.glob("bench_*.py"))
    areas = args.areas or available
    unknown = [a for a in areas if a not in available]
    if unknown:
        parser.error(f"unknown area(s) {unknown}; available: {available}")
    budget = 0.2 if args.quick else 1.0
    for area in areas:
        module = importlib.import_module(f"bench_{area}")
        print(f"== {area} ==")
        for case in module.cases(args.quick):
            run_case(case, args.repeat, budget)
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
