// The interpolated quantile of the bootstrap distances, found by selection rather than a sort.
#pragma once

#include <cstdint>
#include <span>

namespace vollan {

// Truncates toward zero and saturates: negative values and NaN give 0, values at or beyond 2^64
// give UINT64_MAX. A plain cast would be undefined for those.
std::uint64_t double_to_u64_saturating(double v);

// q-quantile with linear interpolation at (N-1)q; reorders values (selection, not a full sort).
// NaN for no values; a NaN q selects the smallest value.
double interpolated_quantile(std::span<double> values, double q);

}  // namespace vollan
