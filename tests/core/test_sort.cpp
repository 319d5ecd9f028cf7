// The quicksort's partitions (scalar, AVX2, AVX-512) against std::sort under the IEEE 754 total
// order, on the inputs that stress a partition; and the branch-free distance walk against a plain
// walk that consumes one run of equal values at a time, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/wasserstein.hpp"

namespace vollan {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

enum class Pattern {
    gaussian,
    sorted,
    reversed,
    constant,
    few_values,
    signed_zeros,
    subnormals,
    infinities,
    organ_pipe,
    sawtooth
};

const Pattern kPatterns[] = {Pattern::gaussian,     Pattern::sorted,     Pattern::reversed,
                             Pattern::constant,     Pattern::few_values, Pattern::signed_zeros,
                             Pattern::subnormals,   Pattern::infinities, Pattern::organ_pipe,
                             Pattern::sawtooth};

std::vector<double> make_input(Pattern pattern, std::size_t n, std::mt19937_64& gen) {
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    std::normal_distribution<double> gauss;
    std::uniform_int_distribution<int> pick(0, 3);
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double g = gauss(gen);
        switch (pattern) {
            case Pattern::gaussian: v[i] = g; break;
            case Pattern::sorted: v[i] = static_cast<double>(i) * 0.5 - 3.0; break;
            case Pattern::reversed: v[i] = 3.0 - static_cast<double>(i) * 0.5; break;
            case Pattern::constant: v[i] = -1.25; break;
            case Pattern::few_values: v[i] = static_cast<double>(pick(gen)) - 1.0; break;
            case Pattern::signed_zeros: v[i] = pick(gen) == 0 ? g : (pick(gen) < 2 ? 0.0 : -0.0); break;
            case Pattern::subnormals:
                v[i] = static_cast<double>(pick(gen) - 2) * tiny * static_cast<double>(i % 5 + 1);
                break;
            case Pattern::infinities: v[i] = pick(gen) == 0 ? inf : (pick(gen) == 0 ? -inf : g); break;
            case Pattern::organ_pipe:
                v[i] = static_cast<double>(std::min(i, n - 1 - i));
                break;
            case Pattern::sawtooth: v[i] = static_cast<double>(i % 17) - 8.0; break;
        }
    }
    return v;
}

std::vector<std::uint64_t> sorted_bits_like_std(std::vector<double> v) {
    std::sort(v.begin(), v.end(), total_order_less);
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(bits(x));
    return out;
}

std::vector<std::uint64_t> as_bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(bits(x));
    return out;
}

std::string isa_name(LaneIsa isa) {
    switch (isa) {
        case LaneIsa::scalar: return "scalar";
        case LaneIsa::avx2: return "avx2";
        case LaneIsa::avx512f: return "avx512f";
    }
    return "unknown";
}

class SortPaths : public ::testing::TestWithParam<LaneIsa> {
protected:
    void SetUp() override {
        if (!lane_isa_supported(GetParam())) GTEST_SKIP() << "instruction set not available";
    }

    void expect_like_std(const std::vector<double>& input, const std::string& what) {
        std::vector<double> v = input;
        std::vector<std::uint64_t> scratch;
        sort_total_order(v, scratch, GetParam());
        ASSERT_EQ(as_bits(v), sorted_bits_like_std(input)) << what << ", n = " << input.size();
    }
};

TEST_P(SortPaths, EverySmallSizeAndPatternMatchesStdSort) {
    std::mt19937_64 gen(11);
    for (Pattern pattern : kPatterns) {
        for (std::size_t n = 0; n <= 70; ++n) {
            for (int rep = 0; rep < 20; ++rep) {
                expect_like_std(make_input(pattern, n, gen),
                                "pattern " + std::to_string(static_cast<int>(pattern)));
            }
        }
    }
}

TEST_P(SortPaths, LargeInputsOfEveryPatternMatchStdSort) {
    std::mt19937_64 gen(12);
    for (Pattern pattern : kPatterns) {
        for (std::size_t n : {255u, 256u, 257u, 1000u, 4095u, 4096u, 70000u}) {
            expect_like_std(make_input(pattern, n, gen),
                            "pattern " + std::to_string(static_cast<int>(pattern)));
        }
    }
}

TEST_P(SortPaths, NegativeZeroSortsBeforePositiveZero) {
    std::vector<double> v;
    for (int i = 0; i < 100; ++i) v.push_back(i % 3 == 0 ? -0.0 : 0.0);
    std::vector<std::uint64_t> scratch;
    sort_total_order(v, scratch, GetParam());
    const std::size_t negatives = 34;
    for (std::size_t i = 0; i < v.size(); ++i) {
        ASSERT_EQ(bits(v[i]), bits(i < negatives ? -0.0 : 0.0)) << "i = " << i;
    }
}

