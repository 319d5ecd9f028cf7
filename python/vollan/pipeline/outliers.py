"""Isolated outliers: single values far from both of their neighbourhoods.

A value that stands alone far from the rest is not a change of regime, but it moves the scan's
statistics as much as one: adjacent windows differ wherever one of them holds it. So such values
are found first, reported apart (``Detection.outliers``) and left out of the scan, as missing
values are.
"""

from __future__ import annotations

import math
from statistics import NormalDist
from typing import TYPE_CHECKING

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from vollan.stats.robust import MAD_TO_SD, MOST_TIED, past_ties

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Values on each side that describe a value's neighbourhood; the median of three ignores one
# other outlier among them.
NEIGHBOURS = 3
# A value is an outlier only this many noise standard deviations away from both sides, or the
# Bonferroni bound for Gaussian noise at 5 % over the whole series, whichever is larger: far
# beyond what the noise of any series here produces by chance, so plain noise reports none.
MIN_OUTLIER_Z = 5.0
OUTLIER_ALPHA = 0.05
# The median of three neighbours of Gaussian noise has variance about 0.449 σ²; a value minus
# it, 1.449 σ². Dividing by the square root gives the noise's own standard deviation.
_RESIDUAL_SD = math.sqrt(1.449)


def outlier_threshold(n: int) -> float:
    """Distance from both neighbourhoods, in noise standard deviations, that makes an outlier.

    ``max(5, z)``, with z the two-sided Bonferroni quantile of the standard normal at 5 % for
    ``n`` values: 5 up to about 30,000 values, then slowly rising (5.5 at a million).
    """
    bonferroni = NormalDist().inv_cdf(1.0 - OUTLIER_ALPHA / (2.0 * max(n, 1)))
    return max(MIN_OUTLIER_Z, bonferroni)


def find_outliers(x: NDArray[np.float64]) -> NDArray[np.intp]:
    """Positions of isolated outliers in ``x`` (finite values), ascending; none in fewer than
    12 values.

    Value ``i`` is compared with the median of the three values before it and with the median
    of the three after it (one side only at the ends). It is an outlier when it lies beyond
    :func:`outlier_threshold` noise standard deviations from both, on the same side. A level
    shift therefore never makes one: the values after a shift agree with those that follow
    them. One or two adjacent extreme values are outliers (and the middle one of three); four
    or more make a short regime. The noise standard deviation comes from the scaled MAD of
    these differences in blocks of 64 values around each value (see :func:`_local_sd`), so
    that the noisier part of a series whose spread changes is judged by its own noise.
    """
    n = len(x)
    k = NEIGHBOURS
    if n < 4 * k:
        return np.empty(0, dtype=np.intp)
    with np.errstate(all="ignore"):  # values near the float limit overflow; nothing is flagged
        medians = _medians_of_three(x) if k == 3 else np.median(sliding_window_view(x, k), axis=1)
        left = np.full(n, np.nan)
        right = np.full(n, np.nan)
        np.subtract(x[k:], medians[: n - k], out=left[k:])
        np.subtract(x[: n - k], medians[1:], out=right[: n - k])
        # Only the first k values lack a left side (a difference of finite values is never
        # NaN): the residuals are the left sides with the right ones there, taken in place.
        left[:k] = right[:k]
        limit = _local_sd(left)
        left[:k] = np.nan
        limit *= outlier_threshold(n) * _RESIDUAL_SD
        # Only the ends and the values beyond the limit on their left side can be outliers:
        # the rules below are judged there alone.
        at = np.flatnonzero(~(np.abs(left) <= limit))
        left, right, limit = left[at], right[at], limit[at]
        high_left = left > limit
        high_right = right > limit
        low_left = left < -limit
        low_right = right < -limit
        # At the ends only one side exists. There a trend, which the one-sided comparison
        # would take for an outlier, is allowed for: the value must also be farther from
        # the nearer median than that median is from the next one along.
        ends = (at < k) | (at >= n - k)
        trend = np.zeros(n)
        trend[:k] = np.abs(medians[1 : k + 1] - medians[k + 1 : 2 * k + 1])
        trend[n - k :] = np.abs(medians[n - 2 * k : n - k] - medians[n - 3 * k : n - 2 * k])
        allowed = np.where(ends, limit + trend[at], limit)
        high = np.where(np.isnan(left), right > allowed, high_left & (high_right | np.isnan(right)))
        low = np.where(np.isnan(left), right < -allowed, low_left & (low_right | np.isnan(right)))
        high &= ~(np.isnan(right) & ~(left > allowed))
        low &= ~(np.isnan(right) & ~(left < -allowed))
    return at[high | low]


def _medians_of_three(x: NDArray[np.float64]) -> NDArray[np.float64]:
    """medians[j] of x[j : j + 3]: the middle value of each three, as np.median gives it
    (but for the sign of a zero, which no comparison sees), without sorting every window."""
    a, b, c = x[:-2], x[1:-1], x[2:]
    # max(min(a, b), min(max(a, b), c)), in two arrays.
    out: NDArray[np.float64] = np.minimum(a, b)
    high = np.maximum(a, b)
    np.minimum(high, c, out=high)
    return np.maximum(out, high, out=out)


# Values per block of the local noise scale: enough for a stable MAD, few enough to follow a
# change of spread.
SCALE_BLOCK = 64


def _local_sd(residual: NDArray[np.float64]) -> NDArray[np.float64]:
    """Noise standard deviation around each value: the largest scaled MAD of the residuals of
    its block of 64 values and of the two blocks beside it, so that a value in a block where
    the spread changes is judged by the noisier side (the last few values share the last
    block's). Where the residuals do not vary the result is infinite: nothing is flagged."""
    n = len(residual)
    blocks = max(1, n // SCALE_BLOCK)
    size = n // blocks
    main = residual[: blocks * size].reshape(blocks, size)
    centre = np.median(main, axis=1, keepdims=True)
    deviation = np.subtract(main, centre)
    np.abs(deviation, out=deviation)
    sd = MAD_TO_SD * np.median(deviation, axis=1) / _RESIDUAL_SD
    # A block that repeats one value ties many residuals at its centre: its scale comes from
    # the others (past_ties).
    tied = (deviation == 0.0).sum(axis=1)
    for b in np.flatnonzero(tied >= MOST_TIED * size):
        rest = past_ties(deviation[b])
        sd[b] = MAD_TO_SD * np.median(rest) / _RESIDUAL_SD if len(rest) >= NEIGHBOURS else np.inf
    sd[~(sd > 0.0) | ~np.isfinite(sd)] = np.inf
    padded = np.concatenate([sd[:1], sd, sd[-1:]])
    sd = np.maximum(np.maximum(padded[:-2], padded[1:-1]), padded[2:])
    out = np.empty(n)
    out[: blocks * size].reshape(blocks, size)[:] = sd[:, None]
    out[blocks * size :] = sd[-1]
    return out
