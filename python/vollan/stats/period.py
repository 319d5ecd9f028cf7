"""The period of a seasonal or periodic series, from its periodogram and autocovariance."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from vollan.stats.median import median

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["MIN_PERIOD", "autocovariance", "dominant_period"]

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
