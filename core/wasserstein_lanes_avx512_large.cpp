#include "core/wasserstein_lanes_kernels.hpp"

namespace vollan::lanes {

constinit const LaneTable kAvx512Large = avx512_kernels<kLaneSplit + 1>(std::make_index_sequence<kLaneSampleMax - kLaneSplit>());

}  // namespace vollan::lanes
