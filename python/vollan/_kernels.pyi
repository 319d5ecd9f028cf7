"""Type stub of vollan._kernels, the package's private native kernels."""

from typing import Any, NewType

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
