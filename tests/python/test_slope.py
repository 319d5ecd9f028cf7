"""Bends of the trend, found apart from the scan's votes by the slope contrast."""

from __future__ import annotations

import numpy as np
import pytest

import vollan
from vollan.pipeline import slope as _slope
from vollan.stats import median as _median
from vollan.stats import slopes as _slopes


def reference_contrast(x: np.ndarray, h: int) -> np.ndarray:
    """The slope after each boundary minus the slope before it, each from numpy's polyfit of
    the h values on that side."""
    t = np.arange(h, dtype=np.float64)
    return np.array(
        [
            np.polyfit(t, x[c : c + h], 1)[0] - np.polyfit(t, x[c - h : c], 1)[0]
            for c in range(h, len(x) - h + 1)
        ]
    )


def reference_clipped(x: np.ndarray, h: int) -> np.ndarray:
    """Residuals from the running median of h | 1 values (the ends repeated) clipped at 3
    robust sds of the residuals, written plainly."""
    w = h | 1
    n = len(x)
    middle = []
    for i in range(n):
        window = [x[min(max(j, 0), n - 1)] for j in range(i - w // 2, i + w // 2 + 1)]
        middle.append(float(np.median(window)))
    r = x - np.array(middle)
    centre = float(np.median(r))
    bound = 3.0 * 1.4826 * float(np.median(np.abs(r - centre)))
    return np.array(middle) + np.clip(r, centre - bound, centre + bound)


def bend(n: int, at: int, slopes: tuple[float, float], seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    line = np.where(t < at, slopes[0] * t, slopes[0] * at + slopes[1] * (t - at))
    return line + rng.normal(size=n)


class TestContrast:
    @pytest.mark.parametrize(("n", "h"), [(60, 8), (101, 10), (200, 13)])
    def test_matches_polyfit_and_plain_clipping(self, n: int, h: int) -> None:
        rng = np.random.default_rng(n)
        x = np.cumsum(rng.standard_t(3, size=n))
        np.testing.assert_allclose(
            _slopes.slope_contrast(x, h), reference_contrast(x, h), rtol=1e-9, atol=1e-12
        )
        np.testing.assert_allclose(_slopes.clipped(x, h), reference_clipped(x, h), rtol=0, atol=0)

    @pytest.mark.parametrize(
        ("n", "width", "step"), [(10, 3, 1), (50, 16, 1), (50, 49, 4), (51, 100, 1), (200, 33, 5)]
    )
    def test_running_median_near_the_ends_takes_the_nearest_window(
        self, n: int, width: int, step: int
    ) -> None:
        x = np.random.default_rng(width).normal(size=n)
        w = width | 1
        if w < n:
            starts = [min(max(i - w // 2, 0), n - w) for i in range(n)]
            plain = np.array([sorted(x[s : s + w])[w // 2] for s in starts])
        else:
            plain = np.full(n, np.median(x))
        got = _median.running_median(x, width, step)
        taken = sorted({*range(0, n, step), n - 1})
        np.testing.assert_array_equal(got[taken], plain[taken])
        # Between the values it is taken at, it is interpolated linearly.
        np.testing.assert_allclose(got, np.interp(np.arange(n), taken, plain[taken]), rtol=1e-15)

    def test_a_line_and_a_cycle_of_a_dividing_period_do_not_move_it(self) -> None:
        t = np.arange(240, dtype=np.float64)
        line = 3.0 - 0.25 * t
        np.testing.assert_allclose(_slopes.slope_contrast(line, 12), 0.0, atol=1e-12)
        cycle = np.sin(2 * np.pi * t / 12) + 0.1 * t
        np.testing.assert_allclose(_slopes.slope_contrast(cycle, 24), 0.0, atol=1e-12)
        # Nothing varies, so nothing stands out.
        assert not _slopes.slope_scores(line, 12).any()

    def test_one_extreme_value_is_clipped(self) -> None:
        x = np.random.default_rng(3).normal(size=300)
        x[150] = 40.0
        assert _slopes.slope_scores(x, 10).max() < _slope.critical_slope(300, 10)

    def test_critical_value_falls_then_rises_with_length(self) -> None:
        # Few boundaries leave the median and MAD noisy; many give the maximum more chances.
        values = [_slope.critical_slope(n, 10) for n in (59, 219, 1019, 30019)]
        assert values[0] > values[1]
        assert values[1] < values[2] < values[3]
        assert _slope.shortest_judged(10) == 59


class TestDetect:
    @pytest.mark.parametrize("seed", range(5))
    def test_a_bend_is_found_where_it_is(self, seed: int) -> None:
        x = bend(300, 170, (0.5, -0.5), seed)
        found = vollan.detect(x)
        assert len(found.change_points) == 1
        (c,) = found.change_points
        assert abs(c - 170) <= 5
        (leader,) = [x for x in found.leaders if x.reported]
        assert (leader.kind, leader.stage) == ("trend", "slope")
        assert leader.contrast is not None and leader.p_value <= found.alpha
        (change,) = found.changes
        assert change.interval[0] <= c <= change.interval[1]

    @pytest.mark.parametrize("seed", range(5))
    def test_a_straight_drift_reports_nothing(self, seed: int) -> None:
        x = bend(400, 200, (0.05, 0.05), seed)
        assert vollan.detect(x).change_points == ()

    def test_random_walks_rarely_report(self) -> None:
        rng = np.random.default_rng(11)
        reports = sum(
            bool(vollan.detect(np.cumsum(rng.normal(size=300))).change_points) for _ in range(20)
        )
        assert reports <= 2

    @pytest.mark.parametrize("seed", range(3))
    def test_a_level_shift_is_not_reported_again_as_bends(self, seed: int) -> None:
        rng = np.random.default_rng(seed)
        x = rng.normal(size=400)
        x[200:] += 5.0
        found = vollan.detect(x)
        assert len(found.change_points) == 1
        assert abs(found.change_points[0] - 200) <= 2

    def test_only_distribution_judges_slopes(self) -> None:
        x = bend(300, 170, (0.5, -0.5), 0)
        for change_type in ("mean", "var"):
            leaders = vollan.detect(x, change_type=change_type).leaders
            assert all(x.stage != "slope" and x.kind != "trend" for x in leaders)


@pytest.mark.parametrize(("h", "floor", "most"), [(10, False, 10), (20, True, 4), (40, True, 4)])
def test_a_noisier_stretch_is_not_taken_for_bends(h: int, floor: bool, most: int) -> None:
    # A change of spread left inside the stretch: slopes vary more after it, which the local
    # MAD allows for at the least width (over the stretch's MAD alone these series give 39
    # bends; near the change the local window still mixes both spreads, so a few remain). At
    # the wider widths a local MAD over 32 widths is nearly the whole stretch: without the
    # standard error from the local noise they give 22 and 21 bends.
    bends = 0
    for seed in range(20):
        rng = np.random.default_rng(seed)
        x = np.concatenate([rng.normal(size=300), 4.0 * rng.normal(size=300)])
        bends += len(_slope.slope_changes(x, [(0, 600)], h, 0.01, noise_floor=floor))
    assert bends <= most


def test_the_local_noise_gives_the_contrasts_standard_error() -> None:
    # Under white noise the contrast's spread is its standard error from the local noise.
    x = np.random.default_rng(8).normal(size=20000)
    for h in (10, 40):
        y = _slopes.clipped(x, h)
        ratio = np.median(_slopes.noise_error(y, h)) / np.std(_slopes.slope_contrast(y, h))
        assert 0.95 < ratio < 1.15


def test_a_bend_after_a_flat_stretch_is_one_trend_change() -> None:
    # 0.2 sd a step from the knot at 499 (500 is the first value off the flat line, as
    # placements count). A slope over the least width (10 values) sees 1.3 standard errors of it,
    # the doubled widths 3.6 and 10.
    for seed in range(4):
        rng = np.random.default_rng([2900, seed])
        x = 0.2 * np.maximum(np.arange(1000) - 499, 0) + rng.normal(size=1000)
        trends = [c for c in vollan.detect(x).changes if c.kind == "trend"]
        assert len(trends) == 1 and abs(trends[0].index - 500) <= 3
        assert trends[0].interval[0] <= 500 <= trends[0].interval[1]
    assert _slope.slope_widths(10, 2) == [10, 20, 40]
    assert _slope.slope_widths(24, 2) == [24, 48]


def _slope_changes_in_full(x: np.ndarray, stretches: list, h: int, level: float) -> list:
    # Every stretch scored in full, local spreads and all.
    found = []
    todo = list(stretches)
    while todo:
        a, b = todo.pop()
        if b - a < _slope.shortest_judged(h):
            continue
        z = _slopes.slope_scores(x[a:b], h)
        k = int(np.argmax(z))

        def passes(score: float, n: int = b - a) -> bool:
            return _slope.slope_p_value(float(score), n, h) <= level

        if not passes(z[k]):
            continue
        lo, hi = k, k + 1
        while lo > 0 and passes(z[lo - 1]):
            lo -= 1
        while hi < len(z) and passes(z[hi]):
            hi += 1
        c = a + h + k
        p = _slope.slope_p_value(float(z[k]), b - a, h)
        found.append((c, float(z[k]), p, (a + h + lo, a + h + hi)))
        todo += [(a, c), (c, b)]
    return sorted(found, key=lambda one: one[2])


@pytest.mark.parametrize("seed", range(6))
def test_stretches_that_pass_nothing_skip_their_local_spreads(seed: int) -> None:
    # The shortcut (no local spreads where no deviation passes over the stretch's spread
    # alone) reports exactly what scoring every stretch in full does.
    rng = np.random.default_rng(seed)
    n = 1500
    t = np.arange(n, dtype=float)
    x = [
        rng.normal(size=n),
        np.where(t < 700, 0.0, (t - 700) * 0.05 * (seed + 1)) + rng.normal(size=n),
        np.round(rng.normal(size=n)),
        np.r_[np.zeros(500), rng.normal(size=1000)],
    ][seed % 4]
    for h in (10, 25):
        stretches = [(0, n), (0, n // 3), (n // 3, n)]
        for level in (0.01, 0.05 / 7):
            got = _slope.slope_changes(x, stretches, h, level)
            assert got == _slope_changes_in_full(x, stretches, h, level)
