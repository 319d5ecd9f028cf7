"""The last stage of :func:`vollan.detect`: where each reported change lies, and how large it is.

Each change is placed by the cost of its kind within the stretch between its neighbours
(:func:`vollan.stats.split.place_change`): two means for a shift, two variances for a change of
spread, two distributions for a change of shape, two joined lines for a bend of the trend. Its
confidence interval comes from the same criterion. A periodic series scanned in whole periods is
placed by its cycle instead (:func:`vollan.stats.period.place_periodic`), which windows of whole
cycles cannot see. Sizes are in the natural unit of the kind: the shift in local standard
deviations, the ratio of the spreads, the distance between the two laws in local standard
deviations, the change of slope per step in noise standard deviations.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from vollan.pipeline.background import each
from vollan.stats.period import place_periodic_in_time
from vollan.stats.split import place_change

# Changes from which they are placed on two threads: each placement simulates its critical
# value (a few milliseconds), about what starting the threads costs for a handful.
PLACE_BESIDE_FROM = 8

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan.pipeline.context import SeriesContext
    from vollan.pipeline.stage import Candidate

__all__ = ["PlaceParams", "Placed", "change_kind", "placed", "placed_apart"]


@dataclass(frozen=True)
class PlaceParams:
    """Parameters of the placement.

    Attributes
    ----------
    level : float
        Confidence level of each change's interval.
    periodic : bool
        Whether the changes of a series scanned in whole periods are placed by its cycle.
    """

    level: float = 0.9
    periodic: bool = True


@dataclass(frozen=True)
class Placed:
    """A reported change placed, in scanned values: its index, closed interval and size."""

    candidate: Candidate
    index: int
    low: int
    high: int
    size: float


def placed(ctx: SeriesContext, chosen: Sequence[Candidate], params: PlaceParams) -> list[Placed]:
    """The ``chosen`` candidates placed, ascending by index."""
    x, n = ctx.x, ctx.n
    order = sorted(chosen, key=lambda c: c.index)
    cuts = [c.index for c in order]
    period = ctx.period_of_windows if params.periodic else None
    moved: dict[int, int] = {}
    if period:
        moved = place_periodic_in_time(x, ctx.kept.positions, cuts, period)
    largest = ctx.sizes[-1]

    def one(k: int) -> Placed:
        cand = order[k]
        start = cuts[k - 1] if k else 0
        stop = cuts[k + 1] if k + 1 < len(cuts) else n
        if cand.index in moved:
            index = moved[cand.index]
            low, high = sorted((cand.index, index))
            size = kind_size(x, index, cand.kind, start, stop, largest, ctx.noise)
            return Placed(cand, index, low, high, size)
        lo, hi = _search(cand, start, stop)
        if cand.reach:
            # The values the stage saw: a curve, a drift or a slow wander farther away would
            # pull a model of two flat or straight segments away from where the change is.
            start, stop = max(start, lo - 2 * cand.reach), min(stop, hi + 2 * cand.reach)
        where = place_change(x, start, stop, lo, hi, cand.kind, params.level)
        size = kind_size(x, where.index, cand.kind, start, stop, largest, ctx.noise)
        return Placed(cand, where.index, where.low, where.high, size)

    # Each change is placed between its neighbours as found, apart from the others' placing:
    # on two threads when there are enough of them (each simulates its critical value).
    threads = ctx.two_threads and len(order) >= PLACE_BESIDE_FROM
    out = each(one, range(len(order)), two_threads=threads)
    return sorted(out, key=lambda p: p.index)


def placed_apart(
    ctx: SeriesContext, candidates: Sequence[Candidate], params: PlaceParams
) -> list[Placed]:
    """Candidates that were not reported, each left where its stage put it, with the region
    where the stage saw it as its interval (for ``n_changes``)."""
    out = []
    for c in candidates:
        size = kind_size(ctx.x, c.index, c.kind, 0, ctx.n, ctx.sizes[-1], ctx.noise)
        low, high = min(c.region[0], c.index), max(c.region[1] - 1, c.index)
        out.append(Placed(c, c.index, low, high, size))
    return out


def _search(cand: Candidate, start: int, stop: int) -> tuple[int, int]:
    """Where to search for the split: the stage's region and its index, widened by the
    candidate's reach, within the stretch between the neighbours (each side keeps at least two
    values)."""
    lo = min(cand.region[0], cand.index) - cand.reach
    hi = max(cand.region[1] - 1, cand.index) + cand.reach
    return max(lo, start + 2), min(hi, stop - 2)


def kind_size(
    x: NDArray[np.float64],
    c: int,
    kind: str,
    start: int,
    stop: int,
    largest: int,
    noise: float,
) -> float:
    """How large the change at ``c`` is, in the unit of its ``kind``, from the values between
    its neighbours ``start`` and ``stop`` within the largest window on each side."""
    w = max(2, min(c - start, stop - c, largest))
    before = x[max(start, c - w) : c]
    after = x[c : min(stop, c + w)]
    if len(before) < 2 or len(after) < 2:
        return math.nan
    with np.errstate(all="ignore"):
        sb, sa = float(np.std(before, ddof=1)), float(np.std(after, ddof=1))
        pooled = math.sqrt((sb * sb + sa * sa) / 2.0)
        if kind == "variance":
            return sa / sb if sb > 0 else math.inf
        if kind == "trend":
            return (_slope(after) - _slope(before)) / noise if noise > 0 else math.nan
        if kind == "shape":
            m = min(len(before), len(after))
            gap = float(np.mean(np.abs(np.sort(after[:m]) - np.sort(before[-m:]))))
            return gap / pooled if pooled > 0 else math.nan
        gap = float(np.mean(after) - np.mean(before))
        if pooled > 0:
            return gap / pooled
        return 0.0 if gap == 0 else math.copysign(math.inf, gap)


def _slope(v: NDArray[np.float64]) -> float:
    t = np.arange(len(v), dtype=np.float64) - (len(v) - 1) / 2.0
    return float(t @ (v - v.mean())) / float(t @ t)


# The z-score from which a shift of the mean, or a change of spread, explains a change the
# location contrast found (about the two-sided 0.3 % point); below both, its shape changed.
KIND_Z = 3.0


def change_kind(x: NDArray[np.float64], c: int, h: int, contrast: str) -> str:
    """ "variance" for the scale contrast. For the location contrast, which sees every change
    of the law, what changed between the h values on either side: "mean" where Welch's t of
    their means is the larger of it and the z-score of the log ratio of their spreads,
    "variance" where that is, and "shape" where neither reaches :data:`KIND_Z`."""
    if contrast == "scale":
        return "variance"
    before, after = x[max(0, c - h) : c], x[c : c + h]
    if len(before) < 3 or len(after) < 3:
        return "mean"
    with np.errstate(all="ignore"):
        vb, va = float(np.var(before, ddof=1)), float(np.var(after, ddof=1))
        gap = abs(float(np.mean(after) - np.mean(before)))
        error = math.sqrt(vb / len(before) + va / len(after))
        z_mean = gap / error if error > 0 else (math.inf if gap > 0 else 0.0)
        if vb > 0 and va > 0:
            z_var = abs(0.5 * math.log(va / vb)) / math.sqrt(
                0.5 / (len(before) - 1) + 0.5 / (len(after) - 1)
            )
        else:
            z_var = 0.0 if vb == va else math.inf
    if max(z_mean, z_var) < KIND_Z:
        return "shape"
    return "mean" if z_mean >= z_var else "variance"
