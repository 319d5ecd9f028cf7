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
import os
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
# The rules square the values they scan and sum the squares: values up to 2**500 (about 3e150,
# in the units the series is scanned in) square to 2**1000, and sums of 2**23 such squares stay
# below a float's limit of 2**1024; values a few powers of ten beyond overflowed in the rules.
LARGEST_SCANNED = 2.0**500
# The most threads a pool of the engine holds; it caps larger counts there.
LARGEST_WORKERS = 65535
# Bytes of one bootstrap replicate in the engine (a float64 distance per replicate).
REPLICATE_BYTES = 8


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

    def check_reach(self, offset: float, scale: float) -> None:
        """Refuse values too far from the rest to be scanned in these units.

        Called on the values scanned, after isolated outliers are left out: one lone value at
        1e300 is an outlier, three in a row are a stretch whose squares overflow.
        """
        if not len(self.values):
            return
        far = np.flatnonzero(np.abs(self.values) > LARGEST_SCANNED)
        if far.size:
            i = int(far[0])
            value = float(self.values[i]) / scale + offset
            raise ValueError(
                f"series holds a value too far from the rest at index {self.position(i)} "
                f"({value:.3g}): its square, in units of the series' spread, overflows a "
                "float; clip such values, or set them to NaN to leave them out"
            )

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


def _number(value: Any, at: int) -> float:
    if _is_missing(value):
        return math.nan
    if isinstance(value, bytes):
        raise TypeError(
            f"series must be a sequence of numbers, not of bytes (at index {at}); decode the "
            "text first"
        )
    try:
        return float(value)
    except (TypeError, ValueError) as exc:
        raise TypeError(
            f"series must be a sequence of numbers, not of {type(value).__name__} (at index "
            f"{at}: {exc})"
        ) from None
    except OverflowError:
        raise ValueError(
            f"series holds a number too large for a float at index {at} (the largest is about "
            "1.8e308); scale the series down first"
        ) from None


def _from_objects(items: list[Any]) -> NDArray[np.float64]:
    """Python objects as floats: numbers as they convert themselves, text as the command
    reads a column of a file (thousands separators, decimal commas, missing markers)."""
    texts = {i: v for i, v in enumerate(items) if isinstance(v, str)}
    values = [math.nan if i in texts else _number(v, i) for i, v in enumerate(items)]
    if texts:
        from vollan._readers import read_number_texts  # noqa: PLC0415 - only for text

        positions = list(texts)
        read = read_number_texts(
            list(texts.values()),
            lambda j: f"series at index {positions[j]}",
            "convert the text to numbers first, to say which mark is the decimal one",
        )
        for i, value in zip(positions, read, strict=True):
            if value is None:
                raise TypeError(
                    f"series must be a sequence of numbers; the text {texts[i]!r} at index {i} "
                    "is not one (pandas.to_numeric(series, errors='coerce') makes such text "
                    "missing values)"
                )
            values[i] = value
    return np.array(values, dtype=np.float64)


def _not_numbers(dtype: Any) -> TypeError:
    # numpy's and pandas' dtypes alike (a pandas Series of dates, with or without time zone).
    hint = ""
    if getattr(dtype, "kind", None) in ("M", "m"):
        hint = "; dates and times are labels: pass them as labels, and the values as series"
    return TypeError(f"series must be a sequence of numbers, not of {dtype}{hint}")


def _as_float_array(values: Any) -> NDArray[np.float64]:
    """``values`` as a one-dimensional float64 array, missing values as NaN."""
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"series must be a sequence of numbers: {exc}") from None
    if array.dtype.kind == "S":
        raise TypeError("series must be a sequence of numbers, not of bytes; decode the text first")
    if array.dtype.kind in "OU":  # Decimal or Fraction objects, None or pd.NA, text
        shape = array.shape
        array = _from_objects(array.ravel().tolist()).reshape(shape)
    if array.dtype.kind not in "biuf":
        raise _not_numbers(array.dtype)
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
        values: Any = _series_values(series)
    elif hasattr(series, "ndim"):  # a numpy array or another buffer
        if isinstance(series, np.matrix):  # always 2-D, even a column of it
            series = np.asarray(series)
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
    elif (
        _unordered(labels) is not None
        or isinstance(labels, str | bytes)
        or not (hasattr(labels, "__len__") and hasattr(labels, "__getitem__"))
    ):
        raise TypeError(
            "labels must be an ordered sequence (one label per value) or None, not "
            f"{type(labels).__name__}"
        )
    elif len(labels) != len(values):
        raise ValueError(f"labels has {len(labels)} entries but the series {len(values)}")
    return values, labels


