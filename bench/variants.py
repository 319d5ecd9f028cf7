"""Variants of vollan.detect's rules, for the quality harness: each sets the switches of the
rules, then calls detect, so that a grid can compare rules that are not keyword arguments.

    python bench/quality.py --detector variants:fit_wide ...
"""

from __future__ import annotations

from typing import Any

import numpy as np

import vollan
from vollan import _contrast, _rules


def _run(values: np.ndarray, fit: bool, wide: bool, level: float, **options: Any) -> list[int]:
    _rules.FIT_SCORES = fit
    _contrast.WIDE_CONTRASTS = wide
    _contrast.CONTRAST_LEVEL = level
    return list(vollan.detect(values, **options).change_points)


def variant(
    values: np.ndarray, fit: bool = True, wide: bool = True, level: float = 0.975, **options: Any
) -> list[int]:
    return _run(values, fit, wide, level, **options)


variant.accepts_nan = True  # type: ignore[attr-defined]
