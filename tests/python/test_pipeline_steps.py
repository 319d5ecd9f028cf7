"""The steps of ``vollan.detect`` one at a time: the values scanned, the leaders judged, the
changes found apart from the vote."""

from __future__ import annotations

import dataclasses

import numpy as np

import vollan
from vollan.pipeline import levels, run
from vollan.pipeline.context import PrepareParams, SeriesContext, prepared
from vollan.pipeline.level import LEVEL, LevelParams
from vollan.pipeline.scan import scan
from vollan.pipeline.stage import Candidate
from vollan.pipeline.vote import VOTE, VoteParams


def _prepared(
    values: np.ndarray,
    sizes: list[int] | None = None,
    change_type: str = "distribution",
    outliers: str = "omit",
) -> SeriesContext:
    return prepared(
        values,
        nan_policy="omit",
        outliers=outliers,
        window_sizes=sizes,
        change_type=change_type,
        two_threads=False,
        params=PrepareParams(),
    )


def _scanned(x: np.ndarray, sizes: list[int], change_type: str = "distribution") -> SeriesContext:
    ctx = _prepared(x, sizes, change_type, outliers="keep")
    options = {"window_sizes": ctx.sizes, "n_perm": 300, "alpha_q": 0.05, "seed": 123, "tol": 2}
    return dataclasses.replace(ctx, scan=scan(ctx.x, options | {"change_type": change_type}))


def test_values_scanned_leave_out_missing_values_and_outliers_and_keep_their_positions() -> None:
    rng = np.random.default_rng(3)
    values = 1e9 + rng.normal(size=400)
    values[5] = np.nan
    values[100] = 1e9 + 60.0
    scanned = _prepared(values)
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
    found = _prepared(x)
    assert found.period == 24
    assert found.period_of_windows == 24
    assert all(w % 24 == 0 for w in found.sizes)
    given = _prepared(x, [10, 25])
    assert given.period is None and given.period_of_windows is None
    assert given.sizes == [10, 25]


def _voted(ctx: SeriesContext, level: float = 0.05, **params: object) -> list[Candidate]:
    return VOTE.propose(ctx, dataclasses.replace(VoteParams(), **params), level, [])


def _passing(candidates: list[Candidate], level: float = 0.05) -> set[int]:
    return {
        c.index for c in candidates if (c.passed if c.passed is not None else c.p_value <= level)
    }


def test_the_vote_reports_a_step_and_not_noise() -> None:
    rng = np.random.default_rng(5)
    step = _scanned(np.r_[rng.normal(size=300), 3.0 + rng.normal(size=300)], [10, 20, 40, 80])
    assert step.scan is not None
    voted = _voted(step)
    # One candidate per leader of the scan, each with its votes and the region it was seen in.
    assert [c.index for c in voted] == step.scan.leaders.tolist()
    assert all(c.region[0] <= c.index < c.region[1] for c in voted)
    assert any(abs(c - 300) <= 3 for c in _passing(voted))
    # With the contrast check off, every candidate with enough votes may be reported.
    unchecked = _voted(step, min_contrast=None)
    assert _passing(voted) <= _passing(unchecked)
    assert all(c.statistic != c.statistic for c in unchecked)  # no contrast taken: NaN
    # Noise has leaders with enough votes too; their contrasts refuse them.
    noise = _scanned(np.random.default_rng(0).normal(size=600), [10, 20, 40, 80])
    judged_noise = _voted(noise)
    candidates = {c.index for c in judged_noise if c.evidence["score"] >= 0.5}
    assert candidates and not _passing(judged_noise)
    assert candidates <= _passing(_voted(noise, min_contrast=None))


def test_a_short_series_is_judged_by_its_best_split() -> None:
    x = np.r_[np.zeros(12), np.full(12, 5.0)] + np.random.default_rng(6).normal(size=24)
    ctx = _scanned(x, [4, 6], change_type="mean")
    voted = _voted(ctx)
    assert len(_passing(voted)) <= 1
    assert all(c.evidence.get("contrast") in ("shift", None) for c in voted)
    # Only the strongest candidate gets a p-value below 1.
    assert sum(c.p_value < 1.0 for c in voted) <= 1


def test_the_level_stage_proposes_between_the_changes_found_so_far() -> None:
    rng = np.random.default_rng(7)
    x = rng.normal(size=2000)
    x[1000:] += 0.6  # a small shift over long stretches: the level stage sees it
    ctx = _scanned(x, [10, 20, 40])
    found = LEVEL.propose(ctx, LevelParams(), 0.01, [])
    assert [(c.stage, c.kind) for c in found] == [("level", "mean")]
    (c,) = found
    assert abs(c.index - 1000) <= 40 and c.p_value <= 0.01
    assert c.region[0] <= c.index < c.region[1]
    # A change already accepted there leaves nothing for the stage to add.
    assert LEVEL.propose(ctx, LevelParams(), 0.01, [1000]) == []


def test_run_accepts_what_each_stage_passes_at_its_share_of_alpha() -> None:
    rng = np.random.default_rng(7)
    x = rng.normal(size=2000)
    x[1000:] += 0.6
    ctx = _scanned(x, [10, 20, 40])
    config = vollan.DEFAULT_CONFIG
    outcome = run(ctx, config)
    assert outcome.levels == levels(ctx, config)
    assert sum(outcome.levels.values()) == config.alpha
    assert all(c in outcome.proposed for c in outcome.accepted)
    assert [c.stage for c in outcome.accepted] == ["level"]
    for c in outcome.accepted:
        assert c.p_value <= outcome.levels[c.stage]
    # A stage switched off shares no alpha and proposes nothing.
    off = run(ctx, config.without("level"))
    assert "level" not in off.levels and off.accepted == []
    assert not any(c.stage == "level" for c in off.proposed)


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
        (change,) = found.changes
        assert change.kind == "mean" and abs(change.size - 2.1) < 0.15
