"""A page to zoom into: the series, its changes and the options of the run, in one HTML file
(needs plotly: ``pip install 'vollan[report]'``).

The page holds everything it needs, plotly's script included, so that it opens offline and
can be mailed. A long series stays light: above 10^5 values it keeps the first, smallest,
largest and last value of each of a few thousand runs (what a screen's pixels show), and
every value around each change, where zooming in matters.
"""

from __future__ import annotations

import datetime as _dt
import html
import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

try:
    import plotly.graph_objects as go  # type: ignore[import-untyped, unused-ignore]
    import plotly.io as pio  # type: ignore[import-untyped, unused-ignore]
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("vollan.report needs plotly: pip install 'vollan[report]'") from exc

from vollan._display import (
    DECIMATE_ABOVE,
    as_float_array,
    html_table,
    label_text,
    m4,
    p_text,
    size_text,
)

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan._result import Change, Detection

__all__ = ["report_html", "write_report"]

_RUNS = 4000  # runs a long series is thinned to
_AROUND = 500  # values kept on each side of a change's interval, every one of them
_RED = "#d62728"
_BLUE = "#1f77b4"

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 1.5em auto; max-width: 72em; color: #222; }
h1 { font-size: 1.35em; } h2 { font-size: 1.1em; margin-top: 1.6em; }
table { border-collapse: collapse; font-size: 0.92em; }
th, td { border-bottom: 1px solid #ddd; padding: 0.25em 0.8em; text-align: right; }
th { background: #f4f4f4; } td:first-child, th:first-child { text-align: left; }
.note { color: #555; font-size: 0.9em; }
"""


def _values_and_labels(
    series: Any, labels: Sequence[Any] | None
) -> tuple[NDArray[np.float64], Any, str | None]:
    name = None
    if hasattr(series, "index") and hasattr(series, "to_numpy"):  # a pandas Series
        name = None if series.name is None else str(series.name)
        if labels is None:
            labels = series.index
    values = as_float_array(series)
    if labels is not None and len(labels) != len(values):
        raise ValueError(f"labels has {len(labels)} entries but the series {len(values)}")
    return values, labels, name


def _dates(labels: Any) -> NDArray[np.datetime64] | None:
    """``labels`` as datetime64 when they are all dates, else None."""
    if labels is None or len(labels) == 0:
        return None
    if getattr(getattr(labels, "dtype", None), "kind", None) == "M":
        stamps = np.asarray(labels, dtype="datetime64[ns]")
    elif all(isinstance(v, _dt.date | np.datetime64) for v in labels):
        try:
            stamps = np.array(
                [v.replace(tzinfo=None) if isinstance(v, _dt.datetime) else v for v in labels],
                dtype="datetime64[ns]",
            )
        except (TypeError, ValueError, OverflowError):
            return None
    else:
        return None
    return None if np.isnat(stamps).any() else stamps


def _shown_positions(n: int, values: NDArray[np.float64], changes: Sequence[Change]) -> Any:
    """Positions drawn: all of a short series; of a long one, its thinned runs and every
    value near a change."""
    if n <= DECIMATE_ABOVE:
        return np.arange(n)
    positions, _ = m4(np.arange(n), values, _RUNS)
    near = [
        np.arange(max(0, c.interval[0] - _AROUND), min(n, c.interval[1] + _AROUND + 1))
        for c in changes
    ]
    return np.union1d(positions, np.concatenate(near)) if near else positions


def _hover(change: Change) -> str:
    lo, hi = change.interval
    return (
        f"<b>{html.escape(change.kind)}</b> at {html.escape(label_text(change.label))} "
        f"(index {change.index})<br>p-value {p_text(change.p_value)}<br>"
        f"size {html.escape(size_text(change))}<br>"
        f"{change.level:.0%} interval {lo}-{hi}<br>found by {html.escape(change.stage)}"
    )


def _figure(
    values: NDArray[np.float64],
    labels: Any,
    name: str | None,
    detection: Detection,
    changes: Sequence[Change],
) -> go.Figure:
    n = len(values)
    shown = _shown_positions(n, values, changes)
    dates = _dates(labels)
    x: Any = np.arange(n) if dates is None else dates
    thinned = len(shown) < n
    series_name = name or "series"
    if thinned:
        series_name += " (thinned away from the changes)"
    trace: dict[str, Any] = {
        "x": x[shown],
        "y": values[shown],
        "mode": "lines",
        "name": series_name,
        "line": {"color": _BLUE, "width": 1},
    }
    if labels is not None and dates is None:
        trace["text"] = [label_text(labels[i]) for i in shown.tolist()]
        trace["hovertemplate"] = "%{text}: %{y}<extra></extra>"
    fig = go.Figure(go.Scatter(**trace))
    finite = values[np.isfinite(values)]
    top = float(finite.max()) if finite.size else 1.0
    bottom = float(finite.min()) if finite.size else 0.0
    mark = top + 0.04 * ((top - bottom) or 1.0)

    def at(i: int) -> Any:
        return i if dates is None else str(dates[i])

    def edge(i: int, side: int) -> Any:
        """Half way from value ``i`` to its neighbour on ``side`` (-1 or 1); at an end of the
        series, half its inner step outwards."""
        if dates is None:
            return i + side / 2
        j = i + side if 0 <= i + side < n else i - side
        if not 0 <= j < n:
            return str(dates[i])
        half = (dates[j] - dates[i]) / 2
        return str(dates[i] + (half if j == i + side else -half))

    for c in changes:
        lo, hi = c.interval
        fig.add_vrect(
            x0=edge(lo, -1),
            x1=edge(hi, 1),
            fillcolor=_RED,
            opacity=0.15,
            line_width=0,
            layer="below",
        )
        fig.add_vline(x=at(c.index), line_color=_RED, line_width=1.5)
    if changes:
        fig.add_trace(
            go.Scatter(
                x=[at(c.index) for c in changes],
                y=[mark] * len(changes),
                mode="markers",
                name="changes (hover for kind, p-value, size)",
                uid="changes",
                marker={"symbol": "triangle-down", "size": 13, "color": _RED},
                hovertext=[_hover(c) for c in changes],
                hoverinfo="text",
            )
        )
    if detection.outliers:
        outliers = list(detection.outliers)
        fig.add_trace(
            go.Scatter(
                x=x[outliers],
                y=values[outliers],
                mode="markers",
                name="outliers, left out of the scan",
                marker={"symbol": "x", "size": 7, "color": "black"},
            )
        )
    fig.update_layout(
        height=520,
        margin={"l": 60, "r": 20, "t": 30, "b": 40},
        legend={"orientation": "h", "y": -0.12},
        hovermode="closest",
        template="plotly_white",
        xaxis_title="position" if labels is None else None,
        yaxis_title=name,
    )
    return fig


def _option_rows(detection: Detection, options: Mapping[str, Any] | None) -> list[tuple[str, str]]:
    sizes = detection.window_sizes
    rows = [(str(k), str(v)) for k, v in (options or {}).items() if v is not None]
    rows += [
        ("values", f"{detection.n_obs:,} ({detection.n_scanned:,} scanned)"),
        ("missing values left out", str(detection.n_omitted)),
        ("outliers left out", str(len(detection.outliers))),
        ("window sizes", f"{sizes[0]}..{sizes[-1]} ({len(sizes)} sizes)" if sizes else "none"),
        ("bootstrap replicates", str(detection.n_perm)),
        ("min_score", f"{detection.min_score:g}"),
        ("min_contrast", str(detection.min_contrast)),
    ]
    if detection.trend is not None:
        rows.append(
            ("line removed (level, slope)", f"{detection.trend[0]:g}, {detection.trend[1]:g}")
        )
    if detection.period is not None:
        rows.append(("period", str(detection.period)))
    if detection.note:
        rows.append(("note", detection.note))
    return rows


def report_html(
    series: Sequence[Any] | Any,
    detection: Detection,
    *,
    labels: Sequence[Any] | None = None,
    title: str | None = None,
    options: Mapping[str, Any] | None = None,
) -> str:
    """The page of :func:`write_report`, as text."""
    values, labels, name = _values_and_labels(series, labels)
    if len(values) != detection.n_obs:
        raise ValueError(
            f"the series has {len(values)} values but the detection was made on {detection.n_obs}"
        )
    changes = detection.changes
    fig = _figure(values, labels, name, detection, changes)
    chart = pio.to_html(
        fig,
        full_html=False,
        include_plotlyjs=True,
        div_id="vollan-chart",
        config={"scrollZoom": True, "displaylogo": False},
    )
    count = len(changes)
    heading = title or f"{count} change{'' if count == 1 else 's'} in {detection.n_obs:,} values"
    options_table = "\n".join(
        f"<tr><td>{html.escape(k)}</td><td>{html.escape(v)}</td></tr>"
        for k, v in _option_rows(detection, options)
    )
    described = "\n".join(f"<li>{html.escape(c.describe())}</li>" for c in changes)
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{html.escape(heading)}</title>
<style>{_STYLE}</style>
</head>
<body>
<h1>{html.escape(heading)}</h1>
<p class="note">Drag to zoom, double-click to zoom out; each change's confidence interval is
shaded, and its marker above the series tells its kind, p-value and size.</p>
{chart}
<h2>Changes</h2>
{html_table(detection) if changes else "<p>No change was reported.</p>"}
<ul>
{described}
</ul>
<h2>Options</h2>
<table class="vollan-options">
{options_table}
</table>
</body>
</html>
"""


def write_report(
    path: str | os.PathLike[str],
    series: Sequence[Any] | Any,
    detection: Detection,
    *,
    labels: Sequence[Any] | None = None,
    title: str | None = None,
    options: Mapping[str, Any] | None = None,
) -> None:
    """Write one self-contained HTML page of ``detection`` at ``path``.

    Parameters
    ----------
    path : str or path-like
        Where to write the page (UTF-8).
    series : sequence of float, numpy array or pandas Series
        The series that was passed to :func:`vollan.detect`.
    detection : Detection
        Its result.
    labels : sequence, optional
        Labels of the values; default the index of a pandas Series. Dates make a date axis.
    title : str, optional
        The page's heading; default the number of changes and of values.
    options : mapping, optional
        Options of the run to list on the page beside those the result records (the CLI
        passes its own).

    Raises
    ------
    ValueError
        When the series and the detection differ in length.
    """
    page = report_html(series, detection, labels=labels, title=title, options=options)
    with open(path, "w", encoding="utf-8") as f:
        f.write(page)
