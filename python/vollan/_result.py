"""What :func:`vollan.detect` returns: the change points, the leaders and the evidence."""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from _vollan_native import ScanResult
    from vollan._input import Kept


@dataclass(frozen=True)
class Leader:
    """One leader of the vote across window sizes: the strongest point of its segment.

    Attributes
    ----------
    index : int
        Position in the series of the first value of the new regime, counting any missing
        values left out of the scan. In a periodic series a reported change is placed by its
        cycle (:mod:`vollan.pipeline.periodic`), up to a period from where the scan found it; its votes,
        score, contrast and size are those found there.
    label : object
        The label of that position (a date, a year, ...), or ``index`` when there are no labels.
    votes : int
        Votes of the leader's segment: window sizes that found a point of it, summed over its
        points.
    score : float
        ``min(votes / window sizes that fit, 1)``: the sizes w whose 2w values fit between the
        leader and its nearest neighbouring leader (see :func:`vollan.api.detect`).
    probability : float
        The score normalised over all leaders, as the engine reports it.
        It is a share of the vote among all leaders, not a confidence that the change is real:
        a series with one clear change gives it a probability near 1, one with ten clear
        changes about 0.1 each.
    contrast : float or None
        How far the local contrast at the leader stands out from the rest of the series, in
        scaled MADs (see :func:`detect`): the contrast of ``contrast_kind``, the one that
        stands out most against its critical value; ``inf`` when the contrast is constant
        elsewhere; None when the check was off.
    reported : bool
        Whether the leader is one of the change points of the :class:`Detection`: its score
        reaches ``min_score``, its contrast exceeds the critical value (a location contrast
        only where a smooth drift does not explain it, :mod:`vollan.pipeline.drift`), and no stronger
        reported leader lies closer than the smallest window (counted in scanned values).
    contrast_kind : str or None
        "location" (a shift of level or a change of shape) or "scale" (a change of spread);
        "shift" for the one change of mean a series too short for contrasts can report (its
        contrast is then the split's t statistic); "shape" for a change of shape at equal
        mean and spread, found apart from the vote (its votes, score and probability are
        those of a leader at the same place, else 0; its contrast is the cumulative sum's
        statistic of :mod:`vollan.pipeline.shape` over its stretch, its critical value the one for
        that stretch's length); "slope" for a bend of the trend, also found apart from the
        vote (its contrast is the robust z-score of the difference of the slopes on either
        side, its interval the boundaries around it whose z-scores also exceed the critical
        value); "spread" for a change of spread found apart from the vote, over a stretch as a
        change of shape is (:mod:`vollan.pipeline.spread`); "level" for a shift of level found apart
        from the vote over a whole stretch (:mod:`vollan.pipeline.level`; its contrast is the
        cumulative sum's statistic, its width the values on each side its size is described
        from, its interval the splits whose likelihood of two levels is within ln 20 of the
        best one's, which held the true change in about 90 % of simulated shifts or more).
    width : int
        Values on each side of the leader that its contrast compared (see :func:`detect`).
    critical : float or None
        The robust z-score the contrast had to exceed; None when the check was off.
    interval : tuple of (int, int)
        Where the change may lie: the half-open stretch of the series shared by the localized
        regions, of every window size, that hold the leader (positions in the series),
        widened to hold ``index`` where the cycle placed the change.
    shift : float
        The mean of the values just after the leader minus the mean of those just before it
        (the width of the contrast on each side, at most the largest window), in units of
        the noise's standard deviation.
    spread_ratio : float
        The standard deviation of the values just after the leader over that of those just
        before it.
    """

    index: int
    label: Any
    votes: int
    score: float
    probability: float
    contrast: float | None
    reported: bool
    contrast_kind: str | None = None
    width: int = 0
    critical: float | None = None
    interval: tuple[int, int] = (0, 0)
    shift: float = 0.0
    spread_ratio: float = 1.0

    def describe(self) -> str:
        """The change in plain words, e.g. "mean +2.1 noise sd, spread x1.0, within 140-160";
        a bend of the trend says so first ("the trend bends: mean ...")."""
        where = f"within {self.interval[0]}-{self.interval[1] - 1}"
        size = f"mean {self.shift:+.1f} noise sd, spread x{self.spread_ratio:.2g}, {where}"
        return f"the trend bends: {size}" if self.contrast_kind == "slope" else size


