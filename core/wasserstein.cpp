#include "core/wasserstein.hpp"

#include "core/sort_network.hpp"
#include "core/wasserstein_lanes.hpp"

#include <algorithm>
#include <bit>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include <utility>

namespace vollan {

using lanes::quiet_nan;

namespace {

// The state of the merge walk: the distribution functions F and G at the last distinct value
// prev, and the integral so far.
struct Walk {
    double F = 0.0;
    double G = 0.0;
    double sum = 0.0;
    double prev;
    bool nan = false;
};

// All-ones when b, else zero: selections by masks, which the compiler keeps free of branches.
inline std::uint64_t mask_of(bool b) { return 0 - static_cast<std::uint64_t>(b); }

inline double masked(double v, std::uint64_t mask) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) & mask);
}

// One value x of the merged samples, from the first sample where first_mask is all-ones. A value
// that compares unequal to prev closes the interval [prev, x), whose term is added where F != G;
// where F == G (or x continues the run) +0.0 is added instead, which leaves the non-negative
// sum's bits unchanged, so the additions that count happen in the order of the walk over distinct
// values. Skipping F == G keeps identical samples at exactly 0 even when a width overflows to
// infinity. -0.0 and +0.0 compare equal and form one run. The steps not taken add +0.0 likewise.
// Every comparison feeds a mask, not a branch: on random input the sample to advance next is
// unpredictable.
[[gnu::always_inline]] inline void walk_step(Walk& s, double x, std::uint64_t first_mask,
                                             double step_f, double step_g) {
    const double width_term = (x - s.prev) * std::fabs(s.F - s.G);
    const std::uint64_t counts = mask_of((x != s.prev) & (s.F != s.G));
    s.sum = s.sum + masked(width_term, counts);
    s.prev = x;
    s.F = s.F + masked(step_f, first_mask);
    s.G = s.G + masked(step_g, ~first_mask);
    s.nan |= x != x;
}

}  // namespace

double wasserstein_1d_sorted(std::span<const double> first, std::span<const double> second) {
    const std::size_t n = first.size();
    const std::size_t m = second.size();
    if (n == 0 || m == 0) return quiet_nan();

    const double step_f = 1.0 / static_cast<double>(n);
    const double step_g = 1.0 / static_cast<double>(m);
    const double* a = first.data();
    const double* b = second.data();
    Walk s;
    s.prev = a[0] < b[0] ? a[0] : b[0];
    // A NaN anywhere makes the distance undefined; every value passes through walk_step once, so
    // it is noticed, and the walk still ends because each step consumes one value.
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n && j < m) {
        const double x = a[i];
        const double y = b[j];
        const bool take_first = !(y < x);
        const std::uint64_t first_mask = mask_of(take_first);
        const double v = std::bit_cast<double>((std::bit_cast<std::uint64_t>(x) & first_mask) |
                                               (std::bit_cast<std::uint64_t>(y) & ~first_mask));
        walk_step(s, v, first_mask, step_f, step_g);
        i += take_first;
        j += !take_first;
    }
    for (; i < n; ++i) walk_step(s, a[i], ~0ull, step_f, step_g);
    for (; j < m; ++j) walk_step(s, b[j], 0, step_f, step_g);
    return s.nan ? quiet_nan() : s.sum;
}

namespace {

// Without AVX2: one pair at a time with the scalar sort and walk.
void lane_distances_scalar(std::size_t n, const double* rows, double* out) {
    double first[kLaneSampleMax];
    double second[kLaneSampleMax];
    for (std::size_t l = 0; l < kDistanceLanes; ++l) {
        for (std::size_t k = 0; k < n; ++k) {
            first[k] = rows[k * kDistanceLanes + l];
            second[k] = rows[(n + k) * kDistanceLanes + l];
        }
        sort_total_order(std::span<double>(first, n));
        sort_total_order(std::span<double>(second, n));
        out[l] = wasserstein_1d_sorted(std::span<const double>(first, n),
                                       std::span<const double>(second, n));
    }
}

}  // namespace

void wasserstein_lanes(std::size_t n, const double* rows, double* out, LaneIsa isa) {
    switch (isa) {
        case LaneIsa::avx512f:
            (n <= lanes::kLaneSplit ? lanes::kAvx512Small : lanes::kAvx512Large)[n](rows, out);
            return;
        case LaneIsa::avx2:
            (n <= lanes::kLaneSplit ? lanes::kAvx2Small : lanes::kAvx2Large)[n](rows, out);
            return;
        case LaneIsa::scalar: lane_distances_scalar(n, rows, out); return;
    }
}

void wasserstein_lanes(std::size_t n, const double* rows, double* out) {
    wasserstein_lanes(n, rows, out, active_lane_isa());
}

}  // namespace vollan
