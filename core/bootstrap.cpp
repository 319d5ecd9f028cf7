#include "core/bootstrap.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include <immintrin.h>

#include "core/pool.hpp"
#include "core/rng.hpp"
#include "core/rng_lanes.hpp"
#include "core/wasserstein.hpp"

namespace vollan {

namespace {

constexpr std::uint64_t kC1 = 0xbf58476d1ce4e5b9ull;
constexpr std::uint64_t kC2 = 0x94d049bb133111ebull;

// replicate_seed in two steps: the part shared by a position's replicates, then replicate r's.
// XOR is associative and commutative, so this is the same word as the documented grouping.
constexpr std::uint64_t replicate_seed_base(std::uint64_t position_seed, std::uint64_t w) {
    return 0x53b28fe19d2bbf48ull ^ position_seed ^ (w * kC2);
}

constexpr std::uint64_t replicate_seed_from_base(std::uint64_t base, std::uint64_t r) {
    return base ^ (r * kC1);
}

// From this many replicates on they run on the pool; below it the task overhead outweighs them.
constexpr std::uint64_t kParallelReplicates = 64;

std::string shortest_repr(double v) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

// Appends replicate r's n_blocks tapered blocks drawn from z to out, value k at out[k * stride]:
// the generator is the only thing that depends on r, so replicates are independent.
void draw_replicate(std::span<const double> z, std::uint64_t w, std::uint64_t block_len,
                    const TaperWeights& taper, std::uint64_t pos_seed, std::uint64_t r,
                    double* out, std::size_t stride) {
    const std::uint64_t L = z.size();
    const std::uint64_t n_starts = L - block_len + 1;
    const std::uint64_t n_blocks = L / block_len + (L % block_len != 0 ? 1 : 0);
    const double* weights = taper.weights.data();
    const double scale = taper.taper_scale;

    Xoshiro256pp rng = Xoshiro256pp::from_seed(replicate_seed(pos_seed, w, r));
    std::uint64_t len = 0;
    for (std::uint64_t j = 0; j < n_blocks; ++j) {
        const std::uint64_t u = canon_draw(rng, n_starts);
        const std::uint64_t m = std::min(block_len, L - len);
        const double* src = z.data() + u;
        double* dst = out + len * stride;
        for (std::uint64_t k = 0; k < m; ++k) dst[k * stride] = (src[k] * weights[k]) * scale;
        len += m;
    }
}

// One replicate in buf (2w slots): the distance between its sorted halves.
double replicate_distance(std::span<const double> z, std::uint64_t w, std::uint64_t block_len,
                          const TaperWeights& taper, std::uint64_t pos_seed, std::uint64_t r,
                          std::span<double> buf, std::vector<std::uint64_t>& sort_scratch) {
    draw_replicate(z, w, block_len, taper, pos_seed, r, buf.data(), 1);
    const std::span<double> first = buf.first(w);
    const std::span<double> second = buf.subspan(w, w);
    sort_total_order(first, sort_scratch);
    sort_total_order(second, sort_scratch);
    return wasserstein_1d_sorted(first, second);
}

// The block length for every pooled reference of up to 72 values when b is not given.
constexpr std::uint64_t kDefaultBlockLen = 8;

// Every block a replicate can draw, already tapered: block u at [u * block_len, (u + 1) * block_len),
// each value the product a replicate would form. For the side-by-side path (2w <= 48 values) it
// has at most 25 * 24 entries; a replicate then only copies.
constexpr std::size_t kTaperedBlocksMax = (kLaneSampleMax + 1) * kLaneSampleMax;

void taper_all_blocks(std::span<const double> z, std::uint64_t block_len, const TaperWeights& taper,
                      double* blocks) {
    const std::uint64_t n_starts = z.size() - block_len + 1;
    const double* weights = taper.weights.data();
    const double scale = taper.taper_scale;
    for (std::uint64_t u = 0; u < n_starts; ++u) {
        for (std::uint64_t k = 0; k < block_len; ++k) {
            blocks[u * block_len + k] = (z[u + k] * weights[k]) * scale;
        }
    }
}

// The rows of replicate_group for all eight lanes at once with AVX-512: the generators of the
// scalar loop side by side, and the copies as gathers. The rows are identical to those of the
// scalar loop.
[[gnu::target("avx512f,avx512dq")]] void draw_rows_avx512(const double* blocks, std::uint64_t w,
                                                          std::uint64_t block_len,
                                                          const std::uint64_t* seeds,
                                                          double* rows) {
    const std::uint64_t L = 2 * w;
    const std::uint64_t n_starts = L - block_len + 1;  // below 2^32: the 32-bit draw applies
    const std::uint64_t n_blocks = L / block_len + (L % block_len != 0 ? 1 : 0);
    Xoshiro256ppLanes g = xoshiro_lanes_from_seeds(seeds);
    const CanonLanes draw(n_starts);
    const __m512i len_vec = _mm512_set1_epi64(static_cast<long long>(block_len));
    std::uint64_t len = 0;
    for (std::uint64_t j = 0; j < n_blocks; ++j) {
        const __m512i start = canon_draw_lanes(g, draw);
        const std::uint64_t m = std::min(block_len, L - len);
        const __m512i first = _mm512_mullo_epi64(start, len_vec);
        for (std::uint64_t k = 0; k < m; ++k) {
            const __m512i at = _mm512_add_epi64(first, _mm512_set1_epi64(static_cast<long long>(k)));
            _mm512_store_pd(rows + (len + k) * kDistanceLanes,
                            _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, at, blocks, 8));
        }
        len += m;
    }
}

// The tapered blocks as keys for the AVX2 rank kernels: ranked holds every value a replicate can
// draw, ascending in total order, and key[u * block_len + k] is twice the place in it of the value
// of block u at offset k (the lowest bit is left for the sample). A value is z[j] times one of
// the taper's weights times the scale, so only the pooled values times the distinct weights are
// ranked (2w values per distinct weight) where they are fewer than the table's entries.
struct RankedBlocks {
    double ranked[kTaperedBlocksMax];
    std::int32_t key[kTaperedBlocksMax];

