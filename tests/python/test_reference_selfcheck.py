"""The Python reference against hand-worked examples, so that it can serve as an oracle."""

import math
import random

import pytest

import reference as ref
from reference import bits

NAN_BITS = 0x7FF8000000000000
MAX = 1.7976931348623157e308


def same(a: float, b: float) -> bool:
    return bits(a) == bits(b)


# Prefix statistics and change types.


def test_prefix_stats_of_small_series():
    ps, pss = ref.prefix_stats([1.0, 2.0, 3.0])
    assert ps == [0.0, 1.0, 3.0, 6.0]
    assert pss == [0.0, 1.0, 5.0, 14.0]
    assert ref.prefix_stats([]) == ([0.0], [0.0])


@pytest.mark.parametrize(
    "series, start, length, expected",
    [
        ([1.0, 2.0, 3.0], 0, 3, (2.0, 1.0)),
        ([1.0, 2.0, 3.0], 1, 1, (2.0, 1e-12)),
        ([4.0, 4.0, 4.0, 4.0], 0, 4, (4.0, 1e-12)),
        ([9.0, 4.0, 4.0, 4.0, 4.0], 1, 4, (4.0, 1e-12)),
    ],
)
def test_mean_std(series, start, length, expected):
    mean, std = ref.mean_std(ref.prefix_stats(series), start, length, 1e-12)
    assert same(mean, expected[0]) and same(std, expected[1])


def test_mean_std_of_overflowing_squares_falls_back_to_floor():
    # The squares overflow to inf, inf - inf is NaN, and a NaN variance counts as 0.
    mean, std = ref.mean_std(ref.prefix_stats([1e300, 1e300, -1e300]), 0, 3, 1e-12)
    assert std == 1e-12 and mean == 1e300 / 3.0


@pytest.mark.parametrize(
    "word, parsed", [("MEAN", "mean"), ("Var", "var"), ("DISTRIBUTION", "distribution")]
)
def test_change_type_ignores_ascii_case(word, parsed):
    assert ref.parse_change_type(word) == parsed


@pytest.mark.parametrize(
    "word, shown",
    [
        (" mean", '" mean"'),
        ("mean ", '"mean "'),
        ("", '""'),
        ("Median", '"median"'),
        ('me"an', '"me\\"an"'),
    ],
)
def test_change_type_error_shows_lowered_quoted_word(word, shown):
    with pytest.raises(ValueError) as err:
        ref.parse_change_type(word)
    assert str(err.value) == (
        "change_type must be one of {'mean', 'var', 'distribution'}, got " + shown
    )


# The distance.


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([0.0], [1.0], 1.0),
        ([0.0, 1.0], [0.5], 0.5),
        ([3.0, 1.0, 2.0], [2.0, 3.0, 1.0], 0.0),
        ([-0.0, 1.0], [0.0, 1.0], 0.0),
        ([-MAX, MAX], [MAX, -MAX], 0.0),
        ([MAX], [MAX], 0.0),
        ([-MAX, -MAX, MAX], [MAX, -MAX, -MAX], 0.0),
    ],
)
def test_wasserstein_exact_values(a, b, expected):
    assert same(ref.wasserstein_statistic(a, b), expected)
    assert same(ref.wasserstein_statistic(b, a), expected)


def test_wasserstein_unequal_lengths_accumulates_steps():
    # F = 1/3 + 1/3 and G = 1/2 on [0, 1): the gap is that of the rounded running sums.
    got = ref.wasserstein_1d_sorted([0.0, 0.0, 1.0], [0.0, 1.0])
    assert same(got, (1.0 / 3.0 + 1.0 / 3.0) - 0.5)
    assert got == pytest.approx(1.0 / 6.0, rel=1e-15)


@pytest.mark.parametrize(
    "a, b", [([], [1.0]), ([1.0], []), ([], []), ([1.0, math.nan], [0.0]), ([0.0], [math.nan])]
)
def test_wasserstein_empty_or_nan_gives_quiet_nan(a, b):
    assert bits(ref.wasserstein_1d_sorted(a, b)) == NAN_BITS


