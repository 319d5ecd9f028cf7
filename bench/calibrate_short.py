"""Regenerate the critical values of the short-series test: the largest t statistic of a step
over a line.

For each length n the largest |t| of the step coefficient d in ``y = a + b t + d [t >= k]``, over
every split k with at least two values on each side, is simulated on change-free stationary
Gaussian AR(1) series with coefficient 0.5 (``--reps`` series a length); its 95 % and 97.5 %
quantiles are printed, with the least-squares fit ``c0 + c1 / n + c2 / n^2`` of each raised by
its largest shortfall. Those are ``_CRITICAL`` in ``vollan/pipeline/short.py``.

    python bench/calibrate_short.py [--reps 20000] [--seed 5]
"""

from __future__ import annotations

import argparse

import numpy as np

from vollan.pipeline.short import step_over_line_statistics

LENGTHS = (8, 9, 10, 12, 14, 17, 20, 24, 28, 33, 39, 46, 55, 65)


def ar1(rng: np.random.Generator, reps: int, n: int, phi: float) -> np.ndarray:
    e = rng.normal(size=(reps, n))
    x = np.empty_like(e)
    x[:, 0] = e[:, 0] / np.sqrt(1 - phi * phi)
    for t in range(1, n):
        x[:, t] = phi * x[:, t - 1] + e[:, t]
    return x


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=5)
    parser.add_argument("--phi", type=float, default=0.7)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    rows = []
    for n in LENGTHS:
        largest = step_over_line_statistics(ar1(rng, args.reps, n, args.phi)).max(axis=1)
        q = np.quantile(largest, [0.95, 0.975])
        rows.append((n, q))
        print(f"n={n:3d} q95={q[0]:.3f} q975={q[1]:.3f}", flush=True)
    n = np.array([r[0] for r in rows], dtype=float)
    design = np.stack([np.ones_like(n), 1 / n, 1 / n**2], axis=1)
    for j, level in enumerate((0.95, 0.975)):
        y = np.array([r[1][j] for r in rows])
        coef, *_ = np.linalg.lstsq(design, y, rcond=None)
        coef[0] += max(float(np.max(y - design @ coef)), 0.0)
        print(f"{level}: ({', '.join(f'{c:.3f}' for c in coef)})")


if __name__ == "__main__":
    main()
