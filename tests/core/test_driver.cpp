// The multi-window driver and run_scan_detector: pools, order, duplicates, errors, checks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <dirent.h>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/detect.hpp"
#include "core/pool.hpp"
#include "core/stats.hpp"
#include "core/window_run.hpp"

namespace vollan {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

std::vector<double> planted(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = noise(gen) + ((i / 60) % 2 == 1 ? 3.0 : 0.0);
    return x;
}

bool same_window(const WindowScanResult& a, const WindowScanResult& b) {
    if (a.change_points != b.change_points || a.starts != b.starts ||
        !(a.localized_regions == b.localized_regions) || a.statistics.size() != b.statistics.size())
        return false;
    for (std::size_t i = 0; i < a.statistics.size(); ++i) {
        if (bits(a.statistics[i]) != bits(b.statistics[i]) ||
            bits(a.tapered_block_bootstrap_threshold[i]) !=
                bits(b.tapered_block_bootstrap_threshold[i]))
            return false;
    }
    return true;
}

bool same_output(const ScanOutput& a, const ScanOutput& b) {
    if (a.cp_dict != b.cp_dict || a.window_results.size() != b.window_results.size()) return false;
    for (const auto& [w, r] : a.window_results) {
        auto it = b.window_results.find(w);
        if (it == b.window_results.end() || !same_window(r, it->second)) return false;
    }
    if (a.out.leaders_segment_votes != b.out.leaders_segment_votes) return false;
    if (a.out.cdf.size() != b.out.cdf.size()) return false;
    for (std::size_t i = 0; i < a.out.cdf.size(); ++i) {
        if (a.out.cdf[i].first != b.out.cdf[i].first ||
            bits(a.out.cdf[i].second) != bits(b.out.cdf[i].second))
            return false;
    }
    return true;
}

std::size_t thread_count() {
    std::size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

struct Driver : ::testing::Test {
    std::vector<double> x = planted(600, 3);
    ScanRequest request() const {
        ScanRequest r;
        r.series = x;
        r.window_sizes = std::vector<std::uint64_t>{12, 10, 11, 15};
        r.options.n_perm = 70;  // replicates in parallel, nested inside the window tasks
        r.options.seed = 9;
        return r;
    }
};

TEST_F(Driver, WorkersDoNotChangeTheResult) {
    auto base = run_scan_detector(request());
    ASSERT_TRUE(base) << base.error();
    EXPECT_FALSE(base->out.cdf.empty());
    for (std::optional<std::uint64_t> workers :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0},
          std::optional<std::uint64_t>{1}, std::optional<std::uint64_t>{2},
          std::optional<std::uint64_t>{8}}) {
        auto r = request();
        r.workers = workers;
        auto out = run_scan_detector(r);
        ASSERT_TRUE(out) << out.error();
        EXPECT_TRUE(same_output(*base, *out)) << (workers ? *workers : 99);
    }
}

TEST_F(Driver, MapsAreOrderedAndDuplicatesCountOnce) {
    auto r = request();
    r.window_sizes = std::vector<std::uint64_t>{20, 10, 20};
    auto out = run_scan_detector(r);
    ASSERT_TRUE(out);
    std::vector<std::uint64_t> keys;
    for (const auto& [w, cps] : out->cp_dict) keys.push_back(w);
    EXPECT_EQ(keys, (std::vector<std::uint64_t>{10, 20}));
    for (const auto& [w, res] : out->window_results) EXPECT_EQ(out->cp_dict.at(w), res.change_points);

    r.window_sizes = std::vector<std::uint64_t>{10, 20};
    auto plain = run_scan_detector(r);
    ASSERT_TRUE(plain);
    EXPECT_TRUE(same_output(*out, *plain));
}