def test_wasserstein_properties_on_random_samples():
    rng = random.Random(7)
    for _ in range(50):
        a = [rng.uniform(-5, 5) for _ in range(rng.randint(1, 15))]
        b = [rng.uniform(-5, 5) for _ in range(rng.randint(1, 15))]
        d = ref.wasserstein_statistic(a, b)
        assert same(d, ref.wasserstein_statistic(b, a))
        assert ref.wasserstein_statistic([x + 3.25 for x in a], [x + 3.25 for x in b]) == (
            pytest.approx(d, rel=1e-9, abs=1e-12)
        )
        lo = [x - 20.0 for x in a]
        expected = sum(b) / len(b) - sum(lo) / len(lo)
        assert ref.wasserstein_statistic(lo, b) == pytest.approx(expected, rel=1e-12)


def test_wasserstein_hits_infinity_without_nan():
    assert ref.wasserstein_statistic([-MAX], [MAX]) == math.inf


# Split searches.


def test_refine_on_three_values():
    k, stats = ref.refine_wasserstein([0.0, 0.0, 3.0])
    assert k == 2 and ref.refine_cusum([0.0, 0.0, 3.0]) == 2
    assert bits(stats[0]) == NAN_BITS
    assert same(stats[1], 1.5 * math.sqrt(2.0 / 3.0))
    assert same(stats[2], 3.0 * math.sqrt(2.0 / 3.0))


def test_refine_constant_series_keeps_first_split():
    k, stats = ref.refine_wasserstein([1.0, 1.0, 1.0])
    assert k == 1 and ref.refine_cusum([1.0, 1.0, 1.0]) == 1
    assert bits(stats[0]) == NAN_BITS and same(stats[1], 0.0) and same(stats[2], 0.0)


@pytest.mark.parametrize(
    "series, expected", [([0.0, 0.0, 0.0, 10.0, 10.0, 10.0], 3), ([5.0, 5.0, 5.0, 5.0, 9.0], 4)]
)
def test_refine_step_series(series, expected):
    for ct in ("mean", "var", "distribution"):
        assert ref.refine_for_change_type(series, ct) == expected
    _, stats = ref.refine_wasserstein(series)
    assert len(stats) == len(series)
    assert max(stats[1:]) == stats[expected]


def test_refine_ties_keep_earliest_split():
    assert ref.refine_cusum([1.0, -1.0, 1.0, -1.0]) == 1
    k, stats = ref.refine_wasserstein([0.0, 1.0, 1.0, 0.0])
    assert k == 1
    assert same(stats[1], stats[3]) and same(stats[2], 0.0)
    assert stats[1] == pytest.approx((2.0 / 3.0) * math.sqrt(0.75), rel=1e-15)


@pytest.mark.parametrize("ct", ["mean", "var", "distribution"])
@pytest.mark.parametrize("n", [0, 1, 2])
def test_refine_needs_three_points(ct, n):
    with pytest.raises(ValueError, match="^need at least 3 points$"):
        ref.refine_for_change_type([0.0] * n, ct)


def test_refine_index_range_and_var_equals_distribution():
    rng = random.Random(3)
    for _ in range(40):
        s = [float(rng.randint(-3, 3)) for _ in range(rng.randint(3, 12))]
        for ct in ("mean", "var", "distribution"):
            assert 1 <= ref.refine_for_change_type(s, ct) <= len(s) - 1
        assert ref.refine_for_change_type(s, "var") == ref.refine_for_change_type(s, "distribution")


# Generators and seeds.


def test_splitmix64_known_outputs():
    sm = ref.SplitMix64(0)
    assert [sm.next() for _ in range(4)] == [
        0xE220A8397B1DCDAF,
        0x6E789E6AA1B965F4,
        0x06C45D188009454F,
        0xF88BB8A8724C81EC,
    ]


