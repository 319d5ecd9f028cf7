"""What every stage of :func:`vollan.detect` is: a small plug-in that proposes candidates.

A stage looks for one sort of evidence (the vote of the windows with its local contrasts, a
shift of level over whole stretches, a bend of the trend, a change of shape or of spread). It
holds its frozen parameters, says how its critical values were calibrated, and proposes
:class:`Candidate` changes, each with a p-value under the stage's own stated null. The pipeline
(:mod:`vollan.pipeline`) runs the stages in order and keeps the candidates whose p-values
pass the stage's share of ``alpha`` (:mod:`vollan.pipeline.select`). A stage judges a series
when its change type asks for the stage's evidence and its values do not make it pointless (a
single value, two values, or one value repeated over much of the series: :func:`kinds_to_judge`).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from vollan.stats.cusum import LEAST_STRETCH_VALUES, LOCAL_VALUES, PLACE_RADIUS, segmented
from vollan.stats.robust import tie_bounds

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan.pipeline.context import SeriesContext

__all__ = [
    "JUDGED_BY",
    "KINDS",
    "KINDS_OF_CHANGE_TYPE",
    "MAX_TIED_SHARE",
    "Calibration",
    "Candidate",
    "Stage",
    "StageParams",
    "kinds_to_judge",
    "segmenting",
    "stretches",
]

# The kinds of change a reported change can be: its mean shifts, its spread changes, the
# shape of its law changes at equal mean and spread, or its trend bends.
KINDS = ("mean", "variance", "shape", "trend")
# The kinds each change type reports.
KINDS_OF_CHANGE_TYPE = {"mean": ("mean",), "var": ("variance",), "distribution": KINDS}


@dataclass(frozen=True)
class Calibration:
    """How a stage's critical values were found.

    Attributes
    ----------
    null : str
        The change-free series its statistic was simulated on.
    level : float
        The quantile its table holds; p-values follow ``law`` on either side of it.
    law : str
        The limiting law of the statistic ("kolmogorov", "gumbel", "student-t", with
        "permutation" where the series' own values are reordered too).
    script : str
        The bench script that regenerates the table.
    """

    null: str
    level: float
    law: str
    script: str


@dataclass(frozen=True)
class StageParams:
    """Parameters every stage has: its share of the false-alarm budget ``alpha``."""

    share: float = 0.0


@dataclass(frozen=True)
class Candidate:
    """A change a stage proposes, in scanned values: ``index`` is the first value of the new
    regime as the stage placed it, ``kind`` one of :data:`KINDS`."""

    stage: str
    kind: str
    index: int
    statistic: float
    # Under the stage's null, of the largest statistic over the stage's whole search, so that a
    # stage searching many places is not favoured.
    p_value: float
    region: tuple[int, int]  # the half-open stretch where the stage saw the change
    votes: int = 0  # of the scan's leader at this place (0 from the other stages)
    reach: int = 0  # how far beyond region the change may lie: the placement searches that far
    # What the stage measured besides (its contrast, critical value, width, score).
    evidence: dict[str, float | str] = field(default_factory=dict, compare=False)
    # The stage's own verdict where the caller asked for a rule other than p-values (a fixed
    # contrast, or none); None: the p-value decides.
    passed: bool | None = None


Proposer = Callable[["SeriesContext", Any, float, Sequence[int]], list[Candidate]]


@dataclass(frozen=True)
class Stage:
    """One kind of evidence: its name, what it catches, its parameters and calibration, and the
    function that proposes its candidates between the changes accepted before it (``cuts``),
    with p-values at most the level it is given.

    It applies to a series whose values allow its evidence (``judges``, one of the kinds of
    :func:`kinds_to_judge`; None: every series) and that holds at least
    ``least`` values (a number, or a function of the context).
    """

    name: str
    catches: str
    kinds: tuple[str, ...]
    params: type[StageParams]
    calibration: Calibration
    propose: Proposer
    judges: str | None = None
    least: int | Callable[[SeriesContext], int] = 0

    def applies(self, ctx: SeriesContext, params: StageParams) -> bool:
        """Whether the stage judges this series."""
        least = self.least(ctx) if callable(self.least) else self.least
        return (self.judges is None or self.judges in ctx.judged[0]) and ctx.n >= least


def stretches(n: int, cuts: Sequence[int]) -> list[tuple[int, int]]:
    """The half-open stretches of ``n`` values between the ascending ``cuts``."""
    bounds = [0, *cuts, n]
    return list(zip(bounds[:-1], bounds[1:], strict=True))


def segmenting(
    stage: str,
    kind: str,
    scores: Callable[[NDArray[np.float64]], NDArray[np.float64]],
    p_value: Callable[[float, int], float],
    options: Callable[[Any], dict[str, bool]] | None = None,
) -> Proposer:
    """The proposer of a stage that segments whole stretches by the cumulative sum of their
    ``scores`` (:func:`vollan.stats.cusum.segmented`, with ``options(params)``), between the
    changes accepted before: each stretch is scored on its own, as a local window reaching
    across its end would mix in another level or spread. Its changes are candidates searched
    within :data:`~vollan.stats.cusum.PLACE_RADIUS`, less those within two local windows of a
    change already found (a shift of level or spread mixes the values beside it)."""

    def propose(
        ctx: SeriesContext, params: Any, level: float, cuts: Sequence[int]
    ) -> list[Candidate]:
        found = segmented(
            ctx.x,
            stretches(ctx.n, cuts),
            scores,
            p_value,
            level,
            LEAST_STRETCH_VALUES,
            **(options(params) if options else {}),
        )
        return [
            Candidate(stage, kind, c, statistic, p, (c, c + 1), reach=PLACE_RADIUS)
            for c, statistic, p in found
            if all(abs(c - r) > 2 * LOCAL_VALUES for r in cuts)
        ]

    return propose


# The evidence (contrasts near a boundary, passes over whole stretches) that judges each change
# type: a stage applies where its ``judges`` is among them.
JUDGED_BY = {
    # A shift the windows are too short to see is one "mean" asks for as much as
    # "distribution".
    "mean": ("location", "level"),
    # A change of spread the vote misses is one "var" asks for as much as "distribution".
    "var": ("scale", "spread"),
    "distribution": ("location", "scale", "level", "shape", "slope", "spread"),
}
# A law on a few values has little shape apart from its level and spread (a two-valued law's
# spread and shape follow from its mean), and ties make the shape of quiet stretches jump
# between a few values, far more than the critical value allows for. Where one value makes up
# more than this share of the series, "distribution" does not judge shape. On change-free
# Poisson, Bernoulli and rounded normal noise (60 series of 600 values a law) the shape test
# reported a change in none of 60 series at shares up to 0.28 but in 5 to 37 at 0.38 and
# above; the scale contrast, in 4 of 60 Bernoulli(0.5) series, hence location alone there.
MAX_TIED_SHARE = 0.25
# The rules whose statistics rest on quantiles or running medians of the values, which ties
# make jump. The level over whole stretches is not among them: its statistic is a sum of values
# over their long-run spread, and on change-free Poisson (rates 0.3 to 2), geometric,
# negative-binomial, zero-inflated and rounded normal noise its 99 % quantile stayed below its
# critical value at every length from 150 to 20,000 (bench/levels.py).
_ROBUST_KINDS = ("shape", "slope")
# What a two-valued series is judged by: its level, near each boundary and over whole
# stretches (a sum of 0/1 flags is the classical test of a change in their rate).
_TWO_VALUED_KINDS = ("location", "level")


def kinds_to_judge(
    change_type: str, x: NDArray[np.float64], ordered: NDArray[np.float64] | None = None
) -> tuple[tuple[str, ...], str | None]:
    """The contrasts that judge ``change_type`` on ``x``, and a note when the values made
    some of them pointless (``ordered``, when given, holds the values of ``x`` sorted, none of
    them NaN).

    Those of :data:`JUDGED_BY`, but no shape nor slope where one value makes up more than
    :data:`MAX_TIED_SHARE` of the series, and location alone (near each boundary and over whole
    stretches) on two-valued series: their spread follows from their mean, and the scale
    contrast reported a change in 8 % of change-free Bernoulli(0.5) series of 10^5 values.
    """
    name = change_type.lower()
    kinds = JUDGED_BY[name]
    if len(x):
        if ordered is None:
            _, counts = np.unique(x, return_counts=True)
        else:
            counts = np.diff(tie_bounds(ordered))
        if len(counts) <= 2:
            judged = tuple(k for k in kinds if k in _TWO_VALUED_KINDS) or ("location",)
            if len(counts) == 1:
                return judged, "the series takes a single value: it has no change"
            if judged == kinds:
                return kinds, None
            return judged, (
                "the series takes only two values, whose spread follows from their mean: "
                "changes are judged by location alone"
            )
        share = int(counts.max()) / len(x)
        dropped = [k for k in _ROBUST_KINDS if k in kinds]
        if share > MAX_TIED_SHARE and dropped:
            listed = " and ".join(f"of {k}" for k in dropped)
            return tuple(k for k in kinds if k not in _ROBUST_KINDS), (
                f"one value makes up {share:.0%} of the series: changes {listed} are not "
                "judged among so many repeated values"
            )
    return kinds, None
