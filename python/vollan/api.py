"""The convenience layer: one call from a series to its change points.

:func:`detect` is a pipeline of steps, each kept in a module of its own: convert the series and
leave out missing values (``_input``) and isolated outliers (``_outliers``), choose window sizes
from the series' period and replicates (``_scale``), scan, score the leaders and judge their
local contrasts against calibrated critical values (``_rules``, ``_contrast``), and build the
result (``_result``). The names of those modules that callers use are re-exported here.
"""

from __future__ import annotations

import functools
import importlib
import math
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Final, Literal, SupportsFloat, cast

import numpy as np

from _vollan_native import scan_detector
from vollan import _place
from vollan._background import Later, may_use_two_threads
from vollan._contrast import (
    KINDS,
    KINDS_OF_CHANGE_TYPE,
    contrast_scores,
    contrast_width,
    critical_contrast,
    kinds_to_judge,
    leader_widths,
    shortest_judged,
)
from vollan._input import _values_and_labels, kept_values
from vollan._level import level_changes
from vollan._outliers import find_outliers
from vollan._place import place_periodic_in_time
from vollan._result import Detection, Evidence, Leader, build_detection, moved_evidence
from vollan._rules import (
    DEFAULT_MIN_CONTRAST,
    DEFAULT_MIN_SCORE,
    detrend_linear,
    fitting_scores,
    leader_intervals,
    leader_sizes,
    line_matters,
    local_contrast,
    reported_leaders,
    resolution,
    standard_units,
)
from vollan._scale import (
    DEFAULT_ALPHA,
    choose_window_sizes,
    default_n_perm,
    default_window_sizes,
    dominant_period,
)
from vollan._select import check_selection, select_changes
from vollan._shape import LOCAL_VALUES, shape_changes
from vollan._short import critical_shift, shift_score, split_statistics
from vollan._slope import slope_changes
from vollan._spread import spread_changes

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import ChangeType, ScanResult
    from vollan._input import Kept

DEFAULT_CHANGE_TYPE: Final = "distribution"
DEFAULT_DETREND: Literal["linear"] | None = None

__all__ = [
    "DEFAULT_ALPHA",
    "DEFAULT_MIN_CONTRAST",
    "DEFAULT_MIN_SCORE",
    "Detection",
    "Leader",
    "default_n_perm",
    "default_window_sizes",
    "detect",
    "detect_many",
    "detrend_linear",
    "dominant_period",
    "local_contrast",
]


