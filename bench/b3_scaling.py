"""B3: scan_detector time and peak memory per value from n = 1e4 to 1e7 (linear growth).

Every (series, n) runs in a fresh process, so that the peak resident memory of the call is its
own: the peak is reset (Linux /proc/self/clear_refs) after the series is built, and the
increase over the resident size at that moment is compared with the size of the result objects
themselves (every list, dict, tuple, float and int of the returned dictionary, each object once).

``--detect`` measures ``vollan.detect`` at its defaults instead, on white noise and on the race
series of ``b2_race.py``: its peak resident memory beyond the resident size with the series
already built (the input), per value, after one small call has imported the pipeline.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

from _common import command_line, fmt_seconds, table

# A resident-size reader the child processes share (kilobytes of a /proc/self/status field).
RSS_KIB = """
def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)
"""

CHILD = """
import gc, json, sys, time
sys.path.insert(0, {bench!r})
import vollan
from _common import change_series, null_series

{rss_kib}
def deep_size(obj, seen):
    if id(obj) in seen:
        return 0
    seen.add(id(obj))
    size = sys.getsizeof(obj)
    if isinstance(obj, dict):
        size += sum(deep_size(k, seen) + deep_size(v, seen) for k, v in obj.items())
    elif isinstance(obj, (list, tuple)):
        size += sum(deep_size(v, seen) for v in obj)
    return size

n, kind, repeats = {n}, {kind!r}, {repeats}
x = (change_series if kind == "change" else null_series)(n)
vollan.scan_detector(x[:1000])  # the worker pool starts here, not inside the measurement
times = []
peak = None
for r in range(repeats):
    gc.collect()
    base = rss_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    start = time.perf_counter()
    result = vollan.scan_detector(x)
    times.append(time.perf_counter() - start)
    if r == 0:
        peak = (rss_kib("VmHWM") - base) * 1024
        result_bytes = deep_size(result, set())
        leaders = len(result["out"]["leaders_probs"])
    del result
print(json.dumps({{"seconds": sorted(times)[len(times) // 2], "peak": peak,
                  "result": result_bytes, "leaders": leaders}}))
"""


DETECT_CHILD = """
import gc, json, sys, time
sys.path.insert(0, {bench!r})
import numpy as np
import vollan
from _common import null_series

{rss_kib}
n, kind = {n}, {kind!r}
if kind == "race":
    from b2_race import race_case
    x = np.asarray(race_case(n).values, dtype=float)
else:
    x = null_series(n)
vollan.detect(null_series(2000))  # imports and the worker pool, outside the measurement
gc.collect()
base = rss_kib("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
start = time.perf_counter()
found = vollan.detect(x)
seconds = time.perf_counter() - start
peak = (rss_kib("VmHWM") - base) * 1024
print(json.dumps({{"seconds": seconds, "peak": peak, "total": rss_kib("VmHWM") * 1024,
                  "changes": len(found.changes)}}))
"""


def measure_detect(n: int, kind: str) -> dict[str, float]:
    code = DETECT_CHILD.format(
        rss_kib=RSS_KIB, bench=os.path.dirname(os.path.abspath(__file__)), n=n, kind=kind
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main_detect(sizes: list[int]) -> None:
    rows = []
    for kind in ("null", "race"):
        for n in sizes:
            m = measure_detect(n, kind)
            rows.append(
                [
                    "white noise" if kind == "null" else "race",
                    f"{n:,}",
                    fmt_seconds(m["seconds"]),
                    f"{m['total'] / 2**20:.0f} MiB",
                    f"{m['peak'] / 2**20:.0f} MiB",
                    f"{m['peak'] / n:.0f} B",
                    str(m["changes"]),
                ]
            )
            print(" | ".join(rows[-1]), file=sys.stderr, flush=True)
    header = ["series", "n", "time", "peak RSS", "peak beyond the input", "per value", "changes"]
    print(table(header, rows))


def measure(n: int, kind: str, repeats: int) -> dict[str, float]:
    code = CHILD.format(
        rss_kib=RSS_KIB,
        bench=os.path.dirname(os.path.abspath(__file__)),
        n=n,
        kind=kind,
        repeats=repeats,
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000, 10_000_000]
    )
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument(
        "--detect", action="store_true", help="vollan.detect's peak memory instead (one run each)"
    )
    args = parser.parse_args()

    print(f"`{command_line()}`\n")
    if args.detect:
        main_detect(args.sizes)
        return
    for kind in ("change", "null"):
        rows = []
        per_value = {}
        for n in args.sizes:
            m = measure(n, kind, args.repeats)
            per_value[n] = m["seconds"] / n
            rows.append(
                [
                    f"{n:,}",
                    fmt_seconds(m["seconds"]),
                    f"{m['seconds'] / n * 1e9:.0f} ns",
                    f"{m['peak'] / n:.0f} B",
                    f"{m['result'] / n:.0f} B",
                    f"{m['peak'] / m['result']:.2f}",
                    str(m["leaders"]),
                ]
            )
        label = "change every 250 values" if kind == "change" else "null (no change)"
        print(f"Series: {label}\n")
        print(
            table(
                [
                    "n",
                    "time",
                    "time per value",
                    "peak memory per value",
                    "result objects per value",
                    "peak / result",
                    "leaders",
                ],
                rows,
            )
        )
        if 100_000 in per_value and 10_000_000 in per_value:
            ratio = per_value[10_000_000] / per_value[100_000]
            print(f"\nTime per value at 1e7 / at 1e5: **{ratio:.2f}**\n")
        else:
            print()


if __name__ == "__main__":
    main()
