"""The test of one change of mean in series too short for contrasts."""

from __future__ import annotations

import numpy as np
import pytest
from test_model import _ar1

from vollan.pipeline.short import (
    critical_shift,
    dependence_factor,
    fits_a_step,
    shift_p_value,
    shift_score,
    shift_statistics,
    split_statistics,
)
from vollan.stats.cusum import _hinge_sse, _line_sse, two_levels_fit_better


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


def reference_correlation(x: np.ndarray, k: int) -> float:
    """Lag-1 correlation of the residuals about the means of x[:k] and x[k:], over the pairs
    within a part, written plainly."""
    parts = [x[:k] - x[:k].mean(), x[k:] - x[k:].mean()]
    cross = sum(float(np.dot(p[1:], p[:-1])) for p in parts)
    return cross / sum(float(np.dot(p, p)) for p in parts)


@pytest.mark.parametrize("n", [4, 9, 30])
def test_shift_statistics_divide_by_the_residuals_dependence_at_the_best_split(n: int) -> None:
    rng = np.random.default_rng(n + 1)
    rows = np.cumsum(rng.normal(size=(3, n)), axis=1) + 1e3
    scaled = shift_statistics(rows)
    for x, row in zip(rows, scaled, strict=True):
        t = split_statistics(x)
        k = int(np.argmax(t))
        factor = dependence_factor(reference_correlation(x, k), n)
        np.testing.assert_allclose(row, t / factor, rtol=1e-7)
        # One series alone gives the same as its row.
        np.testing.assert_allclose(shift_statistics(x), row, rtol=1e-12)


def test_dependence_factor_is_the_bias_corrected_long_run_variance_factor() -> None:
    # r + (1 + 3r)/n, held in [0, 0.98], then ((1 + phi) / (1 - phi)) ** 1.5.
    assert dependence_factor(-0.5, 30) == 1.0
    assert dependence_factor(0.0, 10) == pytest.approx((1.1 / 0.9) ** 1.5)
    assert dependence_factor(0.5, 25) == pytest.approx((1.6 / 0.4) ** 1.5)
    assert dependence_factor(1.0, 8) == pytest.approx((1.98 / 0.02) ** 1.5)
    assert dependence_factor(float("nan"), 8) == 1.0


def test_critical_value_inverts_the_p_value_and_is_highest_where_a_walk_looks_like_a_step() -> None:
    for n in (8, 11, 30, 46, 100):
        for level in (0.001, 0.01, 0.05, 0.1):
            assert shift_p_value(critical_shift(n, level), n) == pytest.approx(level, rel=1e-9)
        values = [critical_shift(n, level) for level in (0.1, 0.05, 0.01)]
        assert values == sorted(values)
    assert critical_shift(8) > 5.5 > 3.5 > critical_shift(30) > critical_shift(46)
    assert shift_p_value(0.0, 30) == 1.0 and shift_p_value(float("inf"), 30) == 0.0
    assert shift_p_value(float("nan"), 30) == 1.0


def test_a_step_must_fit_better_than_a_drift_by_a_margin_that_shrinks_with_n() -> None:
    rng = np.random.default_rng(4)
    for n in (8, 30, 200):
        x = rng.normal(size=n)
        k = n // 2
        levels = float(((x[:k] - x[:k].mean()) ** 2).sum() + ((x[k:] - x[k:].mean()) ** 2).sum())
        bound = min(_line_sse(x), _hinge_sse(x, k))
        # The margin moves the bar by exactly the factor 1 + 1.5 / sqrt(n).
        for m in (0.0, 0.5 * (bound / levels - 1.0), 2.0 * (bound / levels - 1.0)):
            assert two_levels_fit_better(x, k, m) == (levels * (1.0 + m) < bound)
        assert fits_a_step(x, k) == (levels * (1.0 + 1.5 / np.sqrt(n)) < bound)
    # A drift of 0.1 sd a step over 30 values: two levels beat the line in some series, but
    # rarely by the margin; a 5-sd step passes every time.
    t = np.arange(30.0)
    drifts = [0.1 * t + rng.normal(size=30) for _ in range(200)]
    plain = np.mean([two_levels_fit_better(x, int(np.argmax(split_statistics(x)))) for x in drifts])
    margin = np.mean([fits_a_step(x, int(np.argmax(split_statistics(x)))) for x in drifts])
    assert margin < 0.06 < 0.2 < plain, (margin, plain)
    assert all(fits_a_step(rng.normal(size=30) + 5.0 * (t >= 15), 15) for _ in range(50))


NULLS = {
    "N(0,1)": lambda rng, n: rng.normal(size=n),
    "t(3)": lambda rng, n: rng.standard_t(3, size=n),
    "AR(1) 0.5": lambda rng, n: _ar1(rng, n, 0.5),
    "AR(1) 0.7": lambda rng, n: _ar1(rng, n, 0.7),
    "random walk": lambda rng, n: np.cumsum(rng.normal(size=n)),
}


def _short_p_value(x: np.ndarray) -> float:
    """The p-value the vote gives a short series' best split (1 where a line fits better)."""
    t = shift_statistics(x)
    k = int(np.argmax(t))
    return shift_p_value(float(t[k]), len(x)) if fits_a_step(x, k) else 1.0


@pytest.mark.parametrize("noise", sorted(NULLS))
def test_p_values_hold_on_change_free_series_of_the_stated_null(noise: str) -> None:
    # 300 series at each of two lengths: the share below q stays within 2.5 binomial sds of q.
    for n in (12, 30):
        rng = np.random.default_rng([n, 29])
        p = np.array([_short_p_value(NULLS[noise](rng, n)) for _ in range(300)])
        for q in (0.01, 0.05, 0.1):
            assert np.mean(p < q) <= q + 2.5 * np.sqrt(q * (1 - q) / len(p)), (n, q)


@pytest.mark.parametrize(("n", "least"), [(20, 0.55), (30, 0.75), (46, 0.85)])
def test_a_planted_three_sd_shift_is_found(n: int, least: float) -> None:
    # Simulated on 2,000 series: 0.67, 0.85 (28 and 33 values) and 0.94 at the 5 % level.
    rng = np.random.default_rng([n, 3])
    p = []
    for _ in range(200):
        x = rng.normal(size=n)
        x[n // 2 :] += 3.0
        p.append(_short_p_value(x))
    assert np.mean(np.array(p) <= 0.05) >= least


def test_values_near_the_float_limit_give_no_evidence_and_no_warning() -> None:
    t = split_statistics(np.array([1e308, -1e308] * 10))
    assert np.isfinite(t).all()
