"""``vollan.detect`` on one thread and on two: the scan and the steps after it, apart.

    python bench/detect_threads.py [--sizes 100000 1000000] [--series race walk]
                                   [--other PATH] [--repeats 1]

Every call runs in a fresh process; the calls of one cell alternate (one thread, two threads,
and the same for the package under ``--other``, a directory to put first on ``PYTHONPATH``
holding another tree of the package, e.g. an older commit's ``python/`` with this build's
``_kernels`` linked in). The time of a call is split into the engine's scan and the rest (the
stages, the placing and the result), which is Python and numpy; the least of ``--repeats``
calls is kept (the machine's other load only adds). The last column says whether every call of
the cell returned the same ``Detection.to_dict()``. Series: the race series of
``b2_race.py``, a Gaussian random walk, white noise.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

from _common import command_line, fmt_seconds, table

CHILD = """
import hashlib, json, sys, time
sys.path.insert(0, {bench!r})
import numpy as np
import vollan
import vollan.api
series, n, workers = {series!r}, {n}, {workers}
if series == "race":
    from b2_race import race_case
    x = race_case(n).values
elif series == "walk":
    x = np.cumsum(np.random.default_rng(12).normal(size=n))
else:
    x = np.random.default_rng(11).normal(size=n)
vollan.detect(x[:2000], workers=workers)
spent, spent_cpu = [], []
real = vollan.api.scan
def timed(*args, **kwargs):
    start, start_cpu = time.perf_counter(), time.process_time()
    try:
        return real(*args, **kwargs)
    finally:
        spent.append(time.perf_counter() - start)
        spent_cpu.append(time.process_time() - start_cpu)
vollan.api.scan = timed
start, start_cpu = time.perf_counter(), time.process_time()
found = vollan.detect(x, workers=workers)
total, cpu = time.perf_counter() - start, time.process_time() - start_cpu
digest = hashlib.sha256(repr(found.to_dict()).encode()).hexdigest()
print(json.dumps({{"total": total, "scan": sum(spent), "cpu": cpu, "cpu_scan": sum(spent_cpu),
                  "digest": digest}}))
"""


def fresh(series: str, n: int, workers: int, path: str | None) -> dict:
    bench = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if path:
        env["PYTHONPATH"] = path
    code = CHILD.format(bench=bench, series=series, n=n, workers=workers)
    run = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, cwd=bench
    )
    if run.returncode != 0:
        raise SystemExit(run.stderr[-2000:])
    return json.loads(run.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--series", nargs="+", default=["race", "walk"])
    parser.add_argument("--other", help="PYTHONPATH of another tree of the package")
    parser.add_argument("--repeats", type=int, default=1)
    args = parser.parse_args()
    load = os.getloadavg()
    print(
        f"`{command_line()}`; load average before: {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f}\n"
    )
    trees = [("this tree", None)] + ([("other tree", args.other)] if args.other else [])
    rows = []
    for series in args.series:
        for n in args.sizes:
            best: dict[tuple[str, int], dict] = {}
            for _ in range(args.repeats):
                for label, path in trees:
                    for workers in (1, 2):
                        r = fresh(series, n, workers, path)
                        key = (label, workers)
                        if key not in best or r["total"] < best[key]["total"]:
                            best[key] = r
            same = len({r["digest"] for r in best.values()}) == 1
            for label, _ in trees:
                one, two = best[(label, 1)], best[(label, 2)]
                rest1, rest2 = one["total"] - one["scan"], two["total"] - two["scan"]
                cpu1, cpu2 = one["cpu"] - one["cpu_scan"], two["cpu"] - two["cpu_scan"]
                rows.append(
                    [
                        series,
                        f"{n:,}",
                        label,
                        f"{fmt_seconds(one['total'])} / {fmt_seconds(two['total'])}",
                        f"**{one['total'] / two['total']:.2f}×**",
                        f"{fmt_seconds(one['scan'])} / {fmt_seconds(two['scan'])}",
                        f"{one['scan'] / two['scan']:.2f}×",
                        f"{fmt_seconds(rest1)} / {fmt_seconds(rest2)}",
                        f"{rest1 / rest2:.2f}×",
                        f"{cpu1:.2f} s / {cpu2:.2f} s",
                        "same" if same else "DIFFERENT",
                    ]
                )
    print(
        table(
            [
                "series",
                "n",
                "package",
                "detect, 1 / 2 threads",
                "1 → 2",
                "scan, 1 / 2",
                "1 → 2",
                "after the scan, 1 / 2",
                "1 → 2",
                "CPU after the scan, 1 / 2",
                "results of the cell",
            ],
            rows,
        )
    )
    load = os.getloadavg()
    print(f"\nload average after: {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f}")


if __name__ == "__main__":
    main()
