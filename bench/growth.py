"""What the drift check does on fresh series: curves whose slope grows, with and without a
jump, and transitions spread over many values, which must still be found.

    python bench/growth.py [--series 200]

Seeds from 100 on, which no rule was chosen on. Each row: series, true changes found within
5 values (40 for the ramps, placed anywhere along them), other reports, and series with any
other report, without the check → with it.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable

import numpy as np

import vollan

N = 500
T = np.arange(N)

Drawn = tuple[np.ndarray, list[int]]
SERIES: dict[str, tuple[Callable[[np.random.Generator], Drawn], int]] = {
    "exp(0.008 t) + N(0,1), no change": (
        lambda r: (np.exp(0.008 * T) + r.normal(size=N), []),
        5,
    ),
    "as above, a jump of 4 at 250": (
        lambda r: (np.exp(0.008 * T) + r.normal(size=N) + 4 * (T >= 250), [250]),
        5,
    ),
    "as above, a jump of 4 at 420": (
        lambda r: (np.exp(0.008 * T) + r.normal(size=N) + 4 * (T >= 420), [420]),
        5,
    ),
    "as above, a fall of 4 at 420": (
        lambda r: (np.exp(0.008 * T) + r.normal(size=N) - 4 * (T >= 420), [420]),
        5,
    ),
    "exp(0.008 t) (1 + 0.05 N(0,1)), no change (the spread grows too)": (
        lambda r: (np.exp(0.008 * T) * (1 + 0.05 * r.normal(size=N)), []),
        5,
    ),
    "logistic of scale 40 + N(0,1), no change": (
        lambda r: (10 / (1 + np.exp(-(T - 250) / 40)) + r.normal(size=N), []),
        5,
    ),
    "quadratic + N(0,1), no change": (
        lambda r: (1e-4 * (T - 250) ** 2 + r.normal(size=N), []),
        5,
    ),
    "a ramp of 4 over 80 values + N(0,1)": (
        lambda r: (4 * np.clip((T - 260) / 80, 0, 1) + r.normal(size=N), [300]),
        40,
    ),
    "a ramp of 4 over 40 values + N(0,1)": (
        lambda r: (4 * np.clip((T - 280) / 40, 0, 1) + r.normal(size=N), [300]),
        20,
    ),
    "a line of 0.02 a value + a jump of 3 at 300": (
        lambda r: (0.02 * T + r.normal(size=N) + 3 * (T >= 300), [300]),
        5,
    ),
}


def counts(
    draw: Callable[[np.random.Generator], Drawn],
    margin: int,
    seeds: range,
    config: vollan.DetectConfig,
) -> tuple:
    found = other = with_other = 0
    for seed in seeds:
        x, truth = draw(np.random.default_rng(seed))
        points = vollan.detect(x, config=config).change_points
        hit = sum(any(abs(c - t) <= margin for c in points) for t in truth)
        found += hit
        other += len(points) - hit
        with_other += len(points) > hit
    return found, other, with_other


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200)
    args = parser.parse_args()
    seeds = range(100, 100 + args.series)
    print("| series | n | true changes found | other reports | series with another report |")
    print("|---|--:|--:|--:|--:|")
    for name, (draw, margin) in SERIES.items():
        before_after = []
        for on in (False, True):
            config = vollan.DEFAULT_CONFIG.replace("vote", drift_check=on)
            before_after.append(counts(draw, margin, seeds, config))
        (f0, o0, w0), (f1, o1, w1) = before_after
        truth = len(draw(np.random.default_rng(0))[1]) * len(seeds)
        found = f"{f0} → {f1} of {truth}" if truth else ""
        print(f"| {name} | {len(seeds)} | {found} | {o0} → {o1} | {w0} → {w1} |", flush=True)


if __name__ == "__main__":
    main()
