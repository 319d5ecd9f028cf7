"""vollan._kernels.scan_arrays against scan_detector: the same result, bit for bit, through
ScanView.to_raw(), and the same errors; its buffers as numpy sees them."""

from __future__ import annotations

import gc
import math
import os
import struct
import threading

import numpy as np
import pytest

import _vollan_native as native
from conftest import needs_plain_allocator
from vollan import _kernels
from vollan._scanview import ScanView, scan_view


def assert_identical(got: object, want: object, path: str = "result") -> None:
    """Equal types all the way down, dict keys in the same order, floats by their bits."""
    assert type(got) is type(want), f"{path}: {type(got).__name__} != {type(want).__name__}"
    if isinstance(want, dict):
        assert isinstance(got, dict)
        assert [(type(k), k) for k in got] == [(type(k), k) for k in want], f"{path}: keys"
        for key in want:
            assert_identical(got[key], want[key], f"{path}[{key!r}]")
    elif isinstance(want, list | tuple):
        assert isinstance(got, list | tuple)
        assert len(got) == len(want), f"{path}: length"
        for i, (g, w) in enumerate(zip(got, want, strict=True)):
            assert_identical(g, w, f"{path}[{i}]")
    elif isinstance(want, float):
        assert struct.pack("<d", got) == struct.pack("<d", want), f"{path}: {got!r} != {want!r}"
    else:
        assert got == want, f"{path}: {got!r} != {want!r}"