@dataclass(frozen=True)
class Detection:
    """The change points of a series, the evidence behind them and the engine's full result.

    Every index (``change_points``, the leaders' ``index``, ``cdf``) is a position in the
    series as given, missing values included; only ``raw`` counts scanned values alone.

    Attributes
    ----------
    change_points : tuple of int
        The reported change points, ascending (see :attr:`Leader.reported`).
    labels : tuple
        The labels of ``change_points``.
    leaders : tuple of Leader
        Every leader of the vote, reported or not, ascending by index.
    cdf : tuple of (int, float)
        Cumulative probability of the leaders along the series.
    window_sizes : tuple of int
        The window sizes that were scanned.
    n_obs : int
        Length of the series, missing values included.
    n_scanned : int
        Values scanned: ``n_obs`` less the missing values and the outliers left out.
    n_omitted : int
        Missing values left out of the scan (see ``nan_policy`` of :func:`detect`).
    min_score : float
        The score a leader needed to be reported.
    min_contrast : "auto", float or None
        The contrast rule asked for: "auto" for the calibrated critical values, a number of
        scaled MADs for every contrast, or None when the check was off.
    outliers : tuple of int
        Positions of the isolated outliers found and left out of the scan (see ``outliers`` of
        :func:`detect`).
    period : int or None
        The dominant period of the series, in scanned values, when the window sizes follow it.
    note : str or None
        How a series too short for the contrasts was judged, or why nothing could be; or
        which contrasts a series of repeated values (counts, flags) was not judged by.
    n_perm : int
        Bootstrap replicates per threshold.
    trend : tuple of (float, float) or None
        ``(level, slope)`` of the straight line removed before the scan: the line's value at
        the middle of the scanned values and its change from one scanned value to the next;
        None without detrending.
    raw : dict
        The dictionary returned by :func:`vollan.scan_detector` for the scanned series: the
        values left once missing ones are omitted (the residual from the line when ``trend``
        is set, with ``detrend="linear"``), less ``offset`` and times ``scale``. Its indices count
        scanned values, not positions in the series.
    offset : float
        The baseline taken off the values before they were scanned and judged: 0.0 unless
        their median lay farther from 0 than 2^10 spreads (:func:`vollan.stats.robust.standard_units`).
    scale : float
        The power of two the values were then multiplied by: 1.0 unless their spread lay
        outside 2^-30 .. 2^30, where the rules would meet the float limits. Only ``raw`` is in
        these units.
    """

    change_points: tuple[int, ...]
    labels: tuple[Any, ...]
    leaders: tuple[Leader, ...]
    cdf: tuple[tuple[int, float], ...]
    window_sizes: tuple[int, ...]
    n_obs: int
    n_scanned: int
    n_omitted: int
    min_score: float
    min_contrast: float | str | None
    n_perm: int
    trend: tuple[float, float] | None
    raw: ScanResult = field(repr=False, hash=False)
    outliers: tuple[int, ...] = ()
    period: int | None = None
    note: str | None = None
    offset: float = 0.0
    scale: float = 1.0

    def breakpoints(self) -> list[int]:
        """The change points followed by the length of the series (ruptures' convention).

        Returns
        -------
        list of int
            ``[*change_points, n_obs]``: the end of every segment, the last one included.
        """
        return [*self.change_points, self.n_obs]

    @property
    def probabilities(self) -> dict[int, float]:
        """Probability of each reported change point."""
        return {x.index: x.probability for x in self.leaders if x.reported}

    @property
    def votes(self) -> dict[int, int]:
        """Votes of each reported change point."""
        return {x.index: x.votes for x in self.leaders if x.reported}

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready summary (labels that JSON cannot hold become text).

        Returns
        -------
        dict
            ``n_obs``, ``n_scanned``, ``n_omitted``, ``window_sizes``, ``min_score``,
            ``min_contrast``, ``n_perm``, ``trend``, ``outliers``, ``period``, ``note``,
            ``offset``, ``scale``, ``change_points`` and ``leaders`` (lists of dictionaries with
            index, label, votes, score, probability, contrast (None when not finite),
            contrast_kind, width, critical, interval, shift, spread_ratio and, for leaders,
            reported) and
            ``cdf`` (a list of [index, probability] pairs).
        """

        def row(x: Leader) -> dict[str, Any]:
            return {
                "index": x.index,
                "label": _plain(x.label),
                "votes": x.votes,
                "score": x.score,
                "probability": x.probability,
                # JSON has no infinity.
                "contrast": x.contrast if x.contrast is None or math.isfinite(x.contrast) else None,
                "contrast_kind": x.contrast_kind,
                "width": x.width,
                "critical": x.critical,
                "interval": list(x.interval),
                "shift": x.shift if math.isfinite(x.shift) else None,
                "spread_ratio": x.spread_ratio if math.isfinite(x.spread_ratio) else None,
            }

        return {
            "n_obs": self.n_obs,
            "n_scanned": self.n_scanned,
            "n_omitted": self.n_omitted,
            "window_sizes": list(self.window_sizes),
            "min_score": self.min_score,
            "min_contrast": self.min_contrast,
            "n_perm": self.n_perm,
            "trend": list(self.trend) if self.trend is not None else None,
            "outliers": list(self.outliers),
            "period": self.period,
            "note": self.note,
            "offset": self.offset,
            "scale": self.scale,
            "change_points": [row(x) for x in self.leaders if x.reported],
            "leaders": [row(x) | {"reported": x.reported} for x in self.leaders],
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


@dataclass(frozen=True)
class Evidence:
    """What the rules found about one leader, in scanned values (see :class:`Leader`)."""

    contrast: float | None
    contrast_kind: str | None
    width: int
    critical: float | None
    interval: tuple[int, int]
    shift: float
    spread_ratio: float
    # Where a change found apart from the scan's leaders lies (a change of shape).
    index: int | None = None


def _around(interval: tuple[int, int], index: int) -> tuple[int, int]:
    """``interval`` widened to hold ``index``."""
    return (min(interval[0], index), max(interval[1], index + 1))


def moved_evidence(e: Evidence, index: int) -> Evidence:
    """A change found apart from the scan's leaders, placed at ``index`` instead."""
    return dataclasses.replace(e, index=index, interval=_around(e.interval, index))


