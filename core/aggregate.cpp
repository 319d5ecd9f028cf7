#include "core/aggregate.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <unordered_set>
#include <utility>

namespace vollan {

namespace {

SegmentInfo open_segment(std::uint64_t point, std::uint64_t votes) {
    SegmentInfo seg;
    seg.points.push_back(point);
    seg.point_votes.emplace(point, votes);
    seg.segment_votes = votes;
    return seg;
}

}  // namespace

SegmentMap compute_change_points_with_votes(const ChangePointMap& cp_dict, std::uint64_t tol) {
    // A window that lists a position twice still casts a single vote for it.
    std::map<std::uint64_t, std::uint64_t> votes;
    std::unordered_set<std::uint64_t> seen;
    for (const auto& [window, points] : cp_dict) {
        seen.clear();
        for (std::uint64_t p : points) {
            if (seen.insert(p).second) ++votes[p];
        }
    }

    SegmentMap segments;
    if (votes.empty()) return segments;

    std::uint64_t counter = 1;
    auto it = votes.begin();
    SegmentInfo current = open_segment(it->first, it->second);
    std::uint64_t previous = it->first;
    for (++it; it != votes.end(); ++it) {
        const auto [q, w] = *it;
        // Single linkage: the gap is measured from the preceding point, so chains may span far
        // more than tol.
        if (q - previous > tol) {
            segments.emplace("segment_" + std::to_string(counter), std::move(current));
            ++counter;
            current = open_segment(q, w);
        } else {
            current.points.push_back(q);
            current.point_votes.emplace(q, w);
            current.segment_votes += w;
        }
        previous = q;
    }
    segments.emplace("segment_" + std::to_string(counter), std::move(current));
    return segments;
}

Result<LeaderSummary> cdf_from_segment_votes(const SegmentMap& segments, std::uint64_t n_windows) {
    if (n_windows == 0) return error("number of windows must be positive");

    LeaderSummary out;
    for (const auto& [key, seg] : segments) {
        if (seg.point_votes.empty()) continue;
        auto best = seg.point_votes.begin();
        for (auto it = std::next(best); it != seg.point_votes.end(); ++it) {
            if (it->second > best->second) best = it;
        }
        out.leaders_segment_votes[best->first] = seg.segment_votes;
    }

    // A segment sums the votes of all its members, so the quotient can exceed 1.
    const double windows = static_cast<double>(n_windows);
    for (const auto& [leader, votes] : out.leaders_segment_votes) {
        out.leaders_scores.emplace(leader, std::min(static_cast<double>(votes) / windows, 1.0));
    }

    double total = 0.0;
    for (const auto& [leader, score] : out.leaders_scores) total += score;
    if (total > 0.0) {
        // Multiplying by the reciprocal is part of the result: it can differ from score / total
        // in the last bit.
        const double r = 1.0 / total;
        for (const auto& [leader, score] : out.leaders_scores) {
            out.leaders_probs.emplace(leader, score * r);
        }
    } else if (!out.leaders_scores.empty()) {
        const double uniform = 1.0 / static_cast<double>(out.leaders_scores.size());
        for (const auto& [leader, score] : out.leaders_scores) {
            out.leaders_probs.emplace(leader, uniform);
        }
    }

    out.cdf.reserve(out.leaders_probs.size());
    double c = 0.0;
    for (const auto& [leader, prob] : out.leaders_probs) {
        c += prob;
        out.cdf.emplace_back(leader, c);
    }
    return out;
}

}  // namespace vollan
