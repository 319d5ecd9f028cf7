"""The convenience layer: one call from a series to its change points."""

from __future__ import annotations

import functools
import importlib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, SupportsFloat

from _vollan_native import scan_detector

if TYPE_CHECKING:
    from _vollan_native import ScanResult

__all__ = [
    "DEFAULT_ALPHA",
    "DEFAULT_MIN_SCORE",
    "Detection",
    "Leader",
    "default_window_sizes",
    "detect",
    "detect_many",
]

DEFAULT_ALPHA = 0.05
DEFAULT_MIN_SCORE = 0.5
# The smallest window the bootstrap accepts: it draws blocks of 8 values from the 2w values
# of two adjacent windows.
MIN_WINDOW = 4
# The smallest window whose bootstrap still has variety: with 2w = 20 values there are 13
# block starts and 3 blocks per replicate, so 300 replicates are drawn from 2197 distinct
# resamples; at w = 8 only 81 exist, and at w = 4 a single one.
SMALLEST_DEFAULT_WINDOW = 10
N_DEFAULT_WINDOWS = 12


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
    reported : bool
        Whether the score reaches the ``min_score`` of the call, i.e. whether the leader is
        one of the change points of the :class:`Detection`.
    """

    index: int
    label: Any
    votes: int
    score: float
    probability: float
    reported: bool


@dataclass(frozen=True)
class Detection:
    """The change points of a series, the evidence behind them and the engine's full result.

    Attributes
    ----------
    change_points : tuple of int
        The reported change points, ascending: the leaders whose score reaches ``min_score``.
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
    raw : dict
        The dictionary returned by :func:`vollan.scan_detector` (see the README).
    """

    change_points: tuple[int, ...]
    labels: tuple[Any, ...]
    leaders: tuple[Leader, ...]
    cdf: tuple[tuple[int, float], ...]
    window_sizes: tuple[int, ...]
    n_obs: int
    min_score: float
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
            ``n_obs``, ``window_sizes``, ``min_score``, ``change_points`` and ``leaders`` (lists
            of dictionaries with index, label, votes, score, probability and, for leaders,
            reported) and ``cdf`` (a list of [index, probability] pairs).
        """

        def row(x: Leader) -> dict[str, Any]:
            return {
                "index": x.index,
                "label": _plain(x.label),
                "votes": x.votes,
                "score": x.score,
                "probability": x.probability,
            }

        return {
            "n_obs": self.n_obs,
            "window_sizes": list(self.window_sizes),
            "min_score": self.min_score,
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
    n_perm: int = 300,
    seed: int = 123,
    tol: int = 2,
    workers: int | None = None,
    labels: Sequence[Any] | None = None,
) -> Detection:
    """Find the change points of a series.

    Runs :func:`vollan.scan_detector` with defaults meant for series nobody has looked at, and
    reports the leaders that a majority of the window sizes agree on.

    - Window sizes: :func:`default_window_sizes`, twelve sizes from 10 to a quarter of the
      series, geometrically spaced (the engine's own default, 10 to 20, finds nothing in a
      series shorter than 40 values and only local changes in a long one).
    - ``alpha`` = 0.05 is the family-wise level of each window's scan: under no change, a
      window flags a position by chance with probability about 5 %, instead of the engine's
      default of 100 %, which expects one false flag per window.
    - ``min_score`` = 0.5: a leader is reported when the window sizes that voted for it are
      at least half of all sizes. A change in the series shows at most scales; a chance flag,
      or the drift of a trend, is placed differently by each window size and collects few
      votes.

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
    n_perm : int, default 300
        Bootstrap replicates per threshold.
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
        The reported change points, every leader with its votes, score and probability, the
        CDF and the raw result of :func:`vollan.scan_detector`.

    Raises
    ------
    ValueError
        For a series that is not one-dimensional, holds NaN or infinities, or is shorter than
        two of the smallest windows; for window sizes below 4; for ``alpha`` or
        ``min_score`` out of range; and for the engine's own value checks.
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
    raw = scan_detector(
        values,
        window_sizes=sizes,
        n_perm=n_perm,
        alpha_q=alpha,
        seed=seed,
        tol=tol,
        workers=workers,
        change_type=change_type,
    )
    out = raw["out"]
    leaders = tuple(
        Leader(
            index=i,
            label=labels[i] if labels is not None else i,
            votes=out["leaders_segment_votes"][i],
            score=out["leaders_scores"][i],
            probability=p,
            # Scores are votes / sizes; compare without rounding away an exact half.
            reported=out["leaders_scores"][i] >= min_score,
        )
        for i, p in out["leaders_probs"].items()
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
