"""The one rule that turns candidates into reported changes, and the choice by count and
spacing that ruptures users ask for.

A stage's candidate is reported when its p-value is at most the stage's level, its share of
``alpha`` (:func:`vollan.pipeline.levels`). The rule is a Bonferroni split: each stage's
statistic has its own law and its own null (dependence, heavy tails, discrete values, drift),
so each is calibrated alone, and the union bound holds the chance of any false report in a
change-free series at ``alpha`` whatever the dependence between the stages. A joint
max-statistic calibration would need every stage simulated together under every null, and
narrowest-over-threshold one statistic for all kinds. Of two candidates closer than the
smallest window, which the scan cannot tell apart, or two of the vote within one region of
the scan (one change that window sizes placed apart), the one with more votes (then the
smaller p-value) is kept.

``n_changes`` reports the k changes with the strongest evidence (the smallest p-values, the
reported ones first) whatever the rule said of them; ``min_size`` keeps reported changes at
least that far apart and from both ends. Both act on a finished :class:`Detection`, so that
leaving them at None changes nothing.
"""

from __future__ import annotations

import dataclasses
import numbers
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from vollan._result import Detection, Leader
    from vollan.pipeline.stage import Candidate

__all__ = ["accepted", "check_selection", "select_changes"]


def accepted(candidates: Sequence[Candidate], level: float, smallest: int) -> list[Candidate]:
    """The ``candidates`` reported at ``level``; of passing ones closer together than
    ``smallest``, or of the vote's within one region, the one with more votes, then the
    smaller p-value, is kept."""
    kept: list[Candidate] = []
    for c in sorted(candidates, key=lambda c: c.index):
        if not (c.passed if c.passed is not None else c.p_value <= level):
            continue
        if kept and (c.index - kept[-1].index < smallest or _one_region(kept[-1], c)):
            if (c.votes, -c.p_value) > (kept[-1].votes, -kept[-1].p_value):
                kept[-1] = c
        else:
            kept.append(c)
    return kept


def _one_region(a: Candidate, b: Candidate) -> bool:
    """Whether two of the vote's candidates lie in one region of the scan (overlapping)."""
    return a.stage == b.stage == "vote" and a.region[0] < b.region[1] and b.region[0] < a.region[1]


def check_selection(n_changes: object, min_size: object) -> None:
    """Refuse a count or a spacing that is not a whole number in range."""
    for name, value, least in (("n_changes", n_changes, 0), ("min_size", min_size, 1)):
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name} must be an integer or None, not {type(value).__name__}")
        if value < least:
            raise ValueError(f"{name} must be at least {least}, got {value}")


def _evidence(x: Leader) -> tuple[bool, float, int, float]:
    # Reported first, so that asking for as many as the rules report gives the same ones; then
    # the smaller p-value, the votes and the score.
    return (not x.reported, x.p_value, -x.votes, -x.score)


def select_changes(found: Detection, n_changes: int | None, min_size: int | None) -> Detection:
    """``found`` with its reported changes chosen by count and spacing.

    With ``n_changes``, the candidates with the strongest evidence (see :func:`_evidence`;
    ties go to the earlier one) are reported until there are ``n_changes`` of them or none is
    left; without it, the changes the rule reported are kept, strongest first. With
    ``min_size``, one closer than ``min_size`` to one already kept or to either end of the
    series is passed over. With ``n_changes`` and no ``min_size``, a candidate the rule did
    not report is first passed over when it lies closer than the smallest window to one
    already kept: the scan often places one change at several nearby points. Only when too
    few stand that far apart are the others added. When fewer than ``n_changes`` exist,
    ``note`` says so.
    """
    if n_changes is None and min_size is None:
        return found
    pool = found.leaders if n_changes is not None else [x for x in found.leaders if x.reported]
    ordered = sorted(pool, key=_evidence)
    chosen: set[int] = set()
    if min_size is not None:
        for x in ordered:
            if n_changes is not None and len(chosen) >= n_changes:
                break
            if not (
                x.index < min_size
                or found.n_obs - x.index < min_size
                or any(abs(x.index - c) < min_size for c in chosen)
            ):
                chosen.add(x.index)
    else:
        assert n_changes is not None
        apart = min(found.window_sizes, default=1)
        for x in ordered:
            if len(chosen) >= n_changes:
                break
            if x.reported or all(abs(x.index - c) >= apart for c in chosen):
                chosen.add(x.index)
        for x in ordered:
            if len(chosen) >= n_changes:
                break
            chosen.add(x.index)
    # One leader per chosen index, the strongest: a change placed onto another leader's index
    # leaves two leaders there.
    position = {id(x): k for k, x in enumerate(found.leaders)}
    marked: dict[int, int] = {}
    for x in ordered:
        if x.index in chosen and x.index not in marked:
            marked[x.index] = position[id(x)]
    kept = set(marked.values())
    leaders = tuple(dataclasses.replace(x, reported=k in kept) for k, x in enumerate(found.leaders))
    changes = tuple(c for c in found.candidates if c.index in chosen)
    note = found.note
    if n_changes is not None and chosen and found.note is not None:
        note = None  # the count asked for overrides the rule the note is about
    if n_changes is not None and len(chosen) < n_changes:
        note = (
            f"{n_changes} changes were asked for; the series has {len(chosen)} candidates "
            "that can be told apart"
        )
        warnings.warn(note, UserWarning, stacklevel=3)
    return dataclasses.replace(
        found,
        changes=changes,
        leaders=leaders,
        note=note,
    )