def detect(
    series: Sequence[SupportsFloat] | Iterable[SupportsFloat],
    *,
    window_sizes: Sequence[int] | None = None,
    change_type: ChangeType = DEFAULT_CHANGE_TYPE,
    alpha: float = DEFAULT_ALPHA,
    min_score: float = DEFAULT_MIN_SCORE,
    min_contrast: float | Literal["auto"] | None = DEFAULT_MIN_CONTRAST,
    detrend: Literal["linear"] | None = DEFAULT_DETREND,
    outliers: Literal["omit", "keep"] = "omit",
    n_perm: int | None = None,
    seed: int = 123,
    tol: int = 2,
    workers: int | None = None,
    labels: Sequence[Any] | None = None,
    nan_policy: Literal["omit", "raise"] = "omit",
    n_changes: int | None = None,
    min_size: int | None = None,
) -> Detection:
    """Find the change points of a series.

    Runs :func:`vollan.scan_detector` with settings taken from the series itself, and reports
    the leaders of its vote that enough window sizes agree on and whose local contrast stands
    out from the rest of the series by more than chance allows. Each rule has a reason:

    - Missing values (``nan_policy="omit"``) and isolated outliers (``outliers="omit"``,
      :func:`vollan._outliers.find_outliers`: single values beyond 5 noise standard
      deviations from both of their neighbourhoods) are left out of the scan and reported
      apart (``n_omitted``, ``outliers``). A lone extreme value is not a change of regime, but
      adjacent windows differ wherever one holds it.
    - A series whose spread (the median absolute deviation) lies outside 2^-30 .. 2^30 is
      scanned and judged times the power of two that brings it near 1, and one whose median
      lies farther from 0 than 2^10 spreads, about its median
      (:func:`vollan._rules.standard_units`, ``Detection.offset`` and ``scale``): units and
      baselines do not change what is found, while the rules' squares and floors stay far
      from the float limits and the scan's running sums keep the spread.
    - Window sizes (:func:`default_window_sizes`): twelve sizes from 10 values up to a quarter
      of the series, at most 100 times the smallest. A periodic series
      (:func:`dominant_period`) is scanned with whole numbers of periods, so that adjacent
      windows hold the same phases of its cycle and differ only where it changes.
    - ``alpha`` = 0.05 is the family-wise level of each window's scan, and ``n_perm``
      (:func:`default_n_perm`) gives its bootstrap enough replicates to estimate that
      quantile, within twice the engine's default.
    - ``min_score`` = 0.5: a leader is a candidate when at least half of the window sizes that
      fit around it voted for it (a window of w values sees a change only if the 2w values
      around it hold no other); a chance flag is placed differently by each size.
    - ``min_contrast`` = "auto": a candidate is reported when its local contrast stands out.
      The contrast compares the h values after it with the h values before it, at every
      boundary of the series: "location" (the logarithm of the Wasserstein distance: level
      and shape) and "scale" (the log ratio of the standard deviations: spread). Its robust
      z-score, against the median and MAD of the same contrast away from the candidates, must
      exceed the 97.5 % quantile of the largest such z-score over a Gaussian white-noise series
      of the same length (:func:`vollan._contrast.critical_contrast`), for either contrast: so
      a series without change reports one with probability at most about 5 %. A drift or a
      smooth curve changes its contrast nowhere in particular and reports nothing. The width h
      is as large as fits between the candidates (at least the smallest window, at least 8),
      since wider contrasts see smaller changes.
    - A series too short for 4h boundaries (:mod:`vollan._short`) reports at most one change
      of mean: the split whose two-sample t statistic is largest, when it exceeds the 97.5 %
      quantile of that largest statistic under AR(1) noise of coefficient 0.5 (so neither
      independent nor moderately dependent noise reports one in more than about 3 % of
      series). ``Detection.note`` says so; a change of spread alone is not judged there.
    - ``change_type`` = "distribution" judges both contrasts, so mean shifts and changes of
      spread are reported, and looks for changes of shape at equal mean and spread apart
      from the vote, which the scan's distance barely sees (:mod:`vollan._shape`: a
      cumulative sum of each value's term of Geary's ratio over the stretches between the
      reported changes, each value standardised by its neighbours; from 255 values, at most
      2.5 % more false alarms);
      Before those, it looks for shifts of level apart from the vote (:mod:`vollan._level`),
      which windows of a few dozen values see within their noise while the whole stretches
      on either side do not: binary segmentation by the cumulative sum of the values, clipped
      about their running median, over the square root of the stretch's length times their
      long-run spread, between the reported changes; from 150 values, beyond the 99 %
      quantile of its value over change-free Gaussian, Student-t(3), AR(1), random-walk,
      drifting and seasonal series. A stretch that wanders (a random walk, a cycle) is not
      judged, and a split is taken only where two levels fit better than one line.
      It also looks for bends of the trend apart from the vote (:mod:`vollan._slope`): the
      least-squares slope of the h values after each boundary minus that of the h values
      before it, as a robust z-score over the stretch between the other reported changes,
      beyond the 99 % quantile of its largest value over change-free Gaussian, Student-t(3),
      AR(1) and random-walk series of the stretch's length. A straight drift bends nowhere
      and reports nothing; a growth that stops or turns does.
      Last, it looks for changes of spread apart from the vote (:mod:`vollan._spread`), which
      the scan's vote misses where a noisy part sets the threshold for a quieter one: a
      cumulative sum of each value's absolute deviation from its neighbours' mean, clipped,
      over the stretches between all the changes found so far; from 255 values, beyond the
      99 % quantile of its largest value over change-free Gaussian, Student-t(3), AR(1),
      random-walk and seasonal series.
      "mean" judges the location contrast and shifts of level over whole stretches; "var"
      the scale contrast, and looks for
      changes of spread apart from the vote as "distribution" does. It also chooses the split
      search that places a change inside a flagged region.
    - Reported leaders closer together than the smallest window cannot be told apart by the
      scan: of such a pair only the one with more votes (then the larger contrast) is kept.
    - A periodic series scanned in whole periods has its reported changes placed to the value
      (:mod:`vollan._place`): each moves, within a period of where it was found, to the split
      under which predicting every value left of it from the value a period before, and every
      value right of it from the value a period after, fits best. Windows of whole cycles
      cannot say where within a cycle a change lies; the order of the values can. The
      leader keeps its votes and evidence, and its interval is widened to hold the new place.
    - ``detrend`` = None: a straight line removed first ("linear") helps only on series with
      a drift, which the contrast rule already leaves unreported, and costs a second scan.

    Each reported change carries where it may lie (``Leader.interval``, from the localized
    regions of the scan), how large it is (``shift`` in noise standard deviations,
    ``spread_ratio``; ``Leader.describe()`` says it in words) and its ``probability``: its
    share of the vote among all leaders, not a confidence that the change is real.

    Parameters
    ----------
    series : sequence of float, numpy array or pandas Series
        The values, finite or missing (NaN, None, pandas' NA). The index of a pandas Series
        gives the labels. A single column (an array of shape (n, 1), a one-column DataFrame)
        is taken as the series; for several columns see :func:`detect_columns`.
    window_sizes : sequence of int, optional
        Window sizes to scan, each at least 4. Default :func:`default_window_sizes`.
    change_type : {"distribution", "mean", "var"}, default "distribution"
        Which changes to report (see above) and the split search that places them.
    alpha : float, default 0.05
        Family-wise level of each window's scan, in (0, 1].
    min_score : float, default 0.5
        Fraction of the window sizes that fit around a leader that must vote for it, in
        [0, 1].
    min_contrast : "auto", float or None, default "auto"
        "auto": the calibrated critical value of each contrast; a number: the robust z-score
        every contrast must exceed instead; None turns the check off (the votes alone decide).
    detrend : {None, "linear"}, default None
        Scan the values as they are, or remove a straight line first, its slope fitted
        between the level shifts of a first scan (:func:`detrend_linear`).
    outliers : {"omit", "keep"}, default "omit"
        Leave isolated outliers out of the scan and report them apart, or scan every value.
    n_perm : int, optional
        Bootstrap replicates per threshold. Default :func:`default_n_perm`.
    seed : int, default 123
        Base seed; the result is reproducible bit for bit from it.
    tol : int, default 2
        Largest gap between change points of different windows that still counts as one
        change.
    workers : int, optional
        Threads of a pool of this call's own; default the shared pool. On a long series, a
        budget of two threads or more (this one, else the shared pool's) also lets some rules
        run beside the next step (:mod:`vollan._background`); the result is the same.
    labels : sequence, optional
        Labels of the values (dates, years, ...), missing ones included; default the index of
        a pandas Series, else the positions.
    nan_policy : {"omit", "raise"}, default "omit"
        Leave missing values out of the scan, or raise a ValueError at the first one.
    n_changes : int, optional
        Report this many change points when there are that many leaders: the strongest (those
        the rules report first, then by score, contrast beyond its critical value and votes),
        whatever ``min_score`` and ``min_contrast`` say (ruptures' ``n_bkps``). Default: as
        many as the rules report.
    min_size : int, optional
        Least distance between reported change points, and from either end of the series
        (ruptures' ``min_size``): of leaders closer than this the stronger is reported.
        Default: no constraint beyond the rules' own.

    Series side by side, in a two-dimensional array or a pandas DataFrame, are detected one
    column at a time by :func:`vollan.detect_columns`.

    Returns
    -------
    Detection
        The reported change points, every leader with its votes, score, probability,
        contrast, interval and size, the CDF (all at positions in ``series``), the outliers
        and the number of missing values left out, and the raw result of
        :func:`vollan.scan_detector` on the values scanned.

    Raises
    ------
    ValueError
        For a series that is not one-dimensional, holds infinities, holds missing values
        under ``nan_policy="raise"``, or has fewer values left than two of the smallest
        windows; for window sizes below 4; for ``alpha``, ``min_score``, ``min_contrast``,
        ``detrend``, ``change_type``, ``outliers`` or ``nan_policy`` out of range; for
        ``n_changes`` below 0 or ``min_size`` below 1; and for the engine's own value checks.
    TypeError
        For a series that is not a sequence of numbers, and for ``n_changes`` or ``min_size``
        that are not integers.

    Examples
    --------
    >>> import vollan
    >>> nile = vollan.datasets.load_nile()
    >>> found = vollan.detect(nile.values, labels=nile.labels)
    >>> found.labels
    (1899,)
    >>> found.breakpoints()  # ruptures' convention: change points, then the length
    [28, 100]
    """
    values, labels = _values_and_labels(series, labels)
    _check_options(alpha, min_score, min_contrast, detrend, change_type, outliers)
    check_selection(n_changes, min_size)
    kept = kept_values(values, nan_policy)
    n_missing = kept.n_omitted
    # Series in units far from their spread are judged as if the units fitted it.
    offset, scale = standard_units(kept.values)
    kept = kept.in_units(offset, scale)
    two_threads = may_use_two_threads(workers)
    # The period of the values as they are, found on a second core while the outliers are
    # looked for: it is the period of the values scanned whenever none is left out.
    period_as_given = (
        Later(
            dominant_period,
            kept.values,
            background=two_threads and outliers == "omit" and len(kept.values) >= BESIDE_FROM,
        )
        if window_sizes is None
        else None
    )
    found_outliers: list[int] = []
    if outliers == "omit":
        odd = find_outliers(kept.values)
        found_outliers = [kept.position(int(i)) for i in odd]
        kept = kept.without(odd)
    x = kept.values
    period = None
    if period_as_given is not None and found_outliers:
        # The values scanned are not those it was found on.
        period = dominant_period(x)
        period_as_given.join()
    elif period_as_given is not None:
        period = period_as_given.result()
    sizes = choose_window_sizes(window_sizes, len(x), n_missing, period)
    smallest = sizes[0]
    if n_perm is None:
        n_perm = default_n_perm(len(x), smallest, alpha)
    options: dict[str, Any] = {
        "window_sizes": sizes,
        "n_perm": n_perm,
        "alpha_q": alpha,
        "seed": seed,
        "tol": tol,
        "workers": workers,
        "change_type": change_type,
    }
    trend = None
    if detrend == "linear":
        x, (level, slope) = _remove_line(x, options, min_score)
        trend = (level / scale + offset, slope / scale)
    raw = _scan(x, options)
    out = raw["out"]
    indices = list(out["leaders_probs"])
    h = contrast_width(smallest)
    kinds_judged: tuple[str, ...] = ()
    note = None
    short = False
    ordered = None
    if min_contrast is not None:
        if len(x) >= shortest_judged(h):
            # One sort serves the count of repeated values and the least gap between values.
            ordered = np.sort(x)
            kinds_judged, note = kinds_to_judge(change_type, x, ordered)
        elif min_contrast == "auto" and "location" in KINDS_OF_CHANGE_TYPE[change_type.lower()]:
            short = True
            note = (
                f"{len(x)} values are too few to judge a change against the rest of the series "
                f"(contrasts of {h} values on each side need at least {shortest_judged(h)}): "
                f"at most one change of mean is reported, where the t statistic of the split "
                f"exceeds {critical_shift(len(x)):.2f}"
            )
        else:
            note = (
                f"nothing is reported: {len(x)} values are too few to judge a change against "
                f"the rest of the series (contrasts of {h} values on each side need at least "
                f"{shortest_judged(h)})"
            )
    scores = fitting_scores(out["leaders_segment_votes"], sizes)
    candidates = [i for i in indices if scores[i] >= min_score]
    widths = leader_widths(
        len(x), smallest, indices, {i: out["leaders_segment_votes"][i] for i in candidates}
    )
    # Describing the leaders decides nothing: it runs beside the decisions when it is long.
    described = Later(
        _described,
        raw,
        x,
        widths,
        indices,
        background=two_threads and sum(widths) >= BESIDE_FROM,
    )
    if short:
        verdicts, stands_out, strength = _judge_short(x, indices, candidates, smallest)
    else:
        local_kinds = [k for k in kinds_judged if k in KINDS]
        verdicts, stands_out, strength = _judge(
            x, ordered, indices, widths, local_kinds, min_contrast, note, candidates
        )
    chosen = reported_leaders(
        indices,
        out["leaders_segment_votes"],
        scores,
        stands_out,
        strength,
        min_score,
        smallest,
    )
    # The changes of shape between the reported ones, looked for on a second core while the
    # shifts and bends are: they are the ones wanted whenever neither is found (most series).
    shape_between_reported = Later(
        _stretch_changes,
        x,
        sorted(chosen),
        sizes[-1],
        "shape",
        background=two_threads and "shape" in kinds_judged and len(x) >= BESIDE_FROM,
    )
    extra: list[Evidence] = []
    for kind in PASSES:
        if kind not in kinds_judged:
            continue
        cuts = _cuts(chosen, extra)
        if kind == "level":
            extra += _level_changes(x, cuts, h, sizes[-1])
        elif kind == "slope":
            extra += _slope_changes(x, cuts, h)
        elif kind == "shape" and cuts == sorted(chosen):
            extra += shape_between_reported.result()
        else:
            extra += _stretch_changes(x, cuts, sizes[-1], kind)
    shape_between_reported.join()
    in_periods = period if period and all(w % period == 0 for w in sizes) else None
    moved, extra = _placed_in_cycle(x, kept, indices, chosen, extra, in_periods)
    intervals, described_sizes = described.result()
    evidence = [
        Evidence(contrast, contrast_kind, width, critical, span, shift, ratio)
        for (contrast, contrast_kind, critical), width, span, (shift, ratio) in zip(
            verdicts, widths, intervals, described_sizes, strict=True
        )
    ]
    found = build_detection(
        raw,
        scores,
        evidence,
        chosen,
        kept,
        labels,
        window_sizes=sizes,
        min_score=min_score,
        min_contrast=min_contrast,
        n_perm=n_perm,
        trend=trend,
        outliers=found_outliers,
        n_missing=n_missing,
        period=in_periods,
        note=note,
        extra=extra,
        offset=offset,
        scale=scale,
        moved=moved,
    )
    return select_changes(found, n_changes, min_size)


