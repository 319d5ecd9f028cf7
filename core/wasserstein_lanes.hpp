// The distance of many pairs of small samples side by side in vector registers (see
// wasserstein_lanes in wasserstein.hpp): one kernel per sample size and instruction set. The
// kernels are fully unrolled networks and take most of the build's time, so they are
// instantiated in four source files, wasserstein_lanes_{avx512,avx2}_{small,large}.cpp, that
// compile in parallel; wasserstein.cpp dispatches to them through these tables.
#pragma once

#include "core/wasserstein.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace vollan::lanes {

using LaneKernel = void (*)(const double* rows, double* out);
// Entry n holds the kernel for samples of n values, or nothing.
using LaneTable = std::array<LaneKernel, kLaneSampleMax + 1>;

// The small tables hold the sizes 1 .. kLaneSplit, the large ones the rest: a split that gives
// the four source files about equal compile times.
inline constexpr std::size_t kLaneSplit = 19;
extern const LaneTable kAvx512Small;
extern const LaneTable kAvx512Large;
extern const LaneTable kAvx2Small;
extern const LaneTable kAvx2Large;

using RankKernel = void (*)(const std::int32_t* keys, const double* ranked, double* out);
using RankTable = std::array<RankKernel, kLaneSampleMax + 1>;
extern const RankTable kAvx2RankSmall;
extern const RankTable kAvx2RankLarge;

inline double quiet_nan() { return std::bit_cast<double>(0x7FF8000000000000ull); }

}  // namespace vollan::lanes
