#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/aggregate.hpp"

namespace vollan {
namespace {

using Points = std::vector<std::uint64_t>;
using Votes = std::map<std::uint64_t, std::uint64_t>;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

#define EXPECT_SAME_DOUBLE(actual, expected) EXPECT_EQ(bits(actual), bits(expected))

SegmentInfo segment(Votes point_votes, std::uint64_t segment_votes) {
    SegmentInfo s;
    for (const auto& [p, v] : point_votes) s.points.push_back(p);
    s.point_votes = std::move(point_votes);
    s.segment_votes = segment_votes;
    return s;
}

// Lists each segment's points in key order, for compact comparisons.
std::vector<std::pair<std::string, Points>> layout(const SegmentMap& segments) {
    std::vector<std::pair<std::string, Points>> out;
    for (const auto& [key, seg] : segments) out.emplace_back(key, seg.points);
    return out;
}

TEST(ChangePointVotes, EmptyInputsGiveNoSegments) {
    EXPECT_TRUE(compute_change_points_with_votes({}, 2).empty());
    EXPECT_TRUE(compute_change_points_with_votes({{5, {}}, {10, {}}}, 2).empty());
}

TEST(ChangePointVotes, CountsWindowsAndChainsWithinTolerance) {
    const ChangePointMap cp{{5, {10, 12}}, {10, {11, 40}}, {20, {12}}};
    const SegmentMap segments = compute_change_points_with_votes(cp, 2);

    ASSERT_EQ(segments.size(), 2u);
    const SegmentInfo& first = segments.at("segment_1");
    EXPECT_EQ(first.points, (Points{10, 11, 12}));
    EXPECT_EQ(first.point_votes, (Votes{{10, 1}, {11, 1}, {12, 2}}));
    EXPECT_EQ(first.segment_votes, 4u);  // more than the three windows
    const SegmentInfo& second = segments.at("segment_2");
    EXPECT_EQ(second.points, (Points{40}));
    EXPECT_EQ(second.point_votes, (Votes{{40, 1}}));
    EXPECT_EQ(second.segment_votes, 1u);
}

TEST(ChangePointVotes, ResultDoesNotDependOnListOrder) {
    const ChangePointMap a{{5, {10, 12}}, {10, {11, 40}}, {20, {12}}};
    const ChangePointMap b{{5, {40, 12}}, {10, {12, 11, 12}}, {20, {10}}};
    const SegmentMap sa = compute_change_points_with_votes(a, 2);
    const SegmentMap sb = compute_change_points_with_votes(b, 2);
    ASSERT_EQ(layout(sa), layout(sb));
    for (const auto& [key, seg] : sa) {
        EXPECT_EQ(seg.point_votes, sb.at(key).point_votes) << key;
        EXPECT_EQ(seg.segment_votes, sb.at(key).segment_votes) << key;
    }
}

TEST(ChangePointVotes, RepeatedPointInOneWindowVotesOnce) {
    const SegmentMap one = compute_change_points_with_votes({{3, {7, 7}}}, 2);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one.at("segment_1").point_votes, (Votes{{7, 1}}));
    EXPECT_EQ(one.at("segment_1").segment_votes, 1u);

    // Each of the two windows still counts.
    const SegmentMap two = compute_change_points_with_votes({{3, {7, 7}}, {4, {7}}}, 2);
    EXPECT_EQ(two.at("segment_1").point_votes, (Votes{{7, 2}}));
}

TEST(ChangePointVotes, GapIsMeasuredFromThePreviousPoint) {
    // 14 - 10 = 4 > tol, but every step is 2.
    EXPECT_EQ(layout(compute_change_points_with_votes({{4, {10, 12, 14}}}, 2)),
              (std::vector<std::pair<std::string, Points>>{{"segment_1", {10, 12, 14}}}));
    // A gap equal to tol joins, one beyond it splits.
    EXPECT_EQ(layout(compute_change_points_with_votes({{4, {10, 12}}}, 2)),
              (std::vector<std::pair<std::string, Points>>{{"segment_1", {10, 12}}}));
    EXPECT_EQ(layout(compute_change_points_with_votes({{4, {10, 13}}}, 2)),
              (std::vector<std::pair<std::string, Points>>{{"segment_1", {10}},
                                                           {"segment_2", {13}}}));
}

TEST(ChangePointVotes, ZeroToleranceSeparatesEveryDistinctPoint) {
    const SegmentMap segments = compute_change_points_with_votes({{2, {3, 4}}, {6, {4, 5}}}, 0);
    EXPECT_EQ(layout(segments), (std::vector<std::pair<std::string, Points>>{
                                    {"segment_1", {3}}, {"segment_2", {4}}, {"segment_3", {5}}}));
    EXPECT_EQ(segments.at("segment_2").segment_votes, 2u);
}

TEST(ChangePointVotes, ExtremePositionsDoNotOverflowTheGap) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(compute_change_points_with_votes({{1, {0, kMax}}}, kMax - 1).size(), 2u);
    EXPECT_EQ(compute_change_points_with_votes({{1, {0, kMax}}}, kMax).size(), 1u);
}

