"""Changes found as the values of a stream arrive: :class:`Monitor` and its :class:`StreamChange`.

The statistic is the engine's: adjacent windows (the last w values against the w before them)
are compared by the Wasserstein distance, at a few sizes w, at every new value. Its alarm
threshold is calibrated on the stream's own warm-up, resampled (see :class:`Monitor`).
"""

from __future__ import annotations

import math
import operator
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from vollan import _kernels
from vollan._input import _integer, _is_missing, check_integer, real_number

__all__ = ["Monitor", "StreamChange", "CHANGE_TYPES"]

CHANGE_TYPES = ("distribution", "mean", "var")
# Windows of the default sizes double from this one.
SMALLEST_DEFAULT_WINDOW = 16
# Block maxima of the calibration: how many blocks, and each block's length in largest windows.
CALIBRATION_BLOCKS = 200
BLOCK_WINDOWS = 8
# Orders of the autoregressions tried on the warm-up (0 resamples values independently).
LARGEST_AR_ORDER = 8
# Values are clipped at the warm-up's k-th smallest and k-th largest, k = warmup / CLIP_EVERY
# rounded up.
CLIP_EVERY = 100
# The default warm-up: this many values, lengthened for dependent values by the ratio of their
# long-run variance to their variance, and for heavy tails by their clipped kurtosis (see
# warmup_length), at most to LONGEST_WARMUP times as many.
DEFAULT_WARMUP = 500
LONGEST_WARMUP = 8
# Kurtosis of a normal law clipped at its 1 % and 99 % quantiles, as the warm-up is (the 2.67 of
# 10**6 values): the tails the default warm-up was calibrated on.
NORMAL_CLIPPED_KURTOSIS = 2.67
# Tails count as heavier than a normal law's above this clipped kurtosis of the first 500 values:
# a normal law's 500 values exceed it once in a thousand warm-ups (its 99.9 % quantile in 40,000
# simulations), so that light-tailed streams keep their warm-up.
HEAVY_TAILS_KURTOSIS = 3.3
# Below this, a standardised statistic's spread is taken as none (a constant warm-up).
_TINY = 1e-12


@dataclass(frozen=True)
class StreamChange:
    """One change confirmed by a :class:`Monitor`.

    Attributes
    ----------
    index : int
        Estimated position in the stream of the first value of the new regime: the split of the
        alarming window pair's 2w values with the largest standardised cumulative sum (of the
        values, or of their distances to the median for a change of spread). Positions count
        every value given to :meth:`Monitor.update`, missing ones included.
    confirmed_at : int
        Position of the value at which the change was confirmed; ``confirmed_at - index`` is the
        delay.
    kind : str
        "mean" when the difference of the means on either side of ``index`` explains the
        change best, "var" when the ratio of spreads does, "distribution" when neither stands
        out (a change of shape); with ``change_type="mean"`` or ``"var"``, that type.
    size : float
        For "mean", the shift of the mean in standard deviations of the warm-up; for "var", the
        standard deviation after over the one before; for "distribution", the Wasserstein
        distance between the two sides in standard deviations of the warm-up. Infinite after a
        warm-up of one repeated value (any other value is then a change).
    evidence : float
        The standardised statistic of the alarming window size when it crossed ``threshold``.
    threshold : float
        The calibrated threshold it crossed.
    window_size : int
        The window size whose statistic stood out most.
    """

    index: int
    confirmed_at: int
    kind: str
    size: float
    evidence: float
    threshold: float
    window_size: int

    @property
    def delay(self) -> int:
        """Values between the estimated change and its confirmation."""
        return self.confirmed_at - self.index


@dataclass(frozen=True)
class _Calibration:
    low: float
    high: float
    sigma: float
    center: NDArray[np.float64]
    scale: NDArray[np.float64]
    threshold: float
    ar_order: int


