"""Time of vollan.detect against one scan_detector call with the same window sizes and the
engine's default replicates (300), on a change-free and a change-rich series of each length.

    python bench/detect_cost.py [--sizes 1e3 1e4 1e5 1e6] [--repeats 9]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import vollan


def interleaved(first, second, repeats: int) -> tuple[float, float]:
    """The least time of each of two calls, run in turn ``repeats`` times: this machine's
    speed drifts by tens of percent over seconds, and alternating keeps the two comparable."""
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(repeats):
        for fn, out in ((first, times[0]), (second, times[1])):
            started = time.perf_counter()
            fn()
            out.append(time.perf_counter() - started)
    return min(times[0]), min(times[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="*", type=float, default=[1e3, 1e4, 1e5, 1e6])
    parser.add_argument("--repeats", type=int, default=9)
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
            # The change-rich series at 10^6 takes a minute a call.
            repeats = 1 if n >= 10**6 and name != "no change" else args.repeats
            t_detect, t_scan = interleaved(
                lambda x=x: vollan.detect(x),
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