def _placed_in_cycle(
    x: NDArray[np.float64],
    kept: Kept,
    indices: Sequence[int],
    chosen: set[int],
    extra: list[Evidence],
    period: int | None,
) -> tuple[dict[int, int], list[Evidence]]:
    """The reported changes of a series scanned in whole periods placed by the order of its
    values within the cycle (:mod:`vollan._place`): the new places of the chosen leaders that
    move, and ``extra`` with the changes found apart from the vote moved. A place another
    leader holds is not taken."""
    if not period or not _place.PLACE_PERIODIC:
        return {}, extra
    found = [e.index for e in extra if e.index is not None]
    taken = {*indices, *found}
    moved = {
        old: new
        for old, new in place_periodic_in_time(
            x, kept.positions, sorted({*chosen, *found}), period
        ).items()
        if new not in taken
    }
    extra = [e if e.index not in moved else moved_evidence(e, moved[e.index]) for e in extra]
    return {i: j for i, j in moved.items() if i in chosen}, extra


def _stretches(n: int, reported: Sequence[int]) -> list[tuple[int, int]]:
    """The half-open stretches of n values between the reported changes."""
    cuts = [0, *sorted(reported), n]
    return list(zip(cuts[:-1], cuts[1:], strict=True))


def _cuts(chosen: set[int], extra: Sequence[Evidence]) -> list[int]:
    """The reported changes and those found apart from the vote so far, in order."""
    return sorted({*chosen, *(e.index for e in extra if e.index is not None)})


