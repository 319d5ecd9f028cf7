// The one two-sample distance of the core: first-order Wasserstein distance between the
// empirical distributions of two ascending samples.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace vollan {

// Integral of |F - G| by one merge walk over both samples. Empty samples, or a NaN in either,
// give the quiet NaN. O(n + m), no allocation.
double wasserstein_1d_sorted(std::span<const double> first, std::span<const double> second);

// Key whose unsigned order is the IEEE 754 total order of the doubles.
inline std::uint64_t total_order_key(double v) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    return (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
}

inline bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

// Sorts ascending in the IEEE 754 total order (unstable).
void sort_total_order(std::span<double> values);

}  // namespace vollan
