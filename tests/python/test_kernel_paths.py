"""The AVX-512, AVX2 and scalar kernels (chosen with VOLLAN_LANE_ISA) give identical results.

Every entry that sorts or walks a distance runs in a child process per instruction set; the
printed reprs (exact for floats) must agree. The sizes reach every sort: networks (up to 32
values), the quicksort's partitions and leaves (33 and more), and the scalar path's radix sort
(4096 and more); the windows reach the side-by-side replicate kernels (w <= 24) and the
replicate sorts beyond them.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent(
    """
    import random
    import _vollan_native as native
    rng = random.Random(7)
    s = [rng.gauss(0, 1) + (3 if i > 200 else 0) for i in range(400)]
    print(repr(native.scan_detector(s, window_sizes=[12, 24, 40, 70], n_perm=40, seed=4)))
    print(repr(native.scan_single_window(s, 50, n_perm=30, seed=5)))
    for n in (10, 33, 100, 1000, 5000):
        a = [rng.choice((0.0, -0.0, 1.5, rng.gauss(0, 1), 5e-324)) for _ in range(n)]
        b = [rng.gauss(0.2, 1.1) for _ in range(n + 3)]
        print(repr(native.wasserstein_statistic(a, b)), repr(native.ipm_statistic(b, a)))
    """
)


def run_with_isa(isa: str | None) -> str:
    env = dict(os.environ)
    env.pop("VOLLAN_LANE_ISA", None)
    if isa is not None:
        env["VOLLAN_LANE_ISA"] = isa
    out = subprocess.run(
        [sys.executable, "-c", SCRIPT],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
        check=True,
    )
    return out.stdout


def test_results_are_identical_on_every_instruction_set():
    outputs = {isa: run_with_isa(isa) for isa in (None, "avx2", "scalar", "unknown")}
    assert outputs[None].count("\n") == 7
    assert len(set(outputs.values())) == 1, "results depend on the instruction set"
