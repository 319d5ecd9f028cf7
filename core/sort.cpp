#include "core/sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <utility>

#include <immintrin.h>

#include "core/sort_network.hpp"

namespace vollan {

namespace {

// Key whose signed order is the IEEE 754 total order: the magnitude bits of negative values are
// flipped, the sign bit kept. Signed, because AVX2 compares only signed 64-bit words. The map is
// its own inverse.
inline std::int64_t signed_key(std::int64_t bits) {
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

inline void compare_exchange(std::uint64_t& a, std::uint64_t& b) {
    const std::uint64_t x = a;
    const std::uint64_t y = b;
    a = x < y ? x : y;
    b = x < y ? y : x;
}

inline void compare_exchange(std::int64_t& a, std::int64_t& b) {
    const std::int64_t x = a;
    const std::int64_t y = b;
    a = x < y ? x : y;
    b = x < y ? y : x;
}

template <class Key, std::size_t N>
inline void run_network(Key* keys) {
    static constexpr auto net = network::sort_network<N>();
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (compare_exchange(keys[net[I].lo], keys[net[I].hi]), ...);
    }(std::make_index_sequence<net.size()>());
}

// The network fully unrolled on integer keys: branch-free, and the keys stay in registers.
template <std::size_t N>
void network_sort(double* values) {
    std::uint64_t keys[N == 0 ? 1 : N];
    for (std::size_t i = 0; i < N; ++i) keys[i] = total_order_key(values[i]);
    run_network<std::uint64_t, N>(keys);
    for (std::size_t i = 0; i < N; ++i) values[i] = from_total_order_key(keys[i]);
}

// The quicksort's leaves: N signed keys sorted and written out as doubles.
template <std::size_t N>
void network_finish(const std::int64_t* src, double* out) {
    std::int64_t keys[N == 0 ? 1 : N];
    for (std::size_t i = 0; i < N; ++i) keys[i] = src[i];
    run_network<std::int64_t, N>(keys);
    for (std::size_t i = 0; i < N; ++i) out[i] = std::bit_cast<double>(signed_key(keys[i]));
}

using NetworkSort = void (*)(double*);
using NetworkFinish = void (*)(const std::int64_t*, double*);

template <std::size_t... N>
constexpr std::array<NetworkSort, sizeof...(N)> make_network_table(std::index_sequence<N...>) {
    return {&network_sort<N>...};
}

template <std::size_t... N>
constexpr std::array<NetworkFinish, sizeof...(N)> make_finish_table(std::index_sequence<N...>) {
    return {&network_finish<N>...};
}

// network_table[n] sorts n values; entries 0 and 1 are never called.
constexpr auto network_table = make_network_table(std::make_index_sequence<kSortNetworkMax + 1>());

// Segments of up to this many keys are finished by a network.
constexpr std::size_t kLeafMax = 24;
constexpr auto finish_table = make_finish_table(std::make_index_sequence<kLeafMax + 1>());

// Writes the n keys of src to dst, those below the pivot (at or below it when or_equal) first, in
// any order, and returns how many those are. Branch-free: each key is written at both ends and
// only the cursor of its side moves, so the last write to a slot is the key that belongs there.
std::size_t partition_scalar(const std::int64_t* src, std::size_t n, std::int64_t pivot,
                             bool or_equal, std::int64_t* dst) {
    std::size_t left = 0;
    std::size_t right = n;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t k = src[i];
        const bool below = or_equal ? k <= pivot : k < pivot;
        dst[left] = k;
        dst[right - 1] = k;
        left += below;
        right -= !below;
    }
    return left;
}

// Permutations that put the lanes of a mask first, in lane order, and the other lanes last: one
// register then holds both sides of the partition. 4-lane masks for AVX2 (as pairs of 32-bit
// indices, for _mm256_permutevar8x32_epi32), 8-lane masks for AVX-512 (one byte per lane).
struct SplitTables {
    alignas(32) std::int32_t avx2[16][8];
    alignas(64) std::uint8_t avx512[256][8];
};

constexpr SplitTables make_split_tables() {
    SplitTables t{};
    for (int mask = 0; mask < 16; ++mask) {
        int out = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (int lane = 0; lane < 4; ++lane) {
                if (((mask >> lane) & 1) == (pass == 0 ? 1 : 0)) {
                    t.avx2[mask][2 * out] = 2 * lane;
                    t.avx2[mask][2 * out + 1] = 2 * lane + 1;
                    ++out;
                }
            }
        }
    }
    for (int mask = 0; mask < 256; ++mask) {
        int out = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (int lane = 0; lane < 8; ++lane) {
                if (((mask >> lane) & 1) == (pass == 0 ? 1 : 0)) {
                    t.avx512[mask][out++] = static_cast<std::uint8_t>(lane);
                }
            }
        }
    }
    return t;
}

