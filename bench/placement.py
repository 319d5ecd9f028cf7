"""Placement of one change by the likelihood of its kind (vollan.stats.split.place_change):
coverage of the interval at level 0.9, median and 90th percentile of |error|, on simulated
changes in Gaussian, t(5) and AR(1) phi = 0.3 noise (each scaled to unit variance), stretches
of 100-2,000 values with the change in their middle three fifths, the whole stretch searched.
Then the new user's case: 1,095 daily values, mean 1000 -> 1150 (sd 50) at 400 and sd 50 -> 150
at 800, the variance change placed in [400, 1095) searching [700, 900].

    python bench/placement.py [--replicates 200] [--seed 1]
"""

from __future__ import annotations

import argparse
import math
import time
import zlib
from collections.abc import Callable

import numpy as np

from vollan._families import FAMILIES, ar1
from vollan.stats.split import place_change

Noise = Callable[[np.random.Generator, int], np.ndarray]

NOISES: dict[str, Noise] = {
    "N(0,1)": lambda rng, n: rng.normal(size=n),
    "t(5)": lambda rng, n: rng.standard_t(5, size=n) / math.sqrt(5.0 / 3.0),
    "AR(1) 0.3": lambda rng, n: ar1(rng, n, 0.3) * math.sqrt(1.0 - 0.09),
}


def _uniform_like(z: np.ndarray) -> np.ndarray:
    """Uniform on [-sqrt 3, sqrt 3] (mean 0, variance 1), keeping the order of ``z``: a
    dependent noise stays dependent after the change."""
    ranks = np.argsort(np.argsort(z))
    return math.sqrt(3.0) * (2.0 * (ranks + 0.5) / len(z) - 1.0)


def _two_peaked(z: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """0.5 N(-0.95, 0.3125^2) + 0.5 N(0.95, 0.3125^2): mean 0, variance 1.0002."""
    return rng.choice([-0.95, 0.95], size=len(z)) + 0.3125 * z


# (kind, label, size): the changes drawn; "size" in the kind's own unit.
CHANGES: list[tuple[str, str, float]] = [
    ("mean", "shift 1.5 sd", 1.5),
    ("mean", "shift 2 sd", 2.0),
    ("mean", "shift 3 sd", 3.0),
    ("variance", "spread x2", 2.0),
    ("variance", "spread x3", 3.0),
    ("shape", "normal -> uniform", 0.0),
    ("shape", "normal -> two peaks", 1.0),
    ("trend", "bend 0.05 sd/step", 0.05),
    ("trend", "bend 0.1 sd/step", 0.1),
]


def draw(
    kind: str, size: float, noise: str, rng: np.random.Generator, n: int | None = None
) -> tuple[np.ndarray, int]:
    """One stretch of ``n`` (100-2,000) values with one change of ``kind``, and its index."""
    if n is None:
        n = int(rng.integers(100, 2001))
    c = int(rng.integers(n // 5, n - n // 5 + 1))
    e = NOISES[noise](rng, n)
    x = e.copy()
    if kind == "mean":
        x[c:] += size * rng.choice([-1.0, 1.0])
    elif kind == "variance":
        x[c:] *= size if rng.random() < 0.5 else 1.0 / size
    elif kind == "shape":
        x[c:] = _uniform_like(e[c:]) if size == 0.0 else _two_peaked(e[c:], rng)
    else:
        t = np.arange(n, dtype=np.float64)
        x += rng.uniform(-0.02, 0.02) * t + size * rng.choice([-1.0, 1.0]) * np.maximum(
            t - (c - 1), 0.0
        )
    return x, c


def measure(
    kind: str, size: float, noise: str, replicates: int, seed: int, level: float = 0.9
) -> tuple[float, float, float]:
    """Coverage, median |error| and 90th percentile |error| over ``replicates`` stretches."""
    rng = np.random.default_rng([seed, zlib.crc32(f"{kind} {size} {noise}".encode())])
    covered, errors = 0, []
    for _ in range(replicates):
        x, c = draw(kind, size, noise, rng)
        p = place_change(x, 0, len(x), 1, len(x) - 1, kind, level)
        covered += p.low <= c <= p.high
        errors.append(abs(p.index - c))
    return covered / replicates, float(np.median(errors)), float(np.quantile(errors, 0.9))


# Families of vollan.datasets.simulate whose changes are all of one kind.
FAMILY_KINDS = {
    "mean_steps": "mean",
    "t3_shifts": "mean",
    "ar1_shifts": "mean",
    "variance_change": "variance",
    "shape_bimodal": "shape",
    "shape_uniform": "shape",
}


def measure_family(family: str, draws: int, seed: int) -> tuple[int, float, float, float]:
    """Each true change placed in the stretch between its neighbours, the whole of it searched:
    the number of changes, coverage, median and 90th percentile |error|."""
    rng = np.random.default_rng([seed, zlib.crc32(family.encode())])
    kind = FAMILY_KINDS[family]
    covered, errors = 0, []
    for _ in range(draws):
        x, cps = FAMILIES[family][0](rng)
        bounds = [0, *cps, len(x)]
        for j, c in enumerate(cps, start=1):
            p = place_change(
                x, bounds[j - 1], bounds[j + 1], bounds[j - 1] + 1, bounds[j + 1] - 1, kind
            )
            covered += p.low <= c <= p.high
            errors.append(abs(p.index - c))
    return (
        len(errors),
        covered / len(errors),
        float(np.median(errors)),
        float(np.quantile(errors, 0.9)),
    )


def new_user(seed: int) -> int:
    rng = np.random.default_rng(seed)
    n = 1095
    x = np.where(np.arange(n) < 400, 1000.0, 1150.0) + rng.normal(size=n) * np.where(
        np.arange(n) < 800, 50.0, 150.0
    )
    return place_change(x, 400, n, 700, 900, "variance").index


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--replicates", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    began = time.perf_counter()
    print(f"{args.replicates} stretches a cell, level 0.9\n")
    print("| kind | change | noise | coverage | median abs error | 90th pct abs error |")
    print("|---|---|---|--:|--:|--:|")
    for kind, label, size in CHANGES:
        for noise in NOISES:
            cover, med, p90 = measure(kind, size, noise, args.replicates, args.seed)
            print(f"| {kind} | {label} | {noise} | {cover:.3f} | {med:g} | {p90:g} |")
    print(
        "\nThe families of vollan.datasets.simulate whose changes are of one kind, "
        f"{args.replicates // 2} series each:\n"
    )
    print("| family | kind | changes | coverage | median abs error | 90th pct abs error |")
    print("|---|---|--:|--:|--:|--:|")
    for family, kind in FAMILY_KINDS.items():
        count, cover, med, p90 = measure_family(family, args.replicates // 2, args.seed)
        print(f"| {family} | {kind} | {count} | {cover:.3f} | {med:g} | {p90:g} |")
    many = np.array([new_user(seed) for seed in range(1000)])
    print(
        f"\nNew user's variance change, seeds 0-999: within ±5 of 800 in "
        f"{np.mean(np.abs(many - 800) <= 5):.3f}, ±10 in {np.mean(np.abs(many - 800) <= 10):.3f}"
    )
    placed = [new_user(seed) for seed in range(30)]
    within = sum(abs(i - 800) <= 5 for i in placed)
    print(
        f"\nNew user's variance change: within ±5 of 800 in {within} of 30 seeds; "
        f"worst error {max(abs(i - 800) for i in placed)}; placed at {sorted(placed)}"
    )
    print(f"\n_{time.perf_counter() - began:.0f} s_")


if __name__ == "__main__":
    main()
