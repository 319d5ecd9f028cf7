"""The slope contrast at every boundary of a stretch, and its robust z-scores (the slope stage's
statistic, :mod:`vollan.pipeline.slope`)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from vollan.stats.median import median, running_median
from vollan.stats.robust import MAD_TO_SD, clipped

if TYPE_CHECKING:
    from numpy.typing import NDArray


def slope_contrast(x: NDArray[np.float64], h: int) -> NDArray[np.float64]:
    """The slope of the ``h`` values after each boundary c = h .. n - h minus that of the h
    values before it (of ``x`` as given)."""
    t = np.arange(h, dtype=np.float64) - (h - 1) / 2.0
    slopes = np.correlate(x, t, mode="valid") / float(t @ t)  # slopes[c]: x[c : c + h]
    return np.asarray(slopes[h:] - slopes[:-h], dtype=np.float64)


def local_spread(deviation: NDArray[np.float64], h: int, widths: int) -> NDArray[np.float64]:
    """The MAD of the slope contrast over the ``widths`` widths of boundaries around
    each boundary, from its absolute deviations. Neighbouring boundaries share most of their
    values, so every (h/2)-th deviation is taken, and the median every h boundaries."""
    thin = max(1, h // 2)
    sparse = deviation[::thin]
    local = running_median(sparse, widths * h // thin, max(1, h // thin))
    at = np.arange(len(deviation)) / thin
    return MAD_TO_SD * np.interp(at, np.arange(len(sparse)), local)


def slope_scores(
    x: NDArray[np.float64], h: int, local_widths: int = 32, noise_floor: bool = False
) -> NDArray[np.float64]:
    """Robust z-score of the slope contrast at every boundary c = h .. n - h of ``x``, its
    residuals clipped first: about the stretch's median, over the larger of the stretch's MAD
    and the local one (zeros where the contrast does not vary; with ``noise_floor``, held to
    the local noise: :func:`held_to_noise`)."""
    deviation, spread, y = contrast_deviations(x, h)
    if noise_floor:
        held_to_noise(deviation, spread, y, h)
    return robust_scores(deviation, spread, h, local_widths)


def contrast_deviations(
    x: NDArray[np.float64], h: int
) -> tuple[NDArray[np.float64], float, NDArray[np.float64]]:
    """The slope contrast's absolute deviations from its median, their MAD in sds, and the
    clipped values they come from."""
    with np.errstate(all="ignore"):
        y = clipped(x, h)
        contrast = slope_contrast(y, h)
        deviation = np.abs(contrast - median(contrast))
        return deviation, MAD_TO_SD * median(deviation), y


def held_to_noise(
    deviation: NDArray[np.float64], spread: float, y: NDArray[np.float64], h: int
) -> None:
    """Divide each deviation, in place, by the larger of 1 and the contrast's standard error
    from the local noise (:func:`noise_error`) over the MAD: after a change of spread that no
    stage reported, slopes vary more and must not pass for bends. It only lowers deviations,
    so the critical values calibrated without it stay upper bounds."""
    if spread > 0:
        with np.errstate(all="ignore"):
            deviation /= np.maximum(noise_error(y, h) / spread, 1.0)


# The median absolute difference of two independent N(0, s^2) values over s: sqrt(2) * 0.6745.
MEDIAN_ABS_DIFFERENCE = 0.9539


def noise_error(y: NDArray[np.float64], h: int) -> NDArray[np.float64]:
    """At each boundary c = h .. n - h, the standard error of the slope contrast under white
    noise of the local spread: that spread from the median absolute difference of the 2h
    values around c (a level's trend barely moves differences), times sqrt(24 / (h (h^2 - 1)))."""
    d = np.abs(np.diff(y))
    local = running_median(d, 2 * h, max(1, h // 2)) / MEDIAN_ABS_DIFFERENCE
    # local[i] is centred on the difference y[i + 1] - y[i]; boundary c on y[c] - y[c - 1].
    at = local[h - 1 : len(d) - h + 1]
    return np.asarray(at * math.sqrt(24.0 / (h * (h * h - 1.0))), dtype=np.float64)


def robust_scores(
    deviation: NDArray[np.float64], spread: float, h: int, widths: int
) -> NDArray[np.float64]:
    """The deviations over the larger of ``spread`` and their :func:`local_spread` over
    ``widths`` widths (0: over ``spread`` alone)."""
    with np.errstate(all="ignore"):
        if not spread > 0 or not math.isfinite(spread):
            return np.zeros(len(deviation))
        if not widths:
            return np.asarray(deviation / spread, dtype=np.float64)
        local = np.maximum(local_spread(deviation, h, widths), spread)
        return np.asarray(deviation / local, dtype=np.float64)
