// Voting across window sizes: segments of nearby change points and their leaders.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/types.hpp"

namespace vollan {

using ChangePointMap = std::map<std::uint64_t, std::vector<std::uint64_t>>;

struct SegmentInfo {
    std::vector<std::uint64_t> points;
    std::map<std::uint64_t, std::uint64_t> point_votes;
    std::uint64_t segment_votes = 0;
};

// Keyed "segment_<n>", ordered byte-wise.
using SegmentMap = std::map<std::string, SegmentInfo>;

struct LeaderSummary {
    std::vector<std::pair<std::uint64_t, double>> cdf;
    std::map<std::uint64_t, std::uint64_t> leaders_segment_votes;
    std::map<std::uint64_t, double> leaders_scores;
    std::map<std::uint64_t, double> leaders_probs;
};

SegmentMap compute_change_points_with_votes(const ChangePointMap& cp_dict, std::uint64_t tol);

Result<LeaderSummary> cdf_from_segment_votes(const SegmentMap& segments, std::uint64_t n_windows);

}  // namespace vollan
