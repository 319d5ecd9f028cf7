"""The convenience layer: vollan.detect, its defaults, inputs, errors and results."""

from __future__ import annotations

import dataclasses
import json
import math
import pickle
import random

import pytest

import vollan
from vollan.api import Detection, default_window_sizes, detect, detect_many
from vollan.datasets import load_nile


def shifted(seed: int, n: int = 150, shift: float = 3.0) -> list[float]:
    rng = random.Random(seed)
    return [rng.gauss(0, 1) for _ in range(n)] + [rng.gauss(shift, 1) for _ in range(n)]


def noise(seed: int, n: int = 500) -> list[float]:
    rng = random.Random(seed)
    return [rng.gauss(0, 1) for _ in range(n)]


# Window sizes -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("n_obs", "expected"),
    [
        (8, [4]),  # the smallest series: two windows of the smallest size
        (19, [4]),
        # n // 4 = 9: from max(4, 9 // 2) = 4 to 9; 4 * 2.25 ** (i / 11) rounds to each of
        # 4 ... 9.
        (37, [4, 5, 6, 7, 8, 9]),
    ],
)
def test_default_window_sizes_of_short_series(n_obs, expected):
    assert default_window_sizes(n_obs) == expected


@pytest.mark.parametrize("n_obs", [40, 59, 80, 100, 581, 10_000, 1_000_000])
def test_default_window_sizes_fit_the_series(n_obs):
    sizes = default_window_sizes(n_obs)
    assert sizes == sorted(set(sizes))
    assert 4 <= sizes[0] <= 10
    assert sizes[-1] == n_obs // 4  # every window has at least three positions
    assert sizes[-1] >= 2 * sizes[0]  # at least a factor two of scales
    assert len(sizes) <= 12
    if n_obs >= 80:
        assert sizes[0] == 10
    if n_obs >= 10_000:  # long series: twelve geometrically spaced sizes
        assert len(sizes) == 12
        step = (sizes[-1] / sizes[0]) ** (1 / 11)
        for a, b in zip(sizes[:-1], sizes[1:], strict=True):
            assert b / a == pytest.approx(step, rel=0.1)


def test_default_window_sizes_refuse_too_short_series():
    with pytest.raises(ValueError, match="series has 7 values; at least 8 are needed"):
        default_window_sizes(7)


# Results ------------------------------------------------------------------------------------


def test_nile_change_is_found_at_the_dam():
    nile = load_nile()
    found = detect(nile.values, labels=nile.labels)
    # 1899 is the first year of the new regime (the dam was begun in 1898).
    assert found.change_points == (28,)
    assert found.labels == (1899,)
    assert found.probabilities[28] > 0.5


@pytest.mark.parametrize("seed", range(4))
def test_a_clear_shift_is_found_once(seed):
    found = detect(shifted(seed))
    assert len(found.change_points) == 1
    assert abs(found.change_points[0] - 150) <= 3


@pytest.mark.parametrize("seed", range(4))
def test_pure_noise_reports_nothing(seed):
    assert detect(noise(seed)).change_points == ()


def test_detection_is_the_engine_result_filtered_by_score():
    series = shifted(7)
    found = detect(series, seed=5, tol=3, n_perm=200, change_type="distribution")
    raw = vollan.scan_detector(
        series,
        window_sizes=default_window_sizes(len(series)),
        alpha_q=0.05,
        seed=5,
        tol=3,
        n_perm=200,
        change_type="distribution",
    )
    assert found.raw == raw
    out = raw["out"]
    assert [x.index for x in found.leaders] == list(out["leaders_probs"])
    for leader in found.leaders:
        assert leader.votes == out["leaders_segment_votes"][leader.index]
        assert leader.score == out["leaders_scores"][leader.index]
        assert leader.probability == out["leaders_probs"][leader.index]
        assert leader.reported == (leader.score >= 0.5)
    assert found.cdf == tuple(out["cdf"])
    assert found.change_points == tuple(i for i, s in out["leaders_scores"].items() if s >= 0.5)
    assert found.window_sizes == tuple(default_window_sizes(300))
    assert found.n_obs == 300


@pytest.mark.parametrize(("min_score", "expect_all"), [(0.0, True), (1.0, False)])
def test_min_score_selects_leaders(min_score, expect_all):
    found = detect(noise(1), min_score=min_score)
    assert found.leaders, "the noise series has weak leaders"
    if expect_all:
        assert found.change_points == tuple(x.index for x in found.leaders)
    else:
        assert all(x.score == 1.0 for x in found.leaders if x.reported)


def test_explicit_window_sizes_are_sorted_and_deduplicated():
    found = detect(shifted(0), window_sizes=[20, 10, 20, 15])
    assert found.window_sizes == (10, 15, 20)
    assert sorted(found.raw["cp_dict"]) == [10, 15, 20]


def test_workers_do_not_change_the_result():
    series = shifted(3)
    assert detect(series, workers=1) == detect(series, workers=3) == detect(series)


