"""B1: wasserstein_statistic against scipy.stats.wasserstein_distance on the same samples."""

from __future__ import annotations

import argparse

import numpy as np
import scipy
from _common import command_line, fmt_seconds, inner_count, side_by_side, table
from scipy.stats import wasserstein_distance

import vollan


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10, 1_000, 100_000, 1_000_000])
    parser.add_argument("--list-sizes", type=int, nargs="+", default=[1_000, 100_000])
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    rng = np.random.default_rng(1)
    cases: list[tuple[str, int]] = [("numpy float64", n) for n in args.sizes]
    cases += [("Python list", n) for n in args.list_sizes]
    rows = []
    for kind, n in cases:
        left = rng.normal(0.0, 1.0, size=n)
        right = rng.normal(0.3, 1.2, size=n)
        a, b = (left.tolist(), right.tolist()) if kind == "Python list" else (left, right)

        def ours(a=a, b=b) -> float:
            return vollan.wasserstein_statistic(a, b)

        def theirs(a=a, b=b) -> float:
            return float(wasserstein_distance(a, b))

        inner = inner_count(theirs)
        t_ours, t_theirs = side_by_side([ours, theirs], args.repeats, inner)
        rel = abs(ours() - theirs()) / max(abs(theirs()), 1e-300)
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
