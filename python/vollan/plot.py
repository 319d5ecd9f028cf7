"""Pictures of a detection (needs matplotlib: ``pip install 'vollan[plot]'``).

The figures are built with matplotlib's object interface, without pyplot, so they render on
machines without a display and leave pyplot's global state alone. Show one in a notebook by
leaving it as the last expression of a cell, or save it with ``path=``.

Series indexed by dates are drawn against their dates, with one set of ticks written by
matplotlib's ``ConciseDateFormatter``; other labels are written at integer positions. Known
change points (``true_changes=``) shade the true segments alternately, as ruptures' ``display``
does, beside the lines of the change points found.

Long series are drawn thinned: above 10^5 values, the first, smallest, largest and last value of
each run of values narrower than a pixel column (at 200 dpi), which lights the same pixels as
every value would, so that 10^7 values draw in under two seconds.
"""

from __future__ import annotations

import datetime as _dt
import math
import os
import textwrap
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, SupportsFloat

import numpy as np

try:
    from matplotlib import dates as mdates
    from matplotlib.backend_bases import FigureCanvasBase
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter, MaxNLocator
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("vollan.plot needs matplotlib: pip install 'vollan[plot]'") from exc

from vollan._display import as_float_array, label_text, p_text, thinned
from vollan.api import Detection

if TYPE_CHECKING:
    from matplotlib.artist import Artist
    from matplotlib.axes import Axes
    from numpy.typing import NDArray

__all__ = ["plot_detection", "plot_windows", "savable_format"]

_REPORTED = "tab:red"
_OTHER = "0.55"
_SERIES = "tab:blue"
_TRUE_SHADES = ("0.94", "#fdf5dc")
_WIDTH = 10.0  # inches
# Runs a long series is thinned to: about one per pixel column of the axes at 200 dpi.
_COLUMNS = int(_WIDTH * 200)
_TITLE_SIZE = 11.0


@dataclass(frozen=True)
class _Data:
    values: NDArray[np.float64]
    labels: Sequence[Any] | None
    x: NDArray[np.float64]  # where each value is drawn: its position, or its date
    dated: bool
    value_name: str | None
    label_name: str | None


def savable_format(path: str | os.PathLike[str]) -> str:
    """The file format matplotlib will write to ``path``: its suffix, or PNG without one.

    Raises
    ------
    ValueError
        When the suffix is not a format matplotlib writes.
    """
    suffix = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    if not suffix:
        return "png"
    known = FigureCanvasBase.get_supported_filetypes()
    if suffix not in known:
        raise ValueError(
            f"cannot save a plot as .{suffix}: matplotlib writes "
            + ", ".join(f".{k}" for k in sorted(known))
        )
    return suffix


def _save(fig: Figure, path: str | os.PathLike[str] | None) -> None:
    # The format is passed on, so that matplotlib writes exactly ``path`` (it would add
    # ".png" to a name without a suffix).
    if path is not None:
        fig.savefig(path, format=savable_format(path), dpi=110)


def _as_dates(labels: Sequence[Any]) -> NDArray[np.float64] | None:
    """Matplotlib's date numbers of ``labels`` when all are increasing dates, else None."""
    stamps = _datetime64(labels)
    if stamps is not None:
        if np.isnat(stamps).any():
            return None
        dated: Any = stamps
    elif len(labels) == 0 or not all(
        isinstance(v, _dt.date | np.datetime64) and v == v  # NaT is not equal to itself
        for v in labels
    ):
        return None
    else:
        dated = list(labels)
    try:
        x = np.asarray(mdates.date2num(dated), dtype=np.float64)  # type: ignore[no-untyped-call]
    except (TypeError, ValueError, OverflowError):
        return None
    if not np.isfinite(x).all() or (len(x) > 1 and not (np.diff(x) > 0).all()):
        return None
    return x


def _datetime64(labels: Any) -> NDArray[np.datetime64] | None:
    """Labels held as an array of datetime64 (a DatetimeIndex without its time zone, a numpy
    array), read without a Python object per label."""
    if getattr(getattr(labels, "dtype", None), "kind", None) != "M":
        return None
    return np.asarray(labels, dtype="datetime64[ns]")


