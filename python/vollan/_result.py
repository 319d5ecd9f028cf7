"""What :func:`vollan.detect` returns: the changes, the vote behind them and the scan."""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from vollan._display import label_text

if TYPE_CHECKING:
    from _vollan_native import ScanResult
    from vollan._input import Kept
    from vollan.pipeline.place import Placed
    from vollan.pipeline.scan import ScanView
    from vollan.pipeline.stage import Candidate

__all__ = ["Change", "Detection", "Leader", "build_detection"]

_UNITS = {
    "mean": "sd",
    "variance": "x spread",
    "shape": "sd apart",
    "trend": "sd per step",
}


@dataclass(frozen=True)
class Change:
    """One reported change, with the same fields whatever stage found it.

    Attributes
    ----------
    index : int
        Position in the series of the first value of the new regime (missing values
        counted).
    label : object
        The label of that position (a date, a year, ...), or ``index`` without labels.
    kind : {"mean", "variance", "shape", "trend"}
        What changes: the mean shifts, the spread changes, the shape of the law changes at
        equal mean and spread, or the trend bends.
    p_value : float
        The p-value of the stage that found it, adjusted for its share of ``alpha``
        (``min(1, p / share)``): a change is reported when it is at most ``alpha``, and a
        change-free series reports one with probability at most ``alpha``.
    interval : tuple of (int, int)
        Closed confidence interval ``(low, high)`` for ``index``, at ``level``.
    level : float
        Confidence level of ``interval``.
    size : float
        How large it is, in the natural unit of its kind: the shift of the mean in standard
        deviations of the values beside it ("mean"), the ratio of the spreads after and before
        ("variance"), the distance between the laws on either side in their standard
        deviations ("shape"), the change of slope per step in noise standard deviations
        ("trend").
    stage : str
        The stage that found it (see :data:`vollan.pipeline.STAGES`).
    """

    index: int
    label: Any
    kind: str
    p_value: float
    interval: tuple[int, int]
    level: float
    size: float
    stage: str

    def describe(self) -> str:
        """The change in plain words, e.g. "mean +3.0 sd at 400 (p = 1.2e-08; 90 % within
        398-402)"."""
        if self.kind == "variance":
            size = f"spread x{self.size:.2g}"
        elif self.kind == "trend":
            size = f"trend bends by {self.size:+.2g} sd per step"
        elif self.kind == "shape":
            size = f"shape changes ({self.size:.2g} sd apart)"
        else:
            size = f"mean {self.size:+.2g} sd"
        low, high = self.interval
        return (
            f"{size} at {label_text(self.label)} (p = {_p_text(self.p_value)}; "
            f"{self.level:.0%} within {low}-{high})"
        )


def _p_text(p: float) -> str:
    return "<1e-300" if p < 1e-300 else f"{p:.2g}"


@dataclass(frozen=True)
class Leader:
    """One leader of the scan's vote across window sizes, or a change found by a stage apart
    from the vote (then with no votes).

    Attributes
    ----------
    index : int
        Position in the series of the first value of the new regime, missing values counted.
    label : object
        The label of that position, or ``index`` without labels.
    votes : int
        Votes of the leader's segment: window sizes that found a point of it, summed.
    score : float
        ``min(votes / window sizes that fit, 1)`` (see :func:`vollan.pipeline.scan.fitting_scores`).
    vote_share : float
        The leader's share of the vote among all leaders, as the engine reports it: a share of
        votes, not a significance (a series with ten clear changes gives about 0.1 each).
    p_value : float
        The p-value of the stage that judged it, adjusted for the stage's share of ``alpha``
        (1.0 for a leader that was not judged).
    kind : str
        The kind of change its evidence points to.
    contrast : float or None
        The stage's statistic: the robust z-score of the vote's contrast, the cumulative sum
        of the level, shape and spread stages, the slope stage's z-score; None where none was
        taken.
    stage : str
        The stage that judged it.
    reported : bool
        Whether it is one of the :attr:`Detection.changes`.
    interval : tuple of (int, int)
        Half-open stretch where the stage saw the change.
    """

    index: int
    label: Any
    votes: int
    score: float
    vote_share: float
    p_value: float
    kind: str
    contrast: float | None
    stage: str
    reported: bool
    interval: tuple[int, int] = (0, 0)


