// The instruction sets the vector kernels are written for, and the one this process uses.
#pragma once

namespace vollan {

enum class LaneIsa { scalar, avx2, avx512f };

bool lane_isa_supported(LaneIsa isa);

// The widest supported set, unless the environment variable VOLLAN_LANE_ISA names a narrower
// supported one ("scalar", "avx2"): results are the same bits on every path, so this only lets
// a benchmark time the narrower kernels on a wider machine. Read once per process.
LaneIsa active_lane_isa();

}  // namespace vollan
