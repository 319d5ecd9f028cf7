"""Planted shifts in short series: how often ``vollan.detect`` finds them at its defaults.

    python bench/short_power.py [--series 200] [--seed 31] [--sizes 8 12 20 30 46 100]

Each cell draws ``--series`` series of n values from ``default_rng([seed, n, noise, i])``: a
shift of 3 noise sds (the marginal sd for AR(1) noise) before value n // 2 of Gaussian white
noise or of Gaussian AR(1) 0.5 noise. A shift counts as found when a reported change lies
within max(2, n // 10) values of it; the cell also counts series with a report elsewhere.
"""

from __future__ import annotations

import argparse
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import vollan


def _noise(rng: np.random.Generator, kind: str, n: int) -> np.ndarray:
    if kind == "N(0,1)":
        return rng.normal(size=n)
    e = rng.normal(size=n + 200) * np.sqrt(1.0 - 0.25)
    x = np.empty_like(e)
    x[0] = rng.normal()
    for t in range(1, len(e)):
        x[t] = 0.5 * x[t - 1] + e[t]
    return x[200:]


NOISES = ("N(0,1)", "AR(1) 0.5")


def _one(job: tuple[int, int, int, int]) -> tuple[int, int, bool, bool]:
    seed, n, k, i = job
    rng = np.random.default_rng([seed, n, k, i])
    x = _noise(rng, NOISES[k], n)
    c = n // 2
    x[c:] += 3.0
    found = vollan.detect(x).change_points
    near = any(abs(p - c) <= max(2, n // 10) for p in found)
    return n, k, near, any(abs(p - c) > max(2, n // 10) for p in found)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200)
    parser.add_argument("--seed", type=int, default=31)
    parser.add_argument("--sizes", type=int, nargs="+", default=[8, 12, 20, 30, 46, 100])
    parser.add_argument("--processes", type=int, default=2)
    args = parser.parse_args()
    started = time.perf_counter()
    jobs = [
        (args.seed, n, k, i)
        for n in args.sizes
        for k in range(len(NOISES))
        for i in range(args.series)
    ]
    cells: dict[tuple[int, int], list[tuple[bool, bool]]] = {}
    with ProcessPoolExecutor(args.processes) as pool:
        for n, k, near, other in pool.map(_one, jobs, chunksize=8):
            cells.setdefault((n, k), []).append((near, other))
    print("| noise, 3-sd shift in the middle | " + " | ".join(f"n={n}" for n in args.sizes) + " |")
    print("|---|" + "--:|" * len(args.sizes))
    for k, noise in enumerate(NOISES):
        texts = []
        for n in args.sizes:
            got = cells[(n, k)]
            texts.append(f"{sum(a for a, _ in got)}/{len(got)} ({sum(b for _, b in got)})")
        print(f"| {noise} | " + " | ".join(texts) + " |")
    print(
        "\n_Each cell: series whose shift was found / series (series with a report elsewhere); "
        f"took {time.perf_counter() - started:.0f} s._"
    )


if __name__ == "__main__":
    main()
