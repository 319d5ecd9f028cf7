"""The step of :func:`vollan.detect` after the scan: which of the vote's leaders to report.

Each leader is scored by the share of the window sizes that fit around it and voted for it
(:func:`vollan.stats.robust.fitting_scores`); the candidates, those with enough votes, are judged by
their local contrasts against calibrated critical values (:mod:`vollan.pipeline.contrast`), or, in a
series too short for contrasts, by the largest split statistic (:mod:`vollan.pipeline.short`); of
leaders too close to be told apart the stronger is kept (:func:`vollan.stats.robust.reported_leaders`).
Where each leader's change may lie and how large it is are described meanwhile, on a second
core when the series is long.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, cast

import numpy as np

from vollan.pipeline import contrast as _contrast

from vollan.pipeline import drift as _drift

from vollan.pipeline import permuted as _permuted
from vollan.pipeline.background import BESIDE_FROM, Later
from vollan.pipeline.contrast import (
    KINDS,
    KINDS_OF_CHANGE_TYPE,
    MIN_WINDOWS_OF_BOUNDARIES,
    contrast_scores,
    contrast_width,
    critical_contrast,
    kinds_to_judge,
    leader_widths,
    shortest_judged,
)
from vollan._result import Evidence
from vollan.stats.robust import (
    fitting_scores,
    leader_intervals,
    leader_sizes,
    reported_leaders,
    resolution,
)
from vollan.pipeline.short import critical_shift, shift_score, split_statistics

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import ScanResult

__all__ = ["Judged", "Verdict", "judge_leaders"]

# The contrast of one leader (None when it was not judged), its kind and its critical value.
Verdict = tuple[float | None, str | None, float | None]


@dataclass(frozen=True)
class Judged:
    """The leaders of a scan and what was decided about them (in scanned values).

    Attributes
    ----------
    indices : list of int
        The leaders, in the engine's order.
    scores : dict
        Each leader's score (:func:`vollan.stats.robust.fitting_scores`).
    widths : list of int
        Each leader's contrast width.
    verdicts : list of Verdict
        Each leader's contrast, its kind and its critical value.
    chosen : set of int
        The leaders reported.
    kinds_judged : tuple of str
        The kinds of change judged ("location", "scale", and the passes apart from the vote).
    note : str or None
        Why the series is judged by fewer rules, or not at all.
    described : Later
        Each leader's interval and size, running beside the rest when the series is long;
        :meth:`evidence` waits for it.
    """

    indices: list[int]
    scores: dict[int, float]
    widths: list[int]
    verdicts: list[Verdict]
    chosen: set[int]
    kinds_judged: tuple[str, ...]
    note: str | None
    described: Later[tuple[list[tuple[int, int]], list[tuple[float, float]]]]

    def evidence(self) -> list[Evidence]:
        """What was found about each leader, once its description has finished."""
        intervals, sizes = self.described.result()
        return [
            Evidence(contrast, contrast_kind, width, critical, span, shift, ratio)
            for (contrast, contrast_kind, critical), width, span, (shift, ratio) in zip(
                self.verdicts, self.widths, intervals, sizes, strict=True
            )
        ]


def judge_leaders(
    x: NDArray[np.float64],
    raw: ScanResult,
    sizes: Sequence[int],
    *,
    change_type: str,
    min_score: float,
    min_contrast: float | str | None,
    two_threads: bool,
) -> Judged:
    """Score, judge and choose the leaders of the scan ``raw`` of ``x``."""
    out = raw["out"]
    indices = list(out["leaders_probs"])
    smallest = sizes[0]
    h = contrast_width(smallest)
    kinds_judged: tuple[str, ...] = ()
    note = None
    short = False
    ordered = None
    if min_contrast is not None:
        if len(x) >= shortest_judged(h):
            # One sort serves the count of repeated values and the least gap between values.
            ordered = np.sort(x)
            kinds_judged, note = kinds_to_judge(change_type, x, ordered)
        elif min_contrast == "auto" and "location" in KINDS_OF_CHANGE_TYPE[change_type.lower()]:
            short = True
            note = (
                f"{len(x)} values are too few to judge a change against the rest of the series "
                f"(contrasts of {h} values on each side need at least {shortest_judged(h)}): "
                f"at most one change of mean is reported, where the t statistic of the split "
                f"exceeds {critical_shift(len(x)):.2f}"
            )
        else:
            note = (
                f"nothing is reported: {len(x)} values are too few to judge a change against "
                f"the rest of the series (contrasts of {h} values on each side need at least "
                f"{shortest_judged(h)})"
            )
    votes = out["leaders_segment_votes"]
    scores = fitting_scores(votes, sizes)
    candidates = [i for i in indices if scores[i] >= min_score]
    widths = leader_widths(len(x), smallest, indices, {i: votes[i] for i in candidates})
    # Each leader's size is described over its contrast's width, within the largest window
    # (or the least width, in a series too short for windows that wide): the scan saw the
    # change at most that far, and a long series' few candidates would otherwise average over
    # far longer stretches, other changes and drifts included.
    described_widths = [min(w, max(sizes[-1], h)) for w in widths]
    # Describing the leaders decides nothing: it runs beside the decisions when it is long.
    described = Later(
        _described,
        raw,
        x,
        described_widths,
        indices,
        background=two_threads and sum(described_widths) >= BESIDE_FROM,
    )
    if short:
        verdicts, stands_out, strength = _judge_short(x, indices, candidates, smallest)
    else:
        local_kinds = [k for k in kinds_judged if k in KINDS]
        verdicts, stands_out, strength = _judge(
            x, ordered, indices, widths, local_kinds, min_contrast, note, candidates, sizes[-1]
        )
    chosen = reported_leaders(indices, votes, scores, stands_out, strength, min_score, smallest)
    return Judged(indices, scores, widths, verdicts, chosen, kinds_judged, note, described)


def _described(
    raw: ScanResult, x: NDArray[np.float64], widths: Sequence[int], indices: Sequence[int]
) -> tuple[list[tuple[int, int]], list[tuple[float, float]]]:
    """Where each leader's change may lie, and how large it is."""
    return leader_intervals(raw, indices), leader_sizes(x, widths, indices)