def _level_changes(
    x: NDArray[np.float64], reported: Sequence[int], h: int, largest: int
) -> list[Evidence]:
    """Shifts of level over whole stretches (:mod:`vollan._level`) between the reported
    changes, as evidence at their positions. One within a contrast width of a reported change
    is that change, placed less well, and is left out."""
    n = len(x)
    found = []
    for c, statistic, critical, span in level_changes(x, _stretches(n, reported)):
        if all(abs(c - r) > h for r in reported):
            # Its size is described from the values up to its neighbours, within the largest
            # window.
            w = min([c, n - c, largest, *(abs(c - r) for r in reported)])
            ((shift, ratio),) = leader_sizes(x, [w], [c])
            found.append(Evidence(statistic, "level", w, critical, span, shift, ratio, index=c))
    return found


def _slope_changes(x: NDArray[np.float64], reported: Sequence[int], h: int) -> list[Evidence]:
    """Bends of the trend (:mod:`vollan._slope`) within the stretches between the reported
    changes, as evidence at their positions."""
    found = []
    for c, statistic, critical, span in slope_changes(x, _stretches(len(x), reported), h):
        # Its size is described from the h values on either side, which its contrast compared.
        ((shift, ratio),) = leader_sizes(x, [h], [c])
        found.append(Evidence(statistic, "slope", h, critical, span, shift, ratio, index=c))
    return found


