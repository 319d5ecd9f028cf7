"""The scan of ``vollan.detect`` as Python objects (``scan_detector``) and as flat buffers
(``vollan._kernels.scan_arrays`` wrapped by ``ScanView``), on the race series.

Both run the scan ``detect`` runs at its defaults (its window sizes and replicates for the
length, its alpha and change type) on the race series of ``b2_race.py``, with a dedicated pool
of 1 and of 2 threads (``workers=``). Every measurement runs in a fresh child process, the
contenders alternating within each repeat, so that each peak RSS is that call's own:

- time: wall-clock seconds of the call (for ``scan_arrays``, with the wrapping into a
  ``ScanView``), and the CPU seconds of the child (all its threads) over the call, which other
  load on a shared machine bends far less;
- peak RSS: the child's peak resident memory, and that peak less the resident memory just
  before the call, per value scanned;
- to_raw: for ``scan_arrays``, the time ``ScanView.to_raw()`` then takes to build the dict
  ``scan_detector`` returns (what a caller pays who still asks for it).

Times are medians over ``--repeats`` runs (one at 10^6 unless asked otherwise).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

from _common import command_line, fmt_seconds, machine, table

BENCH = os.path.dirname(os.path.abspath(__file__))

CHILD = """
import inspect, json, resource, sys, time
sys.path.insert(0, {bench!r})
from b2_race import race_case
import _vollan_native
import vollan
from vollan._scale import default_n_perm, default_window_sizes
from vollan._scanview import scan_view

variant, n, workers = {variant!r}, {n}, {workers}
defaults = inspect.signature(vollan.detect).parameters
alpha = defaults["alpha"].default

def options(length):
    sizes = default_window_sizes(length)
    return dict(window_sizes=sizes, n_perm=default_n_perm(length, sizes[0], alpha), alpha_q=alpha,
                change_type=defaults["change_type"].default, workers=workers)

call = _vollan_native.scan_detector if variant == "scan_detector" else scan_view
call(race_case(2_000).values, **options(2_000))  # loads what the first call touches
x = race_case(n).values
opts = options(n)

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

before = rss()
start, cpu_start = time.perf_counter(), time.process_time()
result = call(x, **opts)
seconds, cpu = time.perf_counter() - start, time.process_time() - cpu_start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
to_raw = None
if variant == "scan_arrays":
    start = time.perf_counter()
    raw = result.to_raw()
    to_raw = time.perf_counter() - start
print(json.dumps(dict(seconds=seconds, cpu=cpu, peak=peak, extra=peak - before, to_raw=to_raw,
                      sizes=len(opts["window_sizes"]), n_perm=opts["n_perm"])))
"""

VARIANTS = ["scan_detector", "scan_arrays"]


def run_child(variant: str, n: int, workers: int) -> dict[str, float]:
    code = CHILD.format(bench=BENCH, variant=variant, n=n, workers=workers)
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1"}
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=600, env=env
    )
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--repeats-large", type=int, default=1, help="repeats from n = 10^6")
    args = parser.parse_args()

    print(f"`{command_line()}`\n")
    print(f"Machine: {machine()}; load average before: {os.getloadavg()[0]:.2f}\n")
    rows = []
    for n in args.sizes:
        repeats = args.repeats if n < 1_000_000 else args.repeats_large
        runs: dict[tuple[str, int], list[dict[str, float]]] = {}
        for _ in range(repeats):
            for workers in args.workers:
                for variant in VARIANTS:
                    runs.setdefault((variant, workers), []).append(run_child(variant, n, workers))
        for workers in args.workers:
            med = {
                v: {
                    k: statistics.median(r[k] for r in runs[(v, workers)])
                    for k in ("seconds", "cpu", "peak", "extra")
                }
                for v in VARIANTS
            }
            first = runs[("scan_detector", workers)][0]
            to_raw = statistics.median(r["to_raw"] for r in runs[("scan_arrays", workers)])
            rows.append(
                [
                    f"{n:,}",
                    workers,
                    f"{first['sizes']} / {first['n_perm']}",
                    fmt_seconds(med["scan_detector"]["seconds"]),
                    fmt_seconds(med["scan_arrays"]["seconds"]),
                    f"**{med['scan_detector']['seconds'] / med['scan_arrays']['seconds']:.2f}×**",
                    fmt_seconds(med["scan_detector"]["cpu"]),
                    fmt_seconds(med["scan_arrays"]["cpu"]),
                    f"{med['scan_detector']['cpu'] / med['scan_arrays']['cpu']:.3f}×",
                    f"{med['scan_detector']['peak'] / 2**20:.0f} MiB",
                    f"{med['scan_arrays']['peak'] / 2**20:.0f} MiB",
                    f"{med['scan_detector']['extra'] / n:.0f} B",
                    f"{med['scan_arrays']['extra'] / n:.0f} B",
                    fmt_seconds(to_raw),
                ]
            )
        print(f"n = {n:,} done ({repeats} repeat(s))", file=sys.stderr)
    header = [
        "n",
        "workers",
        "sizes / n_perm",
        "scan_detector",
        "scan_arrays",
        "faster by",
        "CPU, detector",
        "CPU, arrays",
        "CPU ratio",
        "peak RSS, detector",
        "peak RSS, arrays",
        "call's memory per value, detector",
        "call's memory per value, arrays",
        "to_raw()",
    ]
    print(table(header, rows))


if __name__ == "__main__":
    main()