# Inputs -------------------------------------------------------------------------------------


def test_lists_tuples_generators_and_arrays_agree():
    np = pytest.importorskip("numpy")
    series = shifted(2)
    expected = detect(series)
    assert detect(tuple(series)) == expected
    assert detect(v for v in series) == expected
    assert detect(np.asarray(series)) == expected
    assert detect(np.repeat(np.asarray(series), 2)[::2]) == expected  # a strided view


def test_pandas_series_index_gives_labels():
    pd = pytest.importorskip("pandas")
    series = shifted(0)
    index = pd.date_range("2001-01-01", periods=len(series), freq="D")
    found = detect(pd.Series(series, index=index))
    plain = detect(series)
    assert found.change_points == plain.change_points
    assert found.labels == tuple(index[i] for i in plain.change_points)
    assert all(x.label == index[x.index] for x in found.leaders)
    text = json.dumps(found.to_dict())  # timestamps become ISO text
    assert index[plain.change_points[0]].isoformat() in text


def test_pandas_integer_series_is_converted():
    pd = pytest.importorskip("pandas")
    values = [0] * 60 + [5] * 60
    found = detect(pd.Series(values, index=range(1900, 2020)))
    assert found.labels == (1960,)


def test_labels_argument_overrides_positions():
    nile = load_nile()
    found = detect(list(nile.values), labels=[f"y{y}" for y in nile.labels])
    assert found.labels == ("y1899",)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: detect([1.0] * 7), ValueError, "at least 8 are needed"),
        (lambda: detect([1.0] * 30, window_sizes=[16]), ValueError, "fewer than two windows"),
        (lambda: detect([1.0] * 30, window_sizes=[3, 8]), ValueError, "at least 4, got 3"),
        (lambda: detect([1.0] * 30, window_sizes=[]), ValueError, "must not be empty"),
        (lambda: detect([1.0] * 30, alpha=0.0), ValueError, r"alpha must be in \(0, 1\]"),
        (lambda: detect([1.0] * 30, alpha=5.0), ValueError, r"alpha must be in \(0, 1\]"),
        (lambda: detect([1.0] * 30, min_score=1.5), ValueError, r"min_score must be in \[0, 1\]"),
        (lambda: detect([1.0] * 30, labels=[1, 2]), ValueError, "labels has 2 entries"),
        (lambda: detect([1.0] * 29 + [math.nan]), ValueError, "NaN or infinite"),
        (lambda: detect([1.0] * 30, change_type="median"), ValueError, "median"),
        (lambda: detect("1234567890"), TypeError, "sequence of numbers"),
        (lambda: detect(3.0), TypeError, "sequence of numbers"),
    ],
)
def test_bad_input_is_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_two_dimensional_input_is_refused():
    np = pytest.importorskip("numpy")
    with pytest.raises(ValueError, match="one-dimensional"):
        detect(np.zeros((20, 2)))
    pd = pytest.importorskip("pandas")
    with pytest.raises(ValueError, match="one-dimensional"):
        detect(pd.DataFrame({"a": range(20), "b": range(20)}))


# The result object --------------------------------------------------------------------------


def test_detection_is_frozen_and_hashable():
    found = detect(shifted(1))
    with pytest.raises(dataclasses.FrozenInstanceError):
        found.change_points = ()  # type: ignore[misc]
    assert hash(found) == hash(detect(shifted(1)))
    assert "raw=" not in repr(found)


def test_to_dict_is_json_ready():
    np = pytest.importorskip("numpy")
    series = shifted(4)
    labels = np.arange(1000, 1000 + len(series))
    doc = json.loads(json.dumps(detect(series, labels=labels).to_dict()))
    assert doc["n_obs"] == 300
    assert [r["index"] for r in doc["change_points"]] == list(detect(series).change_points)
    assert all(r["label"] == r["index"] + 1000 for r in doc["leaders"])
    assert [tuple(p) for p in doc["cdf"]] == list(detect(series).cdf)


@pytest.mark.parametrize(
    "function",
    [
        vollan.scan_detector,
        vollan.scan_single_window,
        vollan.refine_cusum,
        vollan.refine_wasserstein,
        vollan.swal_statistic,
        vollan.wasserstein_statistic,
        vollan.ipm_statistic,
        vollan.detect,
        vollan.detect_many,
        vollan.default_window_sizes,
    ],
)
def test_functions_pickle_by_reference(function):
    assert pickle.loads(pickle.dumps(function)) is function


def test_detection_pickles():
    found = detect(shifted(5))
    again = pickle.loads(pickle.dumps(found))
    assert isinstance(again, Detection)
    assert again == found and again.raw == found.raw


def test_detect_many_locally_keeps_order_and_options():
    batch = [shifted(0), noise(1), shifted(2, n=60)]
    results = detect_many(batch, seed=9, workers=2)
    assert results == [detect(s, seed=9) for s in batch]
    assert detect_many(iter(batch)) == [detect(s) for s in batch]
    assert detect_many([]) == []