constexpr SplitTables kSplitTables = make_split_tables();

// As partition_scalar, a register of V keys at a time: the keys below the pivot are permuted to
// its front and the others to its back, and the whole register is stored at both cursors, the
// front landing at the left cursor and the back ending at the right one. The other lanes land in
// the unfilled middle and are overwritten later; the loop stops while that middle still has room
// for them (2V unread keys), and the rest goes through the scalar loop.
[[gnu::target("avx2,popcnt")]] std::size_t partition_avx2(const std::int64_t* src, std::size_t n,
                                                          std::int64_t pivot, bool or_equal,
                                                          std::int64_t* dst) {
    std::size_t left = 0;
    std::size_t right = n;
    std::size_t i = 0;
    const __m256i p = _mm256_set1_epi64x(pivot);
    const __m256i all = _mm256_set1_epi64x(-1);
    for (; i + 8 <= n; i += 4) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i below = or_equal ? _mm256_xor_si256(_mm256_cmpgt_epi64(v, p), all)
                                       : _mm256_cmpgt_epi64(p, v);
        const int mask = _mm256_movemask_pd(_mm256_castsi256_pd(below));
        const __m256i split = _mm256_permutevar8x32_epi32(
            v, _mm256_load_si256(reinterpret_cast<const __m256i*>(kSplitTables.avx2[mask])));
        const std::size_t count = static_cast<std::size_t>(std::popcount(static_cast<unsigned>(mask)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + left), split);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + right - 4), split);
        left += count;
        right -= 4 - count;
    }
    return left + partition_scalar(src + i, n - i, pivot, or_equal, dst + left);
}

[[gnu::target("avx512f,popcnt")]] std::size_t partition_avx512(const std::int64_t* src,
                                                               std::size_t n, std::int64_t pivot,
                                                               bool or_equal, std::int64_t* dst) {
    std::size_t left = 0;
    std::size_t right = n;
    std::size_t i = 0;
    const __m512i p = _mm512_set1_epi64(pivot);
    for (; i + 16 <= n; i += 8) {
        const __m512i v = _mm512_loadu_si512(src + i);
        const __mmask8 below =
            or_equal ? _mm512_cmple_epi64_mask(v, p) : _mm512_cmplt_epi64_mask(v, p);
        // The zero-masked forms: the plain ones trip GCC 12's -Wmaybe-uninitialized.
        const __m512i order = _mm512_maskz_cvtepu8_epi64(
            0xFF, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kSplitTables.avx512[below])));
        const __m512i split = _mm512_maskz_permutexvar_epi64(0xFF, order, v);
        const std::size_t count = static_cast<std::size_t>(std::popcount(static_cast<unsigned>(below)));
        _mm512_storeu_si512(dst + left, split);
        _mm512_storeu_si512(dst + right - 8, split);
        left += count;
        right -= 8 - count;
    }
    return left + partition_scalar(src + i, n - i, pivot, or_equal, dst + left);
}

// Bitonic stages on one register of eight keys: in the stage (k, j) lane i meets lane i ^ j and
// keeps the smaller key when i & j and i & k are both zero or both not (k = 0: always ascending).
struct BitonicStage {
    alignas(64) std::int64_t partner[8];
    std::uint8_t keeps_max;
};

constexpr BitonicStage bitonic_stage(int k, int j) {
    BitonicStage st{};
    for (int i = 0; i < 8; ++i) {
        st.partner[i] = i ^ j;
        const bool ascending = (i & k) == 0;
        const bool lower = (i & j) == 0;
        if (lower != ascending) st.keeps_max |= static_cast<std::uint8_t>(1u << i);
    }
    return st;
}

// Sorting eight lanes, and merging a bitonic register into ascending order.
constexpr BitonicStage kSortStages[6] = {bitonic_stage(2, 1), bitonic_stage(4, 2),
                                         bitonic_stage(4, 1), bitonic_stage(8, 4),
                                         bitonic_stage(8, 2), bitonic_stage(8, 1)};
