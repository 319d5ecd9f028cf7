"""B4: scan_detector with RAYON_NUM_THREADS=1 against =2, in one run.

Two worker processes, one per thread count (the shared pool reads the variable once), are
started together and asked in turn for one call each, so that both see the same machine state.
The same comparison is made for the core alone (bench/core_driver, its own series of the same
kind), which shows how much of the end-to-end ratio the serial building of the Python result
takes away.

With ``--before PATH`` (a directory holding another build of ``_vollan_native`` and, optionally,
its ``vollan`` package), two more workers run that build, asked in the same rounds, so that the
rows of both builds are measured side by side.

Each call also reports the CPU time of the calling thread (which holds the interpreter lock and
builds the Python result) and of the whole process; a second table gives their medians, which a
machine shared with other work bends far less than the wall-clock times.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys

from _common import command_line, fmt_seconds, table

WORKER = """
import sys, time
sys.path.insert(0, {bench!r})
import vollan
from _common import change_series, null_series
x = (change_series if {kind!r} == "change" else null_series)({n})
vollan.scan_detector(x[:1000])
print("ready", flush=True)
for line in sys.stdin:
    start = time.perf_counter()
    thread_start = time.thread_time()
    process_start = time.process_time()
    result = vollan.scan_detector(x)
    seconds = time.perf_counter() - start
    thread_seconds = time.thread_time() - thread_start
    process_seconds = time.process_time() - process_start
    del result
    print(seconds, thread_seconds, process_seconds, flush=True)
"""


def start_worker(
    threads: int, n: int, kind: str, pythonpath: str | None = None
) -> subprocess.Popen[str]:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    code = WORKER.format(bench=os.path.dirname(os.path.abspath(__file__)), n=n, kind=kind)
    proc = subprocess.Popen(
        [sys.executable, "-c", code],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert proc.stdout is not None and proc.stdout.readline().strip() == "ready"
    return proc


def call(proc: subprocess.Popen[str]) -> tuple[float, float, float]:
    """Wall-clock, calling-thread CPU and process CPU seconds of one call."""
    assert proc.stdin is not None and proc.stdout is not None
    proc.stdin.write("go\n")
    proc.stdin.flush()
    wall, thread_cpu, process_cpu = (float(v) for v in proc.stdout.readline().split())
    return wall, thread_cpu, process_cpu


def core_seconds(driver: str, threads: int, n: int, kind: str) -> float:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run(
        [driver, str(n), kind, "3"], capture_output=True, text=True, env=env, check=True
    ).stdout
    return float(re.search(r"best_seconds=([\d.]+)", out).group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--driver", default="build/bench/core_driver")
    parser.add_argument(
        "--before", default=None, help="PYTHONPATH of an earlier build to measure alongside"
    )
    parser.add_argument("--before-label", default="before")
    args = parser.parse_args()

    builds: list[tuple[str, str | None]] = [("", None)]
    if args.before:
        builds = [(f"{args.before_label}: ", args.before), ("after: ", None)]
    rows = []
    cpu_rows = []
    for kind in ("change", "null"):
        label = "change every 250 values" if kind == "change" else "null (no change)"
        workers = [
            (start_worker(1, args.n, kind, path), start_worker(2, args.n, kind, path))
            for _, path in builds
        ]
        times: list[tuple[list[tuple[float, float, float]], list[tuple[float, float, float]]]] = [
            ([], []) for _ in builds
        ]
        for _ in range(args.repeats):
            for (one, two), (t1, t2) in zip(workers, times, strict=True):
                t1.append(call(one))
                t2.append(call(two))
        for pair in workers:
            for proc in pair:
                assert proc.stdin is not None
                proc.stdin.close()
                proc.wait()
        for (prefix, _), (t1, t2) in zip(builds, times, strict=True):
            m1 = statistics.median(t[0] for t in t1)
            m2 = statistics.median(t[0] for t in t2)
            cpu_rows.append(
                [
                    f"{prefix}scan_detector, {label}",
                    *(
                        fmt_seconds(statistics.median(t[k] for t in ts))
                        for k in (1, 2)
                        for ts in (t1, t2)
                    ),
                ]
            )
            rows.append(
                [
                    f"{prefix}scan_detector, {label}",
                    f"{args.n:,}",
                    fmt_seconds(m1),
                    fmt_seconds(m2),
                    f"**{m1 / m2:.2f}×**",
                ]
            )
        if os.path.exists(args.driver):
            c1: list[float] = []
            c2: list[float] = []
            for _ in range(3):
                c1.append(core_seconds(args.driver, 1, args.n, kind))
                c2.append(core_seconds(args.driver, 2, args.n, kind))
            m1, m2 = statistics.median(c1), statistics.median(c2)
            rows.append(
                [
                    f"core only, {label}",
                    f"{args.n:,}",
                    fmt_seconds(m1),
                    fmt_seconds(m2),
                    f"{m1 / m2:.2f}×",
                ]
            )
    print(f"`{command_line()}`\n")
    print(table(["series", "n", "1 thread", "2 threads", "speed-up"], rows))
    print("\nCPU time per call (medians of the same calls):\n")
    print(
        table(
            [
                "series",
                "calling thread, 1 thread",
                "calling thread, 2 threads",
                "process, 1 thread",
                "process, 2 threads",
            ],
            cpu_rows,
        )
    )


if __name__ == "__main__":
    main()
