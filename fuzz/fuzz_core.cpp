// libFuzzer harness over the core kernels: the distance, the split searches, the bootstrap, the
// per-window scan, the whole detector, the voting and the change-type parser. Built with ASan and
// UBSan (see mk/fuzz.mk), so memory errors and undefined behaviour end the run; every kernel is
// also checked against the properties it promises, and run a second time on a dedicated pool to
// catch any dependence of results on threads.
//
// The first input byte picks the kernel; the rest is read as its arguments. Inputs stay within the
// contracts that the Python entries establish (finite series, checked window sizes, non-empty
// window lists), because inputs outside them never reach the kernels.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "binding/words.hpp"
#include "core/aggregate.hpp"
#include "core/bootstrap.hpp"
#include "core/detect.hpp"
#include "core/pool.hpp"
#include "core/refine.hpp"
#include "core/stats.hpp"
#include "core/types.hpp"
#include "core/wasserstein.hpp"

namespace {

using namespace vollan;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// A finite double: either a small decimal-like value (where changes and ties are likely) or any
// finite bit pattern (where overflow to infinity is likely).
double finite_value(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return static_cast<double>(in.ConsumeIntegralInRange<int>(-8, 8)) * 0.5;
    const double v = std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    return is_finite_bits(v) ? v : 0.0;
}

std::vector<double> finite_series(FuzzedDataProvider& in, std::size_t max_len) {
    std::vector<double> out(in.ConsumeIntegralInRange<std::size_t>(0, max_len));
    for (double& v : out) v = finite_value(in);
    return out;
}

// Any double, NaN and infinities included, for parameters the entries pass through unchecked.
double any_double(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
        case 1:
            return in.ConsumeFloatingPointInRange<double>(-3.0, 3.0);
        default:
            return static_cast<double>(in.ConsumeIntegralInRange<int>(0, 200)) * 0.01;
    }
}

ThreadPool& dedicated_pool() {
    static std::unique_ptr<ThreadPool> pool = [] {
        auto made = make_dedicated_pool(3);
        if (!made) fail("cannot start a dedicated pool");
        return std::move(*made);
    }();
    return *pool;
}

void fuzz_distance(FuzzedDataProvider& in) {
    std::vector<double> a(in.ConsumeIntegralInRange<std::size_t>(0, 64));
    for (double& v : a) v = in.ConsumeBool() ? finite_value(in) : any_double(in);
    std::vector<double> b;
    if (in.ConsumeBool()) {
        b = a;
        std::reverse(b.begin(), b.end());
    } else {
        b.resize(in.ConsumeIntegralInRange<std::size_t>(0, 64));
        for (double& v : b) v = finite_value(in);
    }
    sort_total_order(a);
    sort_total_order(b);
    require(std::is_sorted(a.begin(), a.end(), total_order_less), "sorted in total order");
    const double d = wasserstein_1d_sorted(a, b);
    const auto has_nan = [](const std::vector<double>& v) {
        return std::any_of(v.begin(), v.end(), [](double x) { return std::isnan(x); });
    };
    if (a.empty() || b.empty() || has_nan(a) || has_nan(b)) {
        require(std::bit_cast<std::uint64_t>(d) == kQuietNanBits, "empty or NaN gives quiet NaN");
        return;
    }
    require(same_bits(d, wasserstein_1d_sorted(b, a)), "distance is symmetric to the bit");
    require(!(d < 0.0), "distance is not negative");
    if (same_bits(a, b)) require(d == 0.0, "identical samples are at distance 0");
}

void fuzz_split(FuzzedDataProvider& in) {
    const std::vector<double> x = finite_series(in, 200);
    const auto mean = refine_for_change_type(x, ChangeType::mean);
    const auto var = refine_for_change_type(x, ChangeType::var);
    const auto dist = refine_for_change_type(x, ChangeType::distribution);
    if (x.size() < 3) {
        require(!mean && !var && !dist, "fewer than 3 values is an error");
        require(mean.error() == "need at least 3 points", "error text");
        return;
    }
    require(mean && var && dist, "3 or more values refine");
    require(*mean >= 1 && *mean < x.size(), "cusum split in range");
    require(*mean == cusum_split(x), "mean is the cusum search");
    std::vector<double> stats(x.size(), std::bit_cast<double>(kQuietNanBits));
    const std::size_t k = wasserstein_split(x, stats);
    require(*var == k && *dist == k, "var and distribution are the Wasserstein search");
    require(k >= 1 && k < x.size(), "Wasserstein split in range");
    double best = -INFINITY;
    std::size_t first = 1;
    for (std::size_t j = 1; j < x.size(); ++j) {
        if (stats[j] > best) {
            best = stats[j];
            first = j;
        }
    }
    require(first == k, "split is the first strict maximum of its statistics");
}

