// The sort kernels (networks, comparison sort, radix sort) and the quantile's selection against
// std::sort under the IEEE 754 total order, and the side-by-side distance kernel against the
// scalar distance, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <limits>
#include <random>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/wasserstein.hpp"

namespace vollan {
namespace {

std::vector<std::uint64_t> bit_patterns(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

// Values that stress the total order: ties, both zeros, infinities, NaNs of both signs with
// different payloads, subnormals, and values differing only in the last bit.
std::vector<double> hostile_sample(std::mt19937_64& gen, std::size_t n) {
    const double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {
        0.0, -0.0, inf, -inf, 5e-324, -5e-324, 1.0, std::nextafter(1.0, 2.0),
        std::bit_cast<double>(0x7FF8000000000000ull), std::bit_cast<double>(0xFFF8000000000000ull),
        std::bit_cast<double>(0x7FF0000000000001ull), std::bit_cast<double>(0xFFF4000000000123ull),
        std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest()};
    std::uniform_int_distribution<int> pick(0, 3);
    std::uniform_int_distribution<std::size_t> special(0, std::size(specials) - 1);
    std::uniform_int_distribution<int> small(-3, 3);
    std::normal_distribution<double> gauss;
    std::vector<double> v(n);
    for (double& x : v) {
        switch (pick(gen)) {
            case 0: x = specials[special(gen)]; break;
            case 1: x = static_cast<double>(small(gen)); break;
            default: x = gauss(gen); break;
        }
    }
    return v;
}

void expect_sorted_like_std(std::vector<double> v) {
    std::vector<double> want = v;
    std::sort(want.begin(), want.end(), total_order_less);
    std::vector<std::uint64_t> scratch;
    std::vector<double> reused = v;
    sort_total_order(v);
    sort_total_order(reused, scratch);
    ASSERT_EQ(bit_patterns(v), bit_patterns(want)) << "n = " << v.size();
    ASSERT_EQ(bit_patterns(reused), bit_patterns(want)) << "n = " << v.size();
}

TEST(SortKernels, EveryNetworkSizeMatchesStdSort) {
    std::mt19937_64 gen(1);
    for (std::size_t n = 0; n <= kSortNetworkMax + 2; ++n) {
        for (int rep = 0; rep < 300; ++rep) expect_sorted_like_std(hostile_sample(gen, n));
    }
}

TEST(SortKernels, NetworksSortEveryZeroOnePattern) {
    // A comparator network sorts every input if it sorts every 0-1 input (the 0-1 principle).
    for (std::size_t n : {2u, 3u, 5u, 7u, 10u, 13u, 16u, 17u, 20u}) {
        for (std::uint32_t mask = 0; mask < (1u << n); ++mask) {
            std::vector<double> v(n);
            for (std::size_t i = 0; i < n; ++i) v[i] = (mask >> i) & 1u ? 1.0 : 0.0;
            sort_total_order(v);
            ASSERT_TRUE(std::is_sorted(v.begin(), v.end())) << "n = " << n << " mask = " << mask;
        }
    }
}

TEST(SortKernels, ComparisonAndRadixRangesMatchStdSort) {
    std::mt19937_64 gen(2);
    for (std::size_t n : {33u, 100u, 127u, 128u, 129u, 1000u, 5000u, 70000u}) {
        expect_sorted_like_std(hostile_sample(gen, n));
    }
}

TEST(SortKernels, RadixSkipsUniformBytesCorrectly) {
    // Keys that share most bytes (one exponent, few mantissa bits): most passes are skipped.
    std::vector<double> v(4096);
    std::mt19937_64 gen(3);
    for (double& x : v) x = 1.0 + static_cast<double>(gen() % 7) * 0x1p-52;
    expect_sorted_like_std(v);
    std::vector<double> same(2000, -0.0);
    same[1000] = 0.0;
    expect_sorted_like_std(same);
}

TEST(QuantileSelection, EveryLevelMatchesAFullSort) {
    // The selection takes different routes near the ends (a pass keeping the extremes) and in
    // the middle (nth_element); each must pick what a full sort puts at floor(h) and ceil(h).
    std::mt19937_64 gen(6);
    std::uniform_real_distribution<double> level(0.0, 1.0);
    for (std::size_t n : {1u, 2u, 3u, 15u, 16u, 17u, 18u, 40u, 300u}) {
        for (int rep = 0; rep < 200; ++rep) {
            std::vector<double> values = hostile_sample(gen, n);
            std::vector<double> sorted = values;
            std::sort(sorted.begin(), sorted.end(), total_order_less);
            const double q = rep % 5 == 0 ? 1.0 - 1.0 / static_cast<double>(rep + 2)
                             : rep % 5 == 1 ? 1.0 / static_cast<double>(rep + 2)
                                            : level(gen);
            const double h = static_cast<double>(n - 1) * q;
            const std::size_t lo = static_cast<std::size_t>(std::floor(h));
            const std::size_t hi = static_cast<std::size_t>(std::ceil(h));
            const double f = h - static_cast<double>(lo);
            const double want = n == 1 ? sorted[0]
                                : lo == hi ? sorted[lo]
                                           : std::fma(sorted[lo], 1.0 - f, f * sorted[hi]);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(interpolated_quantile(values, q)),
                      std::bit_cast<std::uint64_t>(want))
                << "n = " << n << " q = " << q;
        }
    }
}

// Pairs of samples laid out as wasserstein_lanes reads them, and the scalar distance of each.
struct LaneCase {
    std::vector<double> rows;
    std::vector<std::uint64_t> want;
};

LaneCase lane_case(std::mt19937_64& gen, std::size_t n, bool allow_nan) {
    LaneCase c;
    c.rows.resize(2 * n * kDistanceLanes);
    for (std::size_t l = 0; l < kDistanceLanes; ++l) {
        std::vector<double> first = hostile_sample(gen, n);
        std::vector<double> second = hostile_sample(gen, n);
        if (!allow_nan) {
            for (std::vector<double>* sample : {&first, &second}) {
                for (double& v : *sample) {
                    if (v != v) v = 0.5;
                }
            }
        }
        for (std::size_t k = 0; k < n; ++k) {
            c.rows[k * kDistanceLanes + l] = first[k];
            c.rows[(n + k) * kDistanceLanes + l] = second[k];
        }
        std::sort(first.begin(), first.end(), total_order_less);
        std::sort(second.begin(), second.end(), total_order_less);
        c.want.push_back(std::bit_cast<std::uint64_t>(wasserstein_1d_sorted(first, second)));
    }
    return c;
}

class LaneKernels : public ::testing::TestWithParam<LaneIsa> {};

TEST_P(LaneKernels, MatchTheScalarDistanceBitForBit) {
    if (!lane_isa_supported(GetParam())) GTEST_SKIP() << "instruction set not available";
    std::mt19937_64 gen(4);
    for (std::size_t n = 1; n <= kLaneSampleMax; ++n) {
        for (int rep = 0; rep < 200; ++rep) {
            const LaneCase c = lane_case(gen, n, rep % 4 == 0);
            double out[kDistanceLanes];
            wasserstein_lanes(n, c.rows.data(), out, GetParam());
            for (std::size_t l = 0; l < kDistanceLanes; ++l) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(out[l]), c.want[l])
                    << "n = " << n << " lane = " << l << " got " << out[l];
            }
        }
    }
}

