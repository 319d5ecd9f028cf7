"""The new user's series, over many seeds: 1,095 daily values, the mean 1000 -> 1150 (sd 50) at
400 and the sd 50 -> 150 at 800.

    python bench/new_user.py [--seeds 30]

Counts, over the seeds: the variance change reported within 5 of 800, its 90 % interval holding
800, the shift's interval holding 400, ``n_changes=1`` returning the shift (within 5 of 400),
``change_type="mean"`` reporting nothing but the shift, and the shift's size within 0.5 of 3 sd.
"""

from __future__ import annotations

import argparse

import numpy as np

import vollan


def series(seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(1095)
    return np.where(t < 400, 1000.0, 1150.0) + np.where(t < 800, 50.0, 150.0) * rng.normal(
        size=1095
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=30)
    args = parser.parse_args()
    counts = dict.fromkeys(
        [
            "variance within 5",
            "variance interval holds",
            "shift interval holds",
            "n_changes=1 is the shift",
            "mean reports only the shift",
            "shift size 3 +- 0.5",
            "exactly two changes",
        ],
        0,
    )
    errors = []
    for seed in range(args.seeds):
        x = series(seed)
        found = vollan.detect(x)
        var = [c for c in found.changes if c.kind == "variance" and abs(c.index - 800) <= 60]
        shift = [c for c in found.changes if c.kind == "mean" and abs(c.index - 400) <= 60]
        if var:
            errors.append(var[0].index - 800)
            counts["variance within 5"] += abs(var[0].index - 800) <= 5
            counts["variance interval holds"] += var[0].interval[0] <= 800 <= var[0].interval[1]
        if shift:
            counts["shift interval holds"] += shift[0].interval[0] <= 400 <= shift[0].interval[1]
            counts["shift size 3 +- 0.5"] += abs(shift[0].size - 3.0) <= 0.5
        counts["exactly two changes"] += len(found.changes) == 2
        one = vollan.detect(x, n_changes=1)
        counts["n_changes=1 is the shift"] += (
            len(one.changes) == 1 and abs(one.changes[0].index - 400) <= 5
        )
        mean = vollan.detect(x, change_type="mean")
        counts["mean reports only the shift"] += all(
            abs(c.index - 400) <= 10 for c in mean.changes
        ) and bool(mean.changes)
    print("| check | seeds |")
    print("|---|--:|")
    for name, k in counts.items():
        print(f"| {name} | {k} / {args.seeds} |")
    if errors:
        e = np.abs(errors)
        print(f"\n_variance change: median |error| {np.median(e):.0f}, worst {e.max():.0f}._")


if __name__ == "__main__":
    main()
