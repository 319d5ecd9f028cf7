"""The local contrasts, their critical values, the widths they are taken at, and the scores
that count only the window sizes fitting around a leader."""

from __future__ import annotations

import math
import random
import statistics

import numpy as np
import pytest

from vollan.pipeline import contrast as _contrast
from vollan.pipeline.contrast import contrasts_at, contrasts_of, critical_contrast, shortest_judged
from vollan.pipeline.leaders import contrast_scores, leader_widths
from vollan.pipeline.scan import fitting_scores
from vollan.pipeline.stage import JUDGED_BY, kinds_to_judge
from vollan.stats.robust import resolution, robust_spread


def wasserstein_equal_sizes(a: list[float], b: list[float]) -> float:
    return sum(abs(x - y) for x, y in zip(sorted(a), sorted(b), strict=True)) / len(a)


def spread_about_line(v: list[float]) -> float:
    h = len(v)
    t = [i - (h - 1) / 2 for i in range(h)]
    mean = statistics.fmean(v)
    slope = sum(ti * (vi - mean) for ti, vi in zip(t, v, strict=True)) / sum(ti * ti for ti in t)
    return math.sqrt(
        sum((vi - mean - slope * ti) ** 2 for ti, vi in zip(t, v, strict=True)) / (h - 2)
    )


@pytest.mark.parametrize("h", [3, 8, 17])
def test_contrasts_match_a_plain_reference(h: int) -> None:
    rng = random.Random(h)
    x = [rng.gauss(0, 1 if t < 40 else 3) + 0.05 * t for t in range(90)]
    bounds = np.arange(h, 90 - h + 1)
    location = contrasts_at(np.array(x), h, bounds, "location")
    scale = contrasts_at(np.array(x), h, bounds, "scale")
    for c, loc, sc in zip(bounds, location, scale, strict=True):
        before, after = x[c - h : c], x[c : c + h]
        # The distance in units of the two sides' pooled spread about their lines.
        sb, sa = spread_about_line(before), spread_about_line(after)
        pooled = math.sqrt((sa * sa + sb * sb) / 2)
        expected = math.log(wasserstein_equal_sizes(before, after) / pooled)
        assert loc == pytest.approx(expected, rel=1e-9, abs=1e-12)
        ratio = sa / sb
        assert sc == pytest.approx(math.sqrt(abs(math.log(ratio))), rel=1e-9, abs=1e-12)