    RankedBlocks(std::span<const double> z, std::uint64_t block_len, const TaperWeights& taper) {
        const std::size_t L = z.size();
        const double* weights = taper.weights.data();
        // The class of each offset: the first offset with a bit-identical weight.
        std::size_t weight_class[2 * kLaneSampleMax];
        std::size_t n_classes = 0;
        std::size_t class_offset[2 * kLaneSampleMax];
        for (std::size_t k = 0; k < block_len; ++k) {
            std::size_t c = 0;
            while (c < n_classes && std::bit_cast<std::uint64_t>(weights[class_offset[c]]) !=
                                        std::bit_cast<std::uint64_t>(weights[k])) {
                ++c;
            }
            if (c == n_classes) class_offset[n_classes++] = k;
            weight_class[k] = c;
        }
        // Every entry of the table on its own when the weights are too many for that to save.
        const std::size_t n_starts = L - block_len + 1;
        const bool by_class = n_classes * L <= n_starts * block_len;
        const std::size_t size = by_class ? n_classes * L : n_starts * block_len;
        std::int32_t place[kTaperedBlocksMax];
        if (by_class) {
            // A positive weight and scale keep the order of the pooled values (rounding is
            // monotone), so each class is sorted once z is, and the classes are merged.
            std::pair<std::uint64_t, std::int32_t> order[2 * kLaneSampleMax];
            for (std::size_t j = 0; j < L; ++j) order[j] = {total_order_key(z[j]), static_cast<std::int32_t>(j)};
            std::sort(order, order + L);
            double values[kTaperedBlocksMax];
            std::uint64_t keys[kTaperedBlocksMax];
            for (std::size_t c = 0; c < n_classes; ++c) {
                const double weight = weights[class_offset[c]];
                for (std::size_t t = 0; t < L; ++t) {
                    values[c * L + t] = (z[static_cast<std::size_t>(order[t].second)] * weight) * taper.taper_scale;
                    keys[c * L + t] = total_order_key(values[c * L + t]);
                }
            }
            std::size_t next[2 * kLaneSampleMax] = {};
            for (std::size_t t = 0; t < size; ++t) {
                std::size_t best = n_classes;
                for (std::size_t c = 0; c < n_classes; ++c) {
                    if (next[c] < L && (best == n_classes || keys[c * L + next[c]] < keys[best * L + next[best]])) {
                        best = c;
                    }
                }
                const std::size_t at = best * L + next[best]++;
                ranked[t] = values[at];
                place[best * L + static_cast<std::size_t>(order[at - best * L].second)] = static_cast<std::int32_t>(t);
            }
        } else {
            std::pair<std::uint64_t, std::int32_t> keyed[kTaperedBlocksMax];
            for (std::size_t i = 0; i < size; ++i) {
                const double v = (z[i / block_len + i % block_len] * weights[i % block_len]) * taper.taper_scale;
                keyed[i] = {total_order_key(v), static_cast<std::int32_t>(i)};
            }
            std::sort(keyed, keyed + size);
            for (std::size_t t = 0; t < size; ++t) {
                ranked[t] = from_total_order_key(keyed[t].first);
                place[keyed[t].second] = static_cast<std::int32_t>(t);
            }
        }
        for (std::size_t u = 0; u < n_starts; ++u) {
            for (std::size_t k = 0; k < block_len; ++k) {
                const std::size_t i = by_class ? weight_class[k] * L + u + k : u * block_len + k;
                key[u * block_len + k] = place[i] << 1;
            }
        }
    }
};

// The keys of four replicates (lanes first .. first + 3 of the rows), their generators side by
// side.
[[gnu::target("avx2")]] void draw_keys_avx2(const std::int32_t* table, std::uint64_t block_len,
                                            std::uint64_t n_starts, std::uint64_t n_blocks,
                                            std::uint64_t L, const std::uint64_t* seeds,
                                            std::int32_t* rows) {
    Xoshiro256ppLanes4 g = xoshiro_lanes4_from_seeds(seeds);
    std::uint64_t len = 0;
    for (std::uint64_t j = 0; j < n_blocks; ++j) {
        const WordLanes4 first = canon_draw_lanes4(g, n_starts) * block_len;
        const std::uint64_t m = std::min(block_len, L - len);
        std::int32_t* dst = rows + len * kDistanceLanes;
        // Plain copies: a gather per row waits far longer than four loads.
        for (std::size_t l = 0; l < 4; ++l) {
            const std::int32_t* src = table + first[l];
            if (m == kDefaultBlockLen) {
                for (std::uint64_t k = 0; k < kDefaultBlockLen; ++k) dst[k * kDistanceLanes + l] = src[k];
            } else {
                for (std::uint64_t k = 0; k < m; ++k) dst[k * kDistanceLanes + l] = src[k];
            }
        }
        len += m;
    }
}

// As replicate_group with the rank kernels: the same draws, each value kept as its key.
void replicate_group_ranks(const RankedBlocks& table, std::uint64_t w, std::uint64_t block_len,
                           std::uint64_t pos_seed, std::uint64_t r0, std::size_t count, double* out) {
    const std::uint64_t L = 2 * w;
    const std::uint64_t n_starts = L - block_len + 1;
    const std::uint64_t n_blocks = L / block_len + (L % block_len != 0 ? 1 : 0);
    alignas(32) std::int32_t keys[2 * kLaneSampleMax * kDistanceLanes];
    double lanes[kDistanceLanes];
    const std::uint64_t seed_base = replicate_seed_base(pos_seed, w);
    std::uint64_t seeds[kDistanceLanes];
    for (std::size_t l = 0; l < kDistanceLanes; ++l) {
        seeds[l] = replicate_seed_from_base(seed_base, r0 + std::min(l, count - 1));
    }
    draw_keys_avx2(table.key, block_len, n_starts, n_blocks, L, seeds, keys);
    draw_keys_avx2(table.key, block_len, n_starts, n_blocks, L, seeds + 4, keys + 4);
    // The second sample's keys carry a set lowest bit.
    for (std::uint64_t k = w * kDistanceLanes; k < L * kDistanceLanes; ++k) keys[k] |= 1;
    wasserstein_rank_lanes(w, keys, table.ranked, lanes);
    std::copy_n(lanes, count, out + r0);
}

// Replicates r0 .. r0 + count - 1 (count <= kDistanceLanes) side by side, for w <= kLaneSampleMax;
// spare lanes repeat the last replicate and are discarded.
void replicate_group(const double* blocks, std::uint64_t w, std::uint64_t block_len,
                     std::uint64_t pos_seed, std::uint64_t r0, std::size_t count, double* out,
                     LaneIsa isa) {
    const bool avx512 = isa == LaneIsa::avx512f;
    const std::uint64_t L = 2 * w;
    const std::uint64_t n_starts = L - block_len + 1;
    const std::uint64_t n_blocks = L / block_len + (L % block_len != 0 ? 1 : 0);
    alignas(64) double rows[2 * kLaneSampleMax * kDistanceLanes];
    double lanes[kDistanceLanes];
    const std::uint64_t seed_base = replicate_seed_base(pos_seed, w);
    std::uint64_t seeds[kDistanceLanes];
    for (std::size_t l = 0; l < kDistanceLanes; ++l) {
        seeds[l] = replicate_seed_from_base(seed_base, r0 + std::min(l, count - 1));
    }
    if (avx512) {
        draw_rows_avx512(blocks, w, block_len, seeds, rows);
    } else {
        for (std::size_t l = 0; l < kDistanceLanes; ++l) {
            Xoshiro256pp rng = Xoshiro256pp::from_seed(seeds[l]);
            double* dst = rows + l;
            std::uint64_t len = 0;
            for (std::uint64_t j = 0; j < n_blocks; ++j) {
                const std::uint64_t u = canon_draw(rng, n_starts);
                const std::uint64_t m = std::min(block_len, L - len);
                const double* src = blocks + u * block_len;
                double* out_block = dst + len * kDistanceLanes;
                if (m == kDefaultBlockLen) {
                    // A whole block of the default length, copied without a loop counter.
                    for (std::uint64_t k = 0; k < kDefaultBlockLen; ++k) {
                        out_block[k * kDistanceLanes] = src[k];
                    }
                } else {
                    for (std::uint64_t k = 0; k < m; ++k) out_block[k * kDistanceLanes] = src[k];
                }
                len += m;
            }
        }
    }
    wasserstein_lanes(w, rows, lanes, isa);
    std::copy_n(lanes, count, out + r0);
}

}  // namespace

