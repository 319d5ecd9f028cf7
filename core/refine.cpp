#include "core/refine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/sort.hpp"

#include <immintrin.h>
#include <utility>

namespace vollan {

std::size_t cusum_split(std::span<const double> region) {
    const std::size_t n = region.size();
    double total = 0.0;
    for (double v : region) total += v;
    const double mean = total / static_cast<double>(n);
    double s = 0.0;
    double best = -std::numeric_limits<double>::infinity();
    std::size_t best_k = 0;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        s = s + (mean - region[k]);
        const double a = std::fabs(s);
        if (a > best) {
            best = a;
            best_k = k;
        }
    }
    return best_k + 1;
}

namespace {

// The region sorted once. Every split walks the same pooled values in the same ascending order;
// only which side each value falls on changes with the split. So the search needs, per sorted
// value, its index in the region and the width of the interval up to the next larger value, and
// each split's distance is one pass over these: F grows where the index is left of the split, G
// elsewhere, and the width times |F - G| is added where F != G. These are the additions of the
// merge walk of wasserstein_1d_sorted on the two sorted parts, in the same order (a run of equal
// values carries width +0.0 until its last member, and adding +0.0 leaves the sum's bits alone),
// so each statistic is the same double as from sorting the two parts.
struct SortedRegion {
    std::vector<double> index;  // as doubles, exact below 2^53, to compare in vector registers
    std::vector<double> width;  // +0.0 inside a run of equal values and after the largest value
};

SortedRegion sort_region(std::span<const double> region) {
    const std::size_t n = region.size();
    std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
    for (std::size_t k = 0; k < n; ++k) keyed[k] = {total_order_key(region[k]), k};
    std::sort(keyed.begin(), keyed.end());
    SortedRegion sorted{std::vector<double>(n), std::vector<double>(n, 0.0)};
    for (std::size_t t = 0; t < n; ++t) {
        sorted.index[t] = static_cast<double>(keyed[t].second);
        if (t + 1 < n) {
            const double x = from_total_order_key(keyed[t].first);
            const double next = from_total_order_key(keyed[t + 1].first);
            // -0.0 and +0.0 are one run, as in the merge walk.
            if (next != x) sorted.width[t] = next - x;
        }
    }
    return sorted;
}

// The distances of the splits j0 .. j0 + count - 1 (count >= 1, all below n) into out.
void split_distances_scalar(const SortedRegion& r, std::size_t j0, std::size_t count, double* out) {
    const std::size_t n = r.index.size();
    for (std::size_t l = 0; l < count; ++l) {
        const std::size_t j = j0 + l;
        const double left = static_cast<double>(j);
        const double step_f = 1.0 / static_cast<double>(j);
        const double step_g = 1.0 / static_cast<double>(n - j);
        double f = 0.0;
        double g = 0.0;
        double sum = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            if (r.index[t] < left) {
                f = f + step_f;
            } else {
                g = g + step_g;
            }
            const double gap = std::fabs(f - g);
            if (0.0 < gap) sum = sum + r.width[t] * gap;
        }
        out[l] = sum;
    }
}

// The lanes' splits, steps and sums, filled for the lanes past count with a valid split whose
// result is dropped.
struct LaneSplits {
    double left[kSplitBatch];
    double step_f[kSplitBatch];
    double step_g[kSplitBatch];
    double sum[kSplitBatch];

    LaneSplits(std::size_t n, std::size_t j0, std::size_t count) {
        for (std::size_t l = 0; l < kSplitBatch; ++l) {
            const std::size_t j = l < count ? j0 + l : j0;
            left[l] = static_cast<double>(j);
            step_f[l] = 1.0 / static_cast<double>(j);
            step_g[l] = 1.0 / static_cast<double>(n - j);
        }
    }
};

// Several registers of splits at a time: each register's sum is a chain of dependent additions,
// and independent chains keep the adder busy.
[[gnu::target("avx2")]] void split_distances_avx2(const SortedRegion& r, std::size_t j0,
                                                  std::size_t count, double* out) {
    constexpr std::size_t kRegs = kSplitBatch / 4;
    const std::size_t n = r.index.size();
    LaneSplits lanes(n, j0, count);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d sign = _mm256_set1_pd(-0.0);
    __m256d f[kRegs];
    __m256d g[kRegs];
    __m256d sum[kRegs];
    for (std::size_t v = 0; v < kRegs; ++v) f[v] = g[v] = sum[v] = zero;
    for (std::size_t t = 0; t < n; ++t) {
        const __m256d index = _mm256_broadcast_sd(&r.index[t]);
        const __m256d width = _mm256_broadcast_sd(&r.width[t]);
        for (std::size_t v = 0; v < kRegs; ++v) {
            const __m256d in_left = _mm256_cmp_pd(index, _mm256_loadu_pd(lanes.left + 4 * v), _CMP_LT_OQ);
            f[v] = _mm256_add_pd(f[v], _mm256_and_pd(in_left, _mm256_loadu_pd(lanes.step_f + 4 * v)));
            g[v] = _mm256_add_pd(g[v], _mm256_andnot_pd(in_left, _mm256_loadu_pd(lanes.step_g + 4 * v)));
            const __m256d gap = _mm256_andnot_pd(sign, _mm256_sub_pd(f[v], g[v]));
            const __m256d counted = _mm256_cmp_pd(zero, gap, _CMP_LT_OQ);
            sum[v] = _mm256_add_pd(sum[v], _mm256_mul_pd(_mm256_and_pd(counted, width), gap));
        }
    }
    for (std::size_t v = 0; v < kRegs; ++v) _mm256_storeu_pd(lanes.sum + 4 * v, sum[v]);
    std::copy_n(lanes.sum, count, out);
}

