#include "core/detect.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

#include "core/bootstrap.hpp"
#include "core/pool.hpp"
#include "core/refine.hpp"
#include "core/wasserstein.hpp"

namespace vollan {

namespace {

// Up to this many regions are refined on the calling thread; more go to the pool.
constexpr std::size_t kSequentialRegions = 7;

}  // namespace

double bonferroni_quantile_level(double alpha_percent, std::uint64_t n_positions) {
    const double level = 100.0 - alpha_percent / static_cast<double>(n_positions);
    // A NaN level stays NaN (the quantile then takes the smallest distance).
    const double clamped = std::isnan(level) ? level : std::min(100.0, std::max(0.0, level));
    return clamped * 0.01;
}

std::vector<Region> localized_regions(std::span<const std::uint64_t> flagged, std::uint64_t w) {
    std::vector<Region> regions;
    std::size_t j = 0;
    while (j < flagged.size()) {
        const std::uint64_t s = flagged[j];
        std::uint64_t e = s;
        if (j + 1 < flagged.size() && flagged[j + 1] == s + 1) {
            e = s + 1;
            j += 2;
        } else {
            j += 1;
        }
        regions.push_back(Region{s * w, (e + 2) * w});
    }
    return regions;
}

Result<std::pair<std::uint64_t, WindowScanResult>> detect_for_window_with_policy(
    std::span<const double> series, const PrefixStats& prefix, std::uint64_t window_size,
    std::uint64_t n_perm, double alpha_percent, double min_std, double taper_ratio,
    std::uint64_t seed, ChangeType change_type, std::optional<std::uint64_t> b, bool center) {
    const std::uint64_t w = window_size;
    const std::uint64_t n = series.size();
    WindowScanResult result;
    // n / 2 < w is n < 2w without the doubling, which could wrap for huge w.
    if (w == 0 || n / 2 < w) return std::pair{w, std::move(result)};

    const std::uint64_t n_positions = n / w - 1;
    BootstrapParams params;
    params.w = w;
    params.n_perm = n_perm;
    params.quantile_level = bonferroni_quantile_level(alpha_percent, n_positions);
    params.min_std = min_std;
    params.taper_ratio = taper_ratio;
    params.center = center;
    params.b = b;
    params.seed = seed;

    result.starts.reserve(n_positions);
    result.statistics.reserve(n_positions);
    result.tapered_block_bootstrap_threshold.reserve(n_positions);
    std::vector<std::uint64_t> flagged;
    std::vector<double> left(w);
    std::vector<double> right(w);
    BootstrapWorkspace workspace;

    double threshold = std::bit_cast<double>(kQuietNanBits);
    bool refresh = true;
    for (std::uint64_t i = 0; i < n_positions; ++i) {
        const std::uint64_t p = i * w;
        // The bootstrap is the costly step: it is redone only after a flagged position.
        if (refresh) {
            Result<double> t = bootstrap_threshold(series, prefix, p, params, workspace);
            if (!t) return std::unexpected(std::move(t.error()));
            threshold = *t;
        }
        std::copy_n(series.begin() + p, w, left.begin());
        std::copy_n(series.begin() + (p + w), w, right.begin());
        sort_total_order(left);
        sort_total_order(right);
        const double stat = wasserstein_1d_sorted(left, right);

        result.starts.push_back(p);
        result.statistics.push_back(stat);
        result.tapered_block_bootstrap_threshold.push_back(threshold);
        const bool is_flagged = stat > threshold;
        if (is_flagged) flagged.push_back(i);
        refresh = is_flagged;
    }

    result.localized_regions = localized_regions(flagged, w);
    const std::vector<Region>& regions = result.localized_regions;
    auto refine_region = [&](std::size_t k) -> Result<std::uint64_t> {
        const Region reg = regions[k];
        Result<std::size_t> split = refine_for_change_type(
            series.subspan(reg.start, reg.end - reg.start), change_type);
        if (!split) return std::unexpected(std::move(split.error()));
        return std::clamp<std::uint64_t>(reg.start + *split, reg.start + 1, reg.end - 1);
    };

    std::vector<Result<std::uint64_t>> refined;
    if (regions.size() > kSequentialRegions) {
        refined = parallel_map(
            regions.size(), 1, [] { return 0; },
            [&](int&, std::size_t k) { return refine_region(k); });
    } else {
        refined.reserve(regions.size());
        for (std::size_t k = 0; k < regions.size(); ++k) refined.push_back(refine_region(k));
    }
    result.change_points.reserve(refined.size());
    for (auto& r : refined) {
        if (!r) return std::unexpected(std::move(r.error()));
        result.change_points.push_back(*r);
    }
    return std::pair{w, std::move(result)};
}

}  // namespace vollan
