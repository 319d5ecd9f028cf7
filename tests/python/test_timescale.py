"""The series' own time scale: its dominant period, and window sizes that follow it."""

from __future__ import annotations

import numpy as np
import pytest

import vollan
from vollan.pipeline.windows import MAX_WINDOW_RATIO, default_window_sizes
from vollan.stats.period import dominant_period


def seasonal(period: int, n: int, amplitude: float, seed: int) -> np.ndarray:
    t = np.arange(n)
    rng = np.random.default_rng(seed)
    return amplitude * np.sin(2 * np.pi * t / period) + rng.normal(size=n)


@pytest.mark.parametrize(("period", "amplitude"), [(7, 2.0), (12, 1.0), (24, 3.0), (50, 5.0)])
@pytest.mark.parametrize("seed", range(3))
def test_period_of_a_seasonal_series(period: int, amplitude: float, seed: int) -> None:
    assert dominant_period(seasonal(period, 1200, amplitude, seed)) == period


@pytest.mark.parametrize("seed", range(3))
def test_a_level_shift_does_not_hide_the_period(seed: int) -> None:
    x = seasonal(50, 800, 5.0, seed)
    x[400:] += 4.0
    assert dominant_period(x) == 50


def wave(n: int, period: int, form: str) -> np.ndarray:
    phase = (np.arange(n) / period) % 1.0
    if form == "square":
        return np.where(phase < 0.5, 1.0, -1.0)
    return 2.0 * phase - 1.0 if form == "sawtooth" else 1.0 - 4.0 * np.abs(phase - 0.5)


@pytest.mark.parametrize("forms", [("square", "square"), ("sawtooth", "triangle")])
@pytest.mark.parametrize("seed", range(3))
def test_the_period_of_regimes_whose_strongest_peak_is_a_harmonic(
    forms: tuple[str, str], seed: int
) -> None:
    # Two regimes, of periods 40 and 52: the periodogram's strongest peak (against its running
    # median) is a harmonic, at which the series is not alike a period apart; the fundamental,
    # a peak of its own, is.
    rng = np.random.default_rng(seed)
    x = np.concatenate([2.0 * wave(900, 40, forms[0]), 1.5 * wave(900, 52, forms[1])])
    assert dominant_period(x + 0.3 * rng.normal(size=1800)) == 40


@pytest.mark.parametrize(
    "make",
    [
        lambda r: r.normal(size=800),
        lambda r: np.cumsum(r.normal(size=800)),
        lambda r: r.normal(size=800) + 3.0 * (np.arange(800) >= 300),
        lambda r: r.normal(size=800) * np.where(np.arange(800) >= 400, 4.0, 1.0),
    ],
    ids=["noise", "random walk", "level shift", "spread change"],
)
def test_series_without_a_cycle_have_no_period(make: object) -> None:
    found = [dominant_period(make(np.random.default_rng(s))) for s in range(20)]  # type: ignore[operator]
    assert found.count(None) >= 19


def test_short_series_have_no_period() -> None:
    assert dominant_period(np.sin(np.arange(11.0))) is None


@pytest.mark.parametrize(
    ("n", "period", "expected"),
    [
        (800, 50, [50, 100, 150, 200]),
        (500, 12, [12, 24, 36, 48, 60, 84, 96, 120]),
        (100, 50, default_window_sizes(100)),  # longer than a quarter of the series: ignored
        (20, None, [4, 5]),
        (8, None, [4]),
    ],
)
def test_window_sizes_follow_the_period(n: int, period: int | None, expected: list[int]) -> None:
    assert default_window_sizes(n, period) == expected


@pytest.mark.parametrize("n", [10**4, 10**6])
def test_largest_window_is_a_hundred_smallest(n: int) -> None:
    sizes = default_window_sizes(n)
    assert sizes[0] == 10 and sizes[-1] == 10 * MAX_WINDOW_RATIO and len(sizes) == 12


@pytest.mark.parametrize("seed", range(4))
def test_detect_scans_whole_periods_and_finds_the_shift(seed: int) -> None:
    x = seasonal(50, 800, 5.0, seed)
    x[400:] += 4.0
    found = vollan.detect(x, seed=seed)
    assert found.period == 50
    assert all(w % 50 == 0 for w in found.window_sizes)
    assert [c for c in found.change_points if abs(c - 400) <= 5]


def test_a_users_window_sizes_win() -> None:
    found = vollan.detect(seasonal(50, 800, 5.0, 0), window_sizes=[20, 30])
    assert found.window_sizes == (20, 30) and found.period is None
