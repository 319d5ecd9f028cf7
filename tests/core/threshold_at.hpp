// The bootstrap threshold of one position from a few named arguments, as the core tests call it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/stats.hpp"

namespace vollan::test_support {

struct ThresholdArgs {
    std::uint64_t w = 0;
    std::uint64_t n_perm = 0;
    double quantile_level = 0.0;
    double taper_ratio = 0.5;
    bool center = true;
    std::optional<std::uint64_t> b;
    std::uint64_t seed = 0;
};

inline Result<double> threshold_at(const std::vector<double>& x, const PrefixStats& prefix,
                                   std::uint64_t p, const ThresholdArgs& a,
                                   BootstrapWorkspace& ws) {
    WindowParams params;
    params.series = x;
    params.prefix = &prefix;
    params.n_perm = a.n_perm;
    params.taper_ratio = a.taper_ratio;
    params.center = a.center;
    params.b = a.b;
    params.seed = a.seed;
    return bootstrap_threshold(params, a.w, a.quantile_level, p, ws);
}

}  // namespace vollan::test_support
