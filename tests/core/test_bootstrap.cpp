// Tapered block bootstrap: generators, draws, block lengths, taper, seeds, quantile and threshold.
// Constants marked "reference" come from the independent Python model at the end of this file
// (python3.13: big-int generators, IEEE doubles, math.fma), not from this code.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <optional>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/rng.hpp"
#include "core/stats.hpp"
#include "core/wasserstein.hpp"
#include "tests/core/threshold_at.hpp"

namespace vollan {
namespace {

// The window-level inputs of one threshold, set field by field as the cases need them.
using test_support::ThresholdArgs;
using test_support::threshold_at;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(Generators, SplitMix64AndXoshiroMatchPublishedVectors) {
    SplitMix64 sm{0};
    for (std::uint64_t want : {0xe220a8397b1dcdafull, 0x6e789e6aa1b965f4ull, 0x06c45d188009454full,
                               0xf88bb8a8724c81ecull, 0x1b39896a51a8749bull}) {
        EXPECT_EQ(sm.next(), want);
    }
    Xoshiro256pp x{{1, 2, 3, 4}};
    for (std::uint64_t want :
         {41943041ull, 58720359ull, 3588806011781223ull, 3591011842654386ull,
          9228616714210784205ull, 9973669472204895162ull, 14011001112246962877ull,
          12406186145184390807ull, 15849039046786891736ull, 10450023813501588000ull}) {
        EXPECT_EQ(x.next(), want);
    }
    // Seeding takes the first four SplitMix64 outputs as s0..s3 (reference).
    Xoshiro256pp g = Xoshiro256pp::from_seed(0x0123456789abcdefull);
    EXPECT_EQ(g.s[0], 0x157a3807a48faa9dull);
    EXPECT_EQ(g.s[1], 0xd573529b34a1d093ull);
    EXPECT_EQ(g.s[2], 0x2f90b72e996dccbeull);
    EXPECT_EQ(g.s[3], 0xa2d419334c4667ecull);
    EXPECT_EQ(g.next(), 0xb2f2a310e96bd1c5ull);
    EXPECT_EQ(g.next(), 0xb54062465b950493ull);
}

// Eight draws from one generator, then its next raw output, which shows how many outputs the draws
// consumed (one, or two with the correction step). Reference; the 2^32 - 1, 2^63 + 5, 2^64 - 1 and
// 3 * 2^62 rows take the correction step and carry into hi.
struct CanonCase {
    std::uint64_t seed;
    std::uint64_t range;
    std::uint64_t draws[8];
    std::uint64_t next_output;
};

TEST(Generators, CanonDrawMatches128BitReference) {
    const CanonCase cases[] = {
        {0xd1a6e55e9b9b1325ull, 1ull, {0, 0, 0, 0, 0, 0, 0, 0}, 0x7147d4b77132a5deull},
        {0x566bf9d7c55a45f8ull, 2ull, {1, 1, 1, 1, 1, 0, 0, 0}, 0xc673e9c169ed0351ull},
        {0xcf0c26ef4243ed52ull, 3ull, {1, 1, 0, 0, 2, 0, 1, 1}, 0xe4b1e7cac320f974ull},
        {0x5d96cf7f265beda9ull, 7ull, {4, 1, 6, 3, 5, 1, 3, 6}, 0x6c0fdeb5f4974036ull},
        {0xc1d77cffb7decc0cull, 1000ull, {270, 511, 679, 102, 989, 996, 319, 843},
         0xab23bc612ca0cb0bull},
        {0x5e6a0a2edd70e34dull, 2147483649ull,
         {830768047ull, 144009164ull, 637792491ull, 357302286ull, 1389071478ull, 902664404ull,
          441628863ull, 1886980663ull},
         0x81e16fd0e0ae9955ull},
        {0x0463513755ac0ecdull, 4294967295ull,
         {3487255633ull, 2277296513ull, 3712089403ull, 3366413851ull, 3790709832ull,
          2815711927ull, 3787282701ull, 474945541ull},
         0xc092275efd42a1dcull},
        {0xb37523a53b4a3ee2ull, 4294967296ull,
         {1497746168ull, 1149512628ull, 1020413755ull, 3168983136ull, 3874850870ull,
          1407354181ull, 2103644089ull, 2222390126ull},
         0x5d53df9100bbee6cull},
        {0x4de45321ad915a36ull, 4294967297ull,
         {2558900686ull, 2861139557ull, 3254995780ull, 847002497ull, 832870120ull, 4259895649ull,
          2831158355ull, 2639116051ull},
         0xe8263e5ebe95dc8bull},
        {0x9823beb1e6ba3ad7ull, 9223372036854775813ull,
         {2351415266947173753ull, 3016806899055197786ull, 439921587176111399ull,
          3393974598229890264ull, 8393366201924551888ull, 2004643964198198060ull,
          7544506329770083ull, 3523586645558512757ull},
         0x29ee835345806429ull},
        {0xdd4eabbd1fcfb980ull, 18446744073709551615ull,
         {18221255383577509982ull, 15856111102658384925ull, 10844433691720795490ull,
          8324723629933023754ull, 3613664233560634029ull, 7031087638757649402ull,
          1651292006278815931ull, 14204965853525456467ull},
         0x4a348a0de3980703ull},
        {0x683447c10cc8af11ull, 13835058055282163712ull,
         {1830418526593823501ull, 11311800212062878914ull, 3075801242230281295ull,
          11517603588694183094ull, 6345439891983149973ull, 2860449525585576238ull,
          3543971784920414369ull, 9353231579234957247ull},
         0x5c3910e6a835c316ull},
    };
    for (const CanonCase& c : cases) {
        SCOPED_TRACE(c.range);
        Xoshiro256pp g = Xoshiro256pp::from_seed(c.seed);
        for (std::uint64_t want : c.draws) EXPECT_EQ(canon_draw(g, c.range), want);
        EXPECT_EQ(g.next(), c.next_output);
    }
}

TEST(Conversions, DoubleToU64Saturates) {
    EXPECT_EQ(double_to_u64_saturating(std::nan("")), 0u);
    EXPECT_EQ(double_to_u64_saturating(-1.0), 0u);
    EXPECT_EQ(double_to_u64_saturating(-0.0), 0u);
    EXPECT_EQ(double_to_u64_saturating(-std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(double_to_u64_saturating(0.99), 0u);
    EXPECT_EQ(double_to_u64_saturating(2.5), 2u);
    EXPECT_EQ(double_to_u64_saturating(9223372036854775808.0), 9223372036854775808ull);
    EXPECT_EQ(double_to_u64_saturating(18446744073709549568.0), 18446744073709549568ull);
    EXPECT_EQ(double_to_u64_saturating(18446744073709551616.0), kMax);
    EXPECT_EQ(double_to_u64_saturating(1e300), kMax);
    EXPECT_EQ(double_to_u64_saturating(std::numeric_limits<double>::infinity()), kMax);
}

TEST(BlockLength, DefaultRuleAndRequestedLength) {
    const std::pair<std::uint64_t, std::uint64_t> by_window[] = {
        {4, 8}, {16, 8}, {36, 8}, {37, 9}, {49, 10}, {50, 8}, {308, 9}, {1000, 13}};
    for (auto [w, want] : by_window) EXPECT_EQ(block_length(2 * w, std::nullopt), want) << w;
    // The floor may exceed L; the threshold rejects that.
    EXPECT_EQ(block_length(4, std::nullopt), 8u);
    for (std::uint64_t b : {0, 1, 2}) EXPECT_EQ(block_length(100, b), 3u);
    EXPECT_EQ(block_length(100, 4), 4u);
    EXPECT_EQ(block_length(20, 50), 20u);
    EXPECT_EQ(block_length(2, 10), 3u);
    EXPECT_EQ(block_length(kMax - 1, kMax), kMax - 1);
}

TEST(TaperWeights, WorkedExamples) {
    auto half = make_taper_weights(8, 0.5);
    ASSERT_TRUE(half);
    const double third = 1.0 / 3.0;
    const std::vector<double> want_half = {third, 2.0 * third, 1, 1, 1, 1, 2.0 * third, third};
    ASSERT_EQ(half->weights.size(), 8u);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(bits(half->weights[k]), bits(want_half[k])) << k;
    EXPECT_EQ(bits(half->taper_scale), 0x3ff4047342eb7eb4ull);  // reference

    auto full = make_taper_weights(8, 1.0);
    ASSERT_TRUE(full);
    const double ramp[] = {0.2, 0.4, 0.6000000000000001, 0.8};  // (k + 1) * 0.2, reference
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(bits(full->weights[k]), bits(ramp[k])) << k;
        EXPECT_EQ(bits(full->weights[7 - k]), bits(ramp[k])) << k;
    }
    EXPECT_EQ(bits(full->taper_scale), 0x3ffd363d1848dcbfull);  // reference

    auto flat = make_taper_weights(8, 0.0);
    ASSERT_TRUE(flat);
    for (double v : flat->weights) EXPECT_EQ(bits(v), bits(1.0));
    EXPECT_EQ(bits(flat->taper_scale), bits(1.0));

    auto odd = make_taper_weights(9, 1.0);
    ASSERT_TRUE(odd);
    EXPECT_EQ(bits(odd->weights[4]), bits(1.0));
    EXPECT_EQ(bits(odd->weights[3]), bits(4.0 * 0.2));
    EXPECT_EQ(bits(odd->weights[5]), bits(4.0 * 0.2));
    EXPECT_EQ(bits(odd->taper_scale), 0x3ffa081a89bc7e07ull);  // reference
}

TEST(TaperWeights, OverlappingRampsAndOddRatios) {
    // Ratio 2 gives t = block_len: the ramps cover each other and the later writes win.
    auto both = make_taper_weights(8, 2.0);
    ASSERT_TRUE(both);
    const double c = 1.0 / 9.0;
    const double want[] = {8 * c, 7 * c, 6 * c, 5 * c, 5 * c, 6 * c, 7 * c, 8 * c};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(bits(both->weights[k]), bits(want[k])) << k;
    EXPECT_EQ(bits(both->taper_scale), 0x3ff5d54e253cca25ull);  // reference
    // Slightly above 2 still floors to t = block_len here.
    EXPECT_TRUE(make_taper_weights(8, 2.1));
    // NaN and negative ratios saturate to t = 0: no taper.
    for (double r : {std::nan(""), -1.0, -std::numeric_limits<double>::infinity()}) {
        auto w = make_taper_weights(8, r);
        ASSERT_TRUE(w) << r;
        for (double v : w->weights) EXPECT_EQ(bits(v), bits(1.0));
        EXPECT_EQ(bits(w->taper_scale), bits(1.0));
    }
    auto too_long = make_taper_weights(8, 2.5);
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error(),
              "taper_ratio must be at most 2 (got 2.5): taper ramps of 10 values do not fit in a "
              "block of 8 values");
    auto infinite = make_taper_weights(20, std::numeric_limits<double>::infinity());
    ASSERT_FALSE(infinite);
    EXPECT_NE(infinite.error().find("(got inf)"), std::string::npos) << infinite.error();
    EXPECT_FALSE(make_taper_weights(20, 2.1));  // t = 21 > 20
}

TEST(Seeds, BothFormsAgreeAndDependOnLeftStartOnly) {
    std::mt19937_64 gen(42);
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t seed = gen(), w = gen() >> (i % 64), p = gen(), r = gen() >> (i % 60);
        const std::uint64_t short_form = 0x6ab175c2acdbd110ull ^ seed ^
                                         (p * 0xbf58476d1ce4e5b9ull) ^ (r * 0xbf58476d1ce4e5b9ull);
        EXPECT_EQ(replicate_seed(position_seed(seed, w, p), w, r), short_form);
    }
    // w = 4, i = 6 and w = 6, i = 4 share p = 24 and hence every replicate's generator.
    EXPECT_NE(position_seed(123, 4, 24), position_seed(123, 6, 24));
    for (std::uint64_t r : {0ull, 1ull, 63ull, 299ull}) {
        EXPECT_EQ(replicate_seed(position_seed(123, 4, 24), 4, r),
                  replicate_seed(position_seed(123, 6, 24), 6, r));
    }
    EXPECT_EQ(window_seed(0, 0), 0x3903fa2331f06e58ull);
    EXPECT_EQ(position_seed(0, 0, 1), 0x3903fa2331f06e58ull ^ 0xbf58476d1ce4e5b9ull);
}

TEST(Quantile, WorkedExamplesAndEdges) {
    std::vector<double> five = {5, 1, 4, 2, 3};
    const double t = interpolated_quantile(five, 0.9);
    EXPECT_EQ(bits(t), bits(std::fma(4.0, 1.0 - (3.6 - 3.0), (3.6 - 3.0) * 5.0)));
    EXPECT_DOUBLE_EQ(t, 4.6);

    std::vector<double> ten = {10, 3, 8, 1, 6, 5, 9, 2, 7, 4};
    EXPECT_EQ(bits(interpolated_quantile(ten, 0.5)), bits(5.5));

    std::vector<double> none;
    EXPECT_EQ(bits(interpolated_quantile(none, 0.5)), kQuietNanBits);
    std::vector<double> one = {-0.25};
    EXPECT_EQ(bits(interpolated_quantile(one, 0.9)), bits(-0.25));

    for (double q : {0.0, 1.0, std::nan("")}) {
        std::vector<double> v = {3, -1, 7, 2, 7, 0.5};
        EXPECT_EQ(interpolated_quantile(v, q), q == 1.0 ? 7.0 : -1.0) << q;
    }
    // NaN distances are ordered, not undefined behaviour: positive NaN sorts last.
    std::vector<double> with_nan = {1, std::nan(""), 3};
    EXPECT_EQ(interpolated_quantile(with_nan, 0.0), 1.0);
    with_nan = {1, std::nan(""), 3};
    EXPECT_TRUE(std::isnan(interpolated_quantile(with_nan, 1.0)));
}

TEST(Quantile, SelectionEqualsFullSortOnRandomInput) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> val(-5, 5), level(0, 1);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<double> v(2 + gen() % 40);
        for (double& x : v) x = (gen() % 4 == 0) ? std::round(val(gen)) : val(gen);
        const double q = level(gen);
        std::vector<double> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        const double h = static_cast<double>(v.size() - 1) * q;
        const std::size_t lo = static_cast<std::size_t>(std::floor(h));
        const std::size_t hi = static_cast<std::size_t>(std::ceil(h));
        const double f = h - static_cast<double>(lo);
        const double want =
            lo == hi ? sorted[lo] : std::fma(sorted[lo], 1.0 - f, f * sorted[lo + 1]);
        EXPECT_EQ(bits(interpolated_quantile(v, q)), bits(want));
    }
}

