"""vollan.detect on the same series in other units: a shift of level, a change of spread and a
change of shape (normal to two-peaked, same mean and variance) at 250 of 500 values, 10 seeds
each, multiplied by 1e-30 .. 1e300; counts the series whose change is found within 10 values.
Change-free N(0, 1) series (50 of 500 values) in the same units count false reports.

    python bench/units.py
"""

from __future__ import annotations

import numpy as np

import vollan

UNITS = (1.0, 1e-9, 1e-11, 1e-14, 1e-30, 1e9, 1e100, 1e155, 1e200, 1e300)


def main() -> None:
    print("| units | shift found | spread found | shape found | change-free series reporting |")
    print("|---|--:|--:|--:|--:|")
    for scale in UNITS:
        hits = {"mean": 0, "var": 0, "shape": 0}
        for seed in range(10):
            rng = np.random.default_rng(seed)
            v = np.r_[rng.normal(size=250), 3 * rng.normal(size=250)] * scale
            m = np.r_[rng.normal(size=250), 2 + rng.normal(size=250)] * scale
            two_peaks = rng.choice([-0.95, 0.95], size=500) + 0.3125 * rng.normal(size=500)
            s = np.r_[rng.normal(size=500), two_peaks] * scale
            for kind, x in (("var", v), ("mean", m), ("shape", s)):
                found = vollan.detect(x).change_points
                hits[kind] += any(abs(c - len(x) // 2) <= 10 for c in found)
        noise = [np.random.default_rng([9, s]).normal(size=500) * scale for s in range(50)]
        alarms = sum(bool(vollan.detect(x).change_points) for x in noise)
        print(
            f"| {scale:.0e} | {hits['mean']}/10 | {hits['var']}/10 | {hits['shape']}/10 "
            f"| {alarms}/50 |"
        )


if __name__ == "__main__":
    main()
