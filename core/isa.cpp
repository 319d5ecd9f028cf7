#include "core/isa.hpp"

#include <cstdlib>
#include <string_view>

namespace vollan {

namespace {

LaneIsa widest_supported_isa() {
    if (lane_isa_supported(LaneIsa::avx512f)) return LaneIsa::avx512f;
    if (lane_isa_supported(LaneIsa::avx2)) return LaneIsa::avx2;
    return LaneIsa::scalar;
}

LaneIsa chosen_isa() {
    const LaneIsa widest = widest_supported_isa();
    const char* named = std::getenv("VOLLAN_LANE_ISA");
    if (named == nullptr) return widest;
    const std::string_view name(named);
    if (name == "scalar") return LaneIsa::scalar;
    if (name == "avx2" && widest != LaneIsa::scalar) return LaneIsa::avx2;
    return widest;
}

}  // namespace

bool lane_isa_supported(LaneIsa isa) {
    switch (isa) {
        case LaneIsa::avx512f:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        case LaneIsa::avx2: return __builtin_cpu_supports("avx2");
        case LaneIsa::scalar: return true;
    }
    return false;
}

LaneIsa active_lane_isa() {
    static const LaneIsa isa = chosen_isa();
    return isa;
}

}  // namespace vollan
