"""scan_single_window and scan_detector as users call them: checks, defaults, result shapes,
reproducibility across threads, pools and processes."""

from __future__ import annotations

import math
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _vollan_native as native
from conftest import needs_plain_allocator

TOO_SHORT = "series must contain at least 3 values"
NOT_FINITE = "series contains NaN or infinite values; clean/impute before calling vollan"
WINDOW_KEYS = [
    "change_points",
    "starts",
    "statistics",
    "tapered_block_bootstrap_threshold",
    "localized_regions",
]


def planted(n: int = 240, seed: int = 0) -> list[float]:
    rng = random.Random(seed)
    out = []
    for i in range(n):
        if i < n // 3:
            out.append(rng.gauss(0.0, 1.0))
        elif i < 2 * n // 3:
            out.append(rng.gauss(3.0, 1.0))
        else:
            out.append(rng.gauss(3.0, 4.0))
    return out


SERIES = planted()


def same(a, b) -> bool:
    """Equality that also holds for NaN at the same places (repr keeps the bits of our floats)."""
    return repr(a) == repr(b)


class TestScanSingleWindow:
    def test_result_shape(self):
        r = native.scan_single_window(SERIES, 12, n_perm=50, seed=3)
        assert list(r) == WINDOW_KEYS
        k = len(SERIES) // 12 - 1
        assert r["starts"] == [12 * i for i in range(k)]
        assert len(r["statistics"]) == len(r["tapered_block_bootstrap_threshold"]) == k
        assert len(r["change_points"]) == len(r["localized_regions"])
        assert r["change_points"], "the planted changes must be found"
        for cp, region in zip(r["change_points"], r["localized_regions"], strict=True):
            assert type(region) is tuple and region[0] < cp < region[1]

    @pytest.mark.parametrize(
        ("series", "window_size", "message"),
        [
            ([1.0, math.nan], 0, TOO_SHORT),
            ([1.0, math.inf, 2.0], 0, NOT_FINITE),
            ([1.0, 2.0, 3.0], 0, "window_size must be positive"),
        ],
    )
    def test_check_order(self, series, window_size, message):
        with pytest.raises(ValueError) as info:
            native.scan_single_window(series, window_size, change_type="median")
        assert str(info.value) == message

    def test_change_type_checked_last(self):
        with pytest.raises(ValueError, match="^change_type must be one of"):
            native.scan_single_window(SERIES, 10, change_type="median")
        with pytest.raises(TypeError, match="^argument 'change_type'"):
            native.scan_single_window([1.0], 0, change_type=5)

    def test_too_large_windows_give_empty_lists(self):
        for w in (121, 10**6, 2**63, 2**64 - 1):
            r = native.scan_single_window(SERIES, w)
            assert list(r) == WINDOW_KEYS and all(v == [] for v in r.values())

    def test_one_position_and_leftover_values(self):
        assert native.scan_single_window(list(range(8)), 4, n_perm=5)["starts"] == [0]
        assert native.scan_single_window(list(range(10)), 4, n_perm=5)["starts"] == [0]

    @pytest.mark.parametrize(
        ("kwargs", "message"),
        [
            ({"window_size": 2}, "reference series is shorter than block length"),
            ({"window_size": 3}, "reference series is shorter than block length"),
            ({"window_size": 1, "b": 10}, "reference series is shorter than block length"),
        ],
    )
    def test_block_longer_than_reference(self, kwargs, message):
        with pytest.raises(ValueError, match=f"^{message}$"):
            native.scan_single_window(SERIES, **kwargs)

    def test_taper_ramps_longer_than_the_block_are_rejected(self):
        with pytest.raises(ValueError, match="taper_ratio"):
            native.scan_single_window(SERIES, 10, taper_ratio=2.5)
        native.scan_single_window(SERIES, 10, taper_ratio=2.0, n_perm=10)

    def test_no_replicates_flag_nothing(self):
        r = native.scan_single_window(SERIES, 10, n_perm=0)
        assert all(math.isnan(t) for t in r["tapered_block_bootstrap_threshold"])
        assert r["change_points"] == [] and r["localized_regions"] == []
        assert len(r["statistics"]) == 23

    def test_equivalent_arguments(self):
        base = native.scan_single_window(SERIES, 10, n_perm=40, seed=9)
        assert same(base, native.scan_single_window(SERIES, 10, n_perm=40, seed=9, alpha_q=100.0))
        assert same(base, native.scan_single_window(SERIES, 10, n_perm=40, seed=9, b=None))
        assert same(base, native.scan_single_window(SERIES, 10, n_perm=40, seed=9, batch_size=1))
        assert same(
            base,
            native.scan_single_window(
                SERIES, 10, n_perm=40, seed=9, batch_size=1000, change_type="MEAN"
            ),
        )
        assert same(
            native.scan_single_window(SERIES, 10, n_perm=40, alpha_q=0.5),
            native.scan_single_window(SERIES, 10, n_perm=40, alpha_q=50.0),
        )

    def test_overflowing_sums_do_not_hang(self):
        r = native.scan_single_window([1e308] * 8, 4, n_perm=1)
        assert math.isnan(r["tapered_block_bootstrap_threshold"][0])
        assert r["change_points"] == []

    @needs_plain_allocator
    def test_unallocatable_replicate_buffer_raises_memory_error(self):
        with pytest.raises(MemoryError):
            native.scan_single_window(SERIES, 10, n_perm=2**40)
        with pytest.raises(MemoryError):
            native.scan_single_window(SERIES, 10, n_perm=2**64 - 1)
        assert native.scan_single_window(SERIES, 10, n_perm=5)["starts"]


