"""Runs B1-B8 one after another and writes their tables, with the commands, to a markdown file.

Sections of an existing file that are not B1-B8 (such as the quality table of
bench/quality.py) are kept as they are, after the benchmark sections.

Every benchmark runs with OPENBLAS_NUM_THREADS=1: numpy's OpenBLAS otherwise keeps threads
spinning after its calls, which on a small machine take cores from whichever library is being
measured. The load average before each benchmark is recorded, since a busy machine bends the
ratios (thread scaling above all).
"""

from __future__ import annotations

import argparse
import datetime
import os
import subprocess
import sys
import time

from _common import machine

BENCHMARKS = [
    (
        "B1",
        "Distance: `wasserstein_statistic` against `scipy.stats.wasserstein_distance`",
        "b1_distance.py",
        [],
    ),
    ("B2", "Detection: `scan_detector` against ruptures", "b2_detection.py", []),
    ("B3", "Scaling: time and peak memory per value", "b3_scaling.py", []),
    ("B4", "Threads: `RAYON_NUM_THREADS=1` against `=2`", "b4_threads.py", []),
    ("B5", "Conversions against a plain copy", "b5_conversion.py", []),
    ("B6", "Instruction count of a fixed call (callgrind)", "b6_instructions.py", []),
    # Without 65535: that many threads would take nearly every process id of the machine.
    (
        "B7",
        "Pool: a dedicated pool against as many plain threads",
        "b7_pool.py",
        ["--workers", "1", "64", "512", "2048", "8192", "16384"],
    ),
    ("B8", "Detection: `scan_detector` against skchange's moving window", "b8_skchange.py", []),
]

QUICK = {
    "B1": ["--sizes", "10", "1000", "100000", "--list-sizes", "1000"],
    "B2": ["--sizes", "10000", "100000", "--timeout", "20"],
    "B3": ["--sizes", "10000", "100000", "1000000"],
    "B4": ["--n", "300000", "--repeats", "3"],
    "B5": ["--n", "1000000"],
    "B6": [],
    "B7": ["--workers", "1", "64", "512", "2048", "8192", "--repeats", "3"],
    "B8": ["--sizes", "10000", "100000", "--repeats", "3"],
}


# The page's opening, kept by every run: where each table comes from, and where the rest went.
GUIDE = """\
The current table of each benchmark, with the command that makes it; the scripts are in
`bench/`. `make bench` rewrites the sections B1–B8 (`python bench/run_all.py --write
bench/RESULTS.md`, see `bench/README.md`), `python bench/quality.py --write bench/RESULTS.md` the
sections Quality Q1–Q3, and `python bench/defaults.py` prints Defaults D1; each run replaces its
own sections and keeps the others. What was measured before a change, tried and dropped, or
calibrated for one rule is in `bench/HISTORY.md`, in the order it happened; the D numbers
that the text cites (D14, D16, ...) are its sections.

| section | what | command |
|---|---|---|
| B1 | distance against scipy | `python bench/b1_distance.py --clock cpu` |
| B2 | detection against ruptures, skchange | `python bench/b2_detection.py`, `b2_race.py` |
| B3 | time and memory per value | `python bench/b3_scaling.py` |
| B4 | one thread against two | `python bench/b4_threads.py` |
| B5 | conversion against a copy | `python bench/b5_conversion.py` |
| B6 | instructions of a fixed call | `python bench/b6_instructions.py` |
| B7 | a dedicated pool against plain threads | `python bench/b7_pool.py` |
| B8 | detection against skchange's moving window | `python bench/b8_skchange.py` |
| Quality Q1–Q3 | real series, simulated families, false alarms | `python bench/quality.py` |
| Defaults D1 | each default rule against its alternative | `python bench/defaults.py --reps 20` |
| Defaults D3 | the cost of `vollan.detect` against one scan | `python bench/detect_cost.py` |
"""


def load_average() -> str:
    try:
        return " / ".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return "unknown"


