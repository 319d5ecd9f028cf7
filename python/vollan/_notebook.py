"""How a :class:`~vollan.Detection` shows in a notebook: its counts, a small table of its
changes and, when matplotlib is there, a strip of where they lie along the series."""

from __future__ import annotations

import base64
import html
import io
from collections import Counter
from typing import TYPE_CHECKING

from vollan._display import html_table

if TYPE_CHECKING:
    from vollan._result import Change, Detection

__all__ = ["detection_html"]

# Rows of the table before it says how many more there are.
ROWS = 20


def _counted(n: int, noun: str) -> str:
    return f"{n} {noun}{'' if n == 1 else 's'}"


def _counts(detection: Detection, changes: tuple[Change, ...]) -> str:
    kinds = Counter(c.kind for c in changes)
    words = _counted(len(changes), "change")
    if kinds:
        words += " (" + ", ".join(f"{k} {kind}" for kind, k in sorted(kinds.items())) + ")"
    words += f" in {detection.n_obs:,} values"
    left_out = []
    if detection.n_omitted:
        left_out.append(_counted(detection.n_omitted, "missing value"))
    if detection.outliers:
        left_out.append(_counted(len(detection.outliers), "outlier"))
    if left_out:
        words += " (" + " and ".join(left_out) + " left out)"
    sizes = detection.window_sizes
    if sizes:
        words += f"; {_counted(len(detection.leaders), 'leader')} of the vote over window sizes "
        words += f"{sizes[0]}..{sizes[-1]}"
    return words


def _strip_png(detection: Detection, changes: tuple[Change, ...]) -> bytes | None:
    """A strip of the series' positions: the cumulative vote share of the leaders, each
    change's interval shaded and its position marked. None without matplotlib."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        return None
    n = detection.n_obs
    fig = Figure(figsize=(8.0, 1.5), layout="constrained")
    ax = fig.subplots()
    xs = [0] + [i for i, _ in detection.cdf] + [max(n - 1, 0)]
    ys = [0.0] + [c for _, c in detection.cdf]
    ys.append(ys[-1])
    ax.step(xs, ys, where="post", color="0.4", lw=1.0)
    for c in changes:
        lo, hi = c.interval
        ax.axvspan(lo - 0.5, hi + 0.5, color="tab:red", alpha=0.2, lw=0)
        ax.axvline(c.index, color="tab:red", lw=1.5)
    ax.set_xlim(-0.5, n - 0.5)
    ax.set_ylim(-0.05, 1.05)
    ax.set_ylabel("vote share", fontsize=8)
    ax.set_xlabel("position (red: changes, their intervals shaded)", fontsize=8)
    ax.tick_params(labelsize=8)
    out = io.BytesIO()
    fig.savefig(out, format="png", dpi=80)
    return out.getvalue()


def detection_html(detection: Detection) -> str:
    """The HTML a notebook shows for ``detection``."""
    changes = detection.changes
    parts = [
        '<div class="vollan-detection">',
        f"<p><b>Detection</b>: {html.escape(_counts(detection, changes))}</p>",
        html_table(detection, limit=ROWS) if changes else "<p>No change was reported.</p>",
    ]
    if detection.note:
        parts.append(f"<p><i>{html.escape(detection.note)}</i></p>")
    png = _strip_png(detection, changes)
    if png is not None:
        data = base64.b64encode(png).decode("ascii")
        parts.append(f'<img alt="where the changes lie" src="data:image/png;base64,{data}">')
    parts.append("</div>")
    return "\n".join(parts)