void fuzz_bootstrap(FuzzedDataProvider& in) {
    const std::uint64_t w = in.ConsumeIntegralInRange<std::uint64_t>(1, 48);
    std::vector<double> z(2 * w);
    for (double& v : z) v = finite_value(in);
    std::optional<std::uint64_t> b;
    if (in.ConsumeBool()) b = in.ConsumeIntegralInRange<std::uint64_t>(0, 200);
    const std::uint64_t block_len = block_length(2 * w, b);
    require(block_len >= 3, "block length floor");
    const double taper_ratio = any_double(in);
    const std::uint64_t seed = in.ConsumeIntegral<std::uint64_t>();
    const std::uint64_t n_perm = in.ConsumeIntegralInRange<std::uint64_t>(0, 160);
    const double q = in.ConsumeBool() ? NAN : in.ConsumeProbability<double>();
    auto taper = make_taper_weights(block_len, taper_ratio);
    if (!taper || block_len > 2 * w) return;
    require(taper->weights.size() == block_len, "one taper weight per block value");

    std::vector<double> here;
    tbb_distances_into(z, w, block_len, *taper, seed, n_perm, here);
    require(here.size() == n_perm, "one distance per replicate");
    std::vector<double> there;
    install(dedicated_pool(), [&] {
        tbb_distances_into(z, w, block_len, *taper, seed, n_perm, there);
    });
    require(same_bits(here, there), "replicates do not depend on the pool");

    std::vector<double> sorted = here;
    std::sort(sorted.begin(), sorted.end(), total_order_less);
    const double t = interpolated_quantile(here, q);
    if (n_perm == 0) {
        require(std::isnan(t), "quantile of nothing is NaN");
    } else if (!std::isnan(sorted.front()) && !std::isnan(sorted.back()) && !std::isnan(t)) {
        // The interpolation is one fused multiply-add of two neighbours: it may round a few
        // units in the last place beyond them.
        const double lo = sorted.front() - std::fabs(sorted.front()) * 0x1p-50;
        const double hi = sorted.back() + std::fabs(sorted.back()) * 0x1p-50;
        const bool inside = t >= sorted.front() && t <= sorted.back();
        if (!inside && !(t >= lo && t <= hi)) {
            std::fprintf(stderr, "q %a: %a not in [%a, %a]\n", q, t, sorted.front(), sorted.back());
            fail("quantile within the sample");
        }
    }
}

WindowParams window_params(FuzzedDataProvider& in) {
    WindowParams p;
    p.n_perm = in.ConsumeIntegralInRange<std::uint64_t>(0, in.ConsumeBool() ? 8 : 90);
    p.alpha_percent = alpha_to_percent(any_double(in));
    p.taper_ratio = in.ConsumeBool() ? 0.5 : any_double(in);
    p.seed = in.ConsumeIntegral<std::uint64_t>();
    p.change_type = static_cast<ChangeType>(in.ConsumeIntegralInRange<int>(0, 2));
    if (in.ConsumeBool()) p.b = in.ConsumeIntegralInRange<std::uint64_t>(0, 40);
    p.center = in.ConsumeBool();
    return p;
}

bool same_window(const WindowScanResult& a, const WindowScanResult& b) {
    return a.change_points == b.change_points && a.starts == b.starts &&
           same_bits(a.statistics, b.statistics) &&
           same_bits(a.tapered_block_bootstrap_threshold, b.tapered_block_bootstrap_threshold) &&
           a.localized_regions == b.localized_regions;
}

void check_window(const WindowScanResult& r, std::uint64_t w, std::size_t n) {
    const std::size_t k = (w == 0 || n / 2 < w) ? 0 : n / w - 1;
    require(r.starts.size() == k, "one start per position");
    for (std::size_t i = 0; i < k; ++i) require(r.starts[i] == i * w, "starts step by w");
    require(r.statistics.size() == k && r.tapered_block_bootstrap_threshold.size() == k,
            "one statistic and threshold per position");
    require(r.change_points.size() == r.localized_regions.size(), "one change point per region");
    for (std::size_t i = 0; i < r.change_points.size(); ++i) {
        const Region& g = r.localized_regions[i];
        require(g.start < r.change_points[i] && r.change_points[i] < g.end && g.end <= n,
                "change point inside its region, region inside the series");
        if (i > 0) require(r.localized_regions[i - 1].start < g.start, "regions ascend");
    }
}

void fuzz_window(FuzzedDataProvider& in) {
    const std::vector<double> x = finite_series(in, 240);
    const std::uint64_t w = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 40)
                                             : in.ConsumeIntegral<std::uint64_t>();
    const WindowParams p = window_params(in);
    const PrefixStats prefix = PrefixStats::from_series(x);
    const auto run = [&] {
        WindowParams params = p;
        params.series = x;
        params.prefix = &prefix;
        return scan_window(w, params);
    };
    const auto here = run();
    const auto there = install(dedicated_pool(), run);
    require(here.has_value() == there.has_value(), "outcome does not depend on the pool");
    if (!here) {
        require(here.error() == there.error(), "same error on every pool");
        return;
    }
    check_window(*here, w, x.size());
    require(same_window(*here, *there), "result does not depend on the pool");
}

