// Adjacent windows over a stream. For each size w the last w values (the right window) and the
// w before them (the left window) are each kept sorted as values arrive, so that the distance of
// the two windows at every new value is one O(w) walk per size: for samples of equal sizes the
// first-order Wasserstein distance is the mean absolute difference of their order statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/types.hpp"

namespace vollan {

// What the windows are compared by (ChangeType names the same three choices):
//   distribution: sum_i |L_(i) - R_(i)| / w, the Wasserstein distance;
//   mean:         |sum_i R_(i) - sum_i L_(i)| / w, the difference of the means;
//   var:          sum_i |(L_(i) - mean L) - (R_(i) - mean R)| / w, the distance of the centred
//                 windows, blind to the means.
// Every sum of w terms runs in four lanes, term i added to lane i % 4 in ascending order of i,
// and returns (lane 0 + lane 1) + (lane 2 + lane 3), so that a plain reference repeats it bit
// for bit.
struct StreamWindowsParams {
    std::vector<std::uint64_t> sizes;  // ascending, distinct, each at least 1
    ChangeType change_type = ChangeType::distribution;
    // Values are clipped into [low, high] before they enter the windows.
    double low = 0.0;
    double high = 0.0;
};

// The first value of a stream that makes a standardised statistic exceed the threshold.
struct StreamAlarm {
    // Values pushed by this call, the alarming one included.
    std::size_t consumed = 0;
    // Index of the size with the largest standardised statistic; -1 when no value alarmed.
    std::ptrdiff_t size = -1;
    // That statistic, (d - center) / scale.
    double z = 0.0;
};

class StreamWindows {
public:
    // Checks the parameters: sizes ascending and distinct, 2 * largest representable, low <= high
    // and both finite.
    static Result<StreamWindows> create(StreamWindowsParams params);

    const StreamWindowsParams& params() const { return params_; }
    // Values pushed since the last clear, counted up to twice the largest size.
    std::uint64_t filled() const { return filled_; }
    // Forgets every value: the next statistic of size w comes after 2w new values.
    void clear();

    // Pushes finite values one at a time (a non-finite value refuses the whole span, before any
    // is pushed); out, of values.size() * sizes rows, receives after each value the statistic
    // of every size, NaN while fewer than 2w values have arrived since the last clear.
    Result<void> statistics(std::span<const double> values, std::span<const std::int64_t> indices,
                            double* out);

    // Pushes values until one makes max_k (d_k - center[k]) / scale[k] exceed threshold, over the
    // sizes whose windows are full; stops after that value. O(sum of sizes) per value.
    Result<StreamAlarm> watch(std::span<const double> values, std::span<const std::int64_t> indices,
                              std::span<const double> center, std::span<const double> scale,
                              double threshold);

    // The last min(filled, 2 * largest size) values as clipped, oldest first, with the indices
    // they were pushed with.
    void contents(std::vector<double>& values, std::vector<std::int64_t>& indices) const;

private:
    explicit StreamWindows(StreamWindowsParams params);
    void push(double value, std::int64_t index);
    double statistic(std::size_t k) const;

    StreamWindowsParams params_;
    std::size_t capacity_ = 0;  // 2 * largest size
    std::vector<double> ring_;  // the last capacity_ values
    std::vector<std::int64_t> ring_indices_;
    std::uint64_t pushed_ = 0;  // values since clear, uncapped (ring position)
    std::uint64_t filled_ = 0;
    std::vector<std::vector<double>> left_;  // per size, sorted
    std::vector<std::vector<double>> right_;
};

}  // namespace vollan
