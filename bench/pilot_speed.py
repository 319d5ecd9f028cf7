"""``vollan.detect`` with and without pilot thresholds, side by side, on the race series.

Each call runs in a fresh process, the two settings alternating within every repeat; a child
sets ``vollan.pipeline.windows.PILOT_FACTOR`` (None: every threshold from all replicates) and
times the whole call, the process's CPU time during it, and the scan inside it (the engine call,
``vollan.api.scan``). Also: whether the reported change points are the same.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

from _common import command_line, fmt_seconds, table

CHILD = """
import json, sys, time
sys.path.insert(0, {bench!r})
from b2_race import race_case
import vollan, vollan.api
from vollan.pipeline import windows
windows.PILOT_FACTOR = {factor!r}
x = race_case({n}).values
vollan.detect(x[:2000])
spent = []
inner = vollan.api.scan
def timed(*a, **k):
    t = time.perf_counter()
    try:
        return inner(*a, **k)
    finally:
        spent.append(time.perf_counter() - t)
vollan.api.scan = timed
c0, t0 = time.process_time(), time.perf_counter()
d = vollan.detect(x)
t1, c1 = time.perf_counter(), time.process_time()
print(json.dumps({{"wall": t1 - t0, "cpu": c1 - c0, "scan": sum(spent),
                  "changes": [int(c) for c in d.change_points]}}))
"""


def child(n: int, factor: float | None) -> dict:
    here = os.path.dirname(os.path.abspath(__file__))
    code = CHILD.format(bench=here, n=n, factor=factor)
    out = subprocess.run(
        [sys.executable, "-c", code], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, nargs="+", default=[5, 3, 1])
    parser.add_argument("--factor", type=float, default=None, help="default: PILOT_FACTOR")
    args = parser.parse_args()
    if args.factor is None:
        from vollan.pipeline.windows import PILOT_FACTOR

        args.factor = PILOT_FACTOR
    load = os.getloadavg()[0]
    rows = []
    for n, reps in zip(args.sizes, args.repeats + [1] * len(args.sizes), strict=False):
        runs: dict[object, list[dict]] = {None: [], args.factor: []}
        for _ in range(reps):
            for factor in (None, args.factor):
                runs[factor].append(child(n, factor))
        off, on = runs[None], runs[args.factor]

        def med(rs: list[dict], key: str) -> float:
            return statistics.median(r[key] for r in rs)

        same = all(a["changes"] == b["changes"] for a, b in zip(off, on, strict=True))
        rows.append(
            [
                f"{n:,}",
                reps,
                fmt_seconds(med(off, "wall")),
                fmt_seconds(med(on, "wall")),
                f"{med(off, 'wall') / med(on, 'wall'):.2f}×",
                fmt_seconds(med(off, "cpu")),
                fmt_seconds(med(on, "cpu")),
                f"{med(off, 'cpu') / med(on, 'cpu'):.2f}×",
                f"{med(off, 'scan') / med(off, 'wall'):.0%} → "
                f"{med(on, 'scan') / med(on, 'wall'):.0%}",
                f"{med(off, 'scan') / med(on, 'scan'):.2f}×",
                f"{len(off[0]['changes'])}, {'same' if same else 'DIFFER'}",
            ]
        )
    print(f"`{command_line()}` (load average {load:.1f} before, {os.getloadavg()[0]:.1f} after)\n")
    header = [
        "n",
        "runs",
        "wall, off",
        f"wall, pilot {args.factor:g}",
        "faster by",
        "CPU, off",
        "CPU, pilot",
        "CPU ratio",
        "scan's share of wall, off → pilot",
        "scan faster by",
        "changes, on vs off",
    ]
    print(table(header, rows))


if __name__ == "__main__":
    main()
