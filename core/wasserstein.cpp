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

#include <immintrin.h>

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

// One pair's walk in progress: its samples, its positions in them and the walk's state.
struct Cursor {
    const double* a;
    const double* b;
    std::size_t n;
    std::size_t m;
    std::size_t i = 0;
    std::size_t j = 0;
    double step_f;
    double step_g;
    Walk s;

    Cursor(std::span<const double> first, std::span<const double> second)
        : a(first.data()),
          b(second.data()),
          n(first.size()),
          m(second.size()),
          step_f(1.0 / static_cast<double>(first.size())),
          step_g(1.0 / static_cast<double>(second.size())) {
        s.prev = a[0] < b[0] ? a[0] : b[0];
    }

    bool joint() const { return i < n && j < m; }

    // The smaller of the two next values, selected by masks: which sample advances is
    // unpredictable on random input.
    [[gnu::always_inline]] void joint_step() {
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

    // A NaN anywhere makes the distance undefined; every value passes through walk_step once, so
    // it is noticed, and the walk still ends because each step consumes one value.
    double finish() {
        while (joint()) joint_step();
        for (; i < n; ++i) walk_step(s, a[i], ~0ull, step_f, step_g);
        for (; j < m; ++j) walk_step(s, b[j], 0, step_f, step_g);
        return s.nan ? quiet_nan() : s.sum;
    }
};

}  // namespace

double wasserstein_1d_sorted(std::span<const double> first, std::span<const double> second) {
    if (first.empty() || second.empty()) return quiet_nan();
    Cursor c(first, second);
    return c.finish();
}

