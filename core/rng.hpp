// SplitMix64 (seeding), Xoshiro256++ (generation) and Canon's unbiased bounded draw.
#pragma once

#include <cstdint>

namespace vollan {

// The full 128-bit product of two 64-bit words; __extension__ keeps -Wpedantic quiet.
__extension__ typedef unsigned __int128 Uint128;

struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
};

struct Xoshiro256pp {
    std::uint64_t s[4];

    static Xoshiro256pp from_seed(std::uint64_t seed) {
        SplitMix64 sm{seed};
        Xoshiro256pp g{};
        for (auto& w : g.s) w = sm.next();
        return g;
    }

    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s[0] + s[3], 23) + s[0];
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
};

// Uniform draw in [0, range) by Canon's method with one correction step; range >= 1. Uses 32-bit
// words for ranges below 2^32 and 64-bit words otherwise.
inline std::uint64_t canon_draw(Xoshiro256pp& rng, std::uint64_t range) {
    if (range < (1ull << 32)) {
        const std::uint64_t r = range;
        const std::uint64_t x = rng.next() >> 32;
        const std::uint64_t m = x * r;
        std::uint64_t hi = m >> 32;
        const std::uint32_t lo = static_cast<std::uint32_t>(m);
        if (lo > static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(r))) {
            const std::uint64_t x2 = rng.next() >> 32;
            const std::uint64_t h2 = (x2 * r) >> 32;
            if (static_cast<std::uint64_t>(lo) + h2 >= (1ull << 32)) hi += 1;
        }
        return hi;
    }
    const Uint128 m = static_cast<Uint128>(rng.next()) * range;
    std::uint64_t hi = static_cast<std::uint64_t>(m >> 64);
    const std::uint64_t lo = static_cast<std::uint64_t>(m);
    if (lo > 0ull - range) {
        const Uint128 m2 = static_cast<Uint128>(rng.next()) * range;
        const std::uint64_t h2 = static_cast<std::uint64_t>(m2 >> 64);
        if (lo + h2 < lo) hi += 1;
    }
    return hi;
}

}  // namespace vollan
