"""Changes of slope: where a trend bends, which the scan's windows do not single out.

A series that drifts differs between adjacent windows everywhere, so the location contrast
leaves a drift unreported; but where the drift bends (a growth that stops, a decline that
turns), the series changes how it moves, and that is a change users look for. The slope
contrast finds it:

- at each boundary c, the least-squares slope of the ``h`` values after it minus that of the
  ``h`` values before it. A straight line gives the same slope on both sides at every
  boundary, and a cycle of a period dividing h gives both windows the same phases, so
  neither moves the contrast; a bend moves it most at the bend itself (the contrast rises
  and falls linearly on either side of it);
- before that, each value's residual from the running median of h values is clipped at
  3 robust standard deviations of those residuals: a slope is a weighted sum
  of values, and one extreme value of a heavy-tailed noise would move it as much as a bend;
- the robust z-score of the contrast against its median and MAD over the stretch: a random
  walk or a dependent noise has slopes that wander, and the MAD measures by how much, so the
  same critical value serves independent, dependent and integrated noise. Where the contrast
  varies more nearby (over the stage's ``local_widths`` widths around the boundary) than over the
  whole stretch, that local MAD is used instead: in a noisier stretch after a change of spread
  that the scale contrast left unreported, slopes vary more, and would otherwise pass for
  bends. A bend's own contrast, 2h boundaries wide, barely moves a median over 32 widths;
- the largest z-score of a stretch is compared with :func:`critical_slope`; the stretch is
  then split at it and each side searched again (binary segmentation). Stretches are those
  between the changes the other rules report, so a level shift, whose step inside one window
  gives that window a slope, does not count again as two bends beside it.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

# A stretch is judged from 4h boundaries on, as the local contrasts are: fewer, and the median
# and MAD no longer describe the stretch away from its bend.
from vollan.pipeline.contrast import contrast_width, shortest_judged
from vollan.pipeline.stage import Calibration, Candidate, Stage, StageParams, stretches
from vollan.stats.slopes import contrast_deviations, held_to_noise, robust_scores
from vollan.stats.tables import curve, gumbel_location, gumbel_sf

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan.pipeline.context import SeriesContext

# critical = a + b·ln(m) + c·ln(h) + d/m, m = (n - 2h + 1)/h boundaries per width, by the
# widths of the local MAD (0: the stretch's alone); see :func:`critical_slope`.
_CRITICAL = {
    0: (3.756, 0.304, -0.063, 7.66),
    16: (3.753, 0.244, -0.06, 5.656),
    32: (3.701, 0.274, -0.06, 5.694),
}
CALIBRATED_LEVEL = 0.99


def critical_slope(n: int, h: int, local_widths: int = 32) -> float:
    """The z-score the largest slope contrast of a stretch of ``n`` values must exceed.

    The 99 % quantile of the largest z-score over change-free series, the largest of those of
    Gaussian, Student-t(3), AR(1) 0.5 and 0.9 and random-walk noise, fitted in n and h and
    raised to lie above every simulated quantile (``bench/slopes.py``). 99 % rather than 95 %:
    the slope is judged beside location, scale and shape, and may add at most 1 % to their
    false alarms; the bends of real series stand out far more than that.
    """
    return curve(_CRITICAL[local_widths], n, h)


def slope_p_value(z: float, n: int, h: int, local_widths: int = 32) -> float:
    """The p-value of the largest z-score ``z`` of a stretch: the Gumbel tail through
    :func:`critical_slope` at 99 %, its scale that of the largest of the 2m half-normal
    z-scores of m independent widths, ``1 / sqrt(2 ln 2m)``."""
    return gumbel_sf(z, *_gumbel(n, h, local_widths))


def _gumbel(n: int, h: int, widths: int) -> tuple[float, float]:
    """The location and scale of the largest z-score's Gumbel law (:func:`slope_p_value`)."""
    m = max(n - 2 * h + 1, 1) / h
    scale = 1.0 / math.sqrt(2.0 * math.log(max(2.0 * m, 3.0)))
    return gumbel_location(critical_slope(n, h, widths), CALIBRATED_LEVEL, scale), scale


def _critical_at(n: int, h: int, level: float, widths: int) -> float:
    """The z-score whose :func:`slope_p_value` is ``level``."""
    location, scale = _gumbel(n, h, widths)
    return location - scale * math.log(-math.log1p(-level))


