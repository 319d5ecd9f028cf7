"""How well a change from a normal law to a flat one of the same mean and variance can be
placed: `vollan.detect` on fresh series of the flat-law family against a placement that knows
both laws (the split of largest likelihood within 64 values of the true change).

    python bench/flat_ceiling.py [--series 200] [--oracle-series 2000]
"""

from __future__ import annotations

import argparse

import numpy as np

import vollan
from vollan._families import simulate

ROOT3 = np.sqrt(3.0)


def detected(series: int) -> tuple[int, int, float]:
    """Series that report a change, of those the nearest report within 5 values, and the
    median distance of the nearest report."""
    errors = []
    for seed in range(series):
        drawn = simulate("shape_uniform", seed=[99, seed])
        found = vollan.detect(drawn.values).change_points
        if found:
            errors.append(min(abs(c - drawn.change_points[0]) for c in found))
    near = np.asarray(errors)
    return len(near), int((near <= 5).sum()), float(np.median(near)) if len(near) else np.nan


def oracle(series: int, half: int = 300, radius: int = 64) -> float:
    """Share of series whose split of largest likelihood, knowing both laws, lies within 5
    values of the change (``half`` values of each law)."""
    rng = np.random.default_rng(1)
    hits = 0
    for _ in range(series):
        x = np.concatenate([rng.normal(size=half), rng.uniform(-ROOT3, ROOT3, size=half)])
        normal = -0.5 * np.log(2 * np.pi) - x * x / 2
        flat = np.where(np.abs(x) <= ROOT3, -np.log(2 * ROOT3), -np.inf)
        before = np.concatenate([[0.0], np.cumsum(normal)])
        after = np.concatenate([[0.0], np.cumsum(flat[::-1])])[::-1]
        splits = np.arange(half - radius, half + radius + 1)
        best = splits[np.argmax(before[splits] + after[splits])]
        hits += abs(int(best) - half) <= 5
    return hits / series


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200)
    parser.add_argument("--oracle-series", type=int, default=2000)
    args = parser.parse_args()
    reporting, within, median = detected(args.series)
    print(f"vollan.detect: {reporting} of {args.series} series report a change; the nearest")
    print(f"report within 5 values in {within} of them; median distance {median:.0f}")
    share = oracle(args.oracle_series)
    print(f"knowing both laws: within 5 values in {share:.1%} of {args.oracle_series} series")


if __name__ == "__main__":
    main()