TEST_P(SortPaths, ScratchIsReusedAcrossSizes) {
    // One buffer serves inputs that grow and shrink; a stale tail must never leak into a result.
    std::mt19937_64 gen(13);
    std::vector<std::uint64_t> scratch;
    for (std::size_t n : {5000u, 40u, 300u, 33u, 9000u, 100u}) {
        const std::vector<double> input = make_input(Pattern::gaussian, n, gen);
        std::vector<double> v = input;
        sort_total_order(v, scratch, GetParam());
        ASSERT_EQ(as_bits(v), sorted_bits_like_std(input)) << "n = " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPartition, SortPaths,
                         ::testing::Values(LaneIsa::scalar, LaneIsa::avx2, LaneIsa::avx512f),
                         [](const auto& info) { return isa_name(info.param); });

// The walk as first written: per distinct value, one interval and then the run of equal values
// of each sample, returning at the first NaN.
double run_walk(const std::vector<double>& first, const std::vector<double>& second) {
    const double nan = std::bit_cast<double>(0x7FF8000000000000ull);
    const std::size_t n = first.size();
    const std::size_t m = second.size();
    if (n == 0 || m == 0) return nan;
    const double step_f = 1.0 / static_cast<double>(n);
    const double step_g = 1.0 / static_cast<double>(m);
    double F = 0.0;
    double G = 0.0;
    double sum = 0.0;
    std::size_t i = 0;
    std::size_t j = 0;
    double prev = first[0] < second[0] ? first[0] : second[0];
    while (i < n || j < m) {
        double x;
        if (i < n && j < m) {
            if (first[i] != first[i] || second[j] != second[j]) return nan;
            x = first[i] < second[j] ? first[i] : second[j];
        } else {
            x = i < n ? first[i] : second[j];
            if (x != x) return nan;
        }
        if (F != G) sum = sum + (x - prev) * std::fabs(F - G);
        prev = x;
        while (i < n && first[i] == x) {
            F = F + step_f;
            ++i;
        }
        while (j < m && second[j] == x) {
            G = G + step_g;
            ++j;
        }
    }
    return sum;
}

std::vector<double> sorted_sample(Pattern pattern, std::size_t n, std::mt19937_64& gen) {
    std::vector<double> v = make_input(pattern, n, gen);
    std::sort(v.begin(), v.end(), total_order_less);
    return v;
}

class DistanceWalk : public ::testing::TestWithParam<Pattern> {};

TEST_P(DistanceWalk, MatchesTheRunByRunWalkBitForBit) {
    std::mt19937_64 gen(14 + static_cast<int>(GetParam()));
    for (std::size_t n : {1u, 2u, 3u, 7u, 24u, 25u, 64u, 333u}) {
        for (std::size_t m : {1u, 2u, 5u, 24u, 100u, 1000u}) {
            for (int rep = 0; rep < 10; ++rep) {
                // The second sample is often of another pattern, so runs cross the samples.
                const Pattern other = rep % 2 == 0 ? GetParam() : kPatterns[rep % 10];
                const std::vector<double> a = sorted_sample(GetParam(), n, gen);
                const std::vector<double> b = sorted_sample(other, m, gen);
                ASSERT_EQ(bits(wasserstein_1d_sorted(a, b)), bits(run_walk(a, b)))
                    << "n = " << n << " m = " << m << " rep = " << rep;
                ASSERT_EQ(bits(wasserstein_1d_sorted(b, a)), bits(run_walk(b, a)))
                    << "n = " << n << " m = " << m << " rep = " << rep;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPattern, DistanceWalk, ::testing::ValuesIn(kPatterns),
                         [](const auto& info) { return std::to_string(static_cast<int>(info.param)); });

TEST(DistanceWalk, NanAnywhereGivesTheQuietNan) {
    const double nan = std::bit_cast<double>(0x7FF8000000000000ull);
    const double negative_nan = std::bit_cast<double>(0xFFF4000000000123ull);
    const std::vector<double> plain = {-1.0, 0.0, 2.0};
    for (const std::vector<double>& with_nan :
         {std::vector<double>{nan}, std::vector<double>{-1.0, nan},
          std::vector<double>{negative_nan, 5.0}, std::vector<double>{-1.0, 0.0, 2.0, nan}}) {
        EXPECT_EQ(bits(wasserstein_1d_sorted(with_nan, plain)), 0x7FF8000000000000ull);
        EXPECT_EQ(bits(wasserstein_1d_sorted(plain, with_nan)), 0x7FF8000000000000ull);
        EXPECT_EQ(bits(run_walk(plain, with_nan)), 0x7FF8000000000000ull);
    }
}

TEST(DistanceWalk, InfiniteWidthsCountOnlyWhereTheDistributionsDiffer) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> a = {-inf, 0.0, inf};
    const std::vector<double> b = {-inf, 1.0, inf};
    // The widths from and to infinity lie where F == G, so only [0, 1) counts, by a third.
    EXPECT_EQ(bits(wasserstein_1d_sorted(a, b)), bits(1.0 * std::fabs(1.0 / 3 + 1.0 / 3 - 1.0 / 3)));
    EXPECT_EQ(bits(wasserstein_1d_sorted(a, b)), bits(run_walk(a, b)));
    const std::vector<double> c = {-inf, -inf, 2.0};
    EXPECT_EQ(bits(wasserstein_1d_sorted(c, b)), bits(run_walk(c, b)));
    EXPECT_EQ(bits(wasserstein_1d_sorted(c, b)), bits(inf));
}

}  // namespace
}  // namespace vollan
