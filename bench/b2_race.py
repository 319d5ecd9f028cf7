"""The comparison a user makes: ``vollan.detect`` with its defaults against ruptures and skchange.

Every series has a level jump of 1-4 sd every 500 values plus N(0, 1) noise (the corpus's
``regular_steps``, seeded by its length). Peers:

- ruptures Pelt, Binseg, BottomUp (model "l2") and Window (model "l2", width 100), each with
  the BIC-like penalty 2 var(x) log n of ``protocol.bic_penalty`` (not told the number of
  changes); their time is fit + predict;
- every change detector of skchange at its defaults (MovingWindow, PELT, FPOP,
  SeededBinarySegmentation, CircularBinarySegmentation, CROPS, CAPA); time is fit + predict,
  after a warm-up call on a short series that compiles their numba kernels.

Each peer runs in a child process of its own. The clock of a run starts when the child has
imported and warmed up, and a run that takes longer than --timeout seconds is stopped and
reported as not run. A peer that took over --timeout / 10 seconds at the previous size is not
started at a size 10 times larger (its time grows at least linearly with n). Times are the
median of --repeats runs up to n = 10^4 and of one run above. F1 is at a margin of 5 against
the true change points; "faster by" is the peer's time over that of ``vollan.detect``.
"""

from __future__ import annotations

import argparse
import json
import os
import select
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass

import numpy as np
import protocol
from _common import command_line, fmt_seconds, machine, table
from corpus import Case, family_cases, regular_steps

import vollan

RUPTURES = ["Pelt", "Binseg", "BottomUp", "Window"]
SKCHANGE = [
    "MovingWindow",
    "PELT",
    "FPOP",
    "SeededBinarySegmentation",
    "CircularBinarySegmentation",
    "CROPS",
    "CAPA",
]
FACTOR = 10.0  # the verdict: is detect at least this many times faster

CHILD = """
import json, statistics, sys, time
sys.path.insert(0, {bench!r})
import numpy as np
from b2_race import race_case
library, name, n, repeats = {library!r}, {name!r}, {n}, {repeats}
if library == "ruptures":
    import ruptures as rpt
    from protocol import bic_penalty
    def run(x):
        options = {{"width": 100}} if name == "Window" else {{}}
        algo = getattr(rpt, name)(model="l2", **options).fit(x.reshape(-1, 1))
        return algo.predict(pen=bic_penalty(x))[:-1]
else:
    import skchange.detectors as skd
    def run(x):
        column = np.ascontiguousarray(x.reshape(-1, 1))
        return getattr(skd, name)().fit(column).predict(column)
    run(race_case(1000).values)  # compiles the numba kernels
x = race_case(n).values
print("ready", flush=True)
times = []
for _ in range(repeats):
    start = time.perf_counter()
    found = run(x)
    times.append(time.perf_counter() - start)
found = [int(c) for c in np.asarray(found).ravel()]
print(json.dumps({{"seconds": statistics.median(times), "found": found}}), flush=True)
"""


def race_case(n: int) -> Case:
    """The seeded series of length n: a jump of 1-4 sd every 500 values, N(0, 1) noise."""
    return family_cases(f"race n={n}", regular_steps(n), 1)[0]


@dataclass
class Run:
    seconds: float | None
    found: list[int]
    note: str = ""


def _read_line(proc: subprocess.Popen[str], deadline: float) -> str | None:
    """The child's next line of output, or None if the deadline passes first."""
    assert proc.stdout is not None
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        return None
    ready, _, _ = select.select([proc.stdout], [], [], remaining)
    if not ready:
        return None
    return proc.stdout.readline()


def run_peer(library: str, name: str, n: int, repeats: int, timeout: float) -> Run:
    bench = os.path.dirname(os.path.abspath(__file__))
    code = CHILD.format(bench=bench, library=library, name=name, n=n, repeats=repeats)
    proc = subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=bench,
    )
    try:
        # Imports, series and warm-up are not timed; they get a generous limit of their own.
        line = _read_line(proc, time.monotonic() + 600.0)
        if line is None or line.strip() != "ready":
            proc.kill()
            _, err = proc.communicate()
            last = err.strip().splitlines()[-1:] or ["no output"]
            return Run(None, [], f"failed before the timed run: {last[0][:80]}")
        line = _read_line(proc, time.monotonic() + timeout * repeats)
        if line is None:
            proc.kill()
            proc.communicate()
            return Run(None, [], f"not run (> {timeout:.0f} s)")
        if not line.strip():
            _, err = proc.communicate()
            last = err.strip().splitlines()[-1:] or ["no output"]
            return Run(None, [], f"failed: {last[0][:80]}")
        proc.communicate()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    result = json.loads(line)
    return Run(result["seconds"], result["found"])