std::uint64_t block_length(std::uint64_t L, std::optional<std::uint64_t> b) {
    if (b) {
        const std::uint64_t len = std::min(*b, L);
        return len < 3 ? 3 : len;
    }
    const double Ld = static_cast<double>(L);
    const double f = L < 100 ? std::sqrt(Ld) : std::pow(Ld, 0.3333333333333333);
    const std::uint64_t len = std::min(double_to_u64_saturating(std::round(f)), L);
    return len < 8 ? 8 : len;
}

Result<TaperWeights> make_taper_weights(std::uint64_t block_len, double taper_ratio) {
    const double ramp = taper_ratio * static_cast<double>(block_len) * 0.5;
    const std::uint64_t t = double_to_u64_saturating(std::floor(ramp));
    // Ramps of t <= block_len overlap at worst (the later write wins); longer ones would leave
    // the block.
    if (t > block_len) {
        return error("taper_ratio must be at most 2 (got " + shortest_repr(taper_ratio) +
                     "): taper ramps of " + std::to_string(t) +
                     " values do not fit in a block of " + std::to_string(block_len) + " values");
    }
    TaperWeights tw;
    tw.block_len = block_len;
    tw.taper_ratio = taper_ratio;
    tw.weights.assign(block_len, 1.0);
    if (t > 0) {
        const double c = 1.0 / static_cast<double>(t + 1);
        for (std::uint64_t k = 0; k < t; ++k) {
            const double v = static_cast<double>(k + 1) * c;
            tw.weights[k] = v;
            tw.weights[block_len - 1 - k] = v;
        }
    }
    double sum_sq = 0.0;
    for (double v : tw.weights) sum_sq += v * v;
    tw.taper_scale = std::sqrt(static_cast<double>(block_len)) / std::sqrt(sum_sq);
    return tw;
}