void fuzz_detector(FuzzedDataProvider& in) {
    const std::vector<double> x = finite_series(in, 160);
    ScanRequest req;
    req.series = x;
    if (in.ConsumeBool()) {
        std::vector<std::uint64_t> sizes(in.ConsumeIntegralInRange<std::size_t>(1, 5));
        for (auto& s : sizes) s = in.ConsumeIntegralInRange<std::uint64_t>(1, in.ConsumeBool() ? 30 : 400);
        req.window_sizes = sizes;
    }
    const WindowParams p = window_params(in);
    req.options.n_perm = p.n_perm;
    req.options.alpha_q = any_double(in);
    req.options.seed = p.seed;
    req.options.change_type = p.change_type;
    req.tol = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 5)
                               : in.ConsumeIntegral<std::uint64_t>();
    if (in.ConsumeBool()) req.workers = in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
    req.options.b = p.b;
    req.options.taper_ratio = p.taper_ratio;
    req.options.center = p.center;

    const auto out = run_scan_detector(req);
    ScanRequest alone = req;
    alone.workers = 2;
    const auto again = run_scan_detector(alone);
    require(out.has_value() == again.has_value(), "outcome does not depend on workers");
    if (!out) {
        require(out.error() == again.error(), "same error for any workers");
        return;
    }
    require(out->cp_dict.size() == out->window_results.size(), "one entry per window size");
    for (const auto& [w, result] : out->window_results) {
        check_window(result, w, x.size());
        require(out->cp_dict.at(w) == result.change_points, "cp_dict mirrors the windows");
        require(same_window(result, again->window_results.at(w)), "windows do not depend on workers");
    }
    const LeaderSummary& s = out->out;
    require(s.cdf.size() == s.leaders_probs.size() && s.leaders_scores.size() == s.cdf.size() &&
                s.leaders_segment_votes.size() == s.cdf.size(),
            "one entry per leader everywhere");
    double last = 0.0;
    for (const auto& [leader, c] : s.cdf) {
        require(s.leaders_probs.count(leader) == 1, "cdf lists the leaders");
        require(c >= last, "cdf ascends");
        last = c;
    }
    if (!s.cdf.empty()) require(std::fabs(last - 1.0) < 1e-9, "probabilities sum to 1");
    for (const auto& [leader, score] : s.leaders_scores) {
        require(score > 0.0 && score <= 1.0, "scores in (0, 1]");
    }
}

void fuzz_votes(FuzzedDataProvider& in) {
    ChangePointMap cps;
    const std::size_t n_windows = in.ConsumeIntegralInRange<std::size_t>(0, 6);
    for (std::size_t i = 0; i < n_windows; ++i) {
        auto& list = cps[in.ConsumeIntegralInRange<std::uint64_t>(1, 30)];
        list.resize(in.ConsumeIntegralInRange<std::size_t>(0, 12));
        for (auto& p : list) {
            p = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 60)
                                 : in.ConsumeIntegral<std::uint64_t>();
        }
    }
    const std::uint64_t tol = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 6)
                                               : in.ConsumeIntegral<std::uint64_t>();
    const SegmentMap segments = compute_change_points_with_votes(cps, tol);
    std::uint64_t total_votes = 0;
    for (const auto& [key, seg] : segments) {
        require(!seg.points.empty() && seg.points.size() == seg.point_votes.size(),
                "segments are non-empty and vote for each member");
        require(std::is_sorted(seg.points.begin(), seg.points.end()), "members ascend");
        for (std::size_t i = 1; i < seg.points.size(); ++i) {
            require(seg.points[i] - seg.points[i - 1] <= tol, "neighbours within tol");
        }
        std::uint64_t sum = 0;
        for (const auto& [p, v] : seg.point_votes) {
            require(v >= 1 && v <= cps.size(), "votes count windows");
            sum += v;
        }
        require(sum == seg.segment_votes, "segment votes add up");
        total_votes += sum;
    }
    std::uint64_t expected_votes = 0;
    for (const auto& [w, list] : cps) {
        std::vector<std::uint64_t> distinct = list;
        std::sort(distinct.begin(), distinct.end());
        expected_votes += std::unique(distinct.begin(), distinct.end()) - distinct.begin();
    }
    require(total_votes == expected_votes, "every window votes once per distinct point");
    const auto summary = cdf_from_segment_votes(segments, cps.size());
    if (cps.empty()) {
        require(!summary, "no windows is an error");
        return;
    }
    require(summary && summary->cdf.size() == segments.size(), "one leader per segment");
}

void fuzz_text(FuzzedDataProvider& in) {
    const std::string text = in.ConsumeRandomLengthString(64);
    const auto parsed = py::parse_change_type(text);
    if (!parsed) require(!parsed.error().empty(), "an error has a message");
    const auto backend = py::check_backend(text);
    if (!backend) require(!backend.error().empty(), "an error has a message");
    const std::string quoted = py::quote_for_message(text);
    require(quoted.size() >= 2, "quoted text has its quotes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            fuzz_distance(in);
            break;
        case 1:
            fuzz_split(in);
            break;
        case 2:
            fuzz_bootstrap(in);
            break;
        case 3:
        case 4:
            fuzz_window(in);
            break;
        case 5:
            fuzz_detector(in);
            break;
        case 6:
            fuzz_votes(in);
            break;
        default:
            fuzz_text(in);
            break;
    }
    return 0;
}
