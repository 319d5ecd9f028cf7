#include "core/wasserstein_lanes_kernels.hpp"

namespace vollan::lanes {

constinit const LaneTable kAvx2Large = avx2_kernels<kLaneSplit + 1>(std::make_index_sequence<kLaneSampleMax - kLaneSplit>());
constinit const RankTable kAvx2RankLarge = avx2_rank_kernels<kLaneSplit + 1>(std::make_index_sequence<kLaneSampleMax - kLaneSplit>());

}  // namespace vollan::lanes
