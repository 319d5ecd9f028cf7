#include "core/driver.hpp"

#include <algorithm>

#include "core/detect.hpp"
#include "core/pool.hpp"

namespace vollan {

namespace {

constexpr std::uint64_t kMaxPoolThreads = 65535;

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
        auto pool = make_dedicated_pool(static_cast<std::size_t>(std::min(*workers, kMaxPoolThreads)));
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
