"""Changes of shape at equal mean and spread, which the scan's votes do not see.

Two laws with the same mean and variance (a normal and a two-peaked or a flat one) are close
in the Wasserstein distance: adjacent windows of a few hundred values differ by less than their
sampling noise, so the scan rarely votes for such a change, and the location and scale contrasts
do not move. What does move is Geary's ratio, the mean absolute deviation over the standard
deviation (0.80 for a normal law, 0.87 for a flat one, 0.95 for the two-peaked one of the
benchmarks): it measures shape alone, whatever the level and the spread. So a change of shape is
looked for apart from the scan:

- the "shape" contrast at a boundary is the root of the absolute difference of Geary's ratio of
  the h values after it and the h values before it, each about its own least-squares line (a
  drift changes neither) and clipped at 3 robust standard deviations (so that the few extreme
  values of a heavy-tailed law do not move it), on every ``h // 8``-th boundary (neighbouring
  ones share nearly all values), refined to single boundaries around a peak;
- the width h is as large as leaves 4h boundaries to describe the series once the 2h around a
  peak are set aside (``(n + 1) // 8``), at most the largest window; the ratio's sampling
  noise falls as 1/sqrt(h), so shape is judged only from :data:`LEAST_SHAPE_WIDTH` values a
  side;
- a peak is reported when its robust z-score (against the median and MAD of the contrast at
  boundaries farther than h from the scan's candidates and from the peak) exceeds
  :data:`CRITICAL_SHAPE`, which lies above the simulated 97.5 % quantile of the largest such
  z-score over change-free series, and no change found by the other rules lies within h of it
  (a window that holds a shift of level or spread has a mixed shape, so shape peaks flank
  such changes).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from vollan._rules import MAD_TO_SD, MIN_STD, robust_spread

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Below this many values a side Geary's ratio (sd about 0.21 / sqrt(h)) cannot tell even the
# two-peaked law from a normal one.
LEAST_SHAPE_WIDTH = 32
# Boundaries that describe the series away from a change, in widths.
_WINDOWS_OF_BOUNDARIES = 4
# Boundaries looked at per width (neighbouring ones share nearly all their values).
_STEPS_PER_WIDTH = 8
# Rows of windows held at once (each row holds h values).
_CHUNK_VALUES = 1 << 18
# A few extreme values of a heavy-tailed law would move the ratio more than any change of
# shape; clipped beyond this many robust standard deviations they do not (a normal law keeps
# all but 0.3 % of its values).
CLIP_SDS = 3.0
# Values of a window from which its clipping limit is taken (about).
_CLIP_SAMPLE = 128
# The 97.5 % quantile of the largest z-score over change-free series lay at 3.4 to 4.05 for
# Gaussian, Student-t(3) and AR(1) 0.5 noise alike (400 series a cell, n 256 to 100,000) and did
# not grow with n; this lies above every one. 97.5 % rather than 95 %: shape is judged beside
# location and scale, and may add at most 2.5 % to their false alarms.
CRITICAL_SHAPE = 4.1


def shape_width(n: int, largest_window: int) -> int:
    """Values on each side of a boundary for the shape contrast (0 when too few)."""
    h = min((n + 1) // (_WINDOWS_OF_BOUNDARIES + 4), largest_window)
    # A multiple of the grid's step, so that the windows before and after each boundary of
    # the grid are windows of the grid.
    h -= h % _STEPS_PER_WIDTH
    return h if h >= LEAST_SHAPE_WIDTH else 0


def _shape_ratio(rows: NDArray[np.float64]) -> NDArray[np.float64]:
    """Geary's ratio of each row about its own line, the residuals clipped at
    :data:`CLIP_SDS` robust standard deviations."""
    h = rows.shape[1]
    t = np.arange(h, dtype=np.float64) - (h - 1) / 2.0
    residual = rows - rows.mean(axis=1, keepdims=True)
    residual -= (residual @ t / float(t @ t))[:, None] * t
    # The clipping limit need not be exact: wide windows take it from every k-th value.
    sample = residual[:, :: max(1, h // _CLIP_SAMPLE)]
    middle = np.median(sample, axis=1, keepdims=True)
    limit = CLIP_SDS * MAD_TO_SD * np.median(np.abs(sample - middle), axis=1, keepdims=True)
    np.clip(residual, middle - limit, middle + limit, out=residual)
    residual -= residual.mean(axis=1, keepdims=True)
    sd = np.maximum(np.sqrt(np.einsum("ij,ij->i", residual, residual) / h), MIN_STD)
    ratio: NDArray[np.float64] = np.abs(residual, out=residual).mean(axis=1) / sd
    return ratio


def shape_contrasts(
    x: NDArray[np.float64], h: int, bounds: NDArray[np.intp]
) -> NDArray[np.float64]:
    """The shape contrast at each boundary in ``bounds`` (h <= c <= n - h)."""
    return _contrast_of(_ratios(x, h, bounds), _ratios(x, h, bounds - h))


def _ratios(x: NDArray[np.float64], h: int, starts: NDArray[np.intp]) -> NDArray[np.float64]:
    """The shape ratio of the h values from each of ``starts``."""
    windows = sliding_window_view(x, h)
    out = np.empty(len(starts))
    rows = max(1, _CHUNK_VALUES // h)
    with np.errstate(all="ignore"):  # values near the float limit give inf or NaN
        for s in range(0, len(starts), rows):
            out[s : s + rows] = _shape_ratio(windows[starts[s : s + rows]])
    return out


def _contrast_of(after: NDArray[np.float64], before: NDArray[np.float64]) -> NDArray[np.float64]:
    with np.errstate(all="ignore"):
        return np.sqrt(np.nan_to_num(np.abs(after - before), nan=0.0))


def _near(bounds: NDArray[np.intp], centres: Sequence[int], h: int) -> NDArray[np.bool_]:
    near = np.zeros(len(bounds), dtype=bool)
    for c in centres:
        near |= np.abs(bounds - c) < h
    return near


def shape_changes(
    x: NDArray[np.float64], h: int, candidates: Sequence[int]
) -> list[tuple[int, float]]:
    """Boundaries whose shape contrast stands out, with their z-scores, strongest first.

    Peaks are taken greedily, each more than h from the ones before; the reference leaves out
    the boundaries within h of ``candidates`` and of the peak judged, unless fewer than 4h
    values' worth would remain.
    """
    n = len(x)
    step = max(1, h // _STEPS_PER_WIDTH)
    starts = np.arange(0, n - h + 1, step, dtype=np.intp)
    ratio = _ratios(x, h, starts)
    k = h // step
    if len(starts) <= k + 1:
        return []
    bounds = starts[k:]
    contrast = _contrast_of(ratio[k:], ratio[:-k])
    base_near = _near(bounds, candidates, h)
    critical = CRITICAL_SHAPE
    found: list[tuple[int, float]] = []
    taken = np.zeros(len(bounds), dtype=bool)
    order = np.argsort(-contrast, kind="stable")
    for j in order:
        if taken[j]:
            continue
        c = int(bounds[j])
        away = ~(base_near | _near(bounds, [c], h))
        reference = contrast[away] if away.sum() * step >= _WINDOWS_OF_BOUNDARIES * h else contrast
        median = float(np.median(reference))
        spread = robust_spread(reference, median)
        z = (float(contrast[j]) - median) / spread if spread > 0 else 0.0
        if not z > critical:
            break
        # The peak to one boundary: the best within a step of the coarse one.
        fine = np.arange(max(h, c - step + 1), min(n - h, c + step - 1) + 1, dtype=np.intp)
        c = int(fine[int(np.argmax(shape_contrasts(x, h, fine)))])
        found.append((c, z))
        taken |= np.abs(bounds - c) <= h
    return found
