"""One stated model: the config, the stages' p-values under their nulls, the one selection rule,
and the docs drawn from the stages' metadata."""

from __future__ import annotations

import dataclasses
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vollan
from vollan.config import DEFAULT
from vollan.pipeline import STAGES, levels
from vollan.pipeline.context import PrepareParams, SeriesContext, prepared
from vollan.pipeline.contrast import contrast_p_value, contrasts_at
from vollan.pipeline.level import LEAST_LEVEL_VALUES, level_p_value, level_statistic
from vollan.pipeline.scan import scan
from vollan.pipeline.select import accepted
from vollan.pipeline.shape import shape_p_value, shape_scores
from vollan.pipeline.short import fits_a_step, shift_p_value, shift_statistics
from vollan.pipeline.slope import slope_p_value
from vollan.pipeline.spread import spread_p_value, spread_scores
from vollan.pipeline.stage import Candidate
from vollan.pipeline.vote import VOTE, VoteParams
from vollan.stats.cusum import shape_statistic
from vollan.stats.median import median
from vollan.stats.robust import clipped, robust_spread
from vollan.stats.slopes import slope_scores
from vollan.stats.tables import kolmogorov_isf, kolmogorov_sf

ROOT = Path(__file__).resolve().parents[2]

# The config ---------------------------------------------------------------------------------


def _context(x: np.ndarray, outliers: str = "omit") -> SeriesContext:
    return prepared(
        x,
        nan_policy="omit",
        outliers=outliers,
        window_sizes=None,
        change_type="distribution",
        two_threads=False,
        params=PrepareParams(),
    )


def test_config_variants_are_new_frozen_objects() -> None:
    variant = DEFAULT.replace("level", bumps=False).without("slope")
    assert variant.level.bumps is False and DEFAULT.level.bumps is True
    assert not variant.runs("slope") and DEFAULT.runs("slope")
    with pytest.raises(dataclasses.FrozenInstanceError):
        variant.alpha = 0.1  # type: ignore[misc]
    with pytest.raises(ValueError, match="stage must be one of .*got 'levels'"):
        DEFAULT.replace("levels", bumps=False)
    with pytest.raises(TypeError, match="stage 'level' has no parameter 'bump'"):
        DEFAULT.replace("level", bump=False)
    with pytest.raises(TypeError, match="config must be a DetectConfig or None, not dict"):
        vollan.detect(np.zeros(50), config={"alpha": 0.1})  # type: ignore[arg-type]


def test_a_stage_switched_off_reports_nothing_and_frees_its_budget() -> None:
    rng = np.random.default_rng(7)
    x = rng.normal(size=2000)
    x[1000:] += 0.5  # a shift too small for the windows: the level stage finds it
    found = vollan.detect(x)
    assert any(c.stage == "level" and abs(c.index - 1000) <= 40 for c in found.changes)
    without = vollan.detect(x, config=DEFAULT.without("level"))
    assert all(c.stage != "level" for c in without.changes)
    ctx = _context(x)
    shares = levels(ctx, DEFAULT)
    assert sum(shares.values()) == pytest.approx(DEFAULT.alpha)
    assert shares["vote"] == pytest.approx(0.025)
    rest = levels(ctx, DEFAULT.without("level"))
    assert "level" not in rest and sum(rest.values()) == pytest.approx(DEFAULT.alpha)


def test_a_short_series_gives_the_whole_budget_to_the_stages_that_apply() -> None:
    ctx = _context(np.random.default_rng(1).normal(size=40))
    assert levels(ctx, DEFAULT) == {"vote": pytest.approx(0.05)}
    longer = dataclasses.replace(
        ctx, kept=dataclasses.replace(ctx.kept, values=np.random.default_rng(2).normal(size=100))
    )
    assert set(levels(longer, DEFAULT)) == {"vote", "slope"}


# The one selection rule ---------------------------------------------------------------------


def _candidate(index: int, p: float, votes: int = 0, passed: bool | None = None) -> Candidate:
    return Candidate("vote", "mean", index, 1.0, p, (index, index + 1), votes, passed=passed)


def test_candidates_pass_at_their_stage_level_and_close_ones_keep_the_better() -> None:
    cands = [
        _candidate(100, 0.01, votes=3),
        _candidate(105, 0.001, votes=5),  # closer than the smallest window to 100: wins on votes
        _candidate(300, 0.03, votes=9),  # above the level
        _candidate(500, 0.9, votes=1, passed=True),  # the caller's own rule decides
        _candidate(700, 0.0, votes=9, passed=False),
    ]
    kept = accepted(cands, level=0.025, smallest=10)
    assert [c.index for c in kept] == [105, 500]


# p-values under each stage's null -----------------------------------------------------------

# The share of change-free series whose p-value falls below q may exceed q by chance only:
# 2.5 binomial standard deviations of N series.
QUANTILES = (0.01, 0.05, 0.1)


