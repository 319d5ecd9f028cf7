#include "core/wasserstein.hpp"

#include "core/sort_network.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include <immintrin.h>
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

// One lane per pair of samples. The sorts and the merge are comparator networks, the same
// comparisons in every lane, so all lanes advance together without a data-dependent branch. The
// vector holds as many lanes as one register of the instruction set: 8 with AVX-512, 4 with AVX2.
// (GCC ignores vector_size on a type that depends on a template parameter, hence the spelled-out
// specialisations.)
template <std::size_t W>
struct Lanes;

template <>
struct Lanes<4> {
    using F = double __attribute__((vector_size(32)));
};

template <>
struct Lanes<8> {
    using F = double __attribute__((vector_size(64)));
};

// Every comparison feeds a selection directly, which GCC 12 compiles to a compare and a blend;
// a comparison result kept as a vector, or a selection against a zero constant, it compiled lane
// by lane.
template <class F>
[[gnu::always_inline]] inline void lane_exchange(F& a, F& b) {
    const F x = a;
    const F y = b;
    a = y < x ? y : x;
    b = y < x ? x : y;
}

// The same exchange carrying each value's tag (0.0 for the first sample, 1.0 for the second).
template <class F>
[[gnu::always_inline]] inline void lane_exchange_tagged(F& a, F& b, F& ta, F& tb) {
    const F x = a;
    const F y = b;
    const F tx = ta;
    const F ty = tb;
    a = y < x ? y : x;
    b = y < x ? x : y;
    ta = y < x ? ty : tx;
    tb = y < x ? tx : ty;
}

// The walk of wasserstein_1d_sorted taken one element at a time over the merged samples
// (tag 0.0 for the first sample, 1.0 for the second). An element equal to its predecessor, or one
// reached while F == G, contributes nothing: there the scalar walk adds nothing either, and here
// +0.0 is added to a sum that is never -0.0. F and G grow by the same repeated additions as in the
// scalar walk. Without NaNs, and with the values ascending, x != prev is 0 < x - prev (gradual
// underflow keeps the difference of two unequal doubles nonzero; inf - inf is NaN and fails too)
// and F != G is 0 < |F - G|; the width is zeroed where either fails, and 0 * |F - G| is +0.0.
// A lane with a NaN (nan != 0) gets the quiet NaN.
//
// Written with intrinsics, one per register width: with the vector extension's ?:, GCC 12 turns
// some of these selections into an and with the comparison result kept as a vector, which it then
// takes apart lane by lane.
template <std::size_t N>
[[gnu::target("avx512f,avx512dq")]] void lane_walk(const Lanes<8>::F* v, const Lanes<8>::F* tag,
                                                   const Lanes<8>::F& nan, double* out) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d step = _mm512_set1_pd(1.0 / static_cast<double>(N));
    __m512d f = zero;
    __m512d g = zero;
    __m512d sum = zero;
    __m512d prev = __m512d(v[0]);
    for (std::size_t k = 0; k < 2 * N; ++k) {
        const __m512d x = __m512d(v[k]);
        const __m512d d = _mm512_sub_pd(f, g);
        const __m512d gap = _mm512_mask_sub_pd(d, _mm512_cmp_pd_mask(d, zero, _CMP_LT_OQ), zero, d);
        const __m512d diff = _mm512_sub_pd(x, prev);
        const __mmask8 counted = _mm512_cmp_pd_mask(zero, diff, _CMP_LT_OQ) &
                                 _mm512_cmp_pd_mask(zero, gap, _CMP_LT_OQ);
        const __m512d width = _mm512_maskz_mov_pd(counted, diff);
        sum = _mm512_add_pd(sum, _mm512_mul_pd(width, gap));
        const __mmask8 first = _mm512_cmp_pd_mask(__m512d(tag[k]), half, _CMP_LT_OQ);
        f = _mm512_add_pd(f, _mm512_maskz_mov_pd(first, step));
        g = _mm512_add_pd(g, _mm512_maskz_mov_pd(static_cast<__mmask8>(~first), step));
        prev = x;
    }
    const __mmask8 has_nan = _mm512_cmp_pd_mask(__m512d(nan), zero, _CMP_NEQ_UQ);
    sum = _mm512_mask_mov_pd(sum, has_nan, _mm512_set1_pd(quiet_nan()));
    _mm512_storeu_pd(out, sum);
}