@dataclass(frozen=True)
class Detection:
    """The changes of a series, the evidence behind them and the engine's full result.

    Every index is a position in the series as given, missing values included; only ``raw``
    counts scanned values alone.

    Attributes
    ----------
    changes : tuple of Change
        The reported changes, ascending by index.
    leaders : tuple of Leader
        Every leader of the vote, reported or not, and the changes found apart from it,
        ascending by index.
    cdf : tuple of (int, float)
        Cumulative share of the vote of the leaders along the series.
    window_sizes : tuple of int
        The window sizes that were scanned.
    n_obs : int
        Length of the series, missing values included.
    n_scanned : int
        Values scanned: ``n_obs`` less the missing values and the outliers left out.
    n_omitted : int
        Missing values left out of the scan.
    alpha : float
        The false-alarm budget.
    min_score : float
        The vote's least score.
    min_contrast : "auto", float or None
        The vote's contrast rule.
    n_perm : int
        Bootstrap replicates per threshold.
    trend : tuple of (float, float) or None
        ``(level, slope)`` of the straight line removed before the scan, with
        ``detrend="linear"``.
    outliers : tuple of int
        Positions of the isolated outliers left out of the scan.
    period : int or None
        The dominant period of the series, in scanned values, when the window sizes follow it.
    note : str or None
        How a short or repetitive series was judged, or why fewer changes were reported than
        asked for.
    offset, scale : float
        The values were scanned as ``(values - offset) * scale``.
    """

    changes: tuple[Change, ...]
    leaders: tuple[Leader, ...]
    cdf: tuple[tuple[int, float], ...]
    window_sizes: tuple[int, ...]
    n_obs: int
    n_scanned: int
    n_omitted: int
    alpha: float
    min_score: float
    min_contrast: float | str | None
    n_perm: int
    trend: tuple[float, float] | None
    outliers: tuple[int, ...] = ()
    period: int | None = None
    note: str | None = None
    offset: float = 0.0
    scale: float = 1.0
    candidates: tuple[Change, ...] = field(default=(), repr=False, compare=False)
    scan: ScanView | None = field(default=None, repr=False, compare=False, hash=False)

    @property
    def change_points(self) -> tuple[int, ...]:
        """The reported change points, ascending."""
        return tuple(c.index for c in self.changes)

    @property
    def labels(self) -> tuple[Any, ...]:
        """The labels of :attr:`change_points`."""
        return tuple(c.label for c in self.changes)

    @property
    def raw(self) -> ScanResult:
        """The dictionary :func:`vollan.scan_detector` returned for the scanned series: the
        values left once missing ones and outliers are omitted (the residual from the line
        with ``detrend="linear"``), less ``offset`` and times ``scale``. Its indices count
        scanned values. The scan computes each threshold from a pilot of a quarter of the
        replicates first and completes it only where the pilot cannot decide a position (the
        flags are those of all the replicates except, very rarely, a flag the pilot set alone):
        a ``tapered_block_bootstrap_threshold`` that was not completed is the pilot's own
        quantile, about 10% below the full one."""
        if self.scan is None:
            raise ValueError("this detection holds no scan")
        return self.scan.raw

    def breakpoints(self) -> list[int]:
        """The change points followed by the length of the series (ruptures' convention).

        Returns
        -------
        list of int
            ``[*change_points, n_obs]``: the end of every segment, the last one included.
        """
        return [*self.change_points, self.n_obs]

    @property
    def p_values(self) -> dict[int, float]:
        """p-value of each reported change point."""
        return {c.index: c.p_value for c in self.changes}

    def __repr__(self) -> str:
        rows = [
            f"Detection: {len(self.changes)} change(s) in {self.n_obs} values, alpha {self.alpha:g}"
        ]
        rows += [f"  {c.describe()}" for c in self.changes[:8]]
        if len(self.changes) > 8:
            rows.append(f"  ... and {len(self.changes) - 8} more")
        extra = [f"{len(self.leaders)} leaders", f"{len(self.window_sizes)} window sizes"]
        if self.n_omitted:
            extra.append(f"{self.n_omitted} missing left out")
        if self.outliers:
            extra.append(f"{len(self.outliers)} outliers left out")
        rows.append("  (" + ", ".join(extra) + ")")
        if self.note:
            rows.append(f"  note: {self.note}")
        return "\n".join(rows)

    def summary(self) -> str:
        """Every change and leader with its evidence, one line each."""
        rows = [repr(self), "leaders:"]
        for x in self.leaders:
            mark = "*" if x.reported else " "
            rows.append(
                f" {mark} {x.index:>8} {x.kind:<8} p={_p_text(x.p_value):<8} votes={x.votes:<3} "
                f"score={x.score:.2f} share={x.vote_share:.3f} stage={x.stage}"
            )
        return "\n".join(rows)

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready summary (labels that JSON cannot hold become text; infinities and NaN
        become None).

        Returns
        -------
        dict
            The options and counts, ``changes`` (index, label, kind, p_value, interval,
            level, size, stage), ``leaders`` (index, label, votes, score, vote_share, p_value,
            kind, contrast, stage, reported, interval) and ``cdf``.
        """

        def change(c: Change) -> dict[str, Any]:
            return {
                "index": c.index,
                "label": _plain(c.label),
                "kind": c.kind,
                "p_value": c.p_value,
                "interval": list(c.interval),
                "level": c.level,
                "size": _finite(c.size),
                "stage": c.stage,
            }

        def leader(x: Leader) -> dict[str, Any]:
            return {
                "index": x.index,
                "label": _plain(x.label),
                "votes": x.votes,
                "score": x.score,
                "vote_share": x.vote_share,
                "p_value": x.p_value,
                "kind": x.kind,
                "contrast": _finite(x.contrast),
                "stage": x.stage,
                "reported": x.reported,
                "interval": list(x.interval),
            }

        return {
            "n_obs": self.n_obs,
            "n_scanned": self.n_scanned,
            "n_omitted": self.n_omitted,
            "window_sizes": list(self.window_sizes),
            "alpha": self.alpha,
            "min_score": self.min_score,
            "min_contrast": self.min_contrast,
            "n_perm": self.n_perm,
            "trend": list(self.trend) if self.trend is not None else None,
            "outliers": list(self.outliers),
            "period": self.period,
            "note": self.note,
            "offset": self.offset,
            "scale": self.scale,
            "changes": [change(c) for c in self.changes],
            "leaders": [leader(x) for x in self.leaders],
            "cdf": [[i, p] for i, p in self.cdf],
        }

    def to_html(
        self,
        path: str | os.PathLike[str],
        series: Sequence[Any] | Any,
        *,
        labels: Sequence[Any] | None = None,
        title: str | None = None,
    ) -> None:
        """Write a page to zoom into: ``series`` with these changes, their intervals shaded
        and their kind, p-value and size on hover, the table of changes and the options
        (one self-contained HTML file; needs plotly: ``pip install 'vollan[report]'``).

        Parameters
        ----------
        path : str or path-like
            Where to write the page.
        series : sequence of float, numpy array or pandas Series
            The series that was passed to :func:`vollan.detect` (a long one is thinned away
            from the changes, so that the page stays light).
        labels : sequence, optional
            Labels of the values; default the index of a pandas Series.
        title : str, optional
            The page's heading.
        """
        from vollan.report import write_report

        write_report(path, series, self, labels=labels, title=title)

    def _repr_html_(self) -> str:
        from vollan._notebook import detection_html

        return detection_html(self)


def _finite(value: float | None) -> float | None:
    # JSON has no infinity.
    return value if value is not None and math.isfinite(value) else None


def _plain(label: Any) -> Any:
    if isinstance(label, bool | int | float | str) or label is None:
        return label
    item = getattr(label, "item", None)  # numpy scalars
    if callable(item):
        value = item()
        if isinstance(value, int | float | str):
            return value
    isoformat = getattr(label, "isoformat", None)  # dates and timestamps
    if callable(isoformat):
        return str(isoformat())
    return str(label)


def build_detection(
    ctx_kept: Kept,
    labels: Sequence[Any] | None,
    scan: ScanView,
    proposed: Sequence[Candidate],
    placed: Sequence[Placed],
    others: Sequence[Placed],
    share_of: dict[str, float],
    **fields: Any,
) -> Detection:
    """The :class:`Detection` of a scan, the candidates ``proposed`` by the stages and the
    reported ones ``placed`` (all in scanned values); ``others`` are the vote's leaders not
    reported, placed likewise, for ``n_changes``. ``ctx_kept`` maps scanned values back to
    positions in the caller's series, where ``labels`` belong; ``share_of`` gives each
    stage's level, by which p-values are adjusted."""
    at = ctx_kept.position
    level = fields.pop("interval_level")

    def label(i: int) -> Any:
        return labels[i] if labels is not None else i

    def adjusted(c: Candidate) -> float:
        return (
            min(1.0, c.p_value * fields["alpha"] / share_of[c.stage])
            if c.stage in share_of
            else 1.0
        )

    def change(p: Placed) -> Change:
        i = at(p.index)
        return Change(
            index=i,
            label=label(i),
            kind=p.candidate.kind,
            p_value=adjusted(p.candidate),
            interval=(at(p.low), at(p.high)),
            level=level,
            size=p.size,
            stage=p.candidate.stage,
        )

    changes = tuple(change(p) for p in placed)
    # Keyed by stage too: a leader of the vote that was not reported may share its index with
    # a change another stage reported.
    reported_at = {(p.candidate.stage, p.candidate.index): p.index for p in placed}
    shares = dict(zip(scan.leaders.tolist(), scan.vote_shares.tolist(), strict=True))
    leaders = []
    for c in proposed:
        key = (c.stage, c.index)
        if c.stage != "vote" and key not in reported_at:
            continue
        i = at(reported_at.get(key, c.index))
        z = c.statistic
        leaders.append(
            Leader(
                index=i,
                label=label(i),
                votes=c.votes,
                score=float(c.evidence.get("score", 0.0)),
                vote_share=shares.get(c.index, 0.0) if c.stage == "vote" else 0.0,
                p_value=adjusted(c),
                kind=c.kind,
                contrast=None if math.isnan(z) else z,
                stage=c.stage,
                reported=key in reported_at,
                interval=(at(c.region[0]), at(c.region[1] - 1) + 1),
            )
        )
    return Detection(
        changes=changes,
        leaders=tuple(sorted(leaders, key=lambda x: (x.index, not x.reported))),
        cdf=tuple((at(i), p) for i, p in scan.cdf),
        # A reported change wins over an unreported leader placed at the same index.
        candidates=tuple(
            sorted(
                {c.index: c for c in (*(change(p) for p in others), *changes)}.values(),
                key=lambda c: c.index,
            )
        ),
        scan=scan,
        **fields,
    )
