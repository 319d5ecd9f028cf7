#include "core/wasserstein.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vollan {

namespace {

inline double quiet_nan() { return std::bit_cast<double>(0x7FF8000000000000ull); }

}  // namespace

double wasserstein_1d_sorted(std::span<const double> first, std::span<const double> second) {
    const std::size_t n = first.size();
    const std::size_t m = second.size();
    if (n == 0 || m == 0) return quiet_nan();

    const double step_f = 1.0 / static_cast<double>(n);
    const double step_g = 1.0 / static_cast<double>(m);
    double F = 0.0;
    double G = 0.0;
    double sum = 0.0;
    std::size_t i = 0;
    std::size_t j = 0;
    double prev = first[0] < second[0] ? first[0] : second[0];

    // A run of equal values is consumed only while values compare equal, so a NaN would never be
    // consumed: it makes the distance undefined and is answered at once. Where F == G the interval
    // contributes nothing, and skipping it keeps identical samples at exactly 0 even when the
    // interval's width overflows to infinity.
    while (i < n && j < m) {
        const double a = first[i];
        const double b = second[j];
        if (a != a || b != b) return quiet_nan();
        const double x = a < b ? a : b;
        if (F != G) {
            const double width_term = (x - prev) * std::fabs(F - G);
            sum = sum + width_term;
        }
        while (i < n && first[i] == x) {
            F = F + step_f;
            ++i;
        }
        while (j < m && second[j] == x) {
            G = G + step_g;
            ++j;
        }
        prev = x;
    }
    while (i < n) {
        const double x = first[i];
        if (x != x) return quiet_nan();
        if (F != G) {
            const double width_term = (x - prev) * std::fabs(F - G);
            sum = sum + width_term;
        }
        while (i < n && first[i] == x) {
            F = F + step_f;
            ++i;
        }
        prev = x;
    }
    while (j < m) {
        const double x = second[j];
        if (x != x) return quiet_nan();
        if (F != G) {
            const double width_term = (x - prev) * std::fabs(F - G);
            sum = sum + width_term;
        }
        while (j < m && second[j] == x) {
            G = G + step_g;
            ++j;
        }
        prev = x;
    }
    return sum;
}

void sort_total_order(std::span<double> values) {
    std::sort(values.begin(), values.end(), total_order_less);
}

}  // namespace vollan
