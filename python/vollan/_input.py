"""Turning what a caller passes as a series into float64 values and their labels."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray


def _number(value: Any) -> float:
    if value is None or isinstance(value, str | bytes):
        raise TypeError(f"series must be a sequence of numbers, not of {type(value).__name__}")
    return float(value)


def _as_float_array(values: Any) -> NDArray[np.float64]:
    try:
        array = np.asarray(values)
        if array.dtype.kind == "O":  # e.g. Decimal or Fraction objects, or None
            array = np.array([_number(v) for v in array.ravel().tolist()]).reshape(array.shape)
    except (TypeError, ValueError) as exc:
        message = str(exc)
        if not message.startswith("series must"):
            message = f"series must be a sequence of numbers: {message}"
        raise TypeError(message) from None
    if array.dtype.kind not in "biuf":
        raise TypeError(f"series must be a sequence of numbers, not of {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"series must be one-dimensional, got shape {array.shape}")
    array = np.ascontiguousarray(array, dtype=np.float64)
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        raise ValueError(
            f"series contains NaN or infinite values (the first at index {int(bad[0])}); "
            "clean or impute it first"
        )
    return array


def _values_and_labels(
    series: Any, labels: Sequence[Any] | None
) -> tuple[Any, Sequence[Any] | None]:
    index = None
    if hasattr(series, "to_numpy") and hasattr(series, "index"):  # a pandas Series
        if getattr(series, "ndim", 1) != 1:
            raise ValueError(f"series must be one-dimensional, got shape {series.shape}")
        index = list(series.index)
        values: Any = series.to_numpy(dtype=float)
    elif hasattr(series, "ndim"):  # a numpy array or another buffer
        if series.ndim != 1:
            raise ValueError(f"series must be one-dimensional, got shape {series.shape}")
        values = series
    elif isinstance(series, Sequence) and not isinstance(series, str | bytes):
        values = series
    elif isinstance(series, Iterable) and not isinstance(series, str | bytes):
        values = list(series)
    else:
        raise TypeError(f"series must be a sequence of numbers, not {type(series).__name__}")
    if labels is None:
        labels = index
    elif len(labels) != len(values):
        raise ValueError(f"labels has {len(labels)} entries but the series {len(values)}")
    return values, labels