TEST(Replicates, MatchReferenceAndDependOnlyOnTheirIndex) {
    // Reference: L = 12, block length 8, 5 block starts, the second block cut to 4 values.
    const std::vector<double> z = {-0.256, 0.511,  -0.226, -0.315, -0.93, -0.213,
                                   1.112,  0.424,  1.037,  0.249,  0.395, 0.185};
    auto taper = make_taper_weights(8, 0.5);
    ASSERT_TRUE(taper);
    std::vector<double> d = {9.0};
    tbb_distances_into(z, 6, 8, *taper, position_seed(123, 6, 0), 5, d);
    const std::uint64_t want[] = {0x3fd75ccd852be13eull, 0x3fe72cf9801c0750ull,
                                  0x3fc66ff0784b17afull, 0x3fd75ccd852be13eull,
                                  0x3fe1196b5561a091ull};
    ASSERT_EQ(d.size(), 5u);
    for (int r = 0; r < 5; ++r) EXPECT_EQ(bits(d[r]), want[r]) << r;

    // 63 replicates run inline, 64 on the pool: the shared indices agree bit for bit.
    std::vector<double> inline_run, pooled;
    tbb_distances_into(z, 6, 8, *taper, 0xfeedull, 63, inline_run);
    tbb_distances_into(z, 6, 8, *taper, 0xfeedull, 64, pooled);
    ASSERT_EQ(pooled.size(), 64u);
    for (int r = 0; r < 63; ++r) EXPECT_EQ(bits(inline_run[r]), bits(pooled[r])) << r;
    for (int r = 0; r < 5; ++r) EXPECT_EQ(bits(pooled[r]), bits(inline_run[r]));

    tbb_distances_into(z, 6, 8, *taper, 123, 0, d);
    EXPECT_TRUE(d.empty());
}

