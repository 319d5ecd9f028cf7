"""Each leader's local contrasts: how many values a side they take, and their robust z-scores.

A leader's contrasts take as many values a side as fit between its rivals. A wider contrast
sees smaller shifts and changes of spread or shape; the least one places a change as finely as
the scan. The rest of the series must still describe itself away from its changes, so the
widths are capped by the number of candidates and by the boundaries left clear of them
(:func:`leader_widths`). Each contrast's z-score is taken against the boundaries away from
every candidate (:func:`contrast_scores`).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np

from vollan.pipeline.background import BESIDE_FROM, each
from vollan.pipeline.contrast import MIN_WINDOWS_OF_BOUNDARIES, contrast_width, contrasts_of
from vollan.stats.robust import resolution, robust_z

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["contrast_scores", "leader_widths"]

# Contrasts taken within h/2 of a leader, at most twice this many (see _near_step).
NEAR_STEPS = 64
# Values on each side of one leader's search from which the searches run on two threads.
_EACH_ON_TWO_THREADS = 4096


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


def near_boundaries(n: int, h: int, centres: NDArray[np.int64]) -> NDArray[np.bool_]:
    """Which of the positions 0 .. n lie closer than h to one of ``centres``."""
    edges = np.zeros(n + 2, dtype=np.int64)
    np.add.at(edges, np.clip(centres - h + 1, 0, n + 1), 1)
    np.add.at(edges, np.clip(centres + h, 0, n + 1), -1)
    return np.cumsum(edges)[: n + 1] > 0


def contrast_scores(
    x: NDArray[np.float64],
    widths: Sequence[int],
    leaders: Sequence[int],
    kinds: Sequence[str],
    candidates: Sequence[int] = (),
    gap: float | None = None,
    two_threads: bool = False,
) -> list[dict[str, float]]:
    """Robust z-score of each contrast in ``kinds`` at each leader, of ``widths[i]`` values
    (``gap``: :func:`~vollan.stats.robust.resolution` of ``x``, computed here when not given;
    ``two_threads``: the searches around the leaders on two threads, with the same result).

    A leader's position is known to within its width, so its contrast is the strongest within
    h/2 of it. The median and MAD describe the series away from its changes: they come from
    the boundaries farther than h from the leaders and from every ``candidates`` (every
    h/8-th boundary: neighbouring ones share nearly all their values), or from all boundaries
    when fewer than 4h would be left.

    Returns
    -------
    list of dict
        Per leader, kind -> z-score (``inf`` when the contrast is constant elsewhere and
        larger at the leader).
    """
    n = len(x)
    scores: list[dict[str, float]] = [{} for _ in leaders]
    if not len(leaders):
        return scores
    if gap is None:
        gap = resolution(x)
    for h in sorted(set(widths)):
        mine = [j for j, w in enumerate(widths) if w == h]
        every = np.arange(h, n - h + 1, max(1, h // 8), dtype=np.intp)
        centres = np.array([*candidates, *(leaders[j] for j in mine)], dtype=np.int64)
        away = ~near_boundaries(n, h, centres)[every]
        if away.sum() * max(1, h // 8) >= MIN_WINDOWS_OF_BOUNDARIES * h:
            every = every[away]
        reference = contrasts_of(x, h, every, kinds, gap)

        def near(j: int, h: int = h) -> dict[str, NDArray[np.float64]]:
            # A leader closer to an end than h is judged at the nearest full boundary.
            c = min(max(leaders[j], h), n - h)
            bounds = np.arange(
                max(h, c - h // 2), min(n - h, c + h // 2) + 1, _near_step(h), dtype=np.intp
            )
            return contrasts_of(x, h, bounds, kinds, gap)

        # The leaders' searches are independent, each as many rows of h values as fit in h;
        # on two threads only when each is long enough for numpy to let go of the interpreter
        # lock for most of it (short ones took turns on it and cost more CPU than on one).
        each_values = h * min(h + 1, 2 * NEAR_STEPS + 1)
        threads = (
            two_threads
            and each_values >= _EACH_ON_TWO_THREADS
            and len(mine) * each_values >= BESIDE_FROM
        )
        around = dict(zip(mine, each(near, mine, two_threads=threads), strict=True))
        for kind in kinds:
            peaks = [float(around[j][kind].max()) for j in mine]
            for j, z in zip(mine, robust_z(peaks, reference[kind]), strict=True):
                scores[j][kind] = z
    return scores


def _near_step(h: int) -> int:
    """Boundaries between the contrasts taken around a leader: every one up to h = 127; beyond,
    one in h / NEAR_STEPS, whose windows share all but 1/64 of their values, so that the search
    costs O(h log h) instead of growing with h² (a long series with one change gets h in the
    tens of thousands)."""
    return max(1, h // NEAR_STEPS)
