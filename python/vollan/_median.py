"""The median of a float array, the value ``np.median`` gives, found faster on long arrays.

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
