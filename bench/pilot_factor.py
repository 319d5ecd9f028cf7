"""How far a window's full threshold lies above its pilot's, on change-free series: the
measurement behind the pilot factor of ``detect``'s scan (``vollan.pipeline.windows.PILOT_FACTOR``).

A threshold is the ``1 - alpha / K`` quantile of ``n_perm`` bootstrap replicates; its pilot is
the same quantile of the first ``ceil(n_perm / 4)`` (replicates are seeded by index, so those are
the full run's first quarter). The pilot flags a position alone when its statistic exceeds
``c`` times the pilot's threshold, which differs from the full run's decision only if the full
threshold exceeds ``c`` times the pilot's: so ``c`` is read off the upper tail of
``T_full / T_pilot``.

For each window size of ``detect``'s scan of ``--n`` values, and each change-free noise (Gaussian,
Student t with 3 degrees of freedom, AR(1) with coefficient 0.5, a random walk's increments
being the Gaussian case), fresh series of 4w values are scanned at the level ``detect`` uses at
``--n`` (``alpha_q`` scaled so that ``alpha_q / 3`` is ``alpha / K``), and the thresholds of the
first position with ``n_perm`` and with its first quarter compared.
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np
from _common import command_line, table

import _vollan_native as native
from vollan.pipeline.windows import DEFAULT_ALPHA, default_n_perm, default_window_sizes


def noise(kind: str, n: int, rng: np.random.Generator) -> np.ndarray:
    if kind == "gauss":
        return rng.standard_normal(n)
    if kind == "t3":
        return rng.standard_t(3, n)
    e = rng.standard_normal(n + 100)
    out = np.empty_like(e)
    out[0] = e[0]
    for i in range(1, len(e)):
        out[i] = 0.5 * out[i - 1] + e[i]
    return out[100:]


def ratios(w: int, n: int, kind: str, reps: int, rng: np.random.Generator) -> np.ndarray:
    n_perm = default_n_perm(n, 10, DEFAULT_ALPHA)
    m = math.ceil(n_perm / 4)
    k_long = n // w - 1
    alpha_q = DEFAULT_ALPHA * 3 / k_long
    out = np.empty(reps)
    for r in range(reps):
        x = noise(kind, 4 * w, rng)
        seed = int(rng.integers(2**63))
        full = native.scan_single_window(x, w, n_perm=n_perm, alpha_q=alpha_q, seed=seed)
        pilot = native.scan_single_window(x, w, n_perm=m, alpha_q=alpha_q, seed=seed)
        out[r] = (
            full["tapered_block_bootstrap_threshold"][0]
            / pilot["tapered_block_bootstrap_threshold"][0]
        )
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--reps", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=7301)
    parser.add_argument("--kinds", nargs="+", default=["gauss", "t3", "ar"])
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    probs = [0.5, 0.9, 0.99, 0.999]
    rows = []
    pooled = []
    start = time.perf_counter()
    for kind in args.kinds:
        for w in default_window_sizes(args.n):
            r = ratios(w, args.n, kind, args.reps, rng)
            pooled.append(r)
            q = np.quantile(r, probs)
            rows.append(
                [kind, w, *(f"{v:.3f}" for v in q), f"{r.max():.3f}"]
                + [f"{np.mean(r > c):.4f}" for c in (1.5, 2.0)]
            )
    allr = np.concatenate(pooled)
    print(f"`{command_line()}` ({time.perf_counter() - start:.0f} s)\n")
    print(
        f"n = {args.n:,}, n_perm = {default_n_perm(args.n, 10, DEFAULT_ALPHA)}, "
        f"{args.reps} series per row\n"
    )
    header = ["noise", "window", "median", "q90", "q99", "q99.9", "max", "> 1.5", "> 2.0"]
    print(table(header, rows))
    q = np.quantile(allr, probs)
    print(
        f"\npooled ({len(allr)} thresholds): "
        + ", ".join(f"q{100 * p:g} {v:.3f}" for p, v in zip(probs, q, strict=True))
        + f", max {allr.max():.3f}; share above 1.5: {np.mean(allr > 1.5):.5f}, "
        f"above 2: {np.mean(allr > 2.0):.5f}"
    )


if __name__ == "__main__":
    main()
