"""Whether ``vollan.detect``'s reported changes move when its scan uses pilot thresholds.

Each series is detected twice in one process, with ``vollan.pipeline.windows.PILOT_FACTOR`` as
it is and with None (every threshold from all replicates), and the reported change points
compared: the families (``FAMILIES`` of ``vollan._families``, fresh seeds), the long race series
(a jump of 1-4 sd every 500 values) at 10^4 and 10^5, and the real series of the corpus.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
from _common import command_line, table
from corpus import load_tcpd

import vollan
from vollan._families import FAMILIES, regular_steps
from vollan.pipeline import windows


def both(x: np.ndarray) -> tuple[list[int], list[int]]:
    factor = windows.PILOT_FACTOR
    on = [int(c) for c in vollan.detect(x).change_points]
    windows.PILOT_FACTOR = None
    try:
        off = [int(c) for c in vollan.detect(x).change_points]
    finally:
        windows.PILOT_FACTOR = factor
    return on, off


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=20)
    parser.add_argument("--seed", type=int, default=9311)
    parser.add_argument("--race", type=int, default=5, help="race series at each length")
    args = parser.parse_args()
    start = time.perf_counter()
    groups: dict[str, list[np.ndarray]] = {}
    for k, (name, (make, _)) in enumerate(FAMILIES.items()):
        groups[name] = [
            np.asarray(make(np.random.default_rng([args.seed, k, i]))[0], dtype=np.float64)
            for i in range(args.series)
        ]
    for n in (10_000, 100_000):
        groups[f"race, n={n:,}"] = [
            regular_steps(n)(np.random.default_rng([args.seed, n, i]))[0] for i in range(args.race)
        ]
    try:
        groups["real (corpus)"] = [c.values for c in load_tcpd() if not np.isnan(c.values).any()]
    except FileNotFoundError:
        pass
    rows = []
    totals = [0, 0, 0, 0]
    for name, xs in groups.items():
        n_series = n_changes = moved_series = moved = 0
        for x in xs:
            on, off = both(np.asarray(x, dtype=np.float64))
            n_series += 1
            n_changes += len(off)
            diff = len(set(on) ^ set(off))
            moved += diff
            moved_series += diff > 0
        rows.append([name, n_series, n_changes, moved_series, moved])
        for i, v in enumerate((n_series, n_changes, moved_series, moved)):
            totals[i] += v
    rows.append(["**all**", *totals])
    print(
        f"`{command_line()}` (load average {os.getloadavg()[0]:.1f}; "
        f"{time.perf_counter() - start:.0f} s)\n"
    )
    header = [
        "series",
        "count",
        "changes reported without the pilot",
        "series whose changes moved",
        "changes not in both",
    ]
    print(table(header, rows))


if __name__ == "__main__":
    main()
