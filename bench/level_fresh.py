"""The level pass of vollan.detect on series it was not chosen on, with the pass and without:
small shifts between long stretches in several noises, fresh AR(1) series with shifts, fresh
periodic regimes (bench/periods.py), change-free drifts, random walks, seasonal and AR(1)
series, Poisson counts with and without changes of rate and bumps (a level that shifts and
shifts back); with the pass as it is (``DetectConfig.without("level")`` without it), and with its
long-run spread about two parts (``replace("level", bumps=False)``); cover and F1 at a margin of
5, and the reports farther than the margin from every true change.

    python bench/level_fresh.py [--series 200]
"""

from __future__ import annotations

import argparse
import math

import numpy as np
import protocol
from periods import periodic

import vollan
from vollan._families import ar1

NOISES = {
    "N(0,1)": lambda rng, n: rng.normal(size=n),
    "t(3)": lambda rng, n: rng.standard_t(3, size=n) / math.sqrt(3.0),
    "AR(1) 0.3": lambda rng, n: ar1(rng, n, 0.3) * math.sqrt(1 - 0.09),
    "AR(1) 0.6": lambda rng, n: ar1(rng, n, 0.6) * math.sqrt(1 - 0.36),
}


def small_shifts(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    """n 150-3000 values of one noise law (unit variance) with 1-3 shifts of 0.4-1.5 sd, at
    least a sixth of the series apart and from the ends."""
    n = int(rng.integers(150, 3001))
    law = list(NOISES)[int(rng.integers(len(NOISES)))]
    k = int(rng.integers(1, 4))
    gap = n // 6
    cuts: list[int] = []
    for c in rng.permutation(np.arange(gap, n - gap)):
        if all(abs(int(c) - d) >= gap for d in cuts):
            cuts.append(int(c))
        if len(cuts) == k:
            break
    cuts.sort()
    level = np.zeros(n)
    for c in cuts:
        level[c:] += rng.choice([-1.0, 1.0]) * rng.uniform(0.4, 1.5)
    return NOISES[law](rng, n) + level, cuts


def ar_shifts(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    """n 300-1500 values of AR(1) noise (phi 0.3-0.7) with 1-3 shifts of 1-4 process sds."""
    n = int(rng.integers(300, 1501))
    phi = rng.uniform(0.3, 0.7)
    k = int(rng.integers(1, 4))
    cuts = sorted(int(c) for c in rng.choice(np.arange(n // 8, n - n // 8), k, replace=False))
    cuts = [c for i, c in enumerate(cuts) if i == 0 or c - cuts[i - 1] >= 50]
    x = ar1(rng, n, phi)
    sd = 1.0 / math.sqrt(1.0 - phi * phi)
    for c in cuts:
        x[c:] += rng.choice([-1.0, 1.0]) * rng.uniform(1.0, 4.0) * sd
    return x, cuts


def change_free(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    """n 150-3000 values: a drift of 1-10 sds, a random walk, a seasonal series (period
    7-60, amplitude 1-4) or AR(1) noise of coefficient 0.3-0.8, in turn."""
    n = int(rng.integers(150, 3001))
    kind = int(rng.integers(4))
    noise = rng.normal(size=n)
    if kind == 0:
        return np.linspace(0.0, rng.uniform(1.0, 10.0), n) + noise, []
    if kind == 1:
        return np.cumsum(noise), []
    if kind == 2:
        period = rng.uniform(7.0, 60.0)
        wave = np.sin(2 * math.pi * (np.arange(n) / period + rng.random()))
        return rng.uniform(1.0, 4.0) * wave + noise, []
    return ar1(rng, n, rng.uniform(0.3, 0.8)), []


def counts(rng: np.random.Generator, changes: bool = True) -> tuple[np.ndarray, list[int]]:
    """n 300-2000 Poisson counts at a rate of 0.3-3 (0.02-3 without changes), with 0-3 changes
    of the rate by a factor of 1.5-3, at least a sixth of the series from the ends."""
    n = int(rng.integers(300, 2001))
    k = int(rng.integers(0, 4)) if changes else 0
    cuts = sorted(int(c) for c in rng.choice(np.arange(n // 6, n - n // 6), k, replace=False))
    rate = np.full(n, rng.uniform(0.3, 3.0) if changes else math.exp(rng.uniform(-3.9, 1.1)))
    for c in cuts:
        factor = rng.uniform(1.5, 3.0)
        rate[c:] *= factor if rng.random() < 0.5 else 1.0 / factor
    return rng.poisson(rate).astype(np.float64), cuts


def bumps(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    """n 300-3000 values of one noise law (unit variance) whose level moves by 0.5-1.5 sd for
    a tenth to a third of the series, once or twice, and comes back."""
    n = int(rng.integers(300, 3001))
    law = list(NOISES)[int(rng.integers(len(NOISES)))]
    level = np.zeros(n)
    cuts: list[int] = []
    for _ in range(int(rng.integers(1, 3))):
        width = int(rng.integers(n // 10, n // 3))
        start = int(rng.integers(n // 10, n - width - n // 10))
        if any(start - 20 <= c <= start + width + 20 for c in cuts):
            continue
        level[start : start + width] += rng.choice([-1.0, 1.0]) * rng.uniform(0.5, 1.5)
        cuts += [start, start + width]
    return NOISES[law](rng, n) + level, sorted(cuts)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200)
    args = parser.parse_args()
    print("| series | pass | cover | F1 | reported / true changes | false reports |")
    print("|---|---|--:|--:|--:|--:|")
    settings = {
        "without": vollan.DEFAULT_CONFIG.without("level"),
        "with, about two parts": vollan.DEFAULT_CONFIG.replace("level", bumps=False),
        "with": vollan.DEFAULT_CONFIG,
    }
    for title, make, seed in (
        ("small shifts", small_shifts, 3031),
        ("AR(1) with shifts", ar_shifts, 3037),
        ("bumps of level", bumps, 3067),
        ("periodic regimes", lambda rng: periodic(rng)[::2], 3041),
        ("change-free: drift, walk, seasonal, AR(1)", change_free, 3049),
        ("counts, 0-3 changes of rate", counts, 3053),
        ("change-free counts", lambda rng: counts(rng, False), 3061),
    ):
        for label, config in settings.items():

            def detector(x: np.ndarray, config: vollan.DetectConfig = config) -> list[int]:
                return list(vollan.detect(x, config=config).change_points)

            row = protocol.fresh_row(make, seed, args.series, detector)
            print(f"| {title} | {label} | {row}", flush=True)


if __name__ == "__main__":
    main()
