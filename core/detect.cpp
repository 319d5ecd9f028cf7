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
#include "core/window_run.hpp"

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

Result<WindowScanResult> scan_window(std::uint64_t w, const WindowParams& params) {
    const std::span<const double> series = params.series;
    const std::uint64_t n = series.size();
    WindowScanResult result;
    // n / 2 < w is n < 2w without the doubling, which could wrap for huge w.
    if (w == 0 || n / 2 < w) return result;

    const std::uint64_t n_positions = n / w - 1;
    const double quantile_level = bonferroni_quantile_level(params.alpha_percent, n_positions);

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
            Result<double> t = bootstrap_threshold(params, w, quantile_level, p, workspace);
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
            series.subspan(reg.start, reg.end - reg.start), params.change_type);
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
    return result;
}

namespace {

// Waits for every window of the run and keys the results by window size; the first failing
// window in list order wins.
Result<WindowMaps> collect_windows(WindowRun& run) {
    while (run.next_finished()) {
    }
    WindowMaps maps;
    for (std::size_t j = 0; j < run.size(); ++j) {
        auto& outcome = run.outcome(j);
        if (!outcome) return error(std::move(outcome.error()));
        const std::uint64_t w = run.window_size(j);
        maps.cp_dict[w] = outcome->change_points;
        maps.window_results[w] = std::move(*outcome);
    }
    return maps;
}

}  // namespace

Result<WindowMaps> run_windows(std::span<const std::uint64_t> window_sizes,
                               const WindowParams& params, std::optional<std::uint64_t> workers) {
    auto run = WindowRun::start(window_sizes, params, workers);
    if (!run) return error(std::move(run.error()));
    return collect_windows(**run);
}

WindowParams window_params(std::span<const double> series, const PrefixStats& prefix,
                           const DetectOptions& options) {
    WindowParams params;
    params.series = series;
    params.prefix = &prefix;
    params.n_perm = options.n_perm;
    params.alpha_percent = alpha_to_percent(options.alpha_q);
    params.min_std = kMinStd;
    params.taper_ratio = options.taper_ratio;
    params.seed = options.seed;
    params.change_type = options.change_type;
    params.b = options.b;
    params.center = options.center;
    return params;
}

Result<void> check_series(std::span<const double> series) {
    if (series.size() < 3) return error("series must contain at least 3 values");
    if (!all_finite(series)) {
        return error("series contains NaN or infinite values; clean/impute before calling vollan");
    }
    return {};
}

Result<std::vector<std::uint64_t>> resolve_window_sizes(
    const std::optional<std::vector<std::uint64_t>>& window_sizes) {
    std::vector<std::uint64_t> sizes;
    if (window_sizes) {
        sizes = *window_sizes;
        if (sizes.empty()) return error("window_sizes must not be empty");
        for (std::uint64_t w : sizes) {
            if (w == 0) return error("window_sizes must be positive, got " + std::to_string(w));
        }
    } else {
        for (std::uint64_t w = 10; w <= 20; ++w) sizes.push_back(w);
    }
    return sizes;
}

Result<WindowScanResult> run_single_window(const WindowRequest& request) {
    if (auto checked = check_series(request.series); !checked) {
        return error(std::move(checked.error()));
    }
    if (request.window_size == 0) return error("window_size must be positive");
    const PrefixStats prefix = PrefixStats::from_series(request.series);
    return scan_window(request.window_size, window_params(request.series, prefix, request.options));
}

Result<LeaderSummary> vote_across_windows(const ChangePointMap& cp_dict, std::uint64_t tol) {
    return cdf_from_segment_votes(compute_change_points_with_votes(cp_dict, tol), cp_dict.size());
}

Result<ScanOutput> run_scan_detector(const ScanRequest& request) {
    auto run = WindowRun::start_scan(request);
    if (!run) return error(std::move(run.error()));
    auto maps = collect_windows(**run);
    if (!maps) return error(std::move(maps.error()));

    auto summary = vote_across_windows(maps->cp_dict, request.tol);
    if (!summary) return error(std::move(summary.error()));
    ScanOutput output;
    output.out = std::move(*summary);
    output.cp_dict = std::move(maps->cp_dict);
    output.window_results = std::move(maps->window_results);
    return output;
}

}  // namespace vollan
