"""The test of a series too short for local contrasts: at most one change of mean.

A series shorter than :func:`vollan.pipeline.contrast.shortest_judged` has too few boundaries
for the median and MAD of its contrasts to describe it away from a change. What it still
supports is the classical test of at most one change: the largest, over every split with at
least two values on each side, of the two-sample t statistic (the difference of the two means
over its standard error, with the standard deviation pooled within the two parts, so that the
change itself does not inflate it).

Its critical value (:func:`critical_shift`) is the 97.5 % quantile of that largest statistic
under AR(1) noise with coefficient 0.5, Gaussian and stationary: neighbouring values that follow
each other look like a shift to a test that assumes independence, and 0.5 is the strongest such
dependence the false-alarm table guards against. The quantile was simulated (60,000 series a
length, n from 8 to 100) and lies at 5.6 to 6.3; ``5.62 + 5.5 / n`` lies above every simulated
value. The 95 % quantile (5.1 to 5.4) left change-free AR(1) series of some lengths just above 5
% false alarms; the Gaussian and Student-t(3) ones (3.1 to 3.7) lie far below either.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from vollan.stats.robust import MIN_STD
from vollan.stats.tables import gumbel_location, gumbel_reduced, gumbel_sf

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Values each side of a split, so that both standard deviations exist.
LEAST_SIDE = 2


def critical_shift(n: int) -> float:
    """The t statistic the best split of a short series of ``n`` values must exceed."""
    return 5.62 + 5.5 / n


# The simulated 95 % quantiles (5.1 to 5.4) lie at least 0.25 below the 97.5 % curve: a Gumbel
# tail through the curve with that spacing between the two levels gives p-values no smaller
# than the simulated ones at either.
_GUMBEL_SCALE = 0.25 / (gumbel_reduced(0.975) - gumbel_reduced(0.95))


def shift_p_value(t: float, n: int) -> float:
    """The p-value of the best split's t statistic ``t`` in a series of ``n`` values: the
    Gumbel tail through :func:`critical_shift` at 97.5 %."""
    return gumbel_sf(t, gumbel_location(critical_shift(n), 0.975, _GUMBEL_SCALE), _GUMBEL_SCALE)


def split_statistics(x: NDArray[np.float64]) -> NDArray[np.float64]:
    """The two-sample t statistic of the split before each position 0 .. n (0 where a side
    holds fewer than two values)."""
    n = len(x)
    t = np.zeros(n + 1)
    if n < 2 * LEAST_SIDE:
        return t
    k = np.arange(LEAST_SIDE, n - LEAST_SIDE + 1)
    # Values near the float limit overflow the sums; their splits count as no evidence.
    with np.errstate(all="ignore"):
        # Centred first, so that the sums of squares do not cancel for series far from zero.
        y = x - float(np.mean(x))
        s1 = np.cumsum(y)
        s2 = np.cumsum(y * y)
        before, before2 = s1[k - 1], s2[k - 1]
        after, after2 = s1[-1] - before, s2[-1] - before2
        mean_before = before / k
        mean_after = after / (n - k)
        within = (before2 - k * mean_before**2) + (after2 - (n - k) * mean_after**2)
        sd = np.maximum(np.sqrt(np.maximum(within, 0.0) / (n - 2)), MIN_STD)
        t[k] = np.abs(mean_after - mean_before) / (sd * np.sqrt(1.0 / k + 1.0 / (n - k)))
    t[~np.isfinite(t)] = 0.0
    return t


def shift_score(statistics: NDArray[np.float64], c: int, reach: int) -> float:
    """The largest split statistic within ``reach`` of position ``c``."""
    lo = max(0, c - reach)
    hi = min(len(statistics) - 1, c + reach)
    best = float(statistics[lo : hi + 1].max())
    return best if math.isfinite(best) else 0.0
