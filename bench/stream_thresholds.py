"""The spread of vollan.Monitor's calibrated thresholds, as mean run lengths: many independent
warm-ups, each calibrated by a Monitor, each threshold run over one shared change-free stream.

For each warm-up, the Monitor's calibration (clip points, standardisation, threshold) is applied
to a long fresh stream of the same law, restarting after each alarm as the monitor does (the
next watched value comes a warm-up later); its run length is the watched values over the
alarms. The mean of these run lengths over the warm-ups is the long-run mean run length (each
false alarm starts a new calibration), their median and the standard deviation of their
logarithms show how much of it is the spread of the thresholds: a threshold too high lengthens
the run far more than one too low shortens it. Far less noisy than counting alarms on one
stream (``bench/stream_calibration.py``), at the same cost.

    python bench/stream_thresholds.py [--law AR] [--every 10000] [--warmups 40]
        [--length 1000000] [--warmup N] [--seed S]

``--seed`` draws other warm-ups and another stream (0, the default, the ones tabled first).
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from stream_calibration import laws

import vollan
from vollan.monitor import StreamWindows


def run_length(monitor: vollan.Monitor, stream: np.ndarray, chunk: int = 500_000) -> float:
    """Mean run length of the monitor's calibration on ``stream`` (twice the watched values when
    no alarm came: censored)."""
    cal = monitor._calibration
    sizes = monitor.window_sizes
    kernel = StreamWindows(sizes, monitor.change_type, cal.low, cal.high)
    fill = 2 * sizes[-1]
    over = []
    for at in range(0, len(stream), chunk):
        part = stream[at : at + chunk]
        stats = kernel.statistics(part, np.zeros(len(part), np.int64))
        z = ((stats - cal.center) / cal.scale).max(axis=1)
        hits = np.flatnonzero(z > cal.threshold) + at
        over.append(hits[hits >= fill])
    start, watched, alarms = fill, 0, 0
    for t in np.concatenate(over).tolist():
        if t < start:
            continue
        watched += t - start + 1
        alarms += 1
        start = t + 1 + monitor.last_warmup
    watched += max(len(stream) - start, 0)
    return watched / alarms if alarms else 2.0 * watched


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--law", default="AR", help="the first law whose name starts so")
    parser.add_argument("--every", type=float, default=10_000)
    parser.add_argument("--warmups", type=int, default=40)
    parser.add_argument("--length", type=int, default=1_000_000)
    parser.add_argument("--warmup", type=int, default=None, help="a fixed warm-up")
    parser.add_argument("--seed", type=int, default=0, help="other warm-ups and stream")
    args = parser.parse_args()
    name = next(n for n in laws(10, np.random.default_rng(0)) if n.startswith(args.law))
    extra = [args.seed] if args.seed else []
    stream = laws(args.length, np.random.default_rng([99, *extra]))[name]
    runs, lengths = [], []
    started = time.perf_counter()
    for i in range(args.warmups):
        warm = laws(20_000, np.random.default_rng([5, *extra, i]))[name]
        monitor = vollan.Monitor(false_alarm_every=args.every, warmup=args.warmup, seed=i)
        at = 0
        while monitor.warming_up:
            monitor.update(warm[at : at + 50])
            at += 50
        runs.append(run_length(monitor, stream))
        lengths.append(monitor.last_warmup)
    r = np.asarray(runs) / args.every
    print(
        f"| {name} | {args.every:g} | {args.warmup or 'default'} ({np.mean(lengths):,.0f}) | "
        f"{args.warmups} | {r.mean():.2f} | {np.median(r):.2f} | {np.log(r).std():.2f} | "
        f"{time.perf_counter() - started:.0f} |"
    )


if __name__ == "__main__":
    main()