def _data(
    series: Any,
    labels: Sequence[Any] | None,
    xlabel: str | None,
    ylabel: str | None,
) -> _Data:
    value_name = label_name = None
    if hasattr(series, "index") and hasattr(series, "to_numpy"):  # a pandas Series
        value_name = None if series.name is None else str(series.name)
        if labels is None:
            labels = series.index
            label_name = None if series.index.name is None else str(series.index.name)
    values = as_float_array(series)
    if labels is not None and len(labels) != len(values):
        raise ValueError(f"labels has {len(labels)} entries but the series {len(values)}")
    dates = None if labels is None else _as_dates(labels)
    if labels is not None and dates is None:
        labels = list(labels)
    return _Data(
        values,
        labels,
        np.arange(len(values), dtype=float) if dates is None else dates,
        dates is not None,
        ylabel if ylabel is not None else value_name,
        xlabel if xlabel is not None else label_name,
    )


def _label_axis(ax: Axes, data: _Data) -> None:
    """One set of ticks: concise dates, or integer positions written as their labels."""
    if data.dated:
        locator = mdates.AutoDateLocator()  # type: ignore[no-untyped-call]
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))  # type: ignore[no-untyped-call]
        return
    labels = data.labels
    if labels is None:
        ax.xaxis.set_major_locator(MaxNLocator(nbins=10, integer=True))
        # Positions in full (2,500,000), not as a multiple of an offset (2.5 and "1e6").
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _pos: f"{v:,.0f}"))
        return
    texts = [label_text(v) for v in labels]
    # As many ticks as labels of this length fit side by side, at most ten.
    longest = max((len(t) for t in texts), default=1)
    room = _WIDTH * 72 * 0.85
    ax.xaxis.set_major_locator(
        MaxNLocator(nbins=max(2, min(10, int(room / (6.5 * longest + 18)))), integer=True)
    )
    n = len(texts)

    def text(x: float, _pos: int) -> str:
        i = round(x)
        return texts[i] if 0 <= i < n and abs(x - i) < 1e-9 else ""

    ax.xaxis.set_major_formatter(FuncFormatter(text))


def _title(text: str) -> str:
    # Wrapped to the figure's width at the title's size (about 0.55 em per character).
    return textwrap.fill(text, width=int(_WIDTH * 72 / (0.55 * _TITLE_SIZE)) - 4)


def _true_positions(true_changes: Sequence[int] | None, n: int) -> list[int]:
    if true_changes is None:
        return []
    positions = []
    for c in true_changes:
        if isinstance(c, bool) or not isinstance(c, int | np.integer):
            raise TypeError(f"true_changes must be positions (integers), got {c!r}")
        if not 0 < int(c) <= n:
            raise ValueError(f"true change point {int(c)} is outside 1..{n}")
        positions.append(int(c))
    # The end of the series, which ruptures lists among the change points, bounds no segment.
    return sorted(set(positions) - {n})


def _shade_true_segments(axes: Sequence[Axes], data: _Data, changes: list[int]) -> None:
    n = len(data.values)
    bounds = [0, *changes, n]
    for k, (a, b) in enumerate(zip(bounds[:-1], bounds[1:], strict=True)):
        left, right = _edge(data, a), _edge(data, b)
        for ax in axes:
            ax.axvspan(left, right, color=_TRUE_SHADES[k % 2], lw=0, zorder=0)


def _edge(data: _Data, i: int) -> float:
    """The boundary before value ``i``: half way between its neighbours."""
    x, n = data.x, len(data.x)
    if n == 1:
        return float(x[0]) - 0.5 + i
    if i == 0:
        return float(x[0] - (x[1] - x[0]) / 2)
    if i == n:
        return float(x[-1] + (x[-1] - x[-2]) / 2)
    return float((x[i - 1] + x[i]) / 2)


def _headroom(ax: Axes, values: NDArray[np.float64], levels: int) -> float:
    """Keep the top of the axes free for ``levels`` rows of annotations; their height."""
    finite = values[np.isfinite(values)]
    lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    span = hi - lo if hi > lo else max(abs(hi), 1.0)
    row = 0.11
    free = 0.03 + row * levels
    total = span / (1.0 - free - 0.05)
    bottom = lo - 0.05 * total
    ax.set_ylim(bottom, bottom + total)
    return row


def _annotation_levels(fractions: Sequence[float]) -> list[int]:
    """Rows for annotations at these x fractions, so that neighbours do not overlap."""
    levels: list[int] = []
    last: dict[int, float] = {}
    for f in fractions:
        level = 0
        while level in last and f - last[level] < 0.11 and level < 2:
            level += 1
        last[level] = f
        levels.append(level)
    return levels


def _rule_words(detection: Detection) -> str:
    return f"reported: p-value, adjusted for its stage's share, at most alpha = {detection.alpha:g}"


