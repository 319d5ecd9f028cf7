// The generators of rng.hpp for eight streams at once in the 64-bit lanes of an AVX-512 register:
// SplitMix64 seeding, Xoshiro256++ and Canon's bounded draw below 2^32, each lane giving exactly
// the words and draws of the scalar generator seeded with that lane's seed.
#pragma once

#include <cstdint>

#include <immintrin.h>

namespace vollan {

// Shifts, rotations and 32-bit products of the eight words through the vector extension: the
// intrinsics' definitions in GCC 12 trip its own -Wuninitialized.
using WordLanes = std::uint64_t __attribute__((vector_size(64)));

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i shift_right(__m512i v, int k) {
    return reinterpret_cast<__m512i>(reinterpret_cast<WordLanes>(v) >> k);
}

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i shift_left(__m512i v, int k) {
    return reinterpret_cast<__m512i>(reinterpret_cast<WordLanes>(v) << k);
}

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i rotate_left(__m512i v, int k) {
    const WordLanes x = reinterpret_cast<WordLanes>(v);
    return reinterpret_cast<__m512i>((x << k) | (x >> (64 - k)));
}

// The full products of the low 32 bits of each word.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i multiply_low_halves(__m512i a,
                                                                                 __m512i b) {
    const WordLanes low = WordLanes{} + 0xFFFFFFFFull;
    return reinterpret_cast<__m512i>((reinterpret_cast<WordLanes>(a) & low) *
                                     (reinterpret_cast<WordLanes>(b) & low));
}

[[gnu::target("avx512f,avx512dq"), gnu::always_inline]] inline __m512i splitmix_lanes(
    __m512i& state) {
    state = _mm512_add_epi64(state, _mm512_set1_epi64(static_cast<long long>(0x9e3779b97f4a7c15ull)));
    __m512i z = state;
    z = _mm512_mullo_epi64(_mm512_xor_si512(z, shift_right(z, 30)),
                           _mm512_set1_epi64(static_cast<long long>(0xbf58476d1ce4e5b9ull)));
    z = _mm512_mullo_epi64(_mm512_xor_si512(z, shift_right(z, 27)),
                           _mm512_set1_epi64(static_cast<long long>(0x94d049bb133111ebull)));
    return _mm512_xor_si512(z, shift_right(z, 31));
}

struct Xoshiro256ppLanes {
    __m512i s0, s1, s2, s3;
};

// Eight generators, lane l seeded with seeds[l] as Xoshiro256pp::from_seed does.
[[gnu::target("avx512f,avx512dq"), gnu::always_inline]] inline Xoshiro256ppLanes
xoshiro_lanes_from_seeds(const std::uint64_t* seeds) {
    __m512i state = _mm512_loadu_si512(seeds);
    Xoshiro256ppLanes g;
    g.s0 = splitmix_lanes(state);
    g.s1 = splitmix_lanes(state);
    g.s2 = splitmix_lanes(state);
    g.s3 = splitmix_lanes(state);
    return g;
}

[[gnu::target("avx512f,avx512dq"), gnu::always_inline]] inline __m512i xoshiro_lanes(
    Xoshiro256ppLanes& g) {
    const __m512i result = _mm512_add_epi64(rotate_left(_mm512_add_epi64(g.s0, g.s3), 23), g.s0);
    const __m512i t = shift_left(g.s1, 17);
    g.s2 = _mm512_xor_si512(g.s2, g.s0);
    g.s3 = _mm512_xor_si512(g.s3, g.s1);
    g.s1 = _mm512_xor_si512(g.s1, g.s2);
    g.s0 = _mm512_xor_si512(g.s0, g.s3);
    g.s2 = _mm512_xor_si512(g.s2, t);
    g.s3 = rotate_left(g.s3, 45);
    return result;
}

// The constants of canon_draw's 32-bit branch for one range (1 <= range < 2^32).
struct CanonLanes {
    __m512i range, low_bits, limit, two_32;

    [[gnu::target("avx512f"), gnu::always_inline]] explicit CanonLanes(std::uint64_t r)
        : range(_mm512_set1_epi64(static_cast<long long>(r))),
          low_bits(_mm512_set1_epi64(0xFFFFFFFFll)),
          limit(_mm512_set1_epi64(static_cast<long long>(
              static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(r))))),
          two_32(_mm512_set1_epi64(1ll << 32)) {}
};

