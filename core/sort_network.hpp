// Comparator networks built at compile time: Batcher's odd-even merge sort and odd-even merge,
// cut down to the sizes the sorts need. A comparator (lo, hi) with lo < hi leaves the smaller
// value on wire lo.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace vollan::network {

struct Comparator {
    std::uint8_t lo;
    std::uint8_t hi;
};

// Calls emit(lo, hi) for the merge sort of the next power of two P >= n, skipping comparators
// that touch a wire >= n: those wires would hold +infinity and never move, so the rest sorts n
// values.
template <class Emit>
constexpr void odd_even_merge_sort(std::size_t n, Emit&& emit) {
    const std::size_t P = std::bit_ceil(n);
    for (std::size_t p = 1; p < P; p <<= 1) {
        for (std::size_t k = p; k >= 1; k >>= 1) {
            for (std::size_t j = k % p; j + k < P; j += 2 * k) {
                for (std::size_t i = 0; i < std::min(k, P - j - k); ++i) {
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && i + j + k < n) {
                        emit(i + j, i + j + k);
                    }
                }
            }
        }
    }
}

// Batcher's merge of two sorted runs of P (a power of two) on wires [0, P) and [P, 2P).
template <class Emit>
constexpr void odd_even_merge(std::size_t lo, std::size_t n, std::size_t r, Emit& emit) {
    const std::size_t step = 2 * r;
    if (step < n) {
        odd_even_merge(lo, n, step, emit);
        odd_even_merge(lo + r, n, step, emit);
        for (std::size_t i = lo + r; i + r < lo + n; i += step) emit(i, i + r);
    } else {
        emit(lo, lo + r);
    }
}

// Calls emit(lo, hi) for a merge of two sorted runs of n values on wires [0, n) and [n, 2n).
// They sit at [P - n, P) and [P, P + n) of the power-of-two merge, the outer wires holding
// -infinity below and +infinity above; those never move, so their comparators are dropped.
template <class Emit>
constexpr void merge_two_runs(std::size_t n, Emit&& emit) {
    const std::size_t P = std::bit_ceil(n);
    const std::size_t first = P - n;
    auto keep = [&](std::size_t a, std::size_t b) {
        if (a >= first && b < P + n) emit(a - first, b - first);
    };
    odd_even_merge(0, 2 * P, 1, keep);
}

template <std::size_t N>
constexpr std::size_t sort_size() {
    std::size_t count = 0;
    odd_even_merge_sort(N, [&](std::size_t, std::size_t) { ++count; });
    return count;
}

template <std::size_t N>
constexpr std::size_t merge_size() {
    std::size_t count = 0;
    merge_two_runs(N, [&](std::size_t, std::size_t) { ++count; });
    return count;
}

// The comparators that sort N values.
template <std::size_t N>
constexpr std::array<Comparator, sort_size<N>()> sort_network() {
    std::array<Comparator, sort_size<N>()> net{};
    std::size_t c = 0;
    odd_even_merge_sort(N, [&](std::size_t a, std::size_t b) {
        net[c++] = Comparator{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
    });
    return net;
}

// The comparators that merge two sorted runs of N values on wires [0, N) and [N, 2N).
template <std::size_t N>
constexpr std::array<Comparator, merge_size<N>()> merge_network() {
    std::array<Comparator, merge_size<N>()> net{};
    std::size_t c = 0;
    merge_two_runs(N, [&](std::size_t a, std::size_t b) {
        net[c++] = Comparator{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
    });
    return net;
}

}  // namespace vollan::network