def test_xoshiro256pp_known_outputs():
    rng = ref.Xoshiro256pp(0)
    rng.s = [1, 2, 3, 4]
    assert [rng.next() for _ in range(10)] == [
        41943041,
        58720359,
        3588806011781223,
        3591011842654386,
        9228616714210784205,
        9973669472204895162,
        14011001112246962877,
        12406186145184390807,
        15849039046786891736,
        10450023813501588000,
    ]


def test_xoshiro_is_seeded_with_four_splitmix_outputs():
    sm = ref.SplitMix64(12345)
    assert ref.Xoshiro256pp(12345).s == [sm.next() for _ in range(4)]


class ScriptedRng:
    def __init__(self, outputs):
        self.outputs = list(outputs)
        self.used = 0

    def next(self):
        self.used += 1
        return self.outputs.pop(0)


@pytest.mark.parametrize(
    "r, outputs, expected, used",
    [
        (1, [0xFFFFFFFF_FFFFFFFF], 0, 1),
        # lo = 2^32 - 3 equals the negation of 3: no correction draw.
        (3, [0xFFFFFFFF_00000000], 2, 1),
        # lo = 2^32 - 1 exceeds it; the second draw carries into hi or not.
        (3, [0x55555555_00000000, 0x80000000_00000000], 1, 2),
        (3, [0x55555555_00000000, 0x55555555_00000000], 0, 2),
        (10, [0x00000000_FFFFFFFF], 0, 1),
        # 64-bit form from R = 2^32 on.
        (1 << 32, [0xFFFFFFFF_FFFFFFFF], 0xFFFFFFFF, 1),
        (3 << 32, [0x55555555_55555555, 0x55555555_55555556], 1 << 32, 2),
        (3 << 32, [0x55555555_55555555, 0], 0xFFFFFFFF, 2),
        (3 << 32, [0x55555555_55555554], 0xFFFFFFFF, 1),
    ],
)
def test_canon_draw(r, outputs, expected, used):
    rng = ScriptedRng(outputs)
    assert ref.canon_draw(rng, r) == expected
    assert rng.used == used


def test_canon_draw_stays_in_range():
    rng = ref.Xoshiro256pp(99)
    for r in (1, 2, 3, 7, 1000, (1 << 32) - 1, 1 << 32, (1 << 40) + 3):
        for _ in range(200):
            assert 0 <= ref.canon_draw(rng, r) < r


def test_replicate_seed_forms_agree():
    rng = random.Random(11)
    for _ in range(200):
        seed, w, p, r = (
            rng.getrandbits(64),
            rng.getrandbits(64),
            rng.getrandbits(64),
            rng.getrandbits(64),
        )
        short = (
            0x6AB175C2ACDBD110 ^ seed ^ ((p * ref.C1) & ref.MASK64) ^ ((r * ref.C1) & ref.MASK64)
        )
        assert ref.replicate_seed(seed, w, p, r) == short


def test_same_left_start_gives_same_replicate_seeds():
    for r in range(5):
        assert ref.replicate_seed(123, 4, 24, r) == ref.replicate_seed(123, 6, 24, r)
    assert ref.replicate_seed(123, 4, 24, 0) != ref.replicate_seed(123, 4, 28, 0)


# Bootstrap pieces.


@pytest.mark.parametrize(
    "w, expected", [(4, 8), (16, 8), (36, 8), (37, 9), (49, 10), (50, 8), (308, 9), (1000, 13)]
)
def test_default_block_length(w, expected):
    assert ref.block_length(2 * w, None) == expected


@pytest.mark.parametrize(
    "w, b, expected", [(10, 0, 3), (10, 1, 3), (10, 2, 3), (10, 4, 4), (10, 50, 20), (1, 10, 3)]
)
def test_given_block_length(w, b, expected):
    assert ref.block_length(2 * w, b) == expected


