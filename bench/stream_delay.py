"""vollan.Monitor against river's ADWIN, PageHinkley and KSWIN: detection delay at the same
measured false-alarm rate, and throughput.

1. Each river detector's parameter (ADWIN's delta, PageHinkley's threshold, KSWIN's alpha) is
   set, by bisection on its logarithm, so that its mean run length between false alarms on a
   change-free N(0, 1) stream is the Monitor's, measured on the same stream.
2. Streams of ``--before`` N(0, 1) values then ``--after`` values of a changed law: mean + 1 sd,
   mean + 2 sd, variance x2, variance x3, and a two-peaked law of the same mean and variance
   (0.5 N(-0.9, 0.19) + 0.5 N(0.9, 0.19)); KSWIN sees only the last 300 values before the
   change, for time (its windows hold 100 values). The delay is the first alarm at or after
   the change minus its position (none: not found); alarms before it are false alarms and do
   not count.
3. Throughput: values per CPU second of each detector on one N(0, 1) stream (CPU time of the
   process, which a crowded machine bends less than the clock), fed value by value for river,
   in one call for the Monitor (and one value per call too). ``--throughput`` runs this part
   alone, with river's detectors at their default parameters.

    python bench/stream_delay.py [--every 10000] [--reps 20] [--calibration-length 100000]
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from typing import Any

import numpy as np
from river import drift

import vollan

# KSWIN runs a two-sample test at every value: its parameter is matched on this many values, and
# it sees the last KSWIN_BEFORE values before each change (its windows hold 100).
KSWIN_LENGTH = 30_000
KSWIN_BEFORE = 300
KINDS = ("mean +1 sd", "mean +2 sd", "variance x2", "variance x3", "two peaks")


def changed(kind: str, n: int, rng: np.random.Generator) -> np.ndarray:
    if kind == "mean +1 sd":
        return rng.normal(1, 1, n)
    if kind == "mean +2 sd":
        return rng.normal(2, 1, n)
    if kind == "variance x2":
        return rng.normal(0, math.sqrt(2), n)
    if kind == "variance x3":
        return rng.normal(0, math.sqrt(3), n)
    sign = rng.choice([-1.0, 1.0], n)
    return sign * 0.9 + rng.normal(0, math.sqrt(1 - 0.81), n)


def river_alarms(make: Callable[[], Any], series: np.ndarray) -> list[int]:
    detector = make()
    found = []
    for i, x in enumerate(series.tolist()):
        detector.update(x)
        if detector.drift_detected:
            found.append(i)
    return found


# Options of the Monitor beyond false_alarm_every and seed (--window-sizes, --warmup).
MONITOR: dict[str, Any] = {}


def monitor_alarms(every: float, seed: int, series: np.ndarray) -> list[int]:
    monitor = vollan.Monitor(false_alarm_every=every, seed=seed, **MONITOR)
    return [c.confirmed_at for c in monitor.update(series)]


def monitor_watched(every: float, seed: int, series: np.ndarray) -> tuple[int, int]:
    """Watched values (warm-ups not counted) and alarms of the Monitor on one stream."""
    monitor = vollan.Monitor(false_alarm_every=every, seed=seed, **MONITOR)
    alarms = len(monitor.update(series))
    return monitor.watched, alarms


def mean_run(alarms: list[int], length: int, start: int = 0) -> float:
    """Watched values over alarms; the Monitor's warm-ups after alarms are not watched."""
    return (length - start) / max(len(alarms), 1) if alarms else math.inf


RIVER: dict[str, tuple[Callable[[float], Any], float, float, bool]] = {
    # name: (detector from its parameter, low, high, whether a larger parameter alarms less)
    # (None: the detector's default parameter)
    "ADWIN": (lambda p: drift.ADWIN(delta=p or 0.002), 1e-6, 0.5, False),
    "PageHinkley": (lambda p: drift.PageHinkley(threshold=p or 50.0), 5.0, 500.0, True),
    "KSWIN": (lambda p: drift.KSWIN(alpha=p or 0.005, seed=1), 1e-7, 1e-2, False),
}


