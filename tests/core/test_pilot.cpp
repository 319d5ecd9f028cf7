// Pilot thresholds: replicates drawn in ranges, the exact lower bound a pilot gives, and
// scan_window with a pilot against the full run.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/detect.hpp"
#include "core/quantile.hpp"
#include "core/sort.hpp"
#include "core/stats.hpp"

namespace vollan {
namespace {

std::uint64_t bits(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

std::vector<double> noise(std::size_t n, std::uint32_t seed, double jump_every = 0.0) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<double> x(n);
    double level = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (jump_every > 0.0 && i > 0 && i % static_cast<std::size_t>(jump_every) == 0) {
            level += 3.0 * normal(gen);
        }
        x[i] = level + normal(gen);
    }
    return x;
}

// Sizes on both kernels (side by side up to 24 values a window, sorted walks above), counts on
// both sides of the parallel split (64), and splits inside and at the edges of lane groups.
TEST(PilotRanges, RangesOfReplicatesEqualTheWholeRunBitForBit) {
    for (LaneIsa isa : {LaneIsa::scalar, LaneIsa::avx2, LaneIsa::avx512f}) {
        if (!lane_isa_supported(isa)) continue;
        for (std::uint64_t w : {4u, 13u, 24u, 25u, 70u}) {
            const std::vector<double> z = noise(2 * w, static_cast<std::uint32_t>(w));
            const std::uint64_t block_len = block_length(2 * w, std::nullopt);
            const TaperWeights taper = *make_taper_weights(block_len, 0.5);
            for (std::uint64_t n_perm : {9u, 100u, 300u}) {
                std::vector<double> whole;
                tbb_distances_into(z, w, block_len, taper, 77, n_perm, whole, isa);
                for (std::uint64_t m :
                     {std::uint64_t{1}, (n_perm + 3) / 4, std::uint64_t{8}, n_perm - 1}) {
                    std::vector<double> split(n_perm, -1.0);
                    tbb_distances_range(z, w, block_len, taper, 77, 0, m, split.data(), isa);
                    tbb_distances_range(z, w, block_len, taper, 77, m, n_perm, split.data(), isa);
                    for (std::uint64_t r = 0; r < n_perm; ++r) {
                        ASSERT_EQ(bits(split[r]), bits(whole[r]))
                            << "w=" << w << " n_perm=" << n_perm << " m=" << m << " r=" << r;
                    }
                }
            }
        }
    }
}

TEST(PilotRanges, CompletedDistancesGiveTheThreshold) {
    const std::vector<double> x = noise(400, 3, 90.0);
    const PrefixStats prefix = PrefixStats::from_series(x);
    WindowParams params;
    params.series = x;
    params.prefix = &prefix;
    params.n_perm = 301;
    for (std::uint64_t w : {10u, 40u}) {
        for (std::uint64_t p : {0u, 57u, 200u}) {
            BootstrapWorkspace a;
            BootstrapWorkspace b;
            const double want = *bootstrap_threshold(params, w, 0.999, p, a);
            ASSERT_TRUE(bootstrap_distances(params, w, p, 0, 76, b));
            ASSERT_EQ(b.distances.size(), 76u);
            ASSERT_TRUE(bootstrap_distances(params, w, p, 76, 301, b));
            EXPECT_EQ(bits(interpolated_quantile(b.distances, 0.999)), bits(want));
        }
    }
    // Errors are bootstrap_threshold's.
    BootstrapWorkspace ws;
    auto outside = bootstrap_distances(params, 300, 0, 0, 10, ws);
    ASSERT_FALSE(outside);
    EXPECT_EQ(outside.error(), "bootstrap windows lie outside the series");
}

// The bound a pilot uses: the full run's interpolation of the pilot's (k + 1)-th largest value
// with itself, k the full quantile's rank from the top. It never exceeds the full quantile, also
// with ties and values one ulp apart.
TEST(PilotBound, NeverExceedsTheFullQuantile) {
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 4000; ++trial) {
        const std::size_t n = 2 + gen() % 400;
        const std::size_t m = (n + 3) / 4;
        const double q = trial % 3 == 0 ? unit(gen) : 1.0 - unit(gen) * 0.01;
        std::vector<double> values(n);
        const double base = 0.1 + unit(gen);
        for (double& v : values) {
            switch (trial % 4) {
                case 0:
                    v = unit(gen);
                    break;
                case 1:
                    v = std::nextafter(base, 2.0 * (gen() % 2));
                    break;  // three values
                case 2:
                    v = base + 1e-15 * static_cast<double>(gen() % 5);
                    break;
                default:
                    v = std::ldexp(1.0, -static_cast<int>(gen() % 3));
                    break;  // powers of 2
            }
        }
        const QuantilePlace place = quantile_place(n, q);
        const std::size_t k = n - 1 - place.lo;
        std::vector<double> all = values;
        const double full = interpolated_quantile(all, q);
        if (k >= m) continue;
        std::vector<double> pilot(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(m));
        std::sort(pilot.begin(), pilot.end());
        const double v = pilot[m - 1 - k];
        ASSERT_LE(interpolate_at(place, v, v), full) << "trial " << trial;
    }
}

