"""Shifts of level found over whole stretches, apart from the scan's votes."""

from __future__ import annotations

import math

import numpy as np
import pytest

import vollan
from vollan.pipeline import level as _level
from vollan.pipeline import levels
from vollan.pipeline import stage as _stage
from vollan.pipeline.context import prepared
from vollan.stats.cusum import two_levels_fit_better
from vollan.stats.robust import clipped


def _reference_statistic(u: np.ndarray) -> tuple[int, float]:
    """The split of the largest centred cumulative sum (margins excluded) and that sum over
    sqrt(n) Bartlett long-run sds of the residuals about the means of the parts cut at the
    sum's largest and smallest values (two parts when they lie within a margin of each other),
    in plain loops."""
    n = len(u)
    mean = sum(u) / n
    margin = max(4, n // 50)
    best, split, running = -1.0, 0, 0.0
    top, top_at, bottom, bottom_at = -math.inf, 0, math.inf, 0
    for s in range(1, n):
        running += u[s - 1] - mean
        if margin <= s <= n - margin:
            if abs(running) > best:
                best, split = abs(running), s
            if running > top:
                top, top_at = running, s
            if running < bottom:
                bottom, bottom_at = running, s
    other = bottom_at if split == top_at else top_at
    cuts = sorted({0, split, n} | ({other} if abs(other - split) >= margin else set()))
    r = np.concatenate([u[a:b] - u[a:b].mean() for a, b in zip(cuts[:-1], cuts[1:], strict=True)])
    r = r - r.mean()
    lags = max(8, min(64, n // 8))
    total = gamma0 = sum(v * v for v in r) / n
    for k in range(1, lags + 1):
        total += 2 * (1 - k / (lags + 1)) * sum(r[i] * r[i + k] for i in range(n - k)) / n
    total *= n / max(n - 2 * lags, 1)
    sd = math.sqrt(max(total, 1e-3 * gamma0))
    return split, best / (sd * math.sqrt(n))


@pytest.mark.parametrize("n", [64, 200, 777])
def test_the_statistic_against_plain_loops(n: int) -> None:
    rng = np.random.default_rng(n)
    u = rng.normal(size=n)
    u[n // 3 :] += 0.8
    split, statistic = _level.level_statistic(u)
    want_split, want = _reference_statistic(u)
    assert split == want_split
    assert statistic == pytest.approx(want, rel=1e-9)
    # A constant stretch has no spread to measure a shift against.
    assert _level.level_statistic(np.full(100, 3.0))[1] == 0.0


def test_the_likely_splits_narrow_as_the_shift_grows() -> None:
    rng = np.random.default_rng(4)
    noise = rng.normal(size=400)
    widths = []
    for shift in (0.6, 1.0, 2.0, 4.0):
        u = noise + np.where(np.arange(400) >= 250, shift, 0.0)
        split, statistic = _level.level_statistic(u)
        lo, hi = _level.likely_splits(u, split, statistic)
        assert lo <= split < hi and lo <= 250 < hi
        widths.append(hi - lo)
    assert widths == sorted(widths, reverse=True) and widths[-1] <= 3 < widths[0]


def test_wandering_stretches_are_told_from_noise() -> None:
    rng = np.random.default_rng(1)
    walks = sum(_level.wanders(np.cumsum(rng.normal(size=600))) for _ in range(20))
    noise = sum(_level.wanders(rng.normal(size=600)) for _ in range(20))
    # A few shifts leave the differences' robust spreads where they were.
    shifted = rng.normal(size=600) + np.repeat([0.0, 3.0, -1.0, 2.0], 150)
    # A walk's own robust spreads vary: now and then one looks no wilder than noise.
    assert walks >= 18 and noise == 0 and not _level.wanders(shifted)
    assert _level.wanders(np.sin(np.arange(600) / 10.0))


@pytest.mark.parametrize("n, shift", [(200, 1.0), (400, 1.0), (2000, 0.5)])
def test_a_small_shift_between_long_stretches_is_found(n: int, shift: float) -> None:
    # Windows of at most a quarter of the series see such a shift within their noise; the
    # whole stretches on either side do not.
    hits = held = 0
    for seed in range(10):
        x = np.random.default_rng(seed).normal(size=n)
        x[n // 2 :] += shift
        found = vollan.detect(x)
        hits += any(abs(c - n // 2) <= 10 for c in found.change_points)
        assert len(found.change_points) <= 2
        # Where the change may lie: its interval, which holds the reported index.
        for change in found.changes:
            assert change.interval[0] <= change.index <= change.interval[1]
            held += change.interval[0] <= n // 2 <= change.interval[1]
    assert hits >= 8 and held >= 8


def _levels(x: np.ndarray, change_type: str = "distribution") -> dict[str, float]:
    """Each applying stage's share of alpha for ``x`` under the defaults."""
    config = vollan.DEFAULT_CONFIG.replace(change_type=change_type)
    ctx = prepared(
        x,
        nan_policy="omit",
        outliers="omit",
        window_sizes=None,
        change_type=change_type,
        two_threads=False,
        params=config.prepare,
    )
    return levels(ctx, config)


def test_the_pass_adds_the_change_the_other_rules_miss() -> None:
    x = np.random.default_rng(0).normal(size=200)
    x[100:] += 1.0
    found = vollan.detect(x)
    (leader,) = [x for x in found.leaders if x.reported]
    assert (leader.index, leader.kind, leader.stage) == (100, "mean", "level")
    # Its p-value is the level statistic's over the whole series, adjusted for the stage's
    # share of alpha.
    raw = _level.level_p_value(leader.contrast, 200)
    share = _levels(x)["level"] / found.alpha
    assert leader.p_value == pytest.approx(min(1.0, raw / share), rel=1e-12)
    assert leader.p_value <= found.alpha
    (change,) = found.changes
    assert 0.7 < change.size < 1.5 and change.interval[0] <= 100 <= change.interval[1]
    assert found.change_points == vollan.detect(x, change_type="mean").change_points
    without = vollan.DEFAULT_CONFIG.without("level")
    for change_type in ("distribution", "mean"):
        assert vollan.detect(x, change_type=change_type, config=without).change_points == ()
    assert vollan.detect(x, change_type="var").change_points == ()


@pytest.mark.parametrize(
    "make",
    [
        lambda rng: np.linspace(0.0, 8.0, 800) + rng.normal(size=800),
        lambda rng: np.linspace(0.0, 3.0, 160) + rng.normal(size=160),
        lambda rng: np.cumsum(rng.normal(size=800)),
        lambda rng: 5.0 * np.sin(2 * np.pi * np.arange(900) / 50) + rng.normal(size=900),
    ],
    ids=["drift", "short drift", "random walk", "seasonal"],
)
def test_change_free_series_report_no_shift_of_level(make: object) -> None:
    reports = 0
    for seed in range(10, 20):
        x = make(np.random.default_rng(seed))  # type: ignore[operator]
        reports += any(x.stage == "level" for x in vollan.detect(x).leaders if x.reported)
    assert reports <= 1


def test_repeated_values_keep_the_level_but_not_shape_or_slope() -> None:
    rng = np.random.default_rng(2)
    counts = rng.poisson(0.5, size=600).astype(float)
    kinds, note = _stage.kinds_to_judge("mean", counts)
    assert kinds == ("location", "level") and note is None
    kinds, note = _stage.kinds_to_judge("distribution", counts)
    assert kinds == ("location", "scale", "level", "spread")
    assert note is not None and "changes of shape and of slope are not judged" in note
    flags = rng.integers(0, 2, size=600).astype(float)
    kinds, note = _stage.kinds_to_judge("mean", flags)
    assert kinds == ("location", "level") and note is None  # all that "mean" judges anyway
    kinds, _ = _stage.kinds_to_judge("distribution", flags)
    assert kinds == ("location", "level")


def test_counts_whose_rate_falls_are_found_over_whole_stretches() -> None:
    # Poisson counts at rates 3, 1.5 and 0.6: a third of the values are 0, so shape and slope
    # are not judged, and the level over whole stretches finds what the windows leave out
    # (6 and 8 of 20 within 10 values without it).
    near = [0, 0]
    for seed in range(20):
        rng = np.random.default_rng(seed)
        found = vollan.detect(rng.poisson(np.repeat([3.0, 1.5, 0.6], 300)).astype(float))
        for k, change in enumerate((300, 600)):
            near[k] += any(abs(c - change) <= 10 for c in found.change_points)
    assert min(near) >= 11


@pytest.mark.parametrize("rate", [0.5, 1.0, 2.0])
def test_change_free_counts_report_no_shift_of_level(rate: float) -> None:
    reports = 0
    for seed in range(20):
        x = np.random.default_rng([seed, 7]).poisson(rate, 600).astype(float)
        reports += any(e.reported and e.stage == "level" for e in vollan.detect(x).leaders)
    assert reports <= 1


def test_a_stretch_of_a_handful_of_events_is_not_judged() -> None:
    # Three events in 200 values: their positions alone make the sum, which passed the critical
    # value in 3 % of such series; ten events are enough.
    rare = np.zeros(200)
    rare[[20, 90, 150]] = 1.0
    assert not _level.judged(rare)
    rare[::20] = 1.0
    assert _level.judged(rare)
    assert not _level.judged(np.ones(200))
    assert _level.judged(np.random.default_rng(0).poisson(1.0, 200).astype(float))


def _level_changes_judged_first(x: np.ndarray, stretches: list, level: float) -> list:
    # Whether a stretch wanders asked before its statistic, as the rule reads.
    found = []
    for start, end in stretches:
        if end - start < _level.LEAST_LEVEL_VALUES:
            continue
        u = clipped(np.ascontiguousarray(x[start:end]), _level.MEDIAN_VALUES)
        todo = [(0, end - start)]
        while todo:
            a, b = todo.pop()
            if not _level.judged(u[a:b]):
                continue
            split, statistic = _level.level_statistic(u[a:b])
            p = _level.level_p_value(statistic, b - a)
            if not p <= level or not two_levels_fit_better(u[a:b], split):
                continue
            lo, hi = _level.likely_splits(u[a:b], split, statistic)
            found.append((start + a + split, statistic, p, (start + a + lo, start + a + hi)))
            todo += [(a, a + split), (a + split, b)]
    return sorted(found, key=lambda one: one[2])


@pytest.mark.parametrize("seed", range(4))
def test_asking_last_whether_a_stretch_wanders_changes_nothing(seed: int) -> None:
    rng = np.random.default_rng(seed)
    n = 2000
    x = [
        np.repeat([0.0, 0.8, 0.2, 1.0], n // 4) + rng.normal(size=n),
        np.cumsum(rng.normal(size=n)),
        np.repeat([0.0, 1.0], n // 2) + np.cumsum(rng.normal(size=n)) * 0.3,
        rng.poisson(np.repeat([2.0, 1.0], n // 2)).astype(float),
    ][seed]
    stretches = [(0, n), (0, n // 3), (n // 3, n)]
    expected = _level_changes_judged_first(x, stretches, 0.01)
    assert _level.level_changes(x, stretches, 0.01) == expected
    assert seed in (1, 2) or expected  # the shifted series report something


# Found within 10 values at 4 and 3 of 20 seeds now, 9 and 6 before the stages shared alpha
# (the level stage's level fell from 0.01 to 0.005); see this branch's report.
@pytest.mark.xfail(strict=True, reason="bumps of 0.8 sd found at both ends in 4/3 of 20 seeds")
def test_a_bump_of_level_is_found_at_both_ends() -> None:
    # The level up by 0.8 sd for 150 of 600 values: with the noise about two parts, the bump
    # counted as noise and its ends were found in 4 and 2 of 20 seeds.
    near = [0, 0]
    t = np.arange(600)
    for seed in range(20):
        rng = np.random.default_rng(seed)
        x = rng.normal(size=600) + np.where((t >= 200) & (t < 350), 0.8, 0.0)
        found = vollan.detect(x).change_points
        for k, change in enumerate((200, 350)):
            near[k] += any(abs(c - change) <= 10 for c in found)
    assert min(near) >= 5