def _stretch_changes(
    x: NDArray[np.float64], reported: Sequence[int], largest: int, kind: str
) -> list[Evidence]:
    """Changes of shape (:mod:`vollan._shape`) or of spread (:mod:`vollan._spread`) within the
    stretches between the reported changes, as evidence at their positions. One within two
    local windows of a reported change is left out: a shift of level or spread mixes the shape
    and the spread of the values beside it."""
    n = len(x)
    found = []
    search = shape_changes if kind == "shape" else spread_changes
    for c, statistic, critical in search(x, _stretches(n, reported)):
        if all(abs(c - r) > 2 * LOCAL_VALUES for r in reported):
            # Its size is described from the values up to its neighbours, within the largest
            # window.
            h = min([c, n - c, largest, *(abs(c - r) for r in reported)])
            ((shift, ratio),) = leader_sizes(x, [h], [c])
            found.append(Evidence(statistic, kind, h, critical, (c, c + 1), shift, ratio, index=c))
    return found


# The passes apart from the vote, in turn: each searches the stretches between the reported
# changes and those the passes before it found. Shape before spread: a change of shape at equal
# spread moves the deviations the spread pass sums as well, and the shape's own statistic
# places it better.
PASSES = ("level", "slope", "shape", "spread")
# The contrast of one leader (None when it was not judged), its kind and its critical value.
Verdict = tuple[float | None, str | None, float | None]
# Values (of the series, or summed over the leaders' widths for their description) from which
# a step runs on a second core beside the next: below, starting a thread costs about what it
# saves.
BESIDE_FROM = 1 << 16


