"""What a new user's first hour found at the input's edges: values that shifted or were read
wrongly, and errors that named no argument or said nothing of what to do."""

from __future__ import annotations

import math
import re
import warnings

import numpy as np
import pytest

import vollan
import vollan.api
from vollan._input import kept_values
from vollan.api import detect

pd = pytest.importorskip("pandas")

rng = np.random.default_rng(31)
# A mean shift at 60 in 120 values.
STEP = np.r_[rng.normal(0.0, 1.0, 60), rng.normal(6.0, 1.0, 60)]


def message(text: str) -> str:
    return "^" + re.escape(text) + "$"


# One reading of numbers written as text, as the command reads a file's column ----------------


@pytest.mark.parametrize(
    ("texts", "expected"),
    [
        (["1,015.2", "2,000", "7.5"], [1015.2, 2000.0, 7.5]),  # thousands separators
        (["1.015,2", "2.000", "7,5"], [1015.2, 2000.0, 7.5]),  # decimal commas
        (["1 015,2", "NA", ""], [1015.2, math.nan, math.nan]),  # missing markers
        (["3", " 4.5 ", "-2e3"], [3.0, 4.5, -2000.0]),
    ],
)
def test_text_is_read_as_the_command_reads_a_column(texts, expected):
    for series in (texts, np.array(texts), pd.Series(texts), pd.Series(texts, dtype="string")):
        kept = kept_values(series, "omit")
        values = np.full(kept.n_obs, math.nan)
        values[kept.positions if kept.positions is not None else slice(None)] = kept.values
        np.testing.assert_array_equal(values, expected)


def test_a_series_of_text_gives_the_result_of_its_numbers():
    texts = [f"{1000 * v:,.3f}" for v in STEP]  # "5,123.456"
    assert detect(texts) == detect([float(t.replace(",", "")) for t in texts])


@pytest.mark.parametrize(
    ("series", "error", "text"),
    [
        (
            ["1.5", "abc"] * 10,
            TypeError,
            "series must be a sequence of numbers; the text 'abc' at index 1 is not one "
            "(pandas.to_numeric(series, errors='coerce') makes such text missing values)",
        ),
        (
            ["1,015"] * 20,
            ValueError,
            "series at index 0: '1,015' may be 1015 or 1.015; convert the text to numbers "
            "first, to say which mark is the decimal one",
        ),
        (
            [b"1.5"] * 20,
            TypeError,
            "series must be a sequence of numbers, not of bytes; decode the text first",
        ),
        (
            [None, b"1.5"] * 10,
            TypeError,
            "series must be a sequence of numbers, not of bytes (at index 1); decode the text "
            "first",
        ),
    ],
)
def test_text_that_is_no_number_says_what_to_do(series, error, text):
    with pytest.raises(error, match=message(text)):
        detect(series)


# What pandas and numpy hold that is not a number ----------------------------------------------

DATES = (
    "series must be a sequence of numbers, not of datetime64[ns]; dates and times are labels: "
    "pass them as labels, and the values as series"
)


@pytest.mark.parametrize(
    "series",
    [
        pd.Series(pd.date_range("2000-01-01", periods=100)).astype("datetime64[ns]"),
        pd.date_range("2000-01-01", periods=100).values.astype("datetime64[ns]"),
        pd.DataFrame({"when": pd.date_range("2000-01-01", periods=100)}).astype("datetime64[ns]"),
    ],
    ids=["Series", "array", "one-column DataFrame"],
)
def test_dates_are_refused_alike_as_a_series_or_an_array(series):
    with pytest.raises(TypeError, match=message(DATES)):
        detect(series)


def test_dates_with_a_time_zone_are_refused_too():
    series = pd.Series(pd.date_range("2000-01-01", periods=100, tz="UTC"))
    with pytest.raises(TypeError, match="^series must be a sequence of numbers, not of datetime64"):
        detect(series)


def test_a_categorical_of_text_is_a_type_error_that_names_its_codes():
    series = pd.Series(["low", "high", "mid", "top"] * 30, dtype="category")
    with pytest.raises(TypeError) as info:
        detect(series)
    assert re.fullmatch(
        r"series must be a sequence of numbers, not a categorical of \w+ \('high', 'low', "
        r"'mid', \.\.\.\); pass series\.cat\.codes to scan the codes of its categories",
        str(info.value),
    )


def test_a_categorical_of_numbers_is_read_as_its_numbers():
    values = np.repeat([1.0, 5.0], 60)
    assert detect(pd.Series(values, dtype="category")) == detect(values)


