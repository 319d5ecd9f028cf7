#include "core/wasserstein_lanes.hpp"

#include <immintrin.h>

namespace vollan::lanes {

namespace {

// The walk of wasserstein_1d_sorted taken one element at a time over the merged samples
// (tag 0.0 for the first sample, 1.0 for the second). An element equal to its predecessor, or one
// reached while F == G, contributes nothing: there the scalar walk adds nothing either, and here
// +0.0 is added to a sum that is never -0.0. F and G grow by the same repeated additions as in the
// scalar walk. Without NaNs, and with the values ascending, x != prev is 0 < x - prev (gradual
// underflow keeps the difference of two unequal doubles nonzero; inf - inf is NaN and fails too)
// and F != G is 0 < |F - G|; the width is zeroed where either fails, and 0 * |F - G| is +0.0.
// A lane with a NaN (nan != 0) gets the quiet NaN.
//
// Written with intrinsics, one per register width (the AVX2 walk is its twin): with the vector extension's ?:, GCC 12 turns
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
[[gnu::target("avx512f,avx512dq")]] void lane_distances_avx512(const double* rows, double* out) {
    Lanes<8>::F v[2 * N];
    Lanes<8>::F tag[2 * N];
    Lanes<8>::F nan;
    lane_sort_merge<8, N>(rows, 0, v, tag, nan);
    lane_walk<N>(v, tag, nan, out);
}

template <std::size_t... N>
constexpr LaneTable avx512_table(std::index_sequence<N...>) {
    return {nullptr, &lane_distances_avx512<N + 1>...};
}

}  // namespace

constinit const LaneTable kAvx512Table = avx512_table(std::make_index_sequence<kLaneSampleMax>());

}  // namespace vollan::lanes
