#include "core/detect.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <string>

#include "core/bootstrap.hpp"
#include "core/pool.hpp"
#include "core/refine.hpp"
#include "core/wasserstein.hpp"

namespace vollan {

namespace {

// Up to this many regions are refined on the calling thread; more go to the pool.
constexpr std::size_t kSequentialRegions = 7;

// The statistics of the positions 0, 1, 2, ... of one window size, in order. Small windows are
// measured kDistanceLanes positions at a time side by side; larger ones keep the sorted right
// window of a position as the left window of the next, so each window is sorted once.
class StatisticScan {
public:
    StatisticScan(std::span<const double> series, std::uint64_t w, std::uint64_t n_positions)
        : series_(series), w_(w), n_positions_(n_positions) {
        if (w_ > kLaneSampleMax) {
            left_.resize(w_);
            right_.resize(w_);
        }
    }

    double next() {
        const std::uint64_t i = i_++;
        if (w_ <= kLaneSampleMax) {
            const std::size_t lane = i % kDistanceLanes;
            if (lane == 0) measure_group(i);
            return group_[lane];
        }
        const double* x = series_.data() + i * w_;
        if (i == 0) {
            std::copy_n(x, w_, left_.begin());
            sort_total_order(left_, scratch_);
        } else {
            std::swap(left_, right_);
        }
        std::copy_n(x + w_, w_, right_.begin());
        sort_total_order(right_, scratch_);
        return wasserstein_1d_sorted(left_, right_);
    }

private:
    // Positions i0 .. i0 + kDistanceLanes - 1 (the last one repeated past the end).
    void measure_group(std::uint64_t i0) {
        alignas(64) double rows[2 * kLaneSampleMax * kDistanceLanes];
        const std::uint64_t last = n_positions_ - 1;
        for (std::size_t l = 0; l < kDistanceLanes; ++l) {
            const double* x = series_.data() + std::min<std::uint64_t>(i0 + l, last) * w_;
            for (std::uint64_t k = 0; k < 2 * w_; ++k) rows[k * kDistanceLanes + l] = x[k];
        }
        wasserstein_lanes(w_, rows, group_);
    }

    std::span<const double> series_;
    std::uint64_t w_;
    std::uint64_t n_positions_;
    std::uint64_t i_ = 0;
    double group_[kDistanceLanes] = {};
    std::vector<double> left_;
    std::vector<double> right_;
    std::vector<std::uint64_t> scratch_;
};

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
    BootstrapWorkspace workspace;
    StatisticScan statistics(series, w, n_positions);

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
        const double stat = statistics.next();

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

namespace {

bool equals_ascii_ci(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

using WindowOutcome = Result<std::pair<std::uint64_t, WindowScanResult>>;

std::vector<WindowOutcome> compute_windows(std::span<const std::uint64_t> sizes,
                                           const WindowParams& p) {
    struct NoScratch {};
    return parallel_map(
        sizes.size(), 1, [] { return NoScratch{}; },
        [&](NoScratch&, std::size_t j) {
            return detect_for_window_with_policy(p.series, *p.prefix, sizes[j], p.n_perm,
                                                 p.alpha_percent, p.min_std, p.taper_ratio, p.seed,
                                                 p.change_type, p.b, p.center);
        });
}

}  // namespace

Result<WindowMaps> run_windows(std::span<const std::uint64_t> window_sizes, const WindowParams& params,
                               std::optional<std::uint64_t> workers) {
    std::vector<WindowOutcome> outcomes;
    if (workers && *workers >= 1) {
        auto pool = make_dedicated_pool(*workers);
        if (!pool) return error("failed to build Rayon thread pool: " + pool.error());
        outcomes = install(**pool, [&] { return compute_windows(window_sizes, params); });
    } else {
        outcomes = compute_windows(window_sizes, params);
    }

    WindowMaps maps;
    for (auto& outcome : outcomes) {
        if (!outcome) return error(std::move(outcome.error()));
        auto& [w, result] = *outcome;
        maps.cp_dict[w] = result.change_points;
        maps.window_results[w] = std::move(result);
    }
    return maps;
}

Result<ScanOutput> run_scan_detector(const ScanRequest& request) {
    const auto series = request.series;
    if (series.size() < 3) return error("series must contain at least 3 values");
    for (double v : series) {
        if (!is_finite_bits(v)) {
            return error("series contains NaN or infinite values; clean/impute before calling vollan");
        }
    }
    std::vector<std::uint64_t> sizes;
    if (request.window_sizes) {
        sizes = *request.window_sizes;
        if (sizes.empty()) return error("window_sizes must not be empty");
        for (std::uint64_t w : sizes) {
            if (w == 0) return error("window_sizes must be positive, got " + std::to_string(w));
        }
    } else {
        for (std::uint64_t w = 10; w <= 20; ++w) sizes.push_back(w);
    }
    if (!equals_ascii_ci(request.backend, "thread") && !equals_ascii_ci(request.backend, "process")) {
        return error(
            "backend must be 'thread' or 'process'. Both run on the same internal worker threads, "
            "so the choice does not change the computation.");
    }
    auto change_type = parse_change_type(request.change_type);
    if (!change_type) return error(std::move(change_type.error()));

    const PrefixStats prefix = PrefixStats::from_series(series);
    WindowParams params;
    params.series = series;
    params.prefix = &prefix;
    params.n_perm = request.n_perm;
    params.alpha_percent = alpha_to_percent(request.alpha_q);
    params.min_std = kMinStd;
    params.taper_ratio = request.taper_ratio;
    params.seed = request.seed;
    params.change_type = *change_type;
    params.b = request.b;
    params.center = request.center;

    auto maps = run_windows(sizes, params, request.workers);
    if (!maps) return error(std::move(maps.error()));

    ScanOutput output;
    output.segments = compute_change_points_with_votes(maps->cp_dict, request.tol);
    auto summary = cdf_from_segment_votes(output.segments, maps->cp_dict.size());
    if (!summary) return error(std::move(summary.error()));
    output.out = std::move(*summary);
    output.cp_dict = std::move(maps->cp_dict);
    output.window_results = std::move(maps->window_results);
    return output;
}

}  // namespace vollan
