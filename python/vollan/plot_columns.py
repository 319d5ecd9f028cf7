"""Several series and their change points, one panel per column, stacked on a shared axis
(needs matplotlib: ``pip install 'vollan[plot]'``).

The picture of a 2-D array or a DataFrame passed to :func:`vollan.detect_columns`; built, like
:mod:`vollan.plot`, without pyplot, and drawn as it is: against a DataFrame's dates, long
columns thinned to what their pixels show.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any

try:
    from matplotlib.artist import Artist
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("vollan.plot_columns needs matplotlib: pip install 'vollan[plot]'") from exc


from vollan._columns import columns, is_table
from vollan._display import thinned
from vollan._result import Detection
from vollan.plot import _COLUMNS, _REPORTED, _SERIES, _data, _edge, _label_axis, _save

__all__ = ["plot_columns"]


def plot_columns(
    table: Any,
    detections: Sequence[Detection] | Mapping[Any, Detection],
    *,
    title: str | None = None,
    path: str | os.PathLike[str] | None = None,
) -> Figure:
    """Each column of ``table`` in a panel of its own, its changes as red lines over their
    shaded intervals, with a legend below. A DataFrame indexed by increasing dates is drawn
    against its dates.

    Parameters
    ----------
    table : 2-D numpy array or pandas DataFrame
        The series that were passed to :func:`vollan.detect_columns`, one per column.
    detections : list or dict of Detection
        Its result: a list (one per column of an array) or a dict keyed by column name (for
        a DataFrame).
    title : str, optional
        Title of the figure; default the number of change points of each column.
    path : str or path-like, optional
        Where to save the figure (the format follows the suffix).

    Returns
    -------
    matplotlib.figure.Figure
        The figure, with one axis per column, sharing the x axis.

    Raises
    ------
    ValueError
        For a table that is not two-dimensional, or results that do not match its columns.

    Examples
    --------
    >>> import numpy as np, vollan
    >>> from vollan.plot_columns import plot_columns
    >>> x = np.column_stack([np.r_[np.zeros(100), np.ones(100)], np.zeros(200)])
    >>> found = vollan.detect_columns(x + np.random.default_rng(0).normal(0, 0.1, x.shape))
    >>> fig = plot_columns(x, found)
    >>> len(fig.axes)
    2
    """
    if not is_table(table):
        raise ValueError(
            f"table must be two-dimensional, got shape {getattr(table, 'shape', None)}"
        )
    named = columns(table)
    if isinstance(detections, Mapping):
        if list(detections) != [name for name, _ in named]:
            raise ValueError(
                f"detections are keyed {list(detections)!r} but the columns are "
                f"{[name for name, _ in named]!r}"
            )
        found = list(detections.values())
    else:
        found = list(detections)
        if len(found) != len(named):
            raise ValueError(f"{len(found)} detections for {len(named)} columns")
    fig = Figure(figsize=(10, 1.6 + 1.6 * max(len(named), 1)), layout="constrained")
    axes = fig.subplots(max(len(named), 1), 1, sharex=True, squeeze=False)[:, 0]
    longest = 1
    data = None
    for ax, (name, column), detection in zip(axes, named, found, strict=False):
        data = _data(column, None, None, None)
        if len(data.values) != detection.n_obs:
            raise ValueError(
                f"column {name!r} has {len(data.values)} values but its detection was made on "
                f"{detection.n_obs}"
            )
        x, values, run = thinned(data.x, data.values, _COLUMNS)
        longest = max(longest, run)
        ax.plot(x, values, color=_SERIES, lw=1.0)
        for change in detection.changes:
            lo, hi = change.interval
            ax.axvspan(_edge(data, lo), _edge(data, hi + 1), color=_REPORTED, alpha=0.15, lw=0)
            ax.axvline(data.x[change.index], color=_REPORTED, lw=1.5)
        ax.set_ylabel(str(name))
    if title is None:
        counts = ", ".join(
            f"{name}: {len(d.change_points)}" for (name, _), d in zip(named, found, strict=True)
        )
        title = f"change points per column ({counts})"
    axes[0].set_title(title, fontsize=11)
    if data is not None:
        _label_axis(axes[-1], data)
        axes[-1].set_xlabel(data.label_name or ("" if data.dated else "position"))
    handles: list[Artist] = [
        Line2D(
            [],
            [],
            color=_SERIES,
            lw=1.0,
            label="values" if longest == 1 else f"smallest and largest of every {longest} values",
        ),
        Line2D([], [], color=_REPORTED, lw=1.5, label="reported change"),
        Patch(color=_REPORTED, alpha=0.15, label="its confidence interval"),
    ]
    fig.legend(handles=handles, loc="outside lower center", fontsize=8, frameon=False, ncols=3)
    _save(fig, path)
    return fig
