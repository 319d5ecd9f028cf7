"""The first step of :func:`vollan.detect`: one context per series, computed once.

Missing values are left out or refused (:mod:`vollan._input`), the values are put in units
that fit their spread (:func:`vollan.stats.robust.standard_units`), isolated outliers are left
out (:mod:`vollan.pipeline.outliers`), and the window sizes follow the series' period
(:mod:`vollan.pipeline.windows`). What several stages read (the sorted values, the kinds of
change the values allow, the noise scale) is computed here once. Positions found in the values
scanned map back to the caller's series through :attr:`SeriesContext.kept`.
"""

from __future__ import annotations

import functools
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from vollan.pipeline.background import BESIDE_FROM, Later
from vollan.pipeline.outliers import find_outliers
from vollan.pipeline.stage import kinds_to_judge
from vollan.pipeline.windows import MIN_WINDOW, choose_window_sizes
from vollan.stats.period import dominant_period
from vollan.stats.robust import noise_scale, standard_units

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vollan._input import Kept
    from vollan.pipeline.scan import ScanView

__all__ = ["PrepareParams", "SeriesContext", "prepared"]


@dataclass(frozen=True)
class PrepareParams:
    """Parameters of the preparation: ``harmonics``, whether the period looks past a harmonic
    peak to the fundamental below it."""

    harmonics: bool = True


@dataclass(frozen=True)
class SeriesContext:
    """One series as every stage sees it.

    Attributes
    ----------
    kept : Kept
        The values scanned, in the units below, and their positions in the caller's series.
    n_missing : int
        Missing values left out.
    outliers : list of int
        Positions in the caller's series of the isolated outliers left out.
    offset, scale : float
        The values scanned are ``(values - offset) * scale``.
    period : int or None
        The series' period (of the values scanned), when no window sizes were given.
    sizes : list of int
        The window sizes of the scan.
    change_type : str
        "distribution", "mean" or "var" (lower case).
    two_threads : bool
        Whether steps may run on a second core beside the next.
    scan : ScanView or None
        The engine's scan, once it has run.
    """

    kept: Kept
    n_missing: int
    outliers: list[int]
    offset: float
    scale: float
    period: int | None
    sizes: list[int]
    change_type: str
    two_threads: bool
    scan: ScanView | None = None

    @property
    def x(self) -> NDArray[np.float64]:
        return self.kept.values

    @property
    def n(self) -> int:
        return len(self.kept.values)

    @property
    def period_of_windows(self) -> int | None:
        """The period, when every window holds whole periods of it."""
        period = self.period
        return period if period and all(w % period == 0 for w in self.sizes) else None

    @functools.cached_property
    def ordered(self) -> NDArray[np.float64]:
        """The values sorted (one sort serves ties, resolution and the sparse rule)."""
        return np.sort(self.x)

    @functools.cached_property
    def judged(self) -> tuple[tuple[str, ...], str | None]:
        """The kinds of evidence the values allow, and a note when they dropped some."""
        return kinds_to_judge(self.change_type, self.x, self.ordered)

    @functools.cached_property
    def noise(self) -> float:
        """Robust standard deviation of the noise, from the first differences, past ties."""
        return noise_scale(self.x, untied=True)


def prepared(
    values: Any,
    *,
    nan_policy: str,
    outliers: str,
    window_sizes: Sequence[int] | None,
    change_type: str,
    two_threads: bool,
    params: PrepareParams,
) -> SeriesContext:
    """The context of one series (see :func:`vollan.detect` for each rule)."""
    from vollan._input import kept_values

    kept = kept_values(values, nan_policy)
    n_missing = kept.n_omitted
    # Series in units far from their spread are judged as if the units fitted it.
    offset, scale = standard_units(kept.values)
    kept = kept.in_units(offset, scale)
    # The period of the values as they are, found on a second core while the outliers are
    # looked for: it is the period of the values scanned whenever none is left out.
    period_as_given = (
        Later(
            dominant_period,
            kept.values,
            params.harmonics,
            background=two_threads and outliers == "omit" and len(kept.values) >= BESIDE_FROM,
        )
        if window_sizes is None
        else None
    )
    found_outliers: list[int] = []
    if outliers == "omit":
        odd = _blips(kept.values)
        if odd is None:
            odd = find_outliers(kept.values)
        # Outliers are left out only where enough values remain for two of the smallest
        # windows: the caller's series was long enough.
        if len(kept.values) - len(odd) < 2 * MIN_WINDOW <= len(kept.values):
            odd = odd[:0]
        found_outliers = [kept.position(int(i)) for i in odd]
        kept = kept.without(odd)
    kept.check_reach(offset, scale)
    period = None
    if period_as_given is not None and found_outliers:
        # The values scanned are not those it was found on.
        period = dominant_period(kept.values, params.harmonics)
        period_as_given.join()
    elif period_as_given is not None:
        period = period_as_given.result()
    sizes = choose_window_sizes(window_sizes, len(kept.values), n_missing, period)
    return SeriesContext(
        kept,
        n_missing,
        found_outliers,
        offset,
        scale,
        period,
        sizes,
        change_type.lower(),
        two_threads,
    )


# A constant series with at most this many other values: they are outliers, and nothing changes.
MOST_BLIPS = 2


def _blips(x: NDArray[np.float64]) -> NDArray[np.intp] | None:
    """The positions of the values other than a series' one repeated value, when there are at
    most :data:`MOST_BLIPS` of them (None otherwise). Beside a constant stretch the outliers'
    noise scale is zero and none is found by distance, yet one or two values apart from the
    rest are outliers by definition: no change of regime rests on them."""
    if len(x) < 4 * (MOST_BLIPS + 1):
        return None
    values, counts = np.unique(x, return_counts=True)
    if len(values) < 2 or len(x) - int(counts.max()) > MOST_BLIPS:
        return None
    return np.flatnonzero(x != values[int(np.argmax(counts))]).astype(np.intp)
