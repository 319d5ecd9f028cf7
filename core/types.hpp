// Shared vocabulary of the detection core: change types, the per-window result record and the
// error channel. Nothing here knows about Python.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vollan {

// Every core operation returns its value or an owned error text; the binding raises the text as
// ValueError unchanged.
template <class T>
using Result = std::expected<T, std::string>;

inline std::unexpected<std::string> error(std::string text) {
    return std::unexpected<std::string>(std::move(text));
}

enum class ChangeType { mean, var, distribution };

struct Region {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    friend bool operator==(const Region&, const Region&) = default;
};

// The outcome of scanning a series with one window size.
struct WindowScanResult {
    std::vector<std::uint64_t> change_points;
    std::vector<std::uint64_t> starts;
    std::vector<double> statistics;
    std::vector<double> tapered_block_bootstrap_threshold;
    std::vector<Region> localized_regions;
};

// Standard-deviation floor used by every entry.
inline constexpr double kMinStd = 1e-12;

struct PrefixStats;

// Everything that is the same for every window size of one call, from the request down to the
// bootstrap.
struct WindowParams {
    std::span<const double> series;
    const PrefixStats* prefix = nullptr;  // of series
    std::uint64_t n_perm = 300;
    double alpha_percent = 100.0;
    double min_std = kMinStd;
    double taper_ratio = 0.5;
    std::uint64_t seed = 123;
    ChangeType change_type = ChangeType::mean;
    std::optional<std::uint64_t> b;
    bool center = true;
    // A factor c >= 1 (infinity allowed): each threshold starts from a pilot of its first
    // ceil(n_perm / 4) replicates and is completed only where the pilot cannot decide (see
    // scan_window). Absent: every threshold from all n_perm replicates.
    std::optional<double> pilot_factor;
};

// Finiteness as a bit test, so that it cannot be optimised away or fooled by signalling NaNs.
inline bool is_finite_bits(double v) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    return (bits & 0x7FFFFFFFFFFFFFFFull) <= 0x7FEFFFFFFFFFFFFFull;
}

inline bool all_finite(std::span<const double> values) {
    for (double v : values) {
        if (!is_finite_bits(v)) return false;
    }
    return true;
}

inline constexpr std::uint64_t kQuietNanBits = 0x7FF8000000000000ull;

}  // namespace vollan
