// The multi-window driver and the whole multi-window detection behind scan_detector.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/aggregate.hpp"
#include "core/stats.hpp"
#include "core/types.hpp"

namespace vollan {

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
// min(workers, 65535) threads when workers >= 1; the first failing window in list order wins.
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
