"""The scan of :func:`vollan._kernels.scan_arrays` as numpy arrays.

``scan_arrays`` runs :func:`vollan.scan_detector`'s scan, with the same parameters, checks and
messages, and returns its result as flat read-only buffers rather than about one Python object
per value scanned. :class:`ScanView` wraps them as numpy arrays without copying them, and
:meth:`ScanView.to_raw` builds the very dict ``scan_detector`` returns, for callers that still
read it.

Positions, votes and change-point offsets are ``int64``, window sizes ``uint64`` (a caller may
give any 64-bit size), statistics, thresholds, scores and probabilities ``float64``. Arrays
indexed by window follow :attr:`ScanView.window_sizes`: the distinct sizes in ascending order,
as the keys of ``scan_detector``'s ``cp_dict`` and ``window_results``.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypedDict, Unpack

import numpy as np

from vollan import _kernels

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import Backend, ChangeType, ScanResult, Series, WindowResult
    from vollan._kernels import ScanArrays

__all__ = ["ScanOptions", "ScanView", "WindowScan", "scan_view"]


class ScanOptions(TypedDict, total=False):
    """The keyword parameters of ``scan_detector`` and ``scan_arrays``, with their defaults;
    ``pilot`` is ``scan_arrays``' own (None: ``scan_detector``'s thresholds)."""

    window_sizes: Sequence[int] | None
    n_perm: int
    alpha_q: float
    seed: int
    tol: int
    workers: int | None
    backend: Backend
    change_type: ChangeType
    b: int | None
    taper_ratio: float
    center: bool
    batch_size: int
    pilot: float | None


@dataclass(frozen=True, slots=True, eq=False)
class WindowScan:
    """One window size's part of a scan (arrays shared with the :class:`ScanView`).

    Attributes
    ----------
    size : int
        The window size.
    change_points : ndarray of int64
        One refined change point per localized region.
    starts : ndarray of int64
        The scanned positions.
    statistics, thresholds : ndarray of float64
        The statistic at each position and its bootstrap threshold. With ``pilot``, a threshold
        the pilot's replicates decided alone is the pilot's (from the first quarter of
        ``n_perm``); every other is the full run's.
    regions : ndarray of int64, shape (k, 2)
        The localized regions, ``[start, end)`` per row.
    """

    size: int
    change_points: NDArray[np.int64]
    starts: NDArray[np.int64]
    statistics: NDArray[np.float64]
    thresholds: NDArray[np.float64]
    regions: NDArray[np.int64]


@dataclass(frozen=True, slots=True, eq=False)
class ScanView:
    """The result of a scan as read-only numpy arrays over the kernel's buffers.

    Attributes
    ----------
    window_sizes : ndarray of uint64
        The distinct window sizes, ascending; ``k`` of them.
    cp_offsets, cp_values : ndarray of int64
        Every window's change points in one array: window ``j``'s are
        ``cp_values[cp_offsets[j]:cp_offsets[j + 1]]`` (``cp_offsets`` has ``k + 1`` entries).
    starts, statistics, thresholds, regions : tuple of ndarray
        Per window size, in the order of ``window_sizes``: see :class:`WindowScan`.
    leaders, leader_votes : ndarray of int64
        The leader of each segment of the vote across windows, ascending, and its segment's votes.
    leader_scores, leader_probs : ndarray of float64
        Each leader's score (votes per window, capped at 1) and probability (scores normalised).
    cdf_positions, cdf_values : ndarray
        The running sum of the probabilities along the series: at ``cdf_positions`` (int64, the
        leaders), ``cdf_values`` (float64).
    """

    window_sizes: NDArray[np.uint64]
    cp_offsets: NDArray[np.int64]
    cp_values: NDArray[np.int64]
    starts: tuple[NDArray[np.int64], ...]
    statistics: tuple[NDArray[np.float64], ...]
    thresholds: tuple[NDArray[np.float64], ...]
    regions: tuple[NDArray[np.int64], ...]
    leaders: NDArray[np.int64]
    leader_votes: NDArray[np.int64]
    leader_scores: NDArray[np.float64]
    leader_probs: NDArray[np.float64]
    cdf_positions: NDArray[np.int64]
    cdf_values: NDArray[np.float64]

    @classmethod
    def from_arrays(cls, arrays: ScanArrays) -> ScanView:
        """Wraps the buffers ``scan_arrays`` returned, without copying them."""

        def each(views: tuple[memoryview, ...]) -> tuple[Any, ...]:
            return tuple(np.asarray(v) for v in views)

        return cls(
            window_sizes=np.asarray(arrays["window_sizes"]),
            cp_offsets=np.asarray(arrays["cp_offsets"]),
            cp_values=np.asarray(arrays["cp_values"]),
            starts=each(arrays["starts"]),
            statistics=each(arrays["statistics"]),
            thresholds=each(arrays["thresholds"]),
            regions=each(arrays["regions"]),
            leaders=np.asarray(arrays["leaders"]),
            leader_votes=np.asarray(arrays["leader_votes"]),
            leader_scores=np.asarray(arrays["leader_scores"]),
            leader_probs=np.asarray(arrays["leader_probs"]),
            cdf_positions=np.asarray(arrays["cdf_positions"]),
            cdf_values=np.asarray(arrays["cdf_values"]),
        )

    @property
    def n_windows(self) -> int:
        """The number of distinct window sizes."""
        return len(self.window_sizes)

    def change_points(self, j: int) -> NDArray[np.int64]:
        """The change points of the ``j``-th window size (a view into :attr:`cp_values`)."""
        return self.cp_values[self.cp_offsets[j] : self.cp_offsets[j + 1]]

    def window(self, j: int) -> WindowScan:
        """The ``j``-th window size's part of the scan."""
        return WindowScan(
            size=int(self.window_sizes[j]),
            change_points=self.change_points(j),
            starts=self.starts[j],
            statistics=self.statistics[j],
            thresholds=self.thresholds[j],
            regions=self.regions[j],
        )

    def to_raw(self) -> ScanResult:
        """The dict :func:`vollan.scan_detector` returns for the same call, value for value.

        Built from the arrays on each call: Python ints and floats in lists, dicts keyed by int
        and tuples, in ``scan_detector``'s key order.
        """
        sizes: list[int] = self.window_sizes.tolist()
        offsets: list[int] = self.cp_offsets.tolist()
        points: list[int] = self.cp_values.tolist()
        cp_dict = {w: points[offsets[j] : offsets[j + 1]] for j, w in enumerate(sizes)}
        window_results: dict[int, WindowResult] = {}
        for j, w in enumerate(sizes):
            window_results[w] = {
                "change_points": points[offsets[j] : offsets[j + 1]],
                "starts": self.starts[j].tolist(),
                "statistics": self.statistics[j].tolist(),
                "tapered_block_bootstrap_threshold": self.thresholds[j].tolist(),
                "localized_regions": [(a, b) for a, b in self.regions[j].tolist()],
            }
        leaders: list[int] = self.leaders.tolist()
        return {
            "cp_dict": cp_dict,
            "window_results": window_results,
            "out": {
                "leaders_segment_votes": dict(
                    zip(leaders, self.leader_votes.tolist(), strict=True)
                ),
                "leaders_scores": dict(zip(leaders, self.leader_scores.tolist(), strict=True)),
                "leaders_probs": dict(zip(leaders, self.leader_probs.tolist(), strict=True)),
                "cdf": list(
                    zip(self.cdf_positions.tolist(), self.cdf_values.tolist(), strict=True)
                ),
            },
        }


def scan_view(series: Series, **options: Unpack[ScanOptions]) -> ScanView:
    """Runs ``scan_detector``'s scan through ``scan_arrays`` and wraps its result.

    Parameters, checks and messages are those of :func:`vollan.scan_detector`.
    """
    return ScanView.from_arrays(_kernels.scan_arrays(series, **options))