std::uint64_t window_seed(std::uint64_t seed, std::uint64_t w) {
    return 0x3903fa2331f06e58ull ^ (w * kC2) ^ seed;
}

std::uint64_t position_seed(std::uint64_t seed, std::uint64_t w, std::uint64_t p) {
    return (p * kC1) ^ window_seed(seed, w);
}

std::uint64_t replicate_seed(std::uint64_t position_seed, std::uint64_t w, std::uint64_t r) {
    return replicate_seed_from_base(replicate_seed_base(position_seed, w), r);
}

void tbb_distances_into(std::span<const double> z, std::uint64_t w, std::uint64_t block_len,
                        const TaperWeights& taper, std::uint64_t position_seed,
                        std::uint64_t n_perm, std::vector<double>& distances) {
    tbb_distances_into(z, w, block_len, taper, position_seed, n_perm, distances, active_lane_isa());
}

void tbb_distances_into(std::span<const double> z, std::uint64_t w, std::uint64_t block_len,
                        const TaperWeights& taper, std::uint64_t position_seed,
                        std::uint64_t n_perm, std::vector<double>& distances, LaneIsa isa) {
    distances.clear();
    // Throws for an n_perm that cannot be held; the size computation itself cannot wrap.
    distances.resize(n_perm);
    tbb_distances_range(z, w, block_len, taper, position_seed, 0, n_perm, distances.data(), isa);
}

