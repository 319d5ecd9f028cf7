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
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal

import numpy as np

from vollan.pipeline import drift, permuted
from vollan.pipeline.contrast import (
    CONTRAST_LEVEL,
    KINDS,
    MIN_WINDOWS_OF_BOUNDARIES,
    contrast_p_value,
    contrast_scores,
    contrast_width,
    leader_widths,
    shortest_judged,
)
from vollan.pipeline.short import critical_shift, shift_p_value, shift_score, split_statistics
from vollan.pipeline.stage import Calibration, Candidate, Stage, StageParams
from vollan.stats.cusum import two_levels_fit_better
from vollan.stats.robust import resolution

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan.pipeline.context import SeriesContext

__all__ = ["VOTE", "VoteParams", "fitting_scores", "short_note"]

# The fewest window sizes a score is counted against, so that a leader crowded by others
# needs the votes of at least two sizes to reach half of them.
MIN_FITTING_SIZES = 4


@dataclass(frozen=True)
class VoteParams(StageParams):
    """Parameters of the vote.

    Attributes
    ----------
    share : float
        Share of ``alpha`` (0.5: the vote sees every kind of change, near each boundary).
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

    share: float = 0.5
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
    widths = leader_widths(
        ctx.n, sizes[0], indices, {i: votes[i] for i in judged}, params.wide_contrasts
    )
    evidence: dict[int, dict[str, float | str]] = {}
    if params.min_contrast is None:
        p = dict.fromkeys(judged, 0.0)
    elif ctx.n >= shortest_judged(h):
        p = _judge_contrasts(ctx, params, indices, widths, judged, evidence)
    elif params.min_contrast == "auto" and _judges_short(ctx):
        p = _judge_short(x, judged, sizes[0], evidence)
    else:
        p = {}
    out = []
    regions = view.regions_around(indices)
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
        "random order)",
        CONTRAST_LEVEL,
        "gumbel",
        "bench/calibrate_contrast.py",
    ),
    _propose,
)


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
    if params.min_contrast == "auto" and _judges_short(ctx):
        return (
            f"{why}: at most one change of mean is reported, where the best split's t "
            "statistic passes its calibrated p-value"
        )
    return f"nothing is reported: {why}"


def _judges_short(ctx: SeriesContext) -> bool:
    """Whether a short series is judged by its best split: a change of mean asked for."""
    return ctx.change_type != "var" and "location" in _kinds(ctx)


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
    """Each judged leader's p-value: the smallest of its contrasts' (see the module)."""
    x, kinds = ctx.x, _kinds(ctx)
    if not kinds or not judged:
        return {}
    width_of = dict(zip(indices, widths, strict=True))
    gap = resolution(x, ctx.ordered)
    rows = contrast_scores(
        x, [width_of[i] for i in judged], judged, kinds, judged, gap, ctx.two_threads
    )
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
            [width_of[i] for i in judged],
            kinds,
            MIN_WINDOWS_OF_BOUNDARIES,
            min(len(judged), permuted.MOST_CHANCE_CANDIDATES),
        )
        if xq is not x:
            widths_judged = [width_of[i] for i in judged]
            gap_q = resolution(xq, ordered)
            own_rows = contrast_scores(xq, widths_judged, judged, kinds, judged, gap_q)
    p: dict[int, float] = {}
    for i, row, own_row in zip(judged, rows, own_rows, strict=True):
        h = width_of[i]
        each = {}
        for kind, z in row.items():
            value = contrast_p_value(kind, z, ctx.n, h)
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
        evidence[i] = {"z": row[best], "contrast": best, "kind": _change_kind(x, i, h, best)}
        p[i] = each[best]
    return p


# The z-score from which a shift of the mean, or a change of spread, explains a change the
# location contrast found (about the two-sided 0.3 % point); below both, its shape changed.
KIND_Z = 3.0


def _change_kind(x: NDArray[np.float64], c: int, h: int, contrast: str) -> str:
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


def _judge_short(
    x: NDArray[np.float64],
    judged: Sequence[int],
    smallest: int,
    evidence: dict[int, dict[str, float | str]],
) -> dict[int, float]:
    """A series too short for contrasts: each candidate's statistic is the best split
    statistic within half the smallest window of it, and only the strongest can pass."""
    statistics = split_statistics(x)
    reach = max(1, smallest // 2)
    t = {i: shift_score(statistics, i, reach) for i in judged}
    best = max(t, key=lambda i: (t[i], -i)) if t else None
    # Along a drift every split's means differ; a step is only where two levels fit the
    # series better than a line does.
    if best is not None and not two_levels_fit_better(x, _best_split(statistics, best, reach)):
        best = None
    for i in t:
        evidence[i] = {
            "z": t[i],
            "contrast": "shift",
            "kind": "mean",
            "critical": critical_shift(len(x)),
        }
    return {i: shift_p_value(t[i], len(x)) if i == best else 1.0 for i in t}


def _best_split(statistics: NDArray[np.float64], c: int, reach: int) -> int:
    """The split with the largest statistic within ``reach`` of ``c``."""
    lo = max(0, c - reach)
    return lo + int(np.argmax(statistics[lo : c + reach + 1]))


def fitting_scores(
    votes: Mapping[int, int], window_sizes: Sequence[int], fit: bool = True
) -> dict[int, float]:
    """Each leader's share of the votes of the window sizes that fit around it.

    A window of w values sees a change only if the 2w values around it hold no other change,
    so a change whose neighbours are closer than twice the largest windows cannot collect
    their votes, however clear it is. Its score counts only the sizes w with 2w at most the
    distance to the nearest other leader seen by at least two window sizes and at least the
    smallest window away (all sizes when there is none, and at least four):
    ``min(votes / fitting sizes, 1)``. Chance leaders seen by one window size do not shrink
    the room of real ones, nor does the same change placed twice. Without ``fit``, every
    size counts.
    """
    if not fit:
        return {i: min(v / len(window_sizes), 1.0) for i, v in votes.items()}
    seen = np.array(sorted(i for i, v in votes.items() if v >= 2), dtype=np.int64)
    sizes = np.array(sorted(window_sizes), dtype=np.int64)
    leaders = np.fromiter(votes, dtype=np.int64, count=len(votes))
    counts = np.fromiter(votes.values(), dtype=np.float64, count=len(votes))
    # The nearest seen leader at least the smallest window away on either side (leaders
    # closer than that are one change placed twice).
    room = np.full(len(leaders), np.inf)
    if len(seen):
        left = np.searchsorted(seen, leaders - sizes[0], side="right") - 1
        right = np.searchsorted(seen, leaders + sizes[0], side="left")
        has_left = left >= 0
        has_right = right < len(seen)
        room[has_left] = leaders[has_left] - seen[left[has_left]]
        room[has_right] = np.minimum(room[has_right], seen[right[has_right]] - leaders[has_right])
    fitting = np.searchsorted(2 * sizes, room, side="right")
    fitting = np.maximum(fitting, min(len(sizes), MIN_FITTING_SIZES))
    scores = np.minimum(counts / fitting, 1.0)
    return {int(i): float(v) for i, v in zip(leaders, scores, strict=True)}