TEST(Replicates, UnallocatableReplicateCountThrows) {
    const std::vector<double> z(8, 0.0);
    auto taper = make_taper_weights(8, 0.5);
    ASSERT_TRUE(taper);
    std::vector<double> d;
    // 2^62 doubles exceed what a vector can describe; 2^59 exceed the address space.
    EXPECT_THROW(tbb_distances_into(z, 4, 8, *taper, 1, 1ull << 62, d), std::length_error);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reports a failed huge allocation instead of throwing";
#else
    EXPECT_THROW(tbb_distances_into(z, 4, 8, *taper, 1, 1ull << 59, d), std::bad_alloc);
#endif
}

struct ThresholdCase {
    std::uint64_t p, w, n_perm;
    double q;
    std::uint64_t seed;
    bool center;
    std::optional<std::uint64_t> b;
    double taper_ratio;
    std::uint64_t want_bits;
};

TEST(Threshold, MatchesReferenceEndToEnd) {
    const std::vector<double> x = {
        -1.666, 0.855,  0.506, 0.499,  -1.691, -1.744, -0.89,  -0.468, 0.305, -0.046,
        0.521,  -0.642, 0.309, 0.394,  -0.661, 1.718,  0.557,  1.197,  -0.62, -0.74,
        -0.344, -0.106, 0.632, 0.248,  -0.447, 2.043,  2.479,  4.221,  2.192, 3.245};
    const PrefixStats prefix = PrefixStats::from_series(x);
    const ThresholdCase cases[] = {
        {10, 10, 70, 0.9, 123, true, std::nullopt, 0.5, 0x3ff0ab70e0b8803full},
        {10, 10, 9, 0.5, 5, false, 5, 1.0, 0x3fe26f32f026367cull},
        {4, 12, 64, 0.95, kMax, true, std::nullopt, 2.0, 0x3fe940c942d55b58ull},
        {3, 9, 20, 1.0, 99, true, 18, 0.0, 0x3fd3c8c6f4cc571full},
    };
    for (const ThresholdCase& c : cases) {
        SCOPED_TRACE(c.n_perm);
        ThresholdArgs params;
        params.w = c.w;
        params.n_perm = c.n_perm;
        params.quantile_level = c.q;
        params.seed = c.seed;
        params.center = c.center;
        params.b = c.b;
        params.taper_ratio = c.taper_ratio;
        BootstrapWorkspace ws;
        auto t = threshold_at(x, prefix, c.p, params, ws);
        ASSERT_TRUE(t) << t.error();
        EXPECT_EQ(bits(*t), c.want_bits) << *t;
        ASSERT_EQ(ws.distances.size(), c.n_perm);
    }
}