class StreamWindows:
    """The adjacent sorted windows of the C++ core (``vollan._kernels``): pushes values and
    gives, after each, the distance of every size's two windows (NaN until 2w values are in)."""

    def __init__(self, sizes: tuple[int, ...], change_type: str, low: float, high: float) -> None:
        self._k = len(sizes)
        self._handle = _kernels.stream_windows(sizes, change_type, low, high)

    def statistics(
        self, values: NDArray[np.float64], indices: NDArray[np.int64]
    ) -> NDArray[np.float64]:
        values = np.ascontiguousarray(values, dtype=np.float64)
        out = np.empty((len(values), self._k))
        _kernels.stream_statistics(
            self._handle, values, np.ascontiguousarray(indices, dtype=np.int64), out
        )
        return out

    def watch(
        self,
        values: NDArray[np.float64],
        indices: NDArray[np.int64],
        center: NDArray[np.float64],
        scale: NDArray[np.float64],
        threshold: float,
    ) -> tuple[int, int, float]:
        """Push values until one raises an alarm: (values pushed, size index or -1, z)."""
        return _kernels.stream_watch(
            self._handle,
            np.ascontiguousarray(values, dtype=np.float64),
            np.ascontiguousarray(indices, dtype=np.int64),
            center,
            scale,
            threshold,
        )

    def contents(self) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
        values, indices = _kernels.stream_contents(self._handle)
        return np.frombuffer(values, dtype=np.float64), np.frombuffer(indices, dtype=np.int64)


