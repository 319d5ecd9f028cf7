// The one two-sample distance of the core: first-order Wasserstein distance between the
// empirical distributions of two ascending samples.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "core/isa.hpp"
#include "core/sort.hpp"

namespace vollan {

// Integral of |F - G| by one merge walk over both samples. Empty samples, or a NaN in either,
// give the quiet NaN. O(n + m), no allocation.
double wasserstein_1d_sorted(std::span<const double> first, std::span<const double> second);

// wasserstein_1d_sorted of eight pairs, out[k] for pair k, bit for bit. Pairs of equal sizes are
// walked side by side in vector lanes where the instruction set has them.
inline constexpr std::size_t kWalkLanes = 8;
using SamplePairs = std::array<std::span<const double>, kWalkLanes>;
void wasserstein_1d_sorted_x8(const SamplePairs& first, const SamplePairs& second, double* out);
void wasserstein_1d_sorted_x8(const SamplePairs& first, const SamplePairs& second, double* out,
                              LaneIsa isa);

// Distances of kDistanceLanes independent pairs of unsorted samples of n values each, computed
// side by side in vector registers: rows[k * kDistanceLanes + l] is value k of pair l, rows 0 .. n-1
// its first sample and rows n .. 2n-1 its second. out[l] equals, bit for bit,
// wasserstein_1d_sorted of the two samples of pair l sorted. 1 <= n <= kLaneSampleMax.
inline constexpr std::size_t kDistanceLanes = 8;
inline constexpr std::size_t kLaneSampleMax = 24;
void wasserstein_lanes(std::size_t n, const double* rows, double* out);

// As wasserstein_lanes on AVX2, for samples whose values are all found in one ascending table:
// keys[k * kDistanceLanes + l] = (rank << 1) | (k >= n) names value k of pair l by its index in
// ranked (any order of equal values), so that the samples sort as 32-bit integers, eight lanes at
// a time, carrying their tags. out[l] is the same bits as from the values.
void wasserstein_rank_lanes(std::size_t n, const std::int32_t* keys, const double* ranked, double* out);

// The bodies of wasserstein_lanes; active_lane_isa() picks the one used. Tests run each.
void wasserstein_lanes(std::size_t n, const double* rows, double* out, LaneIsa isa);

}  // namespace vollan