void tbb_distances_range(std::span<const double> z, std::uint64_t w, std::uint64_t block_len,
                         const TaperWeights& taper, std::uint64_t position_seed,
                         std::uint64_t r_begin, std::uint64_t r_end, double* out, LaneIsa isa) {
    if (r_end <= r_begin) return;
    const std::uint64_t count_all = r_end - r_begin;
    const std::uint64_t L = z.size();
    if (w <= kLaneSampleMax) {
        double blocks[kTaperedBlocksMax];
        if (isa != LaneIsa::avx2) taper_all_blocks(z, block_len, taper, blocks);
        const std::uint64_t n_groups =
            count_all / kDistanceLanes + (count_all % kDistanceLanes != 0);
        // Without AVX-512, values sort fastest as ranks: eight 32-bit keys per AVX2 register,
        // ordered by integer minimum and maximum, against four doubles and their tags by
        // comparisons and blends. The table (7 KiB) lives on the heap, one allocation per
        // threshold: this frame stays live while a worker waiting on the replicates runs other
        // windows' work, so it is kept as small as before.
        std::unique_ptr<const RankedBlocks> ranks;
        if (isa == LaneIsa::avx2) ranks = std::make_unique<const RankedBlocks>(z, block_len, taper);
        auto group = [&](std::uint64_t g) {
            const std::uint64_t r0 = r_begin + g * kDistanceLanes;
            const std::size_t count = std::min<std::uint64_t>(kDistanceLanes, r_end - r0);
            if (ranks) {
                replicate_group_ranks(*ranks, w, block_len, position_seed, r0, count, out);
            } else {
                replicate_group(blocks, w, block_len, position_seed, r0, count, out, isa);
            }
        };
        if (count_all < kParallelReplicates) {
            for (std::uint64_t g = 0; g < n_groups; ++g) group(g);
        } else {
            struct NoScratch {};
            const std::uint64_t min_chunk = n_groups / 8 + (n_groups % 8 != 0 ? 1 : 0);
            parallel_for(
                n_groups, min_chunk, [] { return NoScratch{}; },
                [&](NoScratch&, std::size_t g) { group(g); });
        }
        return;
    }
    // Eight replicates at a time: drawn and sorted one after the other, then walked side by side.
    struct Scratch {
        std::vector<double> buf;
        std::vector<std::uint64_t> sort;
    };
    constexpr std::uint64_t kGroup = kWalkLanes;
    const std::uint64_t n_groups = count_all / kGroup + (count_all % kGroup != 0);
    auto group = [&](Scratch& s, std::uint64_t g) {
        const std::uint64_t r0 = r_begin + kGroup * g;
        if (r_end - r0 < kGroup) {
            for (std::uint64_t r = r0; r < r_end; ++r) {
                out[r] = replicate_distance(z, w, block_len, taper, position_seed, r,
                                            std::span<double>(s.buf).first(L), s.sort);
            }
            return;
        }
        SamplePairs first;
        SamplePairs second;
        for (std::size_t k = 0; k < kGroup; ++k) {
            const std::span<double> buf = std::span<double>(s.buf).subspan(k * L, L);
            draw_replicate(z, w, block_len, taper, position_seed, r0 + k, buf.data(), 1);
            sort_total_order(buf.first(w), s.sort);
            sort_total_order(buf.subspan(w, w), s.sort);
            first[k] = buf.first(w);
            second[k] = buf.subspan(w, w);
        }
        wasserstein_1d_sorted_x8(first, second, out + r0, isa);
    };
    auto scratch = [L] { return Scratch{std::vector<double>(kGroup * L), {}}; };
    if (count_all < kParallelReplicates) {
        Scratch s = scratch();
        for (std::uint64_t g = 0; g < n_groups; ++g) group(s, g);
        return;
    }
    // At most eight chunks, as for single replicates.
    const std::uint64_t min_chunk = n_groups / 8 + (n_groups % 8 != 0 ? 1 : 0);
    parallel_for(n_groups, min_chunk, scratch, group);
}