class Monitor:
    """Watch a stream for changes of distribution, mean or spread, as its values arrive.

    At every new value, the last w values are compared with the w values before them by the
    Wasserstein distance (the mean absolute difference of their sorted values), for each
    window size w. Each size's distance is standardised by its mean and standard deviation
    on a resampled warm-up, and a change is confirmed when the largest standardised
    distance exceeds a threshold chosen so that a stream without change raises a false alarm
    once every ``false_alarm_every`` values on average. After a change the monitor forgets its
    windows, warms up again on the values that follow, and watches the new regime.

    Calibration, and why. The first ``warmup`` values (after each change, the ``warmup``
    values after it) are not watched: they set the noise the threshold is calibrated on.
    Dependent values say less about the noise than as many independent ones: by default
    (``warmup=None``), when the autoregression fitted to the first 500 values (see below)
    gives a long-run variance (the variance of a mean of many values, times their number)
    r times their variance, the warm-up goes on to ``ceil(r * 500)`` values, at most 4,000
    (about 1,500 for an AR(1) with coefficient 0.5). Without it the threshold of such a
    stream, learnt from as much information as ``warmup / r`` independent values, varies so
    much from one warm-up to the next that the mean run length comes out 2 to 3 times
    ``false_alarm_every``: a threshold too high lengthens the run far more than one too low
    shortens it.
    Heavy tails do the same, since the error of a spread grows with the kurtosis as it does
    with dependence (the variance of a sample variance is ``(kurtosis - 1) sigma**4 / n``):
    when the kurtosis of the first 500 values, clipped (see below), exceeds 3.3, more than a
    normal law's 500 values reach once in a thousand warm-ups, the warm-up is lengthened
    further by ``(kurtosis - 1) / 1.67``, 1.67 being a clipped normal law's kurtosis less 1
    (about 1,200 values for Student's t with 3 degrees of freedom, whose mean run length at
    ``false_alarm_every=100_000`` was 1.8 times the target after warm-ups of 500). Both
    lengthenings are decided once, on the first 500 values, so that the pieces a stream comes
    in cannot move them.
    A stream of ``200 * 8 * max(window_sizes)`` values is resampled from them: an
    autoregression of order 0 to 8 is fitted (Yule-Walker, order by BIC), and the stream is
    drawn from it with resampled residuals (order 0 draws the warm-up values themselves), so
    that dependence between neighbours, which widens the spread of window means, is
    reproduced; the marginal law, heavy tails or ties (counts) included, is the warm-up's.
    Every value, warm-up, resampled or watched, is clipped between the warm-up's k-th
    smallest and k-th largest values, k = warmup / 100 rounded up: a stream without change
    falls beyond them with chance about 2k / (warmup + 1) per value, as the resampled stream
    does, so the tails the threshold did not see cannot raise alarms of their own (a
    heavy-tailed law would otherwise alarm on one large value), and the clip points, unlike
    the warm-up's extremes, vary little from one warm-up to another. The statistic's maxima
    over blocks of ``8 * max(window_sizes)`` values are fitted by a generalised extreme-value
    law (probability-weighted moments), and the threshold is its quantile at
    ``exp(-block / false_alarm_every)``: alarms that come as a Poisson stream at rate
    ``1 / false_alarm_every`` leave a block without one with that chance. The extreme-value
    fit extrapolates to rare alarms from 200 maxima, so that the calibration costs a fixed
    stream whatever ``false_alarm_every`` is. The measured mean run lengths are in the guide's
    page "Watching a stream".

    A monitor is not to be updated from two threads at once.

    Parameters
    ----------
    window_sizes : sequence of int, optional
        Sizes of the compared windows, each at least 2, the largest at most ``warmup // 2``
        (the windows are filled from the warm-up). Default: 16, 32, 64, ... up to the largest
        with ``3 * w <= warmup`` (16 to 128 at the default warm-up).
    change_type : {"distribution", "mean", "var"}
        What the windows are compared by: the distance of their whole distributions, of their
        means, or of their values each centred on its window's mean (spread and shape).
    false_alarm_every : float
        The mean number of watched values between false alarms on a stream without change,
        from 100 to 10**9. Default 10,000.
    warmup : int, optional
        Values used to learn the noise before watching, from 32 on, kept as given. Default:
        500, lengthened for dependent values and for heavy tails up to 4,000 (see above;
        :attr:`last_warmup` tells how many the last warm-up took).
    seed : int
        Seed of the resampling; the same seed and values give the same changes.

    Examples
    --------
    >>> import numpy as np, vollan
    >>> rng = np.random.default_rng(1)
    >>> monitor = vollan.Monitor(seed=1)
    >>> found = monitor.update(np.r_[rng.normal(0, 1, 3000), rng.normal(2, 1, 500)])
    >>> [(c.kind, c.index, c.delay < 60) for c in found]
    [('mean', 3000, True)]
    """

    def __init__(
        self,
        window_sizes: Any = None,
        change_type: str = "distribution",
        false_alarm_every: float = 10_000,
        warmup: int | None = None,
        seed: int = 0,
    ) -> None:
        self._fixed_warmup = warmup is not None
        if warmup is None:
            warmup = DEFAULT_WARMUP
        check_integer("warmup", warmup, 32)
        warmup = operator.index(warmup)
        if change_type not in CHANGE_TYPES:
            raise ValueError(
                f"change_type must be one of {', '.join(CHANGE_TYPES)}, got {change_type!r}"
            )
        every = real_number("false_alarm_every", false_alarm_every)
        if not 100 <= every <= 1e9:
            raise ValueError(f"false_alarm_every must be from 100 to 10**9, got {every}")
        check_integer("seed", seed, 0)
        self._sizes = _window_sizes(window_sizes, warmup)
        self._change_type = change_type
        self._every = every
        self._warmup = warmup
        self._seed = operator.index(seed)
        self._position = 0  # values given so far, missing ones included
        self._calibrations = 0
        self._watched = 0  # values compared with the threshold
        self._warm_values: list[float] = []
        self._warm_indices: list[int] = []
        self._warm_target: int | None = None  # the warm-up's length, once decided
        self._last_warmup = 0
        self._calibration: _Calibration | None = None
        self._kernel: Any = None

    # Options, as given or chosen.
    @property
    def window_sizes(self) -> tuple[int, ...]:
        return self._sizes

    @property
    def change_type(self) -> str:
        return self._change_type

    @property
    def false_alarm_every(self) -> float:
        return self._every

    @property
    def warmup(self) -> int:
        """The warm-up as given, or the least of the default one (500)."""
        return self._warmup

    @property
    def seed(self) -> int:
        return self._seed

    @property
    def position(self) -> int:
        """Values given to :meth:`update` so far, missing ones included."""
        return self._position

    @property
    def watched(self) -> int:
        """Values compared with the threshold so far (warm-ups and missing values not
        counted): on a stream without change, a false alarm comes once every
        ``false_alarm_every`` of them on average."""
        return self._watched

    @property
    def last_warmup(self) -> int:
        """Length of the last completed warm-up (0 before the first): ``warmup``, or more for
        dependent or heavy-tailed values (see :class:`Monitor`)."""
        return self._last_warmup

    @property
    def threshold(self) -> float | None:
        """The calibrated threshold, or None while warming up."""
        return None if self._calibration is None else self._calibration.threshold

    @property
    def warming_up(self) -> bool:
        """Whether the monitor is still collecting its warm-up (at the start or after a change)."""
        return self._calibration is None

    def __repr__(self) -> str:
        state = "warming up" if self.warming_up else f"threshold {self.threshold:.3g}"
        warmup = self._warmup if self._fixed_warmup else None
        return (
            f"Monitor(window_sizes={self._sizes}, change_type={self._change_type!r}, "
            f"false_alarm_every={self._every:g}, warmup={warmup}, seed={self._seed}; "
            f"{self._position} values, {state})"
        )

    def update(self, values: Any) -> list[StreamChange]:
        """Take one value or a sequence of them; return the changes they confirm.

        Parameters
        ----------
        values : float or sequence of float
            The next values of the stream: a number, a list, a numpy array, a pandas Series.
            Missing values (NaN, None, pandas' NA) are skipped but counted in the positions.

        Returns
        -------
        list of StreamChange
            The changes confirmed by these values, in order. Feeding a stream in one call or in
            pieces of any sizes gives the same changes.

        Raises
        ------
        TypeError
            ``values`` holds something that is not a number (text, ...); nothing is taken.
        ValueError
            ``values`` holds an infinite value or is not one-dimensional; nothing is taken.
        """
        array = _as_values(values)
        missing = np.isnan(array)
        kept = np.flatnonzero(~missing)
        stream = array[kept]
        indices = (kept + self._position).astype(np.int64)
        changes: list[StreamChange] = []
        at = 0
        while at < len(stream):
            if self._calibration is None:
                target = self._warm_target or self._warmup
                take = min(target - len(self._warm_values), len(stream) - at)
                self._warm_values.extend(stream[at : at + take].tolist())
                self._warm_indices.extend(indices[at : at + take].tolist())
                at += take
                if len(self._warm_values) == target:
                    if self._warm_target is None and not self._fixed_warmup:
                        # Decided once, on the first ``warmup`` values: chunk sizes cannot move it.
                        self._warm_target = warmup_length(
                            np.asarray(self._warm_values, dtype=np.float64), self._warmup
                        )
                        if self._warm_target > target:
                            continue
                    self._start_watching()
                continue
            cal = self._calibration
            consumed, size, z = self._kernel.watch(
                stream[at:], indices[at:], cal.center, cal.scale, cal.threshold
            )
            at += consumed
            self._watched += consumed
            if size >= 0:
                changes.append(self._confirmed(int(size), float(z), int(indices[at - 1])))
                self._calibration = None
                self._kernel = None
        self._position += len(array)
        return changes

    # Calibration ---------------------------------------------------------------------------

    def _start_watching(self) -> None:
        warm = np.asarray(self._warm_values, dtype=np.float64)
        rng = np.random.default_rng([self._seed, self._calibrations])
        self._calibrations += 1
        self._calibration = calibrate(warm, self._sizes, self._change_type, self._every, rng)
        self._kernel = self._new_kernel(self._calibration)
        # The windows start full, from the end of the warm-up.
        tail = 2 * self._sizes[-1]
        self._kernel.statistics(warm[-tail:], np.asarray(self._warm_indices[-tail:], np.int64))
        self._last_warmup = len(self._warm_values)
        self._warm_values = []
        self._warm_indices = []
        self._warm_target = None

    def _new_kernel(self, cal: _Calibration) -> Any:
        return StreamWindows(self._sizes, self._change_type, cal.low, cal.high)

    # The confirmed change ------------------------------------------------------------------

    def _confirmed(self, size: int, z: float, confirmed_at: int) -> StreamChange:
        assert self._calibration is not None
        cal = self._calibration
        w = self._sizes[size]
        values, indices = self._kernel.contents()
        values, indices = values[-2 * w :], indices[-2 * w :]
        split, kind = _split(values, self._change_type)
        before, after = values[:split], values[split:]
        if kind == "mean":
            amount = _ratio(after.mean() - before.mean(), cal.sigma)
        elif kind == "var":
            amount = _ratio(_sd(after), _sd(before))
        else:
            amount = _ratio(_wasserstein(before, after), cal.sigma)
        return StreamChange(
            index=int(indices[split]),
            confirmed_at=confirmed_at,
            kind=kind,
            size=float(amount),
            evidence=z,
            threshold=cal.threshold,
            window_size=w,
        )

    # Checkpoints ---------------------------------------------------------------------------

    def __getstate__(self) -> dict[str, Any]:
        state = {k: v for k, v in self.__dict__.items() if k != "_kernel"}
        if self._kernel is not None:
            values, indices = self._kernel.contents()
            state["_windows"] = (values.copy(), indices.copy())
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        windows = state.pop("_windows", None)
        state.setdefault("_watched", 0)
        state.setdefault("_warm_target", None)
        state.setdefault("_last_warmup", 0)
        state.setdefault("_fixed_warmup", True)
        self.__dict__.update(state)
        self._kernel = None
        if self._calibration is not None:
            self._kernel = self._new_kernel(self._calibration)
            if windows is not None:
                self._kernel.statistics(*windows)


