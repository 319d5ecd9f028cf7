"""Location contrasts that an accelerating drift explains.

The location contrast compares the values after a boundary with those before it. Along a
straight drift it is the same everywhere and stands out nowhere; along a curve whose slope grows
(exponential growth, the steep side of a logistic) it grows with the slope and stands out where
the curve is steepest, at one boundary after another, though nothing changes there but the
slope, smoothly.

A change of level leaves a step beyond the local line; a smooth curve does not. Around a leader
at c, over symmetric spans of h, 2h, 4h, ... values on each side (h its contrast width, up to
the largest window and the series' ends), the values are fitted by least squares with a line and
a step at c. The drift explains the contrast when the slope is significant over some span and
the step over none (two-sided, at the vote's ``drift_level`` (1 %) shared among the spans, 1 %/k
for k spans: t beyond 2.81 for two spans, 3.02 for four; at 1 % a span, plain noise showed a
slope and no step 2.3 % of the time, and growth curves a step by chance): a jump shows a step
over its own width already, and a transition spread over many values (a ramp between two levels)
over a span that holds its flat ends, while along a smooth curve the line takes up the values at
every span. Only the symmetric spans are fitted: over a span cut off by an end, the step would
take up the curvature. A span that reaches back over where a drift starts or stops (a bend) shows
a step beyond one line there; the step counts only if it also stands beyond a line bent once
(:func:`step_beside_a_bend`), which no jump is.
"""

from __future__ import annotations

import math
from statistics import NormalDist
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["drift_explains", "slope_and_step", "step_beside_a_bend"]


def slope_and_step(x: NDArray[np.float64], c: int, h: int) -> tuple[float, float]:
    """The t statistics of the slope and of the step at ``c`` when ``x[c-h : c+h]`` is
    fitted by least squares with ``a + b t + d [t >= c]`` (0 where the fit is degenerate)."""
    y = x[c - h : c + h]
    n = len(y)
    t = np.arange(n, dtype=np.float64) - (h - 0.5)
    step = np.zeros(n)
    step[h:] = 1.0
    design = np.stack([np.ones(n), t, step])
    gram = design @ design.T
    moments = design @ y
    try:
        inverse = np.linalg.inv(gram)
    except np.linalg.LinAlgError:
        return 0.0, 0.0
    beta = inverse @ moments
    residual = y - beta @ design
    dof = n - 3
    if dof <= 0:
        return 0.0, 0.0
    variance = float(residual @ residual) / dof
    # A stretch the fit takes up to rounding has no noise to measure the statistics by.
    if not variance > (1e-12 * float(np.max(np.abs(y)))) ** 2:
        return 0.0, 0.0
    slope = float(beta[1]) / math.sqrt(variance * float(inverse[1, 1]))
    jump = float(beta[2]) / math.sqrt(variance * float(inverse[2, 2]))
    return slope, jump


def drift_explains(x: NDArray[np.float64], c: int, h: int, most: int, level: float = 0.01) -> bool:
    """Whether a smooth drift explains the location contrast at ``c`` of width ``h``: a
    significant slope over some span of ``h``, ``2h``, ... (up to ``most`` values and the
    series' ends on each side) and a significant step over none, each at ``level`` shared
    among the spans."""
    reach = min(c, len(x) - c, max(most, h))
    spans = []
    span = h
    while span <= reach:
        spans.append(span)
        span *= 2
    # Slope and step are each looked for over every span: each span at 1 % / spans, so that
    # either is found somewhere by chance no more than 1 % of the time (Bonferroni).
    critical = _two_sided(level / max(1, len(spans)))
    sloped = False
    for span in spans:
        slope, jump = slope_and_step(x, c, span)
        if not abs(jump) < critical and not abs(step_beside_a_bend(x, c, span)) < critical:
            return False
        sloped = sloped or abs(slope) > critical
    return sloped


# Knots tried for the bend within a span: this many, evenly spaced.
BEND_KNOTS = 32


def step_beside_a_bend(x: NDArray[np.float64], c: int, h: int) -> float:
    """The t statistic of the step at ``c`` when ``x[c-h : c+h]`` is fitted with a line, a bend
    of it (a hinge, at the best of :data:`BEND_KNOTS` knots) and the step: a drift that starts
    or stops within the span leaves a step beyond one line, but not beyond a bent one, while a
    hinge is continuous and takes up no step. 0 where every fit is degenerate."""
    y = x[c - h : c + h]
    n = len(y)
    t = np.arange(n, dtype=np.float64) - (h - 0.5)
    step = (t > 0).astype(np.float64)
    knots = np.unique(np.linspace(1, n - 2, BEND_KNOTS).round().astype(np.int64))
    best_rss, best_t = math.inf, 0.0
    for k in knots.tolist():
        design = np.stack([np.ones(n), t, np.maximum(t - t[k], 0.0), step])
        gram = design @ design.T
        try:
            inverse = np.linalg.inv(gram)
        except np.linalg.LinAlgError:
            continue
        beta = inverse @ (design @ y)
        residual = y - beta @ design
        rss = float(residual @ residual)
        dof = n - 4
        if dof <= 0 or not rss < best_rss:
            continue
        variance = rss / dof
        if not variance > (1e-12 * float(np.max(np.abs(y)))) ** 2 or not inverse[3, 3] > 0:
            continue
        best_rss, best_t = rss, float(beta[3]) / math.sqrt(variance * float(inverse[3, 3]))
    return best_t


def _two_sided(level: float) -> float:
    return NormalDist().inv_cdf(1.0 - level / 2.0)
