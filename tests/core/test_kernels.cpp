// Prefix statistics, the distance and the split searches at the C++ level.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/refine.hpp"
#include "core/stats.hpp"
#include "core/wasserstein.hpp"

namespace vollan {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(PrefixStats, SumsAndMoments) {
    const std::vector<double> x{1, 2, 3};
    const auto p = PrefixStats::from_series(x);
    EXPECT_EQ(p.prefix_sum, (std::vector<double>{0, 1, 3, 6}));
    EXPECT_EQ(p.prefix_sum_sq, (std::vector<double>{0, 1, 5, 14}));
    const auto [mean, sd] = p.mean_std(0, 3, 1e-12);
    EXPECT_EQ(mean, 2.0);
    EXPECT_EQ(sd, 1.0);
    const auto [m1, s1] = p.mean_std(2, 1, 1e-12);
    EXPECT_EQ(m1, 3.0);
    EXPECT_EQ(bits(s1), bits(1e-12));
}

TEST(PrefixStats, EmptySeriesAndConstantStretch) {
    const auto empty = PrefixStats::from_series({});
    EXPECT_EQ(empty.prefix_sum, std::vector<double>{0.0});
    const std::vector<double> x{4, 4, 4, 4};
    const auto p = PrefixStats::from_series(x);
    EXPECT_EQ(bits(p.mean_std(0, 4, 1e-12).second), bits(1e-12));
}

TEST(PrefixStats, OverflowingSumsGiveTheFloorNotNaN) {
    // s is NaN (inf - inf) and counts as 0, so the floor is returned.
    const std::vector<double> x(8, 1e308);
    const auto p = PrefixStats::from_series(x);
    const auto [mean, sd] = p.mean_std(0, 4, 1e-12);
    EXPECT_TRUE(std::isinf(mean));
    EXPECT_EQ(bits(sd), bits(1e-12));
}

TEST(PrefixStats, OutsideTheTableAborts) {
    const std::vector<double> x{1, 2, 3};
    const auto p = PrefixStats::from_series(x);
    EXPECT_DEATH(p.mean_std(2, 2, 1e-12), "outside the table");
    EXPECT_DEATH(p.mean_std(0, 0, 1e-12), "outside the table");
}

TEST(Wasserstein, WorkedExamples) {
    const std::vector<double> a{0.0}, b{1.0}, c{0.0, 1.0}, d{0.5};
    EXPECT_EQ(wasserstein_1d_sorted(a, b), 1.0);
    EXPECT_EQ(wasserstein_1d_sorted(c, d), 0.5);
    const std::vector<double> e{0.0, 0.0, 1.0}, f{0.0, 1.0};
    const double third = 1.0 / 3.0;
    EXPECT_EQ(bits(wasserstein_1d_sorted(e, f)), bits(1.0 * std::fabs((third + third) - 0.5)));
}

TEST(Wasserstein, EmptyAndNaNGiveQuietNaN) {
    const std::vector<double> a{1.0}, none{};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> with_nan{0.0, nan}, neg_nan{-nan, 0.0};
    for (auto r : {wasserstein_1d_sorted(none, a), wasserstein_1d_sorted(a, none),
                   wasserstein_1d_sorted(none, none), wasserstein_1d_sorted(with_nan, a),
                   wasserstein_1d_sorted(a, with_nan), wasserstein_1d_sorted(neg_nan, a),
                   wasserstein_1d_sorted(with_nan, with_nan)}) {
        EXPECT_EQ(bits(r), 0x7FF8000000000000ull);
    }
}

TEST(Wasserstein, IdenticalExtremeSamplesAreAtZero) {
    const double max = std::numeric_limits<double>::max();
    const std::vector<double> a{-max, max};
    EXPECT_EQ(bits(wasserstein_1d_sorted(a, a)), bits(0.0));
}

TEST(Wasserstein, SignedZerosAreOneRun) {
    const std::vector<double> a{-0.0, 0.0, 1.0}, b{0.0, -0.0, 1.0};
    EXPECT_EQ(bits(wasserstein_1d_sorted(a, b)), bits(0.0));
}

TEST(TotalOrderSort, OrdersNaNsAndZeros) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> v{nan, 1.0, -0.0, 0.0, -nan, -1.0, -std::numeric_limits<double>::infinity()};
    sort_total_order(v);
    EXPECT_TRUE(std::isnan(v[0]) && std::signbit(v[0]));
    EXPECT_TRUE(std::isinf(v[1]));
    EXPECT_EQ(v[2], -1.0);
    EXPECT_TRUE(v[3] == 0.0 && std::signbit(v[3]));
    EXPECT_TRUE(v[4] == 0.0 && !std::signbit(v[4]));
    EXPECT_EQ(v[5], 1.0);
    EXPECT_TRUE(std::isnan(v[6]) && !std::signbit(v[6]));
}