class TestScanDetector:
    def test_result_shape(self):
        r = native.scan_detector(SERIES, window_sizes=[12, 10, 11], n_perm=40, seed=1)
        assert list(r) == ["cp_dict", "window_results", "out"]
        assert list(r["cp_dict"]) == list(r["window_results"]) == [10, 11, 12]
        for w, cps in r["cp_dict"].items():
            assert cps == r["window_results"][w]["change_points"]
            assert list(r["window_results"][w]) == WINDOW_KEYS
        out = r["out"]
        assert list(out) == ["leaders_segment_votes", "leaders_scores", "leaders_probs", "cdf"]
        assert list(out["leaders_probs"]) == sorted(out["leaders_probs"])
        assert all(type(p) is tuple and type(p[0]) is int for p in out["cdf"])
        assert [c[0] for c in out["cdf"]] == list(out["leaders_probs"])
        assert out["cdf"] and abs(out["cdf"][-1][1] - 1.0) < 1e-12

    def test_defaults_on_a_short_series(self):
        r = native.scan_detector([float(i % 3) for i in range(15)])
        assert list(r["cp_dict"]) == list(range(10, 21))
        assert all(v == [] for v in r["cp_dict"].values())
        assert r["out"] == {
            "leaders_segment_votes": {},
            "leaders_scores": {},
            "leaders_probs": {},
            "cdf": [],
        }

    @pytest.mark.parametrize(
        ("series", "kwargs", "message"),
        [
            ([1.0, 2.0], {"window_sizes": [], "backend": "x"}, TOO_SHORT),
            ([1.0, math.nan, 2.0], {"window_sizes": []}, NOT_FINITE),
            (SERIES, {"window_sizes": []}, "window_sizes must not be empty"),
            (SERIES, {"window_sizes": [5, 0, 7]}, "window_sizes must be positive, got 0"),
            (
                SERIES,
                {"backend": "threads", "change_type": "median"},
                "backend must be 'thread' or 'process'.",
            ),
            (SERIES, {"backend": ""}, "backend must be 'thread' or 'process'."),
            (SERIES, {"change_type": "median"}, "change_type must be one of"),
            (SERIES, {"window_sizes": [2, 10]}, "reference series is shorter than block length"),
        ],
    )
    def test_check_order(self, series, kwargs, message):
        with pytest.raises(ValueError) as info:
            native.scan_detector(series, **kwargs)
        assert str(info.value).startswith(message)

    def test_first_failing_window_in_list_order_is_reported(self):
        with pytest.raises(ValueError, match="^reference series is shorter than block length$"):
            native.scan_detector(SERIES, window_sizes=[10, 3, 12, 1], b=10, n_perm=5)

    def test_three_values_pass_the_length_check(self):
        r = native.scan_detector([1.0, 2.0, 3.0])
        assert len(r["cp_dict"]) == 11

    def test_equivalent_arguments(self):
        kw = {"window_sizes": [10, 12], "n_perm": 30, "seed": 4}
        base = native.scan_detector(SERIES, **kw)
        for extra in (
            {"backend": "Process"},
            {"backend": "THREAD"},
            {"alpha_q": 100.0},
            {"batch_size": 0},
            {"batch_size": 1000},
            {"b": None},
        ):
            assert same(base, native.scan_detector(SERIES, **{**kw, **extra}))
        assert same(
            native.scan_detector(SERIES, **kw, alpha_q=0.05),
            native.scan_detector(SERIES, **kw, alpha_q=5.0),
        )

    def test_duplicate_window_sizes_count_once(self):
        r = native.scan_detector(SERIES, window_sizes=[20, 10, 20], n_perm=30)
        assert list(r["cp_dict"]) == [10, 20]
        single = native.scan_detector(SERIES, window_sizes=[10, 20], n_perm=30)
        assert same(r, single)

    @pytest.mark.parametrize("workers", [None, 0, 1, 2, 3, 8])
    def test_workers_do_not_change_results(self, workers):
        kw = {"window_sizes": [8, 9, 10, 11, 12], "n_perm": 70, "seed": 11}
        assert same(
            native.scan_detector(SERIES, **kw), native.scan_detector(SERIES, **kw, workers=workers)
        )

    def test_numpy_input_equals_list_input(self):
        kw = {"window_sizes": [10, 15], "n_perm": 30}
        from_array = native.scan_detector(np.array(SERIES), **kw)
        assert same(from_array, native.scan_detector(SERIES, **kw))


