"""Critical values of the contrasts from a series' own values in random order.

The Gaussian critical values (:func:`vollan.pipeline.contrast.critical_contrast`) hold for a
robust z-score under most continuous noises, not in flags or counts that are mostly 0: most
contrasts tie at the floor and the rest take a few values. Change-free flags at 1 % reported a
change in 37-39 % of series of 150 to 300 values, Poisson(0.02) counts in 29 % of 100 values.

So where one value makes up more than :data:`SPARSE_SHARE` of a series of at most
:data:`PERMUTED_UP_TO` values, the p-value of the location and the scale contrast is also taken
from the series itself: the quantile of the largest z-score over all boundaries, each taken as a
leader's is (against the boundaries away from as many peaks as the series has candidates), in
:func:`permutations` random orders of its values: without a change the values are exchangeable,
so this is the statistic's law. The level, :data:`~vollan.pipeline.contrast.CONTRAST_LEVEL`, is
shared between the contrasts judged (Bonferroni), and the larger of this p-value and the
Gaussian one holds: the rule can only take reports away. Seeded by the length, the orders are
the same on every call.

A permuted series' contrasts come from running sums, O(n) per distinct value, instead of sorting
every window: the mean distance between two windows' sorted values is the sum, over the gaps
between neighbouring distinct values, of the gap times the difference of the windows' counts
above it, over h; a window's spread about its line follows from its sums of x, x² and t·x. The
sums serve every width.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from vollan.pipeline.contrast import floors
from vollan.stats.robust import robust_z, tie_bounds

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Random orders per critical value: a 97.5 % quantile then rests on five of them. Long series
# get fewer, for a budget of values permuted, but never fewer than FEWEST_PERMUTATIONS.
PERMUTATIONS = 200
PERMUTED_VALUES = 4_000_000
FEWEST_PERMUTATIONS = 40
# Where one value makes up more than this share of the series, contrasts are calibrated on its
# own values too. Change-free Poisson counts at rate 0.3 (74 % zeros) and flags at rate 0.2
# (80 % zeros) reported a change in at most 5 % of series of 50 to 1,000 values against the
# Gaussian critical values alone, Poisson(0.1) (90 %) in 6.5 % and sparser series in up to 39 %.
SPARSE_SHARE = 0.8
# The reference of a leader's z-score leaves out the boundaries near every candidate, so the
# permuted series' leaves out those near as many of its peaks, up to this many: change-free
# sparse series (flags at 1 % and 5 %, Poisson(0.02) and (0.1) counts, 200 to 20,000 values,
# 15 to 40 series a cell) had at most 4 candidates; beyond, candidates are changes, and leaving
# out as many random peaks would raise the critical value of a series with many changes.
MOST_CHANCE_CANDIDATES = 4
# Series up to this many values are calibrated on their own values: a random order costs one
# pass per level, and long series get the fewest orders.
PERMUTED_UP_TO = 10_000_000
# At most this many distinct values (one cumulative sum each); a sparse series with more (events
# of continuous heights) is judged, its values and their random orders alike, on its values
# rounded down to this many quantiles of those away from its mode (:func:`quantized`).
MOST_LEVELS = 32
_SEED = 0x5EED_F1A6


def permutations(n: int) -> int:
    """Random orders for a series of ``n`` values."""
    return max(FEWEST_PERMUTATIONS, min(PERMUTATIONS, PERMUTED_VALUES // max(n, 1)))


def applies(ordered: NDArray[np.float64]) -> bool:
    """Whether a series whose values sorted are ``ordered`` is calibrated on its own values:
    one value makes up more than :data:`SPARSE_SHARE` of it."""
    if not 0 < len(ordered) <= PERMUTED_UP_TO:
        return False
    counts = np.diff(tie_bounds(ordered))
    return bool(int(counts.max()) > SPARSE_SHARE * len(ordered))


def quantized(x: NDArray[np.float64], ordered: NDArray[np.float64]) -> NDArray[np.float64]:
    """``x`` itself when it takes at most :data:`MOST_LEVELS` values; else its mode kept and
    every other value rounded down to the nearest of ``MOST_LEVELS - 1`` quantiles of the
    values other than the mode."""
    levels = np.unique(ordered)
    if len(levels) <= MOST_LEVELS:
        return x
    bounds = tie_bounds(ordered)
    k = int(np.argmax(np.diff(bounds)))
    mode = ordered[bounds[k]]
    rest = np.concatenate([ordered[: bounds[k]], ordered[bounds[k + 1] :]])
    grid = np.unique(np.quantile(rest, np.linspace(0.0, 1.0, MOST_LEVELS - 1), method="lower"))
    at = np.clip(np.searchsorted(grid, x, side="right") - 1, 0, len(grid) - 1)
    out = grid[at]
    out[x == mode] = mode
    return np.asarray(out, dtype=np.float64)


def _cumulative(v: NDArray[np.float64]) -> NDArray[np.float64]:
    return np.concatenate([[0.0], np.cumsum(v, dtype=np.float64)])


def _above_counts(y: NDArray[np.float64], levels: NDArray[np.float64]) -> list[NDArray[np.float64]]:
    """Per gap between neighbouring distinct values, the running count of values above it."""
    return [_cumulative((y > below).astype(np.float64)) for below in levels[:-1]]


def _moment_sums(y: NDArray[np.float64]) -> tuple[NDArray[np.float64], ...]:
    """Running sums of x, x² and i·x (i the position)."""
    return _cumulative(y), _cumulative(y * y), _cumulative(np.arange(len(y)) * y)


def _location_from(
    above: Sequence[NDArray[np.float64]],
    levels: NDArray[np.float64],
    h: int,
    gap: float,
    log_spread: NDArray[np.float64],
) -> NDArray[np.float64]:
    n = len(above[0]) - 1 if above else 0
    distance = np.zeros(max(n - 2 * h + 1, 0))
    for count, below, up in zip(above, levels[:-1], levels[1:], strict=True):
        before = count[h : n - h + 1] - count[: n - 2 * h + 1]
        after = count[2 * h :] - count[h : n - h + 1]
        distance += (up - below) * np.abs(after - before)
    least = floors(gap, h)[1]
    sb, sa = np.exp(log_spread[: n - 2 * h + 1]), np.exp(log_spread[h:])
    pooled = 0.5 * np.log(0.5 * (sa * sa + sb * sb))
    return np.asarray(np.log(np.maximum(distance / h, least)) - pooled, dtype=np.float64)


def _log_spreads(sums: tuple[NDArray[np.float64], ...], h: int, gap: float) -> NDArray[np.float64]:
    """The logarithm of each window's floored spread about its line, by its start."""
    c1, c2, ci = sums
    n = len(c1) - 1
    s1, s2, si = c1[h:] - c1[:-h], c2[h:] - c2[:-h], ci[h:] - ci[:-h]
    start = np.arange(n - h + 1, dtype=np.float64)
    st = si - (start + (h - 1) / 2.0) * s1  # sum of t·x with t centred in the window
    tt = h * (h * h - 1) / 12.0
    residual = np.maximum(s2 - s1 * s1 / h - st * st / tt, 0.0)
    least = floors(gap, h)[0]
    return np.asarray(np.log(np.maximum(np.sqrt(residual / (h - 2)), least)), dtype=np.float64)


