"""Pictures of a detection (needs matplotlib: ``pip install 'vollan[plot]'``).

The figures are built with matplotlib's object interface, without pyplot, so they render on
machines without a display and leave pyplot's global state alone. Show one in a notebook by
leaving it as the last expression of a cell, or save it with ``path=``.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, SupportsFloat

try:
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter, MaxNLocator
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("vollan.plot needs matplotlib: pip install 'vollan[plot]'") from exc

from vollan.api import Detection

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["plot_detection", "plot_windows"]

_REPORTED = "tab:red"
_OTHER = "0.55"
_SERIES = "tab:blue"


def _values_and_labels(
    series: Any, labels: Sequence[Any] | None
) -> tuple[list[float], list[Any] | None]:
    if labels is None and hasattr(series, "index") and hasattr(series, "to_numpy"):
        labels = list(series.index)
        series = series.to_numpy(dtype=float)
    values = [float(v) for v in series]
    if labels is not None and len(labels) != len(values):
        raise ValueError(f"labels has {len(labels)} entries but the series {len(values)}")
    return values, None if labels is None else list(labels)


def _label_axis(ax: Axes, labels: list[Any] | None) -> None:
    """Ticks at integer positions, written as the labels of those positions."""
    ax.xaxis.set_major_locator(MaxNLocator(nbins=10, integer=True))
    if labels is None:
        return
    n = len(labels)

    def text(x: float, _pos: int) -> str:
        i = round(x)
        return str(labels[i]) if 0 <= i < n else ""

    ax.xaxis.set_major_formatter(FuncFormatter(text))


def _save(fig: Figure, path: str | os.PathLike[str] | None) -> None:
    if path is not None:
        fig.savefig(path, dpi=110)


def plot_detection(
    series: Sequence[SupportsFloat] | Any,
    detection: Detection,
    *,
    labels: Sequence[Any] | None = None,
    title: str | None = None,
    path: str | os.PathLike[str] | None = None,
) -> Figure:
    """The series with its change points, and the leaders' cumulative probability beneath.

    Reported change points are red lines whose width grows with their probability, annotated
    with their label and probability; the other leaders are thin grey dashes. Dashed black
    lines give the mean of each segment between reported change points. The lower panel is
    the CDF of all leaders along the series.

    Parameters
    ----------
    series : sequence of float, numpy array or pandas Series
        The series that was passed to :func:`vollan.detect`.
    detection : Detection
        Its result.
    labels : sequence, optional
        Labels of the values for the x axis; default the index of a pandas Series, else the
        labels stored in ``detection``'s leaders are used for annotations only.
    title : str, optional
        Title of the figure; default a summary of the detection.
    path : str or path-like, optional
        Where to save the figure (the format follows the suffix, e.g. ``.png`` or ``.svg``).

    Returns
    -------
    matplotlib.figure.Figure
        The figure, with two axes: the series and the CDF.
    """
    values, labels = _values_and_labels(series, labels)
    n = len(values)
    if n != detection.n_obs:
        raise ValueError(
            f"the series has {n} values but the detection was made on {detection.n_obs}"
        )
    fig = Figure(figsize=(10, 6), layout="constrained")
    ax, ax_cdf = fig.subplots(2, 1, sharex=True, height_ratios=(3, 1))
    ax.plot(range(n), values, color=_SERIES, lw=1.0, label="series")

    bounds = [0, *detection.change_points, n]
    for a, b in zip(bounds[:-1], bounds[1:], strict=True):
        mean = sum(values[a:b]) / (b - a)
        ax.hlines(mean, a, b - 1, colors="black", linestyles="--", lw=1.0)

    top = max(values)
    for leader in detection.leaders:
        if leader.reported:
            ax.axvline(leader.index, color=_REPORTED, lw=1.0 + 3.0 * leader.probability)
            ax.annotate(
                f"{leader.label}\np = {leader.probability:.2f}",
                xy=(leader.index, top),
                xytext=(4, -2),
                textcoords="offset points",
                va="top",
                color=_REPORTED,
                fontsize=9,
            )
        else:
            ax.axvline(leader.index, color=_OTHER, lw=0.8, ls=":")
    ax.set_ylabel("value")
    if title is None:
        count = len(detection.change_points)
        sizes = detection.window_sizes
        title = (
            f"{count} change point{'s' if count != 1 else ''} in {n} values "
            f"(window sizes {sizes[0]}..{sizes[-1]}; red: voted for by at least "
            f"{detection.min_score:.0%} of them"
            + (
                ", contrast beyond its critical value)"
                if detection.min_contrast == "auto"
                else f", contrast above {detection.min_contrast:g} MADs)"
                if detection.min_contrast is not None
                else ")"
            )
        )
    ax.set_title(title, fontsize=11)

    xs = [0] + [i for i, _ in detection.cdf] + [n - 1]
    ys = [0.0] + [c for _, c in detection.cdf]
    ys.append(ys[-1])
    ax_cdf.step(xs, ys, where="post", color="black", lw=1.2)
    for leader, (_i, c) in zip(detection.leaders, detection.cdf, strict=True):
        colour = _REPORTED if leader.reported else _OTHER
        ax_cdf.plot([leader.index], [c], "o", color=colour, ms=4)
    ax_cdf.set_ylim(-0.05, 1.05)
    ax_cdf.set_ylabel("CDF of leaders")
    ax_cdf.set_xlim(-0.5, n - 0.5)
    _label_axis(ax_cdf, labels)
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
    path : str or path-like, optional
        Where to save the figure.

    Returns
    -------
    matplotlib.figure.Figure
        The figure, with one axes for the series and one per window size.
    """
    values, labels = _values_and_labels(series, labels)
    n = len(values)
    if n != detection.n_obs:
        raise ValueError(
            f"the series has {n} values but the detection was made on {detection.n_obs}"
        )
    results = detection.raw["window_results"]
    sizes = _spread(detection.window_sizes, 4) if window_sizes is None else list(window_sizes)
    missing = [w for w in sizes if w not in results]
    if missing:
        raise ValueError(f"window sizes {missing} were not scanned; choose among {sorted(results)}")
    fig = Figure(figsize=(10, 2.0 + 1.8 * len(sizes)), layout="constrained")
    axes = fig.subplots(len(sizes) + 1, 1, sharex=True, squeeze=False)[:, 0]
    axes[0].plot(range(n), values, color=_SERIES, lw=1.0)
    for c in detection.change_points:
        axes[0].axvline(c, color=_REPORTED, lw=1.5)
    axes[0].set_ylabel("value")
    axes[0].set_title("statistic of adjacent windows against the bootstrap threshold", fontsize=11)
    for ax, w in zip(axes[1:], sizes, strict=True):
        res = results[w]
        boundaries = [s + w for s in res["starts"]]
        for a, b in res["localized_regions"]:
            ax.axvspan(a, b - 1, color="tab:orange", alpha=0.2, lw=0)
        ax.plot(boundaries, res["statistics"], "o-", color=_SERIES, ms=3, lw=1.0)
        ax.step(
            boundaries,
            res["tapered_block_bootstrap_threshold"],
            where="mid",
            color="black",
            ls="--",
            lw=1.0,
        )
        flagged = [
            (x, s)
            for x, s, t in zip(
                boundaries, res["statistics"], res["tapered_block_bootstrap_threshold"], strict=True
            )
            if s > t
        ]
        if flagged:
            ax.plot(*zip(*flagged, strict=True), "o", color=_REPORTED, ms=5)
        for c in res["change_points"]:
            ax.axvline(c, color=_REPORTED, lw=1.0)
        ax.set_ylabel(f"w = {w}")
    handles = [
        Line2D([], [], color=_SERIES, marker="o", ms=3, lw=1.0, label="statistic"),
        Line2D([], [], color="black", ls="--", lw=1.0, label="threshold"),
        Line2D([], [], color=_REPORTED, marker="o", ms=5, lw=0, label="flagged"),
        Patch(color="tab:orange", alpha=0.2, label="localised region"),
    ]
    fig.legend(handles=handles, loc="outside lower center", fontsize=8, frameon=False, ncols=4)
    axes[-1].set_xlim(-0.5, n - 0.5)
    _label_axis(axes[-1], labels)
    _save(fig, path)
    return fig