TEST_P(LaneKernels, GaussianSamplesAndTiesMatch) {
    if (!lane_isa_supported(GetParam())) GTEST_SKIP() << "instruction set not available";
    std::mt19937_64 gen(5);
    std::normal_distribution<double> gauss;
    for (std::size_t n : {10u, 15u, 20u, 24u}) {
        for (int rep = 0; rep < 500; ++rep) {
            std::vector<double> rows(2 * n * kDistanceLanes);
            for (double& v : rows) v = rep % 2 ? gauss(gen) : std::round(gauss(gen) * 2.0);
            double out[kDistanceLanes];
            double want[kDistanceLanes];
            wasserstein_lanes(n, rows.data(), out, GetParam());
            wasserstein_lanes(n, rows.data(), want, LaneIsa::scalar);
            for (std::size_t l = 0; l < kDistanceLanes; ++l) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(out[l]), std::bit_cast<std::uint64_t>(want[l]));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBody, LaneKernels,
                         ::testing::Values(LaneIsa::scalar, LaneIsa::avx2, LaneIsa::avx512f),
                         [](const auto& info) {
                             switch (info.param) {
                                 case LaneIsa::scalar: return std::string("scalar");
                                 case LaneIsa::avx2: return std::string("avx2");
                                 case LaneIsa::avx512f: return std::string("avx512f");
                             }
                             return std::string("unknown");
                         });

TEST(LaneKernels, MergeNetworksMergeEveryZeroOnePattern) {
    // Two sorted 0-1 runs are a count of zeros each; every pair of counts must merge sorted.
    for (std::size_t n = 1; n <= kLaneSampleMax; ++n) {
        for (std::size_t zeros_a = 0; zeros_a <= n; ++zeros_a) {
            for (std::size_t zeros_b = 0; zeros_b <= n; ++zeros_b) {
                std::vector<double> rows(2 * n * kDistanceLanes, 0.0);
                for (std::size_t l = 0; l < kDistanceLanes; ++l) {
                    for (std::size_t k = zeros_a; k < n; ++k) rows[k * kDistanceLanes + l] = 1.0;
                    for (std::size_t k = zeros_b; k < n; ++k) {
                        rows[(n + k) * kDistanceLanes + l] = 1.0;
                    }
                }
                // |F - G| on [0, 1) is |zeros_a - zeros_b| / n up to the rounding of the steps.
                double out[kDistanceLanes];
                wasserstein_lanes(n, rows.data(), out);
                std::vector<double> a;
                std::vector<double> b;
                for (std::size_t k = 0; k < n; ++k) {
                    a.push_back(rows[k * kDistanceLanes]);
                    b.push_back(rows[(n + k) * kDistanceLanes]);
                }
                ASSERT_EQ(std::bit_cast<std::uint64_t>(out[0]),
                          std::bit_cast<std::uint64_t>(wasserstein_1d_sorted(a, b)))
                    << n << " " << zeros_a << " " << zeros_b;
            }
        }
    }
}

}  // namespace
}  // namespace vollan
