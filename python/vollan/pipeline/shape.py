"""Changes of shape at equal mean and spread, which the scan's votes do not see.

Two laws with the same mean and variance (a normal and a two-peaked or a flat one) are close
in the Wasserstein distance: adjacent windows of a few hundred values differ by less than their
sampling noise, so the scan rarely votes for such a change, and the location and scale contrasts
do not move. What does move is Geary's ratio, the mean absolute deviation over the standard
deviation (0.80 for a normal law, 0.87 for a flat one, 0.95 for the two-peaked one of the
benchmarks): it measures shape alone, whatever the level and the spread. Windows on either side
of a boundary hold too few values to see a difference of 0.07 in it, so a change of shape is
looked for over whole stretches, apart from the scan, between the changes the other rules
report:

- each value is standardised by the mean and standard deviation of the :data:`LOCAL_VALUES`
  values around it within its stretch, so that a drift, a random walk or a change of spread
  moves no score away from where it happens; a first pass pulls values beyond
  :data:`CLIP_SDS` robust standard deviations in to that bound, so that a heavy tail's
  extremes do not inflate the spread of all their neighbours;
- its score is its term of Geary's ratio to first order, ``|z| - r z² / 2`` with r the ratio
  over the stretch, so that the noise of the local spread cancels;
- the cumulative sum of the scores about their mean, over the square root of the stretch's
  length times the scores' long-run standard deviation (Bartlett weights over the lags at
  which local windows overlap, taken about the best split so that a change does not inflate
  it), is near a Brownian bridge when the shape does not change; its largest value beyond
  :func:`critical_shape` reports a change, and each side is searched again (binary
  segmentation);
- the change is placed by the split, within :data:`~vollan.stats.cusum.PLACE_RADIUS` of the
  cumulative sum's peak, under which the values' deviations from the stretch's median are most
  unlike on the two sides, by a binomial likelihood at quantiles spaced closer in the tails
  (where laws of equal spread differ most; a flat law has none).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from vollan.pipeline.stage import Calibration, Stage, StageParams, segmenting
from vollan.stats.cusum import LEAST_STRETCH_VALUES, LOCAL_VALUES, local_moments
from vollan.stats.median import median
from vollan.stats.robust import MAD_TO_SD
from vollan.stats.tables import KolmogorovTable

if TYPE_CHECKING:
    from numpy.typing import NDArray


LEAST_SHAPE_VALUES = LEAST_STRETCH_VALUES
# Values farther from the local centre than this many robust standard deviations are pulled in
# to that bound (a normal law keeps all but 0.3 % of its values).
CLIP_SDS = 3.0
# The critical value of the statistic by the length of the stretch: above the largest simulated
# 97.5 % quantile over change-free Gaussian, Student-t(3), AR(1) 0.7, two-peaked, skewed
# (exponential) series and Gaussian random walks (1,000 series a cell, 300 at 10^4), rounded
# up to 0.05; it falls with the length towards the Brownian bridge's 1.48, and is taken as
# constant beyond 10^4. p-values follow Kolmogorov's tail through it (the stage's share of
# alpha sets the level a change must reach).
CRITICAL = KolmogorovTable(
    lengths=(255, 300, 400, 500, 600, 800, 1000, 1500, 2000, 4000, 10000),
    values=(2.85, 2.6, 2.2, 2.15, 2.0, 1.9, 1.8, 1.7, 1.65, 1.6, 1.6),
    level=0.975,
)
critical_shape = CRITICAL.critical
shape_p_value = CRITICAL.p_value


def _standardised(x: NDArray[np.float64], width: int) -> NDArray[np.float64]:
    """Each value about its local mean over its local spread, in robust units clipped at
    :data:`CLIP_SDS` (0 where the local values are all equal)."""
    centred = x - median(x)
    middle = 0.0
    for last in (False, True):
        mean, sd = local_moments(centred, width)
        with np.errstate(all="ignore"):
            # In place of centred (the series' length over and over at 10^6 values and more).
            z = np.subtract(centred, mean, out=centred)
            z /= sd
        z[~(sd > 0)] = 0.0
        middle = median(z)
        deviation = np.subtract(z, middle)
        bound = CLIP_SDS * MAD_TO_SD * median(np.abs(deviation, out=deviation))
        np.clip(z, middle - bound, middle + bound, out=z)
        if last:
            break
        # The second pass takes its local moments from the clipped values.
        centred = np.multiply(z, sd, out=deviation)
        centred += mean
        del z, mean, sd
    # The last pass breaks out before the del above: z is bound here.
    z -= middle  # noqa: F821
    return z


def shape_scores(x: NDArray[np.float64], width: int = LOCAL_VALUES) -> NDArray[np.float64]:
    """Each value's term of Geary's ratio to first order, ``|z| - r z² / 2``."""
    z = _standardised(x, min(width, len(x)))
    scratch = np.abs(z)
    first = float(np.mean(scratch))
    second = float(np.mean(np.multiply(z, z, out=scratch)))
    if not second > 0:
        return np.zeros(len(x))
    # |z| - (r z) z, in place.
    np.multiply(first / (2.0 * second), z, out=scratch)
    scratch *= z
    np.abs(z, out=z)
    z -= scratch
    return z


@dataclass(frozen=True)
class ShapeParams(StageParams):
    """Parameters of the shape stage: its share of ``alpha`` (0.2: shape is the one kind the
    vote barely sees)."""

    share: float = 0.2


SHAPE = Stage(
    "shape",
    "changes of shape at equal mean and spread (Geary's ratio)",
    ("shape",),
    ShapeParams,
    Calibration(
        "Gaussian, t(3), AR(1) 0.7, two-peaked, exponential, random walk; n 255-10^4",
        CRITICAL.level,
        "kolmogorov",
        "bench/shapes.py",
    ),
    segmenting("shape", "shape", shape_scores, shape_p_value),
    judges="shape",
    least=LEAST_SHAPE_VALUES,
)
