"""Several series side by side: a 2-D array or a pandas DataFrame, detected one column at a
time, as :func:`vollan.detect_many` does for a list of series."""

from __future__ import annotations

from collections.abc import Hashable
from typing import TYPE_CHECKING, Any, Protocol, overload

if TYPE_CHECKING:
    from vollan._result import Detection


class _Frame(Protocol):
    """What :func:`detect_columns` reads of a pandas DataFrame."""

    @property
    def columns(self) -> Any: ...
    @property
    def iloc(self) -> Any: ...


def is_table(series: Any) -> bool:
    """Whether ``series`` holds columns: a pandas DataFrame or a two-dimensional array."""
    return getattr(series, "ndim", None) == 2 and hasattr(series, "shape")


def _is_frame(table: Any) -> bool:
    return hasattr(table, "columns") and hasattr(table, "iloc")


def columns(table: Any) -> list[tuple[Hashable, Any]]:
    """The columns of ``table`` with their names (positions for an array), in order.

    A DataFrame's columns are pandas Series, so their index labels the change points.

    Raises
    ------
    ValueError
        For a DataFrame with two columns of the same name.
    """
    if _is_frame(table):
        names = list(table.columns)
        if len(set(names)) != len(names):
            raise ValueError(
                f"a DataFrame passed as series must have distinct column names, got {names!r}"
            )
        return [(name, table.iloc[:, j]) for j, name in enumerate(names)]
    return [(j, table[:, j]) for j in range(table.shape[1])]


@overload
def detect_columns(table: _Frame, **options: Any) -> dict[Hashable, Detection]: ...
@overload
def detect_columns(table: Any, **options: Any) -> list[Detection]: ...
def detect_columns(table: Any, **options: Any) -> Any:
    """Run :func:`vollan.detect` on each column of a 2-D array or of a pandas DataFrame.

    :func:`vollan.detect` takes one series and refuses two dimensions; this is its form for
    several series side by side, as :func:`vollan.detect_many` is for a list of them.

    Parameters
    ----------
    table : 2-D numpy array or pandas DataFrame
        One series per column (shape ``(n, k)``); a DataFrame's index labels the change
        points, as a pandas Series' index does for :func:`vollan.detect`. Missing values
        (NaN, masked entries) are handled per column as ``nan_policy`` says.
    **options
        Keyword arguments of :func:`vollan.detect`, the same for every column.

    Returns
    -------
    list of Detection or dict of Detection
        For an array, a list with one result per column, in order (an ``(n, 1)`` array gives a
        list of one); for a DataFrame, a dict keyed by column name, in column order. Each
        equals what :func:`vollan.detect` returns for that column alone.

    Raises
    ------
    ValueError
        For a table that is not two-dimensional, a DataFrame with repeated column names, and
        as :func:`vollan.detect` for the first column that fails.
    TypeError
        For a table that is neither an array nor a DataFrame (a list of rows, say), and as
        :func:`vollan.detect`.

    Examples
    --------
    >>> import numpy as np, vollan
    >>> rng = np.random.default_rng(0)
    >>> levels = np.column_stack([np.repeat([0.0, 8.0], 150), np.repeat([0.0, -8.0], [100, 200])])
    >>> [found.change_points for found in vollan.detect_columns(levels + rng.normal(size=(300, 2)))]
    [(150,), (100,)]
    """
    from vollan.api import detect  # noqa: PLC0415 - the api imports this module's callers

    if not is_table(table):
        if not hasattr(table, "shape"):
            raise TypeError(
                "table must be a 2-D numpy array or a pandas DataFrame (one series per "
                f"column), not {type(table).__name__}; pass numpy.asarray(table) for rows of "
                "values, or a list of series to vollan.detect_many"
            )
        raise ValueError(
            "table must be two-dimensional (one series per column), got shape "
            f"{table.shape}; pass a single series to vollan.detect"
        )
    found = [(name, detect(column, **options)) for name, column in columns(table)]
    if _is_frame(table):
        return dict(found)
    return [result for _, result in found]
