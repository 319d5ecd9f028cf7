"""The steps of ``vollan.detect`` one at a time: the values scanned, the leaders judged, the
changes found apart from the vote."""

from __future__ import annotations

import numpy as np

import vollan
from vollan.pipeline import vote as _judge
from vollan.pipeline import passes as _passes
from vollan.pipeline.context import scanned_values


def _scan(x: np.ndarray, sizes: list[int]) -> dict:
    return vollan.scan_detector(x, window_sizes=sizes, n_perm=300, alpha_q=0.05)


def test_values_scanned_leave_out_missing_values_and_outliers_and_keep_their_positions() -> None:
    rng = np.random.default_rng(3)
    values = 1e9 + rng.normal(size=400)
    values[5] = np.nan
    values[100] = 1e9 + 60.0
    scanned = scanned_values(
        values, nan_policy="omit", outliers="omit", window_sizes=None, two_threads=False
    )
    assert scanned.n_missing == 1
    assert scanned.outliers == [100]
    assert len(scanned.x) == 398
    kept = [i for i in range(400) if i not in (5, 100)]
    assert [scanned.kept.position(i) for i in range(398)] == kept
    # The values scanned are the caller's in the units that fit their spread.
    expected = (values[kept] - scanned.offset) * scanned.scale
    assert scanned.offset != 0.0
    assert np.array_equal(scanned.x, expected)


def test_window_sizes_hold_whole_periods_unless_the_caller_gave_them() -> None:
    rng = np.random.default_rng(4)
    t = np.arange(1200)
    x = 4.0 * np.sin(2 * np.pi * t / 24) + rng.normal(size=1200)
    found = scanned_values(
        x, nan_policy="omit", outliers="omit", window_sizes=None, two_threads=False
    )
    assert found.period == 24
    assert found.period_of_windows == 24
    assert all(w % 24 == 0 for w in found.sizes)
    given = scanned_values(
        x, nan_policy="omit", outliers="omit", window_sizes=[10, 25], two_threads=False
    )
    assert given.period is None and given.period_of_windows is None
    assert given.sizes == [10, 25]


def _judged(
    x: np.ndarray,
    sizes: list[int],
    change_type: str = "distribution",
    min_contrast: float | str | None = "auto",
) -> _judge.Judged:
    return _judge.judge_leaders(
        x,
        _scan(x, sizes),
        sizes,
        change_type=change_type,
        min_score=0.5,
        min_contrast=min_contrast,
        two_threads=False,
    )


def test_leaders_judged_report_a_step_and_not_noise() -> None:
    rng = np.random.default_rng(5)
    step = np.r_[rng.normal(size=300), 3.0 + rng.normal(size=300)]
    sizes = [10, 20, 40, 80]
    judged = _judged(step, sizes)
    assert any(abs(c - 300) <= 3 for c in judged.chosen)
    assert judged.chosen <= set(judged.indices)
    assert len(judged.evidence()) == len(judged.indices)
    # With the contrast check off, every candidate with enough votes may be reported.
    unchecked = _judged(step, sizes, min_contrast=None)
    assert judged.chosen <= unchecked.chosen
    assert unchecked.kinds_judged == ()
    # Noise has leaders with enough votes too; their contrasts refuse them.
    noise = np.random.default_rng(0).normal(size=600)
    judged_noise = _judged(noise, sizes)
    candidates = {i for i in judged_noise.indices if judged_noise.scores[i] >= 0.5}
    assert candidates and not judged_noise.chosen
    assert candidates <= _judged(noise, sizes, min_contrast=None).chosen


def test_a_short_series_is_judged_by_its_split_and_says_so() -> None:
    x = np.r_[np.zeros(12), np.full(12, 5.0)] + np.random.default_rng(6).normal(size=24)
    judged = _judged(x, [4, 6], change_type="mean")
    assert judged.note is not None and "at most one change of mean" in judged.note
    assert len(judged.chosen) <= 1
    assert all(v[1] in ("shift", None) for v in judged.verdicts)


def test_changes_apart_from_vote_run_only_the_passes_asked_for() -> None:
    rng = np.random.default_rng(7)
    x = rng.normal(size=2000)
    x[1000:] += 0.6  # a small shift over long stretches: the level pass sees it
    sizes = [10, 20, 40]
    assert _passes.changes_apart_from_vote(x, set(), (), sizes, two_threads=False) == []
    found = _passes.changes_apart_from_vote(x, set(), ("level",), sizes, two_threads=False)
    assert [e.contrast_kind for e in found] == ["level"]
    assert found[0].index is not None and abs(found[0].index - 1000) <= 40
    # A change already reported there leaves nothing for the pass to add.
    assert _passes.changes_apart_from_vote(x, {1000}, ("level",), sizes, two_threads=False) == []


def test_a_change_is_described_within_the_largest_window_not_over_its_whole_contrast() -> None:
    # A jump of 2 sd in a long series that also drifts by 1e-4 sd a value: its contrast is
    # thousands of values wide, over which the drift alone adds 0.4-0.7 sd to the means' gap;
    # within the largest window (1,000 values) it adds 0.1.
    for seed in (0, 1):
        rng = np.random.default_rng(seed)
        n = 60_000
        x = rng.normal(size=n) + 1e-4 * np.arange(n)
        x[n // 2 :] += 2.0
        found = vollan.detect(x)
        (leader,) = (one for one in found.leaders if one.reported)
        assert abs(leader.index - n // 2) <= 5
        assert leader.width > 3 * found.window_sizes[-1]
        assert abs(leader.shift - 2.1) < 0.15
        assert abs(leader.spread_ratio - 1.0) < 0.1
