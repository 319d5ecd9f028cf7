"""What the pictures and tables of a detection share: series thinned for display, and the
words and numbers of the table of changes.

Nothing here needs matplotlib or plotly, so that the notebook table and the report can use it
on any installation.
"""

from __future__ import annotations

import datetime as _dt
import html
import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan._result import Change, Detection

__all__ = ["html_table", "label_text", "m4", "p_text", "size_text", "thinned"]

# Series longer than this are thinned before they are drawn.
DECIMATE_ABOVE = 100_000


def label_text(label: Any) -> str:
    """A label as people write it: a date at midnight without its time."""
    if isinstance(label, np.datetime64):
        label = label.astype("datetime64[us]").item()
    if isinstance(label, _dt.datetime):
        if label.time() == _dt.time(0) and label.tzinfo is None:
            return label.date().isoformat()
        return label.isoformat(sep=" ")
    return str(label)


def p_text(p: float) -> str:
    """A p-value as a reader takes it in: three decimals, or a bound below 0.001."""
    if not math.isfinite(p):
        return "-"
    return "< 0.001" if p < 0.001 else f"{p:.3f}"


def size_text(change: Change) -> str:
    """The size of a change in the units of its kind."""
    s = change.size
    if not math.isfinite(s):
        return "-"
    if change.kind == "variance":
        return f"spread x{s:.3g}"
    if change.kind == "trend":
        return f"slope {s:+.3g} sd/step"
    if change.kind == "shape":
        return f"{s:.3g} sd"
    return f"{s:+.3g} sd"


def interval_text(change: Change) -> str:
    lo, hi = change.interval
    return f"{lo}-{hi} ({change.level:.0%})"


def html_table(detection: Detection, *, limit: int | None = None) -> str:
    """The changes of ``detection`` as an HTML table, at most ``limit`` rows."""
    changes = detection.changes
    shown = changes if limit is None else changes[:limit]
    with_labels = any(c.label != c.index for c in changes)
    head = ["index", *(["label"] if with_labels else []), "kind", "p-value", "interval", "size"]
    lines = ['<table class="vollan-changes">', "<thead><tr>"]
    lines += [f"<th>{h}</th>" for h in head]
    lines.append("</tr></thead><tbody>")
    for c in shown:
        cells = [
            str(c.index),
            *([label_text(c.label)] if with_labels else []),
            c.kind,
            p_text(c.p_value),
            interval_text(c),
            size_text(c),
        ]
        lines.append("<tr>" + "".join(f"<td>{html.escape(v)}</td>" for v in cells) + "</tr>")
    if len(shown) < len(changes):
        lines.append(
            f'<tr><td colspan="{len(head)}">... and {len(changes) - len(shown)} more</td></tr>'
        )
    lines.append("</tbody></table>")
    return "\n".join(lines)


def m4(
    x: NDArray[Any], y: NDArray[np.float64], buckets: int
) -> tuple[NDArray[Any], NDArray[np.float64]]:
    """``(x, y)`` thinned to the first, smallest, largest and last value of each of
    ``buckets`` runs of equal length, in their order.

    A line through these points lights the same pixels as the line through every point
    when each run spans at most one pixel column (the M4 aggregation of Jugel et al., 2014).
    A run of missing values stays a gap; missing values inside a run are bridged, which at
    that scale no one can see.
    """
    n = len(y)
    if n <= 4 * buckets:
        return x, y
    y = np.ascontiguousarray(y, dtype=np.float64)
    width = -(-n // buckets)
    whole = n // width
    parts = [_picks(y[: whole * width].reshape(whole, width))]
    if whole * width < n:
        parts.append(_picks(y[whole * width :].reshape(1, -1)) + whole * width)
    positions = np.concatenate(parts)
    return np.asarray(x)[positions], y[positions]


def _picks(block: NDArray[np.float64]) -> NDArray[np.intp]:
    """Positions in the flattened ``block`` of each row's first, smallest, largest and last
    value, ascending within each row."""
    rows, width = block.shape
    picks = np.empty((rows, 4), dtype=np.intp)
    picks[:, 0] = 0
    picks[:, 1] = np.argmin(block, axis=1)
    picks[:, 2] = np.argmax(block, axis=1)
    picks[:, 3] = width - 1
    # Only rows holding a missing value need the slower masked search (their sum is NaN; so
    # is that of a row with both infinities, which the masked search handles as well).
    holed = np.flatnonzero(np.isnan(block.sum(axis=1)))
    if holed.size:
        sub = block[holed]
        missing = np.isnan(sub)
        present = ~missing
        picks[holed, 0] = np.argmax(present, axis=1)
        picks[holed, 1] = np.argmin(np.where(missing, np.inf, sub), axis=1)
        picks[holed, 2] = np.argmax(np.where(missing, -np.inf, sub), axis=1)
        picks[holed, 3] = width - 1 - np.argmax(present[:, ::-1], axis=1)
    # A run with no value keeps its two ends, both missing, so that the line breaks there.
    picks.sort(axis=1)
    keep = np.ones(picks.shape, dtype=bool)
    keep[:, 1:] = picks[:, 1:] != picks[:, :-1]
    positions: NDArray[np.intp] = (picks + (np.arange(rows) * width)[:, None])[keep]
    return positions


def thinned(
    x: NDArray[Any], y: NDArray[np.float64], buckets: int, above: int = DECIMATE_ABOVE
) -> tuple[NDArray[Any], NDArray[np.float64], int]:
    """``m4`` above ``above`` values; also the run length (1 when nothing was thinned)."""
    if len(y) <= above:
        return x, y, 1
    tx, ty = m4(x, y, buckets)
    return tx, ty, -(-len(y) // buckets)


def as_float_array(series: Any) -> NDArray[np.float64]:
    """The values of a series as floats, None as missing, without a Python loop for arrays."""
    if hasattr(series, "index") and hasattr(series, "to_numpy"):  # a pandas Series
        return np.asarray(series.to_numpy(dtype=float, na_value=np.nan), dtype=float).ravel()
    if isinstance(series, np.ndarray) and series.dtype.kind in "biuf":
        return series.astype(float, copy=False).ravel()
    values: Sequence[Any] = series if isinstance(series, Sequence) else list(series)
    return np.array([math.nan if v is None else float(v) for v in values], dtype=float)
