// Per-window detection, the multi-window driver and the whole scan_detector pipeline.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/aggregate.hpp"
#include "core/stats.hpp"
#include "core/types.hpp"

namespace vollan {

// Scans the series with window size w: statistics, thresholds, localized regions and one refined
// change point per region.
Result<std::pair<std::uint64_t, WindowScanResult>> detect_for_window_with_policy(
    std::span<const double> series, const PrefixStats& prefix, std::uint64_t window_size,
    std::uint64_t n_perm, double alpha_percent, double min_std, double taper_ratio,
    std::uint64_t seed, ChangeType change_type, std::optional<std::uint64_t> b, bool center);

// Quantile level for one of n_positions positions: the level alpha_percent corrected for all
// positions (Bonferroni), clamped to [0, 1]; a NaN alpha_percent gives NaN.
double bonferroni_quantile_level(double alpha_percent, std::uint64_t n_positions);

// Regions of ascending flagged position indices: a position alone covers its two windows, two
// adjacent positions share one region of 3w values, longer runs are cut into pairs from the start.
std::vector<Region> localized_regions(std::span<const std::uint64_t> flagged, std::uint64_t w);

// A value <= 1.0 is a fraction and becomes a percentage; anything else (NaN too) is kept.
inline double alpha_to_percent(double alpha_q) { return alpha_q <= 1.0 ? 100.0 * alpha_q : alpha_q; }

// Everything that is the same for every window size of one call.
struct WindowParams {
    std::span<const double> series;
    const PrefixStats* prefix = nullptr;
    std::uint64_t n_perm = 300;
    double alpha_percent = 100.0;
    double min_std = kMinStd;
    double taper_ratio = 0.5;
    std::uint64_t seed = 123;
    ChangeType change_type = ChangeType::mean;
    std::optional<std::uint64_t> b;
    bool center = true;
};

using WindowResultMap = std::map<std::uint64_t, WindowScanResult>;

struct WindowMaps {
    ChangePointMap cp_dict;
    WindowResultMap window_results;
};

// Runs every window size (duplicates included) on the shared pool, or on a dedicated pool of
// min(workers, kMaxPoolThreads) threads when workers >= 1 (0, like absent, means the shared pool,
// whose size is the default count); the first failing window in list order wins.
Result<WindowMaps> run_windows(std::span<const std::uint64_t> window_sizes, const WindowParams& params,
                               std::optional<std::uint64_t> workers);

struct ScanRequest {
    std::span<const double> series;
    std::optional<std::vector<std::uint64_t>> window_sizes;
    std::uint64_t n_perm = 300;
    double alpha_q = 1.0;
    std::uint64_t seed = 123;
    std::uint64_t tol = 2;
    std::optional<std::uint64_t> workers;
    std::string_view backend = "thread";
    std::string_view change_type = "mean";
    std::optional<std::uint64_t> b;
    double taper_ratio = 0.5;
    bool center = true;
};

struct ScanOutput {
    LeaderSummary out;
    ChangePointMap cp_dict;
    WindowResultMap window_results;
    SegmentMap segments;
};

// Checks (length, finiteness, window sizes, backend, change type, in that order), the windows,
// then voting across windows.
Result<ScanOutput> run_scan_detector(const ScanRequest& request);

}  // namespace vollan