TEST(Threshold, LengthAndTaperErrors) {
    const std::vector<double> x = {1, 5, 2, 8, 3, 9, 4, 7, 6, 0};
    const PrefixStats prefix = PrefixStats::from_series(x);
    ThresholdArgs params;
    params.n_perm = 3;
    params.quantile_level = 0.5;
    BootstrapWorkspace ws;
    const std::string too_short = "reference series is shorter than block length";
    ASSERT_EQ(too_short.size(), 45u);

    params.w = 2;
    EXPECT_EQ(threshold_at(x, prefix, 0, params, ws).error(), too_short);
    params.taper_ratio = 2.5;  // both faults: the length error is reported
    EXPECT_EQ(threshold_at(x, prefix, 0, params, ws).error(), too_short);
    params.w = 1;
    params.b = 10;
    params.taper_ratio = 0.5;
    EXPECT_EQ(threshold_at(x, prefix, 0, params, ws).error(), too_short);

    params.w = 4;
    params.b.reset();
    EXPECT_TRUE(threshold_at(x, prefix, 0, params, ws));
    params.taper_ratio = 2.5;
    auto bad = threshold_at(x, prefix, 0, params, ws);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().rfind("taper_ratio must be at most 2 (got 2.5)", 0), 0u) << bad.error();
}

