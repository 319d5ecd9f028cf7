"""Threads, processes and pools: results never depend on who calls, from where, or how often.

Scripts that fork run in a subprocess of their own: the interpreter warns about fork() in a
process with threads (the pool's), and a hang there must not take the test run with it.
"""

from __future__ import annotations

import copy
import os
import pickle
import random
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable
from typing import Any

import pytest

import _vollan_native as native
import vollan

NAMES = native.__all__


def series(n: int = 180, seed: int = 4) -> list[float]:
    rng = random.Random(seed)
    return [rng.gauss(0.0, 1.0) + (3.0 if i > n // 2 else 0.0) for i in range(n)]


SERIES = series()
CALLS: list[tuple[str, Callable[[], Any]]] = [
    ("detector", lambda: native.scan_detector(SERIES, window_sizes=[8, 9, 10, 12], n_perm=70)),
    (
        "detector, dedicated pool",
        lambda: native.scan_detector(SERIES, window_sizes=[9, 11], n_perm=64, workers=2, seed=5),
    ),
    ("single window", lambda: native.scan_single_window(SERIES, 6, n_perm=90, seed=3)),
    ("cusum", lambda: native.refine_cusum(SERIES)),
    ("wasserstein split", lambda: native.refine_wasserstein(SERIES)),
    ("swal", lambda: native.swal_statistic(SERIES, "var")),
    ("distance", lambda: native.wasserstein_statistic(SERIES[:70], SERIES[70:])),
    ("ipm", lambda: native.ipm_statistic(SERIES[:50], SERIES[50:])),
    ("error", lambda: native.scan_detector(SERIES, window_sizes=[10, 2])),
]


def outcome(call: Callable[[], Any]) -> str:
    """repr keeps every bit of the floats in a result, NaN included."""
    try:
        return repr(call())
    except ValueError as exc:
        return f"ValueError: {exc}"


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def settled_thread_count(expected: int, within: float = 2.0) -> int:
    """The thread count once it reaches ``expected`` or ``within`` seconds have passed: a joined
    thread can stay listed in /proc for a moment while the kernel finishes its exit."""
    deadline = time.monotonic() + within
    count = thread_count()
    while count != expected and time.monotonic() < deadline:
        time.sleep(0.005)
        count = thread_count()
    return count


def run_script(code: str, env: dict[str, str] | None = None, timeout: float = 240) -> list[str]:
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full_env.update(env or {})
    out = subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error", "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def test_many_threads_calling_at_once_get_the_serial_results() -> None:
    expected = {name: outcome(call) for name, call in CALLS}
    n_threads = 8
    barrier = threading.Barrier(n_threads)
    mismatches: list[str] = []
    failures: list[BaseException] = []

    def worker(k: int) -> None:
        try:
            order = CALLS * 3
            random.Random(k).shuffle(order)
            barrier.wait()
            for name, call in order:
                got = outcome(call)
                if got != expected[name]:
                    mismatches.append(f"thread {k}: {name}")
        except BaseException as exc:  # noqa: B036 - reported below, on the test's thread
            failures.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a calling thread hangs"
    assert not failures, failures
    assert not mismatches, mismatches


class Yields:
    """A number whose conversion lets other threads run (and call the module) meanwhile."""

    def __init__(self, value: float) -> None:
        self.value = value

    def __float__(self) -> float:
        time.sleep(0)
        return self.value


class CallsBack:
    """A number whose conversion calls the module again and checks what it gets."""

    def __init__(self, value: float, expected: dict[str, str]) -> None:
        self.value = value
        self.expected = expected

    def __float__(self) -> float:
        for name, call in CALLS:
            assert outcome(call) == self.expected[name], name
        return self.value


def test_calls_made_while_another_call_converts_its_arguments() -> None:
    # Conversion runs Python code, so the module can be entered again from there or from another
    # thread before the first call reaches the pool.
    expected = {name: outcome(call) for name, call in CALLS}
    kw: dict[str, Any] = {"window_sizes": [8, 10, 13], "n_perm": 64, "seed": 8}
    plain = repr(native.scan_detector(SERIES, **kw))
    slow: list[Any] = [Yields(v) for v in SERIES]
    slow[40] = CallsBack(SERIES[40], expected)
    results: list[str] = []
    failures: list[BaseException] = []

    def worker() -> None:
        try:
            for _ in range(2):
                results.append(repr(native.scan_detector(slow, **kw)))
                results.append(repr(native.scan_detector(SERIES, **kw)))
        except BaseException as exc:  # noqa: B036 - reported below, on the test's thread
            failures.append(exc)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not failures, failures
    assert results == [plain] * 16


@pytest.mark.parametrize("name", NAMES)
def test_functions_pickle_and_copy_to_themselves(name: str) -> None:
    fn = getattr(native, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
        assert pickle.loads(pickle.dumps(getattr(vollan, name), protocol)) is fn
    assert copy.copy(fn) is fn
    assert copy.deepcopy(fn) is fn


def test_dedicated_pools_of_1_to_64_threads_leave_no_thread_behind() -> None:
    kw: dict[str, Any] = {"window_sizes": [8, 9, 10, 11, 12, 13], "n_perm": 64, "seed": 2}
    expected = repr(native.scan_detector(SERIES, **kw))
    baseline = thread_count()
    for _ in range(2):
        for workers in range(1, 65):
            got = repr(native.scan_detector(SERIES, **kw, workers=workers))
            assert got == expected, f"workers={workers} changed the result"
            left = settled_thread_count(baseline)
            assert left == baseline, f"workers={workers} left threads running"


FORK_SCRIPT = """
import os, select, sys, warnings
warnings.filterwarnings(
    "ignore", message=r".*multi-threaded, use of fork", category=DeprecationWarning
)
import _vollan_native as native

s = [float((i * 7919) % 23) + (5.0 if i > 120 else 0.0) for i in range(240)]

def calls():
    return repr((
        native.scan_detector(s, window_sizes=[8, 10, 12, 15], n_perm=80, seed=1),
        native.scan_detector(s, window_sizes=[9, 11], n_perm=64, workers=3),
        native.scan_single_window(s, 7, n_perm=100),
    ))

before = calls()  # the shared pool and a dedicated pool have run

def child_ok(depth):
    if calls() != before:
        return False
    if depth == 0:
        return True
    return forked(depth - 1)

def forked(depth):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        ok = child_ok(depth)
        os.write(w, b"ok" if ok else b"differs")
        os._exit(0)
    os.close(w)
    ready, _, _ = select.select([r], [], [], 120)
    if not ready:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hangs")
        return False
    answer = os.read(r, 16)
    _, status = os.waitpid(pid, 0)
    if answer != b"ok" or status != 0:
        print("child:", answer, status)
        return False
    return True

print(forked(1))     # a child, and a grandchild forked from a child that used its own pool
print(calls() == before)  # the parent's pool is untouched by the children
"""


def test_fork_after_the_pool_was_used() -> None:
    assert run_script(FORK_SCRIPT) == ["True", "True"]


MP_SCRIPT = """
import multiprocessing as mp, sys, warnings
warnings.filterwarnings(
    "ignore", message=r".*multi-threaded, use of fork", category=DeprecationWarning
)
import _vollan_native as native

method = sys.argv[1] if len(sys.argv) > 1 else "{method}"
s = [float((i * 104729) % 31) + (4.0 if i > 100 else 0.0) for i in range(200)]
jobs = [(s, [8, 10, 12], 70, 1.0, seed) for seed in range(6)]
serial = [repr(native.scan_detector(*job)) for job in jobs]
pairs = [(s[:80], s[80:])] * 3

if __name__ == "__main__":
    with mp.get_context(method).Pool(2) as pool:
        parallel = [repr(r) for r in pool.starmap(native.scan_detector, jobs)]
        distances = pool.starmap(native.wasserstein_statistic, pairs)
        cusum = pool.map(native.refine_cusum, [s] * 4)
    print(parallel == serial)
    print(distances == [native.wasserstein_statistic(*p) for p in pairs])
    print(cusum == [native.refine_cusum(s)] * 4)
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_pools_reproduce_serial_results(method: str, tmp_path: Any) -> None:
    # spawn and forkserver import the main module again: it must be a file.
    script = tmp_path / "mp_script.py"
    script.write_text(textwrap.dedent(MP_SCRIPT.replace("{method}", method)))
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    out = subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error", str(script)],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["True", "True", "True"]


ENV_SCRIPT = """
import os
import _vollan_native as native

def threads():
    return len(os.listdir("/proc/self/task"))

s = [float(i % 9) for i in range(120)]
kw = dict(window_sizes=[8, 9, 10], n_perm=64)
assert threads() == 1  # importing starts no thread
os.environ.update({set_before})
first = native.scan_detector(s, **kw)
print(threads() - 1)
os.environ["RAYON_NUM_THREADS"] = "7"
os.environ["RAYON_RS_NUM_CPUS"] = "5"
again = native.scan_detector(s, **kw)
native.scan_single_window(s, 4, n_perm=100)
print(threads() - 1, repr(again) == repr(first))
"""


@pytest.mark.parametrize(
    ("at_start", "set_before", "pool_size"),
    [
        ({"RAYON_NUM_THREADS": "3"}, {}, 3),
        ({}, {"RAYON_NUM_THREADS": "3"}, 3),
        ({}, {"RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "x"}, {"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "6"}, {}, 2),
    ],
)
def test_thread_variables_are_read_once_when_the_pool_starts(
    at_start: dict[str, str], set_before: dict[str, str], pool_size: int
) -> None:
    # The variables count when the shared pool starts, at the first call that needs it, whether
    # they were set before the interpreter started or later; changes after that do nothing.
    lines = run_script(ENV_SCRIPT.replace("{set_before}", repr(set_before)), env=at_start)
    assert lines == [str(pool_size), f"{pool_size} True"]
