"""Choosing the reported change points by count and spacing, as ruptures users ask for them.

``n_changes`` reports the k strongest leaders whatever the rules said of them, ``min_size``
keeps reported change points at least that far apart and from both ends of the series. Both
act on a finished :class:`Detection`, so that leaving them at None changes nothing.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from vollan._result import Detection, Leader


def check_selection(n_changes: object, min_size: object) -> None:
    """Refuse a count or a spacing that is not a whole number in range."""
    for name, value, least in (("n_changes", n_changes, 0), ("min_size", min_size, 1)):
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name} must be an integer or None, not {type(value).__name__}")
        if value < least:
            raise ValueError(f"{name} must be at least {least}, got {value}")


def _strength(x: Leader) -> tuple[bool, float, float, int]:
    # Reported leaders first, so that asking for as many as the rules report gives the same
    # ones; then the score of the vote, the contrast beyond its critical value and the votes.
    beyond = -math.inf
    if x.contrast is not None and x.critical is not None:
        beyond = x.contrast - x.critical
    return (x.reported, x.score, beyond, x.votes)


def select_changes(found: Detection, n_changes: int | None, min_size: int | None) -> Detection:
    """``found`` with its reported change points chosen by count and spacing.

    With ``n_changes``, the strongest leaders (see :func:`_strength`; ties go to the earlier
    one) are reported until there are ``n_changes`` of them or none is left; without it, the
    leaders the rules reported are kept, strongest first. With ``min_size``, a leader closer
    than ``min_size`` to one already kept or to either end of the series is passed over.
    With ``n_changes`` and no ``min_size``, a leader the rules did not report is first passed
    over when it lies closer than the smallest window to one already kept: the scan often
    places one change at several nearby points, which it cannot tell apart, and the count
    asked for should go to changes elsewhere. Only when too few leaders stand that far apart
    are the others added, strongest first.
    """
    if n_changes is None and min_size is None:
        return found
    pool = found.leaders if n_changes is not None else [x for x in found.leaders if x.reported]
    ordered = sorted(pool, key=_strength, reverse=True)
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
    leaders = tuple(dataclasses.replace(x, reported=x.index in chosen) for x in found.leaders)
    reported = [x for x in leaders if x.reported]
    note = found.note
    if reported and n_changes is not None:
        note = None  # the count asked for overrides the contrast rule the note is about
    return dataclasses.replace(
        found,
        change_points=tuple(x.index for x in reported),
        labels=tuple(x.label for x in reported),
        leaders=leaders,
        note=note,
    )
