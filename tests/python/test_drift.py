"""Location contrasts that a smooth drift explains: the fit, the rule, and what detect reports."""

from __future__ import annotations

import numpy as np
import pytest

import vollan
from vollan.pipeline import drift as _drift


def _reference(x: np.ndarray, c: int, h: int) -> tuple[float, float]:
    y = x[c - h : c + h]
    t = np.arange(c - h, c + h, dtype=np.float64)
    design = np.column_stack([np.ones_like(t), t, (t >= c).astype(np.float64)])
    beta, *_ = np.linalg.lstsq(design, y, rcond=None)
    residual = y - design @ beta
    variance = residual @ residual / (len(y) - 3)
    cov = variance * np.linalg.inv(design.T @ design)
    return beta[1] / np.sqrt(cov[1, 1]), beta[2] / np.sqrt(cov[2, 2])


@pytest.mark.parametrize("seed", range(4))
def test_slope_and_step_are_the_t_statistics_of_a_least_squares_fit(seed: int) -> None:
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.normal(size=400)) + 3.0 * (np.arange(400) >= 200)
    for c, h in ((200, 10), (150, 37), (300, 100)):
        assert _drift.slope_and_step(x, c, h) == pytest.approx(_reference(x, c, h), rel=1e-9)
    # A constant stretch fits exactly: no statistic.
    assert _drift.slope_and_step(np.ones(50), 25, 10) == (0.0, 0.0)


def test_a_smooth_curve_explains_its_contrast_and_a_jump_or_a_ramp_does_not() -> None:
    rng = np.random.default_rng(3)
    t = np.arange(500)
    noise = rng.normal(size=500)
    growth = np.exp(0.008 * t) + noise
    assert _drift.drift_explains(growth, 440, 10, 125)
    jump = growth + 4.0 * (t >= 440)
    assert not _drift.drift_explains(jump, 440, 10, 125)
    # A transition over 80 values, seen at a width of 10: its flat ends show the step at 80.
    ramp = 4.0 * np.clip((t - 210) / 80.0, 0.0, 1.0) + noise
    assert not _drift.drift_explains(ramp, 250, 10, 125)
    # Where the series ends before the span that would hold the flat ends, it is a drift.
    assert _drift.drift_explains(ramp, 250, 10, 30)
    # No span fits before the first value.
    assert not _drift.drift_explains(growth, 5, 10, 125)


def test_plain_noise_shows_a_drift_by_chance_one_time_in_a_hundred() -> None:
    # Slope and step are each looked for over up to four spans; at 1 % a span, noise showed
    # a slope and no step in 2.3 % of draws, at 1 % shared among the spans in 1.2 %.
    rng = np.random.default_rng(11)
    explained = sum(_drift.drift_explains(rng.normal(size=500), 250, 10, 125) for _ in range(1000))
    assert explained <= 20


def _growth_reports(
    jump: bool, config: vollan.DetectConfig = vollan.DEFAULT_CONFIG
) -> tuple[int, int]:
    """Jumps of 4 sd at 420 found within 5 values, and other reports, over 12 series growing
    exponentially."""
    t = np.arange(500)
    found = other = 0
    for seed in range(12):
        x = np.exp(0.008 * t) + np.random.default_rng(seed).normal(size=500)
        if jump:
            x += 4.0 * (t >= 420)
        points = vollan.detect(x, config=config).change_points
        hit = any(abs(c - 420) <= 5 for c in points) if jump else False
        found += hit
        other += len(points) - hit
    return found, other


_UNCHECKED = vollan.DEFAULT_CONFIG.replace("vote", drift_check=False)


def test_detect_reports_far_less_along_exponential_growth() -> None:
    other = _growth_reports(jump=True)[1]
    smooth = _growth_reports(jump=False)[1]
    other_before = _growth_reports(jump=True, config=_UNCHECKED)[1]
    smooth_before = _growth_reports(jump=False, config=_UNCHECKED)[1]
    assert smooth <= smooth_before // 2 and other <= other_before // 2


# Placed where the vote saw them, the jumps are found at 420 on 8 of 12 series (12 before the
# single budget): on two the vote's share of alpha leaves the jump to the slope stage, which
# calls it a bend 7-9 values early, and on one nothing reports it.
@pytest.mark.xfail(strict=True, reason="jumps on exponential growth: 8 of 12 found at 420")
def test_jumps_along_exponential_growth_are_still_found_where_they_are() -> None:
    found = _growth_reports(jump=True)[0]
    found_before = _growth_reports(jump=True, config=_UNCHECKED)[0]
    assert found == found_before >= 10


def test_a_drift_that_starts_within_the_span_leaves_no_step_beside_its_bend() -> None:
    # A ramp from 150 on, seen from a leader at 200 over 100 values a side: one line leaves a
    # step at 200, a bent line none; a true step at 200 stays a step beside the bend.
    rng = np.random.default_rng(4)
    t = np.arange(400.0)
    ramp = 0.2 * np.maximum(t - 149, 0.0) + rng.normal(size=400)
    assert abs(_drift.slope_and_step(ramp, 200, 100)[1]) > 3.0
    assert abs(_drift.step_beside_a_bend(ramp, 200, 100)) < 2.0
    assert abs(_drift.step_beside_a_bend(ramp + 4.0 * (t >= 200), 200, 100)) > 10.0