template <std::size_t N>
[[gnu::target("avx2")]] void lane_walk(const Lanes<4>::F* v, const Lanes<4>::F* tag,
                                       const Lanes<4>::F& nan, double* out) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d step = _mm256_set1_pd(1.0 / static_cast<double>(N));
    __m256d f = zero;
    __m256d g = zero;
    __m256d sum = zero;
    __m256d prev = __m256d(v[0]);
    for (std::size_t k = 0; k < 2 * N; ++k) {
        const __m256d x = __m256d(v[k]);
        const __m256d d = _mm256_sub_pd(f, g);
        const __m256d gap =
            _mm256_blendv_pd(d, _mm256_sub_pd(zero, d), _mm256_cmp_pd(d, zero, _CMP_LT_OQ));
        const __m256d diff = _mm256_sub_pd(x, prev);
        const __m256d counted = _mm256_and_pd(_mm256_cmp_pd(zero, diff, _CMP_LT_OQ),
                                              _mm256_cmp_pd(zero, gap, _CMP_LT_OQ));
        const __m256d width = _mm256_and_pd(counted, diff);
        sum = _mm256_add_pd(sum, _mm256_mul_pd(width, gap));
        const __m256d first = _mm256_cmp_pd(__m256d(tag[k]), half, _CMP_LT_OQ);
        f = _mm256_add_pd(f, _mm256_and_pd(first, step));
        g = _mm256_add_pd(g, _mm256_andnot_pd(first, step));
        prev = x;
    }
    const __m256d has_nan = _mm256_cmp_pd(__m256d(nan), zero, _CMP_NEQ_UQ);
    sum = _mm256_blendv_pd(sum, _mm256_set1_pd(quiet_nan()), has_nan);
    _mm256_storeu_pd(out, sum);
}

// (Helpers rather than lambdas: a lambda would not inherit the caller's instruction set.)
template <std::size_t N, class F, std::size_t... I>
[[gnu::always_inline]] inline void lane_sort([[maybe_unused]] F* v, std::index_sequence<I...>) {
    [[maybe_unused]] static constexpr auto net = network::sort_network<N>();
    (lane_exchange(v[net[I].lo], v[net[I].hi]), ...);
}

template <std::size_t N, class F, std::size_t... I>
[[gnu::always_inline]] inline void lane_merge(F* v, F* tag, std::index_sequence<I...>) {
    static constexpr auto net = network::merge_network<N>();
    (lane_exchange_tagged(v[net[I].lo], v[net[I].hi], tag[net[I].lo], tag[net[I].hi]), ...);
}

// Sorts both samples of every lane and merges them, keeping each value's tag, then walks.
// Lanes first .. first + W - 1 of the rows.
template <std::size_t W, std::size_t N>
[[gnu::always_inline]] inline void lane_distances(const double* rows, std::size_t first,
                                                  double* out) {
    using F = typename Lanes<W>::F;
    const F zero{};
    const F one = zero + 1.0;
    F v[2 * N];
    F tag[2 * N];
    F nan = zero;
    for (std::size_t k = 0; k < 2 * N; ++k) {
        std::memcpy(&v[k], rows + k * kDistanceLanes + first, sizeof(F));
        nan = v[k] == v[k] ? nan : one;
        tag[k] = k < N ? zero : one;
    }
    lane_sort<N>(v, std::make_index_sequence<network::sort_size<N>()>());
    lane_sort<N>(v + N, std::make_index_sequence<network::sort_size<N>()>());
    lane_merge<N>(v, tag, std::make_index_sequence<network::merge_size<N>()>());

    lane_walk<N>(v, tag, nan, out + first);
}

template <std::size_t N>
[[gnu::target("avx512f,avx512dq")]] void lane_distances_avx512(const double* rows, double* out) {
    lane_distances<8, N>(rows, 0, out);
}

template <std::size_t N>
[[gnu::target("avx2")]] void lane_distances_avx2(const double* rows, double* out) {
    lane_distances<4, N>(rows, 0, out);
    lane_distances<4, N>(rows, 4, out);
}

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

using LaneKernel = void (*)(const double*, double*);
using LaneTable = std::array<LaneKernel, kLaneSampleMax + 1>;

// Entry n holds the kernel for samples of n values; entry 0 is never used.
template <std::size_t... N>
constexpr LaneTable avx512_table(std::index_sequence<N...>) {
    return {nullptr, &lane_distances_avx512<N + 1>...};
}

template <std::size_t... N>
constexpr LaneTable avx2_table(std::index_sequence<N...>) {
    return {nullptr, &lane_distances_avx2<N + 1>...};
}

constexpr LaneTable kAvx512Table = avx512_table(std::make_index_sequence<kLaneSampleMax>());
constexpr LaneTable kAvx2Table = avx2_table(std::make_index_sequence<kLaneSampleMax>());

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
        case LaneIsa::avx512f: kAvx512Table[n](rows, out); return;
        case LaneIsa::avx2: kAvx2Table[n](rows, out); return;
        case LaneIsa::scalar: lane_distances_scalar(n, rows, out); return;
    }
}

void wasserstein_lanes(std::size_t n, const double* rows, double* out) {
    static const LaneIsa isa = widest_supported_isa();
    wasserstein_lanes(n, rows, out, isa);
}

}  // namespace vollan
