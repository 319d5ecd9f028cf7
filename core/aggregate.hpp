// Voting across window sizes: segments of nearby change points and their leaders.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/types.hpp"

namespace vollan {

// Window size -> the change points that window reported (possibly empty, possibly repeated).
using ChangePointMap = std::map<std::uint64_t, std::vector<std::uint64_t>>;

// One run of voted change points, each at most tol beyond its predecessor.
struct SegmentInfo {
    std::vector<std::uint64_t> points;                 // ascending, never empty
    std::map<std::uint64_t, std::uint64_t> point_votes;  // exactly the members of points
    std::uint64_t segment_votes = 0;                   // sum of the members' votes
};

// Keyed "segment_<n>", numbered by ascending position but ordered byte-wise ("segment_10" sorts
// before "segment_2"); consumers key everything by change point, so the order never matters.
using SegmentMap = std::map<std::string, SegmentInfo>;

// One leader per segment; all four members hold the same leaders, ascending.
struct LeaderSummary {
    std::vector<std::pair<std::uint64_t, double>> cdf;          // (leader, cumulative probability)
    std::map<std::uint64_t, std::uint64_t> leaders_segment_votes;
    std::map<std::uint64_t, double> leaders_scores;             // min(votes / n_windows, 1.0)
    std::map<std::uint64_t, double> leaders_probs;              // scores normalised to sum to 1
};

// Counts, for every position, the windows that report it (once per window), and chains the voted
// positions into segments where neighbours are at most tol apart. Never fails.
SegmentMap compute_change_points_with_votes(const ChangePointMap& cp_dict, std::uint64_t tol);

// Elects the most-voted member of each segment (smallest position on ties) and derives capped
// scores, probabilities and their running sum along the series. Fails only for n_windows == 0.
Result<LeaderSummary> cdf_from_segment_votes(const SegmentMap& segments, std::uint64_t n_windows);

}  // namespace vollan
