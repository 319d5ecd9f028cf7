"""How many values a side each leader's contrast takes: as many as fit between its rivals.

A wider contrast sees smaller shifts and changes of spread or shape; the least one places a
change as finely as the scan. The rest of the series must still describe itself away from its
changes, so the widths are capped by the number of candidates and by the boundaries left clear
of them (:func:`leader_widths`).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np

from vollan.pipeline.contrast import MIN_WINDOWS_OF_BOUNDARIES, contrast_width

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["leader_widths"]


def leader_widths(
    n: int,
    smallest: int,
    leaders: Sequence[int],
    votes: Mapping[int, int],
    wide: bool = True,
    regions: Sequence[tuple[int, int]] | None = None,
) -> list[int]:
    """Values on each side of each leader for its contrast.

    ``votes`` holds the candidates (the leaders that could be reported) and their votes, and
    ``regions`` each leader's stretch shared by the scan's regions that hold it. A leader's
    width is as large as fits:

    - half the distance to the nearest candidate with at least as many votes, at least the
      smallest window away and outside the leader's region (the scan often places one change
      at several nearby points, a change of spread on its noisy side most; the strongest of
      them is judged on the whole stretch around it, the weaker ones on what is left
      between, and those within one region are one change, which must not halve the other's
      width);
    - no more than the values before and after the leader;
    - no more than n / (4(k+1)) for k candidates, whose contrasts then cover at most half of
      the boundaries, and only widths for which 4h boundaries farther than h from every
      candidate remain: the rest of the series must describe it away from its changes;
    - at least :func:`contrast_width` of the smallest window.

    Widths are rounded down to a half-octave grid from that least width, so that a few widths
    serve all leaders. A wider contrast sees smaller shifts and changes of spread or shape;
    the least one places a change as finely as the scan. Without ``wide``, every leader
    gets the least width.
    """
    least = contrast_width(smallest)
    if not wide:
        return [least] * len(leaders)
    most = min((n + 1) // (MIN_WINDOWS_OF_BOUNDARIES + 2), n // (4 * (len(votes) + 1)))
    grid = [least]
    while round(least * 2 ** (len(grid) / 2)) <= most:
        grid.append(round(least * 2 ** (len(grid) / 2)))
    others = np.array(sorted(votes), dtype=np.int64)
    strength = np.array([votes[c] for c in sorted(votes)], dtype=np.int64)
    grid = [least] + [h for h in grid[1:] if _clean_boundaries(n, h, others) >= 4 * h]
    at = np.asarray(leaders, dtype=np.int64).reshape(-1)
    room = np.minimum(np.minimum(at, n - at), most)
    if len(others) and len(at):
        # The nearest rival of each leader: among the candidates with at least its votes
        # (a few distinct counts), the last at or before c - smallest and the first at or
        # after c + smallest, both outside the leader's region.
        own = np.array([votes.get(int(c), 0) for c in at], dtype=np.int64)
        if regions is None:
            first, past = at, at + 1
        else:
            first = np.array([r[0] for r in regions], dtype=np.int64).reshape(-1)
            past = np.array([r[1] for r in regions], dtype=np.int64).reshape(-1)
        nearest = np.full(len(at), np.iinfo(np.int64).max)
        for v in np.unique(own):
            mine = own == v
            rivals = others[strength >= v]
            if not len(rivals):
                continue
            c = at[mine]
            before = np.minimum(c - smallest, first[mine] - 1)
            below = np.searchsorted(rivals, before, side="right") - 1
            above = np.searchsorted(rivals, np.maximum(c + smallest, past[mine]), side="left")
            gap = np.full(len(c), np.iinfo(np.int64).max)
            has = below >= 0
            gap[has] = c[has] - rivals[below[has]]
            has = above < len(rivals)
            gap[has] = np.minimum(gap[has], rivals[above[has]] - c[has])
            nearest[mine] = gap
        found = nearest < np.iinfo(np.int64).max
        room[found] = np.minimum(room[found], nearest[found] // 2)
    sizes = np.array(grid, dtype=np.int64)
    # The widest width of the grid that fits (the grid ascends), else the least.
    fits = np.searchsorted(sizes, room, side="right") - 1
    return [grid[k] if k >= 0 else least for k in fits.tolist()]


def _clean_boundaries(n: int, h: int, candidates: NDArray[np.int64]) -> int:
    """Boundaries of contrasts of ``h`` values farther than h from every candidate.

    The boundaries h .. n - h less those within the intervals [c - h + 1, c + h - 1] around
    the sorted candidates c: the intervals share one length, so their ends rise with their
    starts, and each adds what lies past the end of the one before (no pass over n)."""
    if n - h < h:
        return 0
    c = np.unique(candidates)
    starts = np.maximum(c - h + 1, h)
    ends = np.minimum(c + h - 1, n - h)
    previous = np.concatenate([[h - 1], ends[:-1]])
    added = ends - np.maximum(starts, previous + 1) + 1
    return int(n - 2 * h + 1 - np.maximum(added, 0).sum())
