"""How much to scan: the window sizes and the bootstrap replicates that fit a series."""

from __future__ import annotations

import math
from collections.abc import Sequence

DEFAULT_ALPHA = 0.05
# The smallest window the bootstrap accepts: it draws blocks of 8 values from the 2w values
# of two adjacent windows.
MIN_WINDOW = 4
# The smallest window whose bootstrap still has variety: with 2w = 20 values there are 13
# block starts and 3 blocks per replicate, so 300 replicates are drawn from 2197 distinct
# resamples; at w = 8 only 81 exist, and at w = 4 a single one.
SMALLEST_DEFAULT_WINDOW = 10
N_DEFAULT_WINDOWS = 12
# The largest default window, as a multiple of the smallest.
MAX_WINDOW_RATIO = 100
# Replicates: the engine's own default is the floor, and replicates × values stays within
# this budget (a fraction of a second on one core), so long series keep the floor.
MIN_DEFAULT_N_PERM = 300
MAX_DEFAULT_N_PERM = 600
N_PERM_BUDGET = 2_000_000
# Replicates wanted beyond the threshold's quantile, so that it is not one extreme replicate.
REPLICATES_BEYOND_QUANTILE = 10
# The scan's thresholds start from a pilot of their first quarter of replicates and are
# completed only where a statistic lies between the pilot's exact lower bound (no flag, the
# full run's decision) and this factor times the pilot's threshold (a flag without completing;
# see scan_window in core/detect.cpp). A pilot flag differs from the full run's decision only
# when the full threshold exceeds this factor times the pilot's. On change-free series (Gaussian,
# Student t3 and AR(1) 0.5 noise, the 12 window sizes of 10^5 values, 72,000 thresholds,
# bench/pilot_factor.py) that ratio has median 1.11, 99.9th percentile 1.91 and maximum 2.36:
# 2.5, the next half-step above the largest ratio seen, makes a differing flag a rarity below one
# threshold in 70,000. None computes every threshold from all the replicates.
PILOT_FACTOR: float | None = 2.5


def default_window_sizes(n_obs: int, period: int | None = None) -> list[int]:
    """Window sizes that fit a series of ``n_obs`` values and its own time scale.

    Twelve sizes spaced geometrically from 10 up to ``n_obs // 4``, so that every scale from
    local to a quarter of the series gets the same number of votes, whatever the length. The
    upper end leaves each window at least three positions to compare; the lower end of 10 is
    the smallest window whose bootstrap still draws from thousands of distinct resamples.

    - The largest window is at most 100 times the smallest: two decades of scale. A change
      collects the votes of the windows that fit between it and its neighbours, so on a long
      series with short segments windows of a quarter of the series would outvote the ones
      that see its changes; and larger windows only add power for shifts too small for the
      smaller ones to vote for anyway.
    - With a ``period`` (see :func:`~vollan.stats.period.dominant_period`), every size is a
      whole number of periods, the smallest one the first multiple of at least 10 values:
      adjacent windows then hold the same phases of the cycle, and only a change makes them
      differ. A period longer than a quarter of the series is ignored.
    - When a quarter of the series is less than 20 values, the sizes run from half of
      ``n_obs // 4`` up to it (a factor of two, as in the engine's own 10 to 20), but never
      below 4, the smallest window the bootstrap accepts.

    Parameters
    ----------
    n_obs : int
        Length of the series; at least 8.
    period : int, optional
        The series' dominant period in values.

    Returns
    -------
    list of int
        Distinct window sizes, ascending.

    Raises
    ------
    ValueError
        If ``n_obs`` < 8: no window fits twice.

    Examples
    --------
    >>> default_window_sizes(500)
    [10, 13, 16, 20, 25, 32, 40, 50, 63, 79, 99, 125]
    """
    if n_obs < 2 * MIN_WINDOW:
        raise _too_short(n_obs, 0)
    top = max(MIN_WINDOW, n_obs // 4)
    unit = 1
    if period is not None and period > 1:
        first = period * math.ceil(SMALLEST_DEFAULT_WINDOW / period)
        if first <= top:
            unit = period
    low = min(SMALLEST_DEFAULT_WINDOW, max(MIN_WINDOW, top // 2))
    if unit > 1:
        low = unit * math.ceil(SMALLEST_DEFAULT_WINDOW / unit)
    top = min(top, MAX_WINDOW_RATIO * low)
    if low >= top:
        return [low]
    ratio = top / low
    steps = N_DEFAULT_WINDOWS - 1
    sizes = {unit * round(low * ratio ** (i / steps) / unit) for i in range(N_DEFAULT_WINDOWS)}
    return sorted(w for w in sizes if low <= w <= top)


def default_n_perm(n_obs: int, smallest_window: int, alpha: float = DEFAULT_ALPHA) -> int:
    """Bootstrap replicates per threshold for a scan of ``n_obs`` values.

    Each window's threshold is the ``1 - alpha / K`` quantile of the replicates, K being the
    number of positions of the window. With too few replicates that quantile is simply the
    largest replicate, whose value changes from seed to seed, and so do the change points.
    The default asks for ten replicates beyond the quantile of the smallest window (the one
    with the most positions), ``10 * K / alpha``, within a budget of 2,000,000 replicated
    values (``n_perm * n_obs``), never fewer than the engine's own 300 and never more than
    twice as many: the bootstrap is most of a scan's time, and the change points are judged
    again by their contrast, so more replicates would buy time, not accuracy.

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
        Replicates per threshold, from 300 to 600; 300 for series of 6,667 values or more.
    """
    positions = max(1, n_obs // max(1, smallest_window) - 1)
    wanted = REPLICATES_BEYOND_QUANTILE * positions / alpha  # inf for a tiny alpha
    cap = max(MIN_DEFAULT_N_PERM, min(MAX_DEFAULT_N_PERM, N_PERM_BUDGET // max(1, n_obs)))
    return cap if wanted >= cap else max(MIN_DEFAULT_N_PERM, math.ceil(wanted))


def choose_window_sizes(
    requested: Sequence[int] | None, n_obs: int, n_omitted: int = 0, period: int | None = None
) -> list[int]:
    """The window sizes to scan: ``requested`` sorted and checked, else the defaults.

    ``n_obs`` counts the values to scan; ``n_omitted`` the missing ones left out before, which
    an error about the length mentions.
    """
    if requested is None:
        if n_obs < 2 * MIN_WINDOW:
            raise _too_short(n_obs, n_omitted)
        return default_window_sizes(n_obs, period)
    sizes = sorted({int(w) for w in requested})
    if not sizes:
        raise ValueError("window_sizes must not be empty")
    if sizes[0] < MIN_WINDOW:
        raise ValueError(
            f"window sizes must be at least {MIN_WINDOW}, got {sizes[0]} (the bootstrap "
            f"draws blocks of 8 values from two adjacent windows)"
        )
    if n_obs < 2 * sizes[0]:
        raise ValueError(
            f"{_length(n_obs, n_omitted)}, fewer than two windows of the smallest size {sizes[0]}"
        )
    return sizes


def _length(n_obs: int, n_omitted: int) -> str:
    if not n_omitted:
        return f"series has {n_obs} values"
    missing = "1 missing value" if n_omitted == 1 else f"{n_omitted} missing values"
    return f"series has {n_obs} values after leaving out {missing}"


def _too_short(n_obs: int, n_omitted: int) -> ValueError:
    return ValueError(
        f"{_length(n_obs, n_omitted)}; at least {2 * MIN_WINDOW} are needed "
        f"(two windows of {MIN_WINDOW} values)"
    )