namespace {

// A lane's walk taken on alone from where the side-by-side steps left it: state[0 .. 4] holds, by
// lane, F, G, the sum, the previous value and the NaN mask.
template <std::size_t W>
double finish_lane(std::span<const double> first, std::span<const double> second, std::int64_t i,
                   std::int64_t j, const double (&state)[5][W], std::size_t l) {
    Cursor c(first, second);
    c.i = static_cast<std::size_t>(i);
    c.j = static_cast<std::size_t>(j);
    c.s.F = state[0][l];
    c.s.G = state[1][l];
    c.s.sum = state[2][l];
    c.s.prev = state[3][l];
    c.s.nan = std::bit_cast<std::uint64_t>(state[4][l]) != 0;
    return c.finish();
}

// Four walks side by side in the lanes of one AVX2 register, the values fetched by gathers: the
// steps of walk_step and Cursor::joint_step as vector operations (the same comparisons, with
// unordered operands, and the same masked additions), taken while every lane is still in its
// joint phase. Lane l's samples start at first[l].data() and second[l].data(), all n and m long;
// the gathers address them absolutely (a null base, indices counted in doubles).
[[gnu::target("avx2")]] void walks_x4_avx2(const std::span<const double>* first,
                                           const std::span<const double>* second, double* out) {
    const std::size_t n = first[0].size();
    const std::size_t m = second[0].size();
    const double* const base = nullptr;
    alignas(32) std::int64_t at[2][4];
    for (std::size_t l = 0; l < 4; ++l) {
        at[0][l] = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(first[l].data()) / sizeof(double));
        at[1][l] = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(second[l].data()) / sizeof(double));
    }
    const __m256i a0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(at[0]));
    const __m256i b0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(at[1]));
    const __m256i a_end = _mm256_add_epi64(a0, _mm256_set1_epi64x(static_cast<long long>(n)));
    const __m256i b_end = _mm256_add_epi64(b0, _mm256_set1_epi64x(static_cast<long long>(m)));
    const __m256d step_f = _mm256_set1_pd(1.0 / static_cast<double>(n));
    const __m256d step_g = _mm256_set1_pd(1.0 / static_cast<double>(m));
    const __m256d sign = _mm256_set1_pd(-0.0);
    __m256i ia = a0;
    __m256i ib = b0;
    __m256d f = _mm256_setzero_pd();
    __m256d g = _mm256_setzero_pd();
    __m256d sum = _mm256_setzero_pd();
    __m256d nan = _mm256_setzero_pd();
    __m256d prev;
    {
        const __m256d x = _mm256_i64gather_pd(base, ia, 8);
        const __m256d y = _mm256_i64gather_pd(base, ib, 8);
        prev = _mm256_blendv_pd(y, x, _mm256_cmp_pd(x, y, _CMP_LT_OQ));
    }
    for (;;) {
        const __m256i joint = _mm256_and_si256(_mm256_cmpgt_epi64(a_end, ia), _mm256_cmpgt_epi64(b_end, ib));
        if (_mm256_movemask_pd(_mm256_castsi256_pd(joint)) != 0xF) break;
        const __m256d x = _mm256_i64gather_pd(base, ia, 8);
        const __m256d y = _mm256_i64gather_pd(base, ib, 8);
        const __m256d take_first = _mm256_cmp_pd(y, x, _CMP_NLT_UQ);
        const __m256d v = _mm256_blendv_pd(y, x, take_first);
        const __m256d gap = _mm256_andnot_pd(sign, _mm256_sub_pd(f, g));
        const __m256d width_term = _mm256_mul_pd(_mm256_sub_pd(v, prev), gap);
        const __m256d counts = _mm256_and_pd(_mm256_cmp_pd(v, prev, _CMP_NEQ_UQ), _mm256_cmp_pd(f, g, _CMP_NEQ_UQ));
        sum = _mm256_add_pd(sum, _mm256_and_pd(counts, width_term));
        prev = v;
        f = _mm256_add_pd(f, _mm256_and_pd(take_first, step_f));
        g = _mm256_add_pd(g, _mm256_andnot_pd(take_first, step_g));
        nan = _mm256_or_pd(nan, _mm256_cmp_pd(v, v, _CMP_UNORD_Q));
        // An all-ones lane is -1: subtracting the mask advances the sample the value came from.
        const __m256i from_first = _mm256_castpd_si256(take_first);
        ia = _mm256_sub_epi64(ia, from_first);
        ib = _mm256_sub_epi64(ib, _mm256_xor_si256(from_first, _mm256_set1_epi64x(-1)));
    }
    alignas(32) std::int64_t i_end[4];
    alignas(32) std::int64_t j_end[4];
    alignas(32) double lanes[5][4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(i_end), ia);
    _mm256_store_si256(reinterpret_cast<__m256i*>(j_end), ib);
    _mm256_store_pd(lanes[0], f);
    _mm256_store_pd(lanes[1], g);
    _mm256_store_pd(lanes[2], sum);
    _mm256_store_pd(lanes[3], prev);
    _mm256_store_pd(lanes[4], nan);
    for (std::size_t l = 0; l < 4; ++l) {
        out[l] = finish_lane(first[l], second[l], i_end[l] - at[0][l], j_end[l] - at[1][l], lanes, l);
    }
}

