"""The local contrast of a series and the critical value a change point's contrast must exceed.

The scan asks whether two adjacent windows differ, which a curved, drifting or seasonal series
satisfies everywhere. A change point is where the series differs from its own usual behaviour:
the values just after it differ from the values just before it by more than the same
comparison does elsewhere in the series. So the contrast is taken at every boundary of the
series, and its median and MAD describe the series away from its changes (as long as changes
are more than about 2h apart); a leader's robust z-score is how far its contrast stands out.

Two contrasts, each of ``h`` values on either side of a boundary:

- "location": the logarithm of the Wasserstein distance of the two samples (the scan's own
  statistic) over their pooled standard deviation (each about its own line). It sees shifts
  of level and changes of shape, in units of the local noise: in a series whose spread
  changes, the contrasts of its noisy part have the same law as those of its quiet part, so
  neither a shift in the quiet part is hidden by the noisy part's contrasts nor does the noisy
  part report shifts that are only its noise.
- "scale": the square root of ``|log(s_after / s_before)|`` of the two standard deviations,
  each about its own least-squares line (so that a drift or a curve does not count as spread).
  The distance grows with the spread on both sides, so a change of spread does not stand out
  in it; the log ratio does. (The root makes its half-normal law nearly symmetric.)

Critical values (:func:`critical_contrast`): the 90, 95 and 97.5 % quantiles, under Gaussian
white noise, of the largest z-score over all boundaries of a series, each z-score taken as a
leader's is, against the boundaries farther than h from it. Curves in n and h were fitted to
simulated quantiles and raised to lie above every one of them; a contrast's p-value follows the
Gumbel law through them (:func:`contrast_p_value`). Only candidates with enough votes are
judged, a few of the boundaries, so these p-values are conservative. Series shorter than 4h
boundaries are not judged by contrasts.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from vollan.stats.robust import MIN_STD, resolution
from vollan.stats.tables import curve, gumbel_location, gumbel_scale, gumbel_sf

if TYPE_CHECKING:
    from numpy.typing import NDArray

KINDS = ("location", "scale")
# Floor of the distance before its logarithm (constant stretches have distance 0).
_MIN_DISTANCE = 1e-300
# critical = a + b·ln(m) + c·ln(h) + d/m, with m = (n - 2h + 1)/h boundaries per width, for
# the quantile levels below: least-squares fits to the simulated quantiles, raised by their
# largest shortfall, so that each lies at or above every simulated quantile of its level. The
# location curves come from bench/calibrate_contrast.py (300 Gaussian series a cell, n 100 to
# 10,000, h 8 to 100, raised by 0.24 to 0.34); the scale curves from 400 series a cell, n 50 to
# 30,000, h 8 to 400, raised by 0.29 to 0.57.
_CRITICAL = {
    0.9: {
        "location": (2.779, 0.265, -0.016, 1.615),
        "scale": (3.072, 0.159, -0.051, 0.181),
    },
    0.95: {
        "location": (3.256, 0.236, -0.035, 1.879),
        "scale": (3.373, 0.149, -0.075, 1.063),
    },
    0.975: {
        "location": (3.413, 0.237, -0.048, 3.01),
        "scale": (3.806, 0.156, -0.108, 2.886),
    },
}
# The level in force; see the module's notes.
CONTRAST_LEVEL = 0.95
# Below 8 values a side the standard deviations, and the spread of the contrasts with them,
# are too erratic for one curve; below 4 windows' worth of boundaries their median and MAD
# no longer describe the series.
MIN_CONTRAST_WIDTH = 8
MIN_WINDOWS_OF_BOUNDARIES = 4
# Rows of windows held at once (each row holds h values): a chunk, its copies and its
# residuals take a few times 4 MB, whatever the series' length.
_CHUNK_VALUES = 1 << 19


def critical_contrast(kind: str, n: int, h: int, level: float | None = None) -> float:
    """The robust z-score a leader's ``kind`` contrast must exceed in a series of ``n`` values.

    The ``level`` quantile (default :data:`CONTRAST_LEVEL`), under Gaussian white noise, of the
    largest z-score over all boundaries of the series, for contrasts of ``h`` values on each
    side (see the module's notes).
    """
    return curve(_CRITICAL[CONTRAST_LEVEL if level is None else level][kind], n, h)


def contrast_p_value(kind: str, z: float, n: int, h: int) -> float:
    """The p-value of a ``kind`` contrast's robust z-score ``z`` in a series of ``n`` values
    with contrasts of ``h`` values: the Gumbel law through the calibrated 90 % and 97.5 %
    critical values (:func:`critical_contrast`), placed at the 95 % one."""
    low, high = critical_contrast(kind, n, h, 0.9), critical_contrast(kind, n, h, 0.975)
    scale = max(gumbel_scale(low, 0.9, high, 0.975), 1e-3)
    return gumbel_sf(z, gumbel_location(critical_contrast(kind, n, h, 0.95), 0.95, scale), scale)


def contrasts_at(
    x: NDArray[np.float64],
    h: int,
    bounds: NDArray[np.intp],
    kind: str,
    gap: float | None = None,
) -> NDArray[np.float64]:
    """The ``kind`` contrast at each boundary in ``bounds`` (h <= c <= n - h).

    ``gap`` is :func:`~vollan.stats.robust.resolution` of ``x`` (computed here when not given).
    Windows without spread, or two windows with the same values, count as half the least
    spread or distance that values ``gap`` apart can show: on discrete data they are common
    and say nothing, and the floors of continuous values would make them extreme. Where the
    values differ, spreads and distances are at least that large anyway, so continuous series
    are not affected.
    """
    return contrasts_of(x, h, bounds, (kind,), gap)[kind]


def contrasts_of(
    x: NDArray[np.float64],
    h: int,
    bounds: NDArray[np.intp],
    kinds: Sequence[str],
    gap: float | None = None,
) -> dict[str, NDArray[np.float64]]:
    """Each of ``kinds``' contrasts at ``bounds`` (see :func:`contrasts_at`), the windows'
    spreads about their lines taken once for all of them."""
    if gap is None:
        gap = resolution(x)
    least_spread, least_distance = floors(gap, h)
    windows = sliding_window_view(x, h)
    out = {kind: np.empty(len(bounds)) for kind in kinds}
    rows = max(1, _CHUNK_VALUES // h)
    with np.errstate(all="ignore"):  # values near the float limit give inf or NaN
        for s in range(0, len(bounds), rows):
            b = bounds[s : s + rows]
            before = windows[b - h]
            after = windows[b]
            sa = np.maximum(_spread_about_line(after), least_spread)
            sb = np.maximum(_spread_about_line(before), least_spread)
            if "scale" in out:
                out["scale"][s : s + len(b)] = np.sqrt(np.abs(np.log(sa) - np.log(sb)))
            if "location" in out:
                # In place: the rows are copies, of up to _CHUNK_VALUES values each.
                after.sort(axis=1)
                before.sort(axis=1)
                distance = np.abs(np.subtract(after, before, out=after), out=after).mean(axis=1)
                out["location"][s : s + len(b)] = np.log(
                    np.maximum(distance, least_distance)
                ) - 0.5 * np.log(0.5 * (sa * sa + sb * sb))
    return out


def floors(gap: float, h: int) -> tuple[float, float]:
    """The least spread and the least distance of windows of ``h`` values on a grid of ``gap``
    (see :func:`contrasts_at`)."""
    return max(MIN_STD, gap / (2.0 * math.sqrt(h))), max(_MIN_DISTANCE, gap / (2.0 * h))


def _spread_about_line(rows: NDArray[np.float64]) -> NDArray[np.float64]:
    """Standard deviation of each row about its own least-squares line (h - 2 degrees of
    freedom): a drift or a curve then leaves the spread alone, and only the noise counts."""
    h = rows.shape[1]
    t = np.arange(h, dtype=np.float64) - (h - 1) / 2.0
    centred = rows - rows.mean(axis=1, keepdims=True)
    # Each row's sum of products in numpy's own loop, in one order whatever the rows held:
    # BLAS's matrix-vector product sums a row in an order that depends on the number of rows
    # (and on the machine), which would tie the contrasts' last bits to the chunk's size.
    slope = np.einsum("ij,j->i", centred, t) / float(t @ t)
    # The residuals and their squares in place of centred, a few rows at a time: a chunk of
    # rows is large.
    step = max(1, len(centred) // 8)
    for i in range(0, len(centred), step):
        np.subtract(centred[i : i + step], slope[i : i + step, None] * t, out=centred[i : i + step])
    residual = centred
    spread: NDArray[np.float64] = np.sqrt(
        np.multiply(residual, residual, out=residual).sum(axis=1) / (h - 2)
    )
    return spread


def contrast_width(smallest_window: int) -> int:
    """Values on each side of a boundary for the contrast: the smallest window, at least 8."""
    return max(MIN_CONTRAST_WIDTH, smallest_window)


def shortest_judged(h: int) -> int:
    """The fewest values a series needs for contrasts of ``h`` values to be judged: 4h
    boundaries, enough for their median and MAD to describe the series away from a change,
    which moves the contrast at up to 2h - 1 of them."""
    return (MIN_WINDOWS_OF_BOUNDARIES + 2) * h - 1
