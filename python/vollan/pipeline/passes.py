"""The step of :func:`vollan.detect` after judging the vote: changes looked for apart from it.

Over the stretches between the reported changes, in turn: shifts of level
(:mod:`vollan.pipeline.level`), bends of the trend (:mod:`vollan.pipeline.slope`), changes of shape
(:mod:`vollan.pipeline.shape`) and of spread (:mod:`vollan.pipeline.spread`); each pass searches the stretches
between the reported changes and those the passes before it found. Then the changes of a
periodic series scanned in whole periods are placed by its cycle (:mod:`vollan.pipeline.periodic`).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from vollan.pipeline import periodic as _place
from vollan.pipeline.background import BESIDE_FROM, Later
from vollan.pipeline.contrast import contrast_width
from vollan.pipeline.level import level_changes
from vollan.pipeline.periodic import place_periodic_in_time
from vollan._result import Evidence, moved_evidence
from vollan.stats.robust import leader_sizes
from vollan.pipeline.shape import LOCAL_VALUES, shape_changes
from vollan.pipeline.slope import slope_changes
from vollan.pipeline.spread import spread_changes

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    from vollan._input import Kept

__all__ = ["PASSES", "changes_apart_from_vote", "placed_in_cycle"]

# The passes, in turn. Shape before spread: a change of shape at equal spread moves the
# deviations the spread pass sums as well, and the shape's own statistic places it better.
PASSES = ("level", "slope", "shape", "spread")


def changes_apart_from_vote(
    x: NDArray[np.float64],
    chosen: set[int],
    kinds_judged: Sequence[str],
    sizes: Sequence[int],
    *,
    two_threads: bool,
) -> list[Evidence]:
    """The changes the passes of ``kinds_judged`` find between the ``chosen`` leaders of the
    scan of ``x`` with window sizes ``sizes``, as evidence at their positions."""
    h = contrast_width(sizes[0])
    largest = sizes[-1]
    # The changes of shape between the reported ones, looked for on a second core while the
    # shifts and bends are: they are the ones wanted whenever neither is found (most series).
    shape_between_reported = Later(
        stretch_evidence,
        x,
        sorted(chosen),
        largest,
        "shape",
        background=two_threads and "shape" in kinds_judged and len(x) >= BESIDE_FROM,
    )
    extra: list[Evidence] = []
    for kind in PASSES:
        if kind not in kinds_judged:
            continue
        cuts = _cuts(chosen, extra)
        if kind == "level":
            extra += level_evidence(x, cuts, h, largest)
        elif kind == "slope":
            extra += slope_evidence(x, cuts, h)
        elif kind == "shape" and cuts == sorted(chosen):
            extra += shape_between_reported.result()
        else:
            extra += stretch_evidence(x, cuts, largest, kind)
    shape_between_reported.join()
    return extra


def _stretches(n: int, reported: Sequence[int]) -> list[tuple[int, int]]:
    bounds = [0, *reported, n]
    return list(zip(bounds[:-1], bounds[1:], strict=True))


def _cuts(chosen: set[int], extra: Sequence[Evidence]) -> list[int]:
    return sorted({*chosen, *(e.index for e in extra if e.index is not None)})


def level_evidence(
    x: NDArray[np.float64], reported: Sequence[int], h: int, largest: int
) -> list[Evidence]:
    """Shifts of level over whole stretches (:mod:`vollan.pipeline.level`) between the reported
    changes, as evidence at their positions. One within a contrast width of a reported change
    is that change, placed less well, and is left out."""
    n = len(x)
    found = []
    for c, statistic, critical, span in level_changes(x, _stretches(n, reported)):
        if all(abs(c - r) > h for r in reported):
            # Its size is described from the values up to its neighbours, within the largest
            # window.
            w = min([c, n - c, largest, *(abs(c - r) for r in reported)])
            ((shift, ratio),) = leader_sizes(x, [w], [c])
            found.append(Evidence(statistic, "level", w, critical, span, shift, ratio, index=c))
    return found


def slope_evidence(x: NDArray[np.float64], reported: Sequence[int], h: int) -> list[Evidence]:
    """Bends of the trend (:mod:`vollan.pipeline.slope`) within the stretches between the reported
    changes, as evidence at their positions."""
    found = []
    for c, statistic, critical, span in slope_changes(x, _stretches(len(x), reported), h):
        # Its size is described from the h values on either side, which its contrast compared.
        ((shift, ratio),) = leader_sizes(x, [h], [c])
        found.append(Evidence(statistic, "slope", h, critical, span, shift, ratio, index=c))
    return found


def stretch_evidence(
    x: NDArray[np.float64], reported: Sequence[int], largest: int, kind: str
) -> list[Evidence]:
    """Changes of shape (:mod:`vollan.pipeline.shape`) or of spread (:mod:`vollan.pipeline.spread`) within the
    stretches between the reported changes, as evidence at their positions. One within two
    local windows of a reported change is left out: a shift of level or spread mixes the shape
    and the spread of the values beside it."""
    n = len(x)
    found = []
    search = shape_changes if kind == "shape" else spread_changes
    for c, statistic, critical in search(x, _stretches(n, reported)):
        if all(abs(c - r) > 2 * LOCAL_VALUES for r in reported):
            # Its size is described from the values up to its neighbours, within the largest
            # window.
            h = min([c, n - c, largest, *(abs(c - r) for r in reported)])
            ((shift, ratio),) = leader_sizes(x, [h], [c])
            found.append(Evidence(statistic, kind, h, critical, (c, c + 1), shift, ratio, index=c))
    return found


def placed_in_cycle(
    x: NDArray[np.float64],
    kept: Kept,
    indices: Sequence[int],
    chosen: set[int],
    extra: list[Evidence],
    period: int | None,
) -> tuple[dict[int, int], list[Evidence]]:
    """The reported changes of a series scanned in whole periods placed by the order of its
    values within the cycle (:mod:`vollan.pipeline.periodic`): the new places of the chosen leaders that
    move, and ``extra`` with the changes found apart from the vote moved. A place another
    leader holds is not taken."""
    if not period or not _place.PLACE_PERIODIC:
        return {}, extra
    found = [e.index for e in extra if e.index is not None]
    taken = {*indices, *found}
    moved = {
        old: new
        for old, new in place_periodic_in_time(
            x, kept.positions, sorted({*chosen, *found}), period
        ).items()
        if new not in taken
    }
    extra = [e if e.index not in moved else moved_evidence(e, moved[e.index]) for e in extra]
    return {i: j for i, j in moved.items() if i in chosen}, extra
