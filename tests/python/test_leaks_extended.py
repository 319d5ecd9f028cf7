"""Every entry, on success and on every error path, called many times, leaves memory flat.

Three measures: the interpreter's allocated blocks and tracemalloc see every Python object that a
call leaks; the resident set size sees the extension's own C++ buffers (a leaked copy of a long
series shows as megabytes). `make leak-valgrind` runs the same calls under valgrind memcheck.

Run as a script, this module is that workload: `python test_leaks_extended.py workload ROUNDS`
calls every case ROUNDS times, and `python test_leaks_extended.py check LOG` fails when a valgrind
log holds a "definitely lost" record or a memory error whose stack passes through the extension.
"""

from __future__ import annotations

import gc
import math
import os
import re
import subprocess
import sys
import tracemalloc
from collections.abc import Callable
from typing import Any

import _vollan_native as native

try:
    import pytest

    from conftest import needs_plain_allocator
except ImportError:  # the valgrind workload needs neither
    pytest = None  # type: ignore[assignment]


class Boom(Exception):
    pass


class FailsAt:
    """A sequence whose item raises once the converted values already fill a buffer."""

    def __init__(self, values: list[float], fail_at: int, exc: type[BaseException]) -> None:
        self.values = values
        self.fail_at = fail_at
        self.exc = exc

    def __len__(self) -> int:
        return len(self.values)

    def __getitem__(self, i: int) -> float:
        if i == self.fail_at:
            raise self.exc("item")
        return self.values[i]


Case = tuple[str, Callable[[], Any]]