TEST(ChangePointVotes, TwelveSegmentsAreKeyedByNumberAndOrderedByBytes) {
    Points points;
    for (std::uint64_t i = 1; i <= 12; ++i) points.push_back(i * 100);
    const SegmentMap segments = compute_change_points_with_votes({{8, points}}, 2);

    std::vector<std::string> keys;
    for (const auto& [key, seg] : segments) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"segment_1", "segment_10", "segment_11",
                                              "segment_12", "segment_2", "segment_3", "segment_4",
                                              "segment_5", "segment_6", "segment_7", "segment_8",
                                              "segment_9"}));
    // Numbers follow position, not key order.
    EXPECT_EQ(segments.at("segment_2").points, (Points{200}));
    EXPECT_EQ(segments.at("segment_10").points, (Points{1000}));
}

TEST(LeaderSummary, ZeroWindowsIsAnError) {
    const auto empty = cdf_from_segment_votes({}, 0);
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(empty.error(), "number of windows must be positive");

    const auto nonempty = cdf_from_segment_votes({{"segment_1", segment({{3, 1}}, 1)}}, 0);
    ASSERT_FALSE(nonempty.has_value());
    EXPECT_EQ(nonempty.error(), "number of windows must be positive");
}

TEST(LeaderSummary, EmptySegmentsGiveEmptyResults) {
    const auto out = cdf_from_segment_votes({}, 4);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(out->cdf.empty());
    EXPECT_TRUE(out->leaders_segment_votes.empty());
    EXPECT_TRUE(out->leaders_scores.empty());
    EXPECT_TRUE(out->leaders_probs.empty());
}

TEST(LeaderSummary, VotesThroughToCdf) {
    const ChangePointMap cp{{5, {10, 12}}, {10, {11, 40}}, {20, {12}}};
    const auto out = cdf_from_segment_votes(compute_change_points_with_votes(cp, 2), cp.size());
    ASSERT_TRUE(out.has_value());

    EXPECT_EQ(out->leaders_segment_votes, (Votes{{12, 4}, {40, 1}}));
    ASSERT_EQ(out->leaders_scores.size(), 2u);
    EXPECT_SAME_DOUBLE(out->leaders_scores.at(12), 1.0);  // 4/3 capped
    EXPECT_SAME_DOUBLE(out->leaders_scores.at(40), 0.3333333333333333);
    ASSERT_EQ(out->leaders_probs.size(), 2u);
    EXPECT_SAME_DOUBLE(out->leaders_probs.at(12), 0.75);
    EXPECT_SAME_DOUBLE(out->leaders_probs.at(40), 0.25);
    ASSERT_EQ(out->cdf.size(), 2u);
    EXPECT_EQ(out->cdf[0].first, 12u);
    EXPECT_SAME_DOUBLE(out->cdf[0].second, 0.75);
    EXPECT_EQ(out->cdf[1].first, 40u);
    EXPECT_SAME_DOUBLE(out->cdf[1].second, 1.0);
}

TEST(LeaderSummary, LeaderIsTheEarliestOfTheMostVoted) {
    const SegmentMap segments{{"segment_1", segment({{10, 2}, {11, 2}}, 4)},
                              {"segment_2", segment({{20, 1}, {21, 3}, {22, 3}, {23, 2}}, 9)}};
    const auto out = cdf_from_segment_votes(segments, 5);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->leaders_segment_votes, (Votes{{10, 4}, {21, 9}}));
}