def _window_sizes(window_sizes: Any, warmup: int) -> tuple[int, ...]:
    if window_sizes is None:
        sizes = [SMALLEST_DEFAULT_WINDOW]
        while 3 * 2 * sizes[-1] <= warmup:
            sizes.append(2 * sizes[-1])
        if 2 * sizes[-1] > warmup:
            raise ValueError(
                f"warmup {warmup} is too short for the default window sizes; give window_sizes "
                f"of at most {warmup // 2}"
            )
        return tuple(sizes)
    if isinstance(window_sizes, str | bytes) or not hasattr(window_sizes, "__iter__"):
        raise TypeError(
            f"window_sizes must be a sequence of integers or None, not "
            f"{type(window_sizes).__name__}"
        )
    sizes = []
    for w in window_sizes:
        size = _integer(w)
        if size is None:
            raise TypeError(
                f"window_sizes must be a sequence of integers, not of {type(w).__name__} ({w!r})"
            )
        if not 2 <= size <= warmup // 2:
            raise ValueError(
                f"window_sizes must be from 2 to warmup // 2 = {warmup // 2} (the windows are "
                f"filled from the warm-up), got {size}"
            )
        sizes.append(size)
    if not sizes:
        raise ValueError("window_sizes must hold at least one size")
    return tuple(sorted(set(sizes)))


