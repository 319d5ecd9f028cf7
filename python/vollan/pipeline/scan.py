"""The one engine call of :func:`vollan.detect`, read into a typed view.

The scan runs through the package's private kernels (:func:`vollan._scanview.scan_view`), which
return ``scan_detector``'s result as flat buffers: the stages read the leaders, their votes and
shares of the vote, and the localized regions as arrays, and the engine's dictionary is built
only when :attr:`ScanView.raw` is asked for.
"""

from __future__ import annotations

import functools
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np

from vollan._scanview import ScanView as ArrayScan
from vollan._scanview import scan_view

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import ScanResult

__all__ = ["ScanView", "scan"]


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
