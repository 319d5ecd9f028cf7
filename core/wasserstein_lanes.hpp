// The distance of many pairs of small samples side by side in vector registers: the parts that
// every instruction set shares. Each instruction set has its own source file
// (wasserstein_lanes_avx512.cpp, wasserstein_lanes_avx2.cpp) holding its walk and its table of
// kernels, so that the two large sets of unrolled networks compile in parallel.
#pragma once

#include "core/sort_network.hpp"
#include "core/wasserstein.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

namespace vollan::lanes {

using LaneKernel = void (*)(const double* rows, double* out);
// Entry n holds the kernel for samples of n values; entry 0 is never used.
using LaneTable = std::array<LaneKernel, kLaneSampleMax + 1>;

extern const LaneTable kAvx512Table;
extern const LaneTable kAvx2Table;

inline double quiet_nan() { return std::bit_cast<double>(0x7FF8000000000000ull); }

// One lane per pair of samples. The sorts and the merge are comparator networks, the same
// comparisons in every lane, so all lanes advance together without a data-dependent branch. The
// vector holds as many lanes as one register of the instruction set: 8 with AVX-512, 4 with AVX2.
// (GCC ignores vector_size on a type that depends on a template parameter, hence the spelled-out
// specialisations.)
template <std::size_t W>
struct Lanes;

template <>
struct Lanes<4> {
    using F = double __attribute__((vector_size(32)));
};

template <>
struct Lanes<8> {
    using F = double __attribute__((vector_size(64)));
};

// Every comparison feeds a selection directly, which GCC 12 compiles to a compare and a blend;
// a comparison result kept as a vector, or a selection against a zero constant, it compiled lane
// by lane.
template <class F>
[[gnu::always_inline]] inline void lane_exchange(F& a, F& b) {
    const F x = a;
    const F y = b;
    a = y < x ? y : x;
    b = y < x ? x : y;
}

// The same exchange carrying each value's tag (0.0 for the first sample, 1.0 for the second).
template <class F>
[[gnu::always_inline]] inline void lane_exchange_tagged(F& a, F& b, F& ta, F& tb) {
    const F x = a;
    const F y = b;
    const F tx = ta;
    const F ty = tb;
    a = y < x ? y : x;
    b = y < x ? x : y;
    ta = y < x ? ty : tx;
    tb = y < x ? tx : ty;
}

// (Helpers rather than lambdas: a lambda would not inherit the caller's instruction set.)
template <std::size_t N, class F, std::size_t... I>
[[gnu::always_inline]] inline void lane_sort([[maybe_unused]] F* v, std::index_sequence<I...>) {
    [[maybe_unused]] static constexpr auto net = network::sort_network<N>();
    (lane_exchange(v[net[I].lo], v[net[I].hi]), ...);
}

template <std::size_t N, class F, std::size_t... I>
[[gnu::always_inline]] inline void lane_merge(F* v, F* tag, std::index_sequence<I...>) {
    static constexpr auto net = network::merge_network<N>();
    (lane_exchange_tagged(v[net[I].lo], v[net[I].hi], tag[net[I].lo], tag[net[I].hi]), ...);
}

// Loads lanes first .. first + W - 1 of the rows, sorts both samples of every lane and merges
// them, keeping each value's tag; nan is 1.0 in a lane holding a NaN. The walk over v and tag is
// the instruction set's own.
template <std::size_t W, std::size_t N>
[[gnu::always_inline]] inline void lane_sort_merge(const double* rows, std::size_t first,
                                                   typename Lanes<W>::F* v,
                                                   typename Lanes<W>::F* tag,
                                                   typename Lanes<W>::F& nan) {
    using F = typename Lanes<W>::F;
    const F zero{};
    const F one = zero + 1.0;
    nan = zero;
    for (std::size_t k = 0; k < 2 * N; ++k) {
        std::memcpy(&v[k], rows + k * kDistanceLanes + first, sizeof(F));
        nan = v[k] == v[k] ? nan : one;
        tag[k] = k < N ? zero : one;
    }
    lane_sort<N>(v, std::make_index_sequence<network::sort_size<N>()>());
    lane_sort<N>(v + N, std::make_index_sequence<network::sort_size<N>()>());
    lane_merge<N>(v, tag, std::make_index_sequence<network::merge_size<N>()>());
}

}  // namespace vollan::lanes
