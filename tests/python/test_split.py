"""Placement of one change by the likelihood of its kind: the profiles against plain
references, worked examples, units, coverage of the interval, and argument errors."""

from __future__ import annotations

import math

import numpy as np
import pytest

from vollan.stats import split
from vollan.stats.split import place_change

KINDS = ("mean", "variance", "shape", "trend")


def reference_profile(y: list[float], k: int, kind: str, u: list[float]) -> float:
    """2 l(k) written out for one split, with no prefix sums."""
    n = len(y)
    left, right = y[:k], y[k:]

    def ss(side: list[float]) -> float:
        m = sum(side) / len(side)
        return sum((v - m) ** 2 for v in side)

    if kind == "mean":
        return -n * math.log((ss(left) + ss(right)) / n)
    if kind == "variance":
        return -k * math.log(ss(left) / k) - (n - k) * math.log(ss(right) / (n - k))
    if kind == "shape":

        def h(p: float) -> float:
            return sum(q * math.log(q) for q in (p, 1.0 - p) if q > 0.0)

        total = 0.0
        for point in u:
            for side in (left, right):
                below = sum(1.0 if v < point else 0.5 if v == point else 0.0 for v in side)
                total += len(side) * h(below / len(side))
        return 2.0 * total
    t = np.arange(n, dtype=np.float64)
    design = np.column_stack([np.ones(n), t, np.maximum(t - (k - 1), 0.0)])
    fitted = design @ np.linalg.lstsq(design, np.array(y), rcond=None)[0]
    return -n * math.log(float(np.sum((np.array(y) - fitted) ** 2)) / n)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(4))
def test_profile_matches_plain_reference(kind: str, seed: int) -> None:
    rng = np.random.default_rng([seed, len(kind)])
    n = int(rng.integers(12, 31))
    y = rng.normal(size=n) * rng.choice([1.0, 3.0], size=n)
    if seed == 3:
        y = np.round(y)  # ties: the shape's points split them
    ks = np.arange(split.MIN_SIDE[kind], n - split.MIN_SIDE[kind] + 1)
    u = split.shape_points(y)
    got = split.shape_profile(y, ks, u) if kind == "shape" else split.profile(y, ks, kind)
    want = [reference_profile(y.tolist(), int(k), kind, u.tolist()) for k in ks]
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-9)


def test_shape_profile_counts_both_sides_and_distances_from_the_median() -> None:
    # The shape's events: each value below a point, and each value's distance from the
    # median below a point of the distances.
    rng = np.random.default_rng(5)
    y = split.standardise(rng.normal(size=40) * np.r_[np.ones(20), np.full(20, 2.0)])
    ks = np.arange(5, 36)
    want = [
        sum(
            reference_profile(v.tolist(), int(k), "shape", split.shape_points(v).tolist())
            for v in (y, np.abs(y))
        )
        for k in ks
    ]
    np.testing.assert_allclose(split.profile(y, ks, "shape"), want, rtol=1e-9, atol=1e-9)


