// Per-window detection: positions, threshold refresh, regions, refinement and errors.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <optional>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/detect.hpp"
#include "core/pool.hpp"
#include "core/refine.hpp"
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
const std::string kTooShort = "reference series is shorter than block length";

struct Scan {
    std::uint64_t w = 4;
    std::uint64_t n_perm = 16;
    double alpha_percent = 100.0;
    double taper_ratio = 0.5;
    std::uint64_t seed = 123;
    ChangeType change_type = ChangeType::mean;
    std::optional<std::uint64_t> b;
    bool center = true;

    Result<std::pair<std::uint64_t, WindowScanResult>> run(const std::vector<double>& x) const {
        const PrefixStats prefix = PrefixStats::from_series(x);
        WindowParams params;
        params.series = x;
        params.prefix = &prefix;
        params.n_perm = n_perm;
        params.alpha_percent = alpha_percent;
        params.taper_ratio = taper_ratio;
        params.seed = seed;
        params.change_type = change_type;
        params.b = b;
        params.center = center;
        auto r = scan_window(w, params);
        if (!r) return std::unexpected(std::move(r.error()));
        return std::pair{w, std::move(*r)};
    }
};

void expect_same(const WindowScanResult& a, const WindowScanResult& b) {
    EXPECT_EQ(a.change_points, b.change_points);
    EXPECT_EQ(a.starts, b.starts);
    EXPECT_EQ(a.localized_regions, b.localized_regions);
    ASSERT_EQ(a.statistics.size(), b.statistics.size());
    ASSERT_EQ(a.tapered_block_bootstrap_threshold.size(),
              b.tapered_block_bootstrap_threshold.size());
    for (std::size_t i = 0; i < a.statistics.size(); ++i) {
        EXPECT_EQ(bits(a.statistics[i]), bits(b.statistics[i])) << i;
        EXPECT_EQ(bits(a.tapered_block_bootstrap_threshold[i]),
                  bits(b.tapered_block_bootstrap_threshold[i]))
            << i;
    }
}

void expect_empty(const Result<std::pair<std::uint64_t, WindowScanResult>>& r, std::uint64_t w) {
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->first, w);
    expect_same(r->second, WindowScanResult{});
}

TEST(Detect, TooShortOrZeroWindowGivesEmptyResult) {
    const std::vector<double> five = {1, 2, 3, 4, 5};
    Scan s;
    s.w = 3;
    expect_empty(s.run(five), 3);
    s.w = 0;
    expect_empty(s.run(five), 0);
    // 2w would wrap to 0 or to a small number; the result must still be empty.
    const std::vector<double> ten(10, 1.0);
    for (std::uint64_t w : {std::uint64_t{1} << 63, kMax, kMax / 2 + 2, kMax / 2 + 1}) {
        s.w = w;
        expect_empty(s.run(ten), w);
    }
    // Nothing is computed, so neither a bad taper nor a huge replicate count is noticed.
    s.w = 6;
    s.taper_ratio = 2.5;
    s.n_perm = 1ull << 62;
    expect_empty(s.run(ten), 6);
}

TEST(Detect, PositionsAndStatistics) {
    const std::vector<double> x = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3};
    Scan s;
    auto r = s.run(x);  // n = 10, w = 4: one position, values 8 and 9 unused
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->second.starts, std::vector<std::uint64_t>{0});
    ASSERT_EQ(r->second.statistics.size(), 1u);
    const std::vector<double> left = {1, 1, 3, 4}, right = {2, 5, 6, 9};
    EXPECT_EQ(bits(r->second.statistics[0]), bits(wasserstein_1d_sorted(left, right)));

    s.w = 5;  // n = 2w: one position
    r = s.run(x);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->second.starts, std::vector<std::uint64_t>{0});
}

