"""The test of a series too short for local contrasts: at most one change of mean.

A series shorter than :func:`vollan.pipeline.contrast.shortest_judged` has too few boundaries
for the median and MAD of its contrasts to describe it away from a change. What it still
supports is the classical test of at most one change: the largest, over every split with at
least two values on each side, of the two-sample t statistic (the difference of the two means
over its standard error, with the standard deviation pooled within the two parts, so that the
change itself does not inflate it).

That t statistic assumes independent values. Neighbouring values that follow each other (AR(1)
noise, a random walk) make the two halves of a short series differ by far more than its spread
says: its 97.5 % quantile at 30 values is 3.4 in white noise, 5.8 in AR(1) 0.7 noise and 15 in a
random walk. So the null states its dependence. Around the best split the residuals about the
two levels hold whatever the step does not explain: near white when a step in white noise made
the split, strongly correlated when dependent noise did. Their lag-1 correlation ``r`` (taken
within each part, corrected for the downward bias of a correlation about estimated means,
``r + (1 + 3r) / n``, and held in [0, 0.98]) gives the AR(1) long-run variance factor
``(1 + r) / (1 - r)``, and every split's t statistic is divided by that factor to the power
:data:`DEPENDENCE_POWER` (:func:`shift_statistics`).

The p-value (:func:`shift_p_value`) is the largest tail probability of that statistic over
the stated null: Gaussian AR(1) noise with coefficient 0, 0.15, 0.3, 0.4, 0.5 or 0.7,
Student-t(3) noise, the Gaussian random walk and Gaussian noise about a drift of 0.03 to 1 sd
a step, each after the vote's check that two levels fit clearly better than a drift
(:func:`fits_a_step`). Its quantiles were simulated (``bench/calibrate_short.py``, 20,000
series a noise and length) and are tabled in :data:`SHIFT_QUANTILES`: the p-value interpolates
the logarithm of the tail level linearly in the statistic between them, and in the logarithm of
the length between lengths. In 8 to 12 values the estimated correlation cannot tell a random
walk (or a steep drift) from a step, which sets the 5 % critical value there (5.5 to 5.8);
from 20 values on the random walk and AR(1) 0.7 set it (3.7 at 20, 2.3 at 30 values), and
there the check against a drift, which a shift of 3 sds in the middle of white noise passes in
about nine series of ten at 30 values, limits what is found more than the critical value does.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from vollan.pipeline.contrast import contrast_width, shortest_judged
from vollan.stats.cusum import two_levels_fit_better
from vollan.stats.robust import MIN_STD
from vollan.stats.tables import by_length

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan.pipeline.context import SeriesContext
    from vollan.pipeline.vote import VoteParams

# Values each side of a split, so that both standard deviations exist.
LEAST_SIDE = 2

# The power of the long-run variance factor the t statistic is divided by. A square root
# would undo the inflation of AR(1) noise with a known coefficient; the coefficient estimated
# from a few residuals falls short of it, and a random walk's (about 0.7 in 30 values) far
# short. Of the powers 0.5, 1, 1.5, 2 and 3, each with critical values calibrated on the
# stated null, 1.5 found the most planted shifts in white noise at 8 to 46 values
# (bench/HISTORY.md, the short-series test).
DEPENDENCE_POWER = 1.5

# Along a drift the two halves' means differ at every split, and in a short series two levels
# fit a gentle drift better than its line often enough (a slope of 0.1 noise sd a step over 30
# values: in about a third of the series) for the split to pass as a step. Two levels count
# only where they leave less than the line, and than two lines joined at the split, by the
# factor 1 + LINE_MARGIN / sqrt(n): the noise's share of the difference between the two fits
# shrinks like 1 / sqrt(n). 1.5 leaves no drift of 0.03 to 1 sd a step above the stationary
# noises' critical values from 30 values on (bench/HISTORY.md, the short-series test).
LINE_MARGIN = 1.5

# The largest lag-1 correlation used: the factor stays finite.
MOST_CORRELATION = 0.98

# Tail levels of the calibrated quantiles, then (length, quantiles at those levels): the
# largest over the null's noises (see the module; bench/calibrate_short.py writes this table).
# Most change-free series fail the drift check and score 0, so the lowest levels' quantiles
# are 0 or small; ties are kept 0.01 apart.
SHIFT_LEVELS = (0.2, 0.1, 0.05, 0.025, 0.01, 0.005, 0.001)
SHIFT_QUANTILES: tuple[tuple[int, tuple[float, ...]], ...] = (
    (8, (0.0, 4.2, 5.68, 7.0, 8.57, 9.73, 13.04)),
    (9, (0.0, 3.72, 5.59, 6.95, 8.4, 9.56, 12.67)),
    (10, (0.0, 3.71, 5.77, 7.22, 8.9, 10.05, 12.83)),
    (12, (0.0, 3.27, 5.46, 6.95, 8.47, 9.41, 11.23)),
    (14, (0.0, 2.91, 5.29, 7.06, 8.75, 9.69, 11.59)),
    (17, (0.0, 2.34, 4.45, 6.42, 8.51, 9.7, 11.91)),
    (20, (0.0, 2.0, 3.71, 5.54, 7.73, 9.51, 12.53)),
    (24, (0.0, 1.65, 2.95, 4.81, 6.53, 8.04, 11.65)),
    (28, (0.0, 1.46, 2.49, 4.49, 6.13, 6.79, 9.78)),
    (33, (0.0, 1.23, 2.08, 3.01, 6.2, 7.17, 8.72)),
    (39, (0.0, 1.04, 1.75, 2.63, 4.57, 7.16, 9.19)),
    (46, (0.0, 0.93, 1.46, 2.09, 2.92, 5.97, 8.13)),
    (65, (0.0, 0.66, 1.04, 1.46, 2.02, 4.41, 8.91)),
    (100, (0.0, 0.45, 0.69, 0.95, 1.35, 4.61, 6.47)),
    (200, (0.12, 0.23, 0.34, 0.62, 0.86, 1.0, 7.4)),
)


def split_statistics(x: NDArray[np.float64]) -> NDArray[np.float64]:
    """The two-sample t statistic of the split before each position 0 .. n (0 where a side
    holds fewer than two values). ``x`` may hold one series a row."""
    return _split_parts(np.asarray(x, dtype=np.float64))[0]


def shift_statistics(x: NDArray[np.float64]) -> NDArray[np.float64]:
    """The split statistics of ``x`` divided by its dependence factor (see the module), with
    the split that maximises them; ``x`` may hold one series a row."""
    x = np.asarray(x, dtype=np.float64)
    t, r = _split_parts(x)
    best = np.argmax(t, axis=-1)
    at_best = np.take_along_axis(r, best[..., None], axis=-1)
    return t / dependence_factor(at_best, x.shape[-1])


def dependence_factor(r: NDArray[np.float64] | float, n: int) -> NDArray[np.float64]:
    """The long-run variance factor of AR(1) noise whose residuals' lag-1 correlation is
    ``r`` in ``n`` values, bias-corrected, to the power :data:`DEPENDENCE_POWER`."""
    with np.errstate(all="ignore"):
        r = np.asarray(r, dtype=np.float64)
        phi = r + (1.0 + 3.0 * r) / n
        phi = np.clip(np.where(np.isfinite(phi), phi, 0.0), 0.0, MOST_CORRELATION)
        return ((1.0 + phi) / (1.0 - phi)) ** DEPENDENCE_POWER


def fits_a_step(x: NDArray[np.float64], split: int) -> bool:
    """Whether two levels split at ``split`` fit ``x`` better than a drift does (see
    :data:`LINE_MARGIN`)."""
    return two_levels_fit_better(x, split, LINE_MARGIN / math.sqrt(len(x)))


def _split_parts(x: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Each split's t statistic and the lag-1 correlation of the residuals about its two
    means (pairs within a part only), along the last axis."""
    n = x.shape[-1]
    shape = (*x.shape[:-1], n + 1)
    t, r = np.zeros(shape), np.zeros(shape)
    if n < 2 * LEAST_SIDE:
        return t, r
    k = np.arange(LEAST_SIDE, n - LEAST_SIDE + 1)
    # Values near the float limit overflow the sums; their splits count as no evidence.
    with np.errstate(all="ignore"):
        # Centred first, so that the sums of squares do not cancel for series far from zero.
        y = x - np.mean(x, axis=-1, keepdims=True)
        zero = np.zeros((*x.shape[:-1], 1))
        s1 = np.concatenate([zero, np.cumsum(y, axis=-1)], axis=-1)
        s2 = np.concatenate([zero, np.cumsum(y * y, axis=-1)], axis=-1)
        # lag[j]: the sum of y[i] y[i - 1] over 1 <= i < j.
        lag = np.concatenate([zero, zero, np.cumsum(y[..., 1:] * y[..., :-1], axis=-1)], axis=-1)
        before, before2 = s1[..., k], s2[..., k]
        total, total2 = s1[..., n:], s2[..., n:]
        after, after2 = total - before, total2 - before2
        mean_before = before / k
        mean_after = after / (n - k)
        within = (before2 - k * mean_before**2) + (after2 - (n - k) * mean_after**2)
        sd = np.maximum(np.sqrt(np.maximum(within, 0.0) / (n - 2)), MIN_STD)
        t[..., k] = np.abs(mean_after - mean_before) / (sd * np.sqrt(1.0 / k + 1.0 / (n - k)))
        # The sum of (y[i] - m)(y[i - 1] - m) over the pairs of a part: the lagged products,
        # less m times the part's sum counted twice without its last and first value.
        first, last = y[..., :1], y[..., n - 1 :]
        cross_before = (
            lag[..., k]
            - mean_before * (2.0 * before - first - y[..., k - 1])
            + (k - 1) * mean_before**2
        )
        cross_after = (
            (lag[..., n:] - lag[..., k + 1])
            - mean_after * (2.0 * after - y[..., k] - last)
            + (n - k - 1) * mean_after**2
        )
        r[..., k] = (cross_before + cross_after) / within
    t[~np.isfinite(t)] = 0.0
    r[~np.isfinite(r)] = 0.0
    return t, r


