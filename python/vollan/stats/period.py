"""The period of a series, and the changes of a periodic series placed to the value by its cycle.

The period comes from the periodogram and the autocovariance (:func:`dominant_period`). The
placement (:func:`place_periodic`): the scan of a periodic series compares windows of whole
periods, and the contrasts and the passes over stretches compare the laws of the values on
either side: neither can tell where within a cycle a change happened, so a change of wave form,
amplitude or period is reported up to half a period or so from where it lies. What does tell is
the order of the values: within a regime each value is close to the one a period before it and
to the one a period after it. So each reported change ``c`` is moved, within
:data:`RADIUS_PERIODS` periods of where it was reported, to the split under which predicting
every value left of it from the value one period before, and every value right of it from the
value one period after, fits best (least squares). Only across the true change does either
prediction mix the two regimes, and the cost of that mixing rises as the split moves away from
it on either side.

Values left out of the scan (missing ones, outliers) would shift every value after them by one
against the cycle, so the placement runs on the series' own time axis, the left-out values
filled in linearly between their neighbours.

Each side's lag is the one, between half and twice the series' period, under which the values
of that side (beyond the radius, up to :data:`BLOCK_PERIODS` periods) are most like themselves:
regimes may differ in period, and a period that is not a whole number of values is followed
best by the whole multiple closest to one. A change stays where it was found when either side
does not follow a cycle: when even its best lag predicts its values worse than their mean does
(noise, or a cycle that only outliers left out of the scan made).
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from vollan.stats.median import median

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "MIN_PERIOD",
    "autocovariance",
    "best_lag",
    "dominant_period",
    "place_periodic",
    "place_periodic_in_time",
]

MIN_PERIOD = 3
PERIOD_ALPHA = 0.05
CYCLE_SHARE = 0.1


def dominant_period(x: NDArray[np.float64], harmonics: bool = True) -> int | None:
    """The period, at least 3 values, of a seasonal or periodic series of finite values, or
    None when it has none.

    The periodogram of the series, without its least-squares line, is divided by its own
    running median (over half an octave on each side of each frequency), so that the rising
    low-frequency power of level shifts, drift and autocorrelation does not count as a period.
    A period is reported when the largest such ratio, among periods from 3 values to a quarter
    of the series, exceeds what the largest of ``n/2`` exponential periodogram ordinates of
    white noise reaches with probability 5 % (Bonferroni). That peak, at k cycles, may be a
    harmonic: a square, sawtooth or triangle wave puts power at whole multiples of its
    frequency, and a series whose regimes differ in period spreads it over several peaks. So
    the period is the first of ``n/k``, ``2n/k``, ``3n/k``, ... that passes two checks: a
    multiple other than the first must itself lie within 20 % of a peak beyond the same
    critical ratio, and, refined to the lag of the highest autocorrelation within 20 % of it,
    the cycle must carry at least a tenth of the variance: the autocorrelation at the period
    exceeds that at half the period by at least 0.2 (level shifts and slow wandering raise
    both alike; half a period of a wave makes it unlike itself).
    """
    n = len(x)
    if n < 4 * MIN_PERIOD:
        return None
    t = np.arange(n, dtype=np.float64)
    t -= (n - 1) / 2.0
    with np.errstate(all="ignore"):
        # In place, with one scratch array: this runs beside the search for outliers.
        y = x - np.mean(x)
        scratch = np.multiply(t, t)
        spread = float(np.sum(scratch))
        slope = float(np.sum(np.multiply(t, y, out=scratch))) / spread
        y -= np.multiply(slope, t, out=scratch)
        del scratch, t
        power = np.abs(np.fft.rfft(y))
        power **= 2
        if not np.isfinite(power).all():
            return None
    lowest = 4  # k cycles in the series: periods up to n/4
    highest = n // MIN_PERIOD
    if highest <= lowest:
        return None
    floor = _running_median_log(power, lowest, highest)
    with np.errstate(all="ignore"):
        ratio = power[lowest : highest + 1] / floor
    if not np.isfinite(ratio).any():
        return None
    best = int(np.nanargmax(ratio))
    # Ordinates of white noise are exponential, so a ratio to their median (ln 2) beyond
    # (ln(n/2) + ln(20)) / ln 2 happens with probability 5 % anywhere in the periodogram.
    critical = (math.log(n / 2.0) + math.log(1.0 / PERIOD_ALPHA)) / math.log(2.0)
    if not ratio[best] > critical:
        return None
    acf = autocovariance(y)
    if not acf[0] > 0:
        return None
    cycles = lowest + best
    for multiple in range(1, cycles // lowest + 1 if harmonics else 2):
        if multiple > 1:
            # A fundamental below the peak is itself a peak of the periodogram.
            lo = max(lowest, math.floor(cycles / multiple / 1.2))
            hi = min(highest, math.ceil(cycles / multiple / 0.8))
            if hi < lo or not (ratio[lo - lowest : hi - lowest + 1] > critical).any():
                continue
        period = _refine_period(acf, n * multiple / cycles)
        if period is not None:
            return period
    return None


def _running_median_log(power: NDArray[np.float64], lo: int, hi: int) -> NDArray[np.float64]:
    """Median of ``power`` over [k / √2, k·√2] for every k in lo..hi, on a grid of centres
    spaced by 2 % and interpolated between them (a median per frequency would cost O(n²))."""
    centres = np.unique(np.geomspace(lo, hi, max(2, int(math.log(hi / lo) / 0.02) + 1)).round())
    starts = np.maximum(1, (centres / math.sqrt(2.0)).astype(np.int64))
    ends = np.minimum((centres * math.sqrt(2.0)).astype(np.int64) + 2, len(power))
    medians = np.empty(len(centres))
    # The short windows, most of them, are sorted together as rows padded with infinities.
    short = np.flatnonzero(ends - starts <= _SORTED_TOGETHER)
    if len(short):
        first = starts[short]
        size = ends[short] - starts[short]
        widest = int(size.max())
        padded = np.concatenate([power, np.full(widest, np.inf)])
        rows = np.lib.stride_tricks.sliding_window_view(padded, widest)[first]
        rows[np.arange(widest) >= size[:, None]] = np.inf
        rows.sort(axis=1)
        order = np.arange(len(short))
        low = rows[order, (size - 1) // 2]
        high = rows[order, size // 2]
        medians[short] = np.where(size % 2 == 1, low, (low + high) / 2.0)
    for i in np.flatnonzero(ends - starts > _SORTED_TOGETHER).tolist():
        medians[i] = median(power[starts[i] : ends[i]])
    return np.asarray(np.interp(np.arange(lo, hi + 1), centres, medians), dtype=np.float64)


# Windows of the running median up to this many values are sorted together.
_SORTED_TOGETHER = 256


def autocovariance(y: NDArray[np.float64]) -> NDArray[np.float64]:
    """``sum_t y[t] y[t + k]`` for every lag k from 0 to len(y) - 1, by one FFT of twice the
    length (no wrap-around)."""
    n = len(y)
    size = 1 << (2 * n - 1).bit_length()
    spectrum = np.fft.rfft(y, size)
    return np.asarray(np.fft.irfft(spectrum * np.conj(spectrum), size)[:n], dtype=np.float64)


def _refine_period(acf: NDArray[np.float64], rough: float) -> int | None:
    n = len(acf)
    lo = max(MIN_PERIOD, math.floor(0.8 * rough))
    hi = min(n // 4, math.ceil(1.2 * rough))
    if hi < lo:
        return None
    period = lo + int(np.argmax(acf[lo : hi + 1]))
    # A cycle makes the series alike a period apart and unlike half a period apart; level
    # shifts and slow wandering make it alike at both. Asking for a gap of CYCLE_SHARE·2 asks
    # the cycle to carry at least that share of the variance.
    gap = (acf[period] - acf[period // 2]) / acf[0]
    return period if gap >= 2 * CYCLE_SHARE else None


# A change is looked for this many periods on either side of where it was reported: the
# windows compared are whole periods, so the phase within a cycle is what they leave open.
RADIUS_PERIODS = 1
# The values that fix each side's lag: this many periods beyond the radius.
BLOCK_PERIODS = 4
# Each side's lag lies between these multiples of the series' period. A side with fewer than
# twice the largest lag in values beyond the radius (a change close to its neighbour) keeps
# the change where it was found: a lag chosen among short ones only would follow no period.
LEAST_LAG_PERIODS = 0.5
MOST_LAG_PERIODS = 2.0


def best_lag(block: NDArray[np.float64], least: int, most: int) -> int | None:
    """The lag from ``least`` to ``most`` with the least mean squared difference between the
    block's values and those that many values before them. None for a block of fewer than
    ``2 * most`` values, too short to compare its values a lag of ``most`` apart, and when
    even that lag predicts the values worse than the block's mean does (a mean squared
    difference above the block's variance): such a side does not follow a cycle."""
    m = len(block)
    if m < 2 * most:
        return None
    # Sums over t of (b[t] - b[t - L])^2 = squares after L + squares before m - L - 2 r(L),
    # with r the lagged products, all lags at once.
    squares = np.concatenate([[0.0], np.cumsum(block * block)])
    lags = np.arange(least, most + 1)
    products = autocovariance(block)[lags]
    total = (squares[m] - squares[lags]) + squares[m - lags] - 2.0 * products
    mean_squares = total / (m - lags)
    best = int(np.argmin(mean_squares))
    if not mean_squares[best] <= float(np.var(block)):
        return None
    return int(lags[best])


