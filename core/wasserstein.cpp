#include "core/wasserstein.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

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

namespace {

// Batcher's odd-even merge sort for the next power of two, without the comparators that touch a
// wire >= N: those wires would hold +infinity and never move, so what remains sorts N values.
struct Comparator {
    std::uint8_t lo;
    std::uint8_t hi;
};

template <std::size_t N>
constexpr std::size_t network_size() {
    constexpr std::size_t P = std::bit_ceil(N);
    std::size_t count = 0;
    for (std::size_t p = 1; p < P; p <<= 1) {
        for (std::size_t k = p; k >= 1; k >>= 1) {
            for (std::size_t j = k % p; j + k < P; j += 2 * k) {
                for (std::size_t i = 0; i < std::min(k, P - j - k); ++i) {
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && i + j + k < N) ++count;
                }
            }
        }
    }
    return count;
}

template <std::size_t N>
constexpr std::array<Comparator, network_size<N>()> make_network() {
    constexpr std::size_t P = std::bit_ceil(N);
    std::array<Comparator, network_size<N>()> net{};
    std::size_t c = 0;
    for (std::size_t p = 1; p < P; p <<= 1) {
        for (std::size_t k = p; k >= 1; k >>= 1) {
            for (std::size_t j = k % p; j + k < P; j += 2 * k) {
                for (std::size_t i = 0; i < std::min(k, P - j - k); ++i) {
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && i + j + k < N) {
                        net[c++] = Comparator{static_cast<std::uint8_t>(i + j),
                                              static_cast<std::uint8_t>(i + j + k)};
                    }
                }
            }
        }
    }
    return net;
}

inline void compare_exchange(std::uint64_t& a, std::uint64_t& b) {
    const std::uint64_t x = a;
    const std::uint64_t y = b;
    a = x < y ? x : y;
    b = x < y ? y : x;
}

// The network fully unrolled on integer keys: branch-free, and the keys stay in registers.
template <std::size_t N>
void network_sort(double* values) {
    static constexpr auto net = make_network<N>();
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

}  // namespace vollan
