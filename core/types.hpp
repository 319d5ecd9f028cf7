// Shared vocabulary of the detection core: change types, the per-window result record and the
// error channel. Nothing here knows about Python.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
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

// Parses "mean", "var" or "distribution", ignoring ASCII letter case only.
Result<ChangeType> parse_change_type(std::string_view text);

// Quotes text as the change-type error message shows it: escapes for \t \r \n \0 \\ \", \u{hex}
// for non-printable and combining code points, everything else verbatim.
std::string quote_for_message(std::string_view utf8);

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

// Finiteness as a bit test, so that it cannot be optimised away or fooled by signalling NaNs.
inline bool is_finite_bits(double v) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    return (bits & 0x7FFFFFFFFFFFFFFFull) <= 0x7FEFFFFFFFFFFFFFull;
}

inline constexpr std::uint64_t kQuietNanBits = 0x7FF8000000000000ull;

}  // namespace vollan
