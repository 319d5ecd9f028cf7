"""Changes of a periodic series placed by the order of its values within the cycle."""

from __future__ import annotations

import numpy as np

import vollan
from vollan._families import periodic_regimes
from vollan.stats import period as _place


def _lag_by_loop(block: np.ndarray, least: int, most: int) -> int | None:
    if len(block) < 2 * most:
        return None
    best, lag = np.inf, None
    for k in range(least, most + 1):
        d = block[k:] - block[:-k]
        v = float(np.mean(d * d))
        if v < best:
            best, lag = v, k
    return lag if best <= np.var(block) else None


def _place_by_loop(x: np.ndarray, changes: list[int], period: int) -> dict[int, int]:
    radius, block = period, 4 * period
    least, most = max(2, round(period / 2)), max(2, round(2 * period))
    cuts = [0, *changes, len(x)]
    moved = {}
    for prev, c, nxt in zip(cuts, cuts[1:], cuts[2:], strict=False):
        left = _lag_by_loop(x[max(prev, c - radius - block) : max(prev, c - radius)], least, most)
        right = _lag_by_loop(x[min(nxt, c + radius) : min(nxt, c + radius + block)], least, most)
        if left is None or right is None:
            continue
        lo = max(c - radius, (prev + c) // 2 + 1, prev + left)
        hi = min(c + radius, (c + nxt + 1) // 2 - 1, nxt - right)
        if not lo <= c <= hi:
            continue
        costs = [
            sum((x[t] - x[t - left]) ** 2 for t in range(lo, s))
            + sum((x[t] - x[t + right]) ** 2 for t in range(s, hi))
            for s in range(lo, hi + 1)
        ]
        best = lo + int(np.argmin(costs))
        if best != c:
            moved[c] = best
    return moved


def test_the_lag_with_the_least_squared_difference_matches_a_plain_loop() -> None:
    rng = np.random.default_rng(1)
    for _ in range(200):
        m = int(rng.integers(4, 300))
        period = rng.uniform(3.0, 40.0)
        block = np.sin(2 * np.pi * np.arange(m) / period) + 0.3 * rng.normal(size=m)
        least = int(rng.integers(2, 20))
        most = least + int(rng.integers(0, 60))
        assert _place.best_lag(block, least, most) == _lag_by_loop(block, least, most)
    # A block too short for the least lag has none.
    assert _place.best_lag(np.ones(19), 4, 10) is None
    block = np.sin(np.arange(20.0)) + 0.1 * rng.normal(size=20)
    assert _place.best_lag(block, 4, 10) == _lag_by_loop(block, 4, 10) is not None
    # No lag predicts white noise better than its mean: its side follows no cycle.
    assert all(_place.best_lag(rng.normal(size=400), 10, 40) is None for _ in range(20))


def test_a_wave_is_followed_at_a_whole_number_of_its_periods() -> None:
    t = np.arange(400)
    # Lags 25 and 50 fit a period of 25 alike (to rounding).
    assert _place.best_lag(np.sin(2 * np.pi * t / 25), 12, 50) in (25, 50)
    # 12.5 values are not a whole lag: two periods are.
    assert _place.best_lag(np.sin(2 * np.pi * t / 12.5), 6, 25) == 25


def test_places_match_a_plain_loop_on_noisy_regime_changes() -> None:
    for seed in range(12):
        rng = np.random.default_rng(seed)
        x, truth = periodic_regimes(rng)
        period = int(rng.integers(8, 40))
        # Reported a little off, and one change beside another so that the midpoints bind.
        changes = sorted({max(1, c + int(rng.integers(-15, 16))) for c in truth})
        assert _place.place_periodic(x, changes, period) == _place_by_loop(x, changes, period)


def test_a_change_of_wave_form_reported_off_by_a_third_of_a_period_moves_to_it() -> None:
    t = np.arange(1200)
    x = np.where(t < 537, np.sin(2 * np.pi * t / 30), 2.0 * np.sign(np.sin(2 * np.pi * t / 30)))
    for off in (-11, -4, 3, 10):
        assert _place.place_periodic(x, [537 + off], 30) == {537 + off: 537}
    # Where it already lies it stays, and nothing is reported as moved.
    assert _place.place_periodic(x, [537], 30) == {}


def test_changes_keep_their_order_and_the_stretch_ends() -> None:
    rng = np.random.default_rng(3)
    x = np.sin(2 * np.pi * np.arange(600) / 20) + rng.normal(size=600)
    for changes in ([30, 45, 60], [5, 300, 590], [100, 101, 102]):
        moved = _place.place_periodic(x, changes, 20)
        placed = [moved.get(c, c) for c in changes]
        assert placed == sorted(set(placed))
        assert 0 < placed[0] and placed[-1] < len(x)
        cuts = [0, *changes, len(x)]
        for prev, c, nxt, p in zip(cuts, cuts[1:], cuts[2:], placed, strict=False):
            assert (prev + c) // 2 < p < (c + nxt + 1) // 2 or p == c


def _placing(on: bool) -> vollan.DetectConfig:
    return vollan.DEFAULT_CONFIG.replace("place", periodic=on)


def test_detect_places_changes_of_periodic_regimes_to_the_value() -> None:
    # A sine whose amplitude and period change: the windows are whole periods, and without the
    # placement the change is reported where a window boundary put it.
    hits = {True: 0, False: 0}
    kept_votes = 0
    for seed in range(6):
        rng = np.random.default_rng(100 + seed)
        t = np.arange(1500)
        c = int(rng.integers(600, 900))
        x = np.where(t < c, np.sin(2 * np.pi * t / 24), 2.5 * np.sin(2 * np.pi * t / 31))
        x = x + 0.3 * rng.normal(size=len(t))
        nearest = {}
        for on in (True, False):
            found = vollan.detect(x, config=_placing(on))
            # The stronger regime's period, near 31 (the scan's windows are multiples of it).
            assert found.period is not None
            leader = min((x for x in found.leaders if x.reported), key=lambda x: abs(x.index - c))
            hits[on] += abs(leader.index - c) <= 2
            change = found.changes[found.change_points.index(leader.index)]
            assert change.interval[0] <= change.index <= change.interval[1]
            nearest[on] = leader
        # A moved leader keeps what the scan said of it.
        if nearest[False].votes and nearest[True].index != nearest[False].index:
            kept_votes += 1
            for key in ("votes", "score", "vote_share", "p_value", "kind", "contrast"):
                assert getattr(nearest[True], key) == getattr(nearest[False], key)
    assert hits[True] == 6
    assert hits[False] < 6
    assert kept_votes > 0


def test_series_without_a_period_are_not_moved() -> None:
    rng = np.random.default_rng(5)
    x = np.concatenate([rng.normal(size=400), 3 + rng.normal(size=400)])
    found = vollan.detect(x)
    assert found.period is None
    assert vollan.detect(x, config=_placing(False)).to_dict() == found.to_dict()


def test_values_left_out_are_filled_in_on_the_time_axis_before_placing() -> None:
    rng = np.random.default_rng(11)
    t = np.arange(1500)
    c = 640
    x = np.where(t < c, np.sin(2 * np.pi * t / 24), 2.5 * np.sin(2 * np.pi * t / 31))
    x = x + 0.3 * rng.normal(size=len(t))
    gone = [50, 51, 300, 550, 1200]
    positions = np.delete(np.arange(len(t)), gone)
    scanned = x[positions]
    late = int(np.searchsorted(positions, c + 4))  # reported four values late
    exact = int(np.searchsorted(positions, c))
    # Without gaps the time axis is the scanned one.
    assert _place.place_periodic_in_time(x, None, [c + 4], 30) == _place.place_periodic(
        x, [c + 4], 30
    )
    (new,) = _place.place_periodic_in_time(scanned, positions, [late], 30).values()
    assert positions[new] == c
    assert _place.place_periodic_in_time(scanned, positions, [exact], 30) == {}
    # Placed on the scanned values as if they were equally spaced, the values left out at 550
    # put the left side's cycle out of step, and the change moves off its place.
    assert positions[_place.place_periodic(scanned, [exact], 30)[exact]] != c


def test_a_moved_change_is_reported_at_its_place_in_the_series_with_missing_values() -> None:
    hits = {True: 0, False: 0}
    for seed in range(11, 20):
        rng = np.random.default_rng(seed)
        t = np.arange(1500)
        c = int(rng.integers(600, 900))
        x = np.where(t < c, np.sin(2 * np.pi * t / 24), 2.5 * np.sin(2 * np.pi * t / 31))
        x = x + 0.3 * rng.normal(size=len(t))
        gaps = x.copy()
        gaps[[50, 51, 300, 550, 1200]] = np.nan
        labels = [f"t{i}" for i in range(len(t))]
        for on in (True, False):
            holed = vollan.detect(gaps, labels=labels, config=_placing(on))
            assert holed.n_omitted == 5
            assert holed.labels == tuple(labels[p] for p in holed.change_points)
            if on:
                # Where it lies in the series does not depend on the values left out.
                assert holed.change_points == vollan.detect(x, config=_placing(on)).change_points
            hits[on] += any(p == c for p in holed.change_points)
    assert hits[True] > hits[False]