def section_key(section: str) -> str:
    """ "B4" for a benchmark section ("## B4. Threads ..."), else the whole title line."""
    title = section[3:].split("\n", 1)[0]
    head = title.split(".", 1)[0]
    return head if any(head == key for key, *_ in BENCHMARKS) else title


def merge_sections(path: str, fresh: list[str], keep_benchmarks: bool) -> list[str]:
    """The benchmark sections in fresh, then (when keep_benchmarks) those of the file at path
    that were not re-run, in benchmark order; then every other section of the file (tables that
    other scripts add, such as the quality comparison) unchanged, in its order."""
    with open(path) as f:
        parts = ("\n" + f.read()).split("\n## ")[1:]
    existing = ["## " + p.rstrip("\n") + "\n" for p in parts]
    by_key = {section_key(sec): sec for sec in existing}
    benchmarks = {key for key, *_ in BENCHMARKS}
    if keep_benchmarks:
        chosen = {k: v for k, v in by_key.items() if k in benchmarks}
    else:
        chosen = {}
    chosen.update({section_key(sec): sec for sec in fresh})
    ordered = [chosen[key] for key, *_ in BENCHMARKS if key in chosen]
    return ordered + [sec for sec in existing if section_key(sec) not in benchmarks]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--write", help="markdown file to write (default: print)")
    parser.add_argument(
        "--only",
        nargs="+",
        help="benchmark ids to run, e.g. B1 B4; with --write, the other benchmark sections of "
        "the existing file are kept",
    )
    parser.add_argument("--quick", action="store_true", help="smaller sizes, a few minutes")
    parser.add_argument("--driver", default="build/bench/core_driver")
    args = parser.parse_args()

    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    env.pop("RAYON_NUM_THREADS", None)
    started = time.perf_counter()
    sections = []
    for key, title, script, extra in BENCHMARKS:
        if args.only and key not in args.only:
            continue
        cmd_args = list(extra) + (QUICK[key] if args.quick else [])
        if key in ("B4", "B6"):
            cmd_args += ["--driver", args.driver]
        load = load_average()
        print(f"running {key} ({script} {' '.join(cmd_args)}) ...", file=sys.stderr, flush=True)
        t0 = time.perf_counter()
        run = subprocess.run(
            [sys.executable, os.path.join(here, script), *cmd_args],
            capture_output=True,
            text=True,
            env=env,
        )
        took = time.perf_counter() - t0
        body = (
            run.stdout.strip()
            if run.returncode == 0
            else (f"failed (exit {run.returncode}):\n\n```\n{run.stderr.strip()[-2000:]}\n```")
        )
        when = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
        sections.append(
            f"## {key}. {title}\n\n{body}\n\n"
            f"_Run {when}, took {took:.0f} s; load average (1/5/15 min) before: {load}._\n"
        )
        print(f"  {key} took {took:.0f} s", file=sys.stderr, flush=True)
    total = time.perf_counter() - started

    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    written = (
        f"Sections B1–B8 written by `python bench/run_all.py{' --quick' if args.quick else ''}` "
        f"(what `make bench` runs) on {stamp}, in {total / 60:.1f} minutes.\n"
        f"Machine: {machine()}. Every ratio comes from measurements taken side by side in "
        "the same run (the contenders alternate within each repeat); times are medians.\n"
    )
    if args.write and os.path.exists(args.write):
        sections = merge_sections(args.write, sections, keep_benchmarks=bool(args.only))
        if args.only:
            written = written.replace(" (what `make bench` runs)", "").replace(
                " on ", f" (sections {', '.join(args.only)} refreshed) on ", 1
            )
    header = f"# Benchmark results\n\n{GUIDE}\n{written}"
    text = header + "\n" + "\n".join(sections)
    if args.write:
        with open(args.write, "w") as f:
            f.write(text)
    else:
        print(text)


if __name__ == "__main__":
    main()
