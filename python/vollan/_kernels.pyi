"""Type stub of vollan._kernels, the package's private native kernels."""

from collections.abc import Sequence
from typing import Any, NewType, SupportsFloat, SupportsIndex, TypedDict

from _vollan_native import Backend, ChangeType, Series

__all__ = ["scan_arrays"]

class ScanArrays(TypedDict):
    """scan_detector's result as read-only memoryviews (formats "Q", "q" and "d")."""

    window_sizes: memoryview
    cp_offsets: memoryview
    cp_values: memoryview
    starts: tuple[memoryview, ...]
    statistics: tuple[memoryview, ...]
    thresholds: tuple[memoryview, ...]
    regions: tuple[memoryview, ...]
    leaders: memoryview
    leader_votes: memoryview
    leader_scores: memoryview
    leader_probs: memoryview
    cdf_positions: memoryview
    cdf_values: memoryview

def scan_arrays(
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
    *,
    pilot: SupportsFloat | None = None,
) -> ScanArrays: ...

# The stream's adjacent sorted windows (binding/kernels_stream.cpp), behind vollan.Monitor.
StreamHandle = NewType("StreamHandle", object)

def stream_windows(
    sizes: tuple[int, ...], change_type: str, low: float, high: float, /
) -> StreamHandle: ...
def stream_statistics(handle: StreamHandle, values: Any, indices: Any, out: Any, /) -> None: ...
def stream_watch(
    handle: StreamHandle, values: Any, indices: Any, center: Any, scale: Any, threshold: float, /
) -> tuple[int, int, float]: ...
def stream_contents(handle: StreamHandle, /) -> tuple[bytes, bytes]: ...