// canon_draw in every lane: the second word is drawn, and the generator advanced, only in the
// lanes whose first product needs the correction.
[[gnu::target("avx512f,avx512dq"), gnu::always_inline]] inline __m512i canon_draw_lanes(
    Xoshiro256ppLanes& g, const CanonLanes& c) {
    const __m512i product = multiply_low_halves(shift_right(xoshiro_lanes(g), 32), c.range);
    __m512i draw = shift_right(product, 32);
    const __m512i lo = _mm512_and_si512(product, c.low_bits);
    const __mmask8 again = _mm512_cmpgt_epu64_mask(lo, c.limit);
    if (again != 0) {
        Xoshiro256ppLanes next = g;
        const __m512i x2 = shift_right(xoshiro_lanes(next), 32);
        g.s0 = _mm512_mask_mov_epi64(g.s0, again, next.s0);
        g.s1 = _mm512_mask_mov_epi64(g.s1, again, next.s1);
        g.s2 = _mm512_mask_mov_epi64(g.s2, again, next.s2);
        g.s3 = _mm512_mask_mov_epi64(g.s3, again, next.s3);
        const __m512i h2 = shift_right(multiply_low_halves(x2, c.range), 32);
        const __mmask8 carry =
            _mm512_mask_cmpge_epu64_mask(again, _mm512_add_epi64(lo, h2), c.two_32);
        draw = _mm512_mask_add_epi64(draw, carry, draw, _mm512_set1_epi64(1));
    }
    return draw;
}

// The same generators for four streams in the 64-bit lanes of an AVX2 register, written with the
// vector extension alone (AVX2 has no 64-bit product or unsigned comparison; GCC composes them).
using WordLanes4 = std::uint64_t __attribute__((vector_size(32)));
using SignedLanes4 = std::int64_t __attribute__((vector_size(32)));

struct Xoshiro256ppLanes4 {
    WordLanes4 s0, s1, s2, s3;
};

[[gnu::target("avx2"), gnu::always_inline]] inline WordLanes4 splitmix_lanes4(WordLanes4& state) {
    state += 0x9e3779b97f4a7c15ull;
    WordLanes4 z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Four generators, lane l seeded with seeds[l] as Xoshiro256pp::from_seed does.
[[gnu::target("avx2"), gnu::always_inline]] inline Xoshiro256ppLanes4
xoshiro_lanes4_from_seeds(const std::uint64_t* seeds) {
    WordLanes4 state{seeds[0], seeds[1], seeds[2], seeds[3]};
    Xoshiro256ppLanes4 g;
    g.s0 = splitmix_lanes4(state);
    g.s1 = splitmix_lanes4(state);
    g.s2 = splitmix_lanes4(state);
    g.s3 = splitmix_lanes4(state);
    return g;
}

[[gnu::target("avx2"), gnu::always_inline]] inline WordLanes4 rotate_left4(WordLanes4 x, int k) {
    return (x << k) | (x >> (64 - k));
}

[[gnu::target("avx2"), gnu::always_inline]] inline WordLanes4 xoshiro_lanes4(Xoshiro256ppLanes4& g) {
    const WordLanes4 result = rotate_left4(g.s0 + g.s3, 23) + g.s0;
    const WordLanes4 t = g.s1 << 17;
    g.s2 ^= g.s0;
    g.s3 ^= g.s1;
    g.s1 ^= g.s2;
    g.s0 ^= g.s3;
    g.s2 ^= t;
    g.s3 = rotate_left4(g.s3, 45);
    return result;
}

// canon_draw's 32-bit branch (1 <= range < 2^32) in every lane; the second word is drawn, and the
// generator advanced, only in the lanes whose first product needs the correction. Every word
// compared is below 2^33, so signed comparisons order them.
[[gnu::target("avx2"), gnu::always_inline]] inline WordLanes4 canon_draw_lanes4(Xoshiro256ppLanes4& g,
                                                                                std::uint64_t range) {
    const std::uint64_t limit = static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(range));
    const WordLanes4 product = (xoshiro_lanes4(g) >> 32) * range;
    WordLanes4 draw = product >> 32;
    const WordLanes4 lo = product & 0xFFFFFFFFull;
    const SignedLanes4 again = reinterpret_cast<SignedLanes4>(lo) > static_cast<std::int64_t>(limit);
    if (!_mm256_testz_si256(reinterpret_cast<__m256i>(again), reinterpret_cast<__m256i>(again))) {
        Xoshiro256ppLanes4 next = g;
        const WordLanes4 x2 = xoshiro_lanes4(next) >> 32;
        const WordLanes4 mask = reinterpret_cast<WordLanes4>(again);
        g.s0 = (next.s0 & mask) | (g.s0 & ~mask);
        g.s1 = (next.s1 & mask) | (g.s1 & ~mask);
        g.s2 = (next.s2 & mask) | (g.s2 & ~mask);
        g.s3 = (next.s3 & mask) | (g.s3 & ~mask);
        const WordLanes4 h2 = (x2 * range) >> 32;
        const SignedLanes4 carry =
            again & (reinterpret_cast<SignedLanes4>(lo + h2) >= static_cast<std::int64_t>(1ll << 32));
        draw -= reinterpret_cast<WordLanes4>(carry);
    }
    return draw;
}

}  // namespace vollan
