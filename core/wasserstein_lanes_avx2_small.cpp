#include "core/wasserstein_lanes_kernels.hpp"

namespace vollan::lanes {

constinit const LaneTable kAvx2Small = avx2_kernels<1>(std::make_index_sequence<kLaneSplit>());
constinit const RankTable kAvx2RankSmall = avx2_rank_kernels<1>(std::make_index_sequence<kLaneSplit>());

}  // namespace vollan::lanes