def build_detection(
    raw: ScanResult,
    scores: Mapping[int, float],
    evidence: Sequence[Evidence],
    chosen: set[int],
    kept: Kept,
    labels: Sequence[Any] | None,
    *,
    window_sizes: Sequence[int],
    min_score: float,
    min_contrast: float | str | None,
    n_perm: int,
    trend: tuple[float, float] | None,
    outliers: Sequence[int] = (),
    n_missing: int | None = None,
    period: int | None = None,
    note: str | None = None,
    extra: Sequence[Evidence] = (),
    offset: float = 0.0,
    scale: float = 1.0,
    moved: Mapping[int, int] | None = None,
) -> Detection:
    """The :class:`Detection` of the engine's result ``raw`` and the leaders ``chosen``.

    ``raw``, ``evidence`` and ``chosen`` count scanned values; ``kept`` maps them back to
    positions in the caller's series, where ``labels`` and ``outliers`` belong. A chosen
    leader in ``moved`` is reported where that maps it, its interval widened to hold it.
    """
    out = raw["out"]
    at = kept.position

    def span(lo: int, hi: int) -> tuple[int, int]:
        return (at(lo), at(hi - 1) + 1)

    def leader(i: int, e: Evidence, reported: bool) -> Leader:
        place = (moved or {}).get(i, i) if reported else i
        return Leader(
            index=at(place),
            label=labels[at(place)] if labels is not None else at(place),
            votes=out["leaders_segment_votes"].get(i, 0),
            score=scores.get(i, 0.0),
            probability=out["leaders_probs"].get(i, 0.0),
            contrast=e.contrast,
            reported=reported,
            contrast_kind=e.contrast_kind,
            width=e.width,
            critical=e.critical,
            interval=span(*(e.interval if place == i else _around(e.interval, place))),
            shift=e.shift,
            spread_ratio=e.spread_ratio,
        )

    # Changes found apart from the vote (shape) are reported as leaders; at a leader's own
    # position their evidence replaces its.
    found = {e.index: e for e in extra if e.index is not None}
    rows = [
        leader(i, found.pop(i), True) if i in found else leader(i, e, i in chosen)
        for i, e in zip(out["leaders_probs"], evidence, strict=True)
    ]
    rows += [leader(i, e, True) for i, e in found.items()]
    leaders = tuple(sorted(rows, key=lambda x: x.index))
    reported = [x for x in leaders if x.reported]
    return Detection(
        change_points=tuple(x.index for x in reported),
        labels=tuple(x.label for x in reported),
        leaders=leaders,
        cdf=tuple((at(i), p) for i, p in out["cdf"]),
        window_sizes=tuple(window_sizes),
        n_obs=kept.n_obs,
        n_scanned=len(kept.values),
        n_omitted=kept.n_omitted if n_missing is None else n_missing,
        min_score=min_score,
        min_contrast=min_contrast,
        n_perm=n_perm,
        trend=trend,
        raw=raw,
        outliers=tuple(outliers),
        period=period,
        note=note,
        offset=offset,
        scale=scale,
    )