@pytest.mark.parametrize("h", [10, 57, 300])
def test_contrasts_do_not_depend_on_how_many_rows_a_chunk_holds(
    h: int, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Bit for bit: the chunk's size bounds the memory, and must not reach the results.
    x = np.random.default_rng(h).normal(size=20_000) * np.linspace(1.0, 3.0, 20_000)
    bounds = np.arange(h, len(x) - h + 1, 3)
    whole = contrasts_of(x, h, bounds, ("location", "scale"))
    for rows in (1, 7, 1000):
        monkeypatch.setattr(_contrast, "_CHUNK_VALUES", rows * h)
        chunked = contrasts_of(x, h, bounds, ("location", "scale"))
        for kind in whole:
            assert np.array_equal(chunked[kind], whole[kind])


def test_a_straight_line_has_no_spread_and_no_change_of_it() -> None:
    x = np.arange(60.0) * 0.7 + 3.0
    scale = contrasts_at(x, 10, np.arange(10, 51), "scale")
    assert np.all(scale == 0.0)


@pytest.mark.parametrize("kind", ["location", "scale"])
def test_critical_values_grow_with_the_series(kind: str) -> None:
    values = [critical_contrast(kind, n, 10) for n in (100, 1000, 10_000, 100_000)]
    assert values == sorted(values)
    assert 2.5 < values[0] < values[-1] < 6.0
    assert critical_contrast(kind, 1000, 10, 0.9) < critical_contrast(kind, 1000, 10, 0.975)


def test_shortest_judged_series() -> None:
    assert [shortest_judged(h) for h in (8, 10, 40)] == [47, 59, 239]


def test_a_step_stands_out_and_noise_does_not() -> None:
    rng = np.random.default_rng(3)
    x = rng.normal(size=400)
    x[200:] += 3.0
    (step,) = contrast_scores(x, [20], [200], ["location", "scale"], [200])
    (quiet,) = contrast_scores(x, [20], [100], ["location", "scale"], [100])
    assert step["location"] > critical_contrast("location", 400, 20)
    assert quiet["location"] < critical_contrast("location", 400, 20)
    assert step["scale"] < critical_contrast("scale", 400, 20)


def test_a_constant_series_with_one_step_stands_out_infinitely() -> None:
    x = np.r_[np.zeros(100), np.ones(100)]
    (row,) = contrast_scores(x, [10], [100], ["location"], [100])
    assert row["location"] == math.inf


def test_resolution_is_the_least_gap_between_distinct_values() -> None:
    assert resolution(np.array([3.0, 1.0, 3.0, 1.5, np.nan, 7.0])) == 0.5
    assert resolution(np.array([2.0, 2.0, np.inf])) == 0.0
    assert resolution(np.array([0.0, 1e-300, 1e-300, 1.0])) == 1e-300
    # Continuous values repeat none: their least gap says nothing of their noise.
    assert resolution(np.array([0.0, 1e-300, 1.0])) == 0.0
    assert resolution(np.random.default_rng(0).normal(size=1000)) == 0.0


def test_robust_spread_sees_past_ties() -> None:
    normal = np.random.default_rng(0).normal(size=20001)
    assert robust_spread(normal, 0.0) == pytest.approx(1.0, rel=0.05)
    # More than half the values at the centre: the MAD is 0, the mean absolute deviation not.
    tied = np.array([0.0] * 6 + [2.0, -2.0, 4.0])
    assert robust_spread(tied, 0.0) == pytest.approx(math.sqrt(math.pi / 2) * 8.0 / 9.0)
    assert robust_spread(np.zeros(5), 0.0) == 0.0


def test_equal_windows_of_discrete_values_count_as_half_the_least_difference() -> None:
    # Ten zeros, then ten values holding one 1: the least distance and spread values 1 apart
    # can show are 1/h and about 1/sqrt(h); windows without either count as half of that.
    x = np.r_[np.zeros(30), np.zeros(9), 1.0, np.zeros(10)]
    h = 10
    least_spread = 1.0 / (2 * math.sqrt(h))
    location = contrasts_at(x, h, np.array([20, 30]), "location")
    assert location[0] == pytest.approx(math.log((1.0 / (2 * h)) / least_spread), rel=1e-12)
    after = spread_about_line(list(x[30:40]))
    pooled = math.sqrt((least_spread**2 + after**2) / 2)
    assert location[1] == pytest.approx(math.log((1.0 / h) / pooled), rel=1e-12)
    scale = contrasts_at(x, h, np.array([20, 30]), "scale")
    assert scale[0] == 0.0
    assert 0.0 < scale[1] < 1.0


def test_continuous_values_keep_their_floors() -> None:
    # Distinct values: no window is without spread or distance, and the floors never bind.
    x = np.random.default_rng(2).normal(size=200)
    bounds = np.arange(10, 191)
    for kind in ("location", "scale"):
        np.testing.assert_array_equal(
            contrasts_at(x, 10, bounds, kind), contrasts_at(x, 10, bounds, kind, 0.0)
        )


@pytest.mark.parametrize(
    ("x", "change_type", "expected"),
    [
        (
            np.random.default_rng(1).normal(size=100),
            "distribution",
            ("location", "scale", "level", "shape", "slope", "spread"),
        ),
        (
            np.r_[np.zeros(30), np.arange(70.0)],
            "distribution",
            ("location", "scale", "level", "spread"),
        ),
        (np.r_[np.zeros(50), np.ones(50), [0.0]], "distribution", ("location", "level")),
        (np.r_[np.zeros(50), np.ones(50)], "var", ("location",)),
        (np.r_[np.zeros(30), np.arange(70.0)], "var", ("scale", "spread")),
        (np.r_[np.zeros(50), np.ones(50)], "mean", ("location", "level")),
        (np.r_[np.zeros(30), np.arange(70.0)], "mean", ("location", "level")),
        (np.random.default_rng(1).normal(size=100), "mean", ("location", "level")),
    ],
)
def test_kinds_judged_on_tied_values(x: np.ndarray, change_type: str, expected: tuple) -> None:
    kinds, note = kinds_to_judge(change_type, x)
    assert kinds == expected
    # A note says which contrasts the values ruled out.
    assert (note is None) == (expected == JUDGED_BY[change_type])


@pytest.mark.parametrize(
    ("leaders", "votes", "expected"),
    [
        # Alone in 1000 values: one candidate caps widths at 1000 / (4 * 2) = 125; the grid
        # 10, 14, 20, 28, 40, 57, 80, 113 (half octaves from the least width 10).
        ([500], {500: 5}, [113]),
        # Near the start: no more than the 60 values before it.
        ([60], {60: 5}, [57]),
        # Two strong candidates 100 apart: half the gap each.
        ([400, 500], {400: 5, 500: 5}, [40, 40]),
        # A weaker candidate 30 away does not narrow the stronger one (capped at
        # 1000 / (4 * 3) = 83); it is narrowed to half the gap itself.
        ([500, 530], {500: 8, 530: 3}, [80, 14]),
        # The same change placed twice (closer than the smallest window) narrows neither.
        ([500, 505], {500: 5, 505: 5}, [80, 80]),
        # A leader that is no candidate is narrowed by every candidate: half of 200.
        ([300], {500: 5}, [80]),
    ],
)
def test_leader_widths(leaders: list[int], votes: dict[int, int], expected: list[int]) -> None:
    assert leader_widths(1000, 10, leaders, votes) == expected


def test_leaders_within_one_region_are_one_change() -> None:
    # A change of spread placed at 500 and 514 by different window sizes: within the stretch
    # the scan's regions share, neither halves the other's contrast; in regions apart, both do.
    votes = {500: 5, 514: 5}
    assert leader_widths(1000, 10, [500, 514], votes, True, [(495, 520)] * 2) == [80, 80]
    assert leader_widths(1000, 10, [500, 514], votes, True, [(495, 510), (510, 520)]) == [10, 10]
    assert leader_widths(1000, 10, [500, 514], votes) == [10, 10]


def test_fitting_scores_count_only_sizes_that_fit() -> None:
    sizes = [10, 20, 40, 80, 160, 320]
    votes = {100: 3, 300: 4, 900: 2, 905: 1, 2000: 1}
    scores = fitting_scores(votes, sizes)
    # 100 and 300 are 200 apart: sizes up to 100 fit (10, 20, 40, 80), at least 4 counted.
    assert scores[100] == 3 / 4 and scores[300] == 1.0
    # 900's nearest seen neighbour is 300 (905 is closer than the smallest window): 5 fit.
    assert scores[900] == 2 / 5
    # A leader seen once, far from the rest: all six sizes fit.
    assert scores[2000] == 1 / 6


@pytest.mark.parametrize(("h", "searched"), [(100, 101), (3000, 66)])
def test_the_search_around_a_leader_is_bounded_for_wide_contrasts(monkeypatch, h, searched):
    # A long series with one change gets contrasts of thousands of values a side; taking every
    # boundary within h/2 of the leader made the call grow with h² (minutes at 10^6 values).
    from vollan.pipeline import leaders as _leaders

    sizes: list[int] = []
    plain = _leaders.contrasts_of

    def counted(x, width, bounds, kinds, gap=None):
        sizes.append(len(bounds))
        return plain(x, width, bounds, kinds, gap)

    monkeypatch.setattr(_leaders, "contrasts_of", counted)
    rng = np.random.default_rng(5)
    x = rng.normal(size=8 * h)
    x[4 * h :] += 1.0
    (row,) = contrast_scores(x, [h], [4 * h], ["location"], [4 * h])
    assert sizes[-1] <= 2 * _leaders.NEAR_STEPS + 1 and sizes[-1] == searched
    assert row["location"] > critical_contrast("location", len(x), h)


def test_a_constant_series_says_so() -> None:
    for change_type in ("distribution", "mean", "var"):
        kinds, note = kinds_to_judge(change_type, np.full(100, 3.0))
        assert kinds == ("location",) or kinds == ("location", "level")
        assert note == "the series takes a single value: it has no change"


def _widths_one_by_one(
    n: int, smallest: int, leaders: list[int], votes: dict[int, int]
) -> list[int]:
    # Each leader's nearest rival found by a pass over every candidate.
    from vollan.pipeline.leaders import _clean_boundaries

    least = max(8, smallest)
    most = min((n + 1) // 6, n // (4 * (len(votes) + 1)))
    grid = [least]
    while round(least * 2 ** (len(grid) / 2)) <= most:
        grid.append(round(least * 2 ** (len(grid) / 2)))
    others = sorted(votes)
    candidates = np.array(others, dtype=np.int64)
    grid = [least] + [h for h in grid[1:] if _clean_boundaries(n, h, candidates) >= 4 * h]
    out = []
    for c in leaders:
        room = min(c, n - c, most)
        rivals = [
            abs(o - c) for o in others if abs(o - c) >= smallest and votes[o] >= votes.get(c, 0)
        ]
        if rivals:
            room = min(room, min(rivals) // 2)
        fitting = [h for h in grid if h <= room]
        out.append(fitting[-1] if fitting else least)
    return out


def test_leader_widths_equal_a_pass_over_every_candidate() -> None:
    # Leaders judged and not (no votes), ties of votes, neighbours closer than the smallest
    # window, leaders at the ends.
    rng = np.random.default_rng(12)
    for _ in range(80):
        n = int(rng.integers(200, 20_000))
        smallest = int(rng.integers(4, 40))
        leaders = sorted({int(c) for c in rng.integers(0, n + 1, size=int(rng.integers(0, 9)))})
        leaders += [c + int(rng.integers(1, 8)) for c in leaders[:2]]
        leaders = sorted(set(leaders))
        votes = {c: int(rng.integers(1, 5)) for c in leaders if rng.random() < 0.7}
        expected = _widths_one_by_one(n, smallest, leaders, votes)
        assert leader_widths(n, smallest, leaders, votes) == expected
