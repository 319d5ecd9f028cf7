#include "core/stats.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vollan {

PrefixStats PrefixStats::from_series(std::span<const double> series) {
    PrefixStats p;
    p.prefix_sum.resize(series.size() + 1);
    p.prefix_sum_sq.resize(series.size() + 1);
    double s = 0.0;
    double sq = 0.0;
    p.prefix_sum[0] = 0.0;
    p.prefix_sum_sq[0] = 0.0;
    for (std::size_t i = 0; i < series.size(); ++i) {
        const double x = series[i];
        s += x;
        sq += x * x;
        p.prefix_sum[i + 1] = s;
        p.prefix_sum_sq[i + 1] = sq;
    }
    return p;
}

std::pair<double, double> PrefixStats::mean_std(std::size_t start, std::size_t len,
                                                double min_std) const {
    const std::size_t size = prefix_sum.size();
    if (len == 0 || start >= size || len >= size - start) {
        std::fputs("vollan: PrefixStats::mean_std called outside the table\n", stderr);
        std::abort();
    }
    const double L = static_cast<double>(len);
    const double d = prefix_sum[start + len] - prefix_sum[start];
    const double mean = d / L;
    if (len < 2) return {mean, min_std};
    const double s = (prefix_sum_sq[start + len] - prefix_sum_sq[start]) - (d * d) / L;
    // NaN counts as 0: max(NaN, 0) must not propagate the NaN.
    const double clamped = (s > 0.0) ? s : 0.0;
    const double v = clamped / (L - 1.0);
    const double r = std::sqrt(v);
    // The larger of r and the floor; if one of them is NaN the other is taken.
    double std_dev;
    if (std::isnan(r)) {
        std_dev = min_std;
    } else if (std::isnan(min_std)) {
        std_dev = r;
    } else {
        std_dev = r > min_std ? r : min_std;
    }
    return {mean, std_dev};
}

}  // namespace vollan
