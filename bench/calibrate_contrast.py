"""Regenerate the critical-value curves of the vote's location contrast.

The largest robust z-score over all boundaries of a change-free Gaussian white-noise series,
each z-score taken as a leader's is (against every h/8-th boundary), is simulated for a grid of
lengths n and widths h; ``a + b ln m + c ln h + d / m`` (m = (n - 2h + 1) / h) is fitted by least
squares to its 90 %, 95 % and 97.5 % quantiles and raised by its largest shortfall, so that each
curve lies at or above every simulated quantile of its level. The coefficients it prints are
those of ``_CRITICAL`` in ``vollan/pipeline/contrast.py``.

    python bench/calibrate_contrast.py [--reps 300] [--seed 1]
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

from vollan.pipeline.contrast import contrasts_at
from vollan.stats.median import median
from vollan.stats.robust import resolution, robust_spread

LEVELS = (0.9, 0.95, 0.975)
GRID_N = (100, 300, 1000, 3000, 10000)
GRID_H = (8, 10, 16, 25, 50, 100, 200)


def largest_z(x: np.ndarray, h: int, kind: str) -> float:
    bounds = np.arange(h, len(x) - h + 1, dtype=np.intp)
    c = contrasts_at(x, h, bounds, kind, resolution(x))
    ref = c[:: max(1, h // 8)]
    centre = median(ref)
    return float((c.max() - centre) / robust_spread(ref, centre))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--kind", default="location")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    rows = []
    started = time.perf_counter()
    for n in GRID_N:
        for h in GRID_H:
            if n < 6 * h - 1:
                continue
            z = np.array([largest_z(rng.normal(size=n), h, args.kind) for _ in range(args.reps)])
            q = [float(np.quantile(z, level)) for level in LEVELS]
            rows.append((n, h, q))
            cells = " ".join(f"q{lv}={v:.3f}" for lv, v in zip(LEVELS, q, strict=True))
            print(f"n={n:6d} h={h:4d} {cells}", flush=True)
    print(f"# {time.perf_counter() - started:.0f} s")
    for k, level in enumerate(LEVELS):
        design, target = [], []
        for n, h, q in rows:
            m = (n - 2 * h + 1) / h
            design.append([1.0, math.log(m), math.log(h), 1.0 / m])
            target.append(q[k])
        a = np.array(design)
        y = np.array(target)
        coef, *_ = np.linalg.lstsq(a, y, rcond=None)
        shortfall = float(np.max(y - a @ coef))
        coef[0] += max(shortfall, 0.0)
        print(f"{level}: ({', '.join(f'{v:.3f}' for v in coef)})  raised by {shortfall:.3f}")


if __name__ == "__main__":
    main()
