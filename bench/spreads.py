"""Critical values of the spread statistic (vollan.pipeline.spread): the 99 % quantile of its value
over change-free series, by length, for several kinds of noise. ``CRITICAL`` is
set above the largest quantile of each length.

    python bench/spreads.py [--reps 1000] [--level 0.99] [--processes 2]
"""

from __future__ import annotations

import math

import numpy as np
from _common import critical_tables

from vollan._families import ar1
from vollan.pipeline import spread as _spread
from vollan.stats.cusum import shape_statistic

LENGTHS = (255, 300, 400, 600, 1000, 2000, 5000, 20_000)


def _seasonal(rng: np.random.Generator, n: int, period: int, amplitude: float) -> np.ndarray:
    phase = rng.uniform(0, 2 * math.pi)
    wave = amplitude * np.sin(2 * math.pi * np.arange(n) / period + phase)
    return np.asarray(wave + rng.normal(size=n))


NOISES = {
    "N(0,1)": lambda rng, n: rng.normal(size=n),
    "t(3)": lambda rng, n: rng.standard_t(3, size=n),
    "AR(1) 0.5": lambda rng, n: ar1(rng, n, 0.5),
    "AR(1) 0.9": lambda rng, n: ar1(rng, n, 0.9),
    "random walk": lambda rng, n: np.cumsum(rng.normal(size=n)),
    "seasonal 12": lambda rng, n: _seasonal(rng, n, 12, 2.0),
    "seasonal 50": lambda rng, n: _seasonal(rng, n, 50, 3.0),
}


def cell(args: tuple[int, str, int, float]) -> tuple[int, str, float]:
    n, name, reps, level = args
    if n > 4000:
        reps = max(200, reps // 4)
    rng = np.random.default_rng([n, list(NOISES).index(name), 11])
    make = NOISES[name]
    values = [
        shape_statistic(_spread.spread_scores(make(rng, n)), bump=True)[1] for _ in range(reps)
    ]
    return n, name, float(np.quantile(values, level))


def main() -> None:
    critical_tables(__doc__.splitlines()[0], LENGTHS, list(NOISES), cell, _spread.critical_spread)


if __name__ == "__main__":
    main()