def _series_values(series: Any) -> Any:
    """The values of a pandas Series, as numbers where pandas holds them as numbers."""
    dtype = series.dtype
    if getattr(dtype, "kind", None) in ("M", "m"):
        raise _not_numbers(dtype)
    numeric = ("b", "i", "u", "f")
    categories = getattr(dtype, "categories", None)
    if categories is not None and getattr(categories.dtype, "kind", None) not in numeric:
        shown = ", ".join(repr(c) for c in list(categories[:3]))
        more = ", ..." if len(categories) > 3 else ""
        raise TypeError(
            f"series must be a sequence of numbers, not a categorical of {categories.dtype} "
            f"({shown}{more}); pass series.cat.codes to scan the codes of its categories"
        )
    if categories is not None or getattr(dtype, "kind", None) in numeric:
        # Nullable dtypes (Float64, Int64) hold pd.NA; pandas 2 gives floats for it only with
        # na_value.
        return series.to_numpy(dtype=float, na_value=np.nan)
    # Text and other objects convert one by one, as those of a list do.
    return series.to_numpy()


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


def check_integer(
    name: str, value: object, least: int, *, or_none: str = "", largest: int = LARGEST_OPTION
) -> None:
    """Refuse a ``value`` that is not an integer from ``least`` to ``largest`` (2**64 - 1).

    Python and numpy integers count, booleans do not (as for ``n_changes``). ``or_none``, when
    given, says what None means: None is then accepted.
    """
    if or_none and value is None:
        return
    accepted = f"None ({or_none}) or an integer" if or_none else "an integer"
    number = _integer(value)
    if number is None:
        raise TypeError(f"{name} must be {accepted}, not {type(value).__name__}")
    if not least <= number <= largest:
        most = "2**64 - 1" if largest == LARGEST_OPTION else str(largest)
        raise ValueError(f"{name} must be {accepted} from {least} to {most}, got {number}")


def check_workers(workers: object) -> None:
    """Refuse a ``workers`` that is not None nor an integer from 0 (the shared pool, as None)
    to the most threads an engine pool holds."""
    check_integer("workers", workers, 0, or_none="the shared pool", largest=LARGEST_WORKERS)


def check_replicates(n_perm: object) -> None:
    """Refuse an ``n_perm`` that is not None nor an integer, or whose replicates of one
    threshold would not fit in this machine's memory (the engine holds them all at once)."""
    check_integer("n_perm", n_perm, 0, or_none="the default")
    too_many = replicates_beyond_memory(_integer(n_perm) or 0)
    if too_many:
        raise ValueError(
            f"n_perm={n_perm} replicates take {too_many}; pass a smaller n_perm, or None for "
            "the default"
        )


def replicates_beyond_memory(n_perm: int) -> str:
    """Words such as "128 EiB per threshold, more than this machine's 23.5 GiB of memory"
    when ``n_perm`` replicates cannot be held in memory, else ""."""
    needed = n_perm * REPLICATE_BYTES
    memory = physical_memory()
    if not memory or needed <= memory:
        return ""
    return f"{_bytes(needed)} per threshold, more than this machine's {_bytes(memory)} of memory"


def physical_memory() -> int | None:
    """This machine's memory in bytes, when the system says."""
    try:
        return int(os.sysconf("SC_PHYS_PAGES")) * int(os.sysconf("SC_PAGE_SIZE"))
    except (AttributeError, ValueError, OSError):
        return None


def _bytes(n: int) -> str:
    for unit, size in (("EiB", 2**60), ("PiB", 2**50), ("TiB", 2**40), ("GiB", 2**30)):
        if n >= size:
            return f"{n / size:.3g} {unit}"
    return f"{n / 2**20:.3g} MiB"


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