def cases(n: int) -> list[Case]:
    """Calls that succeed and calls that fail on every path, on a series of about n values."""
    s = [float((i * 37) % 11) + (4.0 if i > n // 2 else 0.0) for i in range(n)]
    short = s[: max(3, n // 8)]
    nan_at_end = s[:-1] + [math.nan]
    late_bad = s + ["x"]
    hostile = FailsAt(s, n - 1, Boom)
    big = 2**40  # replicate buffers of this size cannot be allocated
    wide = [min(max(4, n // 10), 24), min(max(5, n // 9), 30)]
    return [
        # scan_detector
        ("detector", lambda: native.scan_detector(s, window_sizes=wide, n_perm=64)),
        (
            "detector workers",
            lambda: native.scan_detector(s, window_sizes=wide, n_perm=8, workers=2),
        ),
        ("detector too many positional", lambda: native.scan_detector(*range(14))),
        ("detector unknown keyword", lambda: native.scan_detector(s, bogus=1)),
        ("detector twice", lambda: native.scan_detector(s, series=s)),
        ("detector missing", lambda: native.scan_detector()),
        ("detector str series", lambda: native.scan_detector("abc")),
        ("detector late bad item", lambda: native.scan_detector(late_bad)),
        ("detector hostile item", lambda: native.scan_detector(hostile)),
        ("detector window_sizes", lambda: native.scan_detector(s, window_sizes=[5, 6, -1])),
        ("detector n_perm", lambda: native.scan_detector(s, window_sizes=wide, n_perm=-1)),
        ("detector alpha_q", lambda: native.scan_detector(s, alpha_q="x")),
        ("detector seed", lambda: native.scan_detector(s, seed=1.5)),
        ("detector tol", lambda: native.scan_detector(s, tol=None)),
        ("detector workers -1", lambda: native.scan_detector(s, workers=-1)),
        ("detector backend bytes", lambda: native.scan_detector(s, backend=b"thread")),
        ("detector change_type surrogate", lambda: native.scan_detector(s, change_type="\udc80")),
        ("detector b", lambda: native.scan_detector(s, b=2.0)),
        ("detector taper_ratio", lambda: native.scan_detector(s, taper_ratio=None)),
        ("detector center", lambda: native.scan_detector(s, center=1)),
        ("detector batch_size", lambda: native.scan_detector(s, batch_size=-1)),
        ("detector too short", lambda: native.scan_detector([1.0, 2.0])),
        ("detector nan", lambda: native.scan_detector(nan_at_end)),
        ("detector empty windows", lambda: native.scan_detector(s, window_sizes=[])),
        ("detector zero window", lambda: native.scan_detector(s, window_sizes=[5, 0])),
        ("detector backend", lambda: native.scan_detector(s, backend="fork")),
        ("detector change_type", lambda: native.scan_detector(s, change_type="median")),
        (
            "detector window error",
            lambda: native.scan_detector(s, window_sizes=wide + [2], n_perm=8),
        ),
        (
            "detector taper error",
            lambda: native.scan_detector(s, window_sizes=wide, taper_ratio=9.0),
        ),
        ("detector memory", lambda: native.scan_detector(s, window_sizes=wide, n_perm=big)),
        # scan_single_window
        ("window", lambda: native.scan_single_window(s, wide[0], n_perm=70, change_type="var")),
        ("window missing", lambda: native.scan_single_window(s)),
        ("window late bad item", lambda: native.scan_single_window(late_bad, 4)),
        ("window size", lambda: native.scan_single_window(s, -4)),
        ("window center", lambda: native.scan_single_window(s, 4, center=None)),
        ("window zero", lambda: native.scan_single_window(s, 0)),
        ("window nan", lambda: native.scan_single_window(nan_at_end, 4)),
        ("window change_type", lambda: native.scan_single_window(s, 4, change_type="median\u0301")),
        ("window block", lambda: native.scan_single_window(s, 1, b=10)),
        ("window taper", lambda: native.scan_single_window(s, wide[0], taper_ratio=9.0)),
        ("window memory", lambda: native.scan_single_window(s, wide[0], n_perm=big)),
        # refine_cusum, refine_wasserstein
        ("cusum", lambda: native.refine_cusum(s)),
        ("cusum short", lambda: native.refine_cusum([1.0, 2.0])),
        ("cusum nan", lambda: native.refine_cusum(nan_at_end)),
        ("cusum hostile", lambda: native.refine_cusum(hostile)),
        ("cusum type error item", lambda: native.refine_cusum(FailsAt(s, n - 1, TypeError))),
        ("wasserstein split", lambda: native.refine_wasserstein(short)),
        ("wasserstein split nan", lambda: native.refine_wasserstein(nan_at_end)),
        ("wasserstein split bad item", lambda: native.refine_wasserstein(late_bad)),
        # swal_statistic
        ("swal mean", lambda: native.swal_statistic(s, "mean")),
        ("swal distribution", lambda: native.swal_statistic(short)),
        ("swal change_type", lambda: native.swal_statistic(s, "median")),
        ("swal change_type type", lambda: native.swal_statistic(s, 5)),
        ("swal surrogate", lambda: native.swal_statistic(s, "\udc80")),
        ("swal nan", lambda: native.swal_statistic(nan_at_end)),
        # wasserstein_statistic, ipm_statistic
        ("distance", lambda: native.wasserstein_statistic(s, short)),
        ("ipm", lambda: native.ipm_statistic(short, s)),
        ("distance empty", lambda: native.wasserstein_statistic(s, [])),
        ("distance nan", lambda: native.ipm_statistic(s, nan_at_end)),
        ("distance right bad", lambda: native.wasserstein_statistic(s, late_bad)),
        ("distance right hostile", lambda: native.wasserstein_statistic(s, hostile)),
        ("distance three positional", lambda: native.ipm_statistic(s, s, s)),
    ]


EXPECTED_ERRORS = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError, Boom)


def call_many(call: Callable[[], Any], rounds: int) -> None:
    for _ in range(rounds):
        try:
            call()
        except EXPECTED_ERRORS:
            pass


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


if pytest is not None:
    SMALL = cases(48)
    LARGE = cases(6000)

    @needs_plain_allocator
    @pytest.mark.parametrize("case", SMALL, ids=[name for name, _ in SMALL])
    def test_python_objects_do_not_accumulate(case: Case) -> None:
        _, call = case
        call_many(call, 30)
        gc.collect()
        blocks = sys.getallocatedblocks()
        tracemalloc.start()
        try:
            call_many(call, 200)
            gc.collect()
            traced, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        # Both stay within a few blocks and bytes when nothing leaks; one leaked object per call
        # would show as 200 blocks and several KiB.
        assert grown < 20, f"{grown} more allocated blocks after 200 calls"
        assert traced < 1024, f"tracemalloc holds {traced} bytes after 200 calls"

    @needs_plain_allocator
    @pytest.mark.parametrize("case", LARGE, ids=[name for name, _ in LARGE])
    def test_native_buffers_do_not_accumulate(case: Case) -> None:
        _, call = case
        call_many(call, 5)
        gc.collect()
        before = rss_bytes()
        call_many(call, 60)
        gc.collect()
        grown = rss_bytes() - before
        # The converted series alone is 48 KB: leaking it on every call would add 2.8 MB.
        assert grown < 1024 * 1024, f"RSS grew by {grown} bytes over 60 calls"


MEMORY_SCRIPT = """
import resource, sys
import _vollan_native as native

{setup}
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm + {headroom_mb} * 2**20, hard))
try:
    {call}
    print("returned")
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(native.refine_cusum([0.0, 0.0, 3.0]))
"""
BIG = 48 * 2**20  # 384 MiB of doubles


if pytest is not None:

    @needs_plain_allocator
    @pytest.mark.parametrize(
        ("setup", "headroom_mb", "call"),
        [
            ("", 256, "native.refine_cusum(range(10**9))"),
            ("", 256, "native.scan_detector([1.0, 2.0, 3.0], window_sizes=range(1, 10**9))"),
            (f"big = [0.5] * {BIG}", 256, "native.refine_wasserstein(big)"),
            (f"import numpy; big = numpy.zeros({BIG})", 256, "native.refine_cusum(big)"),
            # The sample converts, but sorting it needs as much again.
            (f"import numpy; big = numpy.zeros({BIG})", 448, "native.ipm_statistic(big, [0.0])"),
        ],
        ids=["iterated", "window sizes", "float list", "float64 buffer", "sort"],
    )
    def test_exhausted_memory_raises_memory_error(setup: str, headroom_mb: int, call: str) -> None:
        # Under an address-space limit the allocations of a call fail: the call raises
        # MemoryError, and the module keeps working.
        code = MEMORY_SCRIPT.format(setup=setup, headroom_mb=headroom_mb, call=call)
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
        out = subprocess.run(
            [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120
        )
        assert out.returncode == 0, out.stderr[-2000:]
        assert out.stdout.split() == ["MemoryError", "2"]


# Headers of the valgrind records that count: definite leaks and memory errors.
FINDING = re.compile(
    r"definitely lost|^Invalid |^Conditional jump|^Use of uninitialised|^Mismatched free"
    r"|^Syscall param|^Source and destination overlap"
)


def extension_findings(log: str) -> list[str]:
    """Records of a valgrind log that count (definite leaks, memory errors) and whose stack
    passes through the extension. Records are separated by lines holding only the pid."""
    findings: list[str] = []
    block: list[str] = []
    for line in log.splitlines() + ["==0=="]:
        text = re.sub(r"^==\d+== ?", "", line)
        if text.strip():
            block.append(text)
            continue
        if block and FINDING.search(block[0]):
            if any("_vollan_native" in b or "vollan::" in b for b in block):
                findings.append("\n".join(block))
        block = []
    return findings


def main(argv: list[str]) -> int:
    if len(argv) == 3 and argv[1] == "workload":
        rounds = int(argv[2])
        for name, call in cases(40):
            if "memory" in name:
                continue  # valgrind's allocator reports rather than refuses absurd sizes
            call_many(call, rounds)
        print(f"workload done: {rounds} rounds of every case")
        return 0
    if len(argv) == 3 and argv[1] == "check":
        with open(argv[2]) as f:
            log = f.read()
        if "ERROR SUMMARY" not in log:
            print("no valgrind summary in the log", file=sys.stderr)
            return 2
        findings = extension_findings(log)
        for record in findings:
            print(record, end="\n\n")
        print(f"{len(findings)} leaks or memory errors in the extension")
        return 1 if findings else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
