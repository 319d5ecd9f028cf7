#include "core/stream.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace vollan {

namespace {

// The first position whose value is not below `value` (or, with `after_equal`, not at most it),
// by halving without branches: the stream's values land anywhere in the windows, so a branch
// per halving would be mispredicted half of the time.
std::size_t bound(const std::vector<double>& window, double value, bool after_equal) {
    const double* base = window.data();
    std::size_t n = window.size();
    while (n > 1) {
        const std::size_t half = n / 2;
        const double probe = base[half - 1];
        base += (after_equal ? probe <= value : probe < value) ? half : 0;
        n -= half;
    }
    const std::size_t at = static_cast<std::size_t>(base - window.data());
    if (n == 1) return at + ((after_equal ? *base <= value : *base < value) ? 1 : 0);
    return at;
}

// Insertion and removal keep a window sorted in O(w) moves; equal values are interchangeable, so
// removing any one of them leaves the same sorted values.
void insert_sorted(std::vector<double>& window, double value) {
    const auto at = static_cast<std::ptrdiff_t>(bound(window, value, true));
    window.insert(window.begin() + at, value);
}

// One value of a full window leaves as another enters: only the values between their places
// move, a third of the window on average against all of it for a removal and an insertion.
void replace_sorted(std::vector<double>& window, double leaving, double entering) {
    double* w = window.data();
    const std::size_t out = bound(window, leaving, false);
    if (entering > leaving) {
        const std::size_t in = bound(window, entering, true);  // > out: w[out] < entering
        std::memmove(w + out, w + out + 1, (in - 1 - out) * sizeof(double));
        w[in - 1] = entering;
    } else if (entering < leaving) {
        const std::size_t in = bound(window, entering, true);  // <= out: w[out] > entering
        std::memmove(w + in + 1, w + in, (out - in) * sizeof(double));
        w[in] = entering;
    }
}

// Sums of w terms in four interleaved lanes, term i to lane i % 4, combined as
// (lane 0 + lane 1) + (lane 2 + lane 3): four independent chains of additions instead of one,
// in an order a plain reference repeats.
template <class Term>
double lane_sum(std::size_t n, Term term) {
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        lane[0] += term(i);
        lane[1] += term(i + 1);
        lane[2] += term(i + 2);
        lane[3] += term(i + 3);
    }
    for (std::size_t r = 0; i < n; ++i, ++r) lane[r] += term(i);
    return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

double plain_sum(const std::vector<double>& sorted) {
    return lane_sum(sorted.size(), [&](std::size_t i) { return sorted[i]; });
}

}  // namespace

Result<StreamWindows> StreamWindows::create(StreamWindowsParams params) {
    if (params.sizes.empty()) return error("window_sizes must hold at least one size");
    for (std::size_t k = 0; k < params.sizes.size(); ++k) {
        if (params.sizes[k] < 1) return error("window_sizes must be at least 1");
        if (k > 0 && params.sizes[k] <= params.sizes[k - 1]) {
            return error("window_sizes must be ascending and distinct");
        }
    }
    // The ring holds two windows of the largest size; its size must be an index.
    if (params.sizes.back() > std::numeric_limits<std::size_t>::max() / 2 / sizeof(double)) {
        return error("window_sizes: the largest size is too large");
    }
    if (!is_finite_bits(params.low) || !is_finite_bits(params.high) || params.low > params.high) {
        return error("the clipping range must be finite with low <= high");
    }
    return StreamWindows(std::move(params));
}

StreamWindows::StreamWindows(StreamWindowsParams params) : params_(std::move(params)) {
    capacity_ = static_cast<std::size_t>(2 * params_.sizes.back());
    ring_.assign(capacity_, 0.0);
    ring_indices_.assign(capacity_, 0);
    left_.resize(params_.sizes.size());
    right_.resize(params_.sizes.size());
    for (std::size_t k = 0; k < params_.sizes.size(); ++k) {
        left_[k].reserve(params_.sizes[k]);
        right_[k].reserve(params_.sizes[k]);
    }
}

void StreamWindows::clear() {
    pushed_ = 0;
    filled_ = 0;
    for (auto& w : left_) w.clear();
    for (auto& w : right_) w.clear();
}

