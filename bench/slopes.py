"""Critical values of the slope contrast (vollan.pipeline.slope): the 99 % quantile of the largest
z-score over change-free series, by length n and width h, for five kinds of noise, and the
curve a + b·ln(m) + c·ln(h) + d/m (m = (n - 2h + 1)/h) fitted to the largest quantile of each
cell and raised to lie above all of them.

    python bench/slopes.py [--reps 1000] [--level 0.99] [--processes 2]
"""

from __future__ import annotations

import argparse
import math
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import vollan
from vollan.stats import slopes as _slopes

WIDTHS = (8, 10, 16, 32, 64)
# Boundaries per width; n = m·h + 2h - 1.
PER_WIDTH = (4, 6, 10, 20, 50, 100, 300, 1000, 3000)
MOST_VALUES = 40_000


def _ar(rng: np.random.Generator, reps: int, n: int, phi: float) -> np.ndarray:
    e = rng.normal(size=(reps, n))
    out = np.empty((reps, n))
    out[:, 0] = e[:, 0] / math.sqrt(1.0 - phi * phi)
    for i in range(1, n):
        out[:, i] = phi * out[:, i - 1] + e[:, i]
    return out


NOISES = {
    "N(0,1)": lambda rng, reps, n: rng.normal(size=(reps, n)),
    "t(3)": lambda rng, reps, n: rng.standard_t(3, size=(reps, n)),
    "AR(1) 0.5": lambda rng, reps, n: _ar(rng, reps, n, 0.5),
    "AR(1) 0.9": lambda rng, reps, n: _ar(rng, reps, n, 0.9),
    "random walk": lambda rng, reps, n: np.cumsum(rng.normal(size=(reps, n)), axis=1),
}


def cell(args: tuple[int, int, int, float, int]) -> tuple[int, int, dict[str, float]]:
    h, m, reps, level, local = args
    n = m * h + 2 * h - 1
    if n > MOST_VALUES // 4:
        reps = max(200, reps // 4)
    out = {}
    for k, (name, make) in enumerate(NOISES.items()):
        rng = np.random.default_rng([h, m, k])
        series = make(rng, reps, n)
        largest = [float(_slopes.slope_scores(x, h, local).max()) for x in series]
        out[name] = float(np.quantile(largest, level))
    return n, h, out


def fit(rows: list[tuple[int, int, dict[str, float]]]) -> tuple[float, ...]:
    design = []
    target = []
    for n, h, q in rows:
        m = (n - 2 * h + 1) / h
        design.append([1.0, math.log(m), math.log(h), 1.0 / m])
        target.append(max(q.values()))
    a = np.array(design)
    y = np.array(target)
    coef, *_ = np.linalg.lstsq(a, y, rcond=None)
    shortfall = float((y - a @ coef).max())
    coef[0] += max(shortfall, 0.0)
    return tuple(round(float(c) + (0.005 if i == 0 else 0.0), 3) for i, c in enumerate(coef))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=1000)
    parser.add_argument("--level", type=float, default=0.99)
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument(
        "--local-widths",
        type=int,
        default=vollan.DEFAULT_CONFIG.slope.local_widths,
        help="widths around a boundary for the local spread (0: the stretch's alone)",
    )
    args = parser.parse_args()
    jobs = [
        (h, m, args.reps, args.level, args.local_widths)
        for h in WIDTHS
        for m in PER_WIDTH
        if m * h + 2 * h - 1 <= MOST_VALUES
    ]
    with ProcessPoolExecutor(args.processes) as pool:
        rows = list(pool.map(cell, jobs))
    names = list(NOISES)
    print(
        f"{args.level:.1%} quantile of the largest z-score, {args.reps} series a cell "
        f"({max(200, args.reps // 4)} above {MOST_VALUES // 4:,} values), local spread over "
        f"{args.local_widths} widths\n"
    )
    print("| n | h | " + " | ".join(names) + " |")
    print("|--:|--:|" + "--:|" * len(names))
    for n, h, q in rows:
        print(f"| {n:,} | {h} | " + " | ".join(f"{q[k]:.2f}" for k in names) + " |")
    coef = fit(rows)
    print(f"\ncurve (a, b, c, d) = {coef}")
    worst = max(max(q.values()) - _curve(coef, n, h) for n, h, q in rows)
    print(f"largest quantile above the curve: {worst:+.3f}")


def _curve(coef: tuple[float, ...], n: int, h: int) -> float:
    a, b, c, d = coef
    m = (n - 2 * h + 1) / h
    return a + b * math.log(m) + c * math.log(h) + d / m


if __name__ == "__main__":
    main()
