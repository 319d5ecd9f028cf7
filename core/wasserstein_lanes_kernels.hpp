// The bodies of the lane kernels declared in wasserstein_lanes.hpp, included only by the source
// files that instantiate them.
#pragma once

#include "core/sort_network.hpp"
#include "core/wasserstein_lanes.hpp"

#include <bit>
#include <cstddef>
#include <cstring>

#include <immintrin.h>
#include <utility>

namespace vollan::lanes {

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

// One comparator on eight lanes of 32-bit keys.
[[gnu::target("avx2"), gnu::always_inline]] inline void key_exchange(__m256i& a, __m256i& b) {
    const __m256i x = a;
    a = _mm256_min_epi32(x, b);
    b = _mm256_max_epi32(x, b);
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

// Loads lanes first .. first + W - 1 of the rows, sorts both samples of every lane and merges
// them, keeping each value's tag; nan is 1.0 in a lane holding a NaN. The walk over v and tag is
// the instruction set's own.
template <std::size_t W, std::size_t N>
[[gnu::always_inline]] inline void lane_sort_merge(const double* rows, std::size_t first,
                                                   typename Lanes<W>::F* v,
                                                   typename Lanes<W>::F* tag,
                                                   typename Lanes<W>::F& nan) {
    using F = typename Lanes<W>::F;
    const F zero{};
    const F one = zero + 1.0;
    nan = zero;
    for (std::size_t k = 0; k < 2 * N; ++k) {
        std::memcpy(&v[k], rows + k * kDistanceLanes + first, sizeof(F));
        nan = v[k] == v[k] ? nan : one;
        tag[k] = k < N ? zero : one;
    }
    lane_sort<N>(v, std::make_index_sequence<network::sort_size<N>()>());
    lane_sort<N>(v + N, std::make_index_sequence<network::sort_size<N>()>());
    lane_merge<N>(v, tag, std::make_index_sequence<network::merge_size<N>()>());
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
// Written with intrinsics, one walk per register width: with the vector extension's ?:, GCC 12
// turns some of these selections into an and with the comparison result kept as a vector, which
// it then takes apart lane by lane.
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
[[gnu::target("avx512f,avx512dq")]] void lane_distances_avx512(const double* rows, double* out) {
    Lanes<8>::F v[2 * N];
    Lanes<8>::F tag[2 * N];
    Lanes<8>::F nan;
    lane_sort_merge<8, N>(rows, 0, v, tag, nan);
    lane_walk<N>(v, tag, nan, out);
}

// The same walk on registers of four lanes.
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

// Four lanes at a time. Not inlined into the kernel: both halves share one copy of the unrolled
// networks, which halves the compile time of the AVX2 kernels, and a call per four sorted pairs
// costs nothing next to the networks.
template <std::size_t N>
[[gnu::target("avx2"), gnu::noinline]] void lane_distances_half(const double* rows,
                                                                std::size_t first, double* out) {
    Lanes<4>::F v[2 * N];
    Lanes<4>::F tag[2 * N];
    Lanes<4>::F nan;
    lane_sort_merge<4, N>(rows, first, v, tag, nan);
    lane_walk<N>(v, tag, nan, out + first);
}

template <std::size_t N>
[[gnu::target("avx2")]] void lane_distances_avx2(const double* rows, double* out) {
    lane_distances_half<N>(rows, 0, out);
    lane_distances_half<N>(rows, 4, out);
}

// The rank kernels (see wasserstein_rank_lanes): eight lanes of 32-bit keys per AVX2 register,
// ordered by integer minimum and maximum alone, each key carrying its sample in its lowest bit.
// The sorted keys are then turned into values (a gather by rank) and tags, four lanes at a time,
// for the same walk as above.
template <std::size_t N, std::size_t... I>
[[gnu::target("avx2"), gnu::always_inline]] inline void key_sort([[maybe_unused]] __m256i* k,
                                                                 std::index_sequence<I...>) {
    [[maybe_unused]] static constexpr auto net = network::sort_network<N>();
    ((key_exchange(k[net[I].lo], k[net[I].hi])), ...);
}

template <std::size_t N, std::size_t... I>
[[gnu::target("avx2"), gnu::always_inline]] inline void key_merge(__m256i* k, std::index_sequence<I...>) {
    static constexpr auto net = network::merge_network<N>();
    ((key_exchange(k[net[I].lo], k[net[I].hi])), ...);
}

// The walk of lane_walk over four lanes of sorted keys, each value fetched by its rank as it is
// reached (four plain loads: on the machines measured a gather of four doubles waited longer)
// and each sample told by the key's lowest bit. |F - G| is taken by clearing the sign bit, the
// same bits as lane_walk's selection, since F - G is never -0.0 (F - F is +0.0).
template <std::size_t N>
[[gnu::target("avx2")]] void rank_walk_half(const std::int32_t* keys, const double* ranked,
                                            std::size_t half, double* out) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d step = _mm256_set1_pd(1.0 / static_cast<double>(N));
    const __m128i low_bit = _mm_set1_epi32(1);
    __m256d f = zero;
    __m256d g = zero;
    __m256d sum = zero;
    __m256d nan = zero;
    const std::int32_t* row = keys + 4 * half;
    __m256d prev = _mm256_set_pd(ranked[row[3] >> 1], ranked[row[2] >> 1], ranked[row[1] >> 1],
                                 ranked[row[0] >> 1]);
    for (std::size_t k = 0; k < 2 * N; ++k, row += kDistanceLanes) {
        const __m256d x = _mm256_set_pd(ranked[row[3] >> 1], ranked[row[2] >> 1],
                                        ranked[row[1] >> 1], ranked[row[0] >> 1]);
        const __m128i key = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
        const __m256d first = _mm256_castsi256_pd(
            _mm256_cvtepi32_epi64(_mm_cmpeq_epi32(_mm_and_si128(key, low_bit), _mm_setzero_si128())));
        const __m256d gap = _mm256_andnot_pd(sign, _mm256_sub_pd(f, g));
        const __m256d diff = _mm256_sub_pd(x, prev);
        const __m256d counted =
            _mm256_and_pd(_mm256_cmp_pd(zero, diff, _CMP_LT_OQ), _mm256_cmp_pd(zero, gap, _CMP_LT_OQ));
        sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_and_pd(counted, diff), gap));
        f = _mm256_add_pd(f, _mm256_and_pd(first, step));
        g = _mm256_add_pd(g, _mm256_andnot_pd(first, step));
        nan = _mm256_or_pd(nan, _mm256_cmp_pd(x, x, _CMP_UNORD_Q));
        prev = x;
    }
    sum = _mm256_blendv_pd(sum, _mm256_set1_pd(quiet_nan()), nan);
    _mm256_storeu_pd(out + 4 * half, sum);
}