def _quantiles_at(n: int) -> NDArray[np.float64]:
    return np.array(
        [by_length([(m, q[j]) for m, q in SHIFT_QUANTILES], n) for j in range(len(SHIFT_LEVELS))]
    )


def shift_p_value(t: float, n: int) -> float:
    """The p-value of the best split's dependence-scaled statistic ``t`` in ``n`` values:
    the logarithm of the tail level interpolated linearly between the calibrated quantiles,
    and beyond either end along the nearest two."""
    # Every series scores at least 0 (those the drift check turns away score 0).
    if math.isnan(t) or t <= 0.0:
        return 1.0
    if t == math.inf:
        return 0.0
    q = _quantiles_at(n)
    logs = np.log(SHIFT_LEVELS)
    j = int(np.clip(np.searchsorted(q, t), 1, len(q) - 1))
    slope = (logs[j] - logs[j - 1]) / (q[j] - q[j - 1])
    return float(min(1.0, math.exp(logs[j - 1] + slope * (t - q[j - 1]))))


def critical_shift(n: int, level: float = 0.05) -> float:
    """The statistic whose p-value in ``n`` values is ``level``: the inverse of
    :func:`shift_p_value`."""
    q = _quantiles_at(n)
    logs = np.log(SHIFT_LEVELS)
    target = math.log(level)
    j = int(np.clip(np.searchsorted(-logs, -target), 1, len(q) - 1))
    slope = (q[j] - q[j - 1]) / (logs[j] - logs[j - 1])
    return float(q[j - 1] + slope * (target - logs[j - 1]))


def shift_score(statistics: NDArray[np.float64], c: int, reach: int) -> float:
    """The largest split statistic within ``reach`` of position ``c``."""
    lo = max(0, c - reach)
    hi = min(len(statistics) - 1, c + reach)
    best = float(statistics[lo : hi + 1].max())
    return best if math.isfinite(best) else 0.0


def short_note(ctx: SeriesContext, params: VoteParams) -> str | None:
    """What a series too short for contrasts is judged by, or None for one long enough."""
    h = contrast_width(ctx.sizes[0])
    least = shortest_judged(h)
    if params.min_contrast is None or ctx.n >= least:
        return None
    why = (
        f"{ctx.n} values are too few to judge a change against the rest of the series "
        f"(contrasts of {h} values on each side need at least {least})"
    )
    if params.min_contrast == "auto" and judges_short(ctx):
        return (
            f"{why}: at most one change of mean is reported, where the best split's t "
            "statistic, scaled by the noise's dependence, passes its calibrated p-value"
        )
    return f"nothing is reported: {why}"


def judges_short(ctx: SeriesContext) -> bool:
    """Whether a short series is judged by its best split: a change of mean asked for."""
    return ctx.change_type != "var" and "location" in ctx.judged[0]
