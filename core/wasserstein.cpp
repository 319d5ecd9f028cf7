#include "core/wasserstein.hpp"

#include "core/sort_network.hpp"
#include "core/wasserstein_lanes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include <utility>

namespace vollan {

using lanes::quiet_nan;

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
    const auto add_interval = [&](double x) {
        if (F != G) {
            const double width_term = (x - prev) * std::fabs(F - G);
            sum = sum + width_term;
        }
        prev = x;
    };
    const auto consume_run = [](std::span<const double> s, std::size_t& k, double& cdf, double step,
                                double x) {
        while (k < s.size() && s[k] == x) {
            cdf = cdf + step;
            ++k;
        }
    };
    while (i < n && j < m) {
        const double a = first[i];
        const double b = second[j];
        if (a != a || b != b) return quiet_nan();
        const double x = a < b ? a : b;
        add_interval(x);
        consume_run(first, i, F, step_f, x);
        consume_run(second, j, G, step_g, x);
    }
    while (i < n) {
        const double x = first[i];
        if (x != x) return quiet_nan();
        add_interval(x);
        consume_run(first, i, F, step_f, x);
    }
    while (j < m) {
        const double x = second[j];
        if (x != x) return quiet_nan();
        add_interval(x);
        consume_run(second, j, G, step_g, x);
    }
    return sum;
}

namespace {

inline void compare_exchange(std::uint64_t& a, std::uint64_t& b) {
    const std::uint64_t x = a;
    const std::uint64_t y = b;
    a = x < y ? x : y;
    b = x < y ? y : x;
}

// The network fully unrolled on integer keys: branch-free, and the keys stay in registers.
template <std::size_t N>
void network_sort(double* values) {
    static constexpr auto net = network::sort_network<N>();
    std::uint64_t keys[N == 0 ? 1 : N];
    for (std::size_t i = 0; i < N; ++i) keys[i] = total_order_key(values[i]);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (compare_exchange(keys[net[I].lo], keys[net[I].hi]), ...);
    }(std::make_index_sequence<net.size()>());
    for (std::size_t i = 0; i < N; ++i) values[i] = from_total_order_key(keys[i]);
}

using NetworkSort = void (*)(double*);

template <std::size_t... N>
constexpr std::array<NetworkSort, sizeof...(N)> make_network_table(std::index_sequence<N...>) {
    return {&network_sort<N>...};
}

// network_table[n] sorts n values; entries 0 and 1 are never called.
constexpr auto network_table = make_network_table(std::make_index_sequence<kSortNetworkMax + 1>());

// LSD radix sort of the keys, one byte per pass; a pass in which every key has the same byte is
// skipped.
void radix_sort(std::span<double> values, std::vector<std::uint64_t>& scratch) {
    const std::size_t n = values.size();
    scratch.resize(2 * n);
    std::uint64_t* src = scratch.data();
    std::uint64_t* dst = src + n;
    std::array<std::array<std::size_t, 256>, 8> counts{};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = total_order_key(values[i]);
        src[i] = k;
        for (std::size_t p = 0; p < 8; ++p) ++counts[p][(k >> (8 * p)) & 0xFF];
    }
    for (std::size_t p = 0; p < 8; ++p) {
        auto& c = counts[p];
        if (c[(src[0] >> (8 * p)) & 0xFF] == n) continue;
        std::size_t offset = 0;
        for (auto& slot : c) {
            const std::size_t here = slot;
            slot = offset;
            offset += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = src[i];
            dst[c[(k >> (8 * p)) & 0xFF]++] = k;
        }
        std::swap(src, dst);
    }
    for (std::size_t i = 0; i < n; ++i) values[i] = from_total_order_key(src[i]);
}

}  // namespace

void sort_total_order(std::span<double> values, std::vector<std::uint64_t>& scratch) {
    const std::size_t n = values.size();
    if (n < 2) return;
    if (n <= kSortNetworkMax) {
        network_table[n](values.data());
    } else if (n < kRadixSortMin) {
        std::sort(values.begin(), values.end(),
                  [](double a, double b) { return total_order_key(a) < total_order_key(b); });
    } else {
        radix_sort(values, scratch);
    }
}

void sort_total_order(std::span<double> values) {
    std::vector<std::uint64_t> scratch;
    sort_total_order(values, scratch);
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

LaneIsa widest_supported_isa() {
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) {
        return LaneIsa::avx512f;
    }
    if (__builtin_cpu_supports("avx2")) return LaneIsa::avx2;
    return LaneIsa::scalar;
}

}  // namespace

bool lane_isa_supported(LaneIsa isa) {
    switch (isa) {
        case LaneIsa::avx512f:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        case LaneIsa::avx2: return __builtin_cpu_supports("avx2");
        case LaneIsa::scalar: return true;
    }
    return false;
}

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
    static const LaneIsa isa = widest_supported_isa();
    wasserstein_lanes(n, rows, out, isa);
}

}  // namespace vollan
