"""The convenience layer: one call from a series to its change points."""

from __future__ import annotations

import functools
import importlib
import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, SupportsFloat

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from _vollan_native import scan_detector

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from _vollan_native import ScanResult

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
    "local_contrast",
]

DEFAULT_ALPHA = 0.05
DEFAULT_MIN_SCORE = 0.5
# Hampel's identifier: a contrast more than three scaled MADs above the median is an outlier.
DEFAULT_MIN_CONTRAST = 3.0
# The engine's floor for a window's standard deviation.
MIN_STD = 1e-12
# MAD × 1.4826 estimates the standard deviation of normally distributed values.
MAD_TO_SD = 1.4826
# The smallest window the bootstrap accepts: it draws blocks of 8 values from the 2w values
# of two adjacent windows.
MIN_WINDOW = 4
# The smallest window whose bootstrap still has variety: with 2w = 20 values there are 13
# block starts and 3 blocks per replicate, so 300 replicates are drawn from 2197 distinct
# resamples; at w = 8 only 81 exist, and at w = 4 a single one.
SMALLEST_DEFAULT_WINDOW = 10
N_DEFAULT_WINDOWS = 12
# Replicates: the engine's own default is the floor, and replicates × values stays within
# this budget (a fraction of a second on one core), so long series keep the floor.
MIN_DEFAULT_N_PERM = 300
N_PERM_BUDGET = 2_000_000
# A line that moves no value by more than this fraction of the noise is not worth a first scan
# to refit its slope.
NEGLIGIBLE_LINE = 0.1
# Replicates wanted beyond the threshold's quantile, so that it is not one extreme replicate.
REPLICATES_BEYOND_QUANTILE = 10
# Rows of sorted windows held at once by local_contrast (each row holds h values).
_CONTRAST_CHUNK_VALUES = 1 << 22


@dataclass(frozen=True)
class Leader:
    """One leader of the vote across window sizes: the strongest point of its segment.

    Attributes
    ----------
    index : int
        Position in the series of the first value of the new regime.
    label : object
        The label of that position (a date, a year, ...), or ``index`` when there are no labels.
    votes : int
        Votes of the leader's segment: window sizes that found a point of it, summed over its
        points.
    score : float
        ``min(votes / number of window sizes, 1)``.
    probability : float
        The score normalised over all leaders, as the engine reports it.
    contrast : float or None
        How far the local contrast at the leader stands out from the rest of the series, in
        scaled MADs (see :func:`detect`); ``inf`` when the contrast is constant elsewhere;
        None when the check was off or the series is too short for it.
    reported : bool
        Whether the leader is one of the change points of the :class:`Detection`: its score
        reaches ``min_score``, its contrast exceeds ``min_contrast``, and no stronger reported
        leader lies closer than the smallest window.
    """

    index: int
    label: Any
    votes: int
    score: float
    probability: float
    contrast: float | None
    reported: bool


@dataclass(frozen=True)
class Detection:
    """The change points of a series, the evidence behind them and the engine's full result.

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
        Length of the series.
    min_score : float
        The score a leader needed to be reported.
    min_contrast : float or None
        The contrast a leader needed to exceed, or None when the check was off.
    n_perm : int
        Bootstrap replicates per threshold.
    trend : tuple of (float, float) or None
        ``(level, slope)`` of the straight line removed before the scan: the line's value at
        the middle of the series and its change per step; None without detrending.
    raw : dict
        The dictionary returned by :func:`vollan.scan_detector` for the scanned series (the
        residual from the line when ``trend`` is set; see the README).
    """

    change_points: tuple[int, ...]
    labels: tuple[Any, ...]
    leaders: tuple[Leader, ...]
    cdf: tuple[tuple[int, float], ...]
    window_sizes: tuple[int, ...]
    n_obs: int
    min_score: float
    min_contrast: float | None
    n_perm: int
    trend: tuple[float, float] | None
    raw: ScanResult = field(repr=False, hash=False)

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
            ``n_obs``, ``window_sizes``, ``min_score``, ``min_contrast``, ``n_perm``, ``trend``,
            ``change_points`` and ``leaders`` (lists of dictionaries with index, label, votes,
            score, probability, contrast (None when not finite) and, for leaders, reported) and
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
            }

        return {
            "n_obs": self.n_obs,
            "window_sizes": list(self.window_sizes),
            "min_score": self.min_score,
            "min_contrast": self.min_contrast,
            "n_perm": self.n_perm,
            "trend": list(self.trend) if self.trend is not None else None,
            "change_points": [row(x) for x in self.leaders if x.reported],
            "leaders": [row(x) | {"reported": x.reported} for x in self.leaders],
            "cdf": [[i, p] for i, p in self.cdf],
        }


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