TEST_F(Driver, FirstFailingWindowInListOrderIsReported) {
    const PrefixStats prefix = PrefixStats::from_series(x);
    WindowParams p;
    p.series = x;
    p.prefix = &prefix;
    p.n_perm = 5;
    p.b = 10;
    // Windows 1 fail with a block longer than 2 values; big windows succeed or are empty.
    const std::vector<std::uint64_t> sizes{30, 1, 400, 1, 10};
    for (std::optional<std::uint64_t> workers : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{3}}) {
        auto maps = run_windows(sizes, p, workers);
        ASSERT_FALSE(maps);
        EXPECT_EQ(maps.error(), "reference series is shorter than block length");
    }
    const std::vector<std::uint64_t> ok{400, 30};
    auto maps = run_windows(ok, p, std::nullopt);
    ASSERT_TRUE(maps);
    EXPECT_TRUE(maps->window_results.at(400).starts.empty());
    EXPECT_FALSE(maps->window_results.at(30).starts.empty());
}

TEST_F(Driver, ChecksRunInTheirFixedOrder) {
    auto r = request();
    std::vector<double> two{1.0, NAN};
    r.series = two;
    r.window_sizes = std::vector<std::uint64_t>{};
    EXPECT_EQ(run_scan_detector(r).error(), "series must contain at least 3 values");
    std::vector<double> three{1.0, NAN, 2.0};
    r.series = three;
    EXPECT_EQ(run_scan_detector(r).error(),
              "series contains NaN or infinite values; clean/impute before calling vollan");
    r.series = x;
    EXPECT_EQ(run_scan_detector(r).error(), "window_sizes must not be empty");
    r.window_sizes = std::vector<std::uint64_t>{5, 0, 7};
    EXPECT_EQ(run_scan_detector(r).error(), "window_sizes must be positive, got 0");
    r.window_sizes = std::vector<std::uint64_t>{10};
    r.options.change_type = ChangeType::var;
    EXPECT_TRUE(run_scan_detector(r));
}

TEST_F(Driver, DefaultWindowsOnAShortSeries) {
    std::vector<double> short_series(15, 1.0);
    ScanRequest r;
    r.series = short_series;
    auto out = run_scan_detector(r);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->cp_dict.size(), 11u);
    EXPECT_EQ(out->cp_dict.begin()->first, 10u);
    EXPECT_EQ(out->cp_dict.rbegin()->first, 20u);
    EXPECT_TRUE(out->out.cdf.empty() && out->out.leaders_probs.empty());
}

TEST_F(Driver, AlphaGivenAsFractionOrPercentAgrees) {
    auto a = request();
    a.options.alpha_q = 0.05;
    auto b = request();
    b.options.alpha_q = 5.0;
    auto ra = run_scan_detector(a);
    auto rb = run_scan_detector(b);
    ASSERT_TRUE(ra && rb);
    EXPECT_TRUE(same_output(*ra, *rb));
}

TEST_F(Driver, DedicatedPoolThreadsAreGoneAfterTheCall) {
    (void)run_scan_detector(request());  // the shared pool exists from here on
    const std::size_t before = thread_count();
    auto r = request();
    r.workers = 6;
    ASSERT_TRUE(run_scan_detector(r));
    EXPECT_EQ(thread_count(), before);
}

WindowParams params_of(const std::vector<double>& x, const PrefixStats& prefix) {
    WindowParams p;
    p.series = x;
    p.prefix = &prefix;
    p.n_perm = 70;
    p.seed = 9;
    return p;
}

// Every window is handed out exactly once, whatever order the pool finishes them in, and holds
// what scan_window gives on its own.
void expect_each_window_once(WindowRun& run, std::span<const std::uint64_t> sizes,
                             const WindowParams& p) {
    std::multiset<std::size_t> seen;
    while (auto j = run.next_finished()) seen.insert(*j);
    EXPECT_FALSE(run.next_finished());
    ASSERT_EQ(seen.size(), sizes.size());
    for (std::size_t j = 0; j < sizes.size(); ++j) {
        EXPECT_EQ(seen.count(j), 1u) << j;
        auto alone = scan_window(sizes[j], p);
        ASSERT_TRUE(alone && run.outcome(j));
        EXPECT_TRUE(same_window(*alone, *run.outcome(j))) << sizes[j];
    }
}

