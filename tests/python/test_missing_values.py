"""Missing values in vollan.detect: left out of the scan, or refused, as nan_policy says."""

from __future__ import annotations

import dataclasses
import json
import math
import random
import re
from decimal import Decimal

import numpy as np
import pytest

from vollan.api import Detection, detect, detect_many

pd = pytest.importorskip("pandas")

MISSING = {0, 1, 17, 58, 59, 61, 95, 119}


def step(seed: int, n: int = 120, at: int = 60, shift: float = 3.0) -> list[float]:
    rng = random.Random(seed)
    return [rng.gauss(shift if t >= at else 0.0, 1.0) for t in range(n)]


def assert_mapped(found: Detection, compact: Detection, positions: list[int], labels=None):
    """``found`` is ``compact`` with every index moved to its position in the full series."""
    assert found.raw == compact.raw
    assert found.change_points == tuple(positions[c] for c in compact.change_points)
    for got, want in zip(found.leaders, compact.leaders, strict=True):
        at = positions[want.index]
        lo, hi = want.interval
        assert got == dataclasses.replace(
            want,
            index=at,
            label=at if labels is None else labels[at],
            interval=(positions[lo], positions[hi - 1] + 1),
        )
    assert found.cdf == tuple((positions[i], p) for i, p in compact.cdf)
    assert found.labels == tuple(x.label for x in found.leaders if x.reported)
    assert (found.trend, found.window_sizes, found.n_perm) == (
        compact.trend,
        compact.window_sizes,
        compact.n_perm,
    )
    assert found.n_scanned == compact.n_obs == len(positions)
    assert found.n_omitted == found.n_obs - len(positions)


def with_markers(values: list[float], marker: object) -> list[object]:
    return [marker if i in MISSING else v for i, v in enumerate(values)]


FORMS = {
    "NaN in a list": lambda v: with_markers(v, math.nan),
    "None in a list": lambda v: with_markers(v, None),
    "pd.NA in a list": lambda v: with_markers(v, pd.NA),
    "pd.NaT in a list": lambda v: with_markers(v, pd.NaT),
    "Decimal NaN": lambda v: [Decimal(repr(x)) for x in with_markers(v, math.nan)],
    "numpy array": lambda v: np.array(with_markers(v, np.nan), dtype=np.float64),
    "object array": lambda v: np.array(with_markers(v, None), dtype=object),
    "masked array": lambda v: np.ma.array(v, mask=[i in MISSING for i in range(len(v))]),
    "Float64 Series": lambda v: pd.Series(with_markers(v, pd.NA), dtype="Float64"),
    "object Series": lambda v: pd.Series(with_markers(v, None), dtype=object),
}


@pytest.mark.parametrize("form", FORMS)
def test_missing_values_are_left_out_and_positions_mapped_back(form):
    values = step(1)
    positions = [i for i in range(len(values)) if i not in MISSING]
    compact = detect([values[i] for i in positions])
    assert compact.change_points  # the mapping below is checked on a real change
    found = detect(FORMS[form](values))
    assert_mapped(found, compact, positions)
    assert (found.n_obs, found.n_scanned, found.n_omitted) == (120, 112, 8)


def test_masked_array_data_is_not_overwritten():
    data = np.array(step(2))
    masked = np.ma.array(data, mask=[i in MISSING for i in range(120)])
    before = data.copy()
    detect(masked)
    assert np.array_equal(data, before)


def test_nullable_integer_series_with_a_datetime_index_keeps_its_labels():
    values = [0] * 60 + [5] * 60
    index = pd.date_range("2001-01-01", periods=120, freq="D")
    series = pd.Series(with_markers(values, pd.NA), index=index, dtype="Int64")
    found = detect(series)
    positions = [i for i in range(120) if i not in MISSING]
    compact = detect([float(values[i]) for i in positions])
    assert_mapped(found, compact, positions, labels=list(index))
    # 58, 59 and 61 are missing: 60 is still the first value of the new regime.
    assert found.change_points == (60,)
    assert found.labels == (pd.Timestamp("2001-03-02"),)
    doc = json.loads(json.dumps(found.to_dict()))
    assert (doc["n_obs"], doc["n_scanned"], doc["n_omitted"]) == (120, 112, 8)
    assert doc["change_points"][0]["label"] == "2001-03-02T00:00:00"
    assert [i for i, _ in doc["cdf"]] == [i for i, _ in found.cdf]


@pytest.mark.parametrize(
    ("missing", "expected"),
    [
        ({50}, 51),  # the first value of the new regime is missing: the next one starts it
        ({49}, 50),  # the last value before the change is missing
        (set(range(40, 50)), 50),  # a run just before the change
        (set(range(50, 57)), 57),  # a run at the start of the new regime
        (set(range(12)) | set(range(88, 100)), 50),  # leading and trailing runs
        (set(range(0, 100, 7)), 50),  # spread over both regimes
    ],
)
def test_a_clean_step_is_reported_at_its_original_position(missing, expected):
    values = [math.nan if i in missing else (0.0 if i < 50 else 1.0) for i in range(100)]
    labels = [f"t{i}" for i in range(100)]
    found = detect(values, labels=labels)
    assert found.change_points == (expected,)
    assert found.labels == (f"t{expected}",)
    assert found.n_omitted == len(missing) and found.n_scanned == 100 - len(missing)


