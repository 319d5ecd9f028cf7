"""The one engine call of :func:`vollan.detect`, read into a typed view.

The stages read the scan's leaders, their votes and shares of the vote, and the localized
regions of every window size as arrays; the engine's full dictionary stays available as
:attr:`ScanView.raw` for those who ask for it.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np

from _vollan_native import scan_detector

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import ScanResult

__all__ = ["ScanView", "scan"]


@dataclass(frozen=True)
class ScanView:
    """The scan of one series, in scanned values.

    Attributes
    ----------
    leaders : numpy.ndarray
        The leaders of the vote, in the engine's order.
    votes : numpy.ndarray
        Each leader's segment votes.
    vote_shares : numpy.ndarray
        Each leader's share of the vote among all leaders (the engine's "probability").
    cdf : tuple of (int, float)
        The cumulative share of the vote along the series.
    regions : numpy.ndarray
        The localized regions of every window size, one ``[start, end)`` row each.
    raw : dict
        The engine's own result.
    """

    leaders: NDArray[np.int64]
    votes: NDArray[np.int64]
    vote_shares: NDArray[np.float64]
    cdf: tuple[tuple[int, float], ...]
    regions: NDArray[np.int64]
    raw: ScanResult

    @classmethod
    def of(cls, raw: ScanResult) -> ScanView:
        out = raw["out"]
        leaders = np.fromiter(out["leaders_probs"], dtype=np.int64)
        votes = np.array([out["leaders_segment_votes"][i] for i in leaders.tolist()], np.int64)
        shares = np.fromiter(out["leaders_probs"].values(), dtype=np.float64)
        regions = [r for w in raw["window_results"].values() for r in w["localized_regions"]]
        bounds = np.array(regions, dtype=np.int64).reshape(-1, 2)
        return cls(leaders, votes, shares, tuple(out["cdf"]), bounds, raw)

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


def scan(x: NDArray[np.float64], options: dict[str, Any]) -> ScanView:
    """Scan ``x`` with the engine's ``options``; a failure names the option that caused it."""
    # The engine reads any buffer of float64; its stub names only sequences.
    try:
        return ScanView.of(scan_detector(cast("Sequence[float]", x), **options))
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
