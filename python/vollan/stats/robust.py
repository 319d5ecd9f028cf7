"""Robust scales and units shared by the stages, and the line removed before a scan.

The noise's standard deviation from first differences (:func:`noise_scale`), a MAD that sees
past tied values (:func:`robust_spread`, :func:`past_ties`), a robust z-score
(:func:`robust_z`), the least gap between values (:func:`resolution`) and the units a series
is judged in (:func:`standard_units`), each written once; with them the straight line
:func:`detrend_linear` removes and the local contrast :func:`local_contrast` users can plot.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from vollan.stats.median import median, window_medians

if TYPE_CHECKING:
    from numpy.typing import NDArray


# The engine's floor for a window's standard deviation.
MIN_STD = 1e-12
# MAD × 1.4826 estimates the standard deviation of normally distributed values.
MAD_TO_SD = 1.4826
# So does the mean absolute deviation × sqrt(pi / 2).
MEAN_AD_TO_SD = math.sqrt(math.pi / 2.0)
# A line that moves no value by more than this fraction of the noise is not worth a first scan
# to refit its slope.
NEGLIGIBLE_LINE = 0.1
# Rows of sorted windows held at once by local_contrast (each row holds h values).
_CONTRAST_CHUNK_VALUES = 1 << 22


def detrend_linear(
    series: Any, change_points: Sequence[int] = ()
) -> tuple[NDArray[np.float64], tuple[float, float]]:
    """Remove the mean and a straight line, its slope fitted within segments.

    The slope is the pooled least-squares slope within the segments between
    ``change_points``: each segment keeps its own level, so that level shifts at those points
    do not tilt the line (a line fitted across a step would turn it into two ramps).
    Without change points it is the ordinary least-squares slope of the whole series.

    Parameters
    ----------
    series : sequence of float or numpy array
        The values, all finite.
    change_points : sequence of int, optional
        Ascending positions where segments begin (0 < c < n).

    Returns
    -------
    residual : numpy.ndarray
        ``series - level - slope * (t - (n - 1) / 2)``, as float64.
    trend : tuple of (float, float)
        ``(level, slope)``: the mean of the series and the slope per step.

    Raises
    ------
    ValueError
        If the line or the residual is not finite (values near the float limit overflow).
    """
    with np.errstate(all="ignore"):  # overflow is reported below
        return _detrend(np.asarray(series, dtype=np.float64), change_points)


def _detrend(
    x: NDArray[np.float64], change_points: Sequence[int]
) -> tuple[NDArray[np.float64], tuple[float, float]]:
    n = len(x)
    # Time centred on the middle, so that the slope does not move the level.
    t = np.arange(n, dtype=np.float64) - (n - 1) / 2.0
    level = float(np.mean(x)) if n else 0.0
    across = 0.0
    spread = 0.0
    bounds = [0, *(c for c in change_points if 0 < c < n), n]
    for a, b in zip(bounds[:-1], bounds[1:], strict=True):
        if b - a < 2:
            continue
        ts = t[a:b] - float(np.mean(t[a:b]))
        across += float(np.sum(ts * (x[a:b] - float(np.mean(x[a:b])))))
        spread += float(np.sum(ts * ts))
    slope = across / spread if spread > 0 else 0.0
    residual = (x - level) - slope * t
    if not (math.isfinite(level) and math.isfinite(slope) and np.isfinite(residual).all()):
        raise ValueError(
            "the series overflows when its straight line is removed (values near the float "
            "limit); rescale it or pass detrend=None"
        )
    return residual, (level, slope)


def local_contrast(series: Any, h: int, change_type: str = "mean") -> NDArray[np.float64]:
    """How much the ``h`` values after each boundary differ from the ``h`` values before it.

    Entry ``i`` belongs to the boundary ``c = h + i`` and compares ``series[c - h : c]`` with
    ``series[c : c + h]``, for every ``c`` from ``h`` to ``n - h``. For the change types
    "mean" and "distribution" the comparison is the statistic of the window scan, the
    Wasserstein distance (for two samples of equal size, the mean absolute difference of
    their sorted values), taken at every position instead of every ``h``-th. For "var" it is
    ``|log(s_after / s_before)|``, with the sample standard deviations floored at 1e-12 as in
    the engine: the distance grows with the spread on both sides, so in the noisier part of
    a series it is large everywhere and a change of spread would not stand out.

    Parameters
    ----------
    series : sequence of float or numpy array
        The values, all finite.
    h : int
        Values on each side of a boundary, at least 1 (at least 2 for "var").
    change_type : {"mean", "var", "distribution"}, default "mean"
        Which comparison; letter case is ignored.

    Returns
    -------
    numpy.ndarray
        ``n - 2h + 1`` contrasts.

    Raises
    ------
    ValueError
        If ``h`` is too small, the series has fewer than ``2h`` values, or the change type is
        unknown.
    """
    x = np.asarray(series, dtype=np.float64)
    n = len(x)
    kind = change_type.lower() if change_type.isascii() else change_type
    if kind not in ("mean", "var", "distribution"):
        raise ValueError(
            f"change_type must be 'mean', 'var' or 'distribution', got {change_type!r}"
        )
    smallest = 2 if kind == "var" else 1
    if h < smallest or n < 2 * h:
        raise ValueError(f"need h >= {smallest} and at least 2h values, got h={h} and {n} values")
    m = n - 2 * h + 1
    out = np.empty(m)
    # Chunks bound the memory of the window copies for long series and wide h.
    rows = max(1, _CONTRAST_CHUNK_VALUES // h)
    for s in range(0, m, rows):
        e = min(m, s + rows)
        windows = sliding_window_view(x[s : e + 2 * h - 1], h)
        if kind == "var":
            spread = np.log(np.maximum(np.std(windows, axis=1, ddof=1), MIN_STD))
            out[s:e] = np.abs(spread[h : h + e - s] - spread[: e - s])
        else:
            ordered = np.sort(windows, axis=1)
            out[s:e] = np.abs(ordered[h : h + e - s] - ordered[: e - s]).mean(axis=1)
    return out


def resolution(x: NDArray[np.float64], ordered: NDArray[np.float64] | None = None) -> float:
    """The smallest positive gap between two distinct values of ``x`` when its values lie on a
    grid, else 0; ``ordered``, when given, holds its finite values sorted (a sort shared with
    other rules).

    Counts, binary flags and rounded readings repeat their values, so that windows of a quiet
    stretch can hold exactly the same values (no spread, no distance between them). Against
    such windows any other looks infinitely different; the least difference the values can
    show is the yardstick instead. A grid shows itself by repeats: values of which fewer than
    :data:`LEAST_REPEATS` repeat are continuous, and their least gap says nothing of the noise
    (along a steep drift it is the drift's step, far above the noise).
    """
    values = np.sort(x[np.isfinite(x)]) if ordered is None else ordered
    # The gaps between neighbours of the sorted values that differ are those between the
    # distinct values.
    distinct = values[1:] != values[:-1]
    if not distinct.any():
        return 0.0
    if len(values) - 1 - int(np.count_nonzero(distinct)) < LEAST_REPEATS * len(values):
        return 0.0
    with np.errstate(all="ignore"):
        gaps = values[1:][distinct] - values[:-1][distinct]
    return float(gaps.min())


# The share of repeated values from which values are taken to lie on a grid: continuous
# readings repeat none, counts and rounded readings a great many.
LEAST_REPEATS = 0.01


# Values whose spread lies within 2^-SCALE_OCTAVES .. 2^SCALE_OCTAVES are judged as given.
SCALE_OCTAVES = 30
# The largest deviation a series is brought up to, in octaves.
_MOST_OCTAVES = 64
# A series whose median lies farther from 0 than this many spreads is scanned about its median.
OFFSET_SPREADS = 2.0**10


def standard_units(x: NDArray[np.float64]) -> tuple[float, float]:
    """``(offset, scale)``: the series is scanned and judged as ``(x - offset) * scale``.

    Both are chosen so that ordinary series are judged as given (``(0.0, 1.0)``), and series in
    units far from their own spread as if the units fitted it:

    - ``scale``, a power of two that brings the spread near 1, when the spread lies outside
      2^-30 .. 2^30. The rules square values (standard deviations, Geary's ratio) and floor
      spreads at :data:`MIN_STD`: a series whose spread is near 1e-12 or beyond 1e154 would
      be judged differently from the same series in other units, or overflow to nothing.
      Multiplying by a power of two is exact (a variance moves by its square, so a standard
      deviation moves exactly with it), so the scan finds the same, in other units, and the
      rules differ only by roundings. A series is brought up no further than its largest
      deviation stays within 2^64 (ties can make the median deviation minute beside the rest)
      and 2^1023 (the largest power of two a float holds).
    - ``offset``, the median, when it lies farther from 0 than 2^10 spreads (readings on a
      large baseline: timestamps, pressures in pascal, prices in the thousands with a spread
      of cents). The scan takes each window's mean and standard deviation from running sums
      of the values and of their squares, whose difference loses the spread to rounding on
      such a baseline; about the median the values are small, and nearby values subtract
      exactly.

    The spread is the median absolute deviation from the median (the largest deviation where
    more than half the values tie).
    """
    if not len(x):
        return 0.0, 1.0
    with np.errstate(all="ignore"):
        # A quarter keeps the deviations of values near the float limit finite.
        quarter = x * 0.25
        middle = median(quarter)
        deviation = np.abs(quarter - middle)
        spread = median(deviation)
        largest = float(deviation.max())
    if not spread > 0:
        spread = largest
    if not (spread > 0 and math.isfinite(largest)):
        return 0.0, 1.0
    offset = 0.0
    if abs(middle) > OFFSET_SPREADS * spread:
        with np.errstate(all="ignore"):
            if np.isfinite(x - 4.0 * middle).all():
                offset = 4.0 * middle
    # The values' deviations are four times those of the quarters.
    exponent = math.frexp(spread)[1] + 2
    if abs(exponent) <= SCALE_OCTAVES:
        return offset, 1.0
    octaves = -exponent
    if octaves > 0:
        octaves = min(octaves, _MOST_OCTAVES - (math.frexp(largest)[1] + 2), 1023)
        if octaves <= 0:
            return offset, 1.0
    return offset, math.ldexp(1.0, octaves)


def robust_spread(values: NDArray[np.float64], centre: float) -> float:
    """Normal-consistent spread of ``values`` about ``centre``: the scaled MAD, or, when more
    than half the values equal the centre (ties of discrete data), the scaled mean absolute
    deviation, which still sees the rest. 0 only when every value equals the centre."""
    deviation = np.abs(values - centre)
    mad = median(deviation)
    if mad > 0 or not len(values):
        return MAD_TO_SD * mad
    return MEAN_AD_TO_SD * float(deviation.mean())


def robust_z(peaks: Sequence[float], reference: NDArray[np.float64]) -> list[float]:
    """How far each of ``peaks`` stands out of ``reference``: its excess over their median in
    units of their :func:`robust_spread` (``inf`` above a constant reference, 0 at it)."""
    with np.errstate(all="ignore"):
        centre = median(reference)
        spread = robust_spread(reference, centre)
    excess = [peak - centre for peak in peaks]
    if spread > 0:
        return [e / spread for e in excess]
    return [math.inf if e > 0 else 0.0 for e in excess]


def noise_scale(x: NDArray[np.float64], untied: bool = False) -> float:
    """Robust standard deviation of the noise, from the first differences.

    Level shifts and a drift move few differences or all of them alike, so the scaled MAD of
    the differences, divided by sqrt(2), estimates the noise of white noise around them.
    With ``untied``, the MAD is taken :func:`past_ties`, so that a change beside a flat
    stretch does not read as many noise standard deviations.
    """
    with np.errstate(all="ignore"):
        d = np.diff(x)
        centre = median(d)
        deviation = np.abs(d - centre)
        if untied:
            rest = past_ties(deviation)
            if len(rest):
                deviation = rest
        return MAD_TO_SD * median(deviation) / math.sqrt(2.0)


# The share of absolute deviations tied at 0 from which the ties set a MAD no more.
MOST_TIED = 0.1


def past_ties(deviation: NDArray[np.float64]) -> NDArray[np.float64]:
    """The absolute deviations whose median is the noise's MAD: all of them, or, where a tenth
    or more are 0 (a flat stretch, or values on a few levels), the others. The ties would
    shrink the MAD towards 0, and ordinary noise beside a flat stretch would read as extreme;
    continuous noise ties none."""
    if len(deviation) and (deviation == 0.0).sum() >= MOST_TIED * len(deviation):
        return deviation[deviation > 0.0]
    return deviation


def tie_bounds(ordered: NDArray[np.float64]) -> NDArray[np.int64]:
    """Where each run of equal values of the sorted ``ordered`` starts, then its length: the
    differences are each distinct value's count."""
    starts = np.flatnonzero(ordered[1:] != ordered[:-1]) + 1
    return np.concatenate([[0], starts, [len(ordered)]])


def line_matters(x: NDArray[np.float64], slope: float) -> bool:
    """Whether a line of ``slope`` moves some value of ``x`` by more than a tenth of the noise.

    When it does not, no slope between zero and it matters, and refitting it between the
    level shifts of a first scan is wasted time.
    """
    return abs(slope) * (len(x) - 1) / 2 > NEGLIGIBLE_LINE * noise_scale(x)


def clipped(x: NDArray[np.float64], h: int, sds: float = 3.0) -> NDArray[np.float64]:
    """``x`` with each residual from the running median of ``h`` values (one more when h is
    even) clipped at ``sds`` robust standard deviations of the residuals."""
    width = h | 1
    middle = window_medians(np.pad(x, width // 2, mode="edge"), width)
    residual = x - middle
    centre = median(residual)
    bound = sds * MAD_TO_SD * median(np.abs(residual - centre))
    if not bound > 0:
        return x
    return np.asarray(middle + np.clip(residual, centre - bound, centre + bound), np.float64)