def test_c_round_is_half_away_from_zero():
    assert ref.c_round(2.5) == 3.0 and ref.c_round(-2.5) == -3.0
    assert ref.c_round(0.49999999999999994) == 0.0 and ref.c_round(9.5) == 10.0


@pytest.mark.parametrize(
    "x, expected",
    [
        (-1.5, 0),
        (-0.0, 0),
        (math.nan, 0),
        (0.99, 0),
        (3.7, 3),
        (math.inf, 2**64 - 1),
        (1e30, 2**64 - 1),
    ],
)
def test_to_u64_truncates_and_saturates(x, expected):
    assert ref.to_u64(x) == expected


def test_taper_weights_half_ratio():
    weights, scale = ref.taper_weights(8, 0.5)
    third = 1.0 / 3.0
    assert [bits(x) for x in weights] == [
        bits(x) for x in [third, 2 * third, 1, 1, 1, 1, 2 * third, third]
    ]
    assert same(scale, math.sqrt(8.0) / math.sqrt(sum_sq(weights)))
    assert sum(x * x for x in weights) * scale * scale == pytest.approx(8.0, rel=1e-15)


def sum_sq(xs):
    s = 0.0
    for x in xs:
        s = s + x * x
    return s


def test_taper_weights_full_ratio_and_none():
    weights, _ = ref.taper_weights(8, 1.0)
    assert weights == pytest.approx([0.2, 0.4, 0.6, 0.8, 0.8, 0.6, 0.4, 0.2], rel=1e-15)
    assert same(weights[2], 3.0 * 0.2)
    flat, scale = ref.taper_weights(8, 0.0)
    assert flat == [1.0] * 8 and same(scale, 1.0)
    nine, _ = ref.taper_weights(9, 1.0)
    assert same(nine[4], 1.0) and same(nine[3], 4.0 * 0.2)


def test_taper_ratio_two_fills_whole_block_and_larger_is_refused():
    weights, _ = ref.taper_weights(8, 2.0)
    c = 1.0 / 9.0
    assert [bits(x) for x in weights] == [
        bits(x) for x in [8 * c, 7 * c, 6 * c, 5 * c, 5 * c, 6 * c, 7 * c, 8 * c]
    ]
    with pytest.raises(ValueError):
        ref.taper_weights(8, 2.5)


def test_quantile_interpolates_with_one_fma():
    assert same(ref.quantile([5.0, 1.0, 4.0, 2.0, 3.0], 0.9), 4.6)
    ten = [float(v) for v in (9, 2, 7, 4, 5, 6, 3, 8, 1, 10)]
    assert same(ref.quantile(ten, 0.5), 5.5)
    assert same(ref.quantile(ten, 1.0), 10.0) and same(ref.quantile(ten, 0.0), 1.0)
    # NaN level reads index 0.
    assert same(ref.quantile(ten, math.nan), 1.0)


def test_quantile_of_zero_and_one_distance():
    assert bits(ref.quantile([], 0.5)) == NAN_BITS
    assert same(ref.quantile([2.5], 0.3), 2.5) and same(ref.quantile([2.5], math.nan), 2.5)


def test_quantile_differs_from_plain_interpolation_by_fma():
    # Find inputs where fma and the two-rounding form disagree, to show the fused form is used.
    rng = random.Random(5)
    found = False
    for _ in range(2000):
        d = [rng.random() for _ in range(7)]
        q = rng.random()
        got = ref.quantile(d, q)
        s = sorted(d)
        h = 6.0 * q
        lo = math.floor(h)
        f = h - lo
        if lo + 1 < 7:
            plain = s[lo] * (1.0 - f) + f * s[lo + 1]
            assert got == pytest.approx(plain, rel=1e-15)
            found = found or not same(got, plain)
    assert found


