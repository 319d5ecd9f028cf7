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
# Replicates: the engine's own default is the floor, and replicates × values stays within
# this budget (a fraction of a second on one core), so long series keep the floor.
MIN_DEFAULT_N_PERM = 300
N_PERM_BUDGET = 2_000_000
# Replicates wanted beyond the threshold's quantile, so that it is not one extreme replicate.
REPLICATES_BEYOND_QUANTILE = 10


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
        raise _too_short(n_obs, 0)
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


def choose_window_sizes(
    requested: Sequence[int] | None, n_obs: int, n_omitted: int = 0
) -> list[int]:
    """The window sizes to scan: ``requested`` sorted and checked, else the defaults.

    ``n_obs`` counts the values to scan; ``n_omitted`` the missing ones left out before, which
    an error about the length mentions.
    """
    if requested is None:
        if n_obs < 2 * MIN_WINDOW:
            raise _too_short(n_obs, n_omitted)
        return default_window_sizes(n_obs)
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