def _judge(
    x: NDArray[np.float64],
    ordered: NDArray[np.float64] | None,
    indices: Sequence[int],
    widths: Sequence[int],
    kinds: Sequence[str],
    min_contrast: float | str | None,
    note: str | None,
    candidates: Sequence[int],
    largest: int,
) -> tuple[list[Verdict], list[bool], list[float]]:
    """Each leader's contrast, whether it stands out, and by how much.

    Only ``candidates``, the leaders with enough votes, are judged: no other can be reported.
    ``ordered`` holds the values of ``x`` sorted, when they were. A location contrast that a
    smooth drift explains (:mod:`vollan.pipeline.drift`, over spans up to the ``largest`` window) does
    not count: the leader stands out only by its other contrasts.
    """
    judged = set(candidates) if kinds else set()
    order = [i for i in indices if i in judged]
    width_of = dict(zip(indices, widths, strict=True))
    gap = resolution(x, ordered) if order and ordered is not None else None
    scores = dict(
        zip(
            order,
            contrast_scores(x, [width_of[i] for i in order], order, kinds, order, gap),
            strict=True,
        )
    )
    # Sparse events and other much repeated values: their own values in random order say
    # how far a contrast stands out by chance (never less than under Gaussian noise).
    permuted = isinstance(min_contrast, str) and ordered is not None and _permuted.applies(ordered)
    own: dict[int, dict[str, float]] = {}

    def critical_of(kind: str, h: int) -> float:
        if not isinstance(min_contrast, str):
            return float(cast("float", min_contrast))
        value = critical_contrast(kind, len(x), h)
        if permuted and ordered is not None:
            if not own:
                own.update(
                    _permuted.permuted_criticals(
                        x,
                        ordered,
                        [width_of[i] for i in order],
                        kinds,
                        _contrast.CONTRAST_LEVEL,
                        MIN_WINDOWS_OF_BOUNDARIES,
                        min(len(order), _permuted.MOST_CHANCE_CANDIDATES),
                    )
                )
            value = max(value, own[h][kind])
        return value

    verdicts: list[Verdict] = []
    stands_out = []
    strength = []
    for i, h in zip(indices, widths, strict=True):
        row = scores.get(i)
        if row:
            critical = {k: critical_of(k, h) for k in row}
            kind = max(row, key=lambda k: row[k] - critical[k])
            if (
                kind == "location"
                and _drift.DRIFT_CHECK
                and row[kind] > critical[kind]
                and _drift.drift_explains(x, i, h, largest)
            ):
                others = [k for k in row if k != "location"]
                if others:
                    kind = max(others, key=lambda k: row[k] - critical[k])
                else:
                    verdicts.append((row[kind], kind, critical[kind]))
                    stands_out.append(False)
                    strength.append(-math.inf)
                    continue
            verdicts.append((row[kind], kind, critical[kind]))
            stands_out.append(row[kind] > critical[kind])
            strength.append(row[kind] - critical[kind])
        else:
            verdicts.append((None, None, None))
            # Without the check only the votes decide; a series too short for it reports none.
            stands_out.append(min_contrast is None and note is None)
            strength.append(-math.inf)
    return verdicts, stands_out, strength


def _judge_short(
    x: NDArray[np.float64],
    indices: Sequence[int],
    candidates: Sequence[int],
    smallest: int,
) -> tuple[list[Verdict], list[bool], list[float]]:
    """As :func:`_judge`, for a series too short for contrasts (:mod:`vollan.pipeline.short`): each
    candidate's contrast is the best split statistic within half the smallest window of it,
    and only the strongest candidate can stand out."""
    statistics = split_statistics(x)
    critical = critical_shift(len(x))
    judged = set(candidates)
    reach = max(1, smallest // 2)
    t = {i: shift_score(statistics, i, reach) for i in indices if i in judged}
    best = max(t, key=lambda i: (t[i], -i)) if t else None
    verdicts: list[Verdict] = []
    stands_out = []
    strength = []
    for i in indices:
        if i in t:
            verdicts.append((t[i], "shift", critical))
            stands_out.append(i == best and t[i] > critical)
            strength.append(t[i] - critical)
        else:
            verdicts.append((None, None, None))
            stands_out.append(False)
            strength.append(-math.inf)
    return verdicts, stands_out, strength
