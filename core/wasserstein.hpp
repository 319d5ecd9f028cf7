// The one two-sample distance of the core: first-order Wasserstein distance between the
// empirical distributions of two ascending samples.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

namespace vollan {

// Integral of |F - G| by one merge walk over both samples. Empty samples, or a NaN in either,
// give the quiet NaN. O(n + m), no allocation.
double wasserstein_1d_sorted(std::span<const double> first, std::span<const double> second);

// Key whose unsigned order is the IEEE 754 total order of the doubles.
inline std::uint64_t total_order_key(double v) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    return (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
}

// The inverse of total_order_key.
inline double from_total_order_key(std::uint64_t key) {
    return std::bit_cast<double>((key & 0x8000000000000000ull) ? (key & 0x7FFFFFFFFFFFFFFFull)
                                                               : ~key);
}

inline bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

// Sorts ascending in the IEEE 754 total order. The order is total on bit patterns, so every
// correct sort leaves the same bits. Up to 32 values go through a sorting network, from
// kRadixSortMin on through a radix sort of the keys, which needs 2n words of scratch: the second
// form reuses the caller's buffer, the first allocates.
void sort_total_order(std::span<double> values);
void sort_total_order(std::span<double> values, std::vector<std::uint64_t>& scratch);

inline constexpr std::size_t kSortNetworkMax = 32;
inline constexpr std::size_t kRadixSortMin = 128;

// Distances of kDistanceLanes independent pairs of unsorted samples of n values each, computed
// side by side in vector registers: rows[k * kDistanceLanes + l] is value k of pair l, rows 0 .. n-1
// its first sample and rows n .. 2n-1 its second. out[l] equals, bit for bit,
// wasserstein_1d_sorted of the two samples of pair l sorted. 1 <= n <= kLaneSampleMax.
inline constexpr std::size_t kDistanceLanes = 8;
inline constexpr std::size_t kLaneSampleMax = 24;
void wasserstein_lanes(std::size_t n, const double* rows, double* out);

// The bodies of wasserstein_lanes; the widest one the processor supports is used. Tests run each.
enum class LaneIsa { scalar, avx2, avx512f };
bool lane_isa_supported(LaneIsa isa);
void wasserstein_lanes(std::size_t n, const double* rows, double* out, LaneIsa isa);

}  // namespace vollan