def matched_parameter(
    name: str, target: float, series: np.ndarray, steps: int
) -> tuple[float, float]:
    make, low, high, larger_is_quieter = RIVER[name]
    if name == "KSWIN":  # a thousand values a second: a shorter stream, a narrower bracket
        series, low, high, steps = series[:KSWIN_LENGTH], 1e-6, 1e-3, min(steps, 4)
    lo, hi = math.log(low), math.log(high)
    best = (math.nan, math.inf)
    for _ in range(steps):
        mid = (lo + hi) / 2
        arl = mean_run(river_alarms(lambda m=mid: make(math.exp(m)), series), len(series))
        if abs(math.log(arl / target)) < abs(math.log(best[1] / target)):
            best = (math.exp(mid), arl)
        too_quiet = arl > target
        if too_quiet == larger_is_quieter:
            hi = mid
        else:
            lo = mid
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--every", type=float, default=10_000)
    parser.add_argument("--reps", type=int, default=20)
    parser.add_argument("--before", type=int, default=1500)
    parser.add_argument("--after", type=int, default=600)
    parser.add_argument("--calibration-length", type=int, default=100_000)
    parser.add_argument("--steps", type=int, default=6)
    parser.add_argument("--throughput", action="store_true", help="only the throughput")
    parser.add_argument("--window-sizes", default="", help="the Monitor's, e.g. 16,32,64,128,256")
    parser.add_argument("--warmup", type=int, default=None, help="the Monitor's")
    parser.add_argument("--kinds", default=",".join(KINDS), help="changes to run")
    parser.add_argument("--peers", default=",".join(RIVER), help="river detectors to run")
    args = parser.parse_args()
    if args.window_sizes:
        MONITOR["window_sizes"] = tuple(int(w) for w in args.window_sizes.split(","))
    if args.warmup is not None:
        MONITOR["warmup"] = args.warmup
    kinds = [k for k in KINDS if k in args.kinds.split(",")]
    peers = [p for p in RIVER if p in args.peers.split(",")]
    if args.throughput:
        throughput({name: (lambda m: lambda: m(None))(make) for name, (make, *_) in RIVER.items()})
        return

    null = np.random.default_rng(100).normal(size=args.calibration_length)
    watched, alarms = monitor_watched(args.every, 0, null)
    arl = watched / alarms if alarms else math.inf
    print(
        f"Monitor(false_alarm_every={args.every:g}, {MONITOR}): mean run length {arl:,.0f} "
        f"({alarms} alarms) on {len(null):,} N(0, 1) values",
        flush=True,
    )
    makers: dict[str, Callable[[], Any]] = {}
    print("\n| detector | parameter | mean run length |\n|---|---|---|")
    print(f"| Monitor | false_alarm_every={args.every:g} | {arl:,.0f} |")
    for name in peers:
        value, measured = matched_parameter(name, arl, null, args.steps)
        makers[name] = (lambda make, v: lambda: make(v))(RIVER[name][0], value)
        print(f"| {name} | {value:.3g} | {measured:,.0f} |", flush=True)

    print("\n| change | detector | median delay | found within 500 | false alarms before |")
    print("|---|---|---|---|---|")
    tau = args.before
    for kind in kinds:
        delays: dict[str, list[float]] = {}
        early: dict[str, int] = {}
        for rep in range(args.reps):
            rng = np.random.default_rng([200, KINDS.index(kind), rep])
            series = np.r_[rng.normal(size=tau), changed(kind, args.after, rng)]
            runs = {"Monitor": monitor_alarms(args.every, rep, series)}
            for name, make in makers.items():
                skip = tau - KSWIN_BEFORE if name == "KSWIN" else 0
                runs[name] = [a + skip for a in river_alarms(make, series[skip:])]
            for name, alarms in runs.items():
                after = [a for a in alarms if a >= tau]
                delays.setdefault(name, []).append(after[0] - tau if after else math.inf)
                early[name] = early.get(name, 0) + sum(a < tau for a in alarms)
        for name, d in delays.items():
            med = float(np.median(d))
            within = np.mean(np.asarray(d) <= 500)
            print(f"| {kind} | {name} | {med:.0f} | {within:.0%} | {early[name]} |", flush=True)

    if args.kinds == ",".join(KINDS):
        throughput(makers)


def warmed(monitor: vollan.Monitor, stream: np.ndarray) -> int:
    """Feeds the monitor its warm-up; returns the position where it starts watching."""
    at = 0
    while monitor.warming_up:
        monitor.update(stream[at : at + 100])
        at += 100
    return at


def throughput(makers: dict[str, Callable[[], Any]]) -> None:
    print("\n| detector | values per CPU second |\n|---|--:|")
    stream = np.random.default_rng(300).normal(size=200_000)
    rates = {}
    started = time.process_time()
    vollan.Monitor(false_alarm_every=1e9).update(stream)
    rates["Monitor, one call (calibration included)"] = len(stream) / (
        time.process_time() - started
    )
    monitor = vollan.Monitor(false_alarm_every=1e9)
    start = warmed(monitor, stream)
    started = time.process_time()
    monitor.update(stream[start:])
    rates["Monitor, one call, watching"] = (len(stream) - start) / (time.process_time() - started)
    monitor = vollan.Monitor(false_alarm_every=1e9)
    start = warmed(monitor, stream)
    few = stream[start : start + 20_000].tolist()
    started = time.process_time()
    for x in few:
        monitor.update(x)
    rates["Monitor, one value per call"] = len(few) / (time.process_time() - started)
    for name, make in makers.items():
        part = stream[:50_000] if name != "KSWIN" else stream[:10_000]
        started = time.process_time()
        river_alarms(make, part)
        rates[name] = len(part) / (time.process_time() - started)
    for name, rate in rates.items():
        print(f"| {name} | {rate:,.0f} |")


if __name__ == "__main__":
    main()