def test_two_peaks_at_equal_mean_and_spread_are_placed_closely() -> None:
    # Mass moves from the middle to the flanks: the distances from the median see it whole.
    rng = np.random.default_rng(2027)
    errors = []
    for _ in range(60):
        n = int(rng.integers(300, 1001))
        c = int(rng.integers(n // 5, n - n // 5 + 1))
        x = rng.normal(size=n)
        x[c:] = rng.choice([-0.95, 0.95], size=n - c) + 0.3125 * rng.normal(size=n - c)
        errors.append(abs(place_change(x, 0, n, 1, n - 1, "shape").index - c))
    assert np.median(errors) <= 2
    assert np.percentile(errors, 90) <= 10


@pytest.mark.parametrize(("first", "last", "block"), [(5, 20, 4), (9, 9, 1), (3, 26, 7)])
def test_shape_profile_of_a_region_in_blocks(first: int, last: int, block: int) -> None:
    y = np.round(np.random.default_rng(6).normal(size=30), 1)
    u = split.shape_points(y)
    ks = np.arange(first, last + 1)
    want = [reference_profile(y.tolist(), int(k), "shape", u.tolist()) for k in ks]
    np.testing.assert_allclose(split.shape_profile(y, ks, u, block), want, rtol=1e-9)


def test_wasserstein_of_equal_sizes_is_the_mean_gap_of_sorted_values() -> None:
    rng = np.random.default_rng(3)
    a, b = rng.normal(size=25), rng.uniform(-1, 2, size=25)
    assert split.wasserstein(a, b) == pytest.approx(np.mean(np.abs(np.sort(a) - np.sort(b))))


@pytest.mark.parametrize("kind", KINDS)
def test_clean_change_is_found_exactly(kind: str) -> None:
    t = np.arange(50.0)
    x = {
        "mean": np.where(t < 30, 0.0, 5.0),
        "variance": np.where(t < 30, 1.0, 3.0) * (-1.0) ** t,
        "shape": np.where(t < 30, 0.0, 5.0),
        "trend": 2.0 * np.maximum(t - 29.0, 0.0),
    }[kind]
    p = place_change(x, 0, 50, 1, 49, kind)
    assert (p.index, p.low, p.high, p.level) == (30, 30, 30, 0.9)


def test_sizes_in_each_kind_unit() -> None:
    z = np.random.default_rng(5).normal(size=40)
    spread = place_change(np.concatenate([z, 3.0 * z]), 0, 80, 1, 79, "variance")
    assert spread.index == 40 and spread.size == pytest.approx(3.0)
    shifted = np.concatenate([z, z + 4.0])
    d = np.diff(shifted)
    noise = 1.4826 * np.median(np.abs(d - np.median(d))) / math.sqrt(2.0)
    mean = place_change(shifted, 0, 80, 1, 79, "mean")
    assert (mean.index, mean.low, mean.high) == (40, 40, 40)
    assert mean.size == pytest.approx(4.0 / noise)
    # Two samples that differ by a shift of 4 are 4 apart in the Wasserstein distance.
    assert place_change(shifted, 0, 80, 1, 79, "shape").size == pytest.approx(4.0 / noise)
    t = np.arange(80.0)
    bend = z.repeat(2) + 0.5 * np.maximum(t - 49.0, 0.0)
    assert place_change(bend, 0, 80, 1, 79, "trend").index == 50


def test_only_the_stretch_and_the_region_are_read() -> None:
    z = np.random.default_rng(8).normal(size=200)
    x = z + np.where(np.arange(200) < 120, 0.0, 3.0)
    alone = place_change(x[50:180], 0, 130, 40, 100, "mean")
    x[:50] = 1e9  # outside the stretch
    x[180:] = np.nan
    within = place_change(x, 50, 180, 90, 150, "mean")
    assert (within.index, within.low, within.high) == (
        alone.index + 50,
        alone.low + 50,
        alone.high + 50,
    )
    assert 90 <= within.low <= within.index <= within.high <= 150


@pytest.mark.parametrize("kind", KINDS)
def test_flat_stretch_gives_the_whole_region(kind: str) -> None:
    p = place_change(np.full(40, 3.0), 0, 40, 10, 30, kind)
    assert (p.index, p.low, p.high) == (10, 10, 30)
    assert p.size == (1.0 if kind == "variance" else 0.0)


@pytest.mark.parametrize("kind", KINDS)
def test_intervals_grow_with_the_level(kind: str) -> None:
    rng = np.random.default_rng([4, len(kind)])
    for _ in range(5):
        x, _c = _draw(kind, rng)
        spans = [
            place_change(x, 0, len(x), 1, len(x) - 1, kind, level)
            for level in (0.5, 0.8, 0.9, 0.95, 0.99)
        ]
        assert len({p.index for p in spans}) == 1
        for narrow, wide in zip(spans[:-1], spans[1:], strict=True):
            assert wide.low <= narrow.low <= narrow.high <= wide.high


def test_splits_near_the_ends_are_moved_in() -> None:
    x = np.random.default_rng(2).normal(size=60)
    p = place_change(x, 0, 60, 1, 3, "variance")
    assert p.index == p.low == p.high == split.MIN_SIDE["variance"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(("a", "b"), [(0.01, 3.0), (250.0, -1e4)])
def test_units_do_not_matter(kind: str, a: float, b: float) -> None:
    rng = np.random.default_rng(11)
    n, c = 300, 170
    x = rng.normal(size=n)
    x[c:] = {
        "mean": x[c:] + 1.5,
        "variance": 2.0 * x[c:],
        "shape": rng.uniform(-1.7, 1.7, n - c),
        "trend": x[c:] + 0.05 * np.arange(n - c),
    }[kind]
    p, q = place_change(x, 0, n, 1, n - 1, kind), place_change(a * x + b, 0, n, 1, n - 1, kind)
    assert (q.index, q.low, q.high) == (p.index, p.low, p.high)
    assert q.size == pytest.approx(p.size, rel=1e-6)


def _draw(kind: str, rng: np.random.Generator) -> tuple[np.ndarray, int]:
    n = int(rng.integers(100, 300))
    c = int(rng.integers(n // 5, n - n // 5 + 1))
    x = rng.normal(size=n)
    if kind == "mean":
        x[c:] += 2.0
    elif kind == "variance":
        x[c:] *= 2.5
    elif kind == "shape":
        x[c:] = rng.choice([-0.95, 0.95], size=n - c) + 0.3125 * rng.normal(size=n - c)
    else:
        x += 0.1 * np.maximum(np.arange(n) - (c - 1.0), 0.0)
    return x, c


@pytest.mark.parametrize("kind", KINDS)
def test_interval_covers_the_true_split(kind: str) -> None:
    rng = np.random.default_rng([2026, len(kind)])
    covered = 0
    for _ in range(200):
        x, c = _draw(kind, rng)
        p = place_change(x, 0, len(x), 1, len(x) - 1, kind)
        covered += p.low <= c <= p.high
    assert covered >= 170


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((0, 50, 1, 49, "median"), "kind must be one of mean, variance, shape, trend"),
        ((0, 51, 1, 49, "mean"), "start and stop"),
        ((-1, 50, 1, 49, "mean"), "start and stop"),
        ((10, 10, 1, 49, "mean"), "start and stop"),
        ((0, 50, 0, 49, "mean"), "lo and hi"),
        ((0, 50, 30, 20, "mean"), "lo and hi"),
        ((0, 50, 1, 50, "mean"), "lo and hi"),
        ((0, 50, 1.5, 49, "mean"), "lo must be an integer"),
        ((0, 8, 1, 7, "variance"), "holds 8 values; a variance change needs at least 10"),
    ],
)
def test_bad_arguments_are_named(args: tuple, message: str) -> None:
    x = np.arange(50.0)
    with pytest.raises(ValueError, match=message):
        place_change(x, *args)


@pytest.mark.parametrize("level", [0.0, 1.0, 1.5, float("nan"), "0.9"])
def test_bad_level_is_named(level: object) -> None:
    with pytest.raises(ValueError, match="level must be a number in"):
        place_change(np.arange(50.0), 0, 50, 1, 49, "mean", level)  # type: ignore[arg-type]


def test_values_must_be_finite_in_the_stretch() -> None:
    x = np.arange(50.0)
    x[20] = np.inf
    with pytest.raises(ValueError, match="x must be finite"):
        place_change(x, 0, 50, 1, 49, "mean")
    with pytest.raises(ValueError, match="x must be one-dimensional"):
        place_change(np.zeros((5, 10)), 0, 5, 1, 4, "mean")