def test_quantile_level_bonferroni_and_alpha_rescaling():
    assert ref.alpha_percent(1.0) == 100.0 and ref.alpha_percent(0.05) == 5.0
    assert ref.alpha_percent(5.0) == 5.0 and ref.alpha_percent(1.5) == 1.5
    assert math.isnan(ref.alpha_percent(math.nan))
    assert same(ref.quantile_level(100.0, 4), min(100.0, 100.0 - 25.0) * 0.01)
    assert ref.quantile_level(1000.0, 2) == 0.0 and ref.quantile_level(-50.0, 2) == 1.0
    assert math.isnan(ref.quantile_level(math.nan, 3))


# Per-window detection.


def series_step(n_left, n_right, lo=0.0, hi=5.0, seed=1):
    rng = random.Random(seed)
    return [lo + rng.gauss(0, 1) for _ in range(n_left)] + [
        hi + rng.gauss(0, 1) for _ in range(n_right)
    ]


@pytest.mark.parametrize(
    "flagged, regions",
    [
        ([], []),
        ([2], [(20, 40)]),
        ([2, 3], [(20, 50)]),
        ([2, 4], [(20, 40), (40, 60)]),
        ([5, 6, 7], [(50, 80), (70, 90)]),
        ([0, 1, 2, 3], [(0, 30), (20, 50)]),
    ],
)
def test_localized_regions(flagged, regions):
    assert ref.localized_regions(flagged, 10) == regions


def test_too_short_series_gives_empty_window():
    empty = ref.detect_for_window([1.0, 2.0, 3.0, 4.0, 5.0], 3, n_perm=5)
    assert empty == ref._empty_window()
    assert ref.detect_for_window([1.0, 2.0, 3.0], 0) == ref._empty_window()
    assert ref.detect_for_window([1.0, 2.0, 3.0], 2**64 - 1) == ref._empty_window()


@pytest.mark.parametrize("n, w, starts", [(8, 4, [0]), (10, 4, [0]), (13, 4, [0, 4])])
def test_positions(n, w, starts):
    res = ref.detect_for_window([float(i % 3) for i in range(n)], w, n_perm=3)
    assert res["starts"] == starts
    assert len(res["statistics"]) == len(starts) == len(res["tapered_block_bootstrap_threshold"])


def test_zero_replicates_flag_nothing():
    res = ref.detect_for_window(series_step(40, 40), 8, n_perm=0)
    assert len(res["starts"]) == 9
    assert all(bits(t) == NAN_BITS for t in res["tapered_block_bootstrap_threshold"])
    assert res["change_points"] == [] and res["localized_regions"] == []


@pytest.mark.parametrize("w, b", [(2, None), (3, None), (1, 10), (1, None)])
def test_block_longer_than_reference_fails_the_window(w, b):
    with pytest.raises(ValueError, match="^reference series is shorter than block length$"):
        ref.detect_for_window([float(i) for i in range(12)], w, n_perm=3, b=b)


def test_block_equal_to_reference_is_accepted():
    ref.detect_for_window([float(i % 5) for i in range(12)], 4, n_perm=3)


def test_refresh_rule_and_strict_flagging(monkeypatch):
    calls = []

    def fixed_threshold(series, prefix, p, *args):
        calls.append(p)
        return 1.0

    monkeypatch.setattr(ref, "bootstrap_threshold", fixed_threshold)
    # w = 2 with constant windows at levels 0, 0, 2, 2, 3, 5: statistics 0, 2, 0, 1, 2, so the
    # positions are flagged no, yes, no, no, yes (1.0 equals the threshold and is not flagged).
    levels = [0.0, 0.0, 2.0, 2.0, 3.0, 5.0]
    res = ref.detect_for_window([v for v in levels for _ in range(2)], 2, n_perm=1)
    assert res["statistics"] == [0.0, 2.0, 0.0, 1.0, 2.0]
    assert calls == [0, 4]
    assert res["localized_regions"] == [(2, 6), (8, 12)]
    assert res["change_points"] == [4, 10]