[[gnu::target("avx512f,avx512dq")]] void split_distances_avx512(const SortedRegion& r, std::size_t j0,
                                                                std::size_t count, double* out) {
    constexpr std::size_t kRegs = kSplitBatch / 8;
    const std::size_t n = r.index.size();
    LaneSplits lanes(n, j0, count);
    const __m512d zero = _mm512_setzero_pd();
    __m512d left[kRegs];
    __m512d step_f[kRegs];
    __m512d step_g[kRegs];
    __m512d f[kRegs];
    __m512d g[kRegs];
    __m512d sum[kRegs];
    for (std::size_t v = 0; v < kRegs; ++v) {
        left[v] = _mm512_loadu_pd(lanes.left + 8 * v);
        step_f[v] = _mm512_loadu_pd(lanes.step_f + 8 * v);
        step_g[v] = _mm512_loadu_pd(lanes.step_g + 8 * v);
        f[v] = g[v] = sum[v] = zero;
    }
    for (std::size_t t = 0; t < n; ++t) {
        const __m512d index = _mm512_set1_pd(r.index[t]);
        const __m512d width = _mm512_set1_pd(r.width[t]);
        for (std::size_t v = 0; v < kRegs; ++v) {
            const __mmask8 in_left = _mm512_cmp_pd_mask(index, left[v], _CMP_LT_OQ);
            f[v] = _mm512_mask_add_pd(f[v], in_left, f[v], step_f[v]);
            g[v] = _mm512_mask_add_pd(g[v], static_cast<__mmask8>(~in_left), g[v], step_g[v]);
            const __m512d gap = _mm512_abs_pd(_mm512_sub_pd(f[v], g[v]));
            const __mmask8 counted = _mm512_cmp_pd_mask(zero, gap, _CMP_LT_OQ);
            sum[v] = _mm512_mask_add_pd(sum[v], counted, sum[v], _mm512_mul_pd(width, gap));
        }
    }
    for (std::size_t v = 0; v < kRegs; ++v) _mm512_storeu_pd(lanes.sum + 8 * v, sum[v]);
    std::copy_n(lanes.sum, count, out);
}

}  // namespace

std::size_t wasserstein_split(std::span<const double> region, std::span<double> stats, LaneIsa isa) {
    const std::size_t n = region.size();
    const SortedRegion sorted = sort_region(region);
    const double nd = static_cast<double>(n);
    double best = -std::numeric_limits<double>::infinity();
    std::size_t best_j = 1;
    double distances[kSplitBatch];
    for (std::size_t j0 = 1; j0 < n; j0 += kSplitBatch) {
        const std::size_t count = std::min(kSplitBatch, n - j0);
        switch (isa) {
            case LaneIsa::avx512f: split_distances_avx512(sorted, j0, count, distances); break;
            case LaneIsa::avx2: split_distances_avx2(sorted, j0, count, distances); break;
            case LaneIsa::scalar: split_distances_scalar(sorted, j0, count, distances); break;
        }
        for (std::size_t l = 0; l < count; ++l) {
            const std::size_t j = j0 + l;
            const double weight = std::sqrt((static_cast<double>(n - j) * static_cast<double>(j)) / nd);
            const double stat = distances[l] * weight;
            if (!stats.empty()) stats[j] = stat;
            if (stat > best) {
                best = stat;
                best_j = j;
            }
        }
    }
    return best_j;
}

std::size_t wasserstein_split(std::span<const double> region, std::span<double> stats) {
    return wasserstein_split(region, stats, active_lane_isa());
}

Result<std::size_t> refine_for_change_type(std::span<const double> region, ChangeType change_type) {
    if (region.size() < 3) return error("need at least 3 points");
    switch (change_type) {
        case ChangeType::mean:
            return cusum_split(region);
        case ChangeType::var:
        case ChangeType::distribution:
            return wasserstein_split(region);
    }
    return error("need at least 3 points");
}

}  // namespace vollan
