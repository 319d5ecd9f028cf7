"""The distance and the whole-series split searches: exact values, checks and their order."""

from __future__ import annotations

import math
import struct

import numpy as np
import pytest

import _vollan_native as native

MAX = 1.7976931348623157e308
TOO_SHORT = "series must contain at least 3 values"
NOT_FINITE = "series contains NaN or infinite values; clean/impute before calling vollan"
NAN_BITS = 0x7FF8000000000000


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


DISTANCES = [native.wasserstein_statistic, native.ipm_statistic]


@pytest.mark.parametrize("distance", DISTANCES)
class TestDistance:
    @pytest.mark.parametrize(
        ("left", "right", "expected"),
        [
            ([0.0], [1.0], 1.0),
            ([0.0, 1.0], [0.5], 0.5),
            ([3.0, 1.0, 2.0], [2.0, 3.0, 1.0], 0.0),
            ([-0.0, 0.0], [0.0, -0.0], 0.0),
            ([0.0, 0.0, 1.0], [0.0, 1.0], (1.0 / 3 + 1.0 / 3) - 0.5),
        ],
    )
    def test_worked_examples(self, distance, left, right, expected):
        assert bits(distance(left, right)) == bits(expected)
        assert bits(distance(right, left)) == bits(expected)

    @pytest.mark.parametrize(
        "sample",
        [[-MAX, MAX], [MAX, -MAX, 0.0], [-MAX, -MAX, MAX], [5e-324, -5e-324, 0.0]],
    )
    def test_identical_samples_are_at_distance_exactly_zero(self, distance, sample):
        # Intervals where both distribution functions agree add nothing, even when their width
        # overflows to infinity.
        assert bits(distance(sample, list(reversed(sample)))) == bits(0.0)

    def test_extreme_values_are_accepted(self, distance):
        assert distance([MAX], [-MAX]) == math.inf
        assert distance([MAX], [MAX / 2]) == MAX / 2

    @pytest.mark.parametrize(
        ("left", "right"),
        [([], [1.0]), ([1.0], []), ([], []), ([], [math.nan]), ([math.inf], [])],
    )
    def test_empty_samples(self, distance, left, right):
        with pytest.raises(ValueError, match="^left and right samples must be non-empty$"):
            distance(left, right)

    @pytest.mark.parametrize(
        ("left", "right"),
        [
            ([1.0, math.nan], [1.0]),
            ([1.0], [2.0, math.inf]),
            ([-math.inf], [0.0]),
            (np.array([0.0, np.nan]), [1.0]),
        ],
    )
    def test_non_finite_samples(self, distance, left, right):
        with pytest.raises(ValueError, match="^samples contain NaN or infinite values$"):
            distance(left, right)

    def test_disjoint_samples_give_the_difference_of_means(self, distance):
        assert distance([0.0, 1.0], [10.0, 11.0]) == 10.0

    def test_result_is_a_float(self, distance):
        assert type(distance([1], [2])) is float


