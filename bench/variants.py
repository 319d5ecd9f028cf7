"""Variants of vollan.detect's rules, for the quality harness: each sets the switches of the
rules, then calls detect, so that a grid can compare rules that are not keyword arguments.

    python bench/quality.py --detector variants:fit_wide ...
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

import vollan
from vollan import _contrast, _rules, _scale, api

_DISTRIBUTION_KINDS = _contrast.KINDS_OF_CHANGE_TYPE["distribution"]
_CRITICAL_SHIFT = api.critical_shift


def _run(
    values: np.ndarray,
    fit: bool,
    wide: bool,
    level: float,
    shape: bool = True,
    short: bool = True,
    harmonics: bool = True,
    **options: Any,
) -> list[int]:
    _rules.FIT_SCORES = fit
    _scale.PERIOD_HARMONICS = harmonics
    _contrast.WIDE_CONTRASTS = wide
    _contrast.CONTRAST_LEVEL = level
    # Without the shape rule "distribution" judges location and scale only; without the
    # short-series test a short series reports nothing (no split can pass an infinite bar).
    _contrast.KINDS_OF_CHANGE_TYPE["distribution"] = (
        _DISTRIBUTION_KINDS if shape else tuple(k for k in _DISTRIBUTION_KINDS if k != "shape")
    )
    api.critical_shift = _CRITICAL_SHIFT if short else (lambda n: math.inf)
    return list(vollan.detect(values, **options).change_points)


def variant(
    values: np.ndarray,
    fit: bool = True,
    wide: bool = True,
    level: float = 0.975,
    shape: bool = True,
    short: bool = True,
    harmonics: bool = True,
    **options: Any,
) -> list[int]:
    return _run(values, fit, wide, level, shape, short, harmonics, **options)


variant.accepts_nan = True  # type: ignore[attr-defined]
