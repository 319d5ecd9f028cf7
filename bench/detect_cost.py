"""Time of vollan.detect against one scan_detector call with the same window sizes and the
engine's default replicates (300), on a change-free and a change-rich series of each length.

    python bench/detect_cost.py [--sizes 1e3 1e4 1e5 1e6] [--repeats 3]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import vollan


def best(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="*", type=float, default=[1e3, 1e4, 1e5, 1e6])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print("| n | series | detect (s) | scan_detector, 300 replicates (s) | ratio | replicates |")
    print("|--:|---|--:|--:|--:|--:|")
    for size in args.sizes:
        n = int(size)
        jumps = np.repeat(rng.uniform(1, 4, n // 500 + 1).cumsum(), 500)[:n]
        cases = (("no change", rng.normal(size=n)), ("jump every 500", jumps + rng.normal(size=n)))
        for name, x in cases:
            found = vollan.detect(x)
            sizes = list(found.window_sizes)
            repeats = 1 if n >= 10**6 else args.repeats
            t_detect = best(lambda x=x: vollan.detect(x), repeats)
            t_scan = best(
                lambda x=x, sizes=sizes: vollan.scan_detector(
                    x, window_sizes=sizes, alpha_q=0.05, change_type="distribution"
                ),
                repeats,
            )
            print(
                f"| {n:,} | {name} | {t_detect:.3f} | {t_scan:.3f} | {t_detect / t_scan:.2f} "
                f"| {found.n_perm} |",
                flush=True,
            )


if __name__ == "__main__":
    main()