Result<void> bootstrap_distances(const WindowParams& params, std::uint64_t w, std::uint64_t p,
                                 std::uint64_t r_begin, std::uint64_t r_end,
                                 BootstrapWorkspace& workspace) {
    const std::span<const double> series = params.series;
    const PrefixStats& prefix = *params.prefix;
    const std::uint64_t n = series.size();
    if (w == 0 || p > n || (n - p) / 2 < w) {
        return error("bootstrap windows lie outside the series");
    }
    const std::uint64_t L = 2 * w;

    const auto [mean_l, std_l] = prefix.mean_std(p, w, params.min_std);
    const auto [mean_r, std_r] = prefix.mean_std(p + w, w, params.min_std);

    const std::uint64_t block_len = block_length(L, params.b);
    // The documented length error wins over a taper that would not fit either.
    if (L < block_len) return error(kShortReferenceError);

    auto& cached = workspace.taper;
    if (!cached || cached->block_len != block_len ||
        std::bit_cast<std::uint64_t>(cached->taper_ratio) !=
            std::bit_cast<std::uint64_t>(params.taper_ratio)) {
        cached.reset();
        Result<TaperWeights> made = make_taper_weights(block_len, params.taper_ratio);
        if (!made) return std::unexpected(std::move(made.error()));
        cached.emplace(std::move(*made));
    }

    std::vector<double>& z = workspace.z;
    z.resize(L);
    const double inv_l = 1.0 / std_l;
    const double inv_r = 1.0 / std_r;
    const double* x = series.data() + p;
    if (params.center) {
        for (std::uint64_t k = 0; k < w; ++k) z[k] = (x[k] - mean_l) * inv_l;
        for (std::uint64_t k = 0; k < w; ++k) z[w + k] = (x[w + k] - mean_r) * inv_r;
    } else {
        for (std::uint64_t k = 0; k < w; ++k) z[k] = x[k] * inv_l;
        for (std::uint64_t k = 0; k < w; ++k) z[w + k] = x[w + k] * inv_r;
    }

    std::vector<double>& d = workspace.distances;
    if (r_begin == 0) d.clear();
    // Throws for a count that cannot be held; the size computation itself cannot wrap.
    d.resize(r_end);
    if (r_end <= r_begin) return {};
    tbb_distances_range(z, w, block_len, *cached, position_seed(params.seed, w, p), r_begin, r_end,
                        d.data(), active_lane_isa());

    const double factor = std::sqrt(0.5 * (std_l * std_l + std_r * std_r));
    for (std::uint64_t r = r_begin; r < r_end; ++r) d[r] = d[r] * factor;
    return {};
}

Result<double> bootstrap_threshold(const WindowParams& params, std::uint64_t w,
                                   double quantile_level, std::uint64_t p,
                                   BootstrapWorkspace& workspace) {
    if (auto filled = bootstrap_distances(params, w, p, 0, params.n_perm, workspace); !filled) {
        return std::unexpected(std::move(filled.error()));
    }
    return interpolated_quantile(workspace.distances, quantile_level);
}

}  // namespace vollan