TEST(Threshold, TaperCacheIsKeyedBitForBit) {
    const std::vector<double> x = {1, 5, 2, 8, 3, 9, 4, 7, 6, 0};
    const PrefixStats prefix = PrefixStats::from_series(x);
    ThresholdArgs params;
    params.w = 4;
    params.n_perm = 2;
    params.taper_ratio = 0.0;
    BootstrapWorkspace ws;
    ASSERT_TRUE(threshold_at(x, prefix, 0, params, ws));
    ASSERT_TRUE(ws.taper);
    const double* first = ws.taper->weights.data();
    ASSERT_TRUE(threshold_at(x, prefix, 2, params, ws));
    EXPECT_EQ(ws.taper->weights.data(), first);  // reused, not rebuilt
    params.taper_ratio = -0.0;                      // equal by value, different key
    ASSERT_TRUE(threshold_at(x, prefix, 0, params, ws));
    EXPECT_EQ(bits(ws.taper->taper_ratio), bits(-0.0));
}

TEST(Threshold, ConstantWindowsGiveZero) {
    const std::vector<double> x = {2, 2, 2, 2, 7, 7, 7, 7};
    const PrefixStats prefix = PrefixStats::from_series(x);
    ThresholdArgs params;
    params.w = 4;
    params.n_perm = 70;
    params.quantile_level = 0.75;
    BootstrapWorkspace ws;
    auto t = threshold_at(x, prefix, 0, params, ws);
    ASSERT_TRUE(t);
    EXPECT_EQ(bits(*t), bits(0.0));
    for (double d : ws.distances) EXPECT_EQ(bits(d), bits(0.0));
}

