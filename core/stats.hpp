// Prefix sums over the series, for O(1) mean and standard deviation of any stretch.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace vollan {

struct PrefixStats {
    std::vector<double> prefix_sum;     // n + 1 values, prefix_sum[0] = 0
    std::vector<double> prefix_sum_sq;  // n + 1 values, prefix_sum_sq[0] = 0

    static PrefixStats from_series(std::span<const double> series);

    // (mean, sample std floored at min_std) of series[start .. start+len-1]; len >= 1 and
    // start + len <= n are the caller's duty (checked, a violation aborts).
    std::pair<double, double> mean_std(std::size_t start, std::size_t len, double min_std) const;
};

}  // namespace vollan
