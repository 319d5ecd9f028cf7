"""Soak test: a long stream of random valid and invalid calls, as a service would make them.

Prints the resident memory, the interpreter's allocated blocks and the number of threads at the
start (after a warm-up that creates the shared pool) and at the end, and fails when memory grew
by more than --max-growth-mb or a thread was left behind. Run through `make soak`.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import random
import sys
import time
from collections.abc import Callable
from typing import Any

import _vollan_native as native

Call = Callable[[], Any]
EXPECTED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError)


def rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def snapshot() -> str:
    gc.collect()
    return f"rss {rss_mb():.1f} MiB, {sys.getallocatedblocks()} blocks, {threads()} threads"


def random_series(rng: random.Random) -> list[float]:
    n = rng.choice([3, 20, 80, 250, 1200])
    shift = rng.randrange(n)
    return [rng.gauss(0.0, 1.0) + (rng.choice([0.0, 2.0]) if i > shift else 0.0) for i in range(n)]


def valid_call(rng: random.Random) -> Call:
    s = random_series(rng)
    pick = rng.randrange(7)
    if pick == 0:
        sizes = rng.choice([None, [rng.randint(4, 30) for _ in range(rng.randint(1, 6))]])
        kw: dict[str, Any] = {
            "window_sizes": sizes,
            "n_perm": rng.choice([0, 10, 64, 100]),
            "seed": rng.getrandbits(64),
            "workers": rng.choice([None, 0, 1, 2, 4, 16]),
            "change_type": rng.choice(["mean", "var", "distribution"]),
            "alpha_q": rng.choice([0.05, 1.0, 5.0]),
        }
        return lambda: native.scan_detector(s, **kw)
    if pick == 1:
        w = rng.randint(4, 40)
        n_perm = rng.choice([0, 20, 64, 150])
        return lambda: native.scan_single_window(s, w, n_perm=n_perm, center=rng.random() < 0.5)
    if pick == 2:
        return lambda: native.refine_cusum(tuple(s))
    if pick == 3:
        short = s[:300]
        return lambda: native.refine_wasserstein(short)
    if pick == 4:
        return lambda: native.swal_statistic(s[:300], rng.choice(["mean", "VAR", "Distribution"]))
    cut = rng.randint(1, len(s) - 1)
    fn = native.wasserstein_statistic if pick == 5 else native.ipm_statistic
    return lambda: fn(s[:cut], s[cut:])


def invalid_call(rng: random.Random) -> Call:
    s = random_series(rng)
    bad: list[Call] = [
        lambda: native.scan_detector(s, window_sizes=[]),
        lambda: native.scan_detector(s, window_sizes=[5, 0]),
        lambda: native.scan_detector(s, window_sizes=[2, 10], n_perm=10),
        lambda: native.scan_detector(s, backend="fork"),
        lambda: native.scan_detector(s, change_type="median"),
        lambda: native.scan_detector(s, n_perm=-1),
        lambda: native.scan_detector(s, bogus=1),
        lambda: native.scan_detector(s, n_perm=2**40, window_sizes=[10]),
        lambda: native.scan_single_window(s, 0),
        lambda: native.scan_single_window(s, 8, taper_ratio=9.0),
        lambda: native.scan_single_window(s + [math.nan], 8),
        lambda: native.scan_single_window(s, 8, center=1),
        lambda: native.refine_cusum(s[:2]),
        lambda: native.refine_cusum(s + ["x"]),
        lambda: native.refine_wasserstein("abc"),
        lambda: native.swal_statistic(s, "\udc80"),
        lambda: native.swal_statistic(s, b"mean"),
        lambda: native.wasserstein_statistic(s, []),
        lambda: native.ipm_statistic([math.inf], s),
        lambda: native.ipm_statistic(s, s, s),
    ]
    return rng.choice(bad)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--iterations", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--max-growth-mb", type=float, default=8.0)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    for _ in range(200):  # warm-up: the shared pool, allocator arenas, interned strings
        try:
            (valid_call(rng) if rng.random() < 0.7 else invalid_call(rng))()
        except EXPECTED:
            pass
    start_rss, start_threads = rss_mb(), threads()
    print("start:", snapshot(), flush=True)
    started = time.monotonic()
    failures = 0
    for i in range(1, args.iterations + 1):
        try:
            (valid_call(rng) if rng.random() < 0.7 else invalid_call(rng))()
        except EXPECTED:
            failures += 1
        if i % max(1, args.iterations // 10) == 0:
            print(f"{i} calls ({failures} refused):", snapshot(), flush=True)
    print(f"end after {time.monotonic() - started:.0f} s:", snapshot())
    grown = rss_mb() - start_rss
    if grown > args.max_growth_mb or threads() != start_threads:
        print(f"FAIL: memory grew by {grown:.1f} MiB, threads {start_threads} -> {threads()}")
        return 1
    print(f"ok: memory grew by {grown:.1f} MiB, threads stayed at {start_threads}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
