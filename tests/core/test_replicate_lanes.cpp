// Bootstrap replicates drawn and measured eight at a time, on every instruction set, against each
// replicate recomputed on its own from the scalar generator, draw, taper, sort and distance, bit
// for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/rng.hpp"
#include "core/wasserstein.hpp"

namespace vollan {
namespace {

double scalar_replicate(const std::vector<double>& z, std::uint64_t w, std::uint64_t block_len,
                        const TaperWeights& taper, std::uint64_t pos_seed, std::uint64_t r) {
    const std::uint64_t L = z.size();
    Xoshiro256pp rng = Xoshiro256pp::from_seed(replicate_seed(pos_seed, w, r));
    std::vector<double> buf;
    while (buf.size() < L) {
        const std::uint64_t u = canon_draw(rng, L - block_len + 1);
        for (std::uint64_t k = 0; k < block_len && buf.size() < L; ++k) {
            buf.push_back((z[u + k] * taper.weights[k]) * taper.taper_scale);
        }
    }
    std::vector<double> first(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(w));
    std::vector<double> second(buf.begin() + static_cast<std::ptrdiff_t>(w), buf.end());
    std::sort(first.begin(), first.end(), total_order_less);
    std::sort(second.begin(), second.end(), total_order_less);
    return wasserstein_1d_sorted(first, second);
}

void expect_replicates_match(const std::vector<double>& z, std::uint64_t w,
                             std::uint64_t block_len, double taper_ratio,
                             std::uint64_t pos_seed, std::uint64_t n_perm) {
    const TaperWeights taper = *make_taper_weights(block_len, taper_ratio);
    for (LaneIsa isa : {LaneIsa::scalar, LaneIsa::avx2, LaneIsa::avx512f}) {
        if (!lane_isa_supported(isa)) continue;
        std::vector<double> got;
        tbb_distances_into(z, w, block_len, taper, pos_seed, n_perm, got, isa);
        ASSERT_EQ(got.size(), n_perm);
        for (std::uint64_t r = 0; r < n_perm; ++r) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got[r]),
                      std::bit_cast<std::uint64_t>(
                          scalar_replicate(z, w, block_len, taper, pos_seed, r)))
                << "w = " << w << " block_len = " << block_len << " seed = " << pos_seed
                << " r = " << r << " isa = " << static_cast<int>(isa);
        }
    }
}

TEST(ReplicateLanes, DrawsNeedingTheSecondOutputMatch) {
    // Canon's draw takes a second generator output with probability about range / 2^32. With
    // w = 10 (range 13) this position seed makes replicate 1 do so at its first block (found by
    // searching with the scalar generator); the check below keeps the test honest about that.
    constexpr std::uint64_t kSeed = 23658546;
    Xoshiro256pp rng = Xoshiro256pp::from_seed(replicate_seed(kSeed, 10, 1));
    const std::uint32_t lo = static_cast<std::uint32_t>((rng.next() >> 32) * 13u);
    ASSERT_GT(lo, static_cast<std::uint32_t>(0u - 13u));

    std::vector<double> z(20);
    std::mt19937_64 gen(7);
    std::normal_distribution<double> gauss;
    for (double& v : z) v = gauss(gen);
    expect_replicates_match(z, 10, 8, 0.5, kSeed, 16);   // one thread, two groups of lanes
    expect_replicates_match(z, 10, 8, 0.5, kSeed, 100);  // the parallel path
}

TEST(ReplicateLanes, EveryLaneWindowAndBlockLengthMatches) {
    std::mt19937_64 gen(8);
    std::normal_distribution<double> gauss;
    for (std::uint64_t w = 2; w <= kLaneSampleMax; ++w) {
        std::vector<double> z(2 * w);
        for (double& v : z) v = std::round(gauss(gen) * 4.0) / 4.0;  // ties too
        for (std::uint64_t block_len : {std::uint64_t{3}, std::uint64_t{8}, 2 * w}) {
            if (block_len > 2 * w) continue;
            for (double taper_ratio : {0.0, 0.5, 2.0}) {
                expect_replicates_match(z, w, block_len, taper_ratio, gen(), 7 + w % 5);
            }
        }
        expect_replicates_match(z, w, std::min<std::uint64_t>(8, 2 * w), 1.0, gen(), 64 + w);
    }
}

}  // namespace
}  // namespace vollan
