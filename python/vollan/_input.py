"""Turning what a caller passes as a series into the float64 values to scan and their labels,
and checking the numbers passed as options before they reach the engine.

Missing values (NaN, None, pandas' NA and NaT, masked entries) are either left out of the
scan or refused, as ``nan_policy`` says; :class:`Kept` remembers where each scanned value
came from, so that positions found in the scan can be reported in the caller's series.
"""

from __future__ import annotations

import math
import numbers
import operator
import sys
from collections.abc import Collection, Iterable, Mapping, Sequence, Set
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, SupportsFloat, SupportsIndex

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

NAN_POLICIES = ("omit", "raise")
# The engine holds its integer options in unsigned 64 bits; the window sizes are also held in
# signed 64 bits on the way.
LARGEST_OPTION = 2**64 - 1
LARGEST_WINDOW = 2**63 - 1


@dataclass(frozen=True)
class Kept:
    """The values to scan and the position of each in the caller's series.

    Attributes
    ----------
    values : numpy.ndarray
        The finite values, in order, missing ones left out.
    positions : numpy.ndarray or None
        The position in the caller's series of each of ``values``; None when nothing was
        left out, so that positions map to themselves.
    n_obs : int
        Length of the caller's series, missing values included.
    """

    values: NDArray[np.float64]
    positions: NDArray[np.intp] | None
    n_obs: int

    @property
    def n_omitted(self) -> int:
        return self.n_obs - len(self.values)

    def position(self, i: int) -> int:
        """Position in the caller's series of the scanned value ``i``."""
        return i if self.positions is None else int(self.positions[i])

    def in_units(self, offset: float, scale: float) -> Kept:
        """The same series with its values as ``(values - offset) * scale``."""
        if offset == 0.0 and scale == 1.0:
            return self
        return Kept((self.values - offset) * scale, self.positions, self.n_obs)

    def without(self, drop: NDArray[np.intp]) -> Kept:
        """The same series with the scanned values at ``drop`` left out as well."""
        if not len(drop):
            return self
        keep = np.ones(len(self.values), dtype=bool)
        keep[drop] = False
        positions = np.flatnonzero(keep) if self.positions is None else self.positions[keep]
        return Kept(self.values[keep], positions, self.n_obs)


def kept_values(values: Any, nan_policy: str) -> Kept:
    """Convert ``values`` to float64 and apply ``nan_policy`` to the missing ones.

    Raises
    ------
    ValueError
        For an unknown policy, for infinities, and for missing values under "raise".
    TypeError
        For values that are not numbers.
    """
    if nan_policy not in NAN_POLICIES:
        raise ValueError(f"nan_policy must be 'omit' or 'raise', got {nan_policy!r}")
    array = _as_float_array(values)
    finite = np.isfinite(array)
    if finite.all():
        return Kept(array, None, len(array))
    missing = np.isnan(array)
    first = int(np.argmin(finite))
    if nan_policy == "raise" and missing[first]:
        raise ValueError(
            f"series has a missing value (NaN, None or NA) at index {first}; pass "
            "nan_policy='omit' to leave missing values out of the scan, or clean or impute it"
        )
    infinite = np.flatnonzero(~finite & ~missing)
    if infinite.size:
        raise ValueError(
            f"series contains infinite values (the first at index {int(infinite[0])}); "
            "clean or impute it first"
        )
    positions = np.flatnonzero(~missing)
    return Kept(array[positions], positions, len(array))


def _is_missing(value: Any) -> bool:
    if value is None:
        return True
    # pd.NA and pd.NaT can only exist once pandas is imported, so there is no need to import it.
    pandas = sys.modules.get("pandas")
    return pandas is not None and (value is pandas.NA or value is pandas.NaT)


def _number(value: Any) -> float:
    if _is_missing(value):
        return math.nan
    if isinstance(value, str | bytes):
        raise TypeError(f"series must be a sequence of numbers, not of {type(value).__name__}")
    return float(value)


def _as_float_array(values: Any) -> NDArray[np.float64]:
    """``values`` as a one-dimensional float64 array, missing values as NaN."""
    try:
        array = np.asarray(values)
        if array.dtype.kind == "O":  # e.g. Decimal or Fraction objects, None or pd.NA
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
    if isinstance(values, np.ma.MaskedArray) and np.ma.is_masked(values):
        # np.where copies: the caller's buffer may be the very array converted above.
        array = np.where(np.ma.getmaskarray(values), np.nan, array)
    return array


def _not_one_dimensional(shape: tuple[int, ...]) -> ValueError:
    hint = "; detect_columns judges each column on its own" if len(shape) == 2 else ""
    return ValueError(f"series must be one-dimensional, got shape {shape}{hint}")


