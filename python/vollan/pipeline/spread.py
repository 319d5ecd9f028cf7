"""Changes of spread over whole stretches, which the scan's votes can leave out.

The scan compares each window pair against a threshold for the whole series, and a series
whose noise is large in one part sets that threshold by its noisiest windows: the quieter part
after a fall of the spread, or a rise from a quiet part, then wins few votes, and the scale
contrast is never asked. A change of spread is therefore also looked for as the shape is, over
whole stretches between the changes the other rules report:

- each value's absolute deviation from the mean of the :data:`LOCAL_VALUES` values around it
  (so that a drift, a random walk or a level moves no score), in units of the stretch's median
  deviation and clipped at :data:`CLIP_DEVIATIONS` of them, so that one extreme value of a
  heavy-tailed noise weighs no more than a few ordinary ones;
- the cumulative sum of those scores about their mean, over the square root of the stretch's
  length times their long-run standard deviation (taken about the means of the three parts cut
  at the sum's largest and smallest values, so that a burst of noise that ends within the
  stretch is not counted as noise itself), is near a Brownian bridge while the spread stays
  the same; its largest value beyond :func:`critical_spread` reports a change, placed as a
  change of shape is, and each side is searched again (binary segmentation);
- a split is taken only where two levels of the scores, or three (a staircase), fit them
  better than a line through them (:func:`vollan.pipeline.shape.levels_fit_better`, the third level
  paying the Bayesian information criterion's price of two parameters): a spread that grows
  steadily, as noise that grows with the level does, changes nowhere in particular, as a
  straight drift of the level does not.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from vollan.stats.median import median
from vollan.pipeline.shape import LEAST_SHAPE_VALUES, LOCAL_VALUES, local_mean, segmented

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Deviations beyond this many times the stretch's median deviation count as that many (about
# the 98th percentile of a normal law's).
CLIP_DEVIATIONS = 3.5
# A stretch is judged from this many values, as for the shape.
LEAST_SPREAD_VALUES = LEAST_SHAPE_VALUES
# Whether the long-run spread of the scores is taken about three parts, cut at both extremes of
# their cumulative sum, rather than two (shape_statistic's ``bump``): a burst of noise that ends
# within the stretch (the spread up, then down again) otherwise counts as noise itself.
BURSTS = True
# Whether a change is reported only where two levels of the scores fit them better than a line
# through them: a spread that grows steadily (noise that grows with the level, a seasonal
# swing that widens) changes nowhere in particular, as a drift of the level does not.
STEPS_ONLY = True
# The critical value of the statistic by the length of the stretch: above the largest simulated
# 99 % quantile over change-free Gaussian, Student-t(3), AR(1) 0.5 and 0.9, random-walk and
# seasonal noise (bench/spreads.py: 1,000 series a cell, 250 beyond 4,000 values), rounded up,
# never below the values set for the statistic about two parts, interpolated in the logarithm of
# the length and constant beyond 20,000.
CRITICAL_BY_LENGTH = (
    (255, 2.9),
    (300, 2.7),
    (400, 2.55),
    (600, 2.25),
    (1000, 2.05),
    (2000, 1.95),
    (5000, 1.9),
    (20000, 1.75),
)


def critical_spread(n: int) -> float:
    """The critical value for a stretch of ``n`` values (interpolated in the logarithm of n)."""
    lengths, values = zip(*CRITICAL_BY_LENGTH, strict=True)
    return float(np.interp(math.log(n), np.log(lengths), values))


def spread_scores(x: NDArray[np.float64], width: int = LOCAL_VALUES) -> NDArray[np.float64]:
    """Each value's absolute deviation from its local mean, in units of their median, clipped
    at :data:`CLIP_DEVIATIONS` (zeros where the deviations do not vary)."""
    centred = x - median(x)
    deviation = np.abs(centred - local_mean(centred, min(width, len(x))))
    unit = median(deviation)
    if not unit > 0 or not math.isfinite(unit):
        return np.zeros(len(x))
    return np.asarray(np.minimum(deviation / unit, CLIP_DEVIATIONS), dtype=np.float64)


def spread_changes(
    x: NDArray[np.float64], stretches: Sequence[tuple[int, int]]
) -> list[tuple[int, float, float]]:
    """Changes of spread within the stretches ``[start, end)`` of ``x``, with their statistics
    and critical values, strongest first (by statistic over critical value)."""
    return segmented(
        x,
        stretches,
        spread_scores,
        critical_spread,
        LEAST_SPREAD_VALUES,
        bump=BURSTS,
        levels=STEPS_ONLY,
    )
