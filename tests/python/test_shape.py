"""Changes of shape at equal mean and spread, found apart from the scan's votes."""

from __future__ import annotations

import numpy as np
import pytest

import vollan
from vollan.pipeline import shape as _shape
from vollan.stats import cusum as _cusum


def reference_scores(x: np.ndarray, width: int = 32) -> np.ndarray:
    """Each value's term of Geary's ratio, ``|z| - r z^2 / 2``, written plainly: two passes of
    local standardisation over the ``width`` values around each value, clipped at 3 robust
    sds, the second pass on the clipped values."""
    n = len(x)
    v = [float(a) - float(np.median(x)) for a in x]
    z = [0.0] * n
    middle = 0.0
    for _ in range(2):
        moments = []
        for i in range(n):
            lo = min(max(i - width // 2, 0), n - width)
            window = v[lo : lo + width]
            mean = sum(window) / width
            sd = max(sum(w * w for w in window) / width - mean * mean, 0.0) ** 0.5
            moments.append((mean, sd))
            z[i] = (v[i] - mean) / sd if sd > 0 else 0.0
        middle = float(np.median(z))
        bound = 3.0 * 1.4826 * float(np.median([abs(a - middle) for a in z]))
        z = [min(max(a, middle - bound), middle + bound) for a in z]
        v = [m + a * sd for a, (m, sd) in zip(z, moments, strict=True)]
    z = [a - middle for a in z]
    r = (sum(abs(a) for a in z) / n) / (2.0 * sum(a * a for a in z) / n)
    return np.array([abs(a) - r * a * a for a in z])


def reference_statistic(u: np.ndarray) -> tuple[int, float]:
    """The bridge's peak over splits 16 .. n-16 in units of sqrt(n) long-run sds, the sd taken
    with Bartlett weights to lag 64 about the best split, times n / (n - 128)."""
    n = len(u)
    mean = sum(u) / n
    best, peak, total = 0, -1.0, 0.0
    for k in range(1, n):
        total += u[k - 1] - mean
        if 16 <= k <= n - 16 and abs(total) > peak:
            best, peak = k, abs(total)
    r = np.concatenate([u[:best] - u[:best].mean(), u[best:] - u[best:].mean()])
    r = r - r.mean()
    lags = 64
    var = sum(r * r) / n
    for k in range(1, lags + 1):
        var += 2 * (1 - k / (lags + 1)) * sum(r[k:] * r[:-k]) / n
    var *= n / (n - 2 * lags)
    return best, peak / (var**0.5 * n**0.5)


def two_peaked(rng: np.random.Generator, m: int) -> np.ndarray:
    # Mean 0 and variance 1, as the normal law it follows.
    return rng.choice([-0.95, 0.95], size=m) + 0.3125 * rng.normal(size=m)


def flat(rng: np.random.Generator, m: int) -> np.ndarray:
    return rng.uniform(-np.sqrt(3.0), np.sqrt(3.0), size=m)


def test_scores_and_statistic_match_a_plain_reference() -> None:
    rng = np.random.default_rng(4)
    x = np.concatenate([rng.standard_t(3, size=150), two_peaked(rng, 150)]) + 0.01 * np.arange(300)
    u = _shape.shape_scores(x)
    np.testing.assert_allclose(u, reference_scores(x), rtol=1e-9, atol=1e-12)
    split, statistic = _cusum.shape_statistic(u)
    expected_split, expected = reference_statistic(u)
    assert split == expected_split
    assert statistic == pytest.approx(expected, rel=1e-9)


def test_scores_are_blind_to_level_and_units() -> None:
    rng = np.random.default_rng(5)
    x = rng.normal(size=400)
    np.testing.assert_allclose(
        _shape.shape_scores(3.0 * x + 10.0), _shape.shape_scores(x), atol=1e-9
    )


def test_place_change_maximises_the_binomial_likelihood_near_the_peak() -> None:
    rng = np.random.default_rng(6)
    x = np.concatenate([rng.normal(size=120), flat(rng, 80)])
    found = _cusum.place_change(x, 110, 20, 16)
    # The likelihood written plainly, at every split from 90 to 130.
    d = np.abs(x - np.median(x))
    n = len(x)
    levels = int(np.ceil(4 * np.log(n)))
    k = np.arange(1, levels + 1)
    probs = 1 / (1 + (2 * n - 1) * np.exp(-np.log(2 * n - 1) / levels * (2 * k - 1)))
    cuts = np.quantile(d, probs)

    def loglik(values: np.ndarray) -> float:
        total = 0.0
        for cut in cuts:
            p = min(max(float(np.mean(values <= cut)), 1e-12), 1 - 1e-12)
            total += len(values) * (p * np.log(p) + (1 - p) * np.log(1 - p))
        return total

    fits = {j: loglik(d[:j]) + loglik(d[j:]) for j in range(90, 131)}
    assert found == max(fits, key=lambda j: fits[j])


@pytest.mark.parametrize(("other", "least"), [(two_peaked, 10), (flat, 7)])
def test_a_change_to_another_shape_is_found_and_placed(other: object, least: int) -> None:
    # Over whole stretches Geary's ratio tells a two-peaked law from a normal one at once and
    # a flat one in most series of 1,000 values; the place is found within a few values for
    # the two-peaked law, within tens for the flat one.
    found = 0
    for seed in range(10):
        rng = np.random.default_rng(600 + seed)
        x = np.concatenate([rng.normal(size=500), other(rng, 500)])  # type: ignore[operator]
        detection = vollan.detect(x)
        kinds = {c.kind for c in detection.changes}
        found += any(abs(c - 500) <= 60 for c in detection.change_points) and "shape" in kinds
        assert len(detection.change_points) <= 1
    assert found >= least


def test_change_free_statistics_rarely_pass_the_critical_value() -> None:
    # At most 2.5 % of change-free series of each kind, with room for chance in 80 series;
    # laws other than the normal one too (their scores move together where local windows
    # overlap, which the long-run spread must see).
    kinds = {
        "normal": lambda r: r.normal(size=500),
        "t(3)": lambda r: r.standard_t(3, size=500),
        "random walk": lambda r: np.cumsum(r.normal(size=500)),
        "drift": lambda r: r.normal(size=500) + 0.02 * np.arange(500),
        "two-peaked": lambda r: two_peaked(r, 500),
        "skewed": lambda r: r.exponential(size=500),
    }
    for name, make in kinds.items():
        passed = sum(
            _cusum.shape_statistic(_shape.shape_scores(make(np.random.default_rng(s))))[1]
            > _shape.critical_shape(500)
            for s in range(80)
        )
        assert passed <= 4, name


def test_the_critical_value_falls_with_the_length() -> None:
    assert _shape.critical_shape(255) == 2.85
    assert _shape.critical_shape(1000) == 1.8
    assert _shape.critical_shape(10**6) == 1.6
    lengths = [255, 300, 350, 700, 1200, 3000, 10**4, 10**5]
    values = [_shape.critical_shape(n) for n in lengths]
    assert values == sorted(values, reverse=True)


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
        assert all(c.kind != "shape" for c in detection.changes)
    assert reports <= 1


def test_mean_and_var_change_types_do_not_judge_shape() -> None:
    rng = np.random.default_rng(8)
    x = np.concatenate([rng.normal(size=300), two_peaked(rng, 300)])
    for change_type in ("mean", "var"):
        reported = vollan.detect(x, change_type=change_type).changes
        assert all(c.kind != "shape" and c.stage != "shape" for c in reported)
