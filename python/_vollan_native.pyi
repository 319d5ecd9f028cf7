"""Type stub of the native engine of vollan."""

from collections.abc import Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypedDict

__all__ = [
    "scan_detector",
    "scan_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
]

class SupportsArray(Protocol):
    """Anything numpy can turn into an array: numpy arrays, pandas Series, ..."""

    def __array__(self) -> Any: ...

# The engine reads lists and tuples of floats, float64 buffers and any other sequence of
# numbers; numpy arrays and pandas Series are both.
Series: TypeAlias = Sequence[SupportsFloat] | SupportsArray
# Letter case is ignored at run time; the checker knows the lower-case words.
ChangeType: TypeAlias = Literal["mean", "var", "distribution"]
Backend: TypeAlias = Literal["thread", "process"]

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
    series: Series,
    window_sizes: Sequence[SupportsIndex] | None = None,
    n_perm: SupportsIndex = 300,
    alpha_q: SupportsFloat = 1.0,
    seed: SupportsIndex = 123,
    tol: SupportsIndex = 2,
    workers: SupportsIndex | None = None,
    backend: Backend = "thread",
    change_type: ChangeType = "mean",
    b: SupportsIndex | None = None,
    taper_ratio: SupportsFloat = 0.5,
    center: bool = True,
    batch_size: SupportsIndex = 32,
) -> ScanResult: ...
def scan_single_window(
    series: Series,
    window_size: SupportsIndex,
    n_perm: SupportsIndex = 300,
    alpha_q: SupportsFloat = 1.0,
    seed: SupportsIndex = 123,
    change_type: ChangeType = "mean",
    b: SupportsIndex | None = None,
    taper_ratio: SupportsFloat = 0.5,
    center: bool = True,
    batch_size: SupportsIndex = 32,
) -> WindowResult: ...
def refine_cusum(series: Series) -> int: ...
def refine_wasserstein(series: Series) -> tuple[int, list[float]]: ...
def swal_statistic(series: Series, change_type: ChangeType = "distribution") -> int: ...
def wasserstein_statistic(left: Series, right: Series) -> float: ...
def ipm_statistic(left: Series, right: Series) -> float: ...
