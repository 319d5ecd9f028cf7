"""False alarms and p-values of ``vollan.detect`` on change-free series of every kind.

    python bench/null_model.py [--reps 200] [--sizes 8 30 100 300 1000 3000 10000 100000]
                               [--processes 2] [--families ...]

Each cell draws ``--reps`` change-free series (fewer beyond 10^4 values, ``--long-reps``) of one
noise and length from ``default_rng([family index, n, i, 29])`` and runs ``vollan.detect`` at its
defaults. It reports the share of series with any reported change (the target: at most alpha,
5 %) and, for q = 0.01, 0.05 and 0.1, the share of series with a reported p-value below q (the
target: at most q). A single blip and drifts of every slope up to 10 noise sds a step are among
the noises.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import vollan


def _ar1(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    e = rng.normal(size=n + 200)
    x = np.empty_like(e)
    x[0] = e[0]
    for t in range(1, len(e)):
        x[t] = phi * x[t - 1] + e[t]
    return x[200:]


def _spikes(rng: np.random.Generator, n: int) -> np.ndarray:
    x = np.zeros(n)
    hit = rng.random(n) < 0.01
    x[hit] = rng.exponential(10.0, int(hit.sum())) + 5.0
    return x


def _blip(rng: np.random.Generator, n: int) -> np.ndarray:
    x = np.zeros(n)
    x[int(rng.integers(0, n))] = 1.0
    return x


FAMILIES: dict[str, Callable[[np.random.Generator, int], np.ndarray]] = {
    "N(0,1)": lambda rng, n: rng.normal(size=n),
    "t(3)": lambda rng, n: rng.standard_t(3, size=n),
    "AR(1) 0.5": lambda rng, n: _ar1(rng, n, 0.5),
    "AR(1) 0.7": lambda rng, n: _ar1(rng, n, 0.7),
    "Poisson(2)": lambda rng, n: rng.poisson(2.0, n).astype(float),
    "flags 5%": lambda rng, n: (rng.random(n) < 0.05).astype(float),
    "spikes 1% Exp(10)+5": _spikes,
    "seasonal": lambda rng, n: 2 * np.sin(2 * np.pi * np.arange(n) / 12) + rng.normal(size=n),
    "random walk": lambda rng, n: np.cumsum(rng.normal(size=n)),
    "drift 0.1 sd/step": lambda rng, n: 0.1 * np.arange(n) + rng.normal(size=n),
    "drift 10 sd/step": lambda rng, n: 10.0 * np.arange(n) + rng.normal(size=n),
    "blip": _blip,
}


def _one(job: tuple[int, str, int, int]) -> tuple[str, int, bool, float]:
    k, family, n, i = job
    rng = np.random.default_rng([k, n, i, 29])
    found = vollan.detect(FAMILIES[family](rng, n))
    p = min((c.p_value for c in found.changes), default=1.0)
    return family, n, bool(found.changes), p


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=200)
    parser.add_argument("--long-reps", type=int, default=40, help="series a cell beyond 10^4")
    parser.add_argument(
        "--sizes", type=int, nargs="+", default=[8, 30, 100, 300, 1000, 3000, 10000]
    )
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--families", nargs="+", default=list(FAMILIES))
    args = parser.parse_args()
    started = time.perf_counter()
    jobs = [
        (k, family, n, i)
        for k, family in enumerate(FAMILIES)
        if family in args.families
        for n in args.sizes
        for i in range(args.reps if n <= 10_000 else args.long_reps)
    ]
    cells: dict[tuple[str, int], list[tuple[bool, float]]] = {}
    with ProcessPoolExecutor(args.processes) as pool:
        for family, n, alarm, p in pool.map(_one, jobs, chunksize=8):
            cells.setdefault((family, n), []).append((alarm, p))
    print("| noise | " + " | ".join(f"n={n:,}" for n in args.sizes) + " |")
    print("|---|" + "--:|" * len(args.sizes))
    worst = {q: 0.0 for q in (0.01, 0.05, 0.1)}
    for family in args.families:
        texts = []
        for n in args.sizes:
            got = cells.get((family, n), [])
            alarms = sum(a for a, _ in got)
            shares = [np.mean([p < q for _, p in got]) for q in worst]
            for q, s in zip(worst, shares, strict=True):
                worst[q] = max(worst[q], float(s))
            texts.append(f"{alarms}/{len(got)} ({'/'.join(f'{100 * s:.1f}' for s in shares)})")
        print(f"| {family} | " + " | ".join(texts) + " |")
    print(
        "\n_Each cell: series with a reported change / series (the % of series with a reported "
        "p-value below 0.01 / 0.05 / 0.1). Worst shares: "
        + ", ".join(f"below {q}: {100 * s:.1f} %" for q, s in worst.items())
        + f"; took {time.perf_counter() - started:.0f} s._"
    )


if __name__ == "__main__":
    main()