TEST_F(Driver, WindowRunHandsOutEveryWindowOnceOnAnyPool) {
    const PrefixStats prefix = PrefixStats::from_series(x);
    const WindowParams p = params_of(x, prefix);
    const std::vector<std::uint64_t> sizes{12, 10, 11, 15, 10, 40, 9, 13, 300, 14};
    for (std::optional<std::uint64_t> workers :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1},
          std::optional<std::uint64_t>{2}, std::optional<std::uint64_t>{5}}) {
        SCOPED_TRACE(workers ? *workers : 99);
        auto run = WindowRun::start(sizes, p, workers);
        ASSERT_TRUE(run) << run.error();
        expect_each_window_once(**run, sizes, p);
    }
}

TEST_F(Driver, WindowRunStartedOnAWorkerComputesThereWithoutDeadlock) {
    const PrefixStats prefix = PrefixStats::from_series(x);
    const WindowParams p = params_of(x, prefix);
    const std::vector<std::uint64_t> sizes{12, 10, 11};
    auto pool = make_dedicated_pool(1);
    ASSERT_TRUE(pool);
    install(**pool, [&] {
        auto run = WindowRun::start(sizes, p, std::nullopt);
        ASSERT_TRUE(run) << run.error();
        expect_each_window_once(**run, sizes, p);
    });
}

// A run dropped before its windows are all taken waits for the windows still computing, which
// write into the run; the sanitizer builds see any write after the run is gone.
TEST_F(Driver, WindowRunDroppedEarlyWaitsForItsWindows) {
    const PrefixStats prefix = PrefixStats::from_series(x);
    const WindowParams p = params_of(x, prefix);
    const std::vector<std::uint64_t> sizes{12, 10, 11, 15, 10, 40, 9, 13, 300, 14};
    for (std::optional<std::uint64_t> workers :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1},
          std::optional<std::uint64_t>{3}}) {
        for (std::size_t taken : {0, 1, 4}) {
            SCOPED_TRACE(std::to_string(workers ? *workers : 99) + " taken " +
                         std::to_string(taken));
            auto run = WindowRun::start(sizes, p, workers);
            ASSERT_TRUE(run) << run.error();
            for (std::size_t k = 0; k < taken; ++k) {
                auto j = (*run)->next_finished();
                ASSERT_TRUE(j);
                auto alone = scan_window(sizes[*j], p);
                ASSERT_TRUE(alone && (*run)->outcome(*j));
                EXPECT_TRUE(same_window(*alone, *(*run)->outcome(*j))) << sizes[*j];
            }
        }
    }
}

TEST_F(Driver, WindowRunOfNoWindowsEndsAtOnce) {
    const PrefixStats prefix = PrefixStats::from_series(x);
    auto run = WindowRun::start({}, params_of(x, prefix), std::nullopt);
    ASSERT_TRUE(run);
    EXPECT_FALSE((*run)->next_finished());
}

TEST_F(Driver, SingleWindowEntryChecksThenScans) {
    WindowRequest r;
    std::vector<double> two{1.0, 2.0};
    r.series = two;
    EXPECT_EQ(run_single_window(r).error(), "series must contain at least 3 values");
    std::vector<double> inf{1.0, INFINITY, 2.0};
    r.series = inf;
    EXPECT_EQ(run_single_window(r).error(),
              "series contains NaN or infinite values; clean/impute before calling vollan");
    r.series = x;
    EXPECT_EQ(run_single_window(r).error(), "window_size must be positive");
    r.window_size = 12;
    r.options.n_perm = 70;
    r.options.seed = 9;
    auto single = run_single_window(r);
    ASSERT_TRUE(single) << single.error();
    const auto whole = run_scan_detector(request());
    ASSERT_TRUE(whole);
    EXPECT_TRUE(same_window(*single, whole->window_results.at(12)));
}

}  // namespace
}  // namespace vollan
