"""B7: cost of a dedicated worker pool against creating and joining as many plain threads.

`scan_detector` on 40 values with `workers=W` starts a pool of W threads, runs eleven small
windows on it and tears it down; next to it, W plain threads (pthread_create with default
attributes, each running an empty function, then pthread_join) are timed in the same process,
the contenders alternating within every repeat; so are W plain threads that all stay alive
until the last has started, as a pool's threads do. A pool that costs a constant multiple of
the plain threads scales linearly with its size.

Each build of the extension (`--build label=DIR`, DIR holding `_vollan_native`; without one,
the installed module) runs in processes of its own, one per W, with a time limit.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

from _common import command_line, fmt_seconds, table

WORKER = r"""
import ctypes, json, random, statistics, sys, time
if {module_dir!r}:
    sys.path.insert(0, {module_dir!r})
import _vollan_native as native

libc = ctypes.CDLL(None, use_errno=True)
libc.pthread_create.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
libc.pthread_join.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
libc.sem_init.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint]
libc.sem_post.argtypes = [ctypes.c_void_p]
empty = ctypes.cast(libc.getpid, ctypes.c_void_p)
wait = ctypes.cast(libc.sem_wait, ctypes.c_void_p)
sem = ctypes.create_string_buffer(64)
libc.sem_init(sem, 0, 0)

def plain(n, alive):
    # alive: every thread blocks on a semaphore until all have started, as a pool's threads do.
    ids = (ctypes.c_ulong * n)()
    entry, arg = (wait, ctypes.addressof(sem)) if alive else (empty, None)
    start = time.perf_counter()
    made = 0
    while made < n and libc.pthread_create(ctypes.byref(ids, 8 * made), None, entry, arg) == 0:
        made += 1
    if alive:
        for _ in range(made):
            libc.sem_post(sem)
    for i in range(made):
        libc.pthread_join(ids[i], None)
    return time.perf_counter() - start, made

rng = random.Random(7)
series = [rng.gauss(0.0, 1.0) + (3.0 if i >= 20 else 0.0) for i in range(40)]

def scan(w):
    start = time.perf_counter()
    try:
        native.scan_detector(series, workers=w)
        outcome = "result"
    except Exception as exc:
        outcome = f"{{type(exc).__name__}}: {{exc}}"
    return time.perf_counter() - start, outcome

w = {workers}
with_plain = {with_plain}
plain(64, False)
plain(64, True)
plain_s, alive_s, scan_s = [], [], []
made = 0
for _ in range({repeats}):
    if with_plain:
        seconds, made = plain(w, False)
        plain_s.append(seconds)
        seconds, _ = plain(w, True)
        alive_s.append(seconds)
    seconds, outcome = scan(w)
    scan_s.append(seconds)
median = lambda s: statistics.median(s) if s else None
print(json.dumps(dict(plain=median(plain_s), made=made, alive=median(alive_s),
                      scan=median(scan_s), outcome=outcome)))
"""


def measure(
    module_dir: str, workers: int, repeats: int, timeout: float, with_plain: bool
) -> dict | None:
    code = WORKER.format(
        module_dir=module_dir, workers=workers, repeats=repeats, with_plain=with_plain
    )
    try:
        run = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout
        )
    except subprocess.TimeoutExpired:
        return None
    if run.returncode != 0:
        return {"error": run.stderr.strip().splitlines()[-1] if run.stderr.strip() else "?"}
    return json.loads(run.stdout)


def cells(m: dict | None, timeout: float) -> list[str]:
    if m is None:
        return [f"> {timeout:.0f} s (stopped)", "", ""]
    if "error" in m:
        return [f"crashed: {m['error']}", "", ""]
    outcome = "" if m["outcome"] == "result" else m["outcome"]
    ratio = f"{m['scan'] / m['plain']:.1f}×" if m["plain"] else ""
    return [fmt_seconds(m["scan"]), ratio, outcome]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--workers", type=int, nargs="+", default=[1, 64, 512, 2048, 8192, 16384, 65535]
    )
    parser.add_argument("--repeats", type=int, default=5, help="repeats up to 2,048 threads")
    parser.add_argument("--timeout", type=float, default=180.0, help="seconds per process")
    parser.add_argument(
        "--build",
        action="append",
        default=[],
        help="label=DIR of a build of _vollan_native; repeatable",
    )
    parser.add_argument(
        "--plain-up-to",
        type=int,
        default=16384,
        help="largest W with plain threads timed: the process ids of the whole "
        "machine (kernel.pid_max) run out near 32,768 threads, and holding them "
        "all stops other processes from starting anything",
    )
    parser.add_argument(
        "--skip",
        nargs="+",
        default=[],
        help="label:W pairs not to run, e.g. before:65535 (minutes of all process ids held)",
    )
    args = parser.parse_args()
    builds = [tuple(b.split("=", 1)) for b in args.build] or [("installed", "")]

    header = ["workers", "plain threads", "plain, all alive"]
    for label, _ in builds:
        header += [f"pool, {label}", f"{label} / plain", f"{label} outcome"]
    rows = []
    for w in args.workers:
        repeats = args.repeats if w <= 2048 else 1
        row: list[str] = [f"{w:,}", "", ""]
        for label, module_dir in builds:
            if f"{label}:{w}" in args.skip:
                row += ["not run", "", ""]
                continue
            m = measure(
                os.path.abspath(module_dir) if module_dir else "",
                w,
                repeats,
                args.timeout,
                w <= args.plain_up_to,
            )
            print(f"{label} W={w}: {m}", file=sys.stderr, flush=True)
            if m is not None and m.get("plain") and not row[1]:
                refused = f" (refused after {m['made']:,})" if m["made"] < w else ""
                row[1] = fmt_seconds(m["plain"]) + refused
                row[2] = fmt_seconds(m["alive"])
            row += cells(m, args.timeout)
        if not row[1]:
            row[1] = row[2] = "not timed"
        rows.append(row)

    print(f"`{command_line()}`\n")
    print(
        "`scan_detector` on 40 values with `workers=W` (pool start, eleven windows, teardown) "
        "against starting and joining W plain threads in the same process, alternating: threads "
        "that return at once (glibc reuses their stacks), and threads that all stay alive until "
        "the last has started, as a pool's do; "
        f"medians of {args.repeats} repeats up to 2,048 threads, one above. The ratio is pool "
        "time over the time of plain threads that return at once, in the same process.\n"
    )
    print(table(header, rows))


if __name__ == "__main__":
    main()
