#include "core/detect.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#include "core/bootstrap.hpp"
#include "core/pool.hpp"
#include "core/quantile.hpp"
#include "core/refine.hpp"
#include "core/sort.hpp"
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

// A window's threshold from a pilot: its first m = ceil(n_perm / 4) replicates (replicates are
// seeded by index, so they are the first m of the full run), completed to all n_perm only when a
// position's statistic lies where the pilot cannot decide it.
//
// - Not flagged, exactly as the full run: the full threshold interpolates between its sorted
//   replicates lo and lo + 1 (lo = floor((n_perm - 1) q)); replicate lo is the (k + 1)-th
//   largest of all, k = n_perm - 1 - lo, so at least the (k + 1)-th largest P of the pilot's,
//   a subset. Interpolation is non-decreasing in both values, so the full threshold is at least
//   the interpolation of P with itself, the bound `below`, computed with the full run's weights;
//   a statistic at most `below` is at most the full threshold. At detect's levels, q >=
//   (n_perm - 2) / (n_perm - 1), P is the pilot's second-largest. When k + 1 > m there is no
//   such bound and every position that is not above completes the threshold.
// - Flagged without completing: a statistic above c times the pilot's own threshold. This is the
//   only decision that can differ from the full run's, when the full threshold exceeds c times
//   the pilot's and the statistic lies between them; c is chosen so that the ratio of the full
//   threshold to the pilot's rarely exceeds it on change-free series.
// - Otherwise the remaining replicates are drawn (the same seeds: the full run's threshold, bit
//   for bit), and that threshold decides this position and the following ones until a flag.
class PilotThreshold {
public:
    PilotThreshold(const WindowParams& params, std::uint64_t w, double quantile_level)
        : params_(params),
          w_(w),
          q_(quantile_level),
          m_(params.n_perm / 4 + (params.n_perm % 4 != 0)),
          factor_(*params.pilot_factor),
          place_(quantile_place(params.n_perm, quantile_level)),
          rank_from_top_(params.n_perm - 1 - place_.lo) {}

    // Whether a pilot can be taken at all: two replicates or more, and a level that is a number.
    static bool applies(const WindowParams& params, double quantile_level) {
        return params.pilot_factor && params.n_perm >= 2 && !std::isnan(quantile_level);
    }

    // Draws the pilot of the position whose left window starts at p; its threshold.
    Result<double> start(std::uint64_t p, BootstrapWorkspace& workspace) {
        if (auto d = bootstrap_distances(params_, w_, p, 0, m_, workspace); !d) {
            return std::unexpected(std::move(d.error()));
        }
        p_ = p;
        complete_ = false;
        pilot_.assign(workspace.distances.begin(), workspace.distances.begin() + m_);
        const double t_pilot = interpolated_quantile(pilot_, q_);
        above_ = factor_ * t_pilot;
        below_ = -std::numeric_limits<double>::infinity();
        if (rank_from_top_ < m_) {
            auto less = [](double a, double b) { return total_order_key(a) < total_order_key(b); };
            const auto at = pilot_.begin() + static_cast<std::ptrdiff_t>(m_ - 1 - rank_from_top_);
            std::nth_element(pilot_.begin(), at, pilot_.end(), less);
            below_ = interpolate_at(place_, *at, *at);
        }
        return t_pilot;
    }

    // Whether stat is decided without the remaining replicates, and how: nullopt when the full
    // threshold is needed (or already complete).
    std::optional<bool> decide(double stat) const {
        if (complete_) return std::nullopt;
        if (stat <= below_) return false;
        if (stat > above_) return true;
        return std::nullopt;
    }

    bool complete() const { return complete_; }

    // Draws the remaining replicates of the current position; the full run's threshold.
    Result<double> finish(BootstrapWorkspace& workspace) {
        if (auto d = bootstrap_distances(params_, w_, p_, m_, params_.n_perm, workspace); !d) {
            return std::unexpected(std::move(d.error()));
        }
        complete_ = true;
        return interpolated_quantile(workspace.distances, q_);
    }

private:
    const WindowParams& params_;
    std::uint64_t w_;
    double q_;
    std::uint64_t m_;
    double factor_;
    QuantilePlace place_;
    std::uint64_t rank_from_top_;
    std::uint64_t p_ = 0;
    bool complete_ = true;
    double below_ = 0.0;
    double above_ = 0.0;
    std::vector<double> pilot_;
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

    // With a pilot, the thresholds array holds the full run's threshold at every position of a
    // threshold that was completed (the positions the pilot decided before it included), and the
    // pilot's own threshold (a quarter of the replicates) at the positions of one never
    // completed: those are statistics at most the exact bound, and a flag above c times it.
    std::optional<PilotThreshold> pilot;
    if (PilotThreshold::applies(params, quantile_level)) pilot.emplace(params, w, quantile_level);
    std::vector<double>& thresholds = result.tapered_block_bootstrap_threshold;
    std::size_t held_from = 0;  // the first position of the current threshold

    double threshold = std::bit_cast<double>(kQuietNanBits);
    bool refresh = true;
    for (std::uint64_t i = 0; i < n_positions; ++i) {
        const std::uint64_t p = i * w;
        // The bootstrap is the costly step: it is redone only after a flagged position.
        if (refresh) {
            Result<double> t = pilot ? pilot->start(p, workspace)
                                     : bootstrap_threshold(params, w, quantile_level, p, workspace);
            if (!t) return std::unexpected(std::move(t.error()));
            threshold = *t;
            held_from = thresholds.size();
        }
        const double stat = statistics.next();

        bool is_flagged;
        const std::optional<bool> decided = pilot ? pilot->decide(stat) : std::nullopt;
        if (decided) {
            is_flagged = *decided;
        } else {
            if (pilot && !pilot->complete()) {
                Result<double> t = pilot->finish(workspace);
                if (!t) return std::unexpected(std::move(t.error()));
                threshold = *t;
                std::fill(thresholds.begin() + static_cast<std::ptrdiff_t>(held_from),
                          thresholds.end(), threshold);
            }
            is_flagged = stat > threshold;
        }
        result.starts.push_back(p);
        result.statistics.push_back(stat);
        thresholds.push_back(threshold);
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
    params.pilot_factor = options.pilot_factor;
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