class TestSplitSearches:
    @pytest.mark.parametrize(
        "fn", [native.refine_cusum, native.refine_wasserstein, native.swal_statistic]
    )
    @pytest.mark.parametrize("series", [[], [1.0], [1.0, 2.0], [math.nan, math.nan]])
    def test_too_short(self, fn, series):
        with pytest.raises(ValueError, match=f"^{TOO_SHORT}$"):
            fn(series)

    @pytest.mark.parametrize(
        "fn", [native.refine_cusum, native.refine_wasserstein, native.swal_statistic]
    )
    @pytest.mark.parametrize(
        "series", [[1.0, math.nan, 2.0], [0.0, 1.0, math.inf], [-math.inf, 0.0, 0.0]]
    )
    def test_not_finite(self, fn, series):
        with pytest.raises(ValueError) as info:
            fn(series)
        assert str(info.value) == NOT_FINITE

    def test_zero_zero_three(self):
        assert native.refine_cusum([0, 0, 3]) == 2
        k, stats = native.refine_wasserstein([0, 0, 3])
        assert k == 2
        assert bits(stats[0]) == NAN_BITS
        # (n - j) * j / n under the square root, times the distance of the two parts.
        assert bits(stats[1]) == bits(1.5 * math.sqrt((2.0 * 1.0) / 3.0))
        assert bits(stats[2]) == bits(3.0 * math.sqrt((1.0 * 2.0) / 3.0))

    def test_constant_series(self):
        assert native.refine_cusum([1, 1, 1]) == 1
        k, stats = native.refine_wasserstein([1, 1, 1])
        assert k == 1 and stats[1:] == [0.0, 0.0] and math.isnan(stats[0])

    def test_step(self):
        series = [0, 0, 0, 10, 10, 10]
        assert native.refine_cusum(series) == 3
        k, stats = native.refine_wasserstein(series)
        assert k == 3 and len(stats) == 6 and max(stats[1:]) == stats[3]
        assert native.refine_cusum([5, 5, 5, 5, 9]) == 4
        assert native.refine_wasserstein([5, 5, 5, 5, 9])[0] == 4

    def test_ties_keep_the_earliest_split(self):
        assert native.refine_cusum([1, -1, 1, -1]) == 1
        k, stats = native.refine_wasserstein([0, 1, 1, 0])
        assert k == 1
        # The distance accumulates |F - G| with F and G built by repeated steps: 1 - 1/3 here.
        assert stats[1] == stats[3] == (1.0 - 1.0 / 3.0) * math.sqrt((3.0 * 1.0) / 4.0)
        assert stats[2] == 0.0

    def test_extreme_finite_values(self):
        assert native.refine_cusum([MAX, MAX, -MAX]) in (1, 2)
        k, stats = native.refine_wasserstein([MAX, -MAX, MAX])
        assert 1 <= k <= 2 and len(stats) == 3

    def test_results_are_ints(self):
        assert type(native.refine_cusum(np.arange(5.0))) is int
        k, stats = native.refine_wasserstein(np.arange(5.0))
        assert type(k) is int and type(stats) is list


class TestSwalStatistic:
    @pytest.mark.parametrize("word", ["distribution", "DISTRIBUTION", "Var", "var", "vAr"])
    def test_wasserstein_search_words(self, word):
        series = [0, 1, 1, 0, 4, 5, 4]
        assert native.swal_statistic(series, word) == native.refine_wasserstein(series)[0]

    @pytest.mark.parametrize("word", ["mean", "MEAN", "Mean"])
    def test_mean_word(self, word):
        series = [0, 1, 1, 0, 4, 5, 4, 5, 1]
        assert native.swal_statistic(series, word) == native.refine_cusum(series)

    def test_default_is_distribution(self):
        series = [3.0, 1.0, 0.5, 7.0, 7.5, 2.0]
        assert native.swal_statistic(series) == native.swal_statistic(series, "distribution")
        assert native.swal_statistic(series=series) == native.refine_wasserstein(series)[0]

    def test_three_values(self):
        assert native.swal_statistic([0.0, 0.0, 3.0]) in (1, 2)

    @pytest.mark.parametrize(
        ("word", "shown"),
        [
            ("Median", '"median"'),
            ("", '""'),
            (" mean", '" mean"'),
            ("mean ", '"mean "'),
            ('me"an', '"me\\"an"'),
            ("a\\b", '"a\\\\b"'),
            ("t\tr\rn\nz\0", '"t\\tr\\rn\\nz\\0"'),
            ("it's", '"it\'s"'),
            ("MÉAN", '"mÉan"'),
            ("e\u0301", '"e\\u{301}"'),
            ("\u200b\u00a0\u2028\x7f", '"\\u{200b}\\u{a0}\\u{2028}\\u{7f}"'),
            ("\U000e0001", '"\\u{e0001}"'),
        ],
    )
    def test_unknown_word_message(self, word, shown):
        with pytest.raises(ValueError) as info:
            native.swal_statistic([1.0, 2.0, 3.0], word)
        assert str(info.value) == (
            "change_type must be one of {'mean', 'var', 'distribution'}, got " + shown
        )

    def test_check_order(self):
        with pytest.raises(ValueError, match=f"^{TOO_SHORT}$"):
            native.swal_statistic([1.0, 2.0], "median")
        with pytest.raises(
            TypeError,
            match="^argument 'change_type': 'int' object cannot be converted to 'PyString'$",
        ):
            native.swal_statistic([1.0, 2.0], 5)
        with pytest.raises(ValueError, match="^series contains NaN"):
            native.swal_statistic([1.0, 2.0, math.nan], "median")

    def test_str_subclass_change_type(self):
        class Word(str):
            pass

        assert native.swal_statistic([0, 0, 3, 3], Word("MEAN")) == 2
