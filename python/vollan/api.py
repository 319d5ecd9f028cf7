"""The convenience layer: one call from a series to its change points.

:func:`detect` is a short pipeline, each step in a module of its own: the values scanned and
the window sizes (``_scanned``: missing values, units, outliers, the period), the scan, the
leaders scored, judged and chosen (``_judge``), the changes looked for apart from the vote
(``_passes``), and the result (``_result``). The names callers use are re-exported here.
"""

from __future__ import annotations

import functools
import importlib
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Final, Literal, SupportsFloat, cast

import numpy as np

from _vollan_native import scan_detector
from vollan._background import may_use_two_threads
from vollan._contrast import KINDS_OF_CHANGE_TYPE
from vollan._input import (
    _values_and_labels,
    check_integer,
    check_replicates,
    check_window_sizes,
    check_workers,
    real_number,
)
from vollan._judge import judge_leaders
from vollan._passes import changes_apart_from_vote, placed_in_cycle
from vollan._result import Detection, Leader, build_detection
from vollan._rules import (
    DEFAULT_MIN_CONTRAST,
    DEFAULT_MIN_SCORE,
    detrend_linear,
    line_matters,
    local_contrast,
)
from vollan._scale import (
    DEFAULT_ALPHA,
    default_n_perm,
    default_window_sizes,
    dominant_period,
)
from vollan._scanned import scanned_values
from vollan._select import check_selection, select_changes

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import ChangeType, ScanResult

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
    series: Sequence[SupportsFloat | None] | Iterable[SupportsFloat | None],
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
      exceed the 95 % quantile of the largest such z-score over a Gaussian white-noise series
      of the same length (:func:`vollan._contrast.critical_contrast`), for either contrast: so
      a series without change reports one with probability at most about 5 %. Sparse events
      follow a law of their own: where one value makes up more than four values in five of a
      series of at most 10^5 values and 32 distinct ones, the critical value is also the 95 %
      quantile (shared between the two contrasts) of that z-score over up to 200 random orders
      of the series' own values, and the larger of the two holds (:mod:`vollan._permuted`).
      A straight
      drift changes its contrast nowhere in particular and reports nothing; along a curve
      whose slope grows (exponential growth, the steep side of a logistic) the location
      contrast grows with the slope and stands out where the curve is steepest, so a
      location contrast does not count where a least-squares line explains it: its slope
      significant and a step at the leader not, over every symmetric span of h, 2h, 4h, ...
      values up to the largest window (:mod:`vollan._drift`, t statistics beyond the
      two-sided 1 % point shared among the spans; a jump shows a step over its own width, a
      transition spread over many values over a span that holds its flat ends). The width h
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
      random-walk and seasonal series, and only where two or three levels of those deviations
      fit them better than a line: a spread that grows steadily changes nowhere.
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
        whatever ``min_score`` and ``min_contrast`` say (ruptures' ``n_bkps``). Without
        ``min_size``, leaders closer than the smallest window to one already reported come
        last: the scan cannot tell them apart. Default: as many as the rules report.
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
    _check_options(
        alpha,
        min_score,
        min_contrast,
        detrend,
        change_type,
        outliers,
        window_sizes=window_sizes,
        n_perm=n_perm,
        seed=seed,
        tol=tol,
        workers=workers,
    )
    check_selection(n_changes, min_size)
    two_threads = may_use_two_threads(workers)
    scanned = scanned_values(
        values,
        nan_policy=nan_policy,
        outliers=outliers,
        window_sizes=window_sizes,
        two_threads=two_threads,
    )
    x, sizes = scanned.x, scanned.sizes
    if n_perm is None:
        n_perm = default_n_perm(len(x), sizes[0], alpha)
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
        trend = (level / scanned.scale + scanned.offset, slope / scanned.scale)
    raw = _scan(x, options)
    judged = judge_leaders(
        x,
        raw,
        sizes,
        change_type=change_type,
        min_score=min_score,
        min_contrast=min_contrast,
        two_threads=two_threads,
    )
    extra = changes_apart_from_vote(
        x, judged.chosen, judged.kinds_judged, sizes, two_threads=two_threads
    )
    period = scanned.period_of_windows
    moved, extra = placed_in_cycle(x, scanned.kept, judged.indices, judged.chosen, extra, period)
    found = build_detection(
        raw,
        judged.scores,
        judged.evidence(),
        judged.chosen,
        scanned.kept,
        labels,
        window_sizes=sizes,
        min_score=min_score,
        min_contrast=min_contrast,
        n_perm=n_perm,
        trend=trend,
        outliers=scanned.outliers,
        n_missing=scanned.n_missing,
        period=period,
        note=judged.note,
        extra=extra,
        offset=scanned.offset,
        scale=scanned.scale,
        moved=moved,
    )
    return select_changes(found, n_changes, min_size)


def _check_options(
    alpha: float,
    min_score: float,
    min_contrast: float | str | None,
    detrend: str | None,
    change_type: str,
    outliers: str,
    *,
    window_sizes: Sequence[int] | None = None,
    n_perm: int | None = None,
    seed: int = 123,
    tol: int = 2,
    workers: int | None = None,
) -> None:
    """Refuse options of :func:`detect` of the wrong type or out of range, naming them.

    The integer options are checked here rather than by the engine, which holds them in
    unsigned 64 bits and would refuse a negative or larger one without saying which it was.
    """
    if not (0.0 < real_number("alpha", alpha) <= 1.0):
        raise ValueError(f"alpha must be in (0, 1], got {alpha}")
    if not (0.0 <= real_number("min_score", min_score) <= 1.0):
        raise ValueError(f"min_score must be in [0, 1], got {min_score}")
    if isinstance(min_contrast, str):
        if min_contrast != "auto":
            raise ValueError(f"min_contrast must be 'auto', a number or None, got {min_contrast!r}")
    elif min_contrast is not None and not (
        real_number("min_contrast", min_contrast, ", 'auto' or None") >= 0.0
    ):
        raise ValueError(f"min_contrast must be at least 0, 'auto' or None, got {min_contrast}")
    check_window_sizes(window_sizes)
    check_replicates(n_perm)
    check_integer("seed", seed, 0)
    check_integer("tol", tol, 0)
    check_workers(workers)
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
    try:
        return scan_detector(cast("Sequence[float]", x), **options)
    except MemoryError:
        raise MemoryError(
            f"not enough memory for this scan (n_perm={options['n_perm']} replicates per "
            f"threshold, {len(options['window_sizes'])} window sizes); pass a smaller n_perm, "
            "fewer window_sizes or a shorter series"
        ) from None
    except ValueError as exc:
        # A dedicated pool that the system cannot start: say which option asked for it.
        if options.get("workers") and str(exc).startswith("failed to build Rayon thread pool"):
            reason = str(exc).partition(": ")[2]
            raise ValueError(
                f"workers={options['workers']}: the system could not start that many threads "
                f"({reason}); pass fewer workers, or None for the shared pool"
            ) from None
        raise


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
