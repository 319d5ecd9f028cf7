"""Shifts of level over whole stretches, which windows of a few dozen values can leave out.

The scan's windows are at most a quarter of the series, and its contrasts compare a few dozen
values on either side of a boundary: a shift of one standard deviation between two stretches of
a hundred values each stands at about z = 3.5 in windows of 25 values, within their noise, while
the means of the two whole stretches differ by z = 7. Binary segmentation by the cumulative sum
of the values finds it, and is the most powerful test of one shift in independent noise. It is
run over the stretches between the changes the other rules report:

- each value's residual from the running median of :data:`MEDIAN_VALUES` values is clipped at
  :data:`CLIP_SDS` robust standard deviations, so that one extreme value of a heavy-tailed noise
  moves the sum no more than an ordinary one;
- the cumulative sum of the values about their mean, over the square root of the stretch's
  length times their long-run standard deviation (Bartlett weights over :func:`long_run_lags`
  lags, about the means of the parts cut where the sum is largest and smallest, so that
  neither a shift nor a shift and its return count as noise), is near a Brownian bridge while
  the level stays the same (dependent noise is measured by its own long-run spread); its
  largest value beyond :func:`critical_level` reports a shift, and each side is searched again;
- a stretch that wanders (a random walk, a strongly dependent noise or a cycle), where
  differences over an eighth of the stretch are larger than :data:`MOST_WANDER` times what
  independent noise of the same step-to-step spread gives, is not judged: its level moves
  everywhere, and no single shift stands for it. Robust spreads of the differences keep a few
  shifts from counting as wander;
- a stretch whose values change fewer than :data:`LEAST_MOVES` times (counts that are nearly
  all zeros) is not judged either: a handful of events is no Brownian bridge;
- a split is reported only where two levels fit the stretch better than one straight line
  (by their sums of squares): a drift differs between its two halves too, and is no shift.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from vollan.pipeline.contrast import contrast_width
from vollan.pipeline.stage import Calibration, Candidate, Stage, StageParams, stretches
from vollan.stats.cusum import shape_statistic, two_levels_fit_better
from vollan.stats.median import median
from vollan.stats.robust import MAD_TO_SD, clipped
from vollan.stats.tables import KolmogorovTable

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan.pipeline.context import SeriesContext

# Values of the running median whose residuals are clipped (a normal law keeps 99.7 % within 3).
MEDIAN_VALUES = 9
CLIP_SDS = 3.0
# A stretch is judged from this many values: below, a drift of a few sds is a shift as well
# (the 99 % quantile of the statistic over drifting series of 100 values was 3.4).
LEAST_LEVEL_VALUES = 150
# The variance of differences over an eighth of the stretch, over that of differences of one
# step times the lag: about 1/lag for independent noise, (1/lag)/(1 - phi) for AR(1) noise, 1
# for a random walk. Above this a stretch wanders.
MOST_WANDER = 0.25
# A stretch whose values change fewer times than this is not judged: a sum of a handful of
# events is no Brownian bridge. Poisson(0.02) noise, 3 events in 150 values, passed the critical
# value in 3 % of series; ten events or more keep every count law tried within it (levels.py).
LEAST_MOVES = 20
# The splits whose log-likelihood lies within this of the best one's make up where a shift
# may lie: about the true split of a shift in Gaussian noise, the log-likelihood is near a
# two-sided Brownian motion drifting down at half its variance rate, whose largest value on
# either side exceeds x with probability exp(-x); so ln(2 / 0.1) holds the true split about
# 90 % of the time.
INTERVAL_LOG_LIKELIHOOD = math.log(20.0)
# The critical value of the statistic by the length of the stretch: above the largest simulated
# 99 % quantile over change-free Gaussian, Student-t(3), AR(1) 0.5, 0.7 and 0.9, random-walk,
# drifting and seasonal noise and counts (bench/levels.py: 1,000 series a cell, 250 beyond 4,000
# values), rounded up to 0.05, never below a longer length's nor below those set when the
# long-run spread was taken about two parts, interpolated in the logarithm of the length and
# constant beyond 20,000. 99 % rather than 95 %: the level is judged beside the scan's own
# contrasts, and may add at most 1 % to their false alarms.
CRITICAL = KolmogorovTable(
    lengths=(150, 200, 255, 400, 600, 1000, 2000, 5000, 20000),
    values=(2.85, 2.85, 2.7, 2.55, 2.45, 2.45, 1.95, 1.95, 1.85),
    level=0.99,
)
# The same, for the long-run spread taken about the two parts on either side of the split.
CRITICAL_TWO_PARTS = KolmogorovTable(
    lengths=(150, 200, 255, 600, 1000, 2000, 5000, 20000),
    values=(2.5, 2.5, 2.25, 2.25, 2.15, 1.95, 1.95, 1.8),
    level=0.99,
)


@dataclass(frozen=True)
class LevelParams(StageParams):
    """Parameters of the level stage, besides its ``share`` of ``alpha`` (:class:`StageParams`).

    Attributes
    ----------
    bumps : bool
        Whether the long-run spread is taken about three parts, cut at both extremes of the
        cumulative sum, rather than about the two on either side of the split: a level that
        shifts and shifts back within the stretch puts the sum's extremes at its two ends.
    """

    share: float = 0.1  # the level stage was calibrated at 1 % beside the vote's 5 %
    bumps: bool = True


def long_run_lags(n: int) -> int:
    """Lags of the long-run spread of a stretch of ``n`` values: an eighth of it, from 8 to 64
    (an AR(1) of coefficient 0.9 has forgotten all but 0.1 % of a value after 64 steps)."""
    return max(8, min(64, n // 8))


def critical_level(n: int, bumps: bool = True) -> float:
    """The critical value for a stretch of ``n`` values (interpolated in the logarithm of n)."""
    return (CRITICAL if bumps else CRITICAL_TWO_PARTS).critical(n)


def level_p_value(statistic: float, n: int, bumps: bool = True) -> float:
    """The p-value of the statistic over a stretch of ``n`` values: Kolmogorov's tail through
    the calibrated critical value."""
    return (CRITICAL if bumps else CRITICAL_TWO_PARTS).p_value(statistic, n)


def wanders(x: NDArray[np.float64]) -> bool:
    """Whether the robust variance of ``x``'s differences over an eighth of its length exceeds
    :data:`MOST_WANDER` times the lag times that of its differences over one step."""
    lag = max(8, len(x) // 8)
    if len(x) <= 2 * lag:
        return True
    step = _robust_sd(np.diff(x))
    far = _robust_sd(x[lag:] - x[:-lag])
    if not step > 0:
        return bool(far > 0)
    return bool((far / step) ** 2 / lag > MOST_WANDER)


def judged(u: NDArray[np.float64]) -> bool:
    """Whether a stretch is long enough, moves often enough and does not wander."""
    return _may_be_judged(u) and not wanders(u)


def _may_be_judged(u: NDArray[np.float64]) -> bool:
    """The cheap part of :func:`judged`: long enough, and moving often enough."""
    return len(u) >= LEAST_LEVEL_VALUES and int(np.count_nonzero(u[1:] != u[:-1])) >= LEAST_MOVES


def _robust_sd(d: NDArray[np.float64]) -> float:
    return MAD_TO_SD * median(np.abs(d - median(d)))


def level_statistic(u: NDArray[np.float64], bumps: bool = True) -> tuple[int, float]:
    """The split of ``u`` (values before it) where the cumulative sum about the mean is
    largest, and that sum in units of ``sqrt(len(u))`` long-run standard deviations about the
    means of the parts cut where the sum is largest and smallest (with ``bumps``; else the
    two parts on either side of the split). Splits
    within ``len(u) / 50`` values (at least 4) of an end are not taken: their means rest on
    too few values."""
    n = len(u)
    return shape_statistic(u, max(4, n // 50), long_run_lags(n), bump=bumps)


def likely_splits(u: NDArray[np.float64], split: int, statistic: float) -> tuple[int, int]:
    """Where the shift found at ``split`` of ``u`` with ``statistic`` may lie: the half-open
    run of splits from the first to the last whose log-likelihood of two levels (in the
    long-run spread the statistic was measured in) lies within :data:`INTERVAL_LOG_LIKELIHOOD`
    of the best one's, widened to hold ``split``."""
    n = len(u)
    sums = np.cumsum(u - u.mean())[:-1]
    sd = abs(float(sums[split - 1])) / (statistic * math.sqrt(n))
    s = np.arange(1, n, dtype=np.float64)
    # Twice the log-likelihood of two levels split before s, less that of one level.
    twice = np.square(sums / sd) * n / (s * (n - s))
    margin = max(4, n // 50)
    twice[: margin - 1] = -np.inf
    twice[n - margin :] = -np.inf
    inside = np.flatnonzero(twice >= twice.max() - 2.0 * INTERVAL_LOG_LIKELIHOOD)
    return min(int(inside[0]) + 1, split), max(int(inside[-1]) + 2, split + 1)


def level_changes(
    x: NDArray[np.float64],
    stretches: Sequence[tuple[int, int]],
    level: float,
    bumps: bool = True,
    once: bool = False,
) -> list[tuple[int, float, float, tuple[int, int]]]:
    """Shifts of level within the stretches ``[start, end)`` of ``x`` whose p-values are at
    most ``level``, with their statistics, p-values and the half-open runs of splits where
    they may lie (:func:`likely_splits`), strongest first (with ``once``, the first split of
    each stretch alone)."""
    found: list[tuple[int, float, float, tuple[int, int]]] = []
    for start, end in stretches:
        if end - start < LEAST_LEVEL_VALUES:
            continue
        with np.errstate(all="ignore"):
            u = clipped(np.ascontiguousarray(x[start:end]), MEDIAN_VALUES)
        if not np.isfinite(u).all():
            continue
        todo = [(0, end - start)]
        while todo:
            a, b = todo.pop()
            if not _may_be_judged(u[a:b]):
                continue
            split, statistic = level_statistic(u[a:b], bumps)
            p = level_p_value(statistic, b - a, bumps)
            # Whether the stretch wanders is asked last: its medians cost more than the
            # statistic, and most stretches of most series pass no critical value.
            if not p <= level or wanders(u[a:b]) or not two_levels_fit_better(u[a:b], split):
                continue
            lo, hi = likely_splits(u[a:b], split, statistic)
            found.append((start + a + split, statistic, p, (start + a + lo, start + a + hi)))
            todo += [] if once else [(a, a + split), (a + split, b)]
    return sorted(found, key=lambda one: one[2])


def split_p_value(
    x: NDArray[np.float64], start: int, end: int, c: int, reach: int, params: LevelParams
) -> float:
    """The stage's p-value of the stretch ``[start, end)`` where the split it takes lies within
    ``reach`` of ``c``, else 1: the evidence it gives a shift another stage found at ``c``."""
    found = level_changes(x, [(start, end)], 1.0, params.bumps, once=True)
    return found[0][2] if found and abs(found[0][0] - c) <= reach else 1.0


def _propose(
    ctx: SeriesContext, params: LevelParams, level: float, cuts: Sequence[int]
) -> list[Candidate]:
    h = contrast_width(ctx.sizes[0])
    found = level_changes(ctx.x, stretches(ctx.n, cuts), level, params.bumps)
    # One within a contrast width of a reported change is that change, placed less well.
    return [
        Candidate("level", "mean", c, statistic, p, span)
        for c, statistic, p, span in found
        if all(abs(c - r) > h for r in cuts)
    ]


LEVEL = Stage(
    "level",
    "small shifts of level between long stretches, within the windows' noise",
    ("mean",),
    LevelParams,
    Calibration(
        "Gaussian, t(3), AR(1) 0.5-0.9, random walk, drifts, seasonal, counts; n 150-20,000",
        CRITICAL.level,
        "kolmogorov",
        "bench/levels.py",
    ),
    _propose,
    judges="level",
    least=LEAST_LEVEL_VALUES,
)