def _as_values(values: Any) -> NDArray[np.float64]:
    """``values`` as a 1-D float64 array with missing values as NaN; errors name ``values``."""
    if hasattr(values, "to_numpy") and hasattr(values, "index"):  # a pandas Series
        values = values.to_numpy(dtype=float, na_value=np.nan)
    try:
        array = np.asarray(values)
        if array.dtype.kind == "O":
            array = np.array([_number(v) for v in array.ravel().tolist()], dtype=np.float64)
    except (TypeError, ValueError) as exc:
        message = str(exc)
        if not message.startswith("values must"):
            message = f"values must be numbers: {message}"
        raise TypeError(message) from None
    if array.dtype.kind not in "biuf":
        raise TypeError(f"values must be numbers, not {array.dtype}")
    if array.ndim > 1:
        raise ValueError(f"values must be one number or one-dimensional, got shape {array.shape}")
    array = np.array(array, dtype=np.float64, ndmin=1)
    infinite = np.flatnonzero(np.isinf(array))
    if len(infinite):
        raise ValueError(
            f"values must be finite or missing: {array[infinite[0]]} at position "
            f"{int(infinite[0])} of this call; nothing was taken"
        )
    return array


def _number(value: Any) -> float:
    if _is_missing(value):
        return math.nan
    if isinstance(value, str | bytes):
        raise TypeError(f"values must be numbers, not {type(value).__name__} ({value!r})")
    return float(value)


def _ratio(amount: float, unit: float) -> float:
    """``amount / unit``, infinite (with the sign of amount) or NaN when the unit is 0."""
    if unit > 0:
        return float(amount / unit)
    return math.copysign(math.inf, amount) if amount else math.nan


def _sd(values: NDArray[np.float64]) -> float:
    return float(values.std()) if len(values) > 1 else 0.0


def _wasserstein(first: NDArray[np.float64], second: NDArray[np.float64]) -> float:
    """First-order Wasserstein distance of two samples, by their quantile functions."""
    grid = np.linspace(0, 1, 4 * (len(first) + len(second)) + 1)[1:-1]
    return float(np.mean(np.abs(np.quantile(first, grid) - np.quantile(second, grid))))


def _cusum_split(values: NDArray[np.float64]) -> tuple[int, float]:
    """The split 1..n-1 with the largest standardised cumulative sum, and that statistic."""
    n = len(values)
    centred = values - values.mean()
    sums = np.cumsum(centred)[:-1]
    s = np.arange(1, n)
    stat = np.abs(sums) / np.sqrt(s * (n - s) / n)
    spread = values.std()
    k = int(np.argmax(stat))
    return k + 1, float(stat[k] / spread) if spread > 0 else 0.0