def series(kind: str, n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "jumps":
        levels = np.repeat(rng.normal(0, 3, n // 50 + 1), 50)[:n]
        return levels + rng.normal(0, 1, n)
    if kind == "ties":  # rounded values: equal neighbours, ties in the sorts
        return np.round(rng.normal(0, 1, n) + (np.arange(n) > n // 2))
    return np.full(n, 2.5)  # constant: zero statistics everywhere


@pytest.mark.parametrize("change_type", ["mean", "var", "distribution"])
@pytest.mark.parametrize(
    ("kind", "n", "seed"),
    [
        ("jumps", 3, 0),
        ("jumps", 17, 1),
        ("ties", 64, 2),
        ("constant", 40, 3),
        ("jumps", 600, 4),
        ("ties", 2_000, 5),
        ("jumps", 10_000, 6),
    ],
)
@pytest.mark.parametrize(
    "options",
    [
        {},
        {"window_sizes": [25, 7, 7, 5, 2**64 - 1], "n_perm": 40, "alpha_q": 20.0, "tol": 4},
        {"window_sizes": [12], "n_perm": 30, "seed": 9, "b": 3, "center": False, "workers": 1},
        {"n_perm": 60, "alpha_q": 0.5, "taper_ratio": 0.2, "workers": 2},
    ],
    ids=["defaults", "sizes", "one-size", "two-workers"],
)
def test_to_raw_equals_scan_detector_bit_for_bit(change_type, kind, n, seed, options):
    x = series(kind, n, seed)
    kwargs = {"change_type": change_type, **options}
    assert_identical(scan_view(x, **kwargs).to_raw(), native.scan_detector(x, **kwargs))


def test_list_input_equals_array_input():
    x = series("jumps", 500, 7)
    assert_identical(scan_view(x.tolist(), n_perm=50).to_raw(), scan_view(x, n_perm=50).to_raw())


BAD_CALLS = [
    (([1.0, 2.0],), {"window_sizes": [], "backend": "x"}),
    (([1.0, math.nan, 2.0],), {}),
    (([1.0, 2.0, 3.0],), {"window_sizes": []}),
    (([1.0, 2.0, 3.0],), {"window_sizes": [5, 0, 7]}),
    (([1.0, 2.0, 3.0],), {"backend": "threads", "change_type": "median"}),
    (([1.0, 2.0, 3.0],), {"change_type": "median"}),
    (([1.0, 2.0, 3.0, 4.0] * 5,), {"window_sizes": [10, 3, 12, 1], "b": 10, "n_perm": 5}),
    (("abc",), {}),
    (([1.0, "x", 3.0],), {}),
    (([1.0, 2.0, 3.0],), {"tol": "2"}),
    (([1.0, 2.0, 3.0],), {"n_perm": -1}),
    (([1.0, 2.0, 3.0],), {"center": 1}),
    (([1.0, 2.0, 3.0],), {"window_sizes": [3, 2**64]}),
    (([1.0, 2.0, 3.0], None, 300, 1.0, 123, 2, None, "thread", "mean", None, 0.5, True, 32, 0), {}),
    ((), {"window_sizes": [3]}),
    (([1.0, 2.0, 3.0],), {"windows": [3]}),
    (([1.0, 2.0, 3.0], [3]), {"window_sizes": [3]}),
]


@pytest.mark.parametrize(("args", "kwargs"), BAD_CALLS)
def test_errors_are_those_of_scan_detector(args, kwargs):
    with pytest.raises(Exception) as want:
        native.scan_detector(*args, **kwargs)
    with pytest.raises(Exception) as got:
        _kernels.scan_arrays(*args, **kwargs)
    assert type(got.value) is type(want.value)
    # Only the errors of the call itself name the function.
    assert str(got.value) == str(want.value).replace("scan_detector(", "scan_arrays(")
    assert type(got.value.__cause__) is type(want.value.__cause__)


@needs_plain_allocator
def test_memory_exhausted_without_the_interpreter_lock_is_memory_error():
    x = series("jumps", 200, 8)
    with pytest.raises(MemoryError):
        _kernels.scan_arrays(x, window_sizes=[10], n_perm=2**40)
    assert scan_view(x, window_sizes=[10], n_perm=5).n_windows == 1


def test_buffers_are_typed_read_only_and_outlive_the_result():
    x = series("jumps", 1_000, 9)
    raw = native.scan_detector(x, window_sizes=[20, 10], n_perm=50)
    arrays = _kernels.scan_arrays(x, window_sizes=[20, 10], n_perm=50)
    regions = arrays["regions"][1]
    assert (regions.format, regions.ndim, regions.shape[1]) == ("q", 2, 2)
    assert arrays["window_sizes"].format == "Q"
    assert arrays["statistics"][0].format == "d"
    with pytest.raises(TypeError):
        arrays["statistics"][0][0] = 0.0
    view = ScanView.from_arrays(arrays)
    assert view.window_sizes.dtype == np.uint64 and view.regions[0].dtype == np.int64
    assert not view.statistics[0].flags.writeable
    # The arrays wrap the kernel's memory, and keep it alive once the dict and views are gone.
    assert np.shares_memory(view.statistics[1], np.asarray(arrays["statistics"][1]))
    window = view.window(1)
    del arrays, regions, view
    assert window.size == 20
    assert window.regions.tolist() == [
        list(r) for r in raw["window_results"][20]["localized_regions"]
    ]
    assert window.change_points.tolist() == raw["cp_dict"][20]


def test_empty_buffers_wrap_as_empty_arrays():
    view = scan_view([1.0, 2.0, 3.0], window_sizes=[50])
    assert view.regions[0].shape == (0, 2)
    assert view.starts[0].size == view.leaders.size == view.cdf_values.size == 0
    assert view.cp_offsets.tolist() == [0, 0]


def test_concurrent_calls_equal_sequential_ones():
    # The scan runs without the interpreter lock: calls from two threads share the pool.
    inputs = [series("jumps", 3_000, s) for s in range(4)]
    want = [native.scan_detector(x, n_perm=80) for x in inputs]
    got: list[object] = [None] * len(inputs)

    def work(i: int) -> None:
        got[i] = scan_view(inputs[i], n_perm=80).to_raw()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for g, w in zip(got, want, strict=True):
        assert_identical(g, w)


def test_module_surface():
    # The scan, and the stream's sorted windows behind vollan.Monitor.
    assert _kernels.__all__ == [
        "scan_arrays",
        "stream_windows",
        "stream_statistics",
        "stream_watch",
        "stream_contents",
    ]
    assert all(getattr(_kernels, name).__module__ == "vollan._kernels" for name in _kernels.__all__)
    assert native.__all__ == [
        "scan_detector",
        "scan_single_window",
        "refine_cusum",
        "refine_wasserstein",
        "swal_statistic",
        "wasserstein_statistic",
        "ipm_statistic",
    ]


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@needs_plain_allocator
def test_memory_stays_flat_over_many_calls():
    # Each call hands over about 1.5 KB of buffers: kept by a leak, 3000 calls would show as 4.5 MB.
    x = series("jumps", 400, 10)

    def calls(rounds: int) -> None:
        for _ in range(rounds):
            view = scan_view(x, window_sizes=[10, 20], n_perm=8)
            view.window(0).regions.sum()
            with pytest.raises(ValueError):
                _kernels.scan_arrays(x, window_sizes=[10, 0])
            with pytest.raises(TypeError):
                _kernels.scan_arrays(x, bogus=1)

    calls(300)
    gc.collect()
    before = rss_bytes()
    calls(3000)
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 2 * 1024 * 1024, f"RSS grew by {grown} bytes"
