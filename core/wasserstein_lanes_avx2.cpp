#include "core/wasserstein_lanes.hpp"

#include <immintrin.h>

namespace vollan::lanes {

namespace {

// The AVX-512 walk of wasserstein_lanes_avx512.cpp on registers of four lanes; the comments
// there hold for both.
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
// networks, which halves this file's compile time, and a call per four sorted pairs costs nothing
// next to the networks.
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

template <std::size_t... N>
constexpr LaneTable avx2_table(std::index_sequence<N...>) {
    return {nullptr, &lane_distances_avx2<N + 1>...};
}

}  // namespace

constinit const LaneTable kAvx2Table = avx2_table(std::make_index_sequence<kLaneSampleMax>());

}  // namespace vollan::lanes