TEST(Refine, ShortRegionsAreErrors) {
    for (auto type : {ChangeType::mean, ChangeType::var, ChangeType::distribution}) {
        for (std::size_t n = 0; n < 3; ++n) {
            const std::vector<double> x(n, 1.0);
            const auto r = refine_for_change_type(x, type);
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error(), "need at least 3 points");
        }
    }
}

TEST(Refine, WorkedExamples) {
    auto split = [](std::vector<double> x, ChangeType t) { return *refine_for_change_type(x, t); };
    for (auto t : {ChangeType::mean, ChangeType::var, ChangeType::distribution}) {
        EXPECT_EQ(split({0, 0, 3}, t), 2u);
        EXPECT_EQ(split({1, 1, 1}, t), 1u);
        EXPECT_EQ(split({0, 0, 0, 10, 10, 10}, t), 3u);
        EXPECT_EQ(split({5, 5, 5, 5, 9}, t), 4u);
    }
    EXPECT_EQ(split({1, -1, 1, -1}, ChangeType::mean), 1u);
    EXPECT_EQ(split({0, 1, 1, 0}, ChangeType::distribution), 1u);
}

// Eight walks side by side must give each pair's own distance bit for bit: continuous values,
// ties within and across samples, -0.0 beside +0.0, infinite widths, a NaN in one pair only,
// pairs whose joint phases end at different steps, and pairs of unequal sizes.
TEST(Wasserstein, WalksSideBySideMatchOneAtATime) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> small(-2, 2);
    const double huge = std::numeric_limits<double>::max();
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = 1 + static_cast<std::size_t>(trial % 37);
        const std::size_t m = trial % 5 == 4 ? n + 1 : n;
        std::vector<std::vector<double>> samples(2 * kWalkLanes);
        for (std::size_t k = 0; k < 2 * kWalkLanes; ++k) {
            auto& v = samples[k];
            v.resize(k % 2 == 0 ? n : m);
            for (auto& x : v) {
                x = trial % 3 == 0 ? small(gen) * 0.5 : normal(gen) + (k == 3 ? 2.0 : 0.0);
            }
            if (trial % 7 == 0 && !v.empty()) v[0] = (k % 4 == 1) ? -0.0 : 0.0;
            if (trial % 11 == 0) v.back() = (k % 2 == 0) ? huge : -huge;
            // A NaN with its sign bit set sorts first, so a walk meets it before either sample ends.
            if (trial % 13 == 0 && k % 8 == 4) v[v.size() / 2] = -std::numeric_limits<double>::quiet_NaN();
            // Half the values at -huge and half at +huge in both samples: F == G across a width
            // that overflows to infinity.
            if (trial % 17 == 0 && (k % 8 == 2 || k % 8 == 3)) {
                for (std::size_t i = 0; i < v.size(); ++i) v[i] = i < v.size() / 2 ? -huge : huge;
            }
            sort_total_order(v);
        }
        SamplePairs first;
        SamplePairs second;
        for (std::size_t l = 0; l < kWalkLanes; ++l) {
            first[l] = samples[2 * l];
            second[l] = samples[2 * l + 1];
        }
        for (LaneIsa isa : {LaneIsa::scalar, LaneIsa::avx2, LaneIsa::avx512f}) {
            if (!lane_isa_supported(isa)) continue;
            double out[kWalkLanes];
            wasserstein_1d_sorted_x8(first, second, out, isa);
            for (std::size_t l = 0; l < kWalkLanes; ++l) {
                EXPECT_EQ(bits(out[l]), bits(wasserstein_1d_sorted(first[l], second[l])))
                    << "trial " << trial << " pair " << l;
            }
        }
    }
}

