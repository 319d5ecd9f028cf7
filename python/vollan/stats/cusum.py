"""Cumulative sums over stretches, and the binary segmentation built on them.

A statistic that sums a score over a stretch about its mean, in units of the score's long-run
standard deviation times the root of the length, is near the largest absolute value of a
Brownian bridge while nothing changes (:func:`shape_statistic`); binary segmentation
(:func:`segmented`) splits a stretch where that sum peaks and searches both sides again. The
shift of level, the change of shape and the change of spread are all found this way, from
different scores; the fits that tell a step from a line are here too.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

import numpy as np

from vollan.stats.median import median

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Values around each value for its local mean and spread (see the shape stage).
LOCAL_VALUES = 32
# Lags of the long-run spread: values whose local windows overlap share their errors.
LONG_RUN_LAGS = 2 * LOCAL_VALUES
# A stretch of local scores (shape, spread) is judged from this many values: below, Geary's
# ratio cannot tell even the two-peaked law from a normal one.
LEAST_STRETCH_VALUES = 255
# A change is placed within this many values of the peak of the cumulative sum.
PLACE_RADIUS = 2 * LOCAL_VALUES


def local_sums(x: NDArray[np.float64], width: int) -> NDArray[np.float64]:
    """The sum of the ``width`` values around each value (the first or last ``width`` at the
    ends), from running sums."""
    n = len(x)
    first = np.empty(n + 1)
    first[0] = 0.0
    np.cumsum(x, out=first[1:])
    # Value i takes the window starting width // 2 before it, the first or the last near the
    # ends: out[before + j] is the sum of x[j : j + width].
    before = width // 2
    m = n - width + 1
    out = np.empty(n)
    np.subtract(first[width:], first[:m], out=out[before : before + m])
    out[:before] = out[before]
    out[before + m :] = out[before + m - 1]
    return out


def local_line_residuals(x: NDArray[np.float64], width: int) -> NDArray[np.float64]:
    """Each value less the least-squares line through the ``width`` values around it (the first
    or last ``width`` at the ends), from running sums: a drift leaves no residual, at the ends
    as in the middle, where a local mean would leave the drift's step times the offset."""
    n = len(x)
    t = np.arange(n, dtype=np.float64)
    if width <= 1:  # no line through one value: its local mean alone
        return np.asarray(x - local_sums(x, width) / width - 0.0 * t, dtype=np.float64)
    moments = local_sums(np.multiply(t, x), width)
    sums = local_sums(x, width)
    # In place, over the series' length (four arrays of it at most besides x): the same
    # operations as x - sums / width - (moments - centre * sums) / spread * (t - centre).
    centre = np.subtract(t, width // 2)
    np.clip(centre, 0, max(n - width, 0), out=centre)
    centre += (width - 1) / 2.0
    t -= centre
    centre *= sums
    moments -= centre
    del centre
    moments /= width * (width * width - 1) / 12.0
    t *= moments  # the slope times the offset from the window's centre
    del moments
    sums /= width
    np.subtract(x, sums, out=sums)
    sums -= t
    return sums


def local_moments(
    x: NDArray[np.float64], width: int
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Mean and standard deviation of the ``width`` values around each value (the first or
    last ``width`` at the ends)."""
    mean = local_sums(x, width)
    mean /= width
    # In place, over the series' length (10^6 values and more): the same operations as
    # max(sums of squares / width - mean², 0) and its root.
    sd = local_sums(np.square(x), width)
    sd /= width
    sd -= np.square(mean)
    np.maximum(sd, 0.0, out=sd)
    np.sqrt(sd, out=sd)
    return mean, sd


def long_run_sd(u: NDArray[np.float64], lags: int) -> float:
    """Bartlett estimate of the long-run standard deviation of ``u`` (about its mean), with
    the share ``lags / n`` that such estimates lose to the mean taken back."""
    u = u - u.mean()
    n = len(u)
    total = gamma0 = float(u @ u) / n
    for k in range(1, min(lags, n - 1) + 1):
        total += 2.0 * (1.0 - k / (lags + 1.0)) * float(u[k:] @ u[:-k]) / n
    total *= n / max(n - 2 * lags, 1)
    return math.sqrt(max(total, 1e-3 * gamma0))


def shape_statistic(
    u: NDArray[np.float64],
    margin: int = LOCAL_VALUES // 2,
    lags: int = LONG_RUN_LAGS,
    bump: bool = False,
) -> tuple[int, float]:
    """The split of a stretch's scores (values before it) where their centred cumulative sum
    is largest, and that sum in units of ``sqrt(len(u))`` long-run standard deviations over
    ``lags`` lags, taken about the means on either side of the split (so that a change does not
    count as noise). Splits within ``margin`` values of an end are not taken.

    With ``bump``, the spread is taken about the means of three parts, cut where the sum is
    largest and where it is smallest: a stretch that changes and changes back (a burst of
    noise) puts the sum's two extremes at its two changes, and the means of two parts would
    count the burst itself as noise."""
    n = len(u)
    walk, k, cuts = _extremes(u, margin, bump)
    split = k + 1
    parts = zip(cuts[:-1], cuts[1:], strict=True)
    residual = np.concatenate([u[a:b] - u[a:b].mean() for a, b in parts])
    sd = long_run_sd(residual, lags)
    if not sd > 0:
        return split, 0.0
    return split, float(abs(walk[k])) / (sd * math.sqrt(n))


def _extremes(
    u: NDArray[np.float64], margin: int, bump: bool
) -> tuple[NDArray[np.float64], int, list[int]]:
    """The centred cumulative sum of ``u`` (before each split), the place of its largest
    absolute value away from the ends, and the cuts of the parts about whose means the noise
    is taken (see :func:`shape_statistic`)."""
    n = len(u)
    walk = np.cumsum(u - u.mean())[:-1]
    bridge = np.abs(walk)
    bridge[: margin - 1] = 0.0
    bridge[n - margin :] = 0.0
    k = int(np.argmax(bridge))
    split = k + 1
    cuts = [0, split, n]
    if bump:
        inner = walk[margin - 1 : n - margin]
        if len(inner):
            # The other extreme: the sum's opposite end from the split's.
            other = int(np.argmin(inner) if walk[k] > 0 else np.argmax(inner)) + margin
            if abs(other - split) >= margin:
                cuts = [0, min(split, other), max(split, other), n]
    return walk, k, cuts


def levels_fit_better(u: NDArray[np.float64], margin: int = LOCAL_VALUES // 2) -> bool:
    """Whether two levels, split where :func:`shape_statistic` splits ``u``, or three, leave a
    smaller sum of squares than the least-squares line through ``u``: two changes in the same
    direction make a staircase that a line fits about as well as two levels, but not as well
    as three. The three levels' cuts: the best further split of either side, then the best
    split of what lies beyond that cut, with it kept (the statistic's own split falls between
    a staircase's steps, where neither side holds both)."""
    _, k, _ = _extremes(u, margin, False)
    n = len(u)
    left, right = u[: k + 1], u[k + 1 :]
    left_sse, right_sse = _sum_of_squares(left), _sum_of_squares(right)
    line = _line_sse(u)
    if left_sse + right_sse < line:
        return True
    a = _best_split(left)[0]
    b = k + 1 + _best_split(right)[0]
    three = min(
        _sum_of_squares(u[:a]) + _best_split(u[a:])[1],
        _best_split(u[:b])[1] + _sum_of_squares(u[b:]),
    )
    # The third level and its place are chosen to fit: they pay what the Bayesian information
    # criterion asks of two parameters (the noise's variance from the three levels' residuals).
    return three + 2.0 * math.log(n) * three / max(n - 3, 1) < line


def two_levels_fit_better(u: NDArray[np.float64], split: int, margin: float = 0.0) -> bool:
    """Whether the means on either side of ``split`` leave a smaller sum of squares, by the
    factor ``1 + margin``, than the least-squares line through ``u`` and than two lines joined
    at ``split``: a drift is no shift, and neither is a drift that starts or stops (a bend),
    which the slope stage judges."""
    levels = (_sum_of_squares(u[:split]) + _sum_of_squares(u[split:])) * (1.0 + margin)
    return levels < _line_sse(u) and levels < _hinge_sse(u, split)


def _hinge_sse(u: NDArray[np.float64], split: int) -> float:
    """The sum of squares about the least-squares fit of two lines joined at ``split``."""
    n = len(u)
    t = np.arange(n, dtype=np.float64)
    design = np.stack([np.ones(n), t - (n - 1) / 2.0, np.maximum(t - split, 0.0)], axis=1)
    coef, *_ = np.linalg.lstsq(design, u, rcond=None)
    residual = u - design @ coef
    return float(residual @ residual)


def _line_sse(u: NDArray[np.float64]) -> float:
    """The sum of squares about the least-squares line through ``u``."""
    n = len(u)
    t = np.arange(n, dtype=np.float64) - (n - 1) / 2.0
    centred = u - u.mean()
    slope = float(t @ centred) / float(t @ t)
    return float(np.sum(np.square(centred - slope * t)))


def _sum_of_squares(v: NDArray[np.float64]) -> float:
    return float(np.sum(np.square(v - v.mean()))) if len(v) else 0.0


def _best_split(v: NDArray[np.float64]) -> tuple[int, float]:
    """Where two parts of ``v`` leave the least sum of squares about their means (the first
    value of the second part), and that sum; ``(0, ...)`` when ``v`` is too short to split."""
    m = len(v)
    if m < 2:
        return 0, _sum_of_squares(v)
    centred = v - v.mean()
    sums = np.cumsum(centred)[:-1]
    j = np.arange(1, m, dtype=np.float64)
    # The sum of squares about one mean, less what a split before j + 1 takes away.
    explained = np.square(sums) * m / (j * (m - j))
    best = int(np.argmax(explained))
    return best + 1, max(float(centred @ centred) - float(explained[best]), 0.0)


def place_change(values: NDArray[np.float64], near: int, radius: int, margin: int) -> int:
    """The split of ``values`` within ``radius`` of ``near`` under which the deviations from
    their median differ most between the two sides (binomial likelihood of the share below
    each of ~4 ln n quantiles, spaced closer in the tails)."""
    n = len(values)
    deviation = np.abs(values - median(values))
    lo = max(margin, near - radius)
    hi = min(n - margin, near + radius)
    if hi < lo:
        return near
    levels = math.ceil(4.0 * math.log(n))
    c = -math.log(2.0 * n - 1.0)
    k = np.arange(1, levels + 1)
    probs = 1.0 / (1.0 + (2.0 * n - 1.0) * np.exp(c / levels * (2.0 * k - 1.0)))
    cut = np.quantile(deviation, probs)
    # Counts below each quantile before every split from lo to hi.
    before = np.searchsorted(np.sort(deviation[:lo]), cut, side="right").astype(np.float64)
    steps = (deviation[lo:hi, None] <= cut[None, :]).astype(np.float64)
    below = before + np.vstack([np.zeros((1, levels)), np.cumsum(steps, axis=0)])
    total = below[-1] + (deviation[hi:, None] <= cut[None, :]).sum(axis=0)
    left = np.arange(lo, hi + 1, dtype=np.float64)[:, None]

    def loglik(count: NDArray[np.float64], size: NDArray[np.float64]) -> NDArray[np.float64]:
        p = np.clip(count / size, 1e-12, 1.0 - 1e-12)
        out: NDArray[np.float64] = size * (p * np.log(p) + (1.0 - p) * np.log1p(-p))
        return out

    fit = (loglik(below, left) + loglik(total - below, n - left)).sum(axis=1)
    return lo + int(np.argmax(fit))


def segmented(
    x: NDArray[np.float64],
    stretches: Sequence[tuple[int, int]],
    scores: Callable[[NDArray[np.float64]], NDArray[np.float64]],
    p_value: Callable[[float, int], float],
    level: float,
    least: int,
    bump: bool = False,
    levels: bool = False,
    once: bool = False,
) -> list[tuple[int, float, float]]:
    """Binary segmentation of each stretch of at least ``least`` values by the cumulative sum
    of its ``scores`` (:func:`shape_statistic`), a split taken where ``p_value`` of the
    statistic over the part's length is at most ``level``, each change placed by
    :func:`place_change`: ``(index, statistic, p-value)``, strongest first. With ``levels``, a
    split is taken only where the scores' two or three means fit them better than a line
    (:func:`levels_fit_better`): a score that rises or falls steadily changes nowhere. With
    ``once``, the first split of each stretch alone."""
    found: list[tuple[int, float, float]] = []
    for start, end in stretches:
        if end - start < least:
            continue
        values = x[start:end]
        with np.errstate(all="ignore"):
            u = scores(values)
        if not np.isfinite(u).all():
            continue
        todo = [(0, end - start)]
        while todo:
            a, b = todo.pop()
            if b - a < least:
                continue
            split, statistic = shape_statistic(u[a:b], bump=bump)
            p = p_value(statistic, b - a)
            if not p <= level or (levels and not levels_fit_better(u[a:b])):
                continue
            split = place_change(values[a:b], split, PLACE_RADIUS, LOCAL_VALUES // 2)
            found.append((start + a + split, statistic, p))
            todo += [] if once else [(a, a + split), (a + split, b)]
    return sorted(found, key=lambda one: one[2])