def test_constant_windows_threshold_is_zero():
    same_level = ref.detect_for_window([3.0] * 16, 8, n_perm=5)
    assert same_level["tapered_block_bootstrap_threshold"] == [0.0]
    assert same_level["localized_regions"] == []
    step = ref.detect_for_window([3.0] * 8 + [5.0] * 8, 8, n_perm=5)
    assert step["tapered_block_bootstrap_threshold"] == [0.0]
    assert step["localized_regions"] == [(0, 16)] and step["change_points"] == [8]


def test_change_points_lie_inside_regions():
    s = series_step(60, 60, seed=4) + series_step(60, 0, lo=-4.0, seed=5)
    for w in (5, 8, 13):
        res = ref.detect_for_window(s, w, n_perm=20, alpha_q=0.5)
        assert len(res["change_points"]) == len(res["localized_regions"])
        for cp, (a, e) in zip(res["change_points"], res["localized_regions"], strict=True):
            assert a < cp < e
    assert 60 in ref.detect_for_window(s, 10, n_perm=30)["change_points"]


def test_first_replicates_do_not_depend_on_their_number():
    z = [0.1 * i for i in range(20)]
    weights, scale = ref.taper_weights(8, 0.5)
    d = ref.tbb_distances(z, 10, 8, weights, scale, 7, 0, 64)
    e = ref.tbb_distances(z, 10, 8, weights, scale, 7, 0, 63)
    assert d[:63] == e and len(set(d)) > 10


@pytest.mark.parametrize("low, high", [(0.05, 5.0), (1.0, 100.0), (0.5, 50.0)])
def test_alpha_fraction_and_percent_agree(low, high):
    s = series_step(50, 50, seed=9)
    assert ref.detect_for_window(s, 10, n_perm=10, alpha_q=low) == ref.detect_for_window(
        s, 10, n_perm=10, alpha_q=high
    )


# Aggregation.


def test_votes_and_segments_example():
    segs = ref.compute_change_points_with_votes({5: [10, 12], 10: [11, 40], 20: [12]}, 2)
    assert segs == {
        "segment_1": {
            "points": [10, 11, 12],
            "point_votes": {10: 1, 11: 1, 12: 2},
            "segment_votes": 4,
        },
        "segment_2": {"points": [40], "point_votes": {40: 1}, "segment_votes": 1},
    }
    out = ref.cdf_from_segment_votes(segs, 3)
    assert out["leaders_segment_votes"] == {12: 4, 40: 1}
    assert out["leaders_scores"] == {12: 1.0, 40: 0.3333333333333333}
    assert out["leaders_probs"] == {12: 0.75, 40: 0.25}
    assert out["cdf"] == [(12, 0.75), (40, 1.0)]


@pytest.mark.parametrize(
    "points, tol, groups",
    [
        ([10, 12, 14], 2, [[10, 12, 14]]),
        ([10, 13], 2, [[10], [13]]),
        ([10, 12], 2, [[10, 12]]),
        ([10, 11, 12], 0, [[10], [11], [12]]),
    ],
)
def test_segment_chaining(points, tol, groups):
    segs = ref.compute_change_points_with_votes({7: points}, tol)
    assert [segs[f"segment_{i + 1}"]["points"] for i in range(len(segs))] == groups


def test_votes_count_windows_not_repeats():
    segs = ref.compute_change_points_with_votes({3: [7, 7]}, 2)
    assert segs["segment_1"]["point_votes"] == {7: 1}
    assert ref.compute_change_points_with_votes({}, 2) == {}
    assert ref.compute_change_points_with_votes({3: [], 4: []}, 2) == {}


def test_twelve_segments_named_in_position_order():
    segs = ref.compute_change_points_with_votes({1: [10 * i for i in range(1, 13)]}, 2)
    assert sorted(segs) == ["segment_1", "segment_10", "segment_11", "segment_12"] + [
        f"segment_{i}" for i in range(2, 10)
    ]
    assert segs["segment_12"]["points"] == [120]


