"""Changes of spread over whole stretches, which the scan's votes can leave out.

The scan compares each window pair against a threshold for the whole series, and a series
whose noise is large in one part sets that threshold by its noisiest windows: the quieter part
after a fall of the spread, or a rise from a quiet part, then wins few votes, and the scale
contrast is never asked. A change of spread is therefore also looked for as the shape is, over
whole stretches between the changes the other rules report:

- each value's absolute deviation from the least-squares line through the
  :data:`LOCAL_VALUES` values around it (so that a drift, a random walk or a level moves no
  score, at the ends of a stretch as in its middle), in units of the stretch's median
  deviation and clipped at :data:`CLIP_DEVIATIONS` of them, so that one extreme value of a
  heavy-tailed noise weighs no more than a few ordinary ones;
- the cumulative sum of those scores about their mean, over the square root of the stretch's
  length times their long-run standard deviation (taken about the means of the three parts cut
  at the sum's largest and smallest values, so that a burst of noise that ends within the
  stretch is not counted as noise itself), is near a Brownian bridge while the spread stays
  the same; its largest value beyond :func:`critical_spread` reports a change, placed as a
  change of shape is, and each side is searched again (binary segmentation);
- a split is taken only where two levels of the scores, or three (a staircase), fit them
  better than a line through them (:func:`vollan.stats.cusum.levels_fit_better`, the third
  level paying the Bayesian information criterion's price of two parameters): a spread that
  grows steadily, as noise that grows with the level does, changes nowhere in particular, as a
  straight drift of the level does not.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from vollan.pipeline.stage import Calibration, Stage, StageParams, segmenting
from vollan.stats.cusum import (
    LEAST_STRETCH_VALUES,
    LOCAL_VALUES,
    local_line_residuals,
    segmented,
)
from vollan.stats.median import median
from vollan.stats.tables import KolmogorovTable

if TYPE_CHECKING:
    from numpy.typing import NDArray


# Deviations beyond this many times the stretch's median deviation count as that many (about
# the 98th percentile of a normal law's).
CLIP_DEVIATIONS = 3.5
# A stretch is judged from as many values as for the shape.
LEAST_SPREAD_VALUES = LEAST_STRETCH_VALUES
# The critical value of the statistic by the length of the stretch: above the largest simulated
# 99 % quantile over change-free Gaussian, Student-t(3), AR(1) 0.5 and 0.9, random-walk and
# seasonal noise (bench/spreads.py: 1,000 series a cell, 250 beyond 4,000 values), rounded up,
# never below the values set for the statistic about two parts, interpolated in the logarithm of
# the length and constant beyond 20,000.
CRITICAL = KolmogorovTable(
    lengths=(255, 300, 400, 600, 1000, 2000, 5000, 20000),
    values=(2.9, 2.7, 2.55, 2.25, 2.05, 1.95, 1.9, 1.75),
    level=0.99,
)
critical_spread = CRITICAL.critical
spread_p_value = CRITICAL.p_value


def spread_scores(x: NDArray[np.float64], width: int = LOCAL_VALUES) -> NDArray[np.float64]:
    """Each value's absolute deviation from the line through its local values, in units of
    their median, clipped at :data:`CLIP_DEVIATIONS` (zeros where the deviations do not
    vary)."""
    deviation = local_line_residuals(x - median(x), min(width, len(x)))
    np.abs(deviation, out=deviation)
    unit = median(deviation)
    if not unit > 0 or not math.isfinite(unit):
        return np.zeros(len(x))
    deviation /= unit
    return np.minimum(deviation, CLIP_DEVIATIONS, out=deviation)


def split_p_value(
    x: NDArray[np.float64], start: int, end: int, c: int, reach: int, params: SpreadParams
) -> float:
    """The stage's p-value of the stretch ``[start, end)`` where the split it takes lies within
    ``reach`` of ``c``, else 1: the evidence it gives a change of spread found at ``c``."""
    found = segmented(
        x,
        [(start, end)],
        spread_scores,
        spread_p_value,
        1.0,
        LEAST_SPREAD_VALUES,
        bump=params.bursts,
        levels=params.steps_only,
        once=True,
    )
    return found[0][2] if found and abs(found[0][0] - c) <= reach else 1.0


@dataclass(frozen=True)
class SpreadParams(StageParams):
    """Parameters of the spread stage, besides its ``share`` of ``alpha`` (:class:`StageParams`).

    Attributes
    ----------
    bursts : bool
        Whether the long-run spread of the scores is taken about three parts, cut at both
        extremes of their cumulative sum, so that a burst of noise that ends within the
        stretch is not counted as noise itself.
    steps_only : bool
        Whether a change is reported only where two or three levels of the scores fit them
        better than a line: a spread that grows steadily changes nowhere in particular.
    """

    share: float = 0.1  # changes of spread the vote missed were judged at 1 %
    bursts: bool = True
    steps_only: bool = True


SPREAD = Stage(
    "spread",
    "changes of spread the vote missed, over whole stretches",
    ("variance",),
    SpreadParams,
    Calibration(
        "Gaussian, t(3), AR(1) 0.5 and 0.9, random walk, seasonal; n 255-20,000",
        CRITICAL.level,
        "kolmogorov",
        "bench/spreads.py",
    ),
    segmenting(
        "spread",
        "variance",
        spread_scores,
        spread_p_value,
        lambda params: {"bump": params.bursts, "levels": params.steps_only},
    ),
    judges="spread",
    least=LEAST_SPREAD_VALUES,
)