TEST(Threshold, SingleReplicateAndOverflowingSums) {
    const std::vector<double> x = {1, 5, 2, 8, 3, 9, 4, 7};
    const PrefixStats prefix = PrefixStats::from_series(x);
    ThresholdArgs params;
    params.w = 4;
    params.n_perm = 1;
    params.quantile_level = 0.3;
    BootstrapWorkspace ws;
    auto t = threshold_at(x, prefix, 0, params, ws);
    ASSERT_TRUE(t);
    ASSERT_EQ(ws.distances.size(), 1u);
    EXPECT_EQ(bits(*t), bits(ws.distances[0]));
    EXPECT_GT(*t, 0.0);

    params.n_perm = 0;
    EXPECT_EQ(bits(*threshold_at(x, prefix, 0, params, ws)), kQuietNanBits);

    // Finite values whose sums overflow: NaN moments, a NaN reference and a NaN threshold.
    const std::vector<double> huge(8, 1e308);
    const PrefixStats huge_prefix = PrefixStats::from_series(huge);
    params.n_perm = 1;
    auto nan_t = threshold_at(huge, huge_prefix, 0, params, ws);
    ASSERT_TRUE(nan_t);
    EXPECT_TRUE(std::isnan(*nan_t));
}

}  // namespace
}  // namespace vollan

