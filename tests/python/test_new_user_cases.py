"""What a new user tries first: a change of spread, plain noise, autocorrelated noise.

Outliers next to a shift are in test_outliers.py, a seasonal series with a shift in
test_timescale.py and missing values in test_missing_values.py. The null cases count reports
over seeded series instead of asserting none: a calibrated rule reports on about 5 % of noise
at most, so a test that asserted zero on every seed would only test the seeds.
"""

from __future__ import annotations

import numpy as np
import pytest

import vollan


def ar1(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    e = rng.normal(size=n)
    x = np.empty(n)
    x[0] = e[0] / np.sqrt(1.0 - phi * phi)
    for t in range(1, n):
        x[t] = phi * x[t - 1] + e[t]
    return x


@pytest.mark.parametrize("seed", range(6))
def test_a_change_of_spread_is_found_with_the_defaults(seed: int) -> None:
    x = np.random.default_rng(seed).normal(size=500)
    x[250:] *= 4.0
    found = vollan.detect(x)
    near = [c for c in found.changes if abs(c.index - 250) <= 10]
    assert near
    (change,) = near
    assert change.kind == "variance" and change.p_value <= found.alpha
    assert 2.5 < change.size < 6.5
    assert change.interval[0] <= change.index <= change.interval[1]


@pytest.mark.parametrize("seed", range(6))
def test_a_mean_shift_is_described_in_noise_units(seed: int) -> None:
    x = np.random.default_rng(seed).normal(size=400)
    x[200:] += 3.0
    found = vollan.detect(x)
    (change,) = found.changes
    assert abs(change.index - 200) <= 3
    assert change.kind == "mean" and 2.0 < change.size < 4.0
    assert change.describe().startswith(f"mean +{change.size:.2g} sd at {change.index} ")


@pytest.mark.parametrize("n", [8, 10, 20, 30, 46])
def test_short_series_report_at_most_one_clear_shift(n: int) -> None:
    for seed in range(5):
        x = np.random.default_rng(100 * n + seed).normal(size=n)
        x[n // 2 :] += 10.0
        found = vollan.detect(x)
        assert len(found.change_points) == 1 and abs(found.change_points[0] - n // 2) <= 1
        noise = vollan.detect(np.random.default_rng(7 * n + seed).normal(size=n))
        assert noise.change_points == ()


@pytest.mark.parametrize("n", [8, 30])
def test_short_series_say_how_they_are_judged(n: int) -> None:
    x = np.random.default_rng(100 * n).normal(size=n)
    x[n // 2 :] += 10.0
    found = vollan.detect(x)
    assert found.note is not None and f"{n} values are too few" in found.note


@pytest.mark.parametrize(("n", "most"), [(50, 1), (100, 1), (300, 1), (2000, 1)])
def test_gaussian_noise_rarely_reports_a_change(n: int, most: int) -> None:
    reports = sum(
        bool(vollan.detect(np.random.default_rng(1000 + s).normal(size=n)).change_points)
        for s in range(20)
    )
    assert reports <= most


@pytest.mark.parametrize("n", [50, 200])
def test_autocorrelated_noise_rarely_reports_a_change(n: int) -> None:
    reports = sum(
        bool(vollan.detect(ar1(np.random.default_rng(2000 + s), n, 0.5)).change_points)
        for s in range(30)
    )
    assert reports <= 2


def test_heavy_tailed_noise_rarely_reports_a_change() -> None:
    reports = sum(
        bool(vollan.detect(np.random.default_rng(3000 + s).standard_t(3, size=300)).change_points)
        for s in range(20)
    )
    assert reports <= 1


def test_long_series_with_many_short_segments() -> None:
    rng = np.random.default_rng(4)
    n, every = 20_000, 500
    jumps = rng.uniform(1.0, 4.0, n // every - 1) * rng.choice([-1.0, 1.0], n // every - 1)
    x = np.repeat(np.r_[0.0, np.cumsum(jumps)], every) + rng.normal(size=n)
    found = vollan.detect(x)
    truth = range(every, n, every)
    hits = sum(any(abs(c - t) <= 5 for c in found.change_points) for t in truth)
    assert hits >= 0.85 * len(truth)
    assert len(found.change_points) <= len(truth) + 2


# Counts, flags and rounded readings repeat their values: windows of a quiet stretch can hold
# exactly the same values, which must not look infinitely different from the rest.
DISCRETE_NOISE = {
    "sparse counts": lambda rng: rng.poisson(0.05, 600),
    "counts": lambda rng: rng.poisson(0.5, 600),
    "flags": lambda rng: rng.random(600) < 0.5,
    "rare flags": lambda rng: rng.random(600) < 0.1,
    "coarse readings": lambda rng: np.round(rng.normal(size=600) / 2.0) * 2.0,
}


@pytest.mark.parametrize("kind", list(DISCRETE_NOISE))
def test_discrete_noise_rarely_reports_a_change(kind: str) -> None:
    draw = DISCRETE_NOISE[kind]
    reports = sum(
        bool(vollan.detect(draw(np.random.default_rng(5000 + s)).astype(float)).change_points)
        for s in range(20)
    )
    assert reports <= 1


def test_the_result_says_which_contrasts_repeated_values_were_not_judged_by() -> None:
    rng = np.random.default_rng(7)
    flags = vollan.detect((rng.random(400) < 0.5).astype(float))
    assert flags.note == (
        "the series takes only two values, whose spread follows from their mean: changes are "
        "judged by location alone"
    )
    counts = vollan.detect(rng.poisson(0.5, 400).astype(float))
    assert counts.note is not None
    assert counts.note.startswith("one value makes up 6")
    assert counts.note.endswith(
        "of the series: changes of shape and of slope are not judged among so many repeated values"
    )
    assert vollan.detect(rng.normal(size=400)).note is None


def test_sparse_counts_that_become_frequent_are_found() -> None:
    found = 0
    for s in range(10):
        rng = np.random.default_rng(6000 + s)
        x = np.r_[rng.poisson(0.1, 300), rng.poisson(2.0, 300)].astype(float)
        points = vollan.detect(x).change_points
        found += len(points) == 1 and abs(points[0] - 300) <= 10
    assert found >= 8