template <std::size_t N>
[[gnu::target("avx2")]] void rank_distances_avx2(const std::int32_t* keys, const double* ranked,
                                                 double* out) {
    __m256i k[2 * N];
    for (std::size_t i = 0; i < 2 * N; ++i) {
        k[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + i * kDistanceLanes));
    }
    key_sort<N>(k, std::make_index_sequence<network::sort_size<N>()>());
    key_sort<N>(k + N, std::make_index_sequence<network::sort_size<N>()>());
    key_merge<N>(k, std::make_index_sequence<network::merge_size<N>()>());
    alignas(32) std::int32_t sorted[2 * N * kDistanceLanes];
    for (std::size_t i = 0; i < 2 * N; ++i) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(sorted + i * kDistanceLanes), k[i]);
    }
    rank_walk_half<N>(sorted, ranked, 0, out);
    rank_walk_half<N>(sorted, ranked, 1, out);
}

template <std::size_t First, std::size_t... I>
constexpr RankTable avx2_rank_kernels(std::index_sequence<I...>) {
    RankTable table{};
    ((table[First + I] = &rank_distances_avx2<First + I>), ...);
    return table;
}

// The kernels for sample sizes first .. last of one instruction set; other entries stay empty.
template <std::size_t First, std::size_t... I>
constexpr LaneTable avx512_kernels(std::index_sequence<I...>) {
    LaneTable table{};
    ((table[First + I] = &lane_distances_avx512<First + I>), ...);
    return table;
}

template <std::size_t First, std::size_t... I>
constexpr LaneTable avx2_kernels(std::index_sequence<I...>) {
    LaneTable table{};
    ((table[First + I] = &lane_distances_avx2<First + I>), ...);
    return table;
}

}  // namespace vollan::lanes
