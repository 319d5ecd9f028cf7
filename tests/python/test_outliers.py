"""Isolated outliers: found, reported apart, left out of the scan, and never a change point."""

from __future__ import annotations

import numpy as np
import pytest

import vollan
from vollan.pipeline.outliers import find_outliers, outlier_threshold
from vollan.stats.robust import noise_scale


def noise(seed: int, n: int = 300) -> np.ndarray:
    return np.random.default_rng(seed).normal(size=n)


@pytest.mark.parametrize(
    ("n", "expected"), [(10, 5.0), (1000, 5.0), (10**6, pytest.approx(5.45, abs=0.01))]
)
def test_threshold_is_five_or_the_bonferroni_bound(n: int, expected: float) -> None:
    assert outlier_threshold(n) == expected


@pytest.mark.parametrize("seed", range(4))
def test_single_values_far_from_both_sides_are_found_exactly(seed: int) -> None:
    x = noise(seed)
    x[[0, 40, 41, 120, 299]] += [30.0, -25.0, -25.0, 12.0, -40.0]
    assert find_outliers(x).tolist() == [0, 40, 41, 120, 299]


@pytest.mark.parametrize("seed", range(4))
def test_level_shifts_and_short_regimes_are_not_outliers(seed: int) -> None:
    x = noise(seed)
    x[150:] += 30.0  # a shift far beyond the threshold
    x[60:65] += 20.0  # five extreme values in a row: a short regime
    assert find_outliers(x).tolist() == []


@pytest.mark.parametrize("seed", range(4))
def test_noise_and_a_change_of_spread_report_none(seed: int) -> None:
    x = noise(seed, 2000)
    x[1000:] *= 4.0  # judged against the noise of its own block
    assert find_outliers(x).tolist() == []


def test_constant_and_tiny_series_report_none() -> None:
    assert find_outliers(np.zeros(50)).tolist() == []
    assert find_outliers(np.array([0.0, 0.0, 99.0, 0.0, 0.0, 0.0])).tolist() == []


@pytest.mark.parametrize("seed", range(6))
def test_detect_reports_the_outlier_apart_and_still_finds_the_shift(seed: int) -> None:
    x = noise(seed)
    x[50] = 50.0
    x[150:] += 3.0
    found = vollan.detect(x, seed=seed)
    assert found.outliers == (50,)
    assert 50 not in found.change_points
    assert any(abs(c - 150) <= 3 for c in found.change_points)
    assert found.n_scanned == 299 and found.n_omitted == 0


def test_outliers_keep_scans_every_value() -> None:
    x = noise(1)
    x[50] = 50.0
    found = vollan.detect(x, outliers="keep")
    assert found.outliers == () and found.n_scanned == 300


def test_outlier_positions_count_missing_values() -> None:
    x = noise(2).tolist()
    x[80] = 60.0
    values = [float("nan")] * 5 + x
    found = vollan.detect(values)
    assert found.outliers == (85,)
    assert found.n_omitted == 5 and found.n_scanned == 299


@pytest.mark.parametrize("seed", range(5))
def test_noise_beside_a_flat_stretch_is_no_outlier(seed: int) -> None:
    # A stuck sensor, then noise: the tied residuals of the flat stretch diluted the scale of
    # the one block of a short series, and 36-46 of the 60 noisy values were dropped as
    # outliers, the change misplaced with them.
    noise = np.random.default_rng(seed).normal(size=60)
    x = np.r_[np.zeros(60), noise]
    assert len(find_outliers(x)) == 0
    found = vollan.detect(x)
    assert len(found.outliers) == 0 and any(abs(c - 60) <= 3 for c in found.change_points)
    # The noise read from the differences, half of them 0, collapsed too: the mean's move of
    # a fraction of the noise read as 8 noise standard deviations.
    assert 0.5 < noise_scale(x, untied=True) < 2.0
    (change,) = [c for c in found.changes if abs(c.index - 60) <= 3]
    assert change.kind != "mean" or abs(change.size) < 1.0
    x[90] += 40.0  # a real spike in the noise is still one
    assert list(find_outliers(x)) == [90]