def plot_detection(
    series: Sequence[SupportsFloat] | Any,
    detection: Detection,
    *,
    labels: Sequence[Any] | None = None,
    true_changes: Sequence[int] | None = None,
    title: str | None = None,
    xlabel: str | None = None,
    ylabel: str | None = None,
    path: str | os.PathLike[str] | None = None,
    leaders: bool = False,
) -> Figure:
    """The series with its changes, and the leaders' cumulative share of the vote beneath.

    Reported changes are red lines over their confidence interval, shaded, annotated above
    the data with their label, kind and p-value. Dashed black lines give the mean of each
    segment between reported changes, crosses the outliers left out of the scan. The lower
    panel is the cumulative share of the vote of the leaders along the series. A legend below
    explains every mark. Above 10^5 values the series is thinned to what its pixels show (see
    the module's notes).

    Parameters
    ----------
    series : sequence of float, numpy array or pandas Series
        The series that was passed to :func:`vollan.detect`; missing values leave gaps.
    detection : Detection
        Its result.
    labels : sequence, optional
        Labels of the values for the x axis; default the index of a pandas Series. Dates
        (``datetime``, ``numpy.datetime64``, pandas ``Timestamp``) that increase make a date
        axis; other labels are written at their positions.
    true_changes : sequence of int, optional
        Known change points (positions of the first value of each new segment; the length of
        the series may end the list, as in ruptures). The true segments are shaded
        alternately.
    title : str, optional
        Title of the figure, wrapped to its width; default a summary of the detection.
    xlabel, ylabel : str, optional
        Axis titles; default the name of the index and of a pandas Series.
    path : str or path-like, optional
        Where to save the figure, exactly at this path; the format follows the suffix (e.g.
        ``.png``, ``.svg``, ``.pdf``), PNG without one.
    leaders : bool
        Also draw the leaders of the vote that were not reported, as grey dotted lines (a
        long series has hundreds of them).

    Returns
    -------
    matplotlib.figure.Figure
        The figure, with two axes: the series and the cumulative share of the vote.

    Raises
    ------
    ValueError
        When the series and the detection differ in length, ``labels`` in length from the
        series, a true change point lies outside the series, or the suffix of ``path`` is not
        a format matplotlib writes.
    """
    data = _data(series, labels, xlabel, ylabel)
    values, x = data.values, data.x
    n = len(values)
    if n != detection.n_obs:
        raise ValueError(
            f"the series has {n} values but the detection was made on {detection.n_obs}"
        )
    truth = _true_positions(true_changes, n)
    if path is not None:
        savable_format(path)
    fig = Figure(figsize=(_WIDTH, 6.5), layout="constrained")
    ax, ax_cdf = fig.subplots(2, 1, sharex=True, height_ratios=(3, 1))
    handles: list[Artist] = []
    drawn_x, drawn, run = thinned(x, values, _COLUMNS)
    ax.plot(drawn_x, drawn, color=_SERIES, lw=1.0)
    name = data.value_name or "series"
    if run > 1:
        name += f" (smallest and largest of every {run} values)"
    handles.append(Line2D([], [], color=_SERIES, lw=1.0, label=name))

    bounds = [0, *detection.change_points, n]
    for a, b in zip(bounds[:-1], bounds[1:], strict=True):
        segment = values[a:b]
        finite = np.isfinite(segment)
        if finite.any():
            mean = float(np.mean(segment, where=finite))
            ax.hlines(mean, x[a], x[b - 1], colors="black", linestyles="--", lw=1.0)
    handles.append(
        Line2D([], [], color="black", ls="--", lw=1.0, label="mean between reported changes")
    )
    if detection.outliers:
        at = list(detection.outliers)
        ax.plot(x[at], values[at], "x", color="black", ms=6, mew=1.2)
        handles.append(
            Line2D([], [], color="black", marker="x", lw=0, label="outlier, left out of the scan")
        )

    reported = detection.changes
    lo_x, hi_x = float(x[0]) - 0.5, float(x[-1]) + 0.5
    if data.dated and n > 1:
        lo_x, hi_x = _edge(data, 0), _edge(data, n)
    fractions = [(float(x[r.index]) - lo_x) / (hi_x - lo_x) for r in reported]
    levels = _annotation_levels(fractions)
    # The thinned values keep every run's extremes: the same range, without a pass over all.
    row = _headroom(ax, drawn, max(levels, default=-1) + 1)
    others = [leader for leader in detection.leaders if not leader.reported] if leaders else []
    if others:
        # One collection, not a line each: a long series has thousands of leaders.
        ax.vlines(
            [x[leader.index] for leader in others],
            0.0,
            1.0,
            transform=ax.get_xaxis_transform(),
            colors=_OTHER,
            lw=0.8,
            linestyles=":",
        )
    for change, f, level in zip(reported, fractions, levels, strict=True):
        lo, hi = change.interval
        ax.axvspan(_edge(data, lo), _edge(data, hi + 1), color=_REPORTED, alpha=0.15, lw=0)
        ax.axvline(x[change.index], color=_REPORTED, lw=2.0)
        right = f > 0.85
        words = change.kind
        if math.isfinite(change.p_value):
            p = p_text(change.p_value)
            words += f", p {p}" if p.startswith("<") else f", p = {p}"
        ax.annotate(
            f"{label_text(change.label)}\n{words}",
            xy=(x[change.index], 0.985 - row * level),
            xycoords=ax.get_xaxis_transform(),
            xytext=(-4 if right else 4, 0),
            textcoords="offset points",
            ha="right" if right else "left",
            va="top",
            color=_REPORTED,
            fontsize=9,
        )
    if reported:
        handles.append(
            Line2D(
                [],
                [],
                color=_REPORTED,
                lw=2.5,
                marker="o",
                ms=4,
                label="reported change (kind, p-value), its interval shaded",
            )
        )
    if others:
        handles.append(
            Line2D(
                [],
                [],
                color=_OTHER,
                lw=1.0,
                ls=":",
                marker="o",
                ms=4,
                label="leader of the vote, not reported",
            )
        )
    if truth or true_changes is not None:
        _shade_true_segments([ax, ax_cdf], data, truth)
        handles.append(Patch(color=_TRUE_SHADES[1], label="true segments (shaded alternately)"))
    ax.set_ylabel(data.value_name or "value")
    if title is None:
        count = len(detection.change_points)
        sizes = detection.window_sizes
        title = (
            f"{count} change point{'s' if count != 1 else ''} in {n:,} values, window sizes "
            f"{sizes[0]}..{sizes[-1]}\n" + _title(f"({_rule_words(detection)})")
        )
    else:
        title = _title(title)
    ax.set_title(title, fontsize=_TITLE_SIZE)

    xs = [x[0]] + [x[i] for i, _ in detection.cdf] + [x[-1]]
    ys = [0.0] + [c for _, c in detection.cdf]
    ys.append(ys[-1])
    ax_cdf.step(xs, ys, where="post", color="black", lw=1.2)
    # The cumulative share steps at the scan's leaders, where the vote saw them; a reported one
    # may since have been placed a little apart, and the stages after the vote add no step.
    voted = [leader for leader in detection.leaders if leader.stage == "vote"]
    points = [
        (x[i], c, leader.reported)
        for leader, (i, c) in zip(voted, detection.cdf, strict=True)
        if leader.reported or leaders
    ]
    for colour, flag in ((_OTHER, False), (_REPORTED, True)):
        marks = [(px, c) for px, c, r in points if r == flag]
        if marks:
            ax_cdf.plot(*zip(*marks, strict=True), "o", color=colour, ms=4, lw=0)
    handles.append(
        Line2D([], [], color="black", lw=1.2, label="cumulative vote share of the leaders")
    )
    ax_cdf.set_ylim(-0.05, 1.05)
    ax_cdf.set_ylabel("cumulative\nvote share")
    ax_cdf.set_xlim(lo_x, hi_x)
    ax_cdf.set_xlabel(data.label_name or ("position" if data.labels is None else ""))
    _label_axis(ax_cdf, data)
    fig.legend(handles=handles, loc="outside lower center", fontsize=8, frameon=False, ncols=3)
    _save(fig, path)
    return fig


