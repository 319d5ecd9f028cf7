"""Shared pieces of the benchmarks: series, side-by-side timing and markdown tables."""

from __future__ import annotations

import os
import platform
import statistics
import sys
import time
from collections.abc import Callable, Sequence

import numpy as np

CHANGE_EVERY = 250


def change_series(n: int, seed: int = 2) -> np.ndarray:
    """Piecewise-constant levels drawn from N(0, 2^2), a new one every 250 values, plus N(0, 1)."""
    rng = np.random.default_rng(seed)
    levels = rng.normal(0.0, 2.0, size=n // CHANGE_EVERY + 1)
    return np.repeat(levels, CHANGE_EVERY)[:n] + rng.normal(size=n)


def null_series(n: int, seed: int = 3) -> np.ndarray:
    """Independent N(0, 1) values: no change at all."""
    return np.random.default_rng(seed).normal(size=n)


def true_change_count(n: int) -> int:
    return (n - 1) // CHANGE_EVERY


def timed(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def side_by_side(
    contenders: Sequence[Callable[[], object]],
    repeats: int,
    inner: int = 1,
    clock: Callable[[], float] = time.perf_counter,
) -> list[float]:
    """Median seconds per call of each contender, the contenders alternating within every repeat.

    Alternating keeps slow drifts of the machine (frequency, other load) out of the ratios.
    With clock=time.process_time the seconds are the CPU time of the process (all its threads),
    which a machine crowded by other processes inflates far less than the wall-clock time.
    """
    samples: list[list[float]] = [[] for _ in contenders]
    for fn in contenders:
        fn()  # warm-up: imports, first-use pool start, page faults of first allocations
    for _ in range(repeats):
        for k, fn in enumerate(contenders):
            # Results are kept until the clock has stopped: freeing them is not the call's cost.
            kept = []
            start = clock()
            for _ in range(inner):
                kept.append(fn())
            samples[k].append((clock() - start) / inner)
            del kept
    return [statistics.median(s) for s in samples]


CLOCKS: dict[str, Callable[[], float]] = {"wall": time.perf_counter, "cpu": time.process_time}


def inner_count(fn: Callable[[], object], target_seconds: float = 0.02) -> int:
    """Calls per sample so that one sample lasts about target_seconds."""
    once = timed(fn)
    return max(1, min(100_000, int(target_seconds / max(once, 1e-7))))


def fmt_seconds(s: float) -> str:
    if s >= 1.0:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.1f} µs"


def table(header: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def command_line() -> str:
    env = " ".join(
        f"{k}={os.environ[k]}"
        for k in ("RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS")
        if k in os.environ
    )
    cmd = "python " + " ".join(["bench/" + os.path.basename(sys.argv[0]), *sys.argv[1:]])
    return f"{env} {cmd}".strip()


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    python = platform.python_version()
    return f"{cpu}, {os.cpu_count()} CPUs, Python {python}, numpy {np.__version__}"


def critical_tables(
    description: str,
    lengths: Sequence[int],
    noises: Sequence[str],
    cell: Callable[[tuple[int, str, int, float]], tuple[int, str, float]],
    critical: Callable[[int], float],
) -> None:
    """Run ``cell((n, noise, reps, level))`` for every length and noise in worker processes
    (``--reps``, ``--level``, ``--processes`` from the command line) and print, for each
    length, the quantile of each noise, their largest and the critical value in force."""
    import argparse
    from concurrent.futures import ProcessPoolExecutor

    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--reps", type=int, default=1000)
    parser.add_argument("--level", type=float, default=0.99)
    parser.add_argument("--processes", type=int, default=2)
    args = parser.parse_args()
    jobs = [(n, name, args.reps, args.level) for n in lengths for name in noises]
    with ProcessPoolExecutor(args.processes) as pool:
        results = list(pool.map(cell, jobs))
    found = {(n, name): q for n, name, q in results}
    print("| n | " + " | ".join(noises) + " | largest | critical |")
    print("|--:|" + "--:|" * (len(noises) + 2))
    for n in lengths:
        row = [found[n, name] for name in noises]
        print(
            f"| {n:,} | "
            + " | ".join(f"{q:.2f}" for q in row)
            + f" | {max(row):.2f} | {critical(n):.2f} |"
        )