def place_periodic(x: NDArray[np.float64], changes: Sequence[int], period: int) -> dict[int, int]:
    """Where each of the sorted ``changes`` of ``x`` fits best (module docstring), for those
    that move: their new positions stay strictly between the midpoints to their neighbours,
    so that changes keep their order and never meet."""
    n = len(x)
    radius = RADIUS_PERIODS * period
    block = BLOCK_PERIODS * period
    least = max(2, round(LEAST_LAG_PERIODS * period))
    most = max(least, round(MOST_LAG_PERIODS * period))
    cuts = [0, *changes, n]
    moved = {}
    for prev, c, nxt in zip(cuts, cuts[1:], cuts[2:], strict=False):
        left = best_lag(x[max(prev, c - radius - block) : max(prev, c - radius)], least, most)
        right = best_lag(x[min(nxt, c + radius) : min(nxt, c + radius + block)], least, most)
        if left is None or right is None:
            continue
        # The splits looked at, with both predictions inside the change's own stretches.
        lo = max(c - radius, (prev + c) // 2 + 1, prev + left)
        hi = min(c + radius, (c + nxt + 1) // 2 - 1, nxt - right)
        if not lo <= c <= hi:
            continue
        t = np.arange(lo, hi)
        forward = (x[t] - x[t - left]) ** 2
        backward = (x[t] - x[t + right]) ** 2
        # cost(s) = forward over [lo, s) + backward over [s, hi), for s from lo to hi.
        cost = np.concatenate([[0.0], np.cumsum(forward)]) + np.concatenate(
            [np.cumsum(backward[::-1])[::-1], [0.0]]
        )
        best = lo + int(np.argmin(cost))
        if best != c:
            moved[c] = best
    return moved


def place_periodic_in_time(
    x: NDArray[np.float64],
    positions: NDArray[np.intp] | None,
    changes: Sequence[int],
    period: int,
) -> dict[int, int]:
    """:func:`place_periodic` for scanned values ``x`` taken at ``positions`` of the series
    (None: at 0 .. n-1), on the series' time axis with the values left out filled in
    linearly. The changes and their new places count scanned values; a new place is the first
    scanned value at or after the place found on the time axis."""
    if positions is None:
        return place_periodic(x, changes, period)
    at = positions - positions[0]
    filled = np.interp(np.arange(at[-1] + 1, dtype=np.float64), at, x)
    moved = place_periodic(filled, [int(at[c]) for c in changes], period)
    out = {}
    for c in changes:
        if int(at[c]) in moved:
            new = int(np.searchsorted(at, moved[int(at[c])], side="left"))
            if new != c:
                out[c] = new
    # Two places that fall into one run of left-out values would meet: neither moves.
    taken = Counter(out.get(c, c) for c in changes)
    return {c: new for c, new in out.items() if taken[new] == 1}