TEST(Detect, NoReplicatesFlagsNothing) {
    std::vector<double> x(40);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = (i < 20 ? 0.0 : 50.0) + double(i % 7);
    Scan s;
    s.n_perm = 0;
    auto r = s.run(x);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->second.starts, (std::vector<std::uint64_t>{0, 4, 8, 12, 16, 20, 24, 28, 32}));
    ASSERT_EQ(r->second.statistics.size(), 9u);
    EXPECT_GT(r->second.statistics[4], 40.0);
    for (double t : r->second.tapered_block_bootstrap_threshold) EXPECT_EQ(bits(t), kQuietNanBits);
    EXPECT_TRUE(r->second.localized_regions.empty());
    EXPECT_TRUE(r->second.change_points.empty());
}

TEST(Detect, ErrorsAtTheFirstThreshold) {
    const std::vector<double> x = {1, 5, 2, 8, 3, 9, 4, 7, 6, 0, 2, 2};
    Scan s;
    s.w = 2;
    EXPECT_EQ(s.run(x).error(), kTooShort);
    s.taper_ratio = 2.5;  // both faults: the length error is reported
    EXPECT_EQ(s.run(x).error(), kTooShort);
    s.w = 1;
    s.b = 10;
    s.taper_ratio = 0.5;
    EXPECT_EQ(s.run(x).error(), kTooShort);

    s.w = 4;
    s.b.reset();
    EXPECT_TRUE(s.run(x));  // block length 8 equals 2w
    s.taper_ratio = 2.5;
    auto r = s.run(x);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(),
              "taper_ratio must be at most 2 (got 2.5): taper ramps of 10 values do not fit in a "
              "block of 8 values");

    s.taper_ratio = 0.5;
    s.n_perm = 1ull << 62;  // cannot be held: an exception, not an abort
    EXPECT_THROW((void)s.run(x), std::length_error);
}

TEST(Detect, BonferroniLevel) {
    EXPECT_EQ(bits(bonferroni_quantile_level(100.0, 4)), bits(0.75));
    EXPECT_EQ(bits(bonferroni_quantile_level(95.0, 7)), 0x3feba83a83a83a84ull);  // Python
    EXPECT_EQ(bits(bonferroni_quantile_level(1e6, 3)), bits(0.0));
    EXPECT_EQ(bits(bonferroni_quantile_level(-50.0, 3)), bits(1.0));
    EXPECT_EQ(bits(bonferroni_quantile_level(std::numeric_limits<double>::infinity(), 3)),
              bits(0.0));
    EXPECT_EQ(bits(bonferroni_quantile_level(-std::numeric_limits<double>::infinity(), 3)),
              bits(1.0));
    EXPECT_TRUE(std::isnan(bonferroni_quantile_level(std::nan(""), 3)));
}

TEST(Detect, RegionsPairFlaggedPositionsFromTheStartOfARun) {
    using V = std::vector<std::uint64_t>;
    using R = std::vector<Region>;
    EXPECT_EQ(localized_regions(V{}, 5), R{});
    EXPECT_EQ(localized_regions(V{2, 3}, 5), (R{{10, 25}}));
    EXPECT_EQ(localized_regions(V{2, 4}, 5), (R{{10, 20}, {20, 30}}));
    EXPECT_EQ(localized_regions(V{5, 6, 7}, 5), (R{{25, 40}, {35, 45}}));
    EXPECT_EQ(localized_regions(V{0, 1, 2, 3, 9}, 3), (R{{0, 9}, {6, 15}, {27, 33}}));
}