def slope_changes(
    x: NDArray[np.float64],
    stretches: Sequence[tuple[int, int]],
    h: int,
    level: float,
    local_widths: int = 32,
    noise_floor: bool = False,
) -> list[tuple[int, float, float, tuple[int, int]]]:
    """Bends within the stretches ``[start, end)`` of ``x`` whose p-values are at most
    ``level``: each one's position, z-score, p-value and the half-open run of boundaries
    around it whose z-scores also pass (where the bend may lie), strongest first."""
    found: list[tuple[int, float, float, tuple[int, int]]] = []
    todo = [(a, b) for a, b in stretches]
    while todo:
        a, b = todo.pop()
        if b - a < shortest_judged(h):
            continue
        deviation, spread, y = contrast_deviations(x[a:b], h)
        critical = _critical_at(b - a, h, level, local_widths)
        # Each score is a deviation over at least the stretch's spread, and the noise floor
        # only lowers deviations: where none passes over that spread alone, neither the local
        # noise nor the local spreads (running medians both) need be computed.
        if not spread > 0 or not float(np.max(deviation)) / spread > critical:
            continue
        if noise_floor:
            held_to_noise(deviation, spread, y, h)
        z = robust_scores(deviation, spread, h, local_widths)
        k = int(np.argmax(z))
        if not z[k] > critical:
            continue
        lo = k
        while lo > 0 and z[lo - 1] > critical:
            lo -= 1
        hi = k + 1
        while hi < len(z) and z[hi] > critical:
            hi += 1
        c = a + h + k
        p = slope_p_value(float(z[k]), b - a, h, local_widths)
        found.append((c, float(z[k]), p, (a + h + lo, a + h + hi)))
        todo += [(a, c), (c, b)]
    return sorted(found, key=lambda one: one[2])


@dataclass(frozen=True)
class SlopeParams(StageParams):
    """Parameters of the slope stage, besides its ``share`` of ``alpha`` (:class:`StageParams`).

    Attributes
    ----------
    local_widths : int
        Widths of boundaries around each one whose contrasts give its local MAD (0: the
        stretch's MAD alone; 16 and 32 are calibrated).
    octaves : int
        Widths of the contrast: the least one and up to this many doublings of it, within
        the calibrated :data:`WIDEST`.
    least_share : float
        The least width's share of the stage's level; the wider ones share the rest.
    """

    share: float = 0.1  # bends were judged at 1 % beside the vote's 5 %
    local_widths: int = 32
    octaves: int = 2
    least_share: float = 0.8


# The widest slope contrast calibrated (bench/slopes.py).
WIDEST = 64


def slope_widths(least: int, octaves: int) -> list[int]:
    """The least width and its doublings, up to ``octaves`` of them within :data:`WIDEST`.
    A slope over h values has a standard error falling as h^(-3/2): a bend of 0.2 sd a step
    moves the contrast of 10 values by 1.3 of its standard errors and that of 40 values by 10."""
    widths = [least]
    while len(widths) <= octaves and 2 * widths[-1] <= WIDEST:
        widths.append(2 * widths[-1])
    return widths


def _propose(
    ctx: SeriesContext, params: SlopeParams, level: float, cuts: Sequence[int]
) -> list[Candidate]:
    # Each width is judged at its share of the level (Bonferroni), and its p-values are
    # divided by that share, so that the stage's p-value compares with the stage's level.
    # The least width keeps ``least_share``: it alone was judged before, and places finest.
    # Every width judges its slopes against the local noise too: a local MAD over 32 widths
    # can cover more than a noisy stretch after a change of spread that no stage reported
    # yet (the spread stage runs later), and its single large values would pass for bends.
    # Of bends found at several widths, the narrower stands for those within the wider
    # one's width, and each of several bends close together keeps its own.
    widths = slope_widths(contrast_width(ctx.sizes[0]), params.octaves)
    found = []
    for k, h in enumerate(widths):
        share = params.least_share if k == 0 else (1.0 - params.least_share) / (len(widths) - 1)
        share = 1.0 if len(widths) == 1 else share
        for c, z, p, span in slope_changes(
            ctx.x, stretches(ctx.n, cuts), h, level * share, params.local_widths, noise_floor=True
        ):
            p = min(1.0, p / share)
            found.append(Candidate("slope", "trend", c, z, p, span, reach=h, evidence={"width": h}))
    out: list[Candidate] = []
    for cand in sorted(found, key=lambda c: (c.reach, c.p_value, c.index)):
        if all(abs(cand.index - o.index) > cand.reach for o in out if o.reach < cand.reach):
            out.append(cand)
    return out


SLOPE = Stage(
    "slope",
    "bends of the trend: a growth that stops, a decline that turns",
    ("trend",),
    SlopeParams,
    Calibration(
        "Gaussian, t(3), AR(1) 0.5 and 0.9, random walk; n and h as the contrasts'",
        CALIBRATED_LEVEL,
        "gumbel",
        "bench/slopes.py",
    ),
    _propose,
    judges="slope",
    least=lambda ctx: shortest_judged(contrast_width(ctx.sizes[0])),
)