def _split(values: NDArray[np.float64], change_type: str) -> tuple[int, str]:
    """Where in the alarming 2w values the change lies, and its kind.

    The kinds compete by their standardised cumulative sums: of the values (a shift of the
    mean) and of their absolute deviations from the median (a change of spread); the larger
    places the change. A change of shape moves neither much; it is "distribution" when neither
    sum reaches 3.
    """
    at_mean, z_mean = _cusum_split(values)
    at_var, z_var = _cusum_split(np.abs(values - np.median(values)))
    if change_type == "mean":
        return at_mean, "mean"
    if change_type == "var":
        return at_var, "var"
    at = at_mean if z_mean >= z_var else at_var
    if max(z_mean, z_var) < 3.0:
        return at, "distribution"
    return at, "mean" if z_mean >= z_var else "var"


# The threshold -------------------------------------------------------------------------------


def _ar_fit(x: NDArray[np.float64], largest: int) -> tuple[NDArray[np.float64], float]:
    """Yule-Walker coefficients of the order (0..largest) with the smallest BIC, by
    Levinson-Durbin, and the innovation variance of that order."""
    n = len(x)
    c = x - x.mean()
    gamma = np.array([c[: n - k] @ c[k:] / n for k in range(largest + 1)])
    if gamma[0] <= 0:
        return np.zeros(0), 0.0
    best = (math.log(gamma[0]), np.zeros(0), gamma[0])
    phi = np.zeros(0)
    var = gamma[0]
    for p in range(1, largest + 1):
        k = (gamma[p] - phi @ gamma[1:p][::-1]) / var
        phi = np.r_[phi - k * phi[::-1], k]
        var *= 1 - k * k
        if var <= 0:
            break
        bic = math.log(var) + p * math.log(n) / n
        if bic < best[0]:
            best = (bic, phi.copy(), var)
    return best[1], best[2]


def resample(
    warm: NDArray[np.float64], length: int, rng: np.random.Generator
) -> tuple[NDArray[np.float64], int]:
    """A stream of ``length`` values like the warm-up, and the order of the autoregression used.

    Order 0 draws the warm-up's values with replacement; a higher order runs the fitted
    recursion on the warm-up's residuals drawn with replacement (after a burn-in), and clips
    the result into the warm-up's range.
    """
    phi, _ = _ar_fit(warm, LARGEST_AR_ORDER)
    p = len(phi)
    if p == 0:
        return rng.choice(warm, size=length), 0
    mean = warm.mean()
    c = warm - mean
    residuals = c[p:] - np.array([c[p - j - 1 : len(c) - j - 1] for j in range(p)]).T @ phi
    residuals -= residuals.mean()
    burn = 20 * p + 100
    shocks = rng.choice(residuals, size=length + burn)
    out = _ar_filter(phi, shocks)[burn:] + mean
    return np.clip(out, warm.min(), warm.max()), p


def _ar_filter(phi: NDArray[np.float64], shocks: NDArray[np.float64]) -> NDArray[np.float64]:
    p = len(phi)
    coef = phi.tolist()
    y = [0.0] * p
    for e in shocks.tolist():
        v = e
        for j in range(p):
            v += coef[j] * y[-1 - j]
        y.append(v)
    return np.asarray(y[p:])


def gev_quantile(maxima: NDArray[np.float64], probability: float) -> float:
    """Quantile of the generalised extreme-value law fitted to ``maxima`` by probability-weighted
    moments (Hosking, Wallis and Wood 1985), at ``probability``."""
    x = np.sort(maxima)
    n = len(x)
    i = np.arange(n)
    b0 = x.mean()
    b1 = np.sum(i / (n - 1) * x) / n
    b2 = np.sum(i * (i - 1) / ((n - 1) * (n - 2)) * x) / n
    spread = 2 * b1 - b0
    if spread <= 0:
        return float(x[-1])
    c = spread / (3 * b2 - b0) - math.log(2) / math.log(3)
    k = 7.8590 * c + 2.9554 * c * c
    y = -math.log(probability)
    if abs(k) < 1e-6:  # Gumbel
        alpha = spread / math.log(2)
        xi = b0 - 0.5772156649015329 * alpha
        return float(xi - alpha * math.log(y))
    g = math.gamma(1 + k)
    alpha = spread * k / (g * (1 - 2.0**-k))
    xi = b0 + alpha * (g - 1) / k
    return float(xi + alpha * (1 - y**k) / k)