def _calibrated(p_values: list[float]) -> None:
    p = np.array(p_values)
    for q in QUANTILES:
        bound = q + 2.5 * math.sqrt(q * (1 - q) / len(p))
        assert np.mean(p < q) <= bound, (q, float(np.mean(p < q)))


def _ar1(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    e = rng.normal(size=n + 100)
    x = np.empty_like(e)
    x[0] = e[0]
    for t in range(1, len(e)):
        x[t] = phi * x[t - 1] + e[t]
    return x[100:]


NOISES = {
    "gaussian": lambda rng, n: rng.normal(size=n),
    "t3": lambda rng, n: rng.standard_t(3, size=n),
    "ar1": lambda rng, n: _ar1(rng, n, 0.5),
}


@pytest.mark.parametrize("noise", sorted(NOISES))
def test_stretch_stage_p_values_hold_on_change_free_series(noise: str) -> None:
    rng = np.random.default_rng(2024)
    make = NOISES[noise]
    level, shape, spread = [], [], []
    for _ in range(150):
        x = make(rng, 400)
        u = clipped(x, 9)
        split, statistic = level_statistic(u)
        level.append(level_p_value(statistic, len(x)))
        _, statistic = shape_statistic(shape_scores(x))
        shape.append(shape_p_value(statistic, len(x)))
        _, statistic = shape_statistic(spread_scores(x), bump=True)
        spread.append(spread_p_value(statistic, len(x)))
    for p in (level, shape, spread):
        _calibrated(p)


@pytest.mark.parametrize("noise", sorted(NOISES))
def test_window_stage_p_values_hold_on_change_free_series(noise: str) -> None:
    rng = np.random.default_rng(77)
    make = NOISES[noise]
    n, h = 400, 10
    location, scale, slope = [], [], []
    bounds = np.arange(h, n - h + 1, dtype=np.intp)
    for _ in range(150):
        x = make(rng, n)
        for kind, out in (("location", location), ("scale", scale)):
            c = contrasts_at(x, h, bounds, kind, 0.0)
            ref = c[:: max(1, h // 8)]
            centre = median(ref)
            out.append(
                contrast_p_value(kind, (c.max() - centre) / robust_spread(ref, centre), n, h)
            )
        slope.append(slope_p_value(float(slope_scores(x, h).max()), n, h))
    for p in (location, scale, slope):
        _calibrated(p)


def test_the_vote_p_values_hold_where_every_boundary_is_judged() -> None:
    # Along a drift every pair of adjacent windows differs, so every boundary is a leader and
    # both contrasts' largest values over the series are met: the hardest case of their law.
    rng = np.random.default_rng(41)
    p, judged = [], []
    for slope in (0.1, 10.0):
        for _ in range(150):
            ctx = _context(slope * np.arange(300.0) + rng.normal(size=300), outliers="keep")
            options = {"window_sizes": ctx.sizes, "n_perm": 300, "alpha_q": 0.05, "seed": 123}
            ctx = dataclasses.replace(
                ctx, scan=scan(ctx.x, options | {"tol": 2, "change_type": "distribution"})
            )
            proposed = VOTE.propose(ctx, VoteParams(), 0.025, [])
            judged.append(sum("z" in c.evidence for c in proposed))
            p.append(min(c.p_value for c in proposed))
    assert np.mean(judged) > 10
    _calibrated(p)


def test_short_series_p_values_hold_under_dependent_noise() -> None:
    rng = np.random.default_rng(5)
    for phi in (0.5, 0.7):
        p = []
        for _ in range(300):
            # The p-value the vote gives: 1 where a drift fits as well as two levels.
            x = _ar1(rng, 30, phi)
            t = shift_statistics(x)
            k = int(np.argmax(t))
            p.append(shift_p_value(float(t[k]), 30) if fits_a_step(x, k) else 1.0)
        _calibrated(p)
    # A drift splits into two different means anywhere, but fits a line better than two levels.
    for slope in (0.1, 10.0):
        assert vollan.detect(slope * np.arange(30.0) + rng.normal(size=30)).changes == ()


def test_kolmogorov_tail_matches_its_known_quantiles() -> None:
    # The Brownian bridge's sup has the 95 % and 99 % points 1.3581 and 1.6276.
    assert kolmogorov_sf(1.3581) == pytest.approx(0.05, abs=2e-4)
    assert kolmogorov_sf(1.6276) == pytest.approx(0.01, abs=1e-4)
    assert kolmogorov_isf(0.05) == pytest.approx(1.3581, abs=1e-3)
    assert level_p_value(0.0, LEAST_LEVEL_VALUES) == 1.0


# The stages' table, drawn from their metadata -------------------------------------------------


def test_the_docs_hold_the_stages_table_the_code_states() -> None:
    done = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_stage_docs.py"), "--check"],
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    names = [s.name for s in STAGES]
    assert names == ["vote", "level", "slope", "shape", "spread"]
    doc = vollan.detect.__doc__ or ""
    assert doc.index("Parameters") < 40 * 80
    assert all(f"- {name} (" in doc for name in names)