SCRIPT = textwrap.dedent(
    """
    import random, sys
    import _vollan_native as native
    rng = random.Random(5)
    s = [rng.gauss(0, 1) + (4 if i > 150 else 0) for i in range(300)]
    print(repr(native.scan_detector(s, window_sizes=[8, 10, 13], n_perm=80, seed=2)))
    print(repr(native.scan_single_window(s, 9, n_perm=100, seed=3)))
    """
)


def run_with_threads(threads: str | None) -> str:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = threads
    out = subprocess.run(
        [sys.executable, "-c", SCRIPT],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
        check=True,
    )
    return out.stdout


def test_results_are_identical_across_thread_counts():
    outputs = {t: run_with_threads(t) for t in ("1", "2", "3", None)}
    assert len(set(outputs.values())) == 1, "results depend on the number of threads"


@needs_plain_allocator
def test_refused_dedicated_pool_reports_and_leaks_no_thread():
    code = textwrap.dedent(
        """
        import os, resource
        import _vollan_native as native
        s = [float(i % 5) for i in range(200)]
        native.scan_detector(s, window_sizes=[10], n_perm=5)  # start the shared pool
        threads = len(os.listdir('/proc/self/task'))
        # Thread stacks need address space: a cap makes the OS refuse most of 65535 threads.
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (2 * 1024**3, hard))
        try:
            native.scan_detector(s, window_sizes=[10], n_perm=5, workers=65535)
            print('created')
        except ValueError as e:
            print(str(e).split(':')[0])
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(len(os.listdir('/proc/self/task')) == threads)
        print(list(native.scan_detector(s, window_sizes=[10], n_perm=5, workers=2)['cp_dict']))
        print(len(os.listdir('/proc/self/task')) == threads)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines == ["failed to build Rayon thread pool", "True", "[10]", "True"]


def _view_of(regions: list[list[tuple[int, int]]]):  # type: ignore[no-untyped-def]
    from types import SimpleNamespace

    from vollan.pipeline.scan import ScanView

    flat = tuple(np.array(r, dtype=np.int64).reshape(-1) for r in regions)
    arrays = SimpleNamespace(
        regions=flat,
        leaders=np.empty(0, np.int64),
        leader_votes=np.empty(0, np.int64),
        leader_probs=np.empty(0),
    )
    return ScanView.of(arrays)  # type: ignore[arg-type]


def test_regions_around_equal_region_around_each() -> None:
    # Regions of one length per window size, overlapping or not, and ascending as the scan
    # gives them; then regions whose ends are not in the order of their starts (the row-by-row
    # search); at every position including the regions' ends.
    rng = np.random.default_rng(5)
    for trial in range(30):
        per_size = []
        for _ in range(int(rng.integers(0, 5))):
            length = int(rng.integers(1, 40))
            starts = np.sort(rng.choice(300, size=int(rng.integers(0, 12)), replace=False))
            per_size.append([(int(a), int(a) + length) for a in starts])
        if trial % 5 == 4:
            per_size.append([(10, 90), (40, 60)])
        view = _view_of(per_size)
        cs = list(range(-2, 303))
        assert view.regions_around(cs) == [view.region_around(c) for c in cs]
    assert _view_of([]).regions_around([]) == []


def test_regions_around_on_a_scan() -> None:
    from vollan.pipeline.scan import scan

    rng = np.random.default_rng(8)
    x = np.repeat(rng.normal(0, 3, 40), 250) + rng.normal(size=10_000)

    view = scan(x, {"window_sizes": [10, 20, 40, 80], "n_perm": 100, "seed": 1})
    cs = sorted({*view.leaders.tolist(), *range(0, 10_000, 37)})
    assert view.regions_around(cs) == [view.region_around(c) for c in cs]
