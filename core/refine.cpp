#include "core/refine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/wasserstein.hpp"

namespace vollan {

std::size_t cusum_split(std::span<const double> region) {
    const std::size_t n = region.size();
    double total = 0.0;
    for (double v : region) total += v;
    const double mean = total / static_cast<double>(n);
    double s = 0.0;
    double best = -std::numeric_limits<double>::infinity();
    std::size_t best_k = 0;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        s = s + (mean - region[k]);
        const double a = std::fabs(s);
        if (a > best) {
            best = a;
            best_k = k;
        }
    }
    return best_k + 1;
}

std::size_t wasserstein_split(std::span<const double> region, std::span<double> stats) {
    const std::size_t n = region.size();
    std::vector<double> right(region.begin(), region.end());
    sort_total_order(right);
    std::vector<double> left;
    left.reserve(n);

    const double nd = static_cast<double>(n);
    double best = -std::numeric_limits<double>::infinity();
    std::size_t best_j = 1;
    for (std::size_t j = 1; j < n; ++j) {
        const double v = region[j - 1];
        // Both halves stay sorted: one bisection and one shift per buffer instead of re-sorting.
        auto at = std::lower_bound(left.begin(), left.end(), v, total_order_less);
        left.insert(at, v);
        auto gone = std::lower_bound(right.begin(), right.end(), v, total_order_less);
        right.erase(gone);

        const double weight = std::sqrt((static_cast<double>(n - j) * static_cast<double>(j)) / nd);
        const double stat = wasserstein_1d_sorted(left, right) * weight;
        if (!stats.empty()) stats[j] = stat;
        if (stat > best) {
            best = stat;
            best_j = j;
        }
    }
    return best_j;
}

Result<std::size_t> refine_for_change_type(std::span<const double> region, ChangeType change_type) {
    if (region.size() < 3) return error("need at least 3 points");
    switch (change_type) {
        case ChangeType::mean:
            return cusum_split(region);
        case ChangeType::var:
        case ChangeType::distribution:
            return wasserstein_split(region);
    }
    return error("need at least 3 points");
}

}  // namespace vollan