constexpr BitonicStage kMergeStages[3] = {bitonic_stage(8, 4), bitonic_stage(8, 2),
                                          bitonic_stage(8, 1)};
alignas(64) constexpr std::int64_t kReversed[8] = {7, 6, 5, 4, 3, 2, 1, 0};

// The zero-masked forms throughout: the plain ones trip GCC 12's -Wuninitialized.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i bitonic_apply(
    __m512i v, const BitonicStage& st) {
    const __m512i other = _mm512_maskz_permutexvar_epi64(0xFF, _mm512_load_si512(st.partner), v);
    return _mm512_mask_blend_epi64(st.keeps_max, _mm512_maskz_min_epi64(0xFF, v, other),
                                   _mm512_maskz_max_epi64(0xFF, v, other));
}

[[gnu::target("avx512f"), gnu::always_inline]] inline void sort_lanes(__m512i* v, int count) {
#pragma GCC unroll 6
    for (const BitonicStage& st : kSortStages) {
#pragma GCC unroll 4
        for (int r = 0; r < count; ++r) v[r] = bitonic_apply(v[r], st);
    }
}

// Merges a bitonic sequence of `count` registers into ascending order: compare-exchanges between
// registers at halving distances, then the stages inside each register.
[[gnu::target("avx512f"), gnu::always_inline]] inline void merge_registers(__m512i* v, int count) {
    for (int half = count / 2; half >= 1; half /= 2) {
        for (int base = 0; base < count; base += 2 * half) {
            for (int r = base; r < base + half; ++r) {
                const __m512i lo = _mm512_maskz_min_epi64(0xFF, v[r], v[r + half]);
                v[r + half] = _mm512_maskz_max_epi64(0xFF, v[r], v[r + half]);
                v[r] = lo;
            }
        }
    }
#pragma GCC unroll 3
    for (const BitonicStage& st : kMergeStages) {
#pragma GCC unroll 4
        for (int r = 0; r < count; ++r) v[r] = bitonic_apply(v[r], st);
    }
}

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i reversed(__m512i v) {
    return _mm512_maskz_permutexvar_epi64(0xFF, _mm512_load_si512(kReversed), v);
}

// Two ascending runs of `count` registers each, at v[0..count) and v[count..2 count), merged into
// one: the second run reversed against the first leaves two bitonic halves, lower below upper.
[[gnu::target("avx512f"), gnu::always_inline]] inline void merge_runs(__m512i* v, int count) {
    for (int r = 0; r < count; ++r) {
        const __m512i a = v[r];
        const __m512i b = reversed(v[2 * count - 1 - r]);
        v[r] = _mm512_maskz_min_epi64(0xFF, a, b);
        v[2 * count - 1 - r] = reversed(_mm512_maskz_max_epi64(0xFF, a, b));
    }
    merge_registers(v, count);
    merge_registers(v + count, count);
}

// The doubles of signed keys (signed_key on every lane).
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i keys_to_doubles(__m512i k) {
    const __m512i flip = _mm512_maskz_srli_epi64(0xFF, _mm512_maskz_srai_epi64(0xFF, k, 63), 1);
    return _mm512_xor_si512(k, flip);
}

// Up to 32 keys sorted in four registers: the absent lanes hold the largest key, which sorts last
// and is not stored (a real key equal to it has the same bits, so either may be stored). The four
// registers are sorted side by side, merged in pairs, and the pairs merged.
constexpr std::size_t kVectorLeafMax = 32;

[[gnu::target("avx512f")]] void leaf_avx512(const std::int64_t* src, std::size_t n, double* out) {
    const __m512i largest = _mm512_set1_epi64(std::numeric_limits<std::int64_t>::max());
    __mmask8 masks[4];
    __m512i v[4];
    for (std::size_t r = 0; r < 4; ++r) {
        const std::size_t have = n > 8 * r ? std::min<std::size_t>(n - 8 * r, 8) : 0;
        masks[r] = static_cast<__mmask8>((1u << have) - 1);
        v[r] = _mm512_mask_loadu_epi64(largest, masks[r], src + 8 * r);
    }
    sort_lanes(v, 4);
    merge_runs(v, 1);
    merge_runs(v + 2, 1);
    merge_runs(v, 2);
    for (std::size_t r = 0; r < 4; ++r) {
        _mm512_mask_storeu_pd(out + 8 * r, masks[r], _mm512_castsi512_pd(keys_to_doubles(v[r])));
    }
}

