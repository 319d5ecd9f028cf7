// Tapered block bootstrap threshold for the Wasserstein statistic of two adjacent windows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/quantile.hpp"
#include "core/stats.hpp"
#include "core/isa.hpp"
#include "core/types.hpp"

namespace vollan {

struct TaperWeights {
    std::uint64_t block_len = 0;
    double taper_ratio = 0.0;  // cache key, compared bit for bit
    std::vector<double> weights;
    double taper_scale = 1.0;
};

// Buffers of one per-window call, reused from position to position.
struct BootstrapWorkspace {
    std::vector<double> z;          // pooled reference, 2w values
    std::vector<double> distances;  // n_perm values
    std::optional<TaperWeights> taper;
};

inline constexpr char kShortReferenceError[] = "reference series is shorter than block length";

// Block length for a pooled reference of L values: min(b, L) floored at 3 when b is given,
// otherwise the rounded square root (L < 100) or cube root of L, capped at L and floored at 8.
// The floors can exceed L; the threshold rejects that case.
std::uint64_t block_length(std::uint64_t L, std::optional<std::uint64_t> b);

// Trapezoid taper of block_len weights; an error when the ramps would not fit in the block
// (taper_ratio well above 2).
Result<TaperWeights> make_taper_weights(std::uint64_t block_len, double taper_ratio);

std::uint64_t window_seed(std::uint64_t seed, std::uint64_t w);
std::uint64_t position_seed(std::uint64_t seed, std::uint64_t w, std::uint64_t p);
std::uint64_t replicate_seed(std::uint64_t position_seed, std::uint64_t w, std::uint64_t r);

// Fills distances with n_perm replicate distances (distance r at index r); parallel from 64 on.
// z holds the 2w pooled values and 3 <= block_len <= 2w. An n_perm too large to allocate throws
// std::bad_alloc or std::length_error.
void tbb_distances_into(std::span<const double> z, std::uint64_t w, std::uint64_t block_len,
                        const TaperWeights& taper, std::uint64_t position_seed,
                        std::uint64_t n_perm, std::vector<double>& distances);
// The same on the kernels of a given instruction set (the same bits on each); tests run each.
void tbb_distances_into(std::span<const double> z, std::uint64_t w, std::uint64_t block_len,
                        const TaperWeights& taper, std::uint64_t position_seed,
                        std::uint64_t n_perm, std::vector<double>& distances, LaneIsa isa);

// Replicates r_begin .. r_end - 1 of tbb_distances_into's, distance r at out[r]: each replicate
// is seeded by its index, so a run split into ranges gives the whole run's values, bit for bit.
void tbb_distances_range(std::span<const double> z, std::uint64_t w, std::uint64_t block_len,
                         const TaperWeights& taper, std::uint64_t position_seed,
                         std::uint64_t r_begin, std::uint64_t r_end, double* out, LaneIsa isa);

// The scaled replicate distances r_begin .. r_end - 1 of the position of window size w whose left
// window starts at p, into workspace.distances[r_begin, r_end): the vector is resized to r_end and
// its entries below r_begin are kept (cleared when r_begin is 0). bootstrap_threshold's checks and
// errors, in its order.
Result<void> bootstrap_distances(const WindowParams& params, std::uint64_t w, std::uint64_t p,
                                 std::uint64_t r_begin, std::uint64_t r_end,
                                 BootstrapWorkspace& workspace);

// Threshold, at quantile level quantile_level, for the position of window size w whose left window
// starts at p in params.series (needs p + 2w <= series length, w >= 1). Errors: the block length
// exceeds the 2w pooled values, or the taper does not fit in a block.
Result<double> bootstrap_threshold(const WindowParams& params, std::uint64_t w,
                                   double quantile_level, std::uint64_t p,
                                   BootstrapWorkspace& workspace);

}  // namespace vollan
