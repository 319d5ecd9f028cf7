"""Which statistics judge a series: those its change type asks for, less those its values make
pointless (a single value, two values, or one value repeated over much of the series)."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from vollan.stats.robust import tie_bounds

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["KINDS_OF_CHANGE_TYPE", "MAX_TIED_SHARE", "kinds_to_judge"]

# The contrasts that judge each change type.
KINDS_OF_CHANGE_TYPE = {
    # A shift the windows are too short to see is one "mean" asks for as much as
    # "distribution".
    "mean": ("location", "level"),
    # A change of spread the vote misses is one "var" asks for as much as "distribution".
    "var": ("scale", "spread"),
    "distribution": ("location", "scale", "level", "shape", "slope", "spread"),
}
# A law on a few values has little shape apart from its level and spread (a two-valued law's
# spread and shape follow from its mean), and ties make the shape of quiet stretches jump
# between a few values, far more than the critical value allows for. Where one value makes up
# more than this share of the series, "distribution" does not judge shape. On change-free
# Poisson, Bernoulli and rounded normal noise (60 series of 600 values a law) the shape test
# reported a change in none of 60 series at shares up to 0.28 but in 5 to 37 at 0.38 and
# above; the scale contrast, in 4 of 60 Bernoulli(0.5) series, hence location alone there.
MAX_TIED_SHARE = 0.25
# The rules whose statistics rest on quantiles or running medians of the values, which ties
# make jump. The level over whole stretches is not among them: its statistic is a sum of values
# over their long-run spread, and on change-free Poisson (rates 0.3 to 2), geometric,
# negative-binomial, zero-inflated and rounded normal noise its 99 % quantile stayed below its
# critical value at every length from 150 to 20,000 (bench/levels.py).
_ROBUST_KINDS = ("shape", "slope")
# What a two-valued series is judged by: its level, near each boundary and over whole
# stretches (a sum of 0/1 flags is the classical test of a change in their rate).
_TWO_VALUED_KINDS = ("location", "level")


def kinds_to_judge(
    change_type: str, x: NDArray[np.float64], ordered: NDArray[np.float64] | None = None
) -> tuple[tuple[str, ...], str | None]:
    """The contrasts that judge ``change_type`` on ``x``, and a note when the values made
    some of them pointless (``ordered``, when given, holds the values of ``x`` sorted, none of
    them NaN).

    Those of :data:`KINDS_OF_CHANGE_TYPE`, but no shape nor slope where one value
    makes up more than :data:`MAX_TIED_SHARE` of the series, and location alone (near each
    boundary and over whole stretches) on two-valued series: their spread follows from their
    mean, and the scale contrast reported a change in 8 % of change-free Bernoulli(0.5) series
    of 10^5 values.
    """
    name = change_type.lower()
    kinds = KINDS_OF_CHANGE_TYPE[name]
    if len(x):
        if ordered is None:
            _, counts = np.unique(x, return_counts=True)
        else:
            counts = np.diff(tie_bounds(ordered))
        if len(counts) <= 2:
            judged = tuple(k for k in kinds if k in _TWO_VALUED_KINDS) or ("location",)
            if len(counts) == 1:
                return judged, "the series takes a single value: it has no change"
            if judged == kinds:
                return kinds, None
            return judged, (
                "the series takes only two values, whose spread follows from their mean: "
                "changes are judged by location alone"
            )
        share = int(counts.max()) / len(x)
        dropped = [k for k in _ROBUST_KINDS if k in kinds]
        if share > MAX_TIED_SHARE and dropped:
            names = {
                "level": "of level over whole stretches",
                "shape": "of shape",
                "slope": "of slope",
            }
            said = [names[k] for k in dropped]
            listed = said[0] if len(said) == 1 else ", ".join(said[:-1]) + " and " + said[-1]
            return tuple(k for k in kinds if k not in _ROBUST_KINDS), (
                f"one value makes up {share:.0%} of the series: changes {listed} are not "
                "judged among so many repeated values"
            )
    return kinds, None
