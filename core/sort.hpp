// Sorting doubles ascending in the IEEE 754 total order, the order of every sample and replicate.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/isa.hpp"

namespace vollan {

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

// Sorts ascending in the IEEE 754 total order (-0.0 before +0.0). The order is total on bit
// patterns, so every correct sort leaves the same bits. Up to kSortNetworkMax values go through a
// sorting network; longer inputs through a quicksort on signed keys whose partitions and leaves
// run in vector registers (AVX-512 or AVX2), or, without either, through the same quicksort with
// scalar partitions and, from a few thousand values on, an LSD radix sort. Both need 2n words of
// scratch: the second form reuses the caller's buffer, the first allocates. The third runs the
// given instruction set's kernels (tests run each); the others those of active_lane_isa().
void sort_total_order(std::span<double> values);
void sort_total_order(std::span<double> values, std::vector<std::uint64_t>& scratch);
void sort_total_order(std::span<double> values, std::vector<std::uint64_t>& scratch, LaneIsa isa);

inline constexpr std::size_t kSortNetworkMax = 32;

}  // namespace vollan
