"""Where the scan of ``vollan.detect`` spends its bootstrap, and how far the statistics lie from
the thresholds they are compared with: the measurements behind a cheaper calibration.

A window's threshold is recomputed (``n_perm`` replicates) at the first position and after each
flagged position, and holds until the next flag. For each window size of ``detect``'s scan of
the race series (``b2_race.py``) this prints:

- time: the scan of that window size alone (``workers=1``), and its share of the sum;
- thresholds: how many were computed (1 + flags before the last position);
- margins: for each computed threshold T, the largest statistic below it among the positions it
  decides, and the statistic of the flag that ends it, as ratios to T (quartiles over the
  thresholds), and the share of thresholds whose statistics all lie outside [0.8 T, 1.25 T];
- the threshold over the one from the first ``n_perm / 4`` replicates alone, at the positions
  where both runs computed one (replicates are seeded per index, so those are the first
  quarter of the full run's), and the flags that change when every threshold comes from them;
- the same scan with ``detect``'s pilot thresholds (``PILOT_FACTOR``): its time, the share of
  thresholds it completed, and the flags that differ from the full run's.
"""

from __future__ import annotations

import argparse
import inspect
import time

import numpy as np
from _common import command_line, fmt_seconds, table
from b2_race import race_case

import vollan
from vollan._scanview import scan_view
from vollan.pipeline.windows import PILOT_FACTOR, default_n_perm, default_window_sizes


def refreshes(stat: np.ndarray, thr: np.ndarray) -> np.ndarray:
    """The positions whose threshold was computed: the first, and each one after a flag."""
    flagged = np.flatnonzero(stat > thr)
    return np.r_[0, flagged[flagged + 1 < len(stat)] + 1]


def flags_of(view, w: int) -> np.ndarray:
    """The flagged positions of a one-window scan, from its regions (2w values for a position
    alone, 3w for two adjacent ones): a pilot's thresholds do not show them."""
    f = np.zeros(len(view.statistics[0]), dtype=bool)
    for a, b in view.regions[0].tolist():
        f[a // w] = True
        if b - a == 3 * w:
            f[a // w + 1] = True
    return f


def margins(stat: np.ndarray, thr: np.ndarray) -> tuple[list[float], list[float], float]:
    """Per computed threshold T: the largest statistic/T among the positions it passes, and the
    statistic/T of the flag that ends it; and the share of thresholds whose statistics all lie
    below 0.8 T or above 1.25 T."""
    flagged = np.flatnonzero(stat > thr)
    below, above, far = [], [], []
    for r in refreshes(stat, thr):
        end = flagged[flagged >= r]
        stop = int(end[0]) if len(end) else len(stat)
        t = thr[r]
        low = float(stat[r:stop].max() / t) if stop > r else 0.0
        high = float(stat[stop] / t) if stop < len(stat) else np.inf
        if stop > r:
            below.append(low)
        if stop < len(stat):
            above.append(high)
        far.append(low < 0.8 and high > 1.25)
    return below, above, float(np.mean(far))


def quartiles(values: list[float]) -> str:
    if not values:
        return "-"
    q = np.quantile(values, [0.25, 0.5, 0.75])
    return " / ".join(f"{v:.2f}" for v in q)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    args = parser.parse_args()
    defaults = inspect.signature(vollan.detect).parameters
    alpha = defaults["alpha"].default
    x = race_case(args.n).values
    sizes = default_window_sizes(len(x))
    n_perm = default_n_perm(len(x), sizes[0], alpha)
    common = {"alpha_q": alpha, "change_type": defaults["change_type"].default, "workers": 1}
    rows = []
    seconds = []
    pilot_times = []
    for w in sizes:
        start = time.perf_counter()
        full = scan_view(x, window_sizes=[w], n_perm=n_perm, **common)
        seconds.append(time.perf_counter() - start)
        start = time.perf_counter()
        piloted = scan_view(x, window_sizes=[w], n_perm=n_perm, pilot=PILOT_FACTOR, **common)
        pilot_times.append(time.perf_counter() - start)
        pilot = scan_view(x, window_sizes=[w], n_perm=n_perm // 4, **common)
        stat, thr = full.statistics[0], full.thresholds[0]
        below, above, far = margins(stat, thr)
        n_thr = len(refreshes(stat, thr))
        p_stat, p_thr = pilot.statistics[0], pilot.thresholds[0]
        changed = int(np.count_nonzero((stat > thr) != (p_stat > p_thr)))
        # With the factor the flags are (here) the full run's, so the thresholds are computed at
        # the same positions; a completed one is the full run's, bit for bit.
        at = refreshes(stat, thr)
        completed = float(np.mean(piloted.thresholds[0][at] == thr[at]))
        pilot_changed = int(np.count_nonzero(flags_of(piloted, w) != (stat > thr)))
        # A threshold depends on its position only, so where both runs computed one they agree
        # on what it is computed from.
        shared = np.intersect1d(refreshes(stat, thr), refreshes(p_stat, p_thr))
        ratio = list(thr[shared] / p_thr[shared])
        rows.append(
            [
                w,
                len(stat),
                n_thr,
                quartiles(below),
                quartiles(above),
                f"{100 * far:.0f}%",
                quartiles(ratio),
                changed,
                fmt_seconds(pilot_times[-1]),
                f"{100 * completed:.0f}%",
                pilot_changed,
            ]
        )
    total = sum(seconds)
    for row, s in zip(rows, seconds, strict=True):
        row[1:1] = [fmt_seconds(s), f"{100 * s / total:.0f}%"]
    total_pilot = sum(pilot_times)
    print(f"`{command_line()}`\n")
    print(f"n = {args.n:,}, n_perm = {n_perm}, alpha = {alpha}\n")
    header = [
        "window",
        "time",
        "share",
        "positions",
        "thresholds",
        "max stat below / T (q1/med/q3)",
        "flag stat / T (q1/med/q3)",
        "all outside [0.8 T, 1.25 T]",
        f"T / T at n_perm = {n_perm // 4} (q1/med/q3)",
        f"flags changed at n_perm = {n_perm // 4}",
        f"time, pilot {PILOT_FACTOR:g}",
        "thresholds completed",
        "flags changed by the pilot",
    ]
    print(table(header, rows))
    print(f"\ntotal {fmt_seconds(total)}, with the pilot {fmt_seconds(total_pilot)}")


if __name__ == "__main__":
    main()
