"""False alarms of vollan.Monitor on streams without change: the measured mean run length
between false alarms against ``false_alarm_every``.

Each stream is watched from the end of its warm-up; after each (false) alarm the monitor warms
up again, so the run lengths are the watched values between alarms (``Monitor.watched``). The
mean run length is their total over the number of alarms (the values watched after the last
alarm count too: the estimate of an exponential mean from censored runs).

    python bench/stream_calibration.py [--every 1000,10000,100000] [--length 100000,400000,1000000]
        [--warmup N] [--laws AR] [--seeds 1]

Each false_alarm_every gets its own stream length (about 100, 40 and 10 false alarms at the
defaults): a false alarm costs a calibration, so short run lengths are measured on shorter
streams.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import vollan


def laws(length: int, rng: np.random.Generator) -> dict[str, np.ndarray]:
    shocks = rng.normal(size=length + 100)
    ar = np.empty_like(shocks)
    ar[0] = shocks[0]
    for i in range(1, len(shocks)):  # AR(1), phi = 0.5
        ar[i] = 0.5 * ar[i - 1] + shocks[i]
    return {
        "N(0,1)": rng.normal(size=length),
        "t(3)": rng.standard_t(3, size=length),
        "AR(1) phi=0.5": ar[100:],
        "Poisson(4)": rng.poisson(4.0, size=length).astype(float),
    }


def run_lengths(series: np.ndarray, every: float, seed: int, warmup: int | None) -> tuple[int, int]:
    """Watched values and false alarms of one stream."""
    monitor = vollan.Monitor(false_alarm_every=every, seed=seed, warmup=warmup)
    changes = monitor.update(series)
    return monitor.watched, len(changes)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--every", default="1000,10000,100000")
    parser.add_argument("--length", default="100000,400000,1000000")
    parser.add_argument("--seeds", type=int, default=1)
    parser.add_argument(
        "--warmup", type=int, default=None, help="a fixed warm-up (default: the monitor's)"
    )
    parser.add_argument("--laws", default="", help="only the laws whose names start so")
    args = parser.parse_args()
    everies = [float(e) for e in args.every.split(",")]
    lengths = [int(n) for n in args.length.split(",")]
    print(
        "| stream | false_alarm_every | values | watched | alarms | mean run length | ratio | s |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for every, length in zip(everies, lengths, strict=True):
        totals: dict[str, list[int]] = {}
        clock: dict[str, float] = {}
        for seed in range(args.seeds):
            for name, series in laws(length, np.random.default_rng([7, seed])).items():
                if not name.startswith(args.laws):
                    continue
                started = time.perf_counter()
                watched, alarms = run_lengths(series, every, seed, args.warmup)
                clock[name] = clock.get(name, 0.0) + time.perf_counter() - started
                t = totals.setdefault(name, [0, 0])
                t[0] += watched
                t[1] += alarms
        for name, (watched, alarms) in totals.items():
            arl = watched / alarms if alarms else float("inf")
            print(
                f"| {name} | {every:g} | {length * args.seeds:,} | {watched:,} | {alarms} | "
                f"{arl:,.0f} | {arl / every:.2f} | {clock[name]:.0f} |",
                flush=True,
            )


if __name__ == "__main__":
    main()
