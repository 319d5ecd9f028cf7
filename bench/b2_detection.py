"""B2: scan_detector with defaults against ruptures' fastest fitting methods on the same series.

The series has a new level every 250 values. ruptures gets its defaults (min_size=2, jump=5,
Window width=100) and is told the true number of changes (Binseg, BottomUp, Window) or a
BIC-like penalty 3 log n for unit noise (Pelt). Every ruptures fit runs in a subprocess that is
stopped after --timeout seconds; its time is fit + predict.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

import ruptures
from _common import (
    change_series,
    command_line,
    fmt_seconds,
    inner_count,
    side_by_side,
    table,
    true_change_count,
)

import vollan

METHODS = [
    ("Binseg", "l2"),
    ("BottomUp", "l2"),
    ("Window", "l2"),
    ("Pelt", "l2"),
    ("Binseg", "rbf"),
    ("BottomUp", "rbf"),
    ("Window", "rbf"),
    ("Pelt", "rbf"),
]

CHILD = """
import json, math, sys, time
sys.path.insert(0, {bench!r})
import ruptures as rpt
from _common import change_series, true_change_count
n, method, model = {n}, {method!r}, {model!r}
x = change_series(n)
algo = getattr(rpt, method)(model=model)
times = []
while True:
    start = time.perf_counter()
    fitted = algo.fit(x)
    if method == "Pelt":
        bkps = fitted.predict(pen=3 * math.log(n))
    else:
        bkps = fitted.predict(n_bkps=true_change_count(n))
    times.append(time.perf_counter() - start)
    if len(times) == 3 or sum(times) > 2.0:
        break
print(json.dumps({{"seconds": sorted(times)[len(times) // 2], "found": len(bkps) - 1}}))
"""


def run_ruptures(n: int, method: str, model: str, timeout: float) -> tuple[float | None, str]:
    if model == "rbf" and n > 20_000:
        gib = n * n * 8 / 2**30
        return None, f"not run: the rbf cost holds an n × n Gram matrix ({gib:,.0f} GiB)"
    code = CHILD.format(
        bench=os.path.dirname(os.path.abspath(__file__)), n=n, method=method, model=model
    )
    try:
        out = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            timeout=timeout,
            check=True,
        )
    except subprocess.TimeoutExpired:
        return None, f"not run: > {timeout:.0f} s"
    except subprocess.CalledProcessError as exc:
        last = exc.stderr.strip().splitlines()[-1:] or ["failed"]
        return None, f"failed: {last[0][:80]}"
    result = json.loads(out.stdout)
    return result["seconds"], str(result["found"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument(
        "--ruptures-max", type=int, default=100_000, help="largest n at which ruptures is run"
    )
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    print(f"`{command_line()}` (ruptures {ruptures.__version__})\n")
    for n in args.sizes:
        x = change_series(n)
        repeats = args.repeats if n <= 100_000 else max(1, args.repeats // 2)
        inner = inner_count(lambda x=x: vollan.scan_detector(x), 0.1)
        (t_ours,) = side_by_side([lambda x=x: vollan.scan_detector(x)], repeats, inner)
        found = len(vollan.scan_detector(x)["out"]["leaders_probs"])
        rows = [["vollan scan_detector", "defaults", fmt_seconds(t_ours), str(found), "1.0×"]]
        timings = []
        for method, model in METHODS:
            if n > args.ruptures_max:
                rows.append(
                    [f"ruptures {method}", model, "not run: n above --ruptures-max", "", ""]
                )
                continue
            seconds, found_text = run_ruptures(n, method, model, args.timeout)
            if seconds is None:
                rows.append([f"ruptures {method}", model, found_text, "", ""])
                continue
            timings.append((seconds, method, model))
            rows.append([f"ruptures {method}", model, seconds, found_text, ""])
        # vollan again after the peers: the ratios use the mean of both medians.
        (t_after,) = side_by_side([lambda x=x: vollan.scan_detector(x)], repeats, inner)
        t_ours = statistics.mean([t_ours, t_after])
        rows[0][2] = fmt_seconds(t_ours)
        for row in rows[1:]:
            if isinstance(row[2], float):
                row[4] = f"**{row[2] / t_ours:.1f}×**"
                row[2] = fmt_seconds(row[2])
        print(f"n = {n:,} ({true_change_count(n):,} true changes)\n")
        print(table(["method", "model", "time", "changes found", "vollan faster by"], rows))
        if timings:
            best, method, model = min(timings)
            print(
                f"\nFastest ruptures method: {method} ({model}), {fmt_seconds(best)}: "
                f"vollan is **{best / t_ours:.1f}×** faster.\n"
            )
        else:
            print()


if __name__ == "__main__":
    main()
