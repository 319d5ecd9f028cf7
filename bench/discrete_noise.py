"""False alarms of vollan.detect on change-free discrete noise: counts, flags and rounded readings.

Such values repeat, so windows of a quiet stretch can hold exactly the same values. For each law,
the share of series with a reported change, which contrast reported it, and the share of the
series' most frequent value.

    python bench/discrete_noise.py [--series 60] [--n 600]
"""

from __future__ import annotations

import argparse
from collections import Counter
from collections.abc import Callable

import numpy as np

import vollan

Law = Callable[[np.random.Generator, int], np.ndarray]


def laws() -> dict[str, Law]:
    out: dict[str, Law] = {}
    for rate in (0.05, 0.5, 1, 2, 5, 10, 20, 50):
        out[f"Poisson({rate})"] = lambda rng, n, r=rate: rng.poisson(r, n)
    for step in (2.0, 1.0, 0.5, 0.25):
        out[f"normal rounded to {step} sd"] = lambda rng, n, q=step: (
            np.round(rng.normal(size=n) / q) * q
        )
    for p in (0.5, 0.1):
        out[f"Bernoulli({p})"] = lambda rng, n, q=p: rng.random(n) < q
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=60)
    parser.add_argument("--n", type=int, default=600)
    args = parser.parse_args()
    print("| law | share of the most frequent value | series with a report | by contrast |")
    print("|---|--:|--:|---|")
    for name, draw in laws().items():
        kinds: Counter[str] = Counter()
        shares = []
        reports = 0
        for seed in range(args.series):
            x = np.asarray(draw(np.random.default_rng(seed), args.n), dtype=np.float64)
            shares.append(np.unique(x, return_counts=True)[1].max() / len(x))
            found = vollan.detect(x)
            reported = {str(leader.contrast_kind) for leader in found.leaders if leader.reported}
            kinds.update(reported)
            reports += bool(reported)
        by = ", ".join(f"{k} {v}" for k, v in kinds.most_common()) or "-"
        print(f"| {name} | {np.mean(shares):.2f} | {reports} / {args.series} | {by} |")


if __name__ == "__main__":
    main()
