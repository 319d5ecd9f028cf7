"""Changes of shape at equal mean and spread, found apart from the scan's votes."""

from __future__ import annotations

import numpy as np
import pytest

import vollan
from vollan import _shape


def reference_ratio(values: np.ndarray) -> float:
    """Geary's ratio about the least-squares line, residuals clipped at 3 robust sds."""
    t = np.arange(len(values), dtype=float)
    slope, intercept = np.polyfit(t, values, 1)
    r = values - (intercept + slope * t)
    mid = np.median(r)
    limit = 3.0 * 1.482602218505602 * np.median(np.abs(r - mid))
    r = np.clip(r, mid - limit, mid + limit)
    r = r - r.mean()
    return float(np.abs(r).mean() / np.sqrt((r * r).mean()))


def two_peaked(rng: np.random.Generator, m: int) -> np.ndarray:
    # Mean 0 and variance 1, as the normal law it follows.
    return rng.choice([-0.95, 0.95], size=m) + 0.3125 * rng.normal(size=m)


def test_shape_ratio_matches_a_plain_reference() -> None:
    rng = np.random.default_rng(4)
    rows = np.stack(
        [
            rng.normal(size=40),
            rng.standard_t(3, size=40) + 0.5 * np.arange(40),
            two_peaked(rng, 40),
            rng.uniform(size=40),
        ]
    )
    expected = [reference_ratio(row) for row in rows]
    np.testing.assert_allclose(_shape._shape_ratio(rows), expected, rtol=1e-6)


def test_shape_contrast_is_blind_to_level_spread_and_drift() -> None:
    rng = np.random.default_rng(5)
    x = rng.normal(size=400)
    moved = 3.0 * x + 10.0 + 0.01 * np.arange(400)
    bounds = np.arange(50, 351, 25, dtype=np.intp)
    np.testing.assert_allclose(
        _shape.shape_contrasts(moved, 50, bounds), _shape.shape_contrasts(x, 50, bounds), atol=1e-6
    )


@pytest.mark.parametrize(
    ("n", "expected"), [(200, 0), (254, 0), (255, 32), (600, 72), (10**5, 1000)]
)
def test_shape_width(n: int, expected: int) -> None:
    assert _shape.shape_width(n, vollan.default_window_sizes(n)[-1]) == expected


def test_a_change_to_a_two_peaked_law_is_found_by_default() -> None:
    # Geary's ratio needs a hundred values or so a side: at 1,000 values the change is found
    # in most series (at 600, in about a fifth).
    found = 0
    for seed in range(10):
        rng = np.random.default_rng(600 + seed)
        x = np.concatenate([rng.normal(size=500), two_peaked(rng, 500)])
        detection = vollan.detect(x)
        kinds = {x.contrast_kind for x in detection.leaders if x.reported}
        found += any(abs(c - 500) <= 20 for c in detection.change_points) and "shape" in kinds
        assert len(detection.change_points) <= 1
    assert found >= 7


def test_noise_and_a_plain_shift_rarely_report_a_change_of_shape() -> None:
    # The shape rule may add up to 2.5 % false alarms: at most one in these 20 noise series.
    reports = 0
    for seed in range(10):
        rng = np.random.default_rng(700 + seed)
        for x in (rng.normal(size=600), rng.standard_t(3, size=600)):
            reports += bool(vollan.detect(x).change_points)
        shifted = rng.normal(size=600)
        shifted[300:] += 3.0
        detection = vollan.detect(shifted)
        # The windows that straddle a shift have a mixed shape; no shape change flanks it.
        assert [c for c in detection.change_points if abs(c - 300) > 5] == []
        assert all(x.contrast_kind != "shape" for x in detection.leaders if x.reported)
    assert reports <= 1


def test_mean_and_var_change_types_do_not_judge_shape() -> None:
    rng = np.random.default_rng(8)
    x = np.concatenate([rng.normal(size=300), two_peaked(rng, 300)])
    for change_type in ("mean", "var"):
        reported = [x for x in vollan.detect(x, change_type=change_type).leaders if x.reported]
        assert all(x.contrast_kind != "shape" for x in reported)
