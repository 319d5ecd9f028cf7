"""B8: scan_detector against skchange's moving-window detector (MOSUM, numba) on the same series.

Both run in one child process per instruction set, alternating within every repeat, so each
ratio is measured side by side. The child for AVX2 sets VOLLAN_LANE_ISA=avx2, which makes the
extension use its AVX2 kernels on a machine that also has AVX-512 (the results are the same
bits). skchange gets its defaults (bandwidths chosen at fit time, CUSUM score, BIC penalty) and a
single bandwidth of 20, the largest of scan_detector's default window sizes; its time is
fit + predict, after one warm-up call that compiles its numba kernels.

``--detect`` times what a user calls instead: ``vollan.detect`` at its defaults (two threads,
and one) against ``MovingWindow()`` at its defaults and ruptures' ``KernelCPD(kernel="rbf")``
with pen = 3 log n on the standardised series, each call in a fresh process, on the race series
of ``b2_race.py`` (with each method's F1 at a margin of 5), and the growth of ``detect``'s time
from 10^5 to 10^6 values on white noise, a random walk, the race series and 1,000 changes.
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


DETECT_CHILD = """
import json, sys, time
sys.path.insert(0, {bench!r})
import numpy as np
method, series, n, threads = {method!r}, {series!r}, {n}, {threads!r}
from b2_race import race_case
from vollan._families import regular_steps
truth = None
if series == "race":
    case = race_case(n)
    x, truth = case.values, case
elif series == "noise":
    x = np.random.default_rng(11).normal(size=n)
elif series == "walk":
    x = np.cumsum(np.random.default_rng(12).normal(size=n))
elif series == "1000 changes":
    x, _ = regular_steps(n, every=n // 1001)(np.random.default_rng(13))
if method == "detect":
    import vollan
    vollan.detect(x[:2000], workers=threads)
    def run():
        return list(vollan.detect(x, workers=threads).change_points)
elif method == "MovingWindow":
    from skchange.detectors import MovingWindow
    column = np.ascontiguousarray(x.reshape(-1, 1))
    MovingWindow().fit(column[:2000]).predict(column[:2000])  # compiles the numba kernels
    def run():
        return [int(c) for c in np.asarray(MovingWindow().fit(column).predict(column)).ravel()]
else:
    import ruptures as rpt
    z = ((x - x.mean()) / x.std()).reshape(-1, 1)
    def run():
        return rpt.KernelCPD(kernel="rbf").fit(z).predict(pen=3 * np.log(n))[:-1]
start = time.perf_counter()
found = run()
seconds = time.perf_counter() - start
f1 = None
if truth is not None:
    from protocol import score
    f1 = score(truth, found)[1]
print(json.dumps({{"seconds": seconds, "found": len(found), "f1": f1}}))
"""


def _fresh(method: str, series: str, n: int, threads: int | None, timeout: float) -> dict | None:
    """One call in a process of its own; None when it fails or takes longer than ``timeout``."""
    bench = os.path.dirname(os.path.abspath(__file__))
    code = DETECT_CHILD.format(bench=bench, method=method, series=series, n=n, threads=threads)
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    try:
        run = subprocess.run(
            [sys.executable, "-c", code],
            env=env,
            capture_output=True,
            text=True,
            check=False,
            cwd=bench,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return None
    if run.returncode != 0:
        print(f"{method} {series} n={n}: failed\n{run.stderr.strip()[-1500:]}", file=sys.stderr)
        return None
    return json.loads(run.stdout.strip().splitlines()[-1])


def _best(method: str, series: str, n: int, threads: int | None, args: argparse.Namespace):
    """The least time of ``--repeats`` fresh calls (the machine's other load only adds)."""
    runs = [_fresh(method, series, n, threads, args.timeout) for _ in range(args.repeats)]
    done = [r for r in runs if r is not None]
    return min(done, key=lambda r: r["seconds"]) if done else None


def detect_race(args: argparse.Namespace) -> None:
    """detect against MovingWindow and KernelCPD on the race series; threads; growth."""
    import ruptures

    load = os.getloadavg()
    print(
        f"`{command_line()}` (skchange {skchange.__version__}, ruptures {ruptures.__version__}); "
        f"load average before: {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f}\n"
    )
    rows = []
    for n in args.sizes:
        found = {}
        for _ in range(args.repeats):  # the methods alternate within every repeat
            for method, threads in [("detect", 2), ("detect", 1), ("MovingWindow", None)] + (
                [("KernelCPD", None)] if n <= args.kernel_max else []
            ):
                r = _fresh(method, "race", n, threads, args.timeout)
                key = (method, threads)
                if r is not None and (key not in found or r["seconds"] < found[key]["seconds"]):
                    found[key] = r
        d2, d1, mw = (
            found.get(("detect", 2)),
            found.get(("detect", 1)),
            found.get(("MovingWindow", None)),
        )
        kc = found.get(("KernelCPD", None))

        def cell(r: dict | None) -> str:
            if r is None:
                return "not run"
            return f"{fmt_seconds(r['seconds'])} (F1 {r['f1']:.3f}, {r['found']})"

        rows.append(
            [
                f"{n:,}",
                cell(d2),
                cell(mw),
                f"**{d2['seconds'] / mw['seconds']:.1f}×**" if d2 and mw else "",
                cell(kc) if n <= args.kernel_max else f"not run (n > {args.kernel_max:,})",
                f"{d1['seconds'] / d2['seconds']:.2f}×" if d1 and d2 else "",
            ]
        )
    print(
        table(
            [
                "n",
                "detect, 2 threads (F1, changes)",
                "MovingWindow() (F1, changes)",
                "detect / MovingWindow",
                "KernelCPD rbf, pen 3 log n (F1, changes)",
                "detect, 1 → 2 threads",
            ],
            rows,
        )
    )
    if not args.growth:
        return
    print()
    growth_rows = []
    lo, hi = args.growth
    for series in ["noise", "walk", "race", "1000 changes"]:
        a = _best("detect", series, lo, 2, args)
        b = _best("detect", series, hi, 2, args)
        growth_rows.append(
            [
                series,
                fmt_seconds(a["seconds"]) if a else "not run",
                fmt_seconds(b["seconds"]) if b else "not run",
                f"**{b['seconds'] / a['seconds']:.1f}**" if a and b else "",
            ]
        )
    print(
        table(
            ["series", f"detect at {lo:,}", f"detect at {hi:,}", f"time({hi:,}) / time({lo:,})"],
            growth_rows,
        )
    )
    load = os.getloadavg()
    print(f"\nload average after: {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--detect",
        action="store_true",
        help="time vollan.detect (fresh process per call) rather than scan_detector",
    )
    parser.add_argument("--kernel-max", type=int, default=10_000, help="largest n for KernelCPD")
    parser.add_argument(
        "--growth",
        type=int,
        nargs=2,
        default=[100_000, 1_000_000],
        metavar=("LO", "HI"),
        help="with --detect: the two lengths of the growth table (0 0 skips it)",
    )
    parser.add_argument("--timeout", type=float, default=600.0)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=None, help="default 5, and 1 with --detect")
    parser.add_argument(
        "--clock",
        choices=["wall", "cpu"],
        default="wall",
        help="wall-clock time, or the CPU time of the process (steadier on a crowded machine)",
    )
    args = parser.parse_args()
    if args.repeats is None:
        args.repeats = 1 if args.detect else 5
    if args.detect:
        if args.growth == [0, 0]:
            args.growth = None
        detect_race(args)
        return

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
