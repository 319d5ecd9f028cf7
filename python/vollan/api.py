"""The convenience layer: one call from a series to its change points.

:func:`detect` turns its options into a :class:`~vollan.config.DetectConfig`, prepares one
context per series, scans it, runs the stages of :mod:`vollan.pipeline` in their one stated
order, places the changes and returns a :class:`Detection`. The names callers use are
re-exported here.
"""

from __future__ import annotations

import dataclasses
import functools
import importlib
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any, Final, Literal, SupportsFloat

import numpy as np

from vollan._input import (
    _values_and_labels,
    check_integer,
    check_replicates,
    check_window_sizes,
    check_workers,
    real_number,
)
from vollan._progress import resolve as resolve_progress
from vollan._progress import within
from vollan._result import Change, Detection, Leader, build_detection
from vollan.config import DEFAULT, DetectConfig
from vollan.pipeline import run, stage_rows, windows
from vollan.pipeline.background import may_use_two_threads
from vollan.pipeline.context import prepared
from vollan.pipeline.place import placed, placed_apart
from vollan.pipeline.scan import scan
from vollan.pipeline.select import check_selection, select_changes
from vollan.pipeline.short import short_note
from vollan.pipeline.stage import KINDS_OF_CHANGE_TYPE
from vollan.pipeline.windows import DEFAULT_ALPHA, default_n_perm, default_window_sizes
from vollan.stats.period import dominant_period
from vollan.stats.robust import detrend_linear, line_matters, local_contrast

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import ChangeType

DEFAULT_CHANGE_TYPE: Final = "distribution"
DEFAULT_MIN_SCORE: Final = 0.5
DEFAULT_MIN_CONTRAST: Final = "auto"