def _clip_points(warm: NDArray[np.float64]) -> tuple[float, float]:
    """The warm-up's k-th smallest and k-th largest values, k = len / CLIP_EVERY rounded up."""
    ordered = np.sort(warm)
    k = -(-len(warm) // CLIP_EVERY)
    low, high = float(ordered[k - 1]), float(ordered[-k])
    if low == high:  # rare values (sparse events) would all be clipped away: keep the range
        low, high = float(ordered[0]), float(ordered[-1])
    return low, high


def warmup_length(warm: NDArray[np.float64], least: int) -> int:
    """How many values the warm-up that starts with ``warm`` (``least`` values) should hold.

    ``least`` times two factors, their product at most ``LONGEST_WARMUP``, both read from the
    clipped values. The threshold rests on the windows' spread, learnt from the warm-up, and the
    error of a spread grows with dependence and with the tails; each factor is how many times
    more values that error asks for than independent normal values would:

    - dependence: the ratio of the long-run variance to the variance, by the autoregression
      :func:`resample` fits (for dependent values a spread is learnt as slowly as their mean,
      from ``least / ratio`` values' worth of information; 1 when the fit finds no dependence);
    - tails: ``(kurtosis - 1) / (NORMAL_CLIPPED_KURTOSIS - 1)``, as the variance of a sample's
      variance is ``(kurtosis - 1) sigma**4 / n``; 1 unless the kurtosis exceeds
      ``HEAVY_TAILS_KURTOSIS`` (the factor is about 2.3 for t(3)).
    """
    clipped = np.clip(warm, *_clip_points(warm))
    longest = LONGEST_WARMUP * least
    factor = _dependence_factor(clipped, longest / least) * _tails_factor(clipped)
    return min(longest, max(least, math.ceil(least * factor)))


def _dependence_factor(clipped: NDArray[np.float64], largest: float) -> float:
    """The long-run variance over the variance of ``clipped``, at most ``largest``."""
    phi, innovations = _ar_fit(clipped, LARGEST_AR_ORDER)
    variance = float(clipped.var())
    if len(phi) == 0 or variance <= 0:
        return 1.0
    persistence = 1.0 - float(phi.sum())
    if persistence <= 0 or persistence * persistence * largest * variance <= innovations:
        return largest
    return max(1.0, innovations / (persistence * persistence * variance))


def _tails_factor(clipped: NDArray[np.float64]) -> float:
    """``(kurtosis - 1) / (NORMAL_CLIPPED_KURTOSIS - 1)`` of ``clipped`` when its tails are heavy,
    else 1."""
    centred = clipped - clipped.mean()
    squares = centred * centred
    variance = float(squares.mean())
    if variance <= 0:
        return 1.0
    kurtosis = float((squares * squares).mean()) / (variance * variance)
    if kurtosis <= HEAVY_TAILS_KURTOSIS:
        return 1.0
    return (kurtosis - 1.0) / (NORMAL_CLIPPED_KURTOSIS - 1.0)


def calibrate(
    warm: NDArray[np.float64],
    sizes: tuple[int, ...],
    change_type: str,
    every: float,
    rng: np.random.Generator,
) -> _Calibration:
    """Clipping range, standardisation and threshold from a warm-up (see :class:`Monitor`)."""
    low, high = _clip_points(warm)
    warm = np.clip(warm, low, high)
    sigma = float(warm.std())
    if high == low:
        # A constant warm-up: any other value is a departure; the range only has to hold it.
        pad = max(abs(low), 1.0)
        low, high = low - pad, high + pad
        sigma = 0.0
    floor = _TINY * (sigma if sigma > 0 else max(abs(low), abs(high), 1.0))
    block = BLOCK_WINDOWS * sizes[-1]
    fill = 2 * sizes[-1]
    length = fill + CALIBRATION_BLOCKS * block
    stream, order = resample(warm, length, rng)
    kernel = StreamWindows(sizes, change_type, low, high)
    stats = kernel.statistics(stream, np.zeros(length, np.int64))[fill:]
    center = stats.mean(axis=0)
    scale = np.maximum(stats.std(axis=0), floor)
    z = ((stats - center) / scale).max(axis=1)
    maxima = z.reshape(CALIBRATION_BLOCKS, block).max(axis=1)
    threshold = gev_quantile(maxima, math.exp(-block / every))
    return _Calibration(low, high, sigma, center, scale, threshold, order)