def default_window_sizes(n_obs: int) -> list[int]:
    """Window sizes that fit a series of ``n_obs`` values.

    Twelve sizes spaced geometrically from 10 up to ``n_obs // 4``, so that every scale from
    local to a quarter of the series gets the same number of votes, whatever the length. The
    upper end leaves each window at least three positions to compare; the lower end of 10 is
    the smallest window whose bootstrap still draws from thousands of distinct resamples.
    When a quarter of the series is less than 20 values, the sizes run from half of
    ``n_obs // 4`` up to it (a factor of two, as in the engine's own 10 to 20), but never
    below 4, the smallest window the bootstrap accepts.

    Parameters
    ----------
    n_obs : int
        Length of the series; at least 8.

    Returns
    -------
    list of int
        Distinct window sizes, ascending.

    Raises
    ------
    ValueError
        If ``n_obs`` < 8: no window fits twice.
    """
    if n_obs < 2 * MIN_WINDOW:
        raise ValueError(
            f"series has {n_obs} values; at least {2 * MIN_WINDOW} are needed "
            f"(two windows of {MIN_WINDOW} values)"
        )
    top = max(MIN_WINDOW, n_obs // 4)
    low = min(SMALLEST_DEFAULT_WINDOW, max(MIN_WINDOW, top // 2))
    if low == top:
        return [top]
    ratio = top / low
    steps = N_DEFAULT_WINDOWS - 1
    return sorted({round(low * ratio ** (i / steps)) for i in range(N_DEFAULT_WINDOWS)})


def default_n_perm(n_obs: int, smallest_window: int, alpha: float = DEFAULT_ALPHA) -> int:
    """Bootstrap replicates per threshold for a scan of ``n_obs`` values.

    Each window's threshold is the ``1 - alpha / K`` quantile of the replicates, K being the
    number of positions of the window. With too few replicates that quantile is simply the
    largest replicate, whose value changes from seed to seed, and so do the change points.
    The default asks for ten replicates beyond the quantile of the smallest window (the one
    with the most positions), ``10 * K / alpha``, within a budget of 2,000,000 replicated
    values (``n_perm * n_obs``) and never fewer than the engine's own 300.

    Parameters
    ----------
    n_obs : int
        Length of the series.
    smallest_window : int
        The smallest window size of the scan.
    alpha : float, default 0.05
        Family-wise level of each window's scan.

    Returns
    -------
    int
        Replicates per threshold, from 300 up; 300 for series of 6,667 values or more.
    """
    positions = max(1, n_obs // max(1, smallest_window) - 1)
    wanted = math.ceil(REPLICATES_BEYOND_QUANTILE * positions / alpha)
    cap = max(MIN_DEFAULT_N_PERM, N_PERM_BUDGET // max(1, n_obs))
    return max(MIN_DEFAULT_N_PERM, min(wanted, cap))


def detrend_linear(
    series: Any, change_points: Sequence[int] = ()
) -> tuple[NDArray[np.float64], tuple[float, float]]:
    """Remove the mean and a straight line, its slope fitted within segments.

    The slope is the pooled least-squares slope within the segments between
    ``change_points``: each segment keeps its own level, so that level shifts at those points
    do not tilt the line (a line fitted across a step would turn it into two ramps).
    Without change points it is the ordinary least-squares slope of the whole series.

    Parameters
    ----------
    series : sequence of float or numpy array
        The values, all finite.
    change_points : sequence of int, optional
        Ascending positions where segments begin (0 < c < n).

    Returns
    -------
    residual : numpy.ndarray
        ``series - level - slope * (t - (n - 1) / 2)``, as float64.
    trend : tuple of (float, float)
        ``(level, slope)``: the mean of the series and the slope per step.

    Raises
    ------
    ValueError
        If the line or the residual is not finite (values near the float limit overflow).
    """
    with np.errstate(all="ignore"):  # overflow is reported below
        return _detrend(np.asarray(series, dtype=np.float64), change_points)


def _detrend(
    x: NDArray[np.float64], change_points: Sequence[int]
) -> tuple[NDArray[np.float64], tuple[float, float]]:
    n = len(x)
    # Time centred on the middle, so that the slope does not move the level.
    t = np.arange(n, dtype=np.float64) - (n - 1) / 2.0
    level = float(np.mean(x)) if n else 0.0
    across = 0.0
    spread = 0.0
    bounds = [0, *(c for c in change_points if 0 < c < n), n]
    for a, b in zip(bounds[:-1], bounds[1:], strict=True):
        if b - a < 2:
            continue
        ts = t[a:b] - float(np.mean(t[a:b]))
        across += float(np.sum(ts * (x[a:b] - float(np.mean(x[a:b])))))
        spread += float(np.sum(ts * ts))
    slope = across / spread if spread > 0 else 0.0
    residual = (x - level) - slope * t
    if not (math.isfinite(level) and math.isfinite(slope) and np.isfinite(residual).all()):
        raise ValueError(
            "the series overflows when its straight line is removed (values near the float "
            "limit); rescale it or pass detrend=None"
        )
    return residual, (level, slope)


def local_contrast(series: Any, h: int, change_type: str = "mean") -> NDArray[np.float64]:
    """How much the ``h`` values after each boundary differ from the ``h`` values before it.

    Entry ``i`` belongs to the boundary ``c = h + i`` and compares ``series[c - h : c]`` with
    ``series[c : c + h]``, for every ``c`` from ``h`` to ``n - h``. For the change types
    "mean" and "distribution" the comparison is the statistic of the window scan, the
    Wasserstein distance (for two samples of equal size, the mean absolute difference of
    their sorted values), taken at every position instead of every ``h``-th. For "var" it is
    ``|log(s_after / s_before)|``, with the sample standard deviations floored at 1e-12 as in
    the engine: the distance grows with the spread on both sides, so in the noisier part of
    a series it is large everywhere and a change of spread would not stand out.

    Parameters
    ----------
    series : sequence of float or numpy array
        The values, all finite.
    h : int
        Values on each side of a boundary, at least 1 (at least 2 for "var").
    change_type : {"mean", "var", "distribution"}, default "mean"
        Which comparison; letter case is ignored.

    Returns
    -------
    numpy.ndarray
        ``n - 2h + 1`` contrasts.

    Raises
    ------
    ValueError
        If ``h`` is too small, the series has fewer than ``2h`` values, or the change type is
        unknown.
    """
    x = np.asarray(series, dtype=np.float64)
    n = len(x)
    kind = change_type.lower() if change_type.isascii() else change_type
    if kind not in ("mean", "var", "distribution"):
        raise ValueError(
            f"change_type must be 'mean', 'var' or 'distribution', got {change_type!r}"
        )
    smallest = 2 if kind == "var" else 1
    if h < smallest or n < 2 * h:
        raise ValueError(f"need h >= {smallest} and at least 2h values, got h={h} and {n} values")
    m = n - 2 * h + 1
    out = np.empty(m)
    # Chunks bound the memory of the window copies for long series and wide h.
    rows = max(1, _CONTRAST_CHUNK_VALUES // h)
    for s in range(0, m, rows):
        e = min(m, s + rows)
        windows = sliding_window_view(x[s : e + 2 * h - 1], h)
        if kind == "var":
            spread = np.log(np.maximum(np.std(windows, axis=1, ddof=1), MIN_STD))
            out[s:e] = np.abs(spread[h : h + e - s] - spread[: e - s])
        else:
            ordered = np.sort(windows, axis=1)
            out[s:e] = np.abs(ordered[h : h + e - s] - ordered[: e - s]).mean(axis=1)
    return out


def _contrast_scores(
    scanned: NDArray[np.float64], h: int, change_type: str, leaders: Sequence[int]
) -> list[float | None]:
    """Robust z-score of the local contrast at each leader (None when it cannot be judged)."""
    if not leaders:  # nothing to judge: spare long series the contrast at every boundary
        return []
    n = len(scanned)
    m = n - 2 * h + 1
    # A change moves the contrast at up to 2h - 1 boundaries; with fewer than 2h boundaries
    # their median no longer describes the series away from its changes.
    if m < 2 * h:
        return [None] * len(leaders)
    with np.errstate(all="ignore"):  # values near the float limit give inf or NaN
        contrast = local_contrast(scanned, h, change_type)
    median = float(np.median(contrast))
    with np.errstate(all="ignore"):
        spread = MAD_TO_SD * float(np.median(np.abs(contrast - median)))
    out: list[float | None] = []
    for c in leaders:
        # The leader's position is known to within the smallest window; take the strongest
        # boundary within half of it (boundary c' is entry c' - h).
        lo = min(max(c - h // 2 - h, 0), m - 1)
        hi = max(min(c + h // 2 - h, m - 1), lo)
        excess = float(contrast[lo : hi + 1].max()) - median
        if spread > 0:
            out.append(excess / spread)
        else:
            out.append(math.inf if excess > 0 else 0.0)
    return out


def _noise_scale(x: NDArray[np.float64]) -> float:
    """Robust standard deviation of the noise, from the first differences.

    Level shifts and a drift move few differences or all of them alike, so the scaled MAD of
    the differences, divided by sqrt(2), estimates the noise of white noise around them.
    """
    with np.errstate(all="ignore"):
        d = np.diff(x)
        return MAD_TO_SD * float(np.median(np.abs(d - np.median(d)))) / math.sqrt(2.0)


def _number(value: Any) -> float:
    if value is None or isinstance(value, str | bytes):
        raise TypeError(f"series must be a sequence of numbers, not of {type(value).__name__}")
    return float(value)


def _as_float_array(values: Any) -> NDArray[np.float64]:
    try:
        array = np.asarray(values)
        if array.dtype.kind == "O":  # e.g. Decimal or Fraction objects, or None
            array = np.array([_number(v) for v in array.ravel().tolist()]).reshape(array.shape)
    except (TypeError, ValueError) as exc:
        message = str(exc)
        if not message.startswith("series must"):
            message = f"series must be a sequence of numbers: {message}"
        raise TypeError(message) from None
    if array.dtype.kind not in "biuf":
        raise TypeError(f"series must be a sequence of numbers, not of {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"series must be one-dimensional, got shape {array.shape}")
    array = np.ascontiguousarray(array, dtype=np.float64)
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        raise ValueError(
            f"series contains NaN or infinite values (the first at index {int(bad[0])}); "
            "clean or impute it first"
        )
    return array


def _values_and_labels(
    series: Any, labels: Sequence[Any] | None
) -> tuple[Any, Sequence[Any] | None]:
    index = None
    if hasattr(series, "to_numpy") and hasattr(series, "index"):  # a pandas Series
        if getattr(series, "ndim", 1) != 1:
            raise ValueError(f"series must be one-dimensional, got shape {series.shape}")
        index = list(series.index)
        values: Any = series.to_numpy(dtype=float)
    elif hasattr(series, "ndim"):  # a numpy array or another buffer
        if series.ndim != 1:
            raise ValueError(f"series must be one-dimensional, got shape {series.shape}")
        values = series
    elif isinstance(series, Sequence) and not isinstance(series, str | bytes):
        values = series
    elif isinstance(series, Iterable) and not isinstance(series, str | bytes):
        values = list(series)
    else:
        raise TypeError(f"series must be a sequence of numbers, not {type(series).__name__}")
    if labels is None:
        labels = index
    elif len(labels) != len(values):
        raise ValueError(f"labels has {len(labels)} entries but the series {len(values)}")
    return values, labels


def detect(
    series: Sequence[SupportsFloat] | Iterable[SupportsFloat],
    *,
    window_sizes: Sequence[int] | None = None,
    change_type: str = "mean",
    alpha: float = DEFAULT_ALPHA,
    min_score: float = DEFAULT_MIN_SCORE,
    min_contrast: float | None = DEFAULT_MIN_CONTRAST,
    detrend: Literal["linear"] | None = "linear",
    n_perm: int | None = None,
    seed: int = 123,
    tol: int = 2,
    workers: int | None = None,
    labels: Sequence[Any] | None = None,
) -> Detection:
    """Find the change points of a series.

    Runs :func:`vollan.scan_detector` with defaults meant for series nobody has looked at, and
    reports the leaders that a majority of the window sizes agree on and that stand out from
    the series' own local variation.

    - ``detrend`` = "linear": a straight line is removed before the scan. Adjacent windows
      of a drifting series differ everywhere, so the scan would flag nearly every position
      of it and place change points along the drift; a steady drift is not a change point.
      The slope is fitted within the segments between the change points of a first scan
      (:func:`detrend_linear`), so that level shifts do not tilt it; a series without drift
      loses only a line of slope close to zero. The first scan is skipped, and the plain
      least-squares line removed, when that line moves no value by more than a tenth of the
      noise (estimated from the first differences), since no slope between zero and it then
      matters.
    - Window sizes: :func:`default_window_sizes`, twelve sizes from 10 to a quarter of the
      series, geometrically spaced (the engine's own default, 10 to 20, finds nothing in a
      series shorter than 40 values and only local changes in a long one).
    - ``alpha`` = 0.05 is the family-wise level of each window's scan: under no change, a
      window flags a position by chance with probability about 5 %, instead of the engine's
      default of 100 %, which expects one false flag per window.
    - ``n_perm``: :func:`default_n_perm`, enough replicates for the threshold's quantile to
      be estimated rather than be the largest replicate, within a time budget.
    - ``min_score`` = 0.5: a leader is reported when the window sizes that voted for it are
      at least half of all sizes. A change in the series shows at most scales; a chance flag
      is placed differently by each window size and collects few votes.
    - ``min_contrast`` = 3: the scan asks whether two windows differ, which a curved series
      satisfies everywhere, and then votes for wherever the split search puts the change in
      each flagged region. A change point is where the series differs from its own usual
      behaviour. So the statistic of the scan (for "var", the log ratio of the standard
      deviations) is also taken at every boundary with the smallest window, h values on
      each side (:func:`local_contrast`), and a leader is
      reported only if the largest of these within h/2 of it exceeds their median over the
      series by more than 3 scaled MADs (Hampel's outlier rule). Median and MAD describe the
      series away from its changes as long as changes are more than about 2h apart; for
      series with fewer than 4h - 1 values the check is skipped. Accelerating growth, such
      as an exponential, makes its steep end stand out: take logarithms of such series first.
    - Reported leaders closer together than the smallest window cannot be told apart by the
      scan: of such a pair only the one with more votes (then the larger contrast) is
      reported.

    A change collects a majority only if at least half of the window sizes fit between it
    and its neighbours; for long series with short segments, pass ``window_sizes`` that
    match the expected segment length.

    Parameters
    ----------
    series : sequence of float, numpy array or pandas Series
        The values, all finite. The index of a pandas Series gives the labels.
    window_sizes : sequence of int, optional
        Window sizes to scan, each at least 4. Default :func:`default_window_sizes`.
    change_type : {"mean", "var", "distribution"}, default "mean"
        The split search that places a change inside a flagged region.
    alpha : float, default 0.05
        Family-wise level of each window's scan, in (0, 1].
    min_score : float, default 0.5
        Fraction of window sizes that must vote for a leader to report it, in [0, 1].
    min_contrast : float or None, default 3.0
        Scaled MADs by which a leader's local contrast must exceed the median; None turns the
        check off.
    detrend : {"linear", None}, default "linear"
        Remove the least-squares line before the scan, or scan the values as they are.
    n_perm : int, optional
        Bootstrap replicates per threshold. Default :func:`default_n_perm`.
    seed : int, default 123
        Base seed; the result is reproducible bit for bit from it.
    tol : int, default 2
        Largest gap between change points of different windows that still counts as one
        change.
    workers : int, optional
        Threads of a pool of this call's own; default the shared pool.
    labels : sequence, optional
        Labels of the values (dates, years, ...); default the index of a pandas Series, else
        the positions.

    Returns
    -------
    Detection
        The reported change points, every leader with its votes, score, probability and
        contrast, the CDF and the raw result of :func:`vollan.scan_detector`.

    Raises
    ------
    ValueError
        For a series that is not one-dimensional, holds NaN or infinities, or is shorter than
        two of the smallest windows; for window sizes below 4; for ``alpha``, ``min_score``,
        ``min_contrast`` or ``detrend`` out of range; and for the engine's own value checks.
    TypeError
        For a series that is not a sequence of numbers.

    Examples
    --------
    >>> import vollan
    >>> nile = vollan.datasets.load_nile()
    >>> found = vollan.detect(nile.values, labels=nile.labels)
    >>> found.labels
    (1899,)
    """
    values, labels = _values_and_labels(series, labels)
    n_obs = len(values)
    if not (0.0 < alpha <= 1.0):
        raise ValueError(f"alpha must be in (0, 1], got {alpha}")
    if not (0.0 <= min_score <= 1.0):
        raise ValueError(f"min_score must be in [0, 1], got {min_score}")
    if min_contrast is not None and not (min_contrast >= 0.0):
        raise ValueError(f"min_contrast must be at least 0 or None, got {min_contrast}")
    if detrend not in ("linear", None):
        raise ValueError(f"detrend must be 'linear' or None, got {detrend!r}")
    if window_sizes is None:
        sizes = default_window_sizes(n_obs)
    else:
        sizes = sorted({int(w) for w in window_sizes})
        if not sizes:
            raise ValueError("window_sizes must not be empty")
        if sizes[0] < MIN_WINDOW:
            raise ValueError(
                f"window sizes must be at least {MIN_WINDOW}, got {sizes[0]} (the bootstrap "
                f"draws blocks of 8 values from two adjacent windows)"
            )
        if n_obs < 2 * sizes[0]:
            raise ValueError(
                f"series has {n_obs} values, fewer than two windows of the smallest size {sizes[0]}"
            )
    scanned = _as_float_array(values)
    smallest = sizes[0]
    if n_perm is None:
        n_perm = default_n_perm(n_obs, smallest, alpha)
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
        residual, trend = detrend_linear(scanned)
        # A first scan finds the level shifts, so that the slope can be fitted within the
        # segments between them. It is skipped when even the plain line moves no value by
        # more than a tenth of the noise: no slope between zero and it matters then.
        if abs(trend[1]) * (n_obs - 1) / 2 > NEGLIGIBLE_LINE * _noise_scale(scanned):
            first = scan_detector(scanned, **options)["out"]["leaders_scores"]
            shifts = [i for i, score in first.items() if score >= min_score]
            residual, trend = detrend_linear(scanned, shifts)
        scanned = residual
    raw = scan_detector(scanned, **options)
    out = raw["out"]
    indices = list(out["leaders_probs"])
    if min_contrast is None:
        contrasts: list[float | None] = [None] * len(indices)
    else:
        contrasts = _contrast_scores(scanned, smallest, change_type, indices)
    passed = []
    for i, z in zip(indices, contrasts, strict=True):
        # Scores are votes / sizes; compare without rounding away an exact half.
        if out["leaders_scores"][i] < min_score:
            continue
        if min_contrast is not None and z is not None and not z > min_contrast:
            continue
        key = (out["leaders_segment_votes"][i], -math.inf if z is None else z)
        if passed and i - passed[-1][0] < smallest:
            if key > passed[-1][1]:
                passed[-1] = (i, key)
        else:
            passed.append((i, key))
    chosen = {i for i, _ in passed}
    leaders = tuple(
        Leader(
            index=i,
            label=labels[i] if labels is not None else i,
            votes=out["leaders_segment_votes"][i],
            score=out["leaders_scores"][i],
            probability=out["leaders_probs"][i],
            contrast=z,
            reported=i in chosen,
        )
        for i, z in zip(indices, contrasts, strict=True)
    )
    reported = [x for x in leaders if x.reported]
    return Detection(
        change_points=tuple(x.index for x in reported),
        labels=tuple(x.label for x in reported),
        leaders=leaders,
        cdf=tuple(out["cdf"]),
        window_sizes=tuple(sizes),
        n_obs=n_obs,
        min_score=min_score,
        min_contrast=min_contrast,
        n_perm=n_perm,
        trend=trend,
        raw=raw,
    )


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
