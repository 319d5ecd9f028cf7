"""Seeded families of simulated series with known change points.

Each family is a function ``rng -> (values, change points)``: every draw comes from the
generator it is given, in a fixed order, so that the same seed gives the same series bit for
bit. A change point is the index of the first value of the new regime. The quality benchmark
scores detectors on these families; :func:`vollan.datasets.simulate` hands them to users.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

Draw = tuple["NDArray[np.float64]", list[int]]
Generator = Callable[[np.random.Generator], Draw]


def _places(rng: np.random.Generator, n: int, k: int, gap: int) -> list[int]:
    """k change points in [gap, n - gap], at least gap apart."""
    if k == 0:
        return []
    while True:
        cps = sorted(int(c) for c in rng.choice(np.arange(gap, n - gap + 1), size=k, replace=False))
        if all(b - a >= gap for a, b in zip(cps[:-1], cps[1:], strict=True)):
            return cps


def _levels(
    rng: np.random.Generator, n: int, cps: list[int], low: float, high: float
) -> NDArray[np.float64]:
    """Piecewise-constant level: a jump of low..high (random sign) at each change point."""
    level = np.zeros(n)
    for c in cps:
        level[c:] += rng.uniform(low, high) * rng.choice([-1.0, 1.0])
    return level


def ar1(rng: np.random.Generator, n: int, phi: float) -> NDArray[np.float64]:
    """AR(1) with N(0, 1) innovations, started from its stationary distribution."""
    e = rng.normal(size=n)
    e[0] /= np.sqrt(1.0 - phi * phi)
    # x[t] = phi x[t-1] + e[t], one rounding per operation, in index order.
    x = np.empty(n)
    previous = 0.0
    for t, innovation in enumerate(e.tolist()):
        previous = previous * phi + innovation
        x[t] = previous
    return x


def t3(rng: np.random.Generator, n: int) -> NDArray[np.float64]:
    """Student t(3) scaled to unit variance."""
    values: NDArray[np.float64] = rng.standard_t(3, size=n) / np.sqrt(3.0)
    return values


def mean_steps(rng: np.random.Generator) -> Draw:
    n = int(rng.integers(200, 2001))
    k = int(rng.integers(1, 6))
    cps = _places(rng, n, k, max(20, n // (2 * (k + 1))))
    return _levels(rng, n, cps, 1.0, 4.0) + rng.normal(size=n), cps


def variance_change(rng: np.random.Generator) -> Draw:
    n = int(rng.integers(200, 1001))
    k = int(rng.integers(1, 3))
    cps = _places(rng, n, k, n // (2 * (k + 1)))
    sd = np.ones(n)
    for c in cps:
        ratio = rng.uniform(2.0, 4.0)
        sd[c:] *= ratio if rng.random() < 0.5 else 1.0 / ratio
    return rng.normal(size=n) * sd, cps


def mean_and_spread(rng: np.random.Generator) -> Draw:
    # Level and spread move together, as when the noise grows with the level.
    n = int(rng.integers(200, 1001))
    k = int(rng.integers(1, 3))
    cps = _places(rng, n, k, n // (2 * (k + 1)))
    level = np.zeros(n)
    sd = np.ones(n)
    for c in cps:
        ratio = rng.uniform(1.5, 3.0)
        up = rng.random() < 0.5
        level[c:] += rng.uniform(0.5, 2.0) * sd[c - 1] * (1.0 if up else -1.0)
        sd[c:] *= ratio if up else 1.0 / ratio
    return level + rng.normal(size=n) * sd, cps


def shift_and_spread_apart(rng: np.random.Generator) -> Draw:
    # A shift of level and, at another place, a change of spread (in either order), as when a
    # market moves to a new level and later turns calm or volatile.
    sizes = rng.integers(150, 401, size=3)
    first, second = int(sizes[0]), int(sizes[0] + sizes[1])
    n = int(sizes.sum())
    shift = rng.uniform(1.5, 3.0) * rng.choice([-1.0, 1.0])
    ratio = rng.uniform(2.0, 4.0)
    ratio = ratio if rng.random() < 0.5 else 1.0 / ratio
    at_shift, at_spread = (first, second) if rng.random() < 0.5 else (second, first)
    level = np.zeros(n)
    level[at_shift:] = shift
    sd = np.ones(n)
    sd[at_spread:] = ratio
    return level + rng.normal(size=n) * sd, [first, second]


def _shape(rng: np.random.Generator, other: Callable[[int], NDArray[np.float64]]) -> Draw:
    n = int(rng.integers(300, 1001))
    (c,) = _places(rng, n, 1, n // 4)
    x = rng.normal(size=n)
    x[c:] = other(n - c)
    return x, [c]


def shape_bimodal(rng: np.random.Generator) -> Draw:
    # Mixture of N(-0.95, 0.3125²) and N(0.95, 0.3125²): mean 0, variance 1.0002.
    return _shape(rng, lambda m: rng.choice([-0.95, 0.95], size=m) + 0.3125 * rng.normal(size=m))


def shape_uniform(rng: np.random.Generator) -> Draw:
    # Uniform on [-√3, √3]: mean 0, variance 1.
    return _shape(rng, lambda m: rng.uniform(-np.sqrt(3.0), np.sqrt(3.0), size=m))


def _seasonal(rng: np.random.Generator, shift: bool) -> Draw:
    period = int(rng.choice([7, 12, 24, 50]))
    n = int(rng.integers(max(300, 8 * period), 1501))
    amplitude = rng.uniform(1.0, 5.0)
    phase = rng.uniform(0, 2 * np.pi)
    x = amplitude * np.sin(2 * np.pi * np.arange(n) / period + phase) + rng.normal(size=n)
    cps = _places(rng, n, 1, n // 4) if shift else []
    return x + _levels(rng, n, cps, 2.0, 4.0), cps


def seasonal(rng: np.random.Generator) -> Draw:
    return _seasonal(rng, False)


def seasonal_shift(rng: np.random.Generator) -> Draw:
    return _seasonal(rng, True)


def _ar_family(rng: np.random.Generator, shifts: bool) -> Draw:
    n = int(rng.integers(300, 1501))
    phi = rng.uniform(0.3, 0.7)
    k = int(rng.integers(1, 4)) if shifts else 0
    cps = _places(rng, n, k, n // (2 * (k + 1))) if k else []
    # Shift sizes in units of the process's standard deviation 1 / sqrt(1 - phi²).
    scale = 1.0 / np.sqrt(1.0 - phi * phi)
    return ar1(rng, n, phi) + scale * _levels(rng, n, cps, 1.0, 4.0), cps


def ar1_noise(rng: np.random.Generator) -> Draw:
    return _ar_family(rng, False)


def ar1_shifts(rng: np.random.Generator) -> Draw:
    return _ar_family(rng, True)


def _outliers(rng: np.random.Generator, shift: bool) -> Draw:
    n = int(rng.integers(200, 1001))
    x = rng.normal(size=n)
    cps = _places(rng, n, 1, n // 4) if shift else []
    x += _levels(rng, n, cps, 2.0, 4.0)
    k = int(rng.integers(1, 6))
    where = rng.choice(n, size=k, replace=False)
    x[where] += rng.uniform(8.0, 50.0, size=k) * rng.choice([-1.0, 1.0], size=k)
    return x, cps  # the outliers are not change points


def outliers(rng: np.random.Generator) -> Draw:
    return _outliers(rng, False)


def outliers_shift(rng: np.random.Generator) -> Draw:
    return _outliers(rng, True)


def drift(rng: np.random.Generator) -> Draw:
    n = int(rng.integers(200, 2001))
    rise = rng.uniform(2.0, 10.0) * rng.choice([-1.0, 1.0])
    return np.linspace(0.0, rise, n) + rng.normal(size=n), []


def random_walk(rng: np.random.Generator) -> Draw:
    n = int(rng.integers(200, 1001))
    return np.cumsum(rng.normal(size=n)), []


def heavy_tails(rng: np.random.Generator) -> Draw:
    n = int(rng.integers(200, 1501))
    return t3(rng, n), []


def heavy_tails_shifts(rng: np.random.Generator) -> Draw:
    n = int(rng.integers(200, 1501))
    k = int(rng.integers(1, 4))
    cps = _places(rng, n, k, n // (2 * (k + 1)))
    return t3(rng, n) + _levels(rng, n, cps, 1.0, 4.0), cps


def short(rng: np.random.Generator) -> Draw:
    n = int(rng.integers(8, 51))
    return rng.normal(size=n), []


def short_shift(rng: np.random.Generator) -> Draw:
    n = int(rng.integers(8, 51))
    c = int(rng.integers(n // 4, n - n // 4 + 1))
    return rng.normal(size=n) + _levels(rng, n, [c], 2.0, 5.0), [c]


def _wave(rng: np.random.Generator, n: int, period: float) -> NDArray[np.float64]:
    """One of four wave forms of unit amplitude, at a random phase."""
    phase = (np.arange(n) / period + rng.uniform(0.0, 1.0)) % 1.0
    form = int(rng.integers(0, 4))
    if form == 0:
        return np.sin(2.0 * np.pi * phase)
    if form == 1:  # square
        return np.where(phase < 0.5, 1.0, -1.0)
    if form == 2:  # sawtooth
        return 2.0 * phase - 1.0
    return 1.0 - 4.0 * np.abs(phase - 0.5)  # triangle


def periodic_regimes(rng: np.random.Generator) -> Draw:
    # Periodic signals (sensors, motion, heart beats) whose regime changes: each segment draws
    # its wave form, amplitude and period anew.
    n = int(rng.integers(1000, 3001))
    period = rng.uniform(10.0, 60.0)
    k = int(rng.integers(1, 4))
    cps = _places(rng, n, k, n // (2 * (k + 1)))
    x = np.empty(n)
    for a, b in zip([0, *cps], [*cps, n], strict=True):
        x[a:b] = rng.uniform(1.0, 3.0) * _wave(rng, b - a, period * rng.uniform(0.7, 1.4))
    return x + 0.3 * rng.normal(size=n), cps


def _counts(rng: np.random.Generator, changes: bool) -> Draw:
    # Poisson counts: the spread follows the level, as in most count data.
    n = int(rng.integers(200, 1001))
    k = int(rng.integers(1, 4)) if changes else 0
    cps = _places(rng, n, k, n // (2 * (k + 1))) if k else []
    rate = np.full(n, rng.uniform(2.0, 20.0))
    for c in cps:
        factor = rng.uniform(1.5, 3.0)
        rate[c:] *= factor if rng.random() < 0.5 else 1.0 / factor
    return rng.poisson(rate).astype(np.float64), cps


def counts(rng: np.random.Generator) -> Draw:
    return _counts(rng, False)


def counts_changes(rng: np.random.Generator) -> Draw:
    return _counts(rng, True)


def regular_steps(n: int, every: int = 500) -> Generator:
    """n values with a level jump of 1..4 (random sign) every ``every`` values."""

    def make(rng: np.random.Generator) -> Draw:
        cps = list(range(every, n, every))
        return _levels(rng, n, cps, 1.0, 4.0) + rng.normal(size=n), cps

    return make


# Name -> (generator, one line saying what it draws), in the benchmark tables' order.
FAMILIES: dict[str, tuple[Generator, str]] = {
    "mean_steps": (mean_steps, "n 200-2000, 1-5 jumps of 1-4 sd, N(0,1) noise"),
    "variance_change": (variance_change, "n 200-1000, 1-2 changes of sd by a factor 2-4"),
    "mean_and_spread": (
        mean_and_spread,
        "n 200-1000, 1-2 shifts of 0.5-2 sd with the sd up (or down) by a factor 1.5-3",
    ),
    "shift_and_spread_apart": (
        shift_and_spread_apart,
        "n 450-1200, a shift of 1.5-3 sd and elsewhere a change of sd by a factor 2-4",
    ),
    "shape_bimodal": (shape_bimodal, "N(0,1) to 0.5 N(±0.95, 0.3125²), same mean and var"),
    "shape_uniform": (shape_uniform, "N(0,1) to U(-√3, √3), same mean and variance"),
    "seasonal": (seasonal, "period 7/12/24/50, amplitude 1-5 sd, no change"),
    "seasonal_shift": (seasonal_shift, "as seasonal, one level shift of 2-4 sd"),
    "ar1": (ar1_noise, "phi 0.3-0.7, stationary, no change"),
    "ar1_shifts": (ar1_shifts, "phi 0.3-0.7, 1-3 shifts of 1-4 process sd"),
    "outliers": (outliers, "1-5 single values at 8-50 sd, no change"),
    "outliers_shift": (outliers_shift, "as outliers, one shift of 2-4 sd"),
    "drift": (drift, "linear trend rising 2-10 sd over the series, no change"),
    "random_walk": (random_walk, "Gaussian random walk, n 200-1000, no change"),
    "t3": (heavy_tails, "Student t(3) scaled to unit variance, no change"),
    "t3_shifts": (heavy_tails_shifts, "t(3) noise, 1-3 shifts of 1-4 sd"),
    "short": (short, "N(0,1), n 8-50, no change"),
    "short_shift": (short_shift, "n 8-50, one shift of 2-5 sd in the middle half"),
    "periodic_regimes": (
        periodic_regimes,
        "n 1000-3000, 1-3 changes of wave form, amplitude 1-3 and period (10-60, ×0.7-1.4)",
    ),
    "counts": (counts, "Poisson counts, n 200-1000, rate 2-20, no change"),
    "counts_changes": (counts_changes, "as counts, 1-3 changes of the rate by a factor 1.5-3"),
}

# Change-free noise of a given length, for false-alarm rates.
NOISE: dict[str, Callable[[np.random.Generator, int], NDArray[np.float64]]] = {
    "N(0,1)": lambda rng, n: rng.normal(size=n),
    "t(3)": lambda rng, n: rng.standard_t(3, size=n),
    "AR(1) 0.5": lambda rng, n: ar1(rng, n, 0.5),
    # Discrete values: windows of a quiet stretch can hold exactly the same values.
    "Poisson(0.5)": lambda rng, n: rng.poisson(0.5, size=n).astype(np.float64),
    "Bernoulli(0.5)": lambda rng, n: (rng.random(n) < 0.5).astype(np.float64),
}


@dataclass(frozen=True)
class Simulated:
    """A simulated series and its true change points.

    Attributes
    ----------
    family : str
        The family it was drawn from (see :func:`simulate`).
    values : numpy.ndarray
        The series, float64.
    change_points : tuple of int
        The true change points: the index of the first value of each new regime.
    """

    family: str
    values: NDArray[np.float64] = field(repr=False, compare=False)
    change_points: tuple[int, ...]

    def breakpoints(self) -> list[int]:
        """The change points followed by the length of the series (ruptures' convention).

        Returns
        -------
        list of int
            ``[*change_points, len(values)]``.
        """
        return [*self.change_points, len(self.values)]


def family_names() -> dict[str, str]:
    """The families that :func:`simulate` draws from, each with what it draws.

    Returns
    -------
    dict of str to str
        Family name -> a one-line description, in a fixed order.

    Examples
    --------
    >>> family_names()["variance_change"]
    'n 200-1000, 1-2 changes of sd by a factor 2-4'
    """
    return {name: text for name, (_, text) in FAMILIES.items()}


def simulate(
    family: str = "mean_steps",
    seed: int | Sequence[int] | np.random.Generator | None = None,
) -> Simulated:
    """Draw a series with known change points from one of the seeded families.

    These are the families on which the quality benchmark scores detectors: piecewise-constant
    levels ("mean_steps"), changes of spread ("variance_change"), level and spread moving
    together or apart ("mean_and_spread", "shift_and_spread_apart"), changes of shape with the
    same mean and variance ("shape_bimodal", "shape_uniform"), seasonal series with and
    without a level shift, AR(1) noise with and without shifts, isolated outliers with and
    without a shift, a drift, a random walk, Student t(3) noise with and without shifts, very
    short series, periodic signals whose wave changes ("periodic_regimes"), and Poisson counts
    with and without changes of rate. Each family draws the length of the series and the number
    and places of its changes as well.

    Parameters
    ----------
    family : str, default "mean_steps"
        One of :func:`family_names`.
    seed : int, sequence of int or numpy.random.Generator, optional
        Seed of ``numpy.random.default_rng``, or a generator to draw from. The same seed gives
        the same series bit for bit. The benchmark's series number ``i`` of a family uses the
        seed ``[20261207, zlib.crc32(table name), i]`` with the table names of
        ``bench/corpus.py``.

    Returns
    -------
    Simulated
        The values and their true change points.

    Raises
    ------
    ValueError
        For an unknown family; the message lists the known ones.

    Examples
    --------
    >>> from vollan.datasets import simulate
    >>> drawn = simulate("mean_steps", seed=1)
    >>> len(drawn.values), drawn.change_points
    (1052, (158, 726, 881))
    """
    try:
        make = FAMILIES[family][0]
    except (KeyError, TypeError):
        raise ValueError(
            f"no simulated family {family!r}; choose one of {', '.join(FAMILIES)}"
        ) from None
    rng = seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)
    values, truth = make(rng)
    return Simulated(family, np.asarray(values, dtype=np.float64), tuple(int(c) for c in truth))
