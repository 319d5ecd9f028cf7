// The interpolated quantile of the bootstrap distances, found by selection rather than a sort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vollan {

// Truncates toward zero and saturates: negative values and NaN give 0, values at or beyond 2^64
// give UINT64_MAX. A plain cast would be undefined for those.
std::uint64_t double_to_u64_saturating(double v);

// Where the q-quantile of n values lies: between the sorted values lo and hi, at f from lo.
struct QuantilePlace {
    std::size_t lo = 0;
    std::size_t hi = 0;
    double f = 0.0;
};
// For n >= 2 (interpolated_quantile's own choice for those).
QuantilePlace quantile_place(std::size_t n, double q);
// The value at place between v_lo and v_hi: non-decreasing in each of them.
double interpolate_at(const QuantilePlace& place, double v_lo, double v_hi);

// q-quantile with linear interpolation at (N-1)q; reorders values (selection, not a full sort).
// NaN for no values; a NaN q selects the smallest value.
double interpolated_quantile(std::span<double> values, double q);

}  // namespace vollan
