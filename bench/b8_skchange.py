"""B8: scan_detector against skchange's moving-window detector (MOSUM, numba) on the same series.

Both run in one child process per instruction set, alternating within every repeat, so each
ratio is measured side by side. The child for AVX2 sets VOLLAN_LANE_ISA=avx2, which makes the
extension use its AVX2 kernels on a machine that also has AVX-512 (the results are the same
bits). skchange gets its defaults (bandwidths chosen at fit time, CUSUM score, BIC penalty) and a
single bandwidth of 20, the largest of scan_detector's default window sizes; its time is
fit + predict, after one warm-up call that compiles its numba kernels.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

import skchange
from _common import command_line, fmt_seconds, table

CHILD = """
import json, sys
sys.path.insert(0, {bench!r})
import numpy as np
import vollan
from skchange.detectors import MovingWindow
from _common import CLOCKS, change_series, inner_count, side_by_side
rows = []
for n in {sizes!r}:
    x = change_series(n)
    column = np.ascontiguousarray(x.reshape(-1, 1))
    def ours(x=x):
        return vollan.scan_detector(x)
    def theirs_default(c=column):
        return MovingWindow().fit(c).predict(c)
    def theirs_20(c=column):
        return MovingWindow(bandwidth=20).fit(c).predict(c)
    contenders = [ours, theirs_default, theirs_20]
    inner = inner_count(ours, 0.1)
    times = side_by_side(contenders, {repeats}, inner, CLOCKS[{clock!r}])
    found = [len(ours()["out"]["leaders_probs"]), len(theirs_default()), len(theirs_20())]
    rows.append({{"n": n, "times": times, "found": found}})
print(json.dumps(rows))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument(
        "--clock",
        choices=["wall", "cpu"],
        default="wall",
        help="wall-clock time, or the CPU time of the process (steadier on a crowded machine)",
    )
    args = parser.parse_args()

    bench = os.path.dirname(os.path.abspath(__file__))
    code = CHILD.format(bench=bench, sizes=args.sizes, repeats=args.repeats, clock=args.clock)
    rows = []
    for label, isa in [("AVX-512 (widest)", None), ("AVX2 (forced)", "avx2")]:
        env = dict(os.environ)
        env.pop("VOLLAN_LANE_ISA", None)
        if isa is not None:
            env["VOLLAN_LANE_ISA"] = isa
        run = subprocess.run(
            [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=False
        )
        if run.returncode != 0:
            print(f"{label}: failed\n\n```\n{run.stderr.strip()[-2000:]}\n```\n")
            continue
        for r in json.loads(run.stdout):
            t_ours, t_default, t_20 = r["times"]
            ours_found, default_found, found_20 = r["found"]
            rows.append(
                [
                    label,
                    f"{r['n']:,}",
                    f"{fmt_seconds(t_ours)} ({ours_found})",
                    f"{fmt_seconds(t_default)} ({default_found})",
                    f"**{t_default / t_ours:.1f}×**",
                    f"{fmt_seconds(t_20)} ({found_20})",
                    f"**{t_20 / t_ours:.1f}×**",
                ]
            )
    print(f"`{command_line()}` (skchange {skchange.__version__})\n")
    print(
        table(
            [
                "vollan kernels",
                "n",
                "scan_detector (changes)",
                "MovingWindow() (changes)",
                "vollan faster by",
                "MovingWindow(bandwidth=20) (changes)",
                "vollan faster by",
            ],
            rows,
        )
    )


if __name__ == "__main__":
    main()