def _values_and_labels(
    series: Any, labels: Sequence[Any] | None
) -> tuple[Any, Sequence[Any] | None]:
    index = None
    if hasattr(series, "to_numpy") and hasattr(series, "index"):  # a pandas Series
        if getattr(series, "ndim", 1) == 2 and series.shape[1] == 1:
            series = series.iloc[:, 0]  # a one-column DataFrame
        if getattr(series, "ndim", 1) != 1:
            raise _not_one_dimensional(series.shape)
        index = list(series.index)
        # Nullable dtypes (Float64, Int64) hold pd.NA; pandas 2 gives floats for it only with
        # na_value.
        values: Any = series.to_numpy(dtype=float, na_value=np.nan)
    elif hasattr(series, "ndim"):  # a numpy array or another buffer
        if series.ndim == 2 and series.shape[1] == 1:
            # One column, as ruptures' signals of one feature are; a masked array keeps its mask.
            series = series[:, 0] if isinstance(series, np.ndarray) else np.asarray(series)[:, 0]
        if series.ndim != 1:
            raise _not_one_dimensional(series.shape)
        values = series
    elif (why := _unordered(series)) is not None:
        raise TypeError(
            f"series must be an ordered sequence of numbers, not {type(series).__name__}{why}"
        )
    elif isinstance(series, Sequence) and not isinstance(series, str | bytes):
        values = series
    elif isinstance(series, Iterable) and not isinstance(series, str | bytes):
        values = list(series)
    else:
        raise TypeError(f"series must be a sequence of numbers, not {type(series).__name__}")
    if labels is None:
        labels = index
    elif _unordered(labels) is not None:
        raise TypeError(f"labels must be an ordered sequence, not {type(labels).__name__}")
    elif len(labels) != len(values):
        raise ValueError(f"labels has {len(labels)} entries but the series {len(values)}")
    return values, labels


def _unordered(items: object) -> str | None:
    """Why ``items`` holds no series, for the message: a mapping (dict, Counter, ...) iterates
    over its keys, a set (set, frozenset, dict.keys()) in an arbitrary order; else None."""
    if isinstance(items, Mapping):
        return "; pass its values, and its keys as labels"
    if isinstance(items, Set):
        return ", whose order is arbitrary"
    return None


# Options ------------------------------------------------------------------------------------


def real_number(name: str, value: object, alternatives: str = "") -> float:
    """``value`` as a float; a TypeError naming ``name`` when it is no real number.

    Text, booleans and complex numbers are refused, as are objects without ``__float__``;
    ``alternatives`` (", 'auto' or None") lists what else the option accepts, for the message.
    """
    refused = TypeError(f"{name} must be a number{alternatives}, not {type(value).__name__}")
    if (
        isinstance(value, bool | np.bool_)
        or (isinstance(value, numbers.Complex) and not isinstance(value, numbers.Real))
        or not isinstance(value, SupportsFloat)
    ):
        raise refused
    try:
        return float(value)
    except (TypeError, ValueError):  # e.g. a numpy array of more than one value
        raise refused from None


def check_integer(name: str, value: object, least: int, *, or_none: str = "") -> None:
    """Refuse a ``value`` that is not an integer from ``least`` to 2**64 - 1.

    Python and numpy integers count, booleans do not (as for ``n_changes``). ``or_none``, when
    given, says what None means: None is then accepted.
    """
    if or_none and value is None:
        return
    accepted = f"None ({or_none}) or an integer" if or_none else "an integer"
    number = _integer(value)
    if number is None:
        raise TypeError(f"{name} must be {accepted}, not {type(value).__name__}")
    if not least <= number <= LARGEST_OPTION:
        raise ValueError(f"{name} must be {accepted} from {least} to 2**64 - 1, got {number}")


def check_window_sizes(window_sizes: object) -> None:
    """Refuse window sizes that are not a collection of integers of at most 2**63 - 1.

    A string is not such a collection, nor is a one-shot iterator (it would be used up here).
    Sizes below the smallest window are left to :func:`vollan.pipeline.windows.choose_window_sizes`,
    which says why they are too small.
    """
    if window_sizes is None:
        return
    if isinstance(window_sizes, str | bytes | Mapping) or not isinstance(window_sizes, Collection):
        raise TypeError(
            f"window_sizes must be a sequence of integers or None, "
            f"not {type(window_sizes).__name__}"
        )
    for w in window_sizes:
        size = _integer(w)
        if size is None:
            raise TypeError(
                f"window_sizes must be a sequence of integers, not of {type(w).__name__} ({w!r})"
            )
        if size > LARGEST_WINDOW:
            raise ValueError(f"window sizes must be at most 2**63 - 1, got {size}")


def _integer(value: object) -> int | None:
    """``value`` as an int when it is a Python or numpy integer (not a boolean), else None."""
    if isinstance(value, bool | np.bool_) or not isinstance(value, SupportsIndex):
        return None
    try:
        return operator.index(value)
    except TypeError:  # e.g. a numpy array of more than one value
        return None