def test_a_matrix_column_is_read_as_the_array_column():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)  # np.matrix itself warns
        column = np.matrix(STEP).T
    assert column.shape == (120, 1)
    assert detect(column) == detect(STEP)


# Numbers at the float's limits ----------------------------------------------------------------


@pytest.mark.parametrize("big", [10**400, -(10**309)])
def test_an_integer_beyond_the_float_range_is_named(big):
    series = [1.0] * 30 + [big] + [1.0] * 30
    with pytest.raises(
        ValueError,
        match=message(
            "series holds a number too large for a float at index 30 (the largest is about "
            "1.8e308); scale the series down first"
        ),
    ):
        detect(series)


@pytest.mark.parametrize(("n", "at"), [(50, 25), (400, 200)])
def test_a_stretch_beyond_the_squares_of_floats_is_refused_by_name(n, at):
    x = np.random.default_rng(0).normal(size=n)
    x[at : at + 3] = 1e170
    text = (
        f"series holds a value too far from the rest at index {at} (1e+170): its square, in "
        "units of the series' spread, overflows a float; clip such values, or set them to NaN "
        "to leave them out"
    )
    for change_type in ("distribution", "mean", "var"):
        with pytest.raises(ValueError, match=message(text)):
            detect(x, change_type=change_type)
    # Set to NaN as the message says, the rest is scanned.
    x[at : at + 3] = math.nan
    assert detect(x).n_omitted == 3


def test_values_up_to_the_limit_are_scanned_and_a_lone_one_beyond_is_an_outlier():
    x = np.random.default_rng(0).normal(size=400)
    x[200:203] = 3e150  # within 2**500: every rule's squares stay finite
    assert 200 in detect(x).change_points
    x[200:203] = [0.0, 1e300, 0.0]  # an isolated outlier is left out before the check
    assert detect(x).outliers == (201,)


# Options that name themselves ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("labels", "name"),
    [(5, "int"), ("abcdefgh", "str"), ((str(i) for i in range(120)), "generator")],
)
def test_labels_that_are_no_sequence_are_named(labels, name):
    text = f"labels must be an ordered sequence (one label per value) or None, not {name}"
    with pytest.raises(TypeError, match=message(text)):
        detect(STEP, labels=labels)


def test_replicates_beyond_memory_are_refused_by_name():
    with pytest.raises(ValueError) as info:
        detect(STEP, n_perm=2**64 - 1)
    assert re.fullmatch(
        r"n_perm=18446744073709551615 replicates take 16 EiB per threshold, more than this "
        r"machine's [0-9.]+ [MGTP]iB of memory; pass a smaller n_perm, or None for the default",
        str(info.value).replace("128 EiB", "16 EiB"),
    )
    assert "128 EiB" in str(info.value)  # 8 bytes a replicate


def test_an_allocation_failure_of_the_scan_names_the_replicates(monkeypatch):
    def fails(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(vollan.api, "scan_detector", fails)
    with pytest.raises(MemoryError, match=r"^not enough memory for this scan \(n_perm=500 "):
        detect(STEP, n_perm=500)


@pytest.mark.parametrize("workers", [65536, 2**64 - 1])
def test_workers_beyond_a_pool_are_refused_by_name(workers):
    text = f"workers must be None (the shared pool) or an integer from 0 to 65535, got {workers}"
    with pytest.raises(ValueError, match=message(text)):
        detect(STEP, workers=workers)


def test_threads_the_system_cannot_start_are_blamed_on_workers(monkeypatch):
    def fails(*args, **kwargs):
        raise ValueError("failed to build Rayon thread pool: Resource temporarily unavailable")

    monkeypatch.setattr(vollan.api, "scan_detector", fails)
    text = (
        "workers=4000: the system could not start that many threads (Resource temporarily "
        "unavailable); pass fewer workers, or None for the shared pool"
    )
    with pytest.raises(ValueError, match=message(text)):
        detect(STEP, workers=4000)


def test_workers_zero_is_the_shared_pool_as_none():
    assert detect(STEP, workers=0) == detect(STEP, workers=None)


# Tables ---------------------------------------------------------------------------------------


def test_a_list_of_rows_is_no_table_and_the_error_says_what_to_pass():
    text = (
        "table must be a 2-D numpy array or a pandas DataFrame (one series per column), not "
        "list; pass numpy.asarray(table) for rows of values, or a list of series to "
        "vollan.detect_many"
    )
    with pytest.raises(TypeError, match=message(text)):
        vollan.detect_columns([[1.0, 2.0]] * 300)
    with pytest.raises(ValueError, match=r"^table must be two-dimensional .* got shape \(300,\)"):
        vollan.detect_columns(np.zeros(300))