def test_leader_ties_pick_smallest():
    out = ref.cdf_from_segment_votes(
        {"segment_1": {"points": [10, 11], "point_votes": {10: 2, 11: 2}, "segment_votes": 4}}, 4
    )
    assert list(out["leaders_scores"]) == [10]


def one(p, v):
    return {"points": [p], "point_votes": {p: v}, "segment_votes": v}


def test_probabilities_use_reciprocal():
    segs = {"segment_1": one(1, 1), "segment_2": one(5, 1), "segment_3": one(9, 3)}
    out = ref.cdf_from_segment_votes(segs, 4)
    assert out["leaders_scores"] == {1: 0.25, 5: 0.25, 9: 0.75}
    assert [bits(v) for v in out["leaders_probs"].values()] == [
        bits(0.2),
        bits(0.2),
        bits(0.6000000000000001),
    ]
    assert [bits(c) for _, c in out["cdf"]] == [bits(0.2), bits(0.4), bits(1.0)]


@pytest.mark.parametrize(
    "votes, windows, prob", [(7, 9, 0.9999999999999999), (9, 9, 1.0), (20, 9, 1.0)]
)
def test_single_segment_probability(votes, windows, prob):
    out = ref.cdf_from_segment_votes({"segment_1": one(3, votes)}, windows)
    assert same(out["leaders_probs"][3], prob)
    assert out["cdf"] == [(3, prob)]
    assert out["leaders_scores"][3] == min(votes / windows, 1.0)


def test_zero_windows_is_an_error():
    with pytest.raises(ValueError, match="^number of windows must be positive$"):
        ref.cdf_from_segment_votes({}, 0)
    assert ref.cdf_from_segment_votes({}, 2) == {
        "leaders_segment_votes": {},
        "leaders_scores": {},
        "leaders_probs": {},
        "cdf": [],
    }


# Multi-window result.


def test_scan_detector_defaults_on_short_series():
    res = ref.scan_detector([1.0, 2.0, 3.0, 4.0, 5.0], n_perm=3)
    assert list(res) == ["cp_dict", "window_results", "out"]
    assert list(res["cp_dict"]) == list(range(10, 21)) == list(res["window_results"])
    assert all(v == ref._empty_window() for v in res["window_results"].values())
    assert list(res["out"]) == ["leaders_segment_votes", "leaders_scores", "leaders_probs", "cdf"]
    assert res["out"]["cdf"] == []


def test_scan_detector_duplicates_and_order():
    s = series_step(40, 40, seed=2)
    res = ref.scan_detector(s, [20, 10, 20], n_perm=10)
    assert list(res["cp_dict"]) == [10, 20] == list(res["window_results"])
    for w in (10, 20):
        assert res["cp_dict"][w] == res["window_results"][w]["change_points"]
        assert res["window_results"][w] == ref.detect_for_window(s, w, n_perm=10)
    votes = sum(res["out"]["leaders_segment_votes"].values())
    assert (
        res["out"]["leaders_scores"]
        == {p: min(v / 2, 1.0) for p, v in res["out"]["leaders_segment_votes"].items()}
        and votes >= 1
    )


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"series": [1.0, 2.0]}, "series must contain at least 3 values"),
        ({"series": [1.0, math.nan, 2.0], "window_sizes": []}, "series contains NaN"),
        ({"window_sizes": []}, "window_sizes must not be empty"),
        ({"window_sizes": [5, 0, 7]}, "window_sizes must be positive, got 0"),
        ({"backend": "threads", "change_type": "median"}, "backend must be 'thread' or 'process'."),
        ({"change_type": "median"}, "change_type must be one of"),
        ({"window_sizes": [10, 2, 3]}, "reference series is shorter than block length"),
    ],
)
def test_scan_detector_check_order(kwargs, message):
    kwargs.setdefault("series", [1.0, 2.0, 3.0, 4.0])
    with pytest.raises(ValueError) as err:
        ref.scan_detector(n_perm=2, **kwargs)
    assert str(err.value).startswith(message)