void StreamWindows::push(double value, std::int64_t index) {
    // Adding +0.0 turns -0.0 into +0.0, so that the windows hold one zero.
    const double v = std::clamp(value, params_.low, params_.high) + 0.0;
    for (std::size_t k = 0; k < params_.sizes.size(); ++k) {
        const std::uint64_t w = params_.sizes[k];
        if (pushed_ < w) {
            insert_sorted(right_[k], v);
            continue;
        }
        // The value w places back moves from the right window to the left one, and the value
        // 2w places back leaves the left window.
        const double moving = ring_[(pushed_ - w) % capacity_];
        replace_sorted(right_[k], moving, v);
        if (pushed_ >= 2 * w) {
            replace_sorted(left_[k], ring_[(pushed_ - 2 * w) % capacity_], moving);
        } else {
            insert_sorted(left_[k], moving);
        }
    }
    ring_[pushed_ % capacity_] = v;
    ring_indices_[pushed_ % capacity_] = index;
    ++pushed_;
    filled_ = std::min<std::uint64_t>(pushed_, capacity_);
}

double StreamWindows::statistic(std::size_t k) const {
    const std::uint64_t w = params_.sizes[k];
    if (filled_ < 2 * w) return std::bit_cast<double>(kQuietNanBits);
    const std::vector<double>& left = left_[k];
    const std::vector<double>& right = right_[k];
    const double width = static_cast<double>(w);
    switch (params_.change_type) {
        case ChangeType::mean:
            return std::fabs(plain_sum(right) - plain_sum(left)) / width;
        case ChangeType::var: {
            const double mean_left = plain_sum(left) / width;
            const double mean_right = plain_sum(right) / width;
            return lane_sum(w,
                            [&](std::size_t i) {
                                return std::fabs((left[i] - mean_left) - (right[i] - mean_right));
                            }) /
                   width;
        }
        case ChangeType::distribution:
            break;
    }
    return lane_sum(w, [&](std::size_t i) { return std::fabs(left[i] - right[i]); }) / width;
}

Result<void> StreamWindows::statistics(std::span<const double> values,
                                       std::span<const std::int64_t> indices, double* out) {
    if (!all_finite(values)) return error("values must be finite");
    const std::size_t n_sizes = params_.sizes.size();
    for (std::size_t j = 0; j < values.size(); ++j) {
        push(values[j], indices[j]);
        for (std::size_t k = 0; k < n_sizes; ++k) out[j * n_sizes + k] = statistic(k);
    }
    return {};
}

Result<StreamAlarm> StreamWindows::watch(std::span<const double> values,
                                         std::span<const std::int64_t> indices,
                                         std::span<const double> center,
                                         std::span<const double> scale, double threshold) {
    if (!all_finite(values)) return error("values must be finite");
    const std::size_t n_sizes = params_.sizes.size();
    if (center.size() != n_sizes || scale.size() != n_sizes) {
        return error("center and scale need one value per window size");
    }
    StreamAlarm alarm;
    for (std::size_t j = 0; j < values.size(); ++j) {
        push(values[j], indices[j]);
        double best = -std::numeric_limits<double>::infinity();
        std::ptrdiff_t best_k = -1;
        for (std::size_t k = 0; k < n_sizes && filled_ >= 2 * params_.sizes[k]; ++k) {
            const double z = (statistic(k) - center[k]) / scale[k];
            if (z > best) {
                best = z;
                best_k = static_cast<std::ptrdiff_t>(k);
            }
        }
        if (best_k >= 0 && best > threshold) {
            alarm.consumed = j + 1;
            alarm.size = best_k;
            alarm.z = best;
            return alarm;
        }
    }
    alarm.consumed = values.size();
    return alarm;
}

void StreamWindows::contents(std::vector<double>& values,
                             std::vector<std::int64_t>& indices) const {
    const std::uint64_t n = filled_;
    values.resize(n);
    indices.resize(n);
    for (std::uint64_t a = 0; a < n; ++a) {
        const std::size_t at = (pushed_ - n + a) % capacity_;
        values[a] = ring_[at];
        indices[a] = ring_indices_[at];
    }
}

}  // namespace vollan
