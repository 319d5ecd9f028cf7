"""Critical-value tables and the tail laws that turn a stage's statistic into a p-value.

Each stage calibrates its statistic by simulation on change-free series (the bench script named
beside its table) at one level, or at several. Between the simulated levels the p-value follows
the statistic's limiting law, rescaled so that it passes through the calibrated critical value:

- a cumulative sum over a stretch, in units of its long-run spread, is near the largest
  absolute value of a Brownian bridge, whose tail is Kolmogorov's law (:func:`kolmogorov_sf`);
- the largest of many robust z-scores is near a Gumbel law (:func:`gumbel_sf`), its scale from
  two calibrated levels when there are, else from the number of independent z-scores.

The p-value is then exact at the calibrated level and follows the limiting law's shape on
either side of it.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

__all__ = [
    "KolmogorovTable",
    "by_length",
    "curve",
    "gumbel_location",
    "gumbel_reduced",
    "gumbel_scale",
    "gumbel_sf",
    "kolmogorov_isf",
    "kolmogorov_sf",
    "scaled_kolmogorov_sf",
]


def by_length(table: Sequence[tuple[int, float]], n: int) -> float:
    """The value of a ``(length, value)`` table at ``n``, interpolated in the logarithm of the
    length and constant beyond either end."""
    lengths, values = zip(*table, strict=True)
    return float(np.interp(math.log(max(n, 1)), np.log(lengths), values))


def curve(coefficients: tuple[float, float, float, float], n: int, h: int) -> float:
    """``a + b ln m + c ln h + d / m`` with ``m = (n - 2h + 1) / h``, the boundaries per width:
    the form fitted to the simulated quantiles of the largest z-score over a series."""
    a, b, c, d = coefficients
    m = max(n - 2 * h + 1, 1) / h
    return a + b * math.log(m) + c * math.log(h) + d / m


def gumbel_reduced(level: float) -> float:
    """``-ln(-ln level)``: the standard Gumbel quantile at ``level``."""
    return -math.log(-math.log(level))


def gumbel_location(critical: float, level: float, scale: float) -> float:
    """The location of the Gumbel law of ``scale`` whose ``level`` quantile is ``critical``."""
    return critical - scale * gumbel_reduced(level)


def gumbel_scale(low: float, low_level: float, high: float, high_level: float) -> float:
    """The scale of the Gumbel law through two calibrated quantiles."""
    return (high - low) / (gumbel_reduced(high_level) - gumbel_reduced(low_level))


def gumbel_sf(z: float, location: float, scale: float) -> float:
    """``P(Z > z)`` under the Gumbel law of ``location`` and ``scale``."""
    if math.isnan(z):
        return 1.0
    if z == math.inf:
        return 0.0
    return -math.expm1(-math.exp(-(z - location) / scale))


def kolmogorov_sf(x: float) -> float:
    """``P(sup |B| > x)`` for a Brownian bridge B: ``2 sum (-1)^(k-1) exp(-2 k^2 x^2)``."""
    if math.isnan(x):
        return 1.0
    if x <= 0.2:
        return 1.0
    total = 0.0
    for k in range(1, 101):
        term = math.exp(-2.0 * k * k * x * x)
        total += term if k % 2 else -term
        if term < 1e-300:
            break
    return min(1.0, max(0.0, 2.0 * total))


@functools.lru_cache(maxsize=64)
def kolmogorov_isf(p: float) -> float:
    """The x with ``kolmogorov_sf(x) = p`` (bisection; 0 < p < 1)."""
    lo, hi = 0.2, 40.0
    for _ in range(100):
        mid = 0.5 * (lo + hi)
        if kolmogorov_sf(mid) > p:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def scaled_kolmogorov_sf(statistic: float, critical: float, level: float) -> float:
    """The p-value of a cumulative-sum statistic whose calibrated ``level`` quantile is
    ``critical``: Kolmogorov's tail of the statistic rescaled so that ``critical`` maps to the
    bridge's own quantile at ``level``."""
    if not critical > 0:
        return 1.0
    return kolmogorov_sf(statistic * kolmogorov_isf(1.0 - level) / critical)


@dataclass(frozen=True)
class KolmogorovTable:
    """A cumulative-sum statistic's critical values by stretch length, simulated at ``level``,
    and its p-value through them (:func:`scaled_kolmogorov_sf`)."""

    lengths: tuple[int, ...]
    values: tuple[float, ...]
    level: float

    def __post_init__(self) -> None:
        if len(self.lengths) != len(self.values) or list(self.lengths) != sorted(self.lengths):
            raise ValueError("a table needs one value per length, the lengths ascending")

    def critical(self, n: int) -> float:
        """The critical value for a stretch of ``n`` values (:func:`by_length`)."""
        return by_length(tuple(zip(self.lengths, self.values, strict=True)), n)

    def p_value(self, statistic: float, n: int) -> float:
        """The p-value of ``statistic`` over a stretch of ``n`` values."""
        return scaled_kolmogorov_sf(statistic, self.critical(n), self.level)
