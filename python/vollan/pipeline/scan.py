"""The one engine call of :func:`vollan.detect`, read into a typed view.

The scan runs through the package's private kernels (:func:`vollan._scanview.scan_view`), which
return ``scan_detector``'s result as flat buffers: the stages read the leaders, their votes and
shares of the vote, and the localized regions as arrays, and the engine's dictionary is built
only when :attr:`ScanView.raw` is asked for.
"""

from __future__ import annotations

import functools
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np

from vollan._scanview import ScanView as ArrayScan
from vollan._scanview import scan_view

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import ScanResult

__all__ = ["ScanView", "fitting_scores", "scan"]


@dataclass(frozen=True)
class ScanView:
    """The scan of one series, in scanned values, as arrays.

    Attributes
    ----------
    leaders : numpy.ndarray
        The leaders of the vote, ascending.
    votes : numpy.ndarray
        Each leader's segment votes.
    vote_shares : numpy.ndarray
        Each leader's share of the vote among all leaders (the engine's "probability").
    regions : numpy.ndarray
        The localized regions of every window size, one ``[start, end)`` row each.
    arrays : vollan._scanview.ScanView
        The whole scan as the kernels returned it; :attr:`raw` builds the engine's dictionary
        from it when asked for.
    """

    leaders: NDArray[np.int64]
    votes: NDArray[np.int64]
    vote_shares: NDArray[np.float64]
    regions: NDArray[np.int64]
    arrays: ArrayScan

    @classmethod
    def of(cls, arrays: ArrayScan) -> ScanView:
        regions = (
            np.concatenate(arrays.regions).reshape(-1, 2)
            if arrays.regions
            else np.empty((0, 2), dtype=np.int64)
        )
        return cls(arrays.leaders, arrays.leader_votes, arrays.leader_probs, regions, arrays)

    @property
    def cdf(self) -> tuple[tuple[int, float], ...]:
        """The cumulative share of the vote along the series."""
        a = self.arrays
        return tuple(zip(a.cdf_positions.tolist(), a.cdf_values.tolist(), strict=True))

    @functools.cached_property
    def raw(self) -> ScanResult:
        """The engine's own result, :func:`vollan.scan_detector`'s dictionary, built on first
        use: about one Python object per value scanned, which ``detect`` itself never needs."""
        return self.arrays.to_raw()

    def votes_of(self) -> dict[int, int]:
        """Votes by leader."""
        return dict(zip(self.leaders.tolist(), self.votes.tolist(), strict=True))

    def region_around(self, c: int) -> tuple[int, int]:
        """The stretch shared by the localized regions, of every window size, that hold
        ``c`` (half-open); ``c`` alone when none does."""
        b = self.regions
        holding = b[(b[:, 0] < c) & (b[:, 1] > c)] if len(b) else b
        if not len(holding):
            return (c, c + 1)
        return (int(holding[:, 0].max()), int(holding[:, 1].min()))

    def regions_around(self, cs: Sequence[int]) -> list[tuple[int, int]]:
        """:meth:`region_around` of each of ``cs``, by binary searches per window size.

        A window size's regions, ordered by their starts, have ends in the same order (they
        grow from the windows that crossed their thresholds, of one size): those that hold
        ``c`` are then a run, from the first that ends after ``c`` to the last that starts
        before it. A scan whose regions are not so ordered is searched row by row as
        :meth:`region_around` does."""
        c = np.asarray(cs, dtype=np.int64)
        low = np.full(len(c), np.iinfo(np.int64).min)
        high = np.full(len(c), np.iinfo(np.int64).max)
        held = np.zeros(len(c), dtype=bool)
        for flat in self.arrays.regions:
            b = np.asarray(flat, dtype=np.int64).reshape(-1, 2)
            if not len(b) or not len(c):
                continue
            starts, ends = b[:, 0], b[:, 1]
            if not (
                bool(np.all(ends > starts))
                and bool(np.all(starts[1:] >= starts[:-1]))
                and bool(np.all(ends[1:] >= ends[:-1]))
            ):
                return [self.region_around(int(i)) for i in c]
            last = np.searchsorted(starts, c, side="left") - 1
            first = np.searchsorted(ends, c, side="right")
            holds = (last >= 0) & (ends[np.maximum(last, 0)] > c)
            low = np.where(holds, np.maximum(low, starts[np.maximum(last, 0)]), low)
            high = np.where(holds, np.minimum(high, ends[np.minimum(first, len(b) - 1)]), high)
            held |= holds
        low = np.where(held, low, c)
        high = np.where(held, high, c + 1)
        return list(zip(low.tolist(), high.tolist(), strict=True))


def scan(x: NDArray[np.float64], options: dict[str, Any]) -> ScanView:
    """Scan ``x`` with the engine's ``options``; a failure names the option that caused it."""
    # The engine reads any buffer of float64; its stub names only sequences.
    try:
        return ScanView.of(scan_view(cast("Sequence[float]", x), **options))
    except MemoryError:
        raise MemoryError(
            f"not enough memory for this scan (n_perm={options['n_perm']} replicates per "
            f"threshold, {len(options['window_sizes'])} window sizes); pass a smaller n_perm, "
            "fewer window_sizes or a shorter series"
        ) from None
    except ValueError as exc:
        # A dedicated pool that the system cannot start: say which option asked for it.
        if options.get("workers") and str(exc).startswith("failed to build Rayon thread pool"):
            reason = str(exc).partition(": ")[2]
            raise ValueError(
                f"workers={options['workers']}: the system could not start that many threads "
                f"({reason}); pass fewer workers, or None for the shared pool"
            ) from None
        raise


# The fewest window sizes a score is counted against, so that a leader crowded by others
# needs the votes of at least two sizes to reach half of them.
MIN_FITTING_SIZES = 4


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
