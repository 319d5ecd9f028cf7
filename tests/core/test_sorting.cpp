// The sort kernels (networks, comparison sort, radix sort) against std::sort under the IEEE 754
// total order, compared bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

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
    for (std::size_t n : {33u, 100u, 1000u, 1023u, 1024u, 1025u, 5000u, 70000u}) {
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

}  // namespace
}  // namespace vollan
