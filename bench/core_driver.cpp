// A fixed run_scan_detector call without Python, for stable instruction counts (callgrind) and
// single-process timings. Prints the wall time and a fingerprint of every bit of the result, so
// that a change which alters any result shows up next to its cost.
//
//   core_driver <n> <change|null> [repeats] [change_type]
//
// The series is generated here (SplitMix64 + Box-Muller), identical on every run and machine
// with the same libm.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/detect.hpp"
#include "core/rng.hpp"

namespace {

std::vector<double> make_series(std::size_t n, bool changes) {
    vollan::SplitMix64 sm{20240611};
    auto uniform = [&] { return static_cast<double>(sm.next() >> 11) * 0x1.0p-53; };
    auto gauss = [&] {
        const double u1 = 1.0 - uniform();
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    };
    std::vector<double> x(n);
    double level = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        // A new level every 250 values, as in the Python benchmarks.
        if (changes && i % 250 == 0) level = 2.0 * gauss();
        x[i] = level + gauss();
    }
    return x;
}

struct Fingerprint {
    std::uint64_t h = 1469598103934665603ull;
    void add(std::uint64_t v) {
        for (int k = 0; k < 8; ++k) {
            h ^= (v >> (8 * k)) & 0xff;
            h *= 1099511628211ull;
        }
    }
    void add(double v) { add(std::bit_cast<std::uint64_t>(v)); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <n> <change|null> [repeats] [change_type]\n", argv[0]);
        return 2;
    }
    const std::size_t n = std::strtoull(argv[1], nullptr, 10);
    const bool changes = std::strcmp(argv[2], "change") == 0;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 1;
    const std::vector<double> series = make_series(n, changes);

    vollan::ScanRequest request;
    request.series = series;
    if (argc > 4) {
        const std::string_view word = argv[4];
        if (word == "var") {
            request.options.change_type = vollan::ChangeType::var;
        } else if (word == "distribution") {
            request.options.change_type = vollan::ChangeType::distribution;
        } else if (word != "mean") {
            std::fprintf(stderr, "change_type must be mean, var or distribution\n");
            return 2;
        }
    }
    double best = 1e300;
    Fingerprint fp;
    std::size_t n_change_points = 0;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        auto out = vollan::run_scan_detector(request);
        const auto t1 = std::chrono::steady_clock::now();
        if (!out) {
            std::fprintf(stderr, "error: %s\n", out.error().c_str());
            return 1;
        }
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
        if (r == 0) {
            for (const auto& [w, res] : out->window_results) {
                fp.add(w);
                for (auto v : res.change_points) fp.add(v);
                for (auto v : res.starts) fp.add(v);
                for (auto v : res.statistics) fp.add(v);
                for (auto v : res.tapered_block_bootstrap_threshold) fp.add(v);
                for (auto reg : res.localized_regions) {
                    fp.add(reg.start);
                    fp.add(reg.end);
                }
                n_change_points += res.change_points.size();
            }
            for (const auto& [leader, p] : out->out.leaders_probs) {
                fp.add(leader);
                fp.add(p);
            }
        }
    }
    std::printf("n=%zu series=%s best_seconds=%.6f ns_per_value=%.1f change_points=%zu "
                "fingerprint=%016llx\n",
                n, changes ? "change" : "null", best, best * 1e9 / static_cast<double>(n),
                n_change_points, static_cast<unsigned long long>(fp.h));
    return 0;
}
