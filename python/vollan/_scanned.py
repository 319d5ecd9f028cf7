"""The first step of :func:`vollan.detect`: from the caller's values to the values scanned and
the window sizes that scan them.

Missing values are left out or refused (:mod:`vollan._input`), the values are put in units
that fit their spread (:func:`vollan._rules.standard_units`), isolated outliers are left out
(:mod:`vollan._outliers`), and the window sizes follow the series' period
(:mod:`vollan._scale`). Positions found in the values scanned map back to the caller's series
through :attr:`Scanned.kept`.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from vollan._background import BESIDE_FROM, Later
from vollan._input import kept_values
from vollan._outliers import find_outliers
from vollan._rules import standard_units
from vollan._scale import choose_window_sizes, dominant_period

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    from vollan._input import Kept

__all__ = ["Scanned", "scanned_values"]


@dataclass(frozen=True)
class Scanned:
    """The values to scan, where they came from, and the window sizes to scan them with.

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
    """

    kept: Kept
    n_missing: int
    outliers: list[int]
    offset: float
    scale: float
    period: int | None
    sizes: list[int]

    @property
    def x(self) -> NDArray[np.float64]:
        return self.kept.values

    @property
    def period_of_windows(self) -> int | None:
        """The period, when every window holds whole periods of it."""
        period = self.period
        return period if period and all(w % period == 0 for w in self.sizes) else None


def scanned_values(
    values: Any,
    *,
    nan_policy: str,
    outliers: str,
    window_sizes: Sequence[int] | None,
    two_threads: bool,
) -> Scanned:
    """The values scanned and the window sizes (see :func:`vollan.detect` for each rule)."""
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
    kept.check_reach(offset, scale)
    period = None
    if period_as_given is not None and found_outliers:
        # The values scanned are not those it was found on.
        period = dominant_period(kept.values)
        period_as_given.join()
    elif period_as_given is not None:
        period = period_as_given.result()
    sizes = choose_window_sizes(window_sizes, len(kept.values), n_missing, period)
    return Scanned(kept, n_missing, found_outliers, offset, scale, period, sizes)
