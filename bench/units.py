"""vollan.detect on the same series in other units and on a baseline: a shift of level, a change
of spread and a change of shape (normal to two-peaked, same mean and variance) at 250 of 500
values, 10 seeds each, multiplied by 1e-30 .. 1e300 or added to 1e3 .. 1e12; counts the series
whose change is found within 10 values. Change-free N(0, 1) series (50 of 500 values) in the
same units count false reports.

    python bench/units.py
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

import vollan

UNITS = (1.0, 1e-9, 1e-11, 1e-14, 1e-30, 1e9, 1e100, 1e155, 1e200, 1e300)
BASELINES = (1e3, 1e6, 1e8, 1e10, 1e12)


def main() -> None:
    print("| values | shift found | spread found | shape found | change-free series reporting |")
    print("|---|--:|--:|--:|--:|")
    for scale in UNITS:
        row(f"times {scale:.0e}", lambda x, scale=scale: x * scale)
    for baseline in BASELINES:
        row(f"plus {baseline:.0e}", lambda x, baseline=baseline: x + baseline)


def row(name: str, units: Callable[[np.ndarray], np.ndarray]) -> None:
    """One line of the table: the changes found and the false reports in these units."""
    hits = {"mean": 0, "var": 0, "shape": 0}
    for seed in range(10):
        rng = np.random.default_rng(seed)
        v = units(np.r_[rng.normal(size=250), 3 * rng.normal(size=250)])
        m = units(np.r_[rng.normal(size=250), 2 + rng.normal(size=250)])
        two_peaks = rng.choice([-0.95, 0.95], size=500) + 0.3125 * rng.normal(size=500)
        s = units(np.r_[rng.normal(size=500), two_peaks])
        for kind, x in (("var", v), ("mean", m), ("shape", s)):
            found = vollan.detect(x).change_points
            hits[kind] += any(abs(c - len(x) // 2) <= 10 for c in found)
    noise = [units(np.random.default_rng([9, s]).normal(size=500)) for s in range(50)]
    alarms = sum(bool(vollan.detect(x).change_points) for x in noise)
    print(f"| {name} | {hits['mean']}/10 | {hits['var']}/10 | {hits['shape']}/10 | {alarms}/50 |")


if __name__ == "__main__":
    main()