def time_detect(x: np.ndarray, repeats: int) -> tuple[float, list[int]]:
    vollan.detect(race_case(1000).values)  # warm-up: first-use pool start, imports
    times = []
    found: list[int] = []
    for _ in range(repeats):
        start = time.perf_counter()
        found = [int(c) for c in vollan.detect(x).change_points]
        times.append(time.perf_counter() - start)
    return statistics.median(times), found


def ratio_text(ratio: float) -> str:
    return f"{ratio:.1f}×" if ratio >= 1.0 else f"{ratio:.2g}×"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 100_000, 1_000_000])
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("--repeats", type=int, default=3, help="runs per time up to n = 10^4")
    parser.add_argument(
        "--peers", nargs="+", default=None, help="only these peers (e.g. Pelt MovingWindow)"
    )
    args = parser.parse_args()

    import ruptures  # noqa: PLC0415
    import skchange  # noqa: PLC0415

    peers = [("ruptures", m) for m in RUPTURES] + [("skchange", m) for m in SKCHANGE]
    if args.peers:
        peers = [p for p in peers if p[1] in args.peers]
    print(f"`{command_line()}`\n")
    print(
        f"{machine()}; ruptures {ruptures.__version__}, skchange {skchange.__version__}; "
        f"load average before the run: {' '.join(f'{v:.2f}' for v in os.getloadavg())}\n"
    )
    rows = []
    verdicts = []
    previous: dict[tuple[str, str], tuple[int, float | None]] = {}
    failed: dict[tuple[str, str], str] = {}
    for n in sorted(args.sizes):
        case = race_case(n)
        truth = case.annotations
        repeats = args.repeats if n <= 10_000 else 1
        t_detect, found = time_detect(case.values, repeats)
        f1_detect = protocol.score(case, found)[1]
        label = f"{n:,}"
        rows.append(
            [
                label,
                "vollan.detect()",
                fmt_seconds(t_detect),
                f"{f1_detect:.3f}",
                f"{len(found):,} ({len(truth['truth']):,} true)",
                "1.0×",
            ]
        )
        slower_or_worse = []  # (name, faster by) of peers whose F1 is at least detect's
        not_run = []
        for library, name in peers:
            title = f"{library} {name}"
            if (library, name) in failed:
                rows.append([label, title, failed[(library, name)], "", "", ""])
                not_run.append(title)
                continue
            before = previous.get((library, name))
            if before is not None and (
                before[1] is None or before[1] * n / before[0] > args.timeout
            ):
                note = f"not run (> {args.timeout:.0f} s)"
                if before[1] is not None:
                    note += f"; {fmt_seconds(before[1])} at n = {before[0]:,}"
                rows.append([label, title, note, "", "", ""])
                not_run.append(title)
                previous[(library, name)] = (n, None)
                continue
            run = run_peer(library, name, n, repeats, args.timeout)
            previous[(library, name)] = (n, run.seconds)
            if run.seconds is None:
                if not run.note.startswith("not run"):
                    failed[(library, name)] = run.note
                rows.append([label, title, run.note, "", "", ""])
                not_run.append(title)
                continue
            f1 = protocol.score(case, run.found)[1]
            ratio = run.seconds / t_detect
            if f1 >= f1_detect:
                slower_or_worse.append((title, ratio))
            rows.append(
                [
                    label,
                    title,
                    fmt_seconds(run.seconds),
                    f"{f1:.3f}",
                    f"{len(run.found):,}",
                    ratio_text(ratio),
                ]
            )
        if slower_or_worse:
            worst = min(slower_or_worse, key=lambda p: p[1])
            yes = worst[1] >= FACTOR
            text = (
                f"{'yes' if yes else 'no'}: {len(slower_or_worse)} peer(s) with F1 ≥ "
                f"{f1_detect:.3f}; the fastest of them, {worst[0]}, takes "
                f"{ratio_text(worst[1])} the time of vollan.detect"
            )
        else:
            text = f"yes (vacuously): no peer that ran has F1 ≥ {f1_detect:.3f}"
        if not_run:
            text += f"; not run (> {args.timeout:.0f} s, F1 unknown): {', '.join(not_run)}"
        verdicts.append(
            f"- n = {label}: vollan.detect ≥ {FACTOR:.0f}× faster than every "
            f"peer with F1 ≥ its own? {text}"
        )
        print(f"done n = {label}", file=sys.stderr, flush=True)
    header = ["n", "method", "time", "F1 (margin 5)", "changes", "vollan.detect faster by"]
    print(table(header, rows))
    print()
    print("\n".join(verdicts))


if __name__ == "__main__":
    main()