// Every split's statistic must equal, bit for bit, a fresh sort of each part and the merge walk,
// on every instruction set: small regions (fewer splits than one batch) and large ones (several
// batches and a ragged last one), ties within and across the parts, -0.0 beside +0.0, and values
// so far apart that an interval's width overflows to infinity.
std::size_t resorting_split(const std::vector<double>& x, std::vector<double>& stats) {
    double best = -std::numeric_limits<double>::infinity();
    std::size_t best_j = 1;
    const double n = static_cast<double>(x.size());
    for (std::size_t j = 1; j < x.size(); ++j) {
        std::vector<double> l(x.begin(), x.begin() + static_cast<long>(j));
        std::vector<double> r(x.begin() + static_cast<long>(j), x.end());
        sort_total_order(l);
        sort_total_order(r);
        const double stat = wasserstein_1d_sorted(l, r) *
                            std::sqrt((static_cast<double>(x.size() - j) * static_cast<double>(j)) / n);
        stats[j] = stat;
        if (stat > best) {
            best = stat;
            best_j = j;
        }
    }
    return best_j;
}

TEST(Refine, SplitStatisticsMatchResortingOnEveryIsa) {
    std::mt19937_64 gen(7);
    std::uniform_int_distribution<int> small(-3, 3);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double huge = std::numeric_limits<double>::max();
    std::vector<std::vector<double>> regions;
    for (int trial = 0; trial < 50; ++trial) {
        std::vector<double> x(3 + trial % 20);
        for (auto& v : x) v = small(gen) * 0.5;
        regions.push_back(x);
    }
    for (std::size_t n : {17u, 40u, 95u, 257u}) {
        std::vector<double> x(n);
        for (std::size_t k = 0; k < n; ++k) x[k] = normal(gen) + (k > n / 3 ? 1.5 : 0.0);
        regions.push_back(x);
        for (auto& v : x) v = std::round(v * 2.0) / 2.0;  // many ties
        regions.push_back(x);
    }
    regions.push_back({0.0, -0.0, 0.0, 1.0, -0.0, 0.0, -1.0, -0.0});
    regions.push_back({-huge, huge, 0.0, huge, -huge, 1.0, -huge});
    regions.push_back({-huge, -huge, huge, huge});
    regions.push_back({-huge, huge, -huge, huge, -huge, huge});
    for (const auto& x : regions) {
        std::vector<double> expected(x.size(), 0.0);
        const std::size_t expected_k = resorting_split(x, expected);
        for (LaneIsa isa : {LaneIsa::scalar, LaneIsa::avx2, LaneIsa::avx512f}) {
            if (!lane_isa_supported(isa)) continue;
            std::vector<double> stats(x.size(), 0.0);
            EXPECT_EQ(wasserstein_split(x, stats, isa), expected_k) << "n=" << x.size();
            for (std::size_t j = 1; j < x.size(); ++j) {
                EXPECT_EQ(bits(stats[j]), bits(expected[j]))
                    << "n=" << x.size() << " j=" << j << " isa=" << static_cast<int>(isa);
            }
        }
    }
}

}  // namespace
}  // namespace vollan
