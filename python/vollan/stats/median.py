"""Medians found faster than ``np.median`` and ``np.partition`` find them, to the same values.

The median of a float array, the value ``np.median`` gives, found faster on long arrays.

``np.median`` copies the array and runs a selection over all of it, about 15 ms for 10^6
values, and ``detect`` takes a dozen medians of the whole series. Here a strided sample of
the values brackets the middle ones between two sample quantiles; two comparisons count the
values below and above the bracket and keep the few within it, and a selection over those
few finds the middle values. Where the bracket misses them (values arranged so that the
sample misleads) or a NaN is present, ``np.median`` itself answers. Either way the result is
the same: the middle value, or the mean of the two middle values as ``np.mean`` takes it.
"""

from __future__ import annotations

import math
from functools import cache
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Below this many values the plain selection is as fast, and simpler.
SAMPLED_FROM = 1 << 13
# Values in the sample (at most): more narrow the bracket, and cost more to sort.
SAMPLE = 1 << 14


def median(a: NDArray[np.float64]) -> float:
    """``float(np.median(a))`` of a one-dimensional float64 array (NaN when one is present)."""
    n = len(a)
    if n < SAMPLED_FROM:
        return _selected(a, n)
    low = (n - 1) // 2
    high = n // 2
    sample = np.sort(a[:: max(8, n // SAMPLE)])
    m = len(sample)
    # The ranks around the middle that the sample's order statistics bracket, with a margin
    # of four standard deviations of a sample quantile's rank.
    margin = 4.0 * math.sqrt(m) / 2.0 + 2.0
    lo = sample[max(0, math.floor(m * low / n - margin))]
    hi = sample[min(m - 1, math.ceil(m * high / n + margin))]
    below = a < lo
    above = a > hi
    n_below = int(np.count_nonzero(below))
    n_above = int(np.count_nonzero(above))
    if not (n_below <= low and n_above <= n - 1 - high):
        return float(np.median(a))
    within = a[(a >= lo) & (a <= hi)]
    if n_below + n_above + len(within) != n:  # a NaN lies in none of the three
        return float(np.median(a))
    part = np.partition(within, (low - n_below, high - n_below))
    return float(np.mean(part[low - n_below : high - n_below + 1]))


def _selected(a: NDArray[np.float64], n: int) -> float:
    if n == 0:
        return float(np.median(a))
    low = (n - 1) // 2
    high = n // 2
    # The last place as well: a NaN sorts there, and makes the median NaN.
    part = np.partition(a, (low, high, n - 1))
    if np.isnan(part[-1]):
        return math.nan
    return float(np.mean(part[low : high + 1]))


# Windows up to this many values take the comparison network of :func:`window_medians`; beyond,
# its comparisons outnumber what a partition of each window costs.
NETWORK_MOST = 19
# Windows handled at once by the network: its wires then stay in cache.
_NETWORK_CHUNK = 1 << 13


def window_medians(x: NDArray[np.float64], width: int) -> NDArray[np.float64]:
    """``out[j]``, the middle of the sorted ``x[j : j + width]`` for an odd ``width``, as
    ``np.partition`` finds it (of finite values).

    A partition per window spends most of its time on calling it (a window of 11 values
    costs ~100 ns). Short windows go instead through a comparison network whose wires are the
    ``width`` shifted copies of the series: each comparator is one ``np.minimum`` and one
    ``np.maximum`` over thousands of windows at once. The network sorts, so its middle wire
    holds the middle value, the same value a partition selects."""
    m = len(x) - width + 1
    out = np.empty(max(m, 0))
    if m < 1:
        return out
    if width > NETWORK_MOST:
        windows = np.lib.stride_tricks.sliding_window_view(x, width)
        rows = max(1, _NETWORK_CHUNK // width)
        for s in range(0, m, rows):
            out[s : s + rows] = np.partition(windows[s : s + rows], width // 2, axis=1)[
                :, width // 2
            ]
        return out
    comparators, middle = _median_network(width)
    for s in range(0, m, _NETWORK_CHUNK):
        e = min(m, s + _NETWORK_CHUNK)
        wires = [x[s + k : e + k].copy() for k in range(width)]
        low = np.empty(e - s)
        for a, b in comparators:
            np.minimum(wires[a], wires[b], out=low)
            np.maximum(wires[a], wires[b], out=wires[b])
            wires[a], low = low, wires[a]
        out[s:e] = wires[middle]
    return out


def _batcher(size: int) -> list[tuple[int, int]]:
    """Batcher's odd-even merge sort on ``size`` (a power of two) wires: comparators (i, j),
    i < j, each putting the smaller value on wire i."""
    out: list[tuple[int, int]] = []

    def merge(lo: int, n: int, r: int) -> None:
        step = 2 * r
        if step < n:
            merge(lo, n, step)
            merge(lo + r, n, step)
            out.extend((i, i + r) for i in range(lo + r, lo + n - r, step))
        else:
            out.append((lo, lo + r))

    def sort(lo: int, n: int) -> None:
        if n > 1:
            sort(lo, n // 2)
            sort(lo + n // 2, n // 2)
            merge(lo, n, 1)

    sort(0, size)
    return out


@cache
def _median_network(width: int) -> tuple[tuple[tuple[int, int], ...], int]:
    """The comparators of a sorting network for ``width`` values that the middle one depends
    on, and the wire that ends up holding it.

    Batcher's network on the next power of two, its extra wires holding +inf: a comparator
    with +inf on its upper wire changes nothing, one with +inf on its lower wire only swaps
    (the wires are relabelled instead). Then only the comparators on the middle value's
    path back to the inputs are kept."""
    size = 1 << max(1, (width - 1).bit_length())
    wire = list(range(size))  # the physical wire at each position of the network
    infinite = set(range(width, size))
    live = []
    for i, j in _batcher(size):
        a, b = wire[i], wire[j]
        if b in infinite:
            continue
        if a in infinite:
            wire[i], wire[j] = b, a
            continue
        live.append((a, b))
    middle = wire[width // 2]
    needed = {middle}
    kept = []
    for a, b in reversed(live):
        if a in needed or b in needed:
            kept.append((a, b))
            needed |= {a, b}
    return tuple(reversed(kept)), middle


# Values of the running median's windows copied and partitioned at once: few enough to stay
# in cache (half a megabyte), which makes the partition a third faster than 32 MiB at once.
_PARTITION_VALUES = 1 << 16


def running_median(x: NDArray[np.float64], width: int, step: int = 1) -> NDArray[np.float64]:
    """The median of the ``width`` values (one more when even) around each value of ``x``,
    within the series (near an end, the nearest ``width`` values); taken at every ``step``-th
    value (and the last) and interpolated linearly between."""
    window = width | 1
    n = len(x)
    if window >= n:
        return np.full(n, median(x))
    centres = np.arange(0, n, max(1, step))
    if centres[-1] != n - 1:
        centres = np.append(centres, n - 1)
    starts = np.clip(centres - window // 2, 0, n - window)
    windows = np.lib.stride_tricks.sliding_window_view(x, window)
    at = np.empty(len(centres))
    rows = max(1, _PARTITION_VALUES // window)
    for s in range(0, len(starts), rows):
        # The middle of an odd count: a partition finds it several times faster than median,
        # here in the rows the gather has already copied.
        gathered = windows[starts[s : s + rows]]
        gathered.partition(window // 2, axis=1)
        at[s : s + rows] = gathered[:, window // 2]
    if len(centres) == n:
        return at
    return np.asarray(np.interp(np.arange(n), centres, at), dtype=np.float64)
