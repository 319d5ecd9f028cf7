"""Critical values of the level statistic (vollan.pipeline.level): the 99 % quantile of its
value over change-free series, by length, for several kinds of noise, continuous and with
repeated values (0 where the stretch wanders or a line fits it better than two levels, as the
rule then reports nothing). ``CRITICAL`` is set above the largest quantile of each length.

    python bench/levels.py [--reps 1000] [--level 0.99] [--processes 2]
"""

from __future__ import annotations

import numpy as np
from _common import critical_tables
from spreads import _seasonal

from vollan._families import ar1
from vollan.pipeline import level as _level
from vollan.stats import cusum as _cusum
from vollan.stats.robust import clipped

LENGTHS = (150, 200, 255, 400, 600, 1000, 2000, 5000, 20_000)


def _drift(rng: np.random.Generator, n: int) -> np.ndarray:
    return np.asarray(np.linspace(0.0, rng.uniform(2.0, 10.0), n) + rng.normal(size=n))


NOISES = {
    "N(0,1)": lambda rng, n: rng.normal(size=n),
    "t(3)": lambda rng, n: rng.standard_t(3, size=n),
    "AR(1) 0.5": lambda rng, n: ar1(rng, n, 0.5),
    "AR(1) 0.7": lambda rng, n: ar1(rng, n, 0.7),
    "AR(1) 0.9": lambda rng, n: ar1(rng, n, 0.9),
    "random walk": lambda rng, n: np.cumsum(rng.normal(size=n)),
    "drift": _drift,
    "seasonal 12": lambda rng, n: _seasonal(rng, n, 12, 2.0),
    "seasonal 50": lambda rng, n: _seasonal(rng, n, 50, 3.0),
    # Repeated values (counts, rounded readings): the critical values were set without them;
    # they show that ties do not push the statistic beyond those values.
    "Poisson(0.02)": lambda rng, n: rng.poisson(0.02, n).astype(np.float64),
    "Poisson(0.05)": lambda rng, n: rng.poisson(0.05, n).astype(np.float64),
    "Poisson(0.3)": lambda rng, n: rng.poisson(0.3, n).astype(np.float64),
    "Poisson(0.5)": lambda rng, n: rng.poisson(0.5, n).astype(np.float64),
    "Poisson(1)": lambda rng, n: rng.poisson(1.0, n).astype(np.float64),
    "Poisson(2)": lambda rng, n: rng.poisson(2.0, n).astype(np.float64),
    "geometric(0.5)": lambda rng, n: rng.geometric(0.5, n).astype(np.float64),
    "neg. binomial(1, 0.3)": lambda rng, n: rng.negative_binomial(1, 0.3, n).astype(np.float64),
    "zero-inflated Poisson(4)": lambda rng, n: (
        (rng.random(n) < 0.3) * rng.poisson(4.0, n).astype(np.float64)
    ),
    "rounded N(0, 0.5²)": lambda rng, n: np.round(rng.normal(0.0, 0.5, n)),
}


def statistic(x: np.ndarray) -> float:
    """What the rule compares with the critical value at the top of a stretch (0 where it
    reports nothing whatever the critical value)."""
    u = clipped(x, _level.MEDIAN_VALUES)
    if not _level.judged(u):
        return 0.0
    split, z = _level.level_statistic(u)
    return z if _cusum.two_levels_fit_better(u, split) else 0.0


def cell(args: tuple[int, str, int, float]) -> tuple[int, str, float]:
    n, name, reps, level = args
    if n > 4000:
        reps = max(200, reps // 4)
    rng = np.random.default_rng([n, list(NOISES).index(name), 13])
    make = NOISES[name]
    values = [statistic(make(rng, n)) for _ in range(reps)]
    return n, name, float(np.quantile(values, level))


def main() -> None:
    critical_tables(__doc__.splitlines()[0], LENGTHS, list(NOISES), cell, _level.critical_level)


if __name__ == "__main__":
    main()