def _spread(sizes: Sequence[int], k: int) -> list[int]:
    if len(sizes) <= k:
        return list(sizes)
    picks = {sizes[round(j * (len(sizes) - 1) / (k - 1))] for j in range(k)}
    return sorted(picks)


def plot_windows(
    series: Sequence[SupportsFloat] | Any,
    detection: Detection,
    *,
    window_sizes: Sequence[int] | None = None,
    labels: Sequence[Any] | None = None,
    true_changes: Sequence[int] | None = None,
    xlabel: str | None = None,
    ylabel: str | None = None,
    path: str | os.PathLike[str] | None = None,
) -> Figure:
    """Per window size: the statistic at each boundary against its bootstrap threshold.

    The top panel shows the series. Below it, one panel per window size plots the
    Wasserstein distance between the two windows at each boundary and the threshold in force
    there; the localised regions (where the distance crossed the threshold) are shaded and
    the window's change points marked.

    Parameters
    ----------
    series : sequence of float, numpy array or pandas Series
        The series that was passed to :func:`vollan.detect`.
    detection : Detection
        Its result.
    window_sizes : sequence of int, optional
        Which window sizes to show; default at most four, spread over those scanned.
    labels : sequence, optional
        Labels of the values for the x axis; default the index of a pandas Series.
    true_changes : sequence of int, optional
        Known change points; the true segments of the series are shaded alternately.
    xlabel, ylabel : str, optional
        Axis titles of the series; default the name of the index and of a pandas Series.
    path : str or path-like, optional
        Where to save the figure, exactly at this path (PNG without a suffix).

    Returns
    -------
    matplotlib.figure.Figure
        The figure, with one axes for the series and one per window size.
    """
    data = _data(series, labels, xlabel, ylabel)
    values, x = data.values, data.x
    n = len(values)
    if n != detection.n_obs:
        raise ValueError(
            f"the series has {n} values but the detection was made on {detection.n_obs}"
        )
    truth = _true_positions(true_changes, n)
    if path is not None:
        savable_format(path)
    results = detection.raw["window_results"]
    sizes = _spread(detection.window_sizes, 4) if window_sizes is None else list(window_sizes)
    missing = [w for w in sizes if w not in results]
    if missing:
        raise ValueError(f"window sizes {missing} were not scanned; choose among {sorted(results)}")
    fig = Figure(figsize=(_WIDTH, 2.3 + 1.8 * len(sizes)), layout="constrained")
    axes = fig.subplots(len(sizes) + 1, 1, sharex=True, squeeze=False)[:, 0]
    axes[0].plot(*thinned(x, values, _COLUMNS)[:2], color=_SERIES, lw=1.0)
    for c in detection.change_points:
        axes[0].axvline(x[c], color=_REPORTED, lw=1.5)
    if truth or true_changes is not None:
        _shade_true_segments([axes[0]], data, truth)
    axes[0].set_ylabel(data.value_name or "value")
    axes[0].set_title(
        _title("statistic of adjacent windows against the bootstrap threshold"),
        fontsize=_TITLE_SIZE,
    )
    # The scan ran on the values in detect's units (see Detection.scale); distances and
    # thresholds scale with the values, so they are drawn in the series' own units.
    unit = 1.0 / detection.scale
    for ax, w in zip(axes[1:], sizes, strict=True):
        res = results[w]
        boundaries = [s + w for s in res["starts"]]
        statistics = [v * unit for v in res["statistics"]]
        thresholds = [v * unit for v in res["tapered_block_bootstrap_threshold"]]
        for a, b in res["localized_regions"]:
            ax.axvspan(x[a], x[b - 1], color="tab:orange", alpha=0.2, lw=0)
        ax.plot(x[boundaries], statistics, "o-", color=_SERIES, ms=3, lw=1.0)
        ax.step(
            x[boundaries],
            thresholds,
            where="mid",
            color="black",
            ls="--",
            lw=1.0,
        )
        flagged = [
            (x[b], s) for b, s, t in zip(boundaries, statistics, thresholds, strict=True) if s > t
        ]
        if flagged:
            ax.plot(*zip(*flagged, strict=True), "o", color=_REPORTED, ms=5)
        for c in res["change_points"]:
            ax.axvline(x[c], color=_REPORTED, lw=1.0)
        ax.set_ylabel(f"w = {w}")
    handles: list[Artist] = [
        Line2D([], [], color=_SERIES, lw=1.0, label=data.value_name or "series"),
        Line2D([], [], color=_REPORTED, lw=1.5, label="change point"),
        Line2D([], [], color=_SERIES, marker="o", ms=3, lw=1.0, label="statistic"),
        Line2D([], [], color="black", ls="--", lw=1.0, label="threshold"),
        Line2D([], [], color=_REPORTED, marker="o", ms=5, lw=0, label="flagged"),
        Patch(color="tab:orange", alpha=0.2, label="localised region"),
    ]
    if truth or true_changes is not None:
        handles.append(Patch(color=_TRUE_SHADES[1], label="true segments (shaded alternately)"))
    fig.legend(handles=handles, loc="outside lower center", fontsize=8, frameon=False, ncols=4)
    if data.dated and n > 1:
        axes[-1].set_xlim(_edge(data, 0), _edge(data, n))
    else:
        axes[-1].set_xlim(-0.5, n - 0.5)
    axes[-1].set_xlabel(data.label_name or ("position" if data.labels is None else ""))
    _label_axis(axes[-1], data)
    _save(fig, path)
    return fig
