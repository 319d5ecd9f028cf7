"""The test of one change of mean in series too short for contrasts."""

from __future__ import annotations

import numpy as np
import pytest

from vollan.pipeline.short import critical_shift, shift_score, split_statistics


def reference_t(x: np.ndarray, k: int) -> float:
    """Two-sample t statistic with the pooled standard deviation, written plainly."""
    before, after = x[:k], x[k:]
    within = ((before - before.mean()) ** 2).sum() + ((after - after.mean()) ** 2).sum()
    sd = np.sqrt(within / (len(x) - 2))
    return abs(after.mean() - before.mean()) / (sd * np.sqrt(1 / len(before) + 1 / len(after)))


@pytest.mark.parametrize("n", [4, 5, 9, 23, 46])
@pytest.mark.parametrize("offset", [0.0, 1e6])
def test_split_statistics_match_the_two_sample_t_test(n: int, offset: float) -> None:
    x = np.random.default_rng(n).normal(size=n) + offset
    t = split_statistics(x)
    assert len(t) == n + 1
    assert t[:2].tolist() == [0.0, 0.0] and t[n - 1 :].tolist() == [0.0, 0.0]
    expected = [reference_t(x, k) for k in range(2, n - 1)]
    np.testing.assert_allclose(t[2 : n - 1], expected, rtol=1e-7)
    scipy_stats = pytest.importorskip("scipy.stats")
    k = n // 2
    assert t[k] == pytest.approx(abs(scipy_stats.ttest_ind(x[k:], x[:k]).statistic), rel=1e-7)


def test_split_statistics_of_tiny_and_constant_series() -> None:
    assert split_statistics(np.array([1.0, 2.0, 3.0])).tolist() == [0.0] * 4
    # Constant parts: the floor of the standard deviation keeps the statistic finite.
    t = split_statistics(np.array([0.0] * 5 + [1.0] * 5))
    assert np.isfinite(t).all() and int(np.argmax(t)) == 5


def test_shift_score_takes_the_best_split_within_reach() -> None:
    t = np.array([0.0, 1.0, 5.0, 2.0, 0.0, 9.0, 0.0])
    assert shift_score(t, 3, 1) == 5.0
    assert shift_score(t, 3, 2) == 9.0
    assert shift_score(t, 0, 1) == 1.0 and shift_score(t, 6, 1) == 9.0


def test_critical_value_falls_towards_its_asymptote() -> None:
    values = [critical_shift(n) for n in (8, 20, 46, 1000)]
    assert values == sorted(values, reverse=True)
    assert 5.62 < values[-1] < values[0] < 6.4


def test_values_near_the_float_limit_give_no_evidence_and_no_warning() -> None:
    t = split_statistics(np.array([1e308, -1e308] * 10))
    assert np.isfinite(t).all()