// The same steps for eight walks in one AVX-512 register, with mask registers for the selections.
[[gnu::target("avx512f,avx512dq")]] void walks_x8_avx512(const std::span<const double>* first,
                                                         const std::span<const double>* second,
                                                         double* out) {
    const std::size_t n = first[0].size();
    const std::size_t m = second[0].size();
    alignas(64) std::int64_t at[2][8];
    for (std::size_t l = 0; l < 8; ++l) {
        at[0][l] = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(first[l].data()) / sizeof(double));
        at[1][l] = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(second[l].data()) / sizeof(double));
    }
    const __m512i a0 = _mm512_load_si512(at[0]);
    const __m512i b0 = _mm512_load_si512(at[1]);
    const __m512i a_end = _mm512_add_epi64(a0, _mm512_set1_epi64(static_cast<long long>(n)));
    const __m512i b_end = _mm512_add_epi64(b0, _mm512_set1_epi64(static_cast<long long>(m)));
    const __m512d step_f = _mm512_set1_pd(1.0 / static_cast<double>(n));
    const __m512d step_g = _mm512_set1_pd(1.0 / static_cast<double>(m));
    const __m512i one = _mm512_set1_epi64(1);
    const __m512d zero = _mm512_setzero_pd();
    __m512i ia = a0;
    __m512i ib = b0;
    __m512d f = zero;
    __m512d g = zero;
    __m512d sum = zero;
    __mmask8 nan = 0;
    __m512d prev;
    {
        const __m512d x = _mm512_mask_i64gather_pd(zero, 0xFF, ia, nullptr, 8);
        const __m512d y = _mm512_mask_i64gather_pd(zero, 0xFF, ib, nullptr, 8);
        prev = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, y, _CMP_LT_OQ), y, x);
    }
    for (;;) {
        const __mmask8 joint = _mm512_cmpgt_epi64_mask(a_end, ia) & _mm512_cmpgt_epi64_mask(b_end, ib);
        if (joint != 0xFF) break;
        const __m512d x = _mm512_mask_i64gather_pd(zero, 0xFF, ia, nullptr, 8);
        const __m512d y = _mm512_mask_i64gather_pd(zero, 0xFF, ib, nullptr, 8);
        const __mmask8 take_first = _mm512_cmp_pd_mask(y, x, _CMP_NLT_UQ);
        const __m512d v = _mm512_mask_blend_pd(take_first, y, x);
        const __m512d gap = _mm512_abs_pd(_mm512_sub_pd(f, g));
        const __m512d width_term = _mm512_mul_pd(_mm512_sub_pd(v, prev), gap);
        const __mmask8 counts = _mm512_cmp_pd_mask(v, prev, _CMP_NEQ_UQ) & _mm512_cmp_pd_mask(f, g, _CMP_NEQ_UQ);
        sum = _mm512_add_pd(sum, _mm512_maskz_mov_pd(counts, width_term));
        prev = v;
        f = _mm512_add_pd(f, _mm512_maskz_mov_pd(take_first, step_f));
        g = _mm512_add_pd(g, _mm512_maskz_mov_pd(static_cast<__mmask8>(~take_first), step_g));
        nan |= _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q);
        ia = _mm512_mask_add_epi64(ia, take_first, ia, one);
        ib = _mm512_mask_add_epi64(ib, static_cast<__mmask8>(~take_first), ib, one);
    }
    alignas(64) std::int64_t i_end[8];
    alignas(64) std::int64_t j_end[8];
    alignas(64) double lanes[5][8];
    _mm512_store_si512(i_end, ia);
    _mm512_store_si512(j_end, ib);
    _mm512_store_pd(lanes[0], f);
    _mm512_store_pd(lanes[1], g);
    _mm512_store_pd(lanes[2], sum);
    _mm512_store_pd(lanes[3], prev);
    _mm512_store_pd(lanes[4], _mm512_castsi512_pd(_mm512_movm_epi64(nan)));
    for (std::size_t l = 0; l < 8; ++l) {
        out[l] = finish_lane(first[l], second[l], i_end[l] - at[0][l], j_end[l] - at[1][l], lanes, l);
    }
}

}  // namespace

void wasserstein_1d_sorted_x8(const SamplePairs& first, const SamplePairs& second, double* out,
                              LaneIsa isa) {
    bool same_sizes = !first[0].empty() && !second[0].empty();
    for (std::size_t k = 1; k < kWalkLanes; ++k) {
        same_sizes &= first[k].size() == first[0].size() && second[k].size() == second[0].size();
    }
    if (isa == LaneIsa::scalar || !same_sizes) {
        for (std::size_t l = 0; l < kWalkLanes; ++l) out[l] = wasserstein_1d_sorted(first[l], second[l]);
        return;
    }
    if (isa == LaneIsa::avx512f) {
        walks_x8_avx512(first.data(), second.data(), out);
        return;
    }
    walks_x4_avx2(first.data(), second.data(), out);
    walks_x4_avx2(first.data() + 4, second.data() + 4, out + 4);
}

void wasserstein_1d_sorted_x8(const SamplePairs& first, const SamplePairs& second, double* out) {
    wasserstein_1d_sorted_x8(first, second, out, active_lane_isa());
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

void wasserstein_rank_lanes(std::size_t n, const std::int32_t* keys, const double* ranked, double* out) {
    (n <= lanes::kLaneSplit ? lanes::kAvx2RankSmall : lanes::kAvx2RankLarge)[n](keys, ranked, out);
}

void wasserstein_lanes(std::size_t n, const double* rows, double* out) {
    wasserstein_lanes(n, rows, out, active_lane_isa());
}

}  // namespace vollan
