"""`vollan.detect` on long series with one change: the cost of wide contrasts.

    python bench/long_one_change.py [--before] [--sizes 5e4 1e5 2e5 1e6]

A shift of 1 sd in the middle of N(0, 1) noise; one call per length. ``--before`` searches every
boundary within h/2 of a leader, as the rule did before one boundary in h/64 was taken beyond
h = 127.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import vollan
from vollan.pipeline import leaders as _leaders


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", action="store_true", help="search every boundary")
    parser.add_argument(
        "--sizes", nargs="+", type=lambda s: int(float(s)), default=[50_000, 100_000, 200_000]
    )
    args = parser.parse_args()
    if args.before:
        _leaders.NEAR_STEPS = 10**12
    print("| n | width of the change's contrast | seconds | change reported |")
    print("|--:|--:|--:|---|")
    for n in args.sizes:
        rng = np.random.default_rng(0)
        x = np.r_[rng.normal(0, 1, n // 2), rng.normal(1, 1, n // 2)]
        start = time.perf_counter()
        found = vollan.detect(x)
        seconds = time.perf_counter() - start
        widths = [lead.width for lead in found.leaders if lead.reported]
        print(f"| {n:,} | {widths} | {seconds:.2f} | {list(found.change_points)} |", flush=True)


if __name__ == "__main__":
    main()