__all__ = [
    "DEFAULT_ALPHA",
    "DEFAULT_MIN_CONTRAST",
    "DEFAULT_MIN_SCORE",
    "Change",
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
    detrend: Literal["linear"] | None = None,
    outliers: Literal["omit", "keep"] = "omit",
    n_perm: int | None = None,
    seed: int = 123,
    tol: int = 2,
    workers: int | None = None,
    labels: Sequence[Any] | None = None,
    nan_policy: Literal["omit", "raise"] = "omit",
    n_changes: int | None = None,
    min_size: int | None = None,
    config: DetectConfig | None = None,
    progress: bool | Callable[[float, str], None] | None = None,
) -> Detection:
    """Find the changes of a series: where its mean, spread, shape or trend changes.

    A multi-scale window scan with Wasserstein distances votes for candidate changes; the
    stages of :mod:`vollan.pipeline` judge them, and look between them for changes the
    windows miss, each with a p-value under its own stated null. A change is reported when its
    stage's p-value passes the stage's share of ``alpha``, so that a series without change
    reports one with probability at most ``alpha``. Each change is then placed by the
    two-segment likelihood of its kind, with a confidence interval. The stages, what each
    catches and its share of the budget are tabled in the README and in ``docs/model.md``.

    Parameters
    ----------
    series : sequence of float, numpy array or pandas Series
        The values, finite or missing (NaN, None, pandas' NA). The index of a pandas Series
        gives the labels; a single column (shape (n, 1)) is taken as the series (for several
        see :func:`vollan.detect_columns`).
    window_sizes : sequence of int, optional
        Window sizes to scan, each at least 4. Default :func:`default_window_sizes`: twelve
        sizes from 10 values up to a quarter of the series (whole periods of a periodic one).
    change_type : {"distribution", "mean", "var"}, default "distribution"
        The kinds of change looked for: every kind, shifts of the mean, or changes of spread.
    alpha : float, default 0.05
        The false-alarm budget: the chance of reporting any change in a change-free series.
    min_score : float, default 0.5
        Share of the window sizes that fit around a leader of the vote that must vote for it.
    min_contrast : "auto", float or None, default "auto"
        "auto": the vote's candidates are judged by their calibrated p-values; a number: by
        a robust z-score of their local contrast above it instead; None: the votes decide.
    detrend : {None, "linear"}, default None
        Remove a straight line (its slope fitted between the level shifts of a first scan)
        before the scan.
    outliers : {"omit", "keep"}, default "omit"
        Leave isolated outliers out of the scan (reported in ``Detection.outliers``).
    n_perm : int, optional
        Bootstrap replicates per threshold of the scan. Default :func:`default_n_perm`.
    seed : int, default 123
        Base seed; the result is reproducible bit for bit from it.
    tol : int, default 2
        Largest gap between change points of different windows that counts as one change.
    workers : int, optional
        Threads of a pool of this call's own; default the shared pool.
    labels : sequence, optional
        Labels of the values (dates, years, ...); default a pandas Series' index.
    nan_policy : {"omit", "raise"}, default "omit"
        Leave missing values out, or refuse them.
    n_changes : int, optional
        Report this many changes, those with the strongest evidence (ruptures' ``n_bkps``);
        ``note`` says so when fewer can be told apart.
    min_size : int, optional
        Least distance between reported changes, and from either end.
    config : DetectConfig, optional
        The stages' parameters (see :mod:`vollan.config`): a variant is
        ``vollan.DEFAULT_CONFIG.replace("level", bumps=False)`` or ``.without("slope")``. The
        options above replace the config's own ``change_type``, ``alpha``, ``min_score`` and
        ``min_contrast``.
    progress : bool or callable, optional
        True draws a progress bar (share done, time left) on standard error for calls longer
        than two seconds; False draws none; None (the default) draws one in a notebook only. A
        callable is called as ``progress(share_done, step)`` when each step starts.

    Returns
    -------
    Detection
        The changes (kind, index, p-value, interval, size), every leader of the vote, and the
        engine's result for the values scanned (``raw``).

    Raises
    ------
    ValueError
        For a series that is not one-dimensional, holds infinities, holds missing values under
        ``nan_policy="raise"``, or is too short for two of the smallest windows; for options
        out of range; and for the engine's own value checks.
    TypeError
        For a series that is not a sequence of numbers, and options of the wrong type.

    Examples
    --------
    >>> import vollan
    >>> nile = vollan.datasets.load_nile()
    >>> found = vollan.detect(nile.values, labels=nile.labels)
    >>> found.labels
    (1899,)
    >>> found.changes[0].kind
    'mean'
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
    if config is not None and not isinstance(config, DetectConfig):
        raise TypeError(f"config must be a DetectConfig or None, not {type(config).__name__}")
    cfg = (config or DEFAULT).replace(change_type=change_type.lower(), alpha=float(alpha))
    cfg = cfg.replace("vote", min_score=min_score, min_contrast=min_contrast)
    two_threads = may_use_two_threads(workers)
    ctx = prepared(
        values,
        nan_policy=nan_policy,
        outliers=outliers,
        window_sizes=window_sizes,
        change_type=cfg.change_type,
        two_threads=two_threads,
        params=cfg.prepare,
    )
    x, sizes = ctx.x, ctx.sizes
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
        "pilot": windows.PILOT_FACTOR,
    }
    trend = None
    if detrend == "linear":
        x, (level, slope) = _remove_line(x, options, min_score)
        trend = (level / ctx.scale + ctx.offset, slope / ctx.scale)
        ctx = dataclasses.replace(ctx, kept=dataclasses.replace(ctx.kept, values=x))
    report, bar = resolve_progress(progress)
    try:
        if report:
            report(0.05, "scanning")
        ctx = dataclasses.replace(ctx, scan=scan(x, options))
        outcome = run(ctx, cfg, within(report, 0.5, 0.98) if report else None)
    finally:
        if bar is not None:
            bar.close()
    chosen = placed(ctx, outcome.accepted, cfg.place)
    reported = {c.index for c in outcome.accepted}
    # The leaders not reported are described only when a count may report them.
    others = (
        placed_apart(
            ctx,
            [c for c in outcome.proposed if c.stage == "vote" and c.index not in reported],
            cfg.place,
        )
        if n_changes is not None
        else []
    )
    assert ctx.scan is not None  # scanned above
    found = build_detection(
        ctx.kept,
        labels,
        ctx.scan,
        outcome.proposed,
        chosen,
        others,
        outcome.levels,
        interval_level=cfg.place.level,
        window_sizes=tuple(sizes),
        n_obs=ctx.kept.n_obs,
        n_scanned=ctx.n,
        n_omitted=ctx.n_missing,
        alpha=float(alpha),
        min_score=min_score,
        min_contrast=min_contrast,
        n_perm=n_perm,
        trend=trend,
        outliers=tuple(ctx.outliers),
        period=ctx.period_of_windows,
        note=short_note(ctx, cfg.vote) or (ctx.judged[1] if min_contrast is not None else None),
        offset=ctx.offset,
        scale=ctx.scale,
    )
    return select_changes(found, n_changes, min_size)


def _stages_notes() -> str:
    """The Notes section of :func:`detect`, drawn from the stages' metadata."""
    lines = ["Notes", "-----", "The stages, in their order (:data:`vollan.pipeline.STAGES`):", ""]
    for row in stage_rows():
        lines.append(f"- {row['stage']} ({row['share']}): {row['catches']}; kinds {row['kinds']}.")
    return "\n".join(lines) + "\n\n"


# Python 3.13 strips the docstring's indentation when it compiles it.
if detect.__doc__ is not None:
    detect.__doc__ = detect.__doc__.replace(
        "\nExamples\n", "\n" + _stages_notes() + "Examples\n", 1
    )


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


def _remove_line(
    x: NDArray[np.float64], options: dict[str, Any], min_score: float
) -> tuple[NDArray[np.float64], tuple[float, float]]:
    """The residual from a line whose slope is fitted between the level shifts of a scan."""
    residual, trend = detrend_linear(x)
    # A first scan finds the level shifts, so that the slope can be fitted within the
    # segments between them; it is skipped when even the plain line is negligible.
    if line_matters(x, trend[1]):
        first = scan(x, options).raw["out"]["leaders_scores"]
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