TEST(LeaderSummary, ProbabilitiesMultiplyByTheReciprocal) {
    const SegmentMap segments{{"segment_1", segment({{5, 1}}, 1)},
                              {"segment_2", segment({{9, 1}}, 1)},
                              {"segment_3", segment({{30, 3}}, 3)}};
    const auto out = cdf_from_segment_votes(segments, 4);
    ASSERT_TRUE(out.has_value());

    EXPECT_SAME_DOUBLE(out->leaders_scores.at(5), 0.25);
    EXPECT_SAME_DOUBLE(out->leaders_scores.at(9), 0.25);
    EXPECT_SAME_DOUBLE(out->leaders_scores.at(30), 0.75);
    EXPECT_SAME_DOUBLE(out->leaders_probs.at(5), 0.2);
    EXPECT_SAME_DOUBLE(out->leaders_probs.at(9), 0.2);
    // 0.75 / 1.25 would round to 0.6.
    EXPECT_SAME_DOUBLE(out->leaders_probs.at(30), 0.6000000000000001);
    EXPECT_NE(bits(out->leaders_probs.at(30)), bits(0.6));

    ASSERT_EQ(out->cdf.size(), 3u);
    EXPECT_EQ(out->cdf[0].first, 5u);
    EXPECT_EQ(out->cdf[1].first, 9u);
    EXPECT_EQ(out->cdf[2].first, 30u);
    EXPECT_SAME_DOUBLE(out->cdf[0].second, 0.2);
    EXPECT_SAME_DOUBLE(out->cdf[1].second, 0.4);
    EXPECT_SAME_DOUBLE(out->cdf[2].second, 1.0);
}

TEST(LeaderSummary, SingleSegmentProbabilityIsNotForcedToOne) {
    const auto partial = cdf_from_segment_votes({{"segment_1", segment({{17, 7}}, 7)}}, 9);
    ASSERT_TRUE(partial.has_value());
    EXPECT_SAME_DOUBLE(partial->leaders_probs.at(17), 0.9999999999999999);
    ASSERT_EQ(partial->cdf.size(), 1u);
    EXPECT_EQ(partial->cdf[0].first, 17u);
    EXPECT_SAME_DOUBLE(partial->cdf[0].second, 0.9999999999999999);

    // Votes beyond the number of windows cap the score at exactly 1.
    const auto full = cdf_from_segment_votes({{"segment_1", segment({{17, 5}, {18, 6}}, 11)}}, 9);
    ASSERT_TRUE(full.has_value());
    EXPECT_SAME_DOUBLE(full->leaders_scores.at(18), 1.0);
    EXPECT_SAME_DOUBLE(full->leaders_probs.at(18), 1.0);
    EXPECT_SAME_DOUBLE(full->cdf[0].second, 1.0);
}

TEST(LeaderSummary, ZeroScoresFallBackToUniformProbabilities) {
    // Only hand-built segments can carry zero votes.
    const SegmentMap segments{{"segment_1", segment({{1, 0}}, 0)},
                              {"segment_2", segment({{4, 0}}, 0)},
                              {"segment_3", segment({{8, 0}}, 0)}};
    const auto out = cdf_from_segment_votes(segments, 2);
    ASSERT_TRUE(out.has_value());
    for (const auto& [leader, prob] : out->leaders_probs) {
        EXPECT_SAME_DOUBLE(prob, 1.0 / 3.0) << leader;
    }
    ASSERT_EQ(out->cdf.size(), 3u);
    EXPECT_SAME_DOUBLE(out->cdf[1].second, 0.6666666666666666);
    EXPECT_SAME_DOUBLE(out->cdf[2].second, 1.0);
}

TEST(LeaderSummary, SegmentsWithoutMembersAreSkipped) {
    const SegmentMap segments{{"segment_1", SegmentInfo{{}, {}, 5}},
                              {"segment_2", segment({{6, 1}}, 1)}};
    const auto out = cdf_from_segment_votes(segments, 2);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->leaders_segment_votes, (Votes{{6, 1}}));
    EXPECT_SAME_DOUBLE(out->leaders_probs.at(6), 1.0);
}

}  // namespace
}  // namespace vollan
