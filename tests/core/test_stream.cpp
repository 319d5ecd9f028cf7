// The stream's adjacent windows: the distance against the core's merge walk, the alarm, the
// contents after a clear, and the checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/stream.hpp"
#include "core/wasserstein.hpp"

namespace vollan {
namespace {

StreamWindows make(std::vector<std::uint64_t> sizes, ChangeType type = ChangeType::distribution,
                   double low = -1e9, double high = 1e9) {
    auto created = StreamWindows::create({std::move(sizes), type, low, high});
    EXPECT_TRUE(created.has_value());
    return std::move(*created);
}

TEST(StreamWindows, DistanceMatchesTheMergeWalkOfTheSortedWindows) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    std::vector<double> x(300);
    for (double& v : x) v = std::round(normal(rng) * 4) / 4;  // ties
    std::vector<std::int64_t> idx(x.size(), 0);
    const std::vector<std::uint64_t> sizes{1, 5, 17, 40};
    StreamWindows windows = make(sizes);
    std::vector<double> out(x.size() * sizes.size());
    ASSERT_TRUE(windows.statistics(x, idx, out.data()).has_value());
    for (std::size_t j = 0; j < x.size(); ++j) {
        for (std::size_t k = 0; k < sizes.size(); ++k) {
            const std::size_t w = sizes[k];
            const double got = out[j * sizes.size() + k];
            if (j + 1 < 2 * w) {
                EXPECT_TRUE(std::isnan(got));
                continue;
            }
            std::vector<double> left(x.begin() + (j + 1 - 2 * w), x.begin() + (j + 1 - w));
            std::vector<double> right(x.begin() + (j + 1 - w), x.begin() + (j + 1));
            std::sort(left.begin(), left.end());
            std::sort(right.begin(), right.end());
            EXPECT_NEAR(got, wasserstein_1d_sorted(left, right), 1e-12) << j << " " << w;
        }
    }
}

TEST(StreamWindows, WatchStopsAtTheFirstValueOverTheThreshold) {
    StreamWindows windows = make({2, 4}, ChangeType::mean);
    std::vector<double> x{0, 0, 0, 0, 0, 0, 0, 0, 5, 5, 5};
    std::vector<std::int64_t> idx(x.size());
    for (std::size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<std::int64_t>(100 + i);
    const std::vector<double> center{0.0, 0.0}, scale{1.0, 1.0};
    auto alarm = windows.watch(x, idx, center, scale, 2.0);
    ASSERT_TRUE(alarm.has_value());
    // At the first 5 the last two values have the mean 2.5, the two before them 0.
    EXPECT_EQ(alarm->consumed, 9u);
    EXPECT_EQ(alarm->size, 0);
    EXPECT_EQ(alarm->z, 2.5);
    std::vector<double> values;
    std::vector<std::int64_t> indices;
    windows.contents(values, indices);
    EXPECT_EQ(values, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(indices.front(), 101);
    EXPECT_EQ(indices.back(), 108);
    windows.clear();
    windows.contents(values, indices);
    EXPECT_TRUE(values.empty());
}

TEST(StreamWindows, ClipsAndRefusesNonFiniteValuesBeforePushingAny) {
    StreamWindows windows = make({1}, ChangeType::distribution, -1.0, 1.0);
    std::vector<double> out(2);
    std::vector<std::int64_t> idx{0, 1};
    ASSERT_TRUE(windows.statistics(std::vector<double>{-7.0, 9.0}, idx, out.data()).has_value());
    EXPECT_EQ(out[1], 2.0);
    const std::vector<double> bad{1.0, INFINITY};
    EXPECT_EQ(windows.statistics(bad, idx, out.data()).error(), "values must be finite");
    std::vector<double> values;
    std::vector<std::int64_t> indices;
    windows.contents(values, indices);
    EXPECT_EQ(values, (std::vector<double>{-1.0, 1.0}));
}

TEST(StreamWindows, ChecksItsParameters) {
    EXPECT_FALSE(StreamWindows::create({{}, ChangeType::mean, 0, 1}).has_value());
    EXPECT_FALSE(StreamWindows::create({{0}, ChangeType::mean, 0, 1}).has_value());
    EXPECT_FALSE(StreamWindows::create({{4, 4}, ChangeType::mean, 0, 1}).has_value());
    EXPECT_FALSE(StreamWindows::create({{4}, ChangeType::mean, 1, 0}).has_value());
    EXPECT_FALSE(StreamWindows::create({{4}, ChangeType::mean, 0, NAN}).has_value());
    EXPECT_FALSE(StreamWindows::create({{1ull << 62}, ChangeType::mean, 0, 1}).has_value());
}

}  // namespace
}  // namespace vollan
