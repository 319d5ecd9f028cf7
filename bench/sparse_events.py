"""Sparse events and counts: false alarms without change, and changes of rate found.

    python bench/sparse_events.py [--series 200] [--without] [--power-only]

Change-free flags (Bernoulli at rates 0.2 % to 50 %) and Poisson counts (rates 0.02 to 1) at
50 to 20,000 values: the share of series with any reported change. Then series with one change
of rate (and a few with several), 100 each: true changes found within 10 values, and other
reports. ``--without`` judges by the Gaussian critical values alone (the critical values from
the series' own values switched off), for the comparison. Seeds are new to every rule.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import vollan
from vollan.pipeline import permuted as _permuted

RATES = {"flags": (0.002, 0.01, 0.05, 0.1, 0.2, 0.5), "Poisson": (0.02, 0.05, 0.1, 0.3, 1.0)}
LENGTHS = (50, 100, 200, 500, 1000, 2000, 5000, 20_000)

Drawn = tuple[np.ndarray, list[int]]


def _flags(r: np.random.Generator, rates: list[float], cuts: list[int], n: int) -> Drawn:
    bounds = [0, *cuts, n]
    parts = [r.random(b - a) < p for a, b, p in zip(bounds[:-1], bounds[1:], rates, strict=True)]
    return np.concatenate(parts).astype(float), cuts


def _counts(r: np.random.Generator, rates: list[float], cuts: list[int], n: int) -> Drawn:
    bounds = [0, *cuts, n]
    parts = [r.poisson(p, b - a) for a, b, p in zip(bounds[:-1], bounds[1:], rates, strict=True)]
    return np.concatenate(parts).astype(float), cuts


def _random_cuts(r: np.random.Generator, n: int) -> list[int]:
    cuts, t = [], 0
    while True:
        t += int(r.integers(150, 400))
        if t >= n - 100:
            return cuts
        cuts.append(t)


POWER: dict[str, Callable[[np.random.Generator], Drawn]] = {
    "flags 0.2 → 0.8, 300 + 300": lambda r: _flags(r, [0.2, 0.8], [300], 600),
    "flags 0.3 → 0.6, 100 + 100": lambda r: _flags(r, [0.3, 0.6], [100], 200),
    "flags 0.05 → 0.3, 300 + 300": lambda r: _flags(r, [0.05, 0.3], [300], 600),
    "flags 0.01 → 0.1, 500 + 500": lambda r: _flags(r, [0.01, 0.1], [500], 1000),
    "Poisson 0.1 → 1, 300 + 300": lambda r: _counts(r, [0.1, 1.0], [300], 600),
    "Poisson 0.5 → 2, 200 + 200": lambda r: _counts(r, [0.5, 2.0], [200], 400),
    "Poisson 0.05 → 0.5, 1000 + 1000": lambda r: _counts(r, [0.05, 0.5], [1000], 2000),
    "Poisson 0.03 ↔ 0.3, segments of 150-400, 3000 values": lambda r: (
        lambda cuts: _counts(r, [(0.03, 0.3)[k % 2] for k in range(len(cuts) + 1)], cuts, 3000)
    )(_random_cuts(r, 3000)),
}


def _null_cell(job: tuple[str, float, int, int, bool]) -> tuple[str, float, int, int]:
    law, rate, n, series, without = job
    if without:
        _permuted.PERMUTED_UP_TO = 0
    reports = 0
    for i in range(series):
        r = np.random.default_rng([n, int(rate * 1000), i, 4242])
        x = r.random(n) < rate if law == "flags" else r.poisson(rate, n)
        reports += bool(vollan.detect(x.astype(float), workers=1).change_points)
    return law, rate, n, reports


def _power_row(job: tuple[str, bool]) -> tuple[str, int, int, int]:
    name, without = job
    if without:
        _permuted.PERMUTED_UP_TO = 0
    found = true = other = 0
    for s in range(100):
        x, cuts = POWER[name](np.random.default_rng([99, s]))
        reported = vollan.detect(x, workers=1).change_points
        found += sum(any(abs(c - t) <= 10 for c in reported) for t in cuts)
        other += sum(all(abs(c - t) > 10 for t in cuts) for c in reported)
        true += len(cuts)
    return name, found, true, other


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200, help="change-free series a cell")
    parser.add_argument("--without", action="store_true", help="Gaussian critical values only")
    parser.add_argument("--power-only", action="store_true")
    args = parser.parse_args()
    started = time.perf_counter()
    with ProcessPoolExecutor(2) as pool:
        if not args.power_only:
            jobs = [
                (law, rate, n, args.series, args.without)
                for law, rates in RATES.items()
                for rate in rates
                for n in LENGTHS
            ]
            cells: dict[tuple[str, float], dict[int, int]] = {}
            for law, rate, n, reports in pool.map(_null_cell, jobs):
                cells.setdefault((law, rate), {})[n] = reports
            print("| law | " + " | ".join(f"n={n:,}" for n in LENGTHS) + " |")
            print("|---|" + "--:|" * len(LENGTHS))
            for (law, rate), row in cells.items():
                shares = [
                    f"{row[n]}/{args.series} = {100 * row[n] / args.series:.1f}%" for n in LENGTHS
                ]
                print(f"| {law} {rate:g} | " + " | ".join(shares) + " |")
            print()
        print("| series (100 each) | true changes found within 10 | other reports |")
        print("|---|--:|--:|")
        for name, found, true, other in pool.map(_power_row, [(k, args.without) for k in POWER]):
            print(f"| {name} | {found} / {true} | {other} |")
    print(f"\n_took {time.perf_counter() - started:.0f} s_")


if __name__ == "__main__":
    main()
