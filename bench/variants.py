"""Variants of vollan.detect's rules, for the quality harness: each keyword names one stage
parameter of :class:`vollan.DetectConfig` (or switches a stage off), and the call runs
``vollan.detect`` with that config, so that a grid can compare rules that are not keyword
arguments of detect itself.

    python bench/quality.py --detector variants:variant --grid fit=True,False ...
"""

from __future__ import annotations

from typing import Any

import numpy as np

import vollan


def config_of(
    fit: bool = True,
    wide: bool = True,
    shape: bool = True,
    harmonics: bool = True,
    slope: bool = True,
    slope_widths: int | None = None,
    spread: bool = True,
    place: bool = True,
    shifts: bool = True,
    bursts: bool = True,
    bumps: bool = True,
    drift: bool = True,
    spread_steps: bool = True,
    base: vollan.DetectConfig = vollan.DEFAULT_CONFIG,
) -> vollan.DetectConfig:
    """The config of one variant, from ``base``.

    fit, wide, drift
        The vote's ``fit_scores``, ``wide_contrasts`` and ``drift_check``.
    harmonics
        The preparation's ``harmonics`` (the period past a harmonic peak).
    slope_widths
        The slope stage's ``local_widths`` (0, 16 or 32 are calibrated).
    bursts, spread_steps
        The spread stage's ``bursts`` and ``steps_only``.
    bumps
        The level stage's ``bumps``.
    place
        The placement's ``periodic``.
    shape, slope, spread, shifts
        False switches off the shape, slope, spread or level stage.
    """
    config = (
        base.replace("vote", fit_scores=fit, wide_contrasts=wide, drift_check=drift)
        .replace("prepare", harmonics=harmonics)
        .replace("spread", bursts=bursts, steps_only=spread_steps)
        .replace("level", bumps=bumps)
        .replace("place", periodic=place)
    )
    if slope_widths is not None:
        config = config.replace("slope", local_widths=slope_widths)
    off = [
        stage
        for stage, on in (("shape", shape), ("slope", slope), ("spread", spread), ("level", shifts))
        if not on
    ]
    return config.without(*off) if off else config


def variant(
    values: np.ndarray,
    fit: bool = True,
    wide: bool = True,
    shape: bool = True,
    harmonics: bool = True,
    slope: bool = True,
    slope_widths: int | None = None,
    spread: bool = True,
    place: bool = True,
    shifts: bool = True,
    bursts: bool = True,
    bumps: bool = True,
    drift: bool = True,
    spread_steps: bool = True,
    **options: Any,
) -> list[int]:
    """The change points ``vollan.detect`` reports under the variant (see :func:`config_of`);
    ``options`` are detect's own keywords (``alpha``, ``change_type``, ``detrend`` ...)."""
    config = config_of(
        fit=fit,
        wide=wide,
        shape=shape,
        harmonics=harmonics,
        slope=slope,
        slope_widths=slope_widths,
        spread=spread,
        place=place,
        shifts=shifts,
        bursts=bursts,
        bumps=bumps,
        drift=drift,
        spread_steps=spread_steps,
    )
    return list(vollan.detect(values, config=config, **options).change_points)


variant.accepts_nan = True  # type: ignore[attr-defined]