TEST(Detect, ThresholdRefreshesOnlyAfterAFlaggedPosition) {
    // Windows A, A', B, B', B'', C (primes: reorderings): positions flagged no, yes, no, no, yes.
    const std::vector<std::vector<double>> windows = {
        {0, 3, 1, 2, 7},
        {7, 2, 1, 3, 0},
        {1005, 1000, 1000, 1001, 1009},
        {1000, 1009, 1005, 1001, 1000},
        {1001, 1000, 1009, 1000, 1005},
        {3004, 3000, 3002, 3008, 3001}};
    std::vector<double> x;
    for (const auto& win : windows) x.insert(x.end(), win.begin(), win.end());
    Scan s;
    s.w = 5;
    auto r = s.run(x);
    ASSERT_TRUE(r) << r.error();
    const auto& t = r->second.tapered_block_bootstrap_threshold;
    ASSERT_EQ(t.size(), 5u);
    const PrefixStats prefix = PrefixStats::from_series(x);
    ThresholdArgs params;
    params.w = 5;
    params.n_perm = s.n_perm;
    params.quantile_level = bonferroni_quantile_level(100.0, 5);
    params.seed = s.seed;
    BootstrapWorkspace ws;
    double at[5];
    for (std::uint64_t i = 0; i < 5; ++i) {
        at[i] = *threshold_at(x, prefix, 5 * i, params, ws);
    }
    // All differ, so a refresh at the wrong place would show.
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < i; ++j) EXPECT_NE(bits(at[i]), bits(at[j])) << i << " " << j;
    }
    EXPECT_EQ(bits(t[0]), bits(at[0]));
    EXPECT_EQ(bits(t[1]), bits(at[0]));
    EXPECT_EQ(bits(t[2]), bits(at[2]));
    EXPECT_EQ(bits(t[3]), bits(at[2]));
    EXPECT_EQ(bits(t[4]), bits(at[2]));
    EXPECT_EQ(r->second.localized_regions, (std::vector<Region>{{5, 15}, {20, 30}}));
    EXPECT_EQ(r->second.change_points, (std::vector<std::uint64_t>{10, 25}));
}

TEST(Detect, ConstantWindowsFlagExactlyWhenTheConstantsDiffer) {
    Scan s;
    s.n_perm = 70;
    auto same = s.run(std::vector<double>(8, 2.0));
    ASSERT_TRUE(same) << same.error();
    EXPECT_EQ(bits(same->second.statistics[0]), bits(0.0));
    EXPECT_EQ(bits(same->second.tapered_block_bootstrap_threshold[0]), bits(0.0));
    EXPECT_TRUE(same->second.localized_regions.empty());  // S == T is not flagged

    auto step = s.run({1, 1, 1, 1, 3, 3, 3, 3});
    ASSERT_TRUE(step) << step.error();
    EXPECT_EQ(bits(step->second.tapered_block_bootstrap_threshold[0]), bits(0.0));
    EXPECT_EQ(step->second.localized_regions, (std::vector<Region>{{0, 8}}));
    EXPECT_EQ(step->second.change_points, std::vector<std::uint64_t>{4});
}

TEST(Detect, OverflowingSumsGiveNaNThresholdsAndNoFlags) {
    Scan s;
    s.n_perm = 1;
    auto r = s.run(std::vector<double>(8, 1e308));
    ASSERT_TRUE(r) << r.error();
    EXPECT_TRUE(std::isnan(r->second.tapered_block_bootstrap_threshold[0]));
    EXPECT_EQ(bits(r->second.statistics[0]), bits(0.0));
    EXPECT_TRUE(r->second.localized_regions.empty());
}

TEST(Detect, MatchesReferenceEndToEnd) {
    // Mean shift at 22; n = 43, w = 5, 70 replicates (on the pool). Expected values from
    // detect(y, 5, 70, 100.0, seed=123) of the Python reference below.
    const std::vector<double> y = {
        0.427,  -1.49,  0.048,  1.306,  -2.014, -0.322, -0.106, -0.817, 0.497,  -0.062, -1.465,
        0.828,  0.669,  0.946,  1.441,  0.362,  0.119,  -1.299, 0.615,  -0.612, -0.453, -1.265,
        3.032,  3.469,  5.289,  1.968,  2.542,  4.239,  5.443,  4.578,  2.1,    1.482,  4.357,
        3.264,  2.88,   4.977,  5.102,  4.157,  4.246,  4.434,  5.594,  4.619,  4.519};
    Scan s;
    s.w = 5;
    s.n_perm = 70;
    auto r = s.run(y);
    ASSERT_TRUE(r) << r.error();
    const std::uint64_t stats[] = {0x3fe86dc5d6388659ull, 0x3fecf5c28f5c28f6ull,
                                   0x3fe6d288ce703afcull, 0x40016b50b0f27bb2ull,
                                   0x3ffbd566cf41f212ull, 0x3fedff2e48e8a71eull,
                                   0x3ffc43fe5c91d151ull};
    const std::uint64_t thresholds[] = {0x3fe4938c333b4c14ull, 0x3fea9945a7bcda2full,
                                        0x3feba9f2416b906aull, 0x3feba9f2416b906aull,
                                        0x3ffa859989bae124ull, 0x3feeb8f2c5c40828ull,
                                        0x3feeb8f2c5c40828ull};
    ASSERT_EQ(r->second.statistics.size(), 7u);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(bits(r->second.statistics[i]), stats[i]) << i;
        EXPECT_EQ(bits(r->second.tapered_block_bootstrap_threshold[i]), thresholds[i]) << i;
    }
    EXPECT_EQ(r->second.localized_regions, (std::vector<Region>{{0, 15}, {15, 30}, {30, 40}}));
    EXPECT_EQ(r->second.change_points, (std::vector<std::uint64_t>{11, 22, 35}));
}

