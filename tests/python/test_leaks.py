"""Many failing and succeeding calls leave the process's memory flat."""

from __future__ import annotations

import gc
import math
import os

import numpy as np
import pytest

import _vollan_native as native
from conftest import needs_plain_allocator


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Boom(Exception):
    pass


class HalfWay:
    def __len__(self):
        return 6

    def __getitem__(self, i):
        if i == 3:
            raise Boom
        return float(i)


SERIES = [float(i % 7) for i in range(64)]
ARRAY = np.arange(64.0)

CALLS = [
    lambda: native.wasserstein_statistic(SERIES, ARRAY),
    lambda: native.ipm_statistic([1.0], []),
    lambda: native.wasserstein_statistic([1.0, math.nan], [2.0]),
    lambda: native.refine_cusum(SERIES),
    lambda: native.refine_wasserstein(ARRAY),
    lambda: native.refine_cusum(HalfWay()),
    lambda: native.refine_cusum("abc"),
    lambda: native.refine_cusum([1.0, object()]),
    lambda: native.swal_statistic(SERIES, "median\u0301"),
    lambda: native.swal_statistic(SERIES, "\udc80"),
    lambda: native.swal_statistic(SERIES, change_type="VAR"),
    lambda: native.scan_single_window(SERIES, 8, n_perm=10),
    lambda: native.scan_single_window(SERIES, 2, n_perm=10),
    lambda: native.scan_single_window(SERIES, -1),
    lambda: native.scan_detector(SERIES, window_sizes=[8, 9], n_perm=8),
    lambda: native.scan_detector(SERIES, window_sizes=[8, 0]),
    lambda: native.scan_detector(SERIES, bogus=1),
    lambda: native.scan_detector(SERIES, backend="fork"),
]


def run_all(rounds: int) -> None:
    for _ in range(rounds):
        for call in CALLS:
            try:
                call()
            except (ValueError, TypeError, OverflowError, UnicodeEncodeError, Boom):
                pass


@needs_plain_allocator
@pytest.mark.filterwarnings("ignore")
def test_memory_stays_flat_over_many_calls():
    run_all(200)
    gc.collect()
    before = rss_bytes()
    run_all(5000)
    gc.collect()
    grown = rss_bytes() - before
    # 90000 calls: a leak of even one small object per call would show as megabytes.
    assert grown < 2 * 1024 * 1024, f"RSS grew by {grown} bytes"
