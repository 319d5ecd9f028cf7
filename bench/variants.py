"""Variants of vollan.detect's rules, for the quality harness: each sets the switches of the
rules, then calls detect, so that a grid can compare rules that are not keyword arguments.

    python bench/quality.py --detector variants:fit_wide ...
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

import vollan
from vollan import (
    _contrast,
    _drift,
    _judge,
    _level,
    _passes,
    _place,
    _rules,
    _scale,
    _slope,
    _spread,
)

_DISTRIBUTION_KINDS = _contrast.KINDS_OF_CHANGE_TYPE["distribution"]
_MEAN_KINDS = _contrast.KINDS_OF_CHANGE_TYPE["mean"]
_PASSES = _passes.PASSES
_TIED = _contrast._ROBUST_KINDS
# The spread statistic about two parts, with the critical values it had.
_SPREAD_TWO_PARTS = (
    (255, 2.6),
    (300, 2.4),
    (400, 2.4),
    (600, 2.2),
    (1000, 2.05),
    (2000, 1.95),
    (5000, 1.9),
    (20000, 1.75),
)
_SPREAD_CRITICAL = _spread.CRITICAL_BY_LENGTH
# The level statistic about two parts, with the critical values it had.
_LEVEL_TWO_PARTS = (
    (150, 2.5),
    (200, 2.5),
    (255, 2.25),
    (600, 2.25),
    (1000, 2.15),
    (2000, 1.95),
    (5000, 1.95),
    (20000, 1.8),
)
_LEVEL_CRITICAL = _level.CRITICAL_BY_LENGTH
_CRITICAL_SHIFT = _judge.critical_shift
# The slope contrast's spread: over the whole stretch (0) or the larger of that and the spread
# over this many widths around each boundary; each with its own critical curve
# (bench/slopes.py: 300 series a cell, 1,000 for the 32 widths in force).
_SLOPE_CRITICAL = {
    0: (3.756, 0.304, -0.063, 7.66),
    16: (3.753, 0.244, -0.06, 5.656),
    32: (3.701, 0.274, -0.06, 5.694),
}
_SLOPE_DEFAULT = (_slope.LOCAL_WIDTHS, _slope._CRITICAL)


def _run(
    values: np.ndarray,
    fit: bool,
    wide: bool,
    level: float,
    shape: bool = True,
    short: bool = True,
    harmonics: bool = True,
    slope: bool = True,
    slope_widths: int | None = None,
    spread: bool = True,
    place: bool = True,
    shifts: bool = True,
    passes: tuple[str, ...] = _PASSES,
    tied: tuple[str, ...] = _TIED,
    bursts: bool = True,
    bumps: bool = True,
    drift: bool = True,
    spread_steps: bool = True,
    **options: Any,
) -> list[int]:
    _drift.DRIFT_CHECK = drift
    _spread.STEPS_ONLY = spread_steps
    _level.BUMPS = bumps
    _level.CRITICAL_BY_LENGTH = _LEVEL_CRITICAL if bumps else _LEVEL_TWO_PARTS
    _passes.PASSES = passes
    _contrast._ROBUST_KINDS = tied
    _spread.BURSTS = bursts
    _spread.CRITICAL_BY_LENGTH = _SPREAD_CRITICAL if bursts else _SPREAD_TWO_PARTS
    _place.PLACE_PERIODIC = place
    _slope.LOCAL_WIDTHS, _slope._CRITICAL = (
        _SLOPE_DEFAULT if slope_widths is None else (slope_widths, _SLOPE_CRITICAL[slope_widths])
    )
    _rules.FIT_SCORES = fit
    _scale.PERIOD_HARMONICS = harmonics
    _contrast.WIDE_CONTRASTS = wide
    _contrast.CONTRAST_LEVEL = level
    # Without the shape rule "distribution" judges location and scale only; without the
    # short-series test a short series reports nothing (no split can pass an infinite bar).
    left_out = {
        k
        for k, on in (("shape", shape), ("slope", slope), ("spread", spread), ("level", shifts))
        if not on
    }
    _contrast.KINDS_OF_CHANGE_TYPE["distribution"] = tuple(
        k for k in _DISTRIBUTION_KINDS if k not in left_out
    )
    _contrast.KINDS_OF_CHANGE_TYPE["mean"] = tuple(k for k in _MEAN_KINDS if k not in left_out)
    _judge.critical_shift = _CRITICAL_SHIFT if short else (lambda n: math.inf)
    return list(vollan.detect(values, **options).change_points)


def variant(
    values: np.ndarray,
    fit: bool = True,
    wide: bool = True,
    level: float = 0.975,
    shape: bool = True,
    short: bool = True,
    harmonics: bool = True,
    slope: bool = True,
    slope_widths: int | None = None,
    spread: bool = True,
    place: bool = True,
    shifts: bool = True,
    passes: tuple[str, ...] = _PASSES,
    tied: tuple[str, ...] = _TIED,
    bursts: bool = True,
    bumps: bool = True,
    drift: bool = True,
    spread_steps: bool = True,
    **options: Any,
) -> list[int]:
    return _run(
        values,
        fit,
        wide,
        level,
        shape,
        short,
        harmonics,
        slope,
        slope_widths,
        spread,
        place,
        shifts,
        passes,
        tied,
        bursts,
        bumps,
        drift,
        spread_steps,
        **options,
    )


variant.accepts_nan = True  # type: ignore[attr-defined]