/* Generator of the reference constants (python3.13; ints are exact, floats are IEEE doubles):

M64 = (1 << 64) - 1
C1, C2 = 0xbf58476d1ce4e5b9, 0x94d049bb133111eb

def splitmix(state):
    while True:
        state = (state + 0x9e3779b97f4a7c15) & M64
        z = state
        z = ((z ^ (z >> 30)) * 0xbf58476d1ce4e5b9) & M64
        z = ((z ^ (z >> 27)) * 0x94d049bb133111eb) & M64
        yield z ^ (z >> 31)

def rotl(x, k): return ((x << k) | (x >> (64 - k))) & M64

class Xoshiro:
    def __init__(self, s): self.s = list(s)
    @classmethod
    def from_seed(cls, seed):
        g = splitmix(seed); return cls([next(g) for _ in range(4)])
    def next(self):
        s = self.s
        res = (rotl((s[0] + s[3]) & M64, 23) + s[0]) & M64
        t = (s[1] << 17) & M64
        s[2] ^= s[0]; s[3] ^= s[1]; s[1] ^= s[2]; s[0] ^= s[3]; s[2] ^= t
        s[3] = rotl(s[3], 45)
        return res

def canon(rng, R):
    bits = 32 if R < (1 << 32) else 64
    word = lambda: rng.next() >> (64 - bits)
    m = word() * R
    hi, lo = m >> bits, m & ((1 << bits) - 1)
    if lo > (1 << bits) - R and lo + ((word() * R) >> bits) >= (1 << bits):
        hi += 1
    return hi

def sat_u64(v): return 0 if not (v > 0) else M64 if v >= 2.0 ** 64 else int(v)

def block_length(L, b=None):
    if b is not None: return max(min(b, L), 3)
    f = math.sqrt(L) if L < 100 else math.pow(L, 0.3333333333333333)
    r = math.floor(f); r = r + 1 if f - r >= 0.5 else r  # half away from zero
    return max(min(sat_u64(r), L), 8)

def taper(bl, ratio):
    w = [1.0] * bl
    t = sat_u64(math.floor(ratio * bl * 0.5))
    if t > 0:
        c = 1.0 / float(t + 1)
        for k in range(t): w[k] = w[bl - 1 - k] = float(k + 1) * c
    S = 0.0
    for v in w: S += v * v
    return w, math.sqrt(bl) / math.sqrt(S)

def wasserstein(a, b):  # a, b sorted
    sf, sg = 1.0 / len(a), 1.0 / len(b)
    pts = sorted(set(a) | set(b)); F = G = total = 0.0; i = j = 0; prev = pts[0]
    for x in pts:
        total += (x - prev) * abs(F - G)
        while i < len(a) and a[i] == x: F += sf; i += 1
        while j < len(b) and b[j] == x: G += sg; j += 1
        prev = x
    return total

def mean_std(x, start, ln, min_std=1e-12):
    ps, pq = [0.0], [0.0]
    for v in x: ps.append(ps[-1] + v); pq.append(pq[-1] + v * v)
    L = float(ln); d = ps[start + ln] - ps[start]
    if ln < 2: return d / L, min_std
    s = (pq[start + ln] - pq[start]) - (d * d) / L
    return d / L, max(math.sqrt((s if s > 0 else 0.0) / (L - 1.0)), min_std)

def rep_seed(seed, w, p, r):
    ws = 0x3903fa2331f06e58 ^ ((w * C2) & M64) ^ seed
    return 0x53b28fe19d2bbf48 ^ (((r * C1) & M64) ^ ((p * C1) & M64) ^ ws) ^ ((w * C2) & M64)

def distances(z, w, bl, weights, scale, seed, p, n_perm):
    L = len(z); out = []
    for r in range(n_perm):
        g = Xoshiro.from_seed(rep_seed(seed, w, p, r)); buf = []
        while len(buf) < L:
            u = canon(g, L - bl + 1)
            buf += [(z[u + k] * weights[k]) * scale for k in range(min(bl, L - len(buf)))]
        out.append(wasserstein(sorted(buf[:w]), sorted(buf[w:])))
    return out

def quantile(v, q):
    v = sorted(v); h = float(len(v) - 1) * q
    lo, hi = sat_u64(math.floor(h)), sat_u64(math.ceil(h))
    return v[lo] if lo == hi else math.fma(v[lo], 1.0 - (h - lo), (h - lo) * v[lo + 1])

def threshold(x, p, w, n_perm, q, ratio=0.5, center=True, b=None, seed=0):
    (mL, sL), (mR, sR) = mean_std(x, p, w), mean_std(x, p + w, w)
    iL, iR = 1.0 / sL, 1.0 / sR
    z = ([(x[p + k] - mL) * iL for k in range(w)] + [(x[p + w + k] - mR) * iR for k in range(w)]
         if center else [x[p + k] * iL for k in range(w)] + [x[p + w + k] * iR for k in range(w)])
    bl = block_length(2 * w, b); weights, scale = taper(bl, ratio)
    fac = math.sqrt(0.5 * (sL * sL + sR * sR))
    return quantile([d * fac for d in distances(z, w, bl, weights, scale, seed, p, n_perm)], q)

Generator vectors: Xoshiro.from_seed(s) and canon() on seeds drawn by random.seed(20240611);
random.getrandbits(64). Replicates: distances(z, 6, 8, *taper(8, 0.5), seed=123, p=0, n_perm=5).
Thresholds: threshold(x, ...) with the arguments of each ThresholdCase.
*/
