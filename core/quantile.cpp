#include "core/quantile.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/sort.hpp"
#include "core/types.hpp"

namespace vollan {

namespace {

// Order statistics this close to either end are found by one pass that keeps the extremes.
constexpr std::size_t kExtremeSelectMax = 16;

// The m (1 <= m <= min(kExtremeSelectMax, values.size())) largest keys of values in ascending
// order when Largest, else the m smallest in ascending order. The order is total on bit patterns,
// so these are exactly the elements a full sort would put at the ends. After the first few values a
// new one rarely enters, so the pass is almost branch-predictable.
template <bool Largest>
void keep_extremes(std::span<const double> values, std::size_t m, std::uint64_t* kept) {
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t key = total_order_key(values[i]);
        std::size_t j = i;
        while (j > 0 && kept[j - 1] > key) {
            kept[j] = kept[j - 1];
            --j;
        }
        kept[j] = key;
    }
    for (std::size_t i = m; i < values.size(); ++i) {
        const std::uint64_t key = total_order_key(values[i]);
        if constexpr (Largest) {
            if (key <= kept[0]) continue;
            std::size_t j = 1;
            while (j < m && kept[j] < key) {
                kept[j - 1] = kept[j];
                ++j;
            }
            kept[j - 1] = key;
        } else {
            if (key >= kept[m - 1]) continue;
            std::size_t j = m - 1;
            while (j > 0 && kept[j - 1] > key) {
                kept[j] = kept[j - 1];
                --j;
            }
            kept[j] = key;
        }
    }
}

}  // namespace

std::uint64_t double_to_u64_saturating(double v) {
    if (!(v > 0.0)) return 0;  // negative, zero and NaN
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

QuantilePlace quantile_place(std::size_t n, double q) {
    const double h = static_cast<double>(n - 1) * q;
    // q lies in [0, 1] (or is NaN), so both indices are at most n - 1; the clamp only guards
    // against callers outside that range.
    QuantilePlace place;
    place.lo = std::min<std::uint64_t>(double_to_u64_saturating(std::floor(h)), n - 1);
    place.hi = std::min<std::uint64_t>(double_to_u64_saturating(std::ceil(h)), n - 1);
    place.f = h - static_cast<double>(place.lo);
    return place;
}

double interpolate_at(const QuantilePlace& place, double v_lo, double v_hi) {
    if (place.lo >= place.hi) return v_lo;
    // With 0 <= f < 1 both weights are non-negative, and rounding is monotone.
    return std::fma(v_lo, 1.0 - place.f, place.f * v_hi);
}

double interpolated_quantile(std::span<double> values, double q) {
    const std::size_t n = values.size();
    if (n == 0) return std::bit_cast<double>(kQuietNanBits);
    if (n == 1) return values[0];
    const QuantilePlace place = quantile_place(n, q);
    const std::size_t lo = place.lo;
    const std::size_t hi = place.hi;
    double v_lo;
    double v_hi;
    if (n - lo <= kExtremeSelectMax) {
        // The usual level 1 - 1/K asks for the top two: keep the largest n - lo.
        std::uint64_t top[kExtremeSelectMax] = {};
        keep_extremes<true>(values, n - lo, top);
        v_lo = from_total_order_key(top[0]);
        v_hi = from_total_order_key(top[n - lo > 1 ? 1 : 0]);
    } else if (lo + 2 <= kExtremeSelectMax) {
        std::uint64_t bottom[kExtremeSelectMax] = {};
        keep_extremes<false>(values, lo + 2, bottom);
        v_lo = from_total_order_key(bottom[lo]);
        v_hi = from_total_order_key(bottom[lo + 1]);
    } else {
        // A lambda, unlike a function pointer, is inlined into the selection.
        auto less = [](double a, double b) { return total_order_key(a) < total_order_key(b); };
        std::nth_element(values.begin(), values.begin() + lo, values.end(), less);
        v_lo = values[lo];
        v_hi = lo < hi ? *std::min_element(values.begin() + lo + 1, values.end(), less) : v_lo;
    }
    return interpolate_at(place, v_lo, v_hi);
}

}  // namespace vollan
