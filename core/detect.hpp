// Per-window detection, the multi-window driver and the whole scan_detector pipeline.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/aggregate.hpp"
#include "core/stats.hpp"
#include "core/types.hpp"

namespace vollan {

// Scans params.series with window size w: statistics, thresholds, localized regions and one
// refined change point per region. A window too large for the series gives an empty result.
// With params.pilot_factor, thresholds start as pilots (see PilotThreshold in detect.cpp).
Result<WindowScanResult> scan_window(std::uint64_t w, const WindowParams& params);

// Quantile level for one of n_positions positions: the level alpha_percent corrected for all
// positions (Bonferroni), clamped to [0, 1]; a NaN alpha_percent gives NaN.
double bonferroni_quantile_level(double alpha_percent, std::uint64_t n_positions);

// Regions of ascending flagged position indices: a position alone covers its two windows, two
// adjacent positions share one region of 3w values, longer runs are cut into pairs from the start.
std::vector<Region> localized_regions(std::span<const std::uint64_t> flagged, std::uint64_t w);

// A value <= 1.0 is a fraction and becomes a percentage; anything else (NaN too) is kept.
inline double alpha_to_percent(double alpha_q) { return alpha_q <= 1.0 ? 100.0 * alpha_q : alpha_q; }

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

// The options every window of a call shares, as the caller gives them.
struct DetectOptions {
    std::uint64_t n_perm = 300;
    double alpha_q = 1.0;
    std::uint64_t seed = 123;
    ChangeType change_type = ChangeType::mean;
    std::optional<std::uint64_t> b;
    double taper_ratio = 0.5;
    bool center = true;
    std::optional<double> pilot_factor;  // see WindowParams
};

// The parameters shared by the windows of a call on series, whose prefix sums are prefix.
WindowParams window_params(std::span<const double> series, const PrefixStats& prefix,
                           const DetectOptions& options);

// "series must contain at least 3 values", then finiteness: the checks of every whole-series
// entry, in that order.
Result<void> check_series(std::span<const double> series);

// The window sizes to run: the given ones (not empty, all positive) or the default 10 .. 20.
Result<std::vector<std::uint64_t>> resolve_window_sizes(
    const std::optional<std::vector<std::uint64_t>>& window_sizes);

struct WindowRequest {
    std::span<const double> series;
    std::uint64_t window_size = 0;
    DetectOptions options;
};

// One window size on its own: checks (series, then a positive window size), then scan_window.
Result<WindowScanResult> run_single_window(const WindowRequest& request);

struct ScanRequest {
    std::span<const double> series;
    std::optional<std::vector<std::uint64_t>> window_sizes;
    DetectOptions options;
    std::uint64_t tol = 2;
    std::optional<std::uint64_t> workers;
};

struct ScanOutput {
    LeaderSummary out;
    ChangePointMap cp_dict;
    WindowResultMap window_results;
};

// Voting across windows: segments of change points at most tol apart, and their leaders.
Result<LeaderSummary> vote_across_windows(const ChangePointMap& cp_dict, std::uint64_t tol);

// Checks (series, then window sizes), the windows, then voting across windows.
Result<ScanOutput> run_scan_detector(const ScanRequest& request);

}  // namespace vollan