// Alternating regimes flag every position, so K positions give ceil(K / 2) regions.
std::vector<double> alternating(std::size_t n_windows) {
    std::vector<double> x;
    for (std::size_t k = 0; k < n_windows; ++k) {
        for (std::size_t j = 0; j < 4; ++j) {
            x.push_back(double((k * 7 + j * 3) % 5) + (k % 2 == 1 ? 1000.0 : 0.0));
        }
    }
    return x;
}

TEST(Detect, RegionsRefinedInOrderOnOneOrManyThreads) {
    for (std::size_t n_windows : {14, 16, 18}) {  // 7 regions inline, 8 and 9 on the pool
        SCOPED_TRACE(n_windows);
        const std::vector<double> x = alternating(n_windows);
        Scan s;
        s.n_perm = 80;
        s.change_type = ChangeType::distribution;
        auto one = make_dedicated_pool(1);
        auto three = make_dedicated_pool(3);
        ASSERT_TRUE(one && three);
        auto r1 = install(**one, [&] { return s.run(x); });
        auto r3 = install(**three, [&] { return s.run(x); });
        ASSERT_TRUE(r1 && r3);
        expect_same(r1->second, r3->second);

        const auto& regions = r1->second.localized_regions;
        ASSERT_EQ(regions.size(), n_windows / 2);
        ASSERT_EQ(r1->second.change_points.size(), regions.size());
        for (std::size_t k = 0; k < regions.size(); ++k) {
            const Region g = regions[k];
            EXPECT_EQ(g.start, 2 * k * 4);
            const auto split = refine_for_change_type(
                std::span<const double>(x).subspan(g.start, g.end - g.start), s.change_type);
            ASSERT_TRUE(split);
            EXPECT_EQ(r1->second.change_points[k], g.start + *split);
            EXPECT_GT(r1->second.change_points[k], g.start);
            EXPECT_LT(r1->second.change_points[k], g.end);
        }
    }
}

}  // namespace
}  // namespace vollan

/* Reference scan (python3.13), on top of the reference at the end of test_bootstrap.cpp:

def cusum(reg):
    tot = 0.0
    for v in reg: tot += v
    mean = tot / len(reg); S = 0.0; best = -math.inf; bk = 0
    for k in range(len(reg) - 1):
        S += mean - reg[k]
        if abs(S) > best: best, bk = abs(S), k
    return bk + 1

def detect(x, w, n_perm, alpha_pct, ratio=0.5, seed=0, b=None, center=True):
    K = len(x) // w - 1
    q = min(100.0, max(0.0, 100.0 - alpha_pct / float(K))) * 0.01
    refresh = True; stats = []; ths = []; flagged = []
    for i in range(K):
        p = i * w
        if refresh: T = threshold(x, p, w, n_perm, q, ratio, center, b, seed)
        S = wasserstein(sorted(x[p:p + w]), sorted(x[p + w:p + 2 * w]))
        stats.append(S); ths.append(T)
        refresh = S > T
        if refresh: flagged.append(i)
    regions = []; j = 0
    while j < len(flagged):
        s = flagged[j]
        e, j = (s + 1, j + 2) if j + 1 < len(flagged) and flagged[j + 1] == s + 1 else (s, j + 1)
        regions.append((s * w, (e + 2) * w))
    return stats, ths, regions, [min(max(a + cusum(x[a:c]), a + 1), c - 1) for a, c in regions]
*/
