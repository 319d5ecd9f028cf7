"""scan_detector builds each window's result while later windows still compute.

The result must not depend on the order in which windows finish, on the thread count, or on
sharing one float object between equal neighbours of a list.
"""

from __future__ import annotations

import math
import random
import struct
from typing import Any

import pytest

import _vollan_native as native
from conftest import needs_plain_allocator


def change_rich(n: int, seed: int) -> list[float]:
    """Alternating regimes every 40 values: many flagged positions, many threshold refreshes."""
    rng = random.Random(seed)
    return [rng.gauss(3.0 * ((i // 40) % 2), 1.0 + (i // 120) % 2) for i in range(n)]


def bits(value: Any) -> Any:
    """A result with every float replaced by its bit pattern, so that == compares bits."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, dict):
        return {k: bits(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(bits(v) for v in value)
    return value


SERIES = change_rich(3000, 5)
SIZES = [13, 10, 21, 10, 17, 11, 30, 12, 14]


@pytest.mark.parametrize("workers", [None, 0, 1, 2, 3, 8])
def test_change_rich_results_are_identical_for_any_thread_count(workers: int | None) -> None:
    kwargs = dict(window_sizes=SIZES, n_perm=40, seed=11, alpha_q=0.3)
    serial = native.scan_detector(SERIES, workers=1, **kwargs)
    assert serial["out"]["cdf"], "the series must yield change points"
    again = native.scan_detector(SERIES, workers=workers, **kwargs)
    assert bits(again) == bits(serial)
    assert list(again) == ["cp_dict", "window_results", "out"]
    assert list(again["window_results"]) == sorted(set(SIZES))
    assert list(again["cp_dict"]) == sorted(set(SIZES))


@pytest.mark.parametrize("change_type", ["mean", "var", "distribution"])
def test_each_window_equals_the_single_window_entry(change_type: str) -> None:
    kwargs = dict(n_perm=30, seed=3, alpha_q=0.5, change_type=change_type, b=6)
    whole = native.scan_detector(SERIES, window_sizes=SIZES, **kwargs)
    for w in set(SIZES):
        alone = native.scan_single_window(SERIES, w, **kwargs)
        assert bits(alone) == bits(whole["window_results"][w]), w
        assert whole["cp_dict"][w] == alone["change_points"]


def test_equal_neighbouring_thresholds_share_one_object_and_keep_their_value() -> None:
    result = native.scan_single_window(SERIES, 10, n_perm=30, seed=3)
    thresholds = result["tapered_block_bootstrap_threshold"]
    flagged = [s > t for s, t in zip(result["statistics"], thresholds, strict=True)]
    runs = 0
    for i in range(1, len(thresholds)):
        a, b = thresholds[i - 1], thresholds[i]
        same_bits = struct.pack("<d", a) == struct.pack("<d", b)
        # A threshold is recomputed only after a flagged position.
        if not flagged[i - 1]:
            assert same_bits
        assert (a is b) == same_bits, i
        runs += not same_bits
    assert 0 < runs < len(thresholds) - 1


def test_constant_series_shares_one_statistic_object_per_window() -> None:
    result = native.scan_detector([2.0] * 400, window_sizes=[10, 20], n_perm=5)
    for w, window in result["window_results"].items():
        stats = window["statistics"]
        assert len(stats) == 400 // w - 1
        assert all(struct.pack("<d", s) == struct.pack("<d", 0.0) for s in stats)
        assert all(s is stats[0] for s in stats)
        assert all(math.isnan(t) or t == 0.0 for t in window["tapered_block_bootstrap_threshold"])


@pytest.mark.parametrize("workers", [None, 3])
def test_first_failing_window_in_list_order_is_raised_after_the_others_finish(
    workers: int | None,
) -> None:
    # Window 1 fails: its block of 10 is longer than its 2 pooled values; the others succeed.
    with pytest.raises(ValueError, match="^reference series is shorter than block length$"):
        native.scan_detector(
            SERIES[:600], window_sizes=[30, 1, 400, 1, 10], b=10, n_perm=5, workers=workers
        )
    # The module stays usable and the same windows without the failing one give a result.
    ok = native.scan_detector(
        SERIES[:600], window_sizes=[30, 400, 10], b=10, n_perm=5, workers=workers
    )
    assert ok["window_results"][400]["starts"] == []


@needs_plain_allocator
@pytest.mark.parametrize("workers", [None, 1, 3])
def test_allocation_failure_in_the_windows_raises_memory_error_and_the_pool_stays_usable(
    workers: int | None,
) -> None:
    # Replicate buffers of 2**40 values cannot be allocated: every window fails on the pool
    # while the caller waits for the first one to convert.
    with pytest.raises(MemoryError):
        native.scan_detector(SERIES, window_sizes=SIZES, n_perm=2**40, workers=workers)
    kwargs = dict(window_sizes=SIZES, n_perm=40, seed=11, alpha_q=0.3)
    assert bits(native.scan_detector(SERIES, workers=workers, **kwargs)) == bits(
        native.scan_detector(SERIES, workers=1, **kwargs)
    )


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (([1.0, 2.0], 0), {"change_type": "median"}, "series must contain at least 3 values"),
        (
            ([1.0, math.nan, 2.0], 0),
            {"change_type": "median"},
            "series contains NaN or infinite values; clean/impute before calling vollan",
        ),
        (([1.0, 2.0, 3.0], 0), {"change_type": "median"}, "window_size must be positive"),
        (
            ([1.0, 2.0, 3.0], 1),
            {"change_type": "Median"},
            "change_type must be one of {'mean', 'var', 'distribution'}, got \"median\"",
        ),
    ],
)
def test_single_window_checks_come_in_their_order(
    args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(ValueError) as info:
        native.scan_single_window(*args, **kwargs)
    assert str(info.value) == message
