"""B1: wasserstein_statistic against scipy.stats.wasserstein_distance on the same samples.

Every call gets the next of several different pairs of samples (the same sequence for both
contenders): one pair called again and again would let the branch predictor learn its sort and
its merge, which no caller's data allows.
"""

from __future__ import annotations

import argparse
import itertools
from collections.abc import Iterator
from typing import Any

import numpy as np
import scipy
from _common import CLOCKS, command_line, fmt_seconds, inner_count, side_by_side, table
from scipy.stats import wasserstein_distance

import vollan


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--sizes", type=int, nargs="+", default=[10, 100, 1_000, 10_000, 100_000, 1_000_000]
    )
    parser.add_argument("--list-sizes", type=int, nargs="+", default=[1_000, 100_000])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument(
        "--clock",
        choices=["wall", "cpu"],
        default="wall",
        help="wall-clock time, or the CPU time of the process (steadier on a crowded machine)",
    )
    args = parser.parse_args()

    rng = np.random.default_rng(1)
    cases: list[tuple[str, int]] = [("numpy float64", n) for n in args.sizes]
    cases += [("Python list", n) for n in args.list_sizes]
    rows = []
    for kind, n in cases:
        # Enough pairs that a sample lasts many calls apart, capped at about 64 MB of samples.
        n_pairs = max(4, min(64, 4_000_000 // n))
        pairs = []
        for _ in range(n_pairs):
            left = rng.normal(0.0, 1.0, size=n)
            right = rng.normal(0.3, 1.2, size=n)
            as_lists = kind == "Python list"
            pairs.append((left.tolist(), right.tolist()) if as_lists else (left, right))

        ours_inputs = itertools.cycle(pairs)
        theirs_inputs = itertools.cycle(pairs)

        def ours(inputs: Iterator[tuple[Any, Any]] = ours_inputs) -> float:
            a, b = next(inputs)
            return vollan.wasserstein_statistic(a, b)

        def theirs(inputs: Iterator[tuple[Any, Any]] = theirs_inputs) -> float:
            a, b = next(inputs)
            return float(wasserstein_distance(a, b))

        inner = inner_count(theirs)
        t_ours, t_theirs = side_by_side([ours, theirs], args.repeats, inner, CLOCKS[args.clock])
        a, b = pairs[0]
        mine = vollan.wasserstein_statistic(a, b)
        scipys = float(wasserstein_distance(a, b))
        rel = abs(mine - scipys) / max(abs(scipys), 1e-300)
        rows.append(
            [
                kind,
                f"{n:,}",
                fmt_seconds(t_ours),
                fmt_seconds(t_theirs),
                f"**{t_theirs / t_ours:.1f}×**",
                f"{rel:.0e}",
            ]
        )
    print(f"`{command_line()}` (scipy {scipy.__version__})\n")
    print(
        table(
            ["input", "n per sample", "vollan", "scipy", "speed-up", "relative difference"],
            rows,
        )
    )


if __name__ == "__main__":
    main()