@pytest.mark.parametrize("seed", range(6))
def test_a_noisy_step_among_sprinkled_gaps_is_found_and_mapped_exactly(seed):
    values = step(seed, n=300, at=150)
    missing = set(random.Random(100 + seed).sample(range(300), 30))
    positions = [i for i in range(300) if i not in missing]
    found = detect([math.nan if i in missing else v for i, v in enumerate(values)])
    assert_mapped(found, detect([values[i] for i in positions]), positions)
    first_of_new_regime = min(i for i in positions if i >= 150)
    assert len(found.change_points) == 1
    assert abs(found.change_points[0] - first_of_new_regime) <= 2


def test_leading_and_trailing_runs_on_a_noisy_series():
    values = [math.nan] * 15 + step(4) + [None] * 9
    positions = list(range(15, 135))
    found = detect(values)
    assert_mapped(found, detect(step(4)), positions)
    assert found.n_obs == 144 and found.n_omitted == 24
    assert all(15 <= i < 135 for i, _ in found.cdf)


def test_without_missing_values_both_policies_agree_and_nothing_is_omitted():
    values = step(3)
    found = detect(values)
    assert found == detect(values, nan_policy="raise")
    assert (found.n_obs, found.n_scanned, found.n_omitted) == (120, 120, 0)
    assert found.to_dict()["n_omitted"] == 0


@pytest.mark.parametrize(
    ("series", "index"),
    [
        ([1.0] * 5 + [math.nan] + [1.0] * 20, 5),
        ([None] + [1.0] * 25, 0),
        (np.array([1.0] * 25 + [np.nan]), 25),
        (pd.Series([1.0] * 3 + [None] + [1.0] * 22, dtype="Float64"), 3),
        (np.ma.array([1.0] * 26, mask=[i == 9 for i in range(26)]), 9),
        ([1.0] * 7 + [math.nan, math.inf] + [1.0] * 17, 7),  # the first of the two decides
    ],
)
def test_raise_refuses_the_first_missing_value(series, index):
    message = (
        f"series has a missing value (NaN, None or NA) at index {index}; "
        "pass nan_policy='omit' to leave missing values out of the scan, or clean or impute it"
    )
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        detect(series, nan_policy="raise")


INF_LAST = [1.0] * 19 + [math.inf]
INF_BEFORE_NAN = [1.0] * 3 + [-math.inf, math.nan] + [1.0] * 20


@pytest.mark.parametrize(
    ("series", "nan_policy", "index"),
    [
        (INF_LAST, "omit", 19),
        (INF_LAST, "raise", 19),
        (INF_BEFORE_NAN, "omit", 3),
        (INF_BEFORE_NAN, "raise", 3),
        (np.array([1.0] * 4 + [np.nan] * 2 + [np.inf] + [1.0] * 20), "omit", 6),
    ],
)
def test_infinities_are_refused_under_both_policies(series, nan_policy, index):
    message = f"series contains infinite values (the first at index {index}); clean or impute"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}"):
        detect(series, nan_policy=nan_policy)


@pytest.mark.parametrize(
    ("series", "options", "message"),
    [
        (
            [math.nan] * 30,
            {},
            "series has 0 values after leaving out 30 missing values; at least 8 are needed "
            "(two windows of 4 values)",
        ),
        (
            [1.0, None] * 7,
            {},
            "series has 7 values after leaving out 7 missing values; at least 8 are needed",
        ),
        (
            [1.0] * 19 + [math.nan],
            {"window_sizes": [10]},
            "series has 19 values after leaving out 1 missing value, fewer than two windows of "
            "the smallest size 10",
        ),
    ],
)
def test_too_few_values_left_name_the_missing_ones(series, options, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}"):
        detect(series, **options)


@pytest.mark.parametrize("nan_policy", ["propagate", "OMIT", None, ""])
def test_unknown_policy_is_refused(nan_policy):
    message = f"nan_policy must be 'omit' or 'raise', got {nan_policy!r}"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        detect([1.0] * 30, nan_policy=nan_policy)


@pytest.mark.parametrize(
    "series", [["1.5 m", None] * 10, [None, b"2"] * 10, [pd.NA, object()] * 10]
)
def test_values_that_are_not_numbers_are_still_type_errors(series):
    with pytest.raises(TypeError, match="sequence of numbers"):
        detect(series)


def test_detect_many_passes_the_policy_on():
    batch = [with_markers(step(5), math.nan), step(6)]
    assert detect_many(batch) == [detect(s) for s in batch]
    with pytest.raises(ValueError, match="at index 0"):
        detect_many(batch, nan_policy="raise")
