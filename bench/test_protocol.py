"""Self-checks of the quality harness: fold selection, NaN mapping, seeding and the section merge.

PYTHONPATH=python python -m pytest bench/test_protocol.py
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import corpus  # noqa: E402
import protocol  # noqa: E402
import quality  # noqa: E402
import run_all  # noqa: E402


def toy_table() -> tuple[dict[str, dict[str, float]], dict[str, str]]:
    # Setting "b" is best on series s1 and s2 only; "a" on s3 and s4; "c" never.
    # Mean over all: a = (0.5 + 0.5 + 0.9 + 0.9) / 4 = 0.70, b = (1 + 1 + 0.3 + 0.3) / 4 = 0.65.
    table = {
        "a": {"s1": 0.5, "s2": 0.5, "s3": 0.9, "s4": 0.9},
        "b": {"s1": 1.0, "s2": 1.0, "s3": 0.3, "s4": 0.3},
        "c": {"s1": 0.0, "s2": 0.0, "s3": 0.0, "s4": 0.0},
    }
    return table, {s: s for s in table["a"]}


def test_leave_one_out_selection_on_a_known_table():
    table, groups = toy_table()
    v = protocol.select_and_validate(table, groups, order=["c", "a", "b"], baseline="c")
    assert v.in_sample_setting == "a"
    assert v.in_sample_score == pytest.approx(0.70)
    # Without s1: a = 2.3 / 3 = 0.767, b = 1.6 / 3 = 0.533 -> a, which scores 0.5 on s1.
    # Without s3: a = 1.9 / 3 = 0.633, b = 2.3 / 3 = 0.767 -> b, which scores 0.3 on s3.
    assert v.chosen == {"s1": "a", "s2": "a", "s3": "b", "s4": "b"}
    assert v.cv_score == pytest.approx((0.5 + 0.5 + 0.3 + 0.3) / 4)
    assert v.cv_gain == pytest.approx(0.4)
    diffs = np.array([0.5, 0.5, 0.3, 0.3])
    assert v.cv_se == pytest.approx(diffs.std(ddof=1) / 2)
    assert v.in_sample_gain == pytest.approx(0.7)


def test_ties_go_to_the_first_setting_and_groups_weigh_equally():
    table = {
        "simple": {"x1": 0.5, "x2": 0.5, "y1": 0.5},
        "fancy": {"x1": 0.5, "x2": 0.5, "y1": 0.5},
    }
    groups = {"x1": "X", "x2": "X", "y1": "Y"}
    v = protocol.select_and_validate(table, groups)
    assert v.in_sample_setting == "simple"
    assert set(v.chosen.values()) == {"simple"}
    assert v.cv_gain == 0.0
    # Family X (two series) and family Y (one) count once each in the mean.
    table["fancy"] = {"x1": 0.6, "x2": 0.6, "y1": 0.3}  # per family 0.6, 0.3 -> 0.45 < 0.5
    v = protocol.select_and_validate(table, groups, order=["simple", "fancy"])
    assert v.in_sample_setting == "simple"
    assert v.folds == 2
    # Holding out Y, X alone prefers "fancy", which scores 0.3 on Y.
    assert v.chosen == {"X": "simple", "Y": "fancy"}
    assert v.cv_score == pytest.approx((0.5 + 0.3) / 2)


def test_training_series_help_choose_but_are_not_scored():
    table = {
        "a": {"e1": 0.5, "e2": 0.5, "t": 0.0},
        "b": {"e1": 0.4, "e2": 0.4, "t": 1.0},
    }
    groups = {s: s for s in table["a"]}
    v = protocol.select_and_validate(table, groups, train_only=["t"])
    assert v.folds == 2
    assert v.in_sample_setting == "b"  # (0.4 + 0.4 + 1) / 3 > (0.5 + 0.5) / 3
    assert v.in_sample_score == pytest.approx(0.4)
    assert v.baseline_score == pytest.approx(0.5)


def test_map_back_puts_changes_on_the_first_observed_value_of_the_new_regime():
    values = np.array([0.0, np.nan, 0.0, 0.0, np.nan, np.nan, 5.0, 5.0, np.nan, 5.0])
    kept = np.flatnonzero(~np.isnan(values))  # [0, 2, 3, 6, 7, 9]
    assert protocol.map_back([3], kept) == [6]
    assert protocol.map_back([0, 6, 99], kept) == []  # outside 1 .. len(kept) - 1
    assert protocol.map_back([3, 3, 1], kept) == [2, 6]


def test_run_detector_drops_nan_unless_the_detector_takes_them():
    values = np.array([1.0, np.nan, 1.0, 9.0, np.nan, 9.0])
    seen = []

    def first_jump(x):
        seen.append(x.copy())
        return [int(np.argmax(np.abs(np.diff(x)) > 4)) + 1]

    assert protocol.run_detector(first_jump, values) == [3]
    assert not np.isnan(seen[-1]).any() and len(seen[-1]) == 4

    @protocol.accepts_nan
    def takes_nan(x):
        seen.append(x.copy())
        return [3, 0, 6]  # index 0 and n are not change points

    assert protocol.run_detector(takes_nan, values) == [3]
    assert np.isnan(seen[-1]).sum() == 2


def test_failures_and_skips_are_recorded_as_no_change():
    case = corpus.Case("c", "f", "simulated", np.zeros(30), {"truth": [15]}, [15])

    def broken(x):
        raise RuntimeError("boom")

    results = protocol.evaluate({"broken": broken}, [case], processes=1)
    got = results[("broken", "c")]
    assert got.error == "RuntimeError: boom" and got.change_points == ()
    assert (got.cover, got.f1) == protocol.score(case, [])

    @protocol.max_n(10)
    def short_only(x):
        return [15]

    got = protocol.evaluate({"short": short_only}, [case], processes=1)[("short", "c")]
    assert got.skipped and got.change_points == ()


def test_simulated_series_do_not_depend_on_the_number_asked_for():
    few = corpus.simulated_cases(2)
    more = corpus.simulated_cases(3)
    by_name = {c.name: c for c in more}
    for case in few:
        np.testing.assert_array_equal(case.values, by_name[case.name].values)
        assert case.truth == by_name[case.name].truth
    for case in more:
        assert all(0 < c < case.n for c in case.truth)
        assert np.isfinite(case.values).all()


def test_shape_families_keep_mean_and_variance():
    rng = np.random.default_rng(0)
    for make in (corpus.shape_bimodal, corpus.shape_uniform):
        tails = np.concatenate([make(rng)[0][600:] for _ in range(50)])
        assert abs(tails.mean()) < 0.05 and abs(tails.var() - 1.0) < 0.05


def test_grid_orders_settings_and_keeps_flags():
    @protocol.accepts_nan
    def det(x, a=0, b="u"):
        return [a]

    settings = protocol.grid(det, a=[1, 2], b=["u", "v"])
    assert list(settings) == ["a=1, b='u'", "a=1, b='v'", "a=2, b='u'", "a=2, b='v'"]
    assert all(getattr(s, "accepts_nan", False) for s in settings.values())
    assert settings["a=2, b='v'"](np.zeros(3)) == [2]


def test_merge_sections_replaces_its_own_and_keeps_the_rest(tmp_path):
    path = tmp_path / "RESULTS.md"
    path.write_text(
        "# Benchmark results\n\nheader\n\n## B1. Distance\n\nb1 table\n\n"
        "## Quality Q1. Real annotated series\n\nold\n\n## Notes\n\nkept\n"
    )
    merged = quality.merge_sections(
        path,
        {
            "real": "## Quality Q1. Real annotated series\n\nnew\n",
            "null": "## Quality Q3. False alarms on change-free series\n\nnull\n",
        },
    )
    assert "old" not in merged and "new" in merged and "b1 table" in merged and "kept" in merged
    assert merged.index("## B1.") < merged.index("## Quality Q1.") < merged.index("## Notes")
    assert merged.rstrip().endswith("null")
    assert merged.startswith("# Benchmark results\n\nheader\n\n## B1.")


def test_grid_runs_each_setting_once_per_series_and_validates_by_family():
    calls = []

    def det(x, k=0):
        calls.append(k)
        return [len(x) // 2] if k else []

    sim = [
        corpus.Case(f"{fam} #{i}", fam, "simulated", np.zeros(40), {"truth": t}, t)
        for fam, t in (("steps", [20]), ("flat", []))
        for i in range(3)
    ]
    real = [corpus.Case("r", "tcpd", "real", np.zeros(40), {"a": [20], "b": []})]
    settings = protocol.grid(det, k=[0, 1])
    report = protocol.cross_validate_grid(settings, real, sim, metrics=["f1"], processes=1)
    assert sorted(calls) == [0] * 7 + [1] * 7
    by_corpus = {v.corpus.split(",")[0]: v for v in report.validations}
    v = by_corpus["simulated"]
    # k=1 is right on "steps" (F1 1) and wrong on "flat" (F1 2/3); k=0 the reverse (2/3, 1):
    # a tie over both families goes to k=0; each held-out family gets the other's best.
    assert v.in_sample_setting == "k=0"
    assert v.chosen == {"steps": "k=0", "flat": "k=1"}
    assert v.cv_score == pytest.approx(2 / 3)
    assert report.validations[0].folds == 1


def test_results_page_opens_with_its_guide_and_each_run_keeps_the_other_sections():
    results = Path(__file__).with_name("RESULTS.md")
    text = results.read_text()
    assert text.startswith("# Benchmark results\n\n" + run_all.GUIDE)
    titles = [line for line in text.splitlines() if line.startswith("## ")]
    # A run of B4 alone replaces B4 and keeps every other section, in order.
    fresh = "## B4. Threads: `RAYON_NUM_THREADS=1` against `=2`\n\nnew table\n"
    merged = run_all.merge_sections(str(results), [fresh], keep_benchmarks=True)
    assert [s.splitlines()[0] for s in merged] == titles
    assert fresh in merged
    # What moved out is on the history page, under its benchmark.
    history = results.with_name("HISTORY.md").read_text()
    for key in ("B1", "B2", "B4", "B8", "Defaults D2", "Defaults D3", "Defaults D30"):
        assert f"\n## {key}." in history