def _scale_from(log_spread: NDArray[np.float64], h: int) -> NDArray[np.float64]:
    n = len(log_spread) + h - 1
    return np.asarray(np.sqrt(np.abs(log_spread[h:] - log_spread[: n - 2 * h + 1])))


def location_contrasts(
    y: NDArray[np.float64], h: int, levels: NDArray[np.float64], gap: float
) -> NDArray[np.float64]:
    """The location contrast of ``y`` (whose distinct values are ``levels``, sorted) at every
    boundary h .. n - h, as :func:`vollan.pipeline.contrast.contrasts_at` gives it."""
    spreads = _log_spreads(_moment_sums(y), h, gap)
    return _location_from(_above_counts(y, levels), levels, h, gap, spreads)


def scale_contrasts(y: NDArray[np.float64], h: int, gap: float) -> NDArray[np.float64]:
    """The scale contrast of ``y`` at every boundary h .. n - h, as
    :func:`vollan.pipeline.contrast.contrasts_at` gives it."""
    return _scale_from(_log_spreads(_moment_sums(y), h, gap), h)


def peak_vicinity(contrast: NDArray[np.float64], h: int, peaks: int) -> NDArray[np.bool_]:
    """The boundaries closer than h to the ``peaks`` highest peaks of ``contrast``, each the
    first largest contrast farther than h from those before it, moved to the middle of the run
    of equal contrasts it starts (up to 4h long): a lone event lifts the contrast equally at the
    2h boundaries that see it, and the scan puts its candidate in their middle. Maxima of
    blocks of h boundaries find each peak without a pass over the series."""
    n = len(contrast)
    near = np.zeros(n, dtype=bool)
    blocks_count = -(-n // h)
    rest = np.full(blocks_count * h, -np.inf)
    rest[:n] = contrast
    blocks = rest.reshape(blocks_count, h)
    block_max = blocks.max(axis=1)
    for _ in range(max(1, peaks)):
        b = int(np.argmax(block_max))
        if block_max[b] == -np.inf:
            break
        at = b * h + int(np.argmax(blocks[b]))
        run = rest[at : at + 4 * h]
        past = run != run[0]
        end = at + (int(np.argmax(past)) - 1 if past.any() else len(run) - 1)
        at = (at + end) // 2
        lo, hi = max(0, at - h + 1), min(n, at + h)
        near[lo:hi] = True
        rest[lo:hi] = -np.inf
        block_max[lo // h : (hi - 1) // h + 1] = blocks[lo // h : (hi - 1) // h + 1].max(axis=1)
    return near


def largest_z(contrast: NDArray[np.float64], h: int, peaks: int, least_reference: int) -> float:
    """The largest z-score of ``contrast`` (boundaries h .. n - h) against every h/8-th boundary
    outside the :func:`peak_vicinity` of its ``peaks`` highest peaks (all of them when fewer
    than ``least_reference`` boundaries' worth would be left), as a leader's is taken."""
    step = max(1, h // 8)
    every = np.arange(0, len(contrast), step)
    near = peak_vicinity(contrast, h, peaks)
    away = every[~near[every]]
    if len(away) * step >= least_reference:
        every = away
    return robust_z([float(contrast.max())], contrast[every])[0]


def permuted_largest(
    x: NDArray[np.float64],
    ordered: NDArray[np.float64],
    widths: Sequence[int],
    kinds: Sequence[str],
    least_windows: int,
    peaks: int = 1,
) -> dict[int, dict[str, NDArray[np.float64]]]:
    """Per width h of ``widths`` and contrast of ``kinds``, the sorted :func:`largest_z` of each
    of :func:`permutations` random orders of ``x`` (the same orders for every width and kind;
    ``ordered``: ``x`` sorted; its least reference ``least_windows`` times h). A width too wide
    for the series gets no orders: its p-values are 1."""
    n = len(x)
    widths = sorted(set(widths))
    out = {h: {kind: np.empty(0) for kind in kinds} for h in widths}
    fitting = [h for h in widths if 2 * h + 1 <= n]
    if not fitting or not kinds:
        return out
    levels = np.unique(ordered)
    gap = float(np.diff(levels).min()) if len(levels) > 1 else 0.0
    rng = np.random.default_rng([_SEED, n])
    orders = permutations(n)
    largest = {(h, kind): np.empty(orders) for h in fitting for kind in kinds}
    for r in range(orders):
        y = rng.permutation(x)
        above = _above_counts(y, levels) if "location" in kinds else []
        sums = _moment_sums(y)
        for h in fitting:
            spreads = _log_spreads(sums, h, gap)
            for kind in kinds:
                if kind == "location":
                    contrast = _location_from(above, levels, h, gap, spreads)
                else:
                    contrast = _scale_from(spreads, h)
                largest[h, kind][r] = largest_z(contrast, h, peaks, least_windows * h)
    for (h, kind), values in largest.items():
        out[h][kind] = np.sort(values)
    return out


def p_value(largest: NDArray[np.float64], z: float) -> float:
    """The permutation p-value of ``z`` among the sorted ``largest`` z-scores of the random
    orders: ``(1 + orders at or above z) / (1 + orders)`` (1 without orders)."""
    if not len(largest):
        return 1.0
    at_or_above = len(largest) - int(np.searchsorted(largest, z, side="left"))
    return (1 + at_or_above) / (1 + len(largest))