void leaf_network(const std::int64_t* src, std::size_t n, double* out) { finish_table[n](src, out); }

using Leaf = void (*)(const std::int64_t*, std::size_t, double*);

using Partition = std::size_t (*)(const std::int64_t*, std::size_t, std::int64_t, bool,
                                  std::int64_t*);

// From this many keys on the pivot is the median of nine, below it of three.
constexpr std::size_t kNinePivotMin = 256;

// The median of keys spread over the segment: close to the true median on random input, exact on
// sorted or reversed input.
std::int64_t choose_pivot(const std::int64_t* keys, std::size_t n) {
    if (n < kNinePivotMin) {
        std::int64_t a = keys[n / 4];
        std::int64_t b = keys[n / 2];
        std::int64_t c = keys[3 * n / 4];
        compare_exchange(a, b);
        compare_exchange(b, c);
        compare_exchange(a, b);
        return b;
    }
    std::int64_t sample[9];
    for (std::size_t s = 0; s < 9; ++s) sample[s] = keys[(2 * s + 1) * n / 18];
    run_network<std::int64_t, 9>(sample);
    return sample[4];
}

// The partition and the leaf sort of one instruction set, and the longest segment a leaf takes.
struct QuicksortKit {
    Partition partition;
    Leaf leaf;
    std::size_t leaf_max;
};

// Sorts the n keys of src into out (as doubles), using dst (n words) as the other buffer.
// Each level partitions one buffer into the other; a pivot that is the segment's smallest key
// would leave the left side empty, so its copies are split off and written at once. Past the
// depth budget (an input the sampled pivots keep splitting badly) the segment is std::sort'ed.
void quicksort(std::int64_t* src, std::int64_t* dst, std::size_t n, double* out, int depth,
               const QuicksortKit& kit) {
    const Partition partition = kit.partition;
    while (n > kit.leaf_max) {
        if (depth-- == 0) {
            std::sort(src, src + n);
            for (std::size_t i = 0; i < n; ++i) out[i] = std::bit_cast<double>(signed_key(src[i]));
            return;
        }
        const std::int64_t pivot = choose_pivot(src, n);
        std::size_t left = partition(src, n, pivot, false, dst);
        if (left == 0) {
            left = partition(src, n, pivot, true, dst);
            std::fill_n(out, left, std::bit_cast<double>(signed_key(pivot)));
        } else {
            quicksort(dst, src, left, out, depth, kit);
        }
        std::int64_t* const next_src = dst + left;
        dst = src + left;
        src = next_src;
        out += left;
        n -= left;
    }
    kit.leaf(src, n, out);
}

// LSD radix sort of the unsigned keys, one byte per pass, all eight histograms counted in one
// read; a pass in which every key has the same byte is skipped. Without vector partitions it
// beats the quicksort on long inputs.
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

// Without vector partitions, from this many values on the radix sort is used.
constexpr std::size_t kScalarRadixMin = 4096;

QuicksortKit kit_for(LaneIsa isa) {
    switch (isa) {
        case LaneIsa::avx512f: return {partition_avx512, leaf_avx512, kVectorLeafMax};
        case LaneIsa::avx2: return {partition_avx2, leaf_network, kLeafMax};
        case LaneIsa::scalar: return {partition_scalar, leaf_network, kLeafMax};
    }
    return {partition_scalar, leaf_network, kLeafMax};
}

}  // namespace

void sort_total_order(std::span<double> values, std::vector<std::uint64_t>& scratch, LaneIsa isa) {
    const std::size_t n = values.size();
    if (n < 2) return;
    if (n <= kSortNetworkMax) {
        network_table[n](values.data());
        return;
    }
    if (isa == LaneIsa::scalar && n >= kScalarRadixMin) {
        radix_sort(values, scratch);
        return;
    }
    scratch.resize(2 * n);
    std::int64_t* const keys = reinterpret_cast<std::int64_t*>(scratch.data());
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = signed_key(std::bit_cast<std::int64_t>(values[i]));
    }
    const int depth = 2 * std::bit_width(n) + 8;
    quicksort(keys, keys + n, n, values.data(), depth, kit_for(isa));
}

void sort_total_order(std::span<double> values, std::vector<std::uint64_t>& scratch) {
    sort_total_order(values, scratch, active_lane_isa());
}

void sort_total_order(std::span<double> values) {
    std::vector<std::uint64_t> scratch;
    sort_total_order(values, scratch);
}

}  // namespace vollan
