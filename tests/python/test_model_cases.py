"""The cases that showed the detector had no one model: each change's kind, place, interval,
size and evidence, and the series that reported changes that were not there."""

from __future__ import annotations

import io
import sys

import numpy as np
import pytest

import vollan
from vollan import cli


def new_user_series(seed: int) -> np.ndarray:
    # 1,095 daily values: the mean 1000 -> 1150 (sd 50) at 400, the sd 50 -> 150 at 800.
    rng = np.random.default_rng(seed)
    t = np.arange(1095)
    return np.where(t < 400, 1000.0, 1150.0) + np.where(t < 800, 50.0, 150.0) * rng.normal(
        size=1095
    )


@pytest.fixture(scope="module")
def new_user() -> list[tuple[np.ndarray, vollan.Detection]]:
    return [(x, vollan.detect(x)) for x in map(new_user_series, (1, 3, 5))]


def test_each_change_carries_its_kind_place_interval_and_size(new_user) -> None:
    for _, found in new_user:
        shift, spread = found.changes
        assert (shift.kind, spread.kind) == ("mean", "variance")
        assert abs(shift.index - 400) <= 2 and shift.interval[0] <= 400 <= shift.interval[1]
        assert abs(spread.index - 800) <= 5 and spread.interval[0] <= 800 <= spread.interval[1]
        # Sizes in the unit of the kind: a 3-sd shift, a spread three times larger.
        assert shift.size == pytest.approx(3.0, abs=0.4)
        assert spread.size == pytest.approx(3.0, rel=0.25)
        assert all(c.p_value <= found.alpha and c.level == 0.9 for c in found.changes)
        assert shift.describe().startswith(f"mean {shift.size:+.2g} sd at 400 (p = ")
        assert spread.describe().startswith(f"spread x{spread.size:.2g} at ")
        assert len(repr(found).splitlines()) <= 10


def test_n_changes_returns_the_strongest_evidence_first(new_user) -> None:
    for x, found in new_user:
        (one,) = vollan.detect(x, n_changes=1).changes
        strongest = min(found.changes, key=lambda c: c.p_value)
        assert one.index == strongest.index and abs(one.index - 400) <= 2
        with pytest.warns(UserWarning, match="1000 changes were asked for; the series has"):
            many = vollan.detect(x, n_changes=1000)
        assert many.note is not None and "1000 changes were asked for" in many.note


@pytest.mark.parametrize("seed", [0, 17])
def test_a_shift_found_by_the_windows_has_the_evidence_of_its_stretch(seed: int) -> None:
    # The change of spread is the spread stage's, over the 295 values after the shift's
    # stretch (p below 1e-17); the shift's contrast of tens of values a side alone gave
    # 1e-6, and n_changes=1 took the change of spread. Between its neighbours the shift's
    # own stretch says far more.
    x = new_user_series(seed)
    shift, spread = vollan.detect(x).changes
    assert spread.stage == "spread" and spread.p_value < 1e-17
    assert shift.stage == "vote" and shift.p_value < spread.p_value
    (one,) = vollan.detect(x, n_changes=1).changes
    assert one.index == shift.index and abs(one.index - 400) <= 2


def test_a_mean_change_type_reports_no_mean_change_inside_a_noisier_stretch(new_user) -> None:
    for x, _ in new_user:
        found = vollan.detect(x, change_type="mean")
        assert [c.kind for c in found.changes] == ["mean"]
        assert abs(found.changes[0].index - 400) <= 2


def test_the_command_line_table_shows_what_every_row_means(tmp_path, monkeypatch) -> None:
    path = tmp_path / "sales.csv"
    path.write_text("sales\n" + "\n".join(f"{v:.3f}" for v in new_user_series(1)) + "\n")
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    assert cli.main(["detect", str(path)]) == 0
    lines = out.getvalue().splitlines()
    assert "2 changes at a false-alarm budget of 0.05" in lines[1]
    header, *rows = lines[2:]
    assert header.split()[:4] == ["index", "kind", "p-value", "90%"]
    kinds = [row.split()[1] for row in rows]
    assert kinds == ["mean", "variance"]
    assert all(float(row.split()[2]) <= 0.05 for row in rows)


@pytest.mark.parametrize("n", [1_000, 100_001, 200_001])
@pytest.mark.parametrize("where", [3, 0.33, 0.963])
def test_a_single_blip_is_an_outlier_never_a_change(n: int, where: float) -> None:
    x = np.zeros(n)
    at = int(where * n) if where < 1 else n - int(where)
    x[at] = 1.0
    found = vollan.detect(x)
    assert found.changes == () and found.outliers == (at,)


def test_a_change_of_rate_among_sparse_events_is_still_found() -> None:
    rng = np.random.default_rng(3)
    x = np.r_[(rng.random(3000) < 0.01), (rng.random(3000) < 0.08)].astype(float)
    found = vollan.detect(x)
    assert any(abs(c - 3000) <= 150 for c in found.change_points)


def test_sparse_spikes_of_continuous_heights_rarely_report_a_change() -> None:
    alarms = 0
    for seed in range(20):
        rng = np.random.default_rng([seed, 5000])
        x = np.zeros(2000)
        hit = rng.random(2000) < 0.01
        x[hit] = rng.exponential(10.0, int(hit.sum())) + 5.0
        alarms += bool(vollan.detect(x).changes)
    assert alarms <= 2


@pytest.mark.parametrize("slope", [1.0, 10.0])
def test_straight_drifts_of_any_slope_report_nothing(slope: float) -> None:
    assert vollan.detect(np.arange(300.0) * slope).changes == ()
    for seed in range(4):
        rng = np.random.default_rng(seed)
        for n in (300, 1000):
            assert vollan.detect(slope * np.arange(n) + rng.normal(size=n)).changes == ()


def test_a_bend_in_a_steep_drift_is_still_found() -> None:
    rng = np.random.default_rng(8)
    t = np.arange(600.0)
    x = 10.0 * t - 8.0 * np.maximum(t - 300, 0) + rng.normal(size=600)
    found = vollan.detect(x)
    assert any(c.kind == "trend" and abs(c.index - 300) <= 15 for c in found.changes)
