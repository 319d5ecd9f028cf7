"""Placing the changes of a periodic series to the value.

The scan of a periodic series compares windows of whole periods, and the contrasts and the
passes over stretches compare the laws of the values on either side: neither can tell where
within a cycle a change happened, so a change of wave form, amplitude or period is reported up
to half a period or so from where it lies. What does tell is the order of the values: within a
regime each value is close to the one a period before it and to the one a period after it. So
each reported change ``c`` is moved, within :data:`RADIUS_PERIODS` periods of where it was
reported, to the split under which predicting every value left of it from the value one
period before, and every value right of it from the value one period after, fits best (least
squares). Only across the true change does either prediction mix the two regimes, and the cost
of that mixing rises as the split moves away from it on either side.

Values left out of the scan (missing ones, outliers) would shift every value after them by one
against the cycle, so the placement runs on the series' own time axis, the left-out values
filled in linearly between their neighbours.

Each side's lag is the one, between half and twice the series' period, under which the values
of that side (beyond the radius, up to :data:`BLOCK_PERIODS` periods) are most like themselves:
regimes may differ in period, and a period that is not a whole number of values is followed
best by the whole multiple closest to one. A change stays where it was found when either side
does not follow a cycle: when even its best lag predicts its values worse than their mean does
(noise, or a cycle that only outliers left out of the scan made).
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from vollan.stats.period import autocovariance

if TYPE_CHECKING:
    from numpy.typing import NDArray

# A change is looked for this many periods on either side of where it was reported: the
# windows compared are whole periods, so the phase within a cycle is what they leave open.
RADIUS_PERIODS = 1
# The values that fix each side's lag: this many periods beyond the radius.
BLOCK_PERIODS = 4
# Each side's lag lies between these multiples of the series' period. A side with fewer than
# twice the largest lag in values beyond the radius (a change close to its neighbour) keeps
# the change where it was found: a lag chosen among short ones only would follow no period.
LEAST_LAG_PERIODS = 0.5
MOST_LAG_PERIODS = 2.0


def best_lag(block: NDArray[np.float64], least: int, most: int) -> int | None:
    """The lag from ``least`` to ``most`` with the least mean squared difference between the
    block's values and those that many values before them. None for a block of fewer than
    ``2 * most`` values, too short to compare its values a lag of ``most`` apart, and when
    even that lag predicts the values worse than the block's mean does (a mean squared
    difference above the block's variance): such a side does not follow a cycle."""
    m = len(block)
    if m < 2 * most:
        return None
    # Sums over t of (b[t] - b[t - L])^2 = squares after L + squares before m - L - 2 r(L),
    # with r the lagged products, all lags at once.
    squares = np.concatenate([[0.0], np.cumsum(block * block)])
    lags = np.arange(least, most + 1)
    products = autocovariance(block)[lags]
    total = (squares[m] - squares[lags]) + squares[m - lags] - 2.0 * products
    mean_squares = total / (m - lags)
    best = int(np.argmin(mean_squares))
    if not mean_squares[best] <= float(np.var(block)):
        return None
    return int(lags[best])


def place_periodic(x: NDArray[np.float64], changes: Sequence[int], period: int) -> dict[int, int]:
    """Where each of the sorted ``changes`` of ``x`` fits best (module docstring), for those
    that move: their new positions stay strictly between the midpoints to their neighbours,
    so that changes keep their order and never meet."""
    n = len(x)
    radius = RADIUS_PERIODS * period
    block = BLOCK_PERIODS * period
    least = max(2, round(LEAST_LAG_PERIODS * period))
    most = max(least, round(MOST_LAG_PERIODS * period))
    cuts = [0, *changes, n]
    moved = {}
    for prev, c, nxt in zip(cuts, cuts[1:], cuts[2:], strict=False):
        left = best_lag(x[max(prev, c - radius - block) : max(prev, c - radius)], least, most)
        right = best_lag(x[min(nxt, c + radius) : min(nxt, c + radius + block)], least, most)
        if left is None or right is None:
            continue
        # The splits looked at, with both predictions inside the change's own stretches.
        lo = max(c - radius, (prev + c) // 2 + 1, prev + left)
        hi = min(c + radius, (c + nxt + 1) // 2 - 1, nxt - right)
        if not lo <= c <= hi:
            continue
        t = np.arange(lo, hi)
        forward = (x[t] - x[t - left]) ** 2
        backward = (x[t] - x[t + right]) ** 2
        # cost(s) = forward over [lo, s) + backward over [s, hi), for s from lo to hi.
        cost = np.concatenate([[0.0], np.cumsum(forward)]) + np.concatenate(
            [np.cumsum(backward[::-1])[::-1], [0.0]]
        )
        best = lo + int(np.argmin(cost))
        if best != c:
            moved[c] = best
    return moved


def place_periodic_in_time(
    x: NDArray[np.float64],
    positions: NDArray[np.intp] | None,
    changes: Sequence[int],
    period: int,
) -> dict[int, int]:
    """:func:`place_periodic` for scanned values ``x`` taken at ``positions`` of the series
    (None: at 0 .. n-1), on the series' time axis with the values left out filled in
    linearly. The changes and their new places count scanned values; a new place is the first
    scanned value at or after the place found on the time axis."""
    if positions is None:
        return place_periodic(x, changes, period)
    at = positions - positions[0]
    filled = np.interp(np.arange(at[-1] + 1, dtype=np.float64), at, x)
    moved = place_periodic(filled, [int(at[c]) for c in changes], period)
    out = {}
    for c in changes:
        if int(at[c]) in moved:
            new = int(np.searchsorted(at, moved[int(at[c])], side="left"))
            if new != c:
                out[c] = new
    # Two places that fall into one run of left-out values would meet: neither moves.
    taken = Counter(out.get(c, c) for c in changes)
    return {c: new for c, new in out.items() if taken[new] == 1}
