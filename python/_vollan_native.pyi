"""Type stub of the native engine of vollan."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict

__all__ = [
    "scan_detector",
    "scan_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
]

class WindowResult(TypedDict):
    change_points: list[int]
    starts: list[int]
    statistics: list[float]
    tapered_block_bootstrap_threshold: list[float]
    localized_regions: list[tuple[int, int]]

class LeaderOutput(TypedDict):
    leaders_segment_votes: dict[int, int]
    leaders_scores: dict[int, float]
    leaders_probs: dict[int, float]
    cdf: list[tuple[int, float]]

class ScanResult(TypedDict):
    cp_dict: dict[int, list[int]]
    window_results: dict[int, WindowResult]
    out: LeaderOutput

def scan_detector(
    series: Sequence[SupportsFloat],
    window_sizes: Sequence[SupportsIndex] | None = None,
    n_perm: SupportsIndex = 300,
    alpha_q: SupportsFloat = 1.0,
    seed: SupportsIndex = 123,
    tol: SupportsIndex = 2,
    workers: SupportsIndex | None = None,
    backend: str = "thread",
    change_type: str = "mean",
    b: SupportsIndex | None = None,
    taper_ratio: SupportsFloat = 0.5,
    center: bool = True,
    batch_size: SupportsIndex = 32,
) -> ScanResult: ...
def scan_single_window(
    series: Sequence[SupportsFloat],
    window_size: SupportsIndex,
    n_perm: SupportsIndex = 300,
    alpha_q: SupportsFloat = 1.0,
    seed: SupportsIndex = 123,
    change_type: str = "mean",
    b: SupportsIndex | None = None,
    taper_ratio: SupportsFloat = 0.5,
    center: bool = True,
    batch_size: SupportsIndex = 32,
) -> WindowResult: ...
def refine_cusum(series: Sequence[SupportsFloat]) -> int: ...
def refine_wasserstein(series: Sequence[SupportsFloat]) -> tuple[int, list[float]]: ...
def swal_statistic(series: Sequence[SupportsFloat], change_type: str = "distribution") -> int: ...
def wasserstein_statistic(
    left: Sequence[SupportsFloat], right: Sequence[SupportsFloat]
) -> float: ...
def ipm_statistic(left: Sequence[SupportsFloat], right: Sequence[SupportsFloat]) -> float: ...
