// Reduction of a stretch believed to hold one change to a single split index.
#pragma once

#include <cstddef>
#include <span>

#include "core/isa.hpp"
#include "core/types.hpp"

namespace vollan {

// Split index k (1 <= k <= n-1, first index of the new regime) by CUSUM for mean and by the
// weighted Wasserstein split for var and distribution; "need at least 3 points" below 3 values.
Result<std::size_t> refine_for_change_type(std::span<const double> region, ChangeType change_type);

// CUSUM search on n >= 3 values (unchecked).
std::size_t cusum_split(std::span<const double> region);

// Weighted Wasserstein search on n >= 3 values (unchecked). When stats is non-empty it has n
// slots and receives the statistic of split j at index j (index 0 is left untouched). Each
// statistic is, bit for bit, wasserstein_1d_sorted of the two parts sorted times the weight; the
// region is sorted once and kSplitBatch splits are walked side by side, on the given
// instruction set or on the process's own.
inline constexpr std::size_t kSplitBatch = 16;
std::size_t wasserstein_split(std::span<const double> region, std::span<double> stats = {});
std::size_t wasserstein_split(std::span<const double> region, std::span<double> stats, LaneIsa isa);

}  // namespace vollan
