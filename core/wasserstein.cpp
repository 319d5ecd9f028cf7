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

// Four walks side by side in the lanes of one AVX2 register, the values fetched by gathers: the
// steps of walk_step and Cursor::joint_step as vector operations (the same comparisons, with
// unordered operands, and the same masked additions), taken while every lane is still in its
// joint phase. Lane l's samples start at first[l].data() and second[l].data(), all n and m long;
// the gathers address them absolutely (a null base, indices counted in doubles).
[[gnu::target("avx2")]] void walks_x4_avx2(const std::array<std::span<const double>, 4>& first,
                                           const std::array<std::span<const double>, 4>& second,
                                           double* out) {
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
    alignas(32) double lanes[6][4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(i_end), ia);
    _mm256_store_si256(reinterpret_cast<__m256i*>(j_end), ib);
    _mm256_store_pd(lanes[0], f);
    _mm256_store_pd(lanes[1], g);
    _mm256_store_pd(lanes[2], sum);
    _mm256_store_pd(lanes[3], prev);
    _mm256_store_pd(lanes[4], nan);
    for (std::size_t l = 0; l < 4; ++l) {
        Cursor c(first[l], second[l]);
        c.i = static_cast<std::size_t>(i_end[l] - at[0][l]);
        c.j = static_cast<std::size_t>(j_end[l] - at[1][l]);
        c.s.F = lanes[0][l];
        c.s.G = lanes[1][l];
        c.s.sum = lanes[2][l];
        c.s.prev = lanes[3][l];
        c.s.nan = std::bit_cast<std::uint64_t>(lanes[4][l]) != 0;
        out[l] = c.finish();
    }
}

}  // namespace

void wasserstein_1d_sorted_x4(const std::array<std::span<const double>, 4>& first,
                              const std::array<std::span<const double>, 4>& second, double* out,
                              LaneIsa isa) {
    bool same_sizes = !first[0].empty() && !second[0].empty();
    for (std::size_t k = 1; k < 4; ++k) {
        same_sizes &= first[k].size() == first[0].size() && second[k].size() == second[0].size();
    }
    if (isa == LaneIsa::scalar || !same_sizes) {
        for (std::size_t l = 0; l < 4; ++l) out[l] = wasserstein_1d_sorted(first[l], second[l]);
        return;
    }
    walks_x4_avx2(first, second, out);
}

void wasserstein_1d_sorted_x4(const std::array<std::span<const double>, 4>& first,
                              const std::array<std::span<const double>, 4>& second, double* out) {
    wasserstein_1d_sorted_x4(first, second, out, active_lane_isa());
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