def _described(
    raw: ScanResult, x: NDArray[np.float64], widths: Sequence[int], indices: Sequence[int]
) -> tuple[list[tuple[int, int]], list[tuple[float, float]]]:
    """Where each leader's change may lie, and how large it is."""
    return leader_intervals(raw, indices), leader_sizes(x, widths, indices)


def _judge(
    x: NDArray[np.float64],
    ordered: NDArray[np.float64] | None,
    indices: Sequence[int],
    widths: Sequence[int],
    kinds: Sequence[str],
    min_contrast: float | str | None,
    note: str | None,
    candidates: Sequence[int],
) -> tuple[list[Verdict], list[bool], list[float]]:
    """Each leader's contrast, whether it stands out, and by how much.

    Only ``candidates``, the leaders with enough votes, are judged: no other can be reported.
    ``ordered`` holds the values of ``x`` sorted, when they were.
    """
    judged = set(candidates) if kinds else set()
    order = [i for i in indices if i in judged]
    width_of = dict(zip(indices, widths, strict=True))
    gap = resolution(x, ordered) if order and ordered is not None else None
    scores = dict(
        zip(
            order,
            contrast_scores(x, [width_of[i] for i in order], order, kinds, order, gap),
            strict=True,
        )
    )
    verdicts: list[Verdict] = []
    stands_out = []
    strength = []
    for i, h in zip(indices, widths, strict=True):
        row = scores.get(i)
        if row:
            critical = {
                k: critical_contrast(k, len(x), h)
                if isinstance(min_contrast, str)
                else float(cast("float", min_contrast))
                for k in row
            }
            kind = max(row, key=lambda k: row[k] - critical[k])
            verdicts.append((row[kind], kind, critical[kind]))
            stands_out.append(row[kind] > critical[kind])
            strength.append(row[kind] - critical[kind])
        else:
            verdicts.append((None, None, None))
            # Without the check only the votes decide; a series too short for it reports none.
            stands_out.append(min_contrast is None and note is None)
            strength.append(-math.inf)
    return verdicts, stands_out, strength


