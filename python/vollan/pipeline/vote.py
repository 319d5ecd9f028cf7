"""The vote: the scan's leaders, scored by the window sizes that voted for them and judged by
their local contrasts.

Each leader is scored by the share of the window sizes that fit around it and voted for it
(:func:`fitting_scores`); the candidates, those with at least ``min_score``, are judged by their
local contrasts (:mod:`vollan.pipeline.contrast`): the robust z-score of the location and the
scale contrast, each turned into a p-value by its Gumbel law calibrated on Gaussian white noise
(and, on sparse series, by the series' own values in random order,
:mod:`vollan.pipeline.permuted`). A location contrast that a smooth drift explains does not
count (:mod:`vollan.pipeline.drift`). A series too short for contrasts is judged by its best
split instead (:mod:`vollan.pipeline.short`).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal

import numpy as np

from vollan.pipeline import drift, permuted
from vollan.pipeline.contrast import (
    CONTRAST_LEVEL,
    KINDS,
    MIN_WINDOWS_OF_BOUNDARIES,
    contrast_p_value,
    contrast_width,
    shortest_judged,
)
from vollan.pipeline.leaders import contrast_scores, leader_widths
from vollan.pipeline.place import change_kind
from vollan.pipeline.scan import fitting_scores
from vollan.pipeline.short import (
    critical_shift,
    fits_a_step,
    judges_short,
    shift_p_value,
    shift_score,
    shift_statistics,
)
from vollan.pipeline.stage import Calibration, Candidate, Stage, StageParams
from vollan.stats.robust import resolution

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan.pipeline.context import SeriesContext

__all__ = ["VOTE", "VoteParams"]


@dataclass(frozen=True)
class VoteParams(StageParams):
    """Parameters of the vote, besides its ``share`` of ``alpha`` (:class:`StageParams`).

    Attributes
    ----------
    min_score : float
        Share of the window sizes that fit around a leader that must vote for it.
    min_contrast : "auto", float or None
        "auto": the calibrated p-values; a number: the robust z-score a contrast must exceed
        instead; None: the votes alone decide.
    fit_scores : bool
        Whether a score counts only the window sizes that fit around the leader.
    wide_contrasts : bool
        Whether contrasts widen to fit between candidates (else the least width).
    drift_check : bool
        Whether a location contrast that a smooth drift explains is left out.
    drift_level : float
        Level of the drift check's slope and step tests, shared among its spans.
    """

    share: float = 0.5  # the vote sees every kind of change, near each boundary
    min_score: float = 0.5
    min_contrast: float | Literal["auto"] | None = "auto"
    fit_scores: bool = True
    wide_contrasts: bool = True
    drift_check: bool = True
    drift_level: float = 0.01


def _propose(
    ctx: SeriesContext, params: VoteParams, level: float, cuts: Sequence[int]
) -> list[Candidate]:
    """Every leader of the scan as a candidate: those not judged with a p-value of 1."""
    assert ctx.scan is not None
    x, sizes, view = ctx.x, ctx.sizes, ctx.scan
    indices = view.leaders.tolist()
    votes = view.votes_of()
    scores = fitting_scores(votes, sizes, params.fit_scores)
    judged = [i for i in indices if scores[i] >= params.min_score]
    h = contrast_width(sizes[0])
    regions = view.regions_around(indices)
    widths = leader_widths(
        ctx.n, sizes[0], indices, {i: votes[i] for i in judged}, params.wide_contrasts, regions
    )
    evidence: dict[int, dict[str, float | str]] = {}
    if params.min_contrast is None:
        p = dict.fromkeys(judged, 0.0)
    elif ctx.n >= shortest_judged(h):
        p = _judge_contrasts(ctx, params, indices, widths, judged, evidence)
    elif params.min_contrast == "auto" and judges_short(ctx):
        p = _judge_short(x, judged, sizes[0], level, evidence)
    else:
        p = {}
    out = []
    for i, w, region in zip(indices, widths, regions, strict=True):
        e = evidence.get(i, {})
        e.update(score=scores[i], width=w)
        kind = str(e.get("kind", "mean"))
        passed = None
        if params.min_contrast is None:
            # The votes alone decide: what the values allow to judge does not enter.
            passed = scores[i] >= params.min_score
        elif not isinstance(params.min_contrast, str) and "z" in e:
            passed = float(e["z"]) > float(params.min_contrast)
        out.append(
            Candidate(
                stage="vote",
                kind=kind,
                index=i,
                statistic=float(e.get("z", math.nan)),
                p_value=p.get(i, 1.0),
                region=region,
                votes=votes[i],
                # The scan's regions are where windows crossed their thresholds, which a
                # change of spread puts on its noisy side (no window saw it from farther than
                # the largest); a shift or a change of shape is searched within its contrast's
                # width, as a drift beside it would pull a wider fit.
                reach=sizes[-1] if kind == "variance" else w,
                evidence=e,
                passed=passed,
            )
        )
    return out


VOTE = Stage(
    "vote",
    "changes the windows agree on: shifts, changes of spread or shape near each boundary",
    ("mean", "variance", "shape"),
    VoteParams,
    Calibration(
        "Gaussian white noise, n 100-10,000, h 8-200 (sparse series: their own values in "
        "random order; series too short for contrasts: AR(1) 0-0.7, t(3), random walks and "
        "drifts, `bench/calibrate_short.py`)",
        CONTRAST_LEVEL,
        "gumbel",
        "bench/calibrate_contrast.py",
    ),
    _propose,
)


def _kinds(ctx: SeriesContext) -> tuple[str, ...]:
    return tuple(k for k in ctx.judged[0] if k in KINDS)


def _judge_contrasts(
    ctx: SeriesContext,
    params: VoteParams,
    indices: Sequence[int],
    widths: Sequence[int],
    judged: Sequence[int],
    evidence: dict[int, dict[str, float | str]],
) -> dict[int, float]:
    """Each judged leader's p-value: the smallest of its contrasts', times their number (see
    the module)."""
    x, kinds = ctx.x, _kinds(ctx)
    if not kinds or not judged:
        return {}
    width_of = dict(zip(indices, widths, strict=True))
    judged_widths = [width_of[i] for i in judged]
    gap = resolution(x, ctx.ordered)
    rows = contrast_scores(x, judged_widths, judged, kinds, judged, gap, ctx.two_threads)
    own: dict[int, dict[str, NDArray[np.float64]]] = {}
    own_rows = rows
    if isinstance(params.min_contrast, str) and permuted.applies(ctx.ordered):
        # A sparse series: its own values in random order say how far a contrast stands out
        # by chance, judged on the values the orders take (see the module).
        xq = permuted.quantized(x, ctx.ordered)
        ordered = ctx.ordered if xq is x else np.sort(xq)
        own = permuted.permuted_largest(
            xq,
            ordered,
            judged_widths,
            kinds,
            MIN_WINDOWS_OF_BOUNDARIES,
            min(len(judged), permuted.MOST_CHANCE_CANDIDATES),
        )
        if xq is not x:
            gap_q = resolution(xq, ordered)
            own_rows = contrast_scores(xq, judged_widths, judged, kinds, judged, gap_q)
    p: dict[int, float] = {}
    for i, row, own_row in zip(judged, rows, own_rows, strict=True):
        h = width_of[i]
        each = {}
        for kind, z in row.items():
            # Bonferroni between the kinds: each one's law is that of its largest contrast
            # over the series, and a series whose every boundary is judged (a drift) meets
            # both maxima.
            value = min(1.0, len(row) * contrast_p_value(kind, z, ctx.n, h))
            if own:
                # Bonferroni between the kinds, as the permuted rule is calibrated.
                chance = permuted.p_value(own[h][kind], own_row[kind])
                value = max(value, min(1.0, len(row) * chance))
            each[kind] = value
        if (
            params.drift_check
            and "location" in each
            and drift.drift_explains(x, i, h, ctx.sizes[-1], params.drift_level)
        ):
            each["location"] = 1.0
        best = min(each, key=lambda k: (each[k], -row[k]))
        evidence[i] = {"z": row[best], "contrast": best, "kind": change_kind(x, i, h, best)}
        p[i] = each[best]
    return p


def _judge_short(
    x: NDArray[np.float64],
    judged: Sequence[int],
    smallest: int,
    level: float,
    evidence: dict[int, dict[str, float | str]],
) -> dict[int, float]:
    """A series too short for contrasts: each candidate's statistic is the best split
    statistic (scaled by the noise's dependence) within half the smallest window of it, and
    only the strongest can pass."""
    statistics = shift_statistics(x)
    reach = max(1, smallest // 2)
    t = {i: shift_score(statistics, i, reach) for i in judged}
    best = max(t, key=lambda i: (t[i], -i)) if t else None
    # Along a drift every split's means differ; a step is only where two levels fit the
    # series clearly better than a line does. The check is made at the series' best split, as
    # the p-values were calibrated: a weaker split near a candidate passing it says nothing.
    if best is not None and not fits_a_step(x, int(np.argmax(statistics))):
        best = None
    for i in t:
        evidence[i] = {
            "z": t[i],
            "contrast": "shift",
            "kind": "mean",
            "critical": critical_shift(len(x), level),
        }
    return {i: shift_p_value(t[i], len(x)) if i == best else 1.0 for i in t}