struct PilotScan {
    std::uint64_t w = 12;
    std::uint64_t n_perm = 300;
    double alpha_percent = 5.0;
    std::optional<double> pilot;

    WindowScanResult run(const std::vector<double>& x) const {
        const PrefixStats prefix = PrefixStats::from_series(x);
        WindowParams params;
        params.series = x;
        params.prefix = &prefix;
        params.n_perm = n_perm;
        params.alpha_percent = alpha_percent;
        params.pilot_factor = pilot;
        auto r = scan_window(w, params);
        EXPECT_TRUE(r);
        return r ? std::move(*r) : WindowScanResult{};
    }
};

// With an infinite factor a pilot never flags alone: every decision is the bound's (exact) or
// the full threshold's, so flags, regions and change points are the full run's, and so is each
// threshold that was completed.
TEST(PilotScanWindow, InfiniteFactorDecidesAsTheFullRun) {
    std::size_t pilot_only = 0;
    std::size_t completed = 0;
    for (std::uint64_t w : {10u, 30u, 123u}) {
        for (std::uint32_t seed : {1u, 2u, 3u}) {
            const std::vector<double> x = noise(6000, seed, seed == 3 ? 0.0 : 500.0);
            PilotScan s;
            s.w = w;
            const WindowScanResult full = s.run(x);
            s.pilot = std::numeric_limits<double>::infinity();
            const WindowScanResult got = s.run(x);
            ASSERT_EQ(got.statistics.size(), full.statistics.size());
            for (std::size_t i = 0; i < full.statistics.size(); ++i) {
                ASSERT_EQ(bits(got.statistics[i]), bits(full.statistics[i]));
                const double t = full.tapered_block_bootstrap_threshold[i];
                const double g = got.tapered_block_bootstrap_threshold[i];
                if (bits(g) == bits(t)) {
                    ++completed;
                } else {
                    ++pilot_only;
                    // An uncompleted threshold decided only positions below the full one.
                    EXPECT_LE(full.statistics[i], t);
                }
            }
            EXPECT_EQ(got.starts, full.starts);
            EXPECT_EQ(got.localized_regions, full.localized_regions);
            EXPECT_EQ(got.change_points, full.change_points);
        }
    }
    // Both kinds of threshold occurred, so both paths were compared.
    EXPECT_GT(pilot_only, 0u);
    EXPECT_GT(completed, 0u);
}

// A finite factor flags alone above c times the pilot's threshold: the flags can then differ from
// the full run's only by such extra flags, and a factor of 1 (the smallest allowed) does differ.
// Before the first difference both runs hold the same thresholds, so a position flagged by one
// run alone is flagged by the pilot, with its statistic above the pilot's threshold and at most
// the full one.
TEST(PilotScanWindow, FiniteFactorDiffersOnlyByFlagsAboveThePilot) {
    std::size_t differing = 0;
    for (std::uint64_t w : {10u, 30u}) {
        for (std::uint32_t seed : {4u, 5u, 6u, 7u}) {
            const std::vector<double> x = noise(8000, seed, 400.0);
            PilotScan s;
            s.w = w;
            const WindowScanResult full = s.run(x);
            s.pilot = 1.0;
            const WindowScanResult got = s.run(x);
            for (std::size_t i = 0; i < full.statistics.size(); ++i) {
                const double stat = full.statistics[i];
                const bool want = stat > full.tapered_block_bootstrap_threshold[i];
                const double t = got.tapered_block_bootstrap_threshold[i];
                const bool flagged_here =
                    std::find_if(got.localized_regions.begin(), got.localized_regions.end(),
                                 [&](const Region& r) {
                                     return r.start <= i * w && i * w + 2 * w <= r.end;
                                 }) != got.localized_regions.end();
                if (want != flagged_here) {
                    // Refreshes coincide up to the first difference only.
                    ++differing;
                    EXPECT_FALSE(want);
                    EXPECT_GT(stat, t);
                    break;
                }
            }
        }
    }
    EXPECT_GT(differing, 0u);
}

}  // namespace
}  // namespace vollan