def _judge_short(
    x: NDArray[np.float64],
    indices: Sequence[int],
    candidates: Sequence[int],
    smallest: int,
) -> tuple[list[Verdict], list[bool], list[float]]:
    """As :func:`_judge`, for a series too short for contrasts (:mod:`vollan._short`): each
    candidate's contrast is the best split statistic within half the smallest window of it,
    and only the strongest candidate can stand out."""
    statistics = split_statistics(x)
    critical = critical_shift(len(x))
    judged = set(candidates)
    reach = max(1, smallest // 2)
    t = {i: shift_score(statistics, i, reach) for i in indices if i in judged}
    best = max(t, key=lambda i: (t[i], -i)) if t else None
    verdicts: list[Verdict] = []
    stands_out = []
    strength = []
    for i in indices:
        if i in t:
            verdicts.append((t[i], "shift", critical))
            stands_out.append(i == best and t[i] > critical)
            strength.append(t[i] - critical)
        else:
            verdicts.append((None, None, None))
            stands_out.append(False)
            strength.append(-math.inf)
    return verdicts, stands_out, strength


def _check_options(
    alpha: float,
    min_score: float,
    min_contrast: float | str | None,
    detrend: str | None,
    change_type: str,
    outliers: str,
) -> None:
    if not (0.0 < alpha <= 1.0):
        raise ValueError(f"alpha must be in (0, 1], got {alpha}")
    if not (0.0 <= min_score <= 1.0):
        raise ValueError(f"min_score must be in [0, 1], got {min_score}")
    if isinstance(min_contrast, str):
        if min_contrast != "auto":
            raise ValueError(f"min_contrast must be 'auto', a number or None, got {min_contrast!r}")
    elif min_contrast is not None and not (min_contrast >= 0.0):
        raise ValueError(f"min_contrast must be at least 0, 'auto' or None, got {min_contrast}")
    if detrend not in ("linear", None):
        raise ValueError(f"detrend must be 'linear' or None, got {detrend!r}")
    if not isinstance(change_type, str) or change_type.lower() not in KINDS_OF_CHANGE_TYPE:
        raise ValueError(
            f"change_type must be 'mean', 'var' or 'distribution', got {change_type!r}"
        )
    if outliers not in ("omit", "keep"):
        raise ValueError(f"outliers must be 'omit' or 'keep', got {outliers!r}")


def _scan(x: NDArray[np.float64], options: dict[str, Any]) -> ScanResult:
    # The engine reads any buffer of float64; its stub names only sequences.
    return scan_detector(cast("Sequence[float]", x), **options)


def _remove_line(
    x: NDArray[np.float64], options: dict[str, Any], min_score: float
) -> tuple[NDArray[np.float64], tuple[float, float]]:
    """The residual from a line whose slope is fitted between the level shifts of a scan."""
    residual, trend = detrend_linear(x)
    # A first scan finds the level shifts, so that the slope can be fitted within the
    # segments between them; it is skipped when even the plain line is negligible.
    if line_matters(x, trend[1]):
        first = _scan(x, options)["out"]["leaders_scores"]
        shifts = [i for i, score in first.items() if score >= min_score]
        residual, trend = detrend_linear(x, shifts)
    return residual, trend


def detect_many(
    series_iterable: Iterable[Any],
    *,
    client: Any = None,
    **options: Any,
) -> list[Detection]:
    """Run :func:`detect` on many series, locally or on a Dask cluster.

    Parameters
    ----------
    series_iterable : iterable
        The series, each anything :func:`detect` accepts.
    client : distributed.Client, optional
        A Dask client. When given, every series becomes one task on the cluster; vollan must
        be installed on its workers. Cap the engine's threads per worker with the environment
        variable ``RAYON_NUM_THREADS`` (see the README). Default: run here, one series after
        the other, each on the engine's thread pool.
    **options
        Keyword arguments of :func:`detect`, the same for every series.

    Returns
    -------
    list of Detection
        One result per series, in input order; equal to what :func:`detect` returns here.

    Raises
    ------
    ValueError, TypeError
        As :func:`detect`, for the first series that fails (on a cluster, the error of the
        first failing series in input order is re-raised).

    Examples
    --------
    >>> import vollan
    >>> series = [vollan.datasets.load_nile().values, vollan.datasets.load_bank().values]
    >>> [(found.n_obs, found.labels) for found in vollan.detect_many(series, labels=None)][0]
    (100, (28,))
    """
    items = list(series_iterable)
    if client is None:
        return [detect(s, **options) for s in items]
    # distributed is imported only when asked for; it is an optional dependency.
    wait: Any = importlib.import_module("distributed").wait
    # A partial keeps options such as ``workers`` away from ``client.map``'s own keywords.
    futures = client.map(functools.partial(detect, **options), items)
    wait(futures)
    for future in futures:
        if future.status == "error":
            future.result()
    return list(client.gather(futures))
