#include "core/pool.hpp"

#include "core/cpu_budget.hpp"
#include "core/shared_pool.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vollan {
namespace {

using namespace std::chrono_literals;

constexpr auto no_scratch = [] { return 0; };

std::size_t thread_count_of_process() {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

// A thread that has been joined may linger in /proc for a moment.
std::size_t settle_thread_count(std::size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::size_t count = thread_count_of_process();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        count = thread_count_of_process();
    }
    return count;
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// ThreadSanitizer cannot follow threads started after a multi-threaded fork (it may report
// "dup thread with used id"), so forking tests run in the other builds only.
#if defined(__SANITIZE_THREAD__)
#define SKIP_FORK_UNDER_TSAN() GTEST_SKIP() << "threads after fork are unsupported under TSan"
#else
#define SKIP_FORK_UNDER_TSAN() (void)0
#endif

// Waits until every other thread of the process has been asleep for a few polls in a row.
// AddressSanitizer's allocator (as g++ 12 ships it) does not hold its locks across fork(), so a
// worker still inside free() when the parent forks leaves the child's allocator locked for good.
void wait_for_other_threads_to_sleep() {
    const std::string self = std::to_string(gettid());
    const auto all_asleep = [&self] {
        DIR* dir = opendir("/proc/self/task");
        if (dir == nullptr) return true;
        bool asleep = true;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.' || self == entry->d_name) continue;
            const std::string path = std::string("/proc/self/task/") + entry->d_name + "/stat";
            FILE* file = fopen(path.c_str(), "r");
            if (file == nullptr) continue;  // the thread has just ended
            char line[512] = {};
            const bool read = fgets(line, sizeof line, file) != nullptr;
            fclose(file);
            const char* paren = read ? strrchr(line, ')') : nullptr;
            if (paren != nullptr && paren[1] == ' ' && paren[2] != 'S') asleep = false;
        }
        closedir(dir);
        return asleep;
    };
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (int calm = 0; calm < 3 && std::chrono::steady_clock::now() < deadline;) {
        calm = all_asleep() ? calm + 1 : 0;
        std::this_thread::sleep_for(1ms);
    }
}

// Runs fn in a forked child and returns its exit status; a hanging child is killed by SIGALRM.
int run_in_child(const std::function<int()>& fn) {
    wait_for_other_threads_to_sleep();
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        _exit(fn());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 1000 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// Chunk boundaries seen through the per-chunk scratch: each chunk checks its indices are
// consecutive and ascending and records its first index and length when it ends.
struct ChunkLog {
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::size_t>> chunks;
    std::atomic<std::size_t> setups{0};
    std::atomic<bool> out_of_order{false};
};

class ChunkRecorder {
public:
    explicit ChunkRecorder(ChunkLog& log) : log_(log) { log.setups.fetch_add(1); }
    ChunkRecorder(const ChunkRecorder&) = delete;
    ChunkRecorder& operator=(const ChunkRecorder&) = delete;
    ~ChunkRecorder() {
        if (length_ == 0) return;
        std::lock_guard lock(log_.mutex);
        log_.chunks.emplace_back(first_, length_);
    }
    void see(std::size_t i) {
        if (length_ == 0) {
            first_ = i;
        } else if (i != first_ + length_) {
            log_.out_of_order = true;
        }
        ++length_;
    }

private:
    ChunkLog& log_;
    std::size_t first_ = 0;
    std::size_t length_ = 0;
};

// Every index exactly once, chunks that tile [0, n) with no chunk shorter than min_chunk unless
// the whole range is, and one setup per chunk.
void run_and_check_chunks(std::size_t n, std::size_t min_chunk) {
    SCOPED_TRACE("n=" + std::to_string(n) + " min_chunk=" + std::to_string(min_chunk));
    ChunkLog log;
    std::vector<std::atomic<int>> visits(n);
    parallel_for(
        n, min_chunk, [&] { return ChunkRecorder(log); },
        [&](ChunkRecorder& rec, std::size_t i) {
            rec.see(i);
            visits[i].fetch_add(1);
        });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "index " << i;
    EXPECT_FALSE(log.out_of_order.load());
    EXPECT_EQ(log.setups.load(), log.chunks.size());
    std::sort(log.chunks.begin(), log.chunks.end());
    std::size_t next = 0;
    for (const auto& [first, length] : log.chunks) {
        EXPECT_EQ(first, next);
        EXPECT_GE(length, std::min(std::max<std::size_t>(min_chunk, 1), n));
        next = first + length;
    }
    EXPECT_EQ(next, n);
}

TEST(WorkerPoolConfig, ThreadCountDecision) {
    using O = std::optional<std::string_view>;
    const O unset;
    struct Case {
        O num_threads;
        O rs_num_cpus;
        std::size_t default_count;
        std::size_t expected;
    };
    const Case cases[] = {
        {unset, unset, 4, 4},
        {"3", unset, 4, 3},
        {"3", "7", 4, 3},
        {"0", unset, 4, 4},
        {"0", "7", 4, 4},  // 0 selects the default, not the second variable
        {unset, "7", 4, 7},
        {unset, "0", 4, 4},
        {"abc", "7", 4, 7},  // not a decimal integer: as if unset
        {"", "7", 4, 7},
        {"-2", "7", 4, 7},
        {" 3", "7", 4, 7},
        {"3 ", unset, 4, 4},
        {"3.0", unset, 4, 4},
        {"+3", unset, 4, 3},
        {"99999999999999999999999", "5", 4, 5},  // overflows: not a count
        {unset, "x", 4, 4},
        {"70000", unset, 4, 65535},
        {unset, "65536", 4, 65535},
        {unset, unset, 100000, 65535},
        {unset, unset, 0, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decide_shared_thread_count(c.num_threads, c.rs_num_cpus, c.default_count),
                  c.expected)
            << (c.num_threads ? *c.num_threads : "<unset>") << " / "
            << (c.rs_num_cpus ? *c.rs_num_cpus : "<unset>");
    }
}

TEST(WorkerPoolConfig, CgroupQuota) {
    EXPECT_EQ(detail::cgroup_quota_thread_limit("max", "100000"), std::nullopt);
    EXPECT_EQ(detail::cgroup_quota_thread_limit("-1", "100000"), std::nullopt);
    EXPECT_EQ(detail::cgroup_quota_thread_limit("200000", "0"), std::nullopt);
    EXPECT_EQ(detail::cgroup_quota_thread_limit("", "100000"), std::nullopt);
    EXPECT_EQ(detail::cgroup_quota_thread_limit("200000", "100000"), 2u);
    EXPECT_EQ(detail::cgroup_quota_thread_limit("250000", "100000"), 2u);
    EXPECT_EQ(detail::cgroup_quota_thread_limit("50000", "100000"), 1u);  // never below one
    EXPECT_EQ(detail::cgroup_quota_thread_limit("1600000", "100000"), 16u);

    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const std::size_t count = available_cpu_count();
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, static_cast<std::size_t>(CPU_COUNT(&set)));
}

TEST(WorkerPoolMap, EveryIndexOnceWithChunksOfAtLeastTheMinimum) {
    const std::size_t sizes[] = {0, 1, 2, 3, 7, 8, 64, 100, 1000, 4099};
    const auto check_all = [&] {
        for (std::size_t n : sizes) {
            for (std::size_t m : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                  std::size_t{13}, (n + 7) / 8, n, n + 1}) {
                run_and_check_chunks(n, m);
            }
        }
    };
    check_all();  // from this thread, on the shared pool
    for (std::size_t threads : {1, 2, 3, 5}) {
        SCOPED_TRACE("dedicated pool of " + std::to_string(threads));
        auto pool = make_dedicated_pool(threads);
        ASSERT_TRUE(pool.has_value()) << pool.error();
        install(**pool, check_all);
    }
}

TEST(WorkerPoolMap, ResultsInIndexOrder) {
    const std::size_t n = 5000;
    const auto squares = parallel_map(
        n, 1, no_scratch, [](int&, std::size_t i) { return std::uint64_t{i} * i + 7; });
    ASSERT_EQ(squares.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(squares[i], std::uint64_t{i} * i + 7);

    const auto texts = parallel_map(
        300, 4, [] { return std::string("scratch"); },
        [](std::string& s, std::size_t i) { return s + std::to_string(i); });
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(texts[i], "scratch" + std::to_string(i));
    }

    const auto odd = parallel_map(
        999, 1, no_scratch, [](int&, std::size_t i) { return i % 2 == 1; });
    for (std::size_t i = 0; i < odd.size(); ++i) ASSERT_EQ(odd[i], i % 2 == 1);

    struct NoDefault {
        explicit NoDefault(std::size_t v) : value(v) {}
        std::size_t value;
    };
    const auto wrapped = parallel_map(
        777, 2, no_scratch, [](int&, std::size_t i) { return NoDefault(3 * i); });
    ASSERT_EQ(wrapped.size(), 777u);
    for (std::size_t i = 0; i < wrapped.size(); ++i) ASSERT_EQ(wrapped[i].value, 3 * i);

    EXPECT_TRUE(parallel_map(0, 1, no_scratch, [](int&, std::size_t i) { return i; }).empty());
}

TEST(WorkerPoolMap, OneThreadPoolSplitsByTheBudget) {
    auto pool = make_dedicated_pool(1);
    ASSERT_TRUE(pool.has_value()) << pool.error();
    ASSERT_EQ((*pool)->num_threads(), 1u);
    // Budget 1: one split, then none, and nobody can steal.
    const auto chunks_of = [&](std::size_t n, std::size_t m) {
        ChunkLog log;
        install(**pool, [&] {
            parallel_for(
                n, m, [&] { return ChunkRecorder(log); },
                [](ChunkRecorder& rec, std::size_t i) { rec.see(i); });
        });
        std::sort(log.chunks.begin(), log.chunks.end());
        return log.chunks;
    };
    using Chunks = std::vector<std::pair<std::size_t, std::size_t>>;
    EXPECT_EQ(chunks_of(1000, 1), (Chunks{{0, 500}, {500, 500}}));
    EXPECT_EQ(chunks_of(1001, 1), (Chunks{{0, 500}, {500, 501}}));
    EXPECT_EQ(chunks_of(1000, 500), (Chunks{{0, 500}, {500, 500}}));
    EXPECT_EQ(chunks_of(1000, 501), (Chunks{{0, 1000}}));
    EXPECT_EQ(chunks_of(1, 1), (Chunks{{0, 1}}));
}

TEST(WorkerPoolMap, UnsplittableRangeRunsOnTheCallingThread) {
    const auto caller = std::this_thread::get_id();
    const auto whereabouts = [](int&, std::size_t) {
        return std::pair{std::this_thread::get_id(), current_pool()};
    };
    for (const auto& [n, m] : {std::pair<std::size_t, std::size_t>{1, 1}, {10, 6}, {5, 100}}) {
        const auto where = parallel_map(n, m, no_scratch, whereabouts);
        for (const auto& [thread, pool] : where) {
            EXPECT_EQ(thread, caller) << "n=" << n << " m=" << m;
            EXPECT_EQ(pool, nullptr);
        }
    }
    // A range that splits moves onto the shared pool as a whole; the caller only waits.
    const auto where = parallel_map(64, 1, no_scratch, whereabouts);
    for (const auto& [thread, pool] : where) {
        EXPECT_NE(thread, caller);
        EXPECT_EQ(pool, &shared_pool());
    }
    EXPECT_EQ(current_pool(), nullptr);
    EXPECT_EQ(current_worker_index(), std::nullopt);
    EXPECT_EQ(current_num_threads(), shared_pool().num_threads());
}

TEST(WorkerPoolMap, NestedMapsStayOnTheirPool) {
    (void)parallel_map(16, 1, no_scratch, [](int&, std::size_t i) { return i; });
    auto made = make_dedicated_pool(3);
    ASSERT_TRUE(made.has_value()) << made.error();
    ThreadPool& pool = **made;
    const auto caller = std::this_thread::get_id();
    struct Seen {
        ThreadPool* pool;
        std::thread::id thread;
        std::size_t threads;
    };
    const auto seen = install(pool, [&] {
        return parallel_map(12, 1, no_scratch, [&](int&, std::size_t) {
            return parallel_map(50, 1, no_scratch, [&](int&, std::size_t) {
                return Seen{current_pool(), std::this_thread::get_id(), current_num_threads()};
            });
        });
    });
    ASSERT_EQ(seen.size(), 12u);
    for (const auto& inner : seen) {
        ASSERT_EQ(inner.size(), 50u);
        for (const Seen& s : inner) {
            EXPECT_EQ(s.pool, &pool);
            EXPECT_NE(s.thread, caller);
            EXPECT_EQ(s.threads, 3u);
        }
    }
}

TEST(WorkerPoolMap, ThreeLevelsOfNestingOnOneThread) {
    auto made = make_dedicated_pool(1);
    ASSERT_TRUE(made.has_value()) << made.error();
    const auto nested_sum = [] {
        const auto outer = parallel_map(6, 1, no_scratch, [](int&, std::size_t a) {
            const auto middle = parallel_map(5, 1, no_scratch, [a](int&, std::size_t b) {
                const auto inner = parallel_map(4, 1, no_scratch, [a, b](int&, std::size_t c) {
                    return std::pair{(a + 1) * 100 + (b + 1) * 10 + c, current_worker_index()};
                });
                std::size_t sum = 0;
                for (const auto& [value, worker] : inner) sum += worker == 0 ? value : 1000000;
                return sum;
            });
            std::size_t sum = 0;
            for (std::size_t v : middle) sum += v;
            return sum;
        });
        std::size_t sum = 0;
        for (std::size_t v : outer) sum += v;
        return sum;
    };
    std::size_t expected = 0;
    for (std::size_t a = 0; a < 6; ++a)
        for (std::size_t b = 0; b < 5; ++b)
            for (std::size_t c = 0; c < 4; ++c) expected += (a + 1) * 100 + (b + 1) * 10 + c;
    EXPECT_EQ(install(**made, nested_sum), expected);
}

TEST(WorkerPoolMap, ChunksRunSideBySideOnDistinctWorkers) {
    auto made = make_dedicated_pool(4);
    ASSERT_TRUE(made.has_value()) << made.error();
    // Every chunk waits until all four are running at once, which needs the other workers to
    // steal; the timeout turns a failure into a wrong count instead of a hang.
    std::mutex mutex;
    std::condition_variable cv;
    std::size_t arrived = 0;
    const auto workers = install(**made, [&] {
        return parallel_map(4, 1, no_scratch, [&](int&, std::size_t) {
            std::unique_lock lock(mutex);
            ++arrived;
            cv.notify_all();
            cv.wait_for(lock, 20s, [&] { return arrived == 4; });
            return std::pair{arrived, current_worker_index()};
        });
    });
    std::set<std::size_t> distinct;
    for (const auto& [count, worker] : workers) {
        EXPECT_EQ(count, 4u);
        ASSERT_TRUE(worker.has_value());
        distinct.insert(*worker);
    }
    EXPECT_EQ(distinct.size(), 4u);
}

TEST(WorkerPoolErrors, ExceptionReachesTheCallerAfterAllChunksFinish) {
    std::atomic<int> running{0};
    struct Active {
        explicit Active(std::atomic<int>& r) : running(r) { running.fetch_add(1); }
        Active(const Active&) = delete;
        ~Active() { running.fetch_sub(1); }
        std::atomic<int>& running;
    };
    const auto throwing_map = [&](std::size_t bad) {
        parallel_for(
            1000, 10, [&] { return Active(running); },
            [&](Active&, std::size_t i) {
                if (i == bad) throw std::bad_alloc();
                if (i % 100 == 99) std::this_thread::sleep_for(1ms);
            });
    };
    for (std::size_t bad : {0, 37, 999}) {
        EXPECT_THROW(throwing_map(bad), std::bad_alloc);
        EXPECT_EQ(running.load(), 0) << "a chunk outlived the call";
    }
    // A failing setup, and a nested failure inside an installed job of a dedicated pool.
    EXPECT_THROW(parallel_for(
                     100, 1,
                     []() -> int { throw std::runtime_error("setup"); },
                     [](int&, std::size_t) {}),
                 std::runtime_error);
    auto made = make_dedicated_pool(2);
    ASSERT_TRUE(made.has_value()) << made.error();
    try {
        install(**made, [] {
            parallel_for(8, 1, no_scratch, [](int&, std::size_t i) {
                parallel_for(64, 1, no_scratch, [i](int&, std::size_t j) {
                    if (i == 5 && j == 40) throw std::runtime_error("inner 5/40");
                });
            });
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "inner 5/40");
    }
    // When several chunks throw, the caller sees the exception of the lowest indices.
    for (int round = 0; round < 20; ++round) {
        try {
            parallel_for(512, 1, no_scratch, [](int&, std::size_t i) {
                throw std::runtime_error(std::to_string(i));
            });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            ASSERT_STREQ(e.what(), "0");
        }
    }
    // Both pools still work.
    const auto check = [] {
        const auto v = parallel_map(500, 1, no_scratch, [](int&, std::size_t i) { return i; });
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (v[i] != i) return false;
        }
        return v.size() == 500;
    };
    EXPECT_TRUE(check());
    EXPECT_TRUE(install(**made, check));
}

TEST(WorkerPoolInstall, ReturnsTheJobsValueFromAWorkerOfThePool) {
    auto a = make_dedicated_pool(2);
    auto b = make_dedicated_pool(1);
    ASSERT_TRUE(a.has_value() && b.has_value());
    ThreadPool& pool_a = **a;
    ThreadPool& pool_b = **b;
    const auto caller = std::this_thread::get_id();

    EXPECT_EQ(install(pool_a, [] { return 42; }), 42);
    const auto owned = install(pool_a, [] { return std::make_unique<int>(7); });
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(*owned, 7);
    int target = 0;
    int& ref = install(pool_a, [&]() -> int& { return target; });
    EXPECT_EQ(&ref, &target);
    std::thread::id ran_on;
    install(pool_a, [&] { ran_on = std::this_thread::get_id(); });
    EXPECT_NE(ran_on, caller);

    // On a worker of the same pool the job runs right there; from a worker of another pool it
    // moves to that pool.
    const auto [outer, same, other_pool, other_thread] = install(pool_a, [&] {
        const auto here = std::this_thread::get_id();
        const auto same = install(pool_a, [] { return std::this_thread::get_id(); });
        const auto [p, t] = install(pool_b, [] {
            return std::pair{current_pool(), std::this_thread::get_id()};
        });
        return std::tuple{here, same, p, t};
    });
    EXPECT_EQ(same, outer);
    EXPECT_EQ(other_pool, &pool_b);
    EXPECT_NE(other_thread, outer);

    EXPECT_THROW(install(pool_b, []() -> int { throw std::out_of_range("job"); }),
                 std::out_of_range);
    EXPECT_EQ(install(pool_b, [] { return current_num_threads(); }), 1u);
}

// A one-way signal between two threads; waits give up after a while so that a failure shows as
// a wrong value instead of a hang.
class Signal {
public:
    void raise() {
        {
            std::lock_guard lock(mutex_);
            raised_ = true;
        }
        cv_.notify_all();
    }
    bool await(std::chrono::milliseconds limit = 20s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return raised_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool raised_ = false;
};

// Pending jobs on the shared pool (0) and on dedicated pools of 1, 2 and 4 threads.
class WorkerPoolPending : public ::testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override {
        if (GetParam() == 0) {
            pool_ = &shared_pool();
            return;
        }
        auto made = make_dedicated_pool(GetParam());
        ASSERT_TRUE(made.has_value()) << made.error();
        dedicated_ = std::move(*made);
        pool_ = dedicated_.get();
    }

    ThreadPool& pool() { return *pool_; }

private:
    std::unique_ptr<ThreadPool> dedicated_;
    ThreadPool* pool_ = nullptr;
};

TEST_P(WorkerPoolPending, JobRunsOnAWorkerWhileTheStarterGoesOn) {
    const auto starter = std::this_thread::get_id();
    Signal entered;
    Signal released;
    bool saw_release = false;
    bool done = false;
    std::thread::id ran_on;
    ThreadPool* ran_in = nullptr;
    auto job = [&] {
        ran_on = std::this_thread::get_id();
        ran_in = current_pool();
        entered.raise();
        // Only a starter that got control back while the job runs can release it.
        saw_release = released.await();
        done = true;
    };
    {
        PendingJob pending(pool(), job);
        EXPECT_TRUE(entered.await()) << "the job did not start";
        released.raise();
        pending.wait();
        EXPECT_TRUE(done);
    }
    EXPECT_TRUE(saw_release) << "the starter was blocked until the job gave up";
    EXPECT_NE(ran_on, starter);
    EXPECT_EQ(ran_in, &pool());
}

TEST_P(WorkerPoolPending, WaitSeesEverythingTheJobWrote) {
    for (int round = 0; round < 200; ++round) {
        std::vector<std::size_t> written(64, 0);
        auto job = [&] {
            for (std::size_t i = 0; i < written.size(); ++i) written[i] = i * 3 + 1;
        };
        PendingJob pending(pool(), job);
        pending.wait();
        for (std::size_t i = 0; i < written.size(); ++i) ASSERT_EQ(written[i], i * 3 + 1);
    }
}

TEST_P(WorkerPoolPending, WaitRethrowsTheJobsExceptionOnce) {
    auto throwing = [] { throw std::runtime_error("pending job failed"); };
    PendingJob pending(pool(), throwing);
    try {
        pending.wait();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "pending job failed");
    }
    EXPECT_NO_THROW(pending.wait());

    auto no_memory = [] {
        parallel_for(100, 1, no_scratch, [](int&, std::size_t i) {
            if (i == 70) throw std::bad_alloc();
        });
    };
    PendingJob nested(pool(), no_memory);
    EXPECT_THROW(nested.wait(), std::bad_alloc);
    // The pool still works.
    EXPECT_EQ(install(pool(), [] { return 5; }), 5);
}

TEST_P(WorkerPoolPending, DestructionWithoutWaitWaitsForTheJob) {
    std::atomic<bool> done{false};
    Signal released;
    auto slow = [&] {
        released.await();
        std::this_thread::sleep_for(50ms);
        done.store(true);
    };
    {
        PendingJob pending(pool(), slow);
        EXPECT_FALSE(done.load());
        released.raise();
    }
    EXPECT_TRUE(done.load()) << "the job outlived its PendingJob";

    // An exception nobody collected is dropped with the job.
    std::atomic<bool> thrown{false};
    auto throwing = [&] {
        std::this_thread::sleep_for(50ms);
        thrown.store(true);
        throw std::runtime_error("dropped");
    };
    { PendingJob pending(pool(), throwing); }
    EXPECT_TRUE(thrown.load());
}

TEST_P(WorkerPoolPending, NestedParallelWorkRunsOnThePool) {
    const auto starter = std::this_thread::get_id();
    struct Seen {
        std::size_t value;
        ThreadPool* pool;
        std::thread::id thread;
        std::size_t threads;
    };
    std::vector<std::vector<Seen>> seen;
    auto job = [&] {
        seen = parallel_map(24, 1, no_scratch, [](int&, std::size_t i) {
            return parallel_map(30, 1, no_scratch, [i](int&, std::size_t j) {
                return Seen{i * 100 + j, current_pool(), std::this_thread::get_id(),
                            current_num_threads()};
            });
        });
    };
    PendingJob pending(pool(), job);
    pending.wait();
    ASSERT_EQ(seen.size(), 24u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i].size(), 30u);
        for (std::size_t j = 0; j < seen[i].size(); ++j) {
            const Seen& s = seen[i][j];
            EXPECT_EQ(s.value, i * 100 + j);
            EXPECT_EQ(s.pool, &pool());
            EXPECT_NE(s.thread, starter);
            EXPECT_EQ(s.threads, pool().num_threads());
        }
    }
}

TEST_P(WorkerPoolPending, SeveralJobsInFlightFromOneStarter) {
    // Jobs queued together run side by side or one after another, and are collected in any order.
    constexpr std::size_t kJobs = 3;
    std::vector<std::size_t> results(kJobs, 0);
    std::vector<std::function<void()>> jobs;
    for (std::size_t k = 0; k < kJobs; ++k) {
        jobs.emplace_back([&results, k] {
            results[k] = parallel_map(50, 1, no_scratch, [k](int&, std::size_t i) {
                return i + k;
            })[49];
        });
    }
    {
        std::vector<std::unique_ptr<PendingJob>> pending;
        for (auto& job : jobs) pending.push_back(std::make_unique<PendingJob>(pool(), job));
        for (std::size_t k = kJobs; k-- > 0;) pending[k]->wait();
    }
    for (std::size_t k = 0; k < kJobs; ++k) EXPECT_EQ(results[k], 49 + k);
}

INSTANTIATE_TEST_SUITE_P(WorkerPool, WorkerPoolPending, ::testing::Values(0, 1, 2, 4),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return info.param == 0 ? std::string("SharedPool")
                                                    : "Dedicated" + std::to_string(info.param);
                         });

TEST(WorkerPoolPendingOnAWorker, RunsTheJobBeforeReturning) {
    auto a = make_dedicated_pool(2);
    auto b = make_dedicated_pool(1);
    ASSERT_TRUE(a.has_value() && b.has_value());
    ThreadPool& pool_a = **a;
    ThreadPool& pool_b = **b;
    // A worker that waited later for a job queued behind its own could wait forever on a
    // one-thread pool: on a worker the job has run when the constructor returns, on its own
    // thread for its own pool, on the other pool's worker otherwise.
    const auto outcome = install(pool_a, [&] {
        const auto here = std::this_thread::get_id();
        std::thread::id same_thread;
        ThreadPool* other_pool = nullptr;
        std::thread::id other_thread;
        auto on_same = [&] { same_thread = std::this_thread::get_id(); };
        auto on_other = [&] {
            other_pool = current_pool();
            other_thread = std::this_thread::get_id();
        };
        PendingJob same(pool_a, on_same);
        const bool same_done = same_thread == here;
        PendingJob other(pool_b, on_other);
        const bool other_done = other_pool == &pool_b && other_thread != here;
        auto throwing = [] { throw std::out_of_range("on a worker"); };
        PendingJob failing(pool_b, throwing);
        bool rethrown = false;
        try {
            failing.wait();
        } catch (const std::out_of_range&) {
            rethrown = true;
        }
        return std::tuple{same_done, other_done, rethrown};
    });
    EXPECT_TRUE(std::get<0>(outcome));
    EXPECT_TRUE(std::get<1>(outcome));
    EXPECT_TRUE(std::get<2>(outcome));
}

TEST(WorkerPoolConcurrency, ManyCallersShareTheSharedPool) {
    constexpr int kCallers = 6;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([c, &wrong] {
            for (std::size_t round = 0; round < 40; ++round) {
                const std::size_t n = 1 + (round * 37 + static_cast<std::size_t>(c) * 11) % 300;
                const auto rows = parallel_map(n, 1 + round % 5, no_scratch,
                                               [c](int&, std::size_t i) {
                    const auto inner = parallel_map(
                        16, 2, no_scratch,
                        [c, i](int&, std::size_t j) { return i * 100 + j + std::size_t(c); });
                    std::size_t sum = 0;
                    for (std::size_t v : inner) sum += v;
                    return sum;
                });
                for (std::size_t i = 0; i < n; ++i) {
                    if (rows[i] != 16 * (i * 100 + std::size_t(c)) + 120) wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(WorkerPoolLifecycle, DedicatedPoolThreadsEndWithThePool) {
    (void)shared_pool();
    const std::size_t before = thread_count_of_process();
    {
        auto made = make_dedicated_pool(5);
        ASSERT_TRUE(made.has_value()) << made.error();
        EXPECT_EQ((*made)->num_threads(), 5u);
        EXPECT_EQ(thread_count_of_process(), before + 5);
        EXPECT_EQ(install(**made, [] { return 1; }), 1);
    }
    EXPECT_EQ(settle_thread_count(before), before);
}

// Thread counts from one to thousands: each pool starts all its threads, runs two levels of
// nested maps with exact results on them, and leaves no thread behind. Slow scheduling (a cost
// that grows with the square of the thread count) shows up as this test's run time.
class WorkerPoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WorkerPoolSizes, StartRunNestedWorkAndStopWithoutLeftovers) {
    const std::size_t threads = GetParam();
    (void)shared_pool();
    const std::size_t before = thread_count_of_process();
    {
        auto made = make_dedicated_pool(threads);
        ASSERT_TRUE(made.has_value()) << made.error();
        ThreadPool& pool = **made;
        EXPECT_EQ(pool.num_threads(), threads);
        EXPECT_EQ(thread_count_of_process(), before + threads);
        // Outer index i sums (i * 100 + j) * 3 + k over j < 40, k < 3, computed by nested maps.
        const auto sums = install(pool, [&pool] {
            return parallel_map(64, 1, no_scratch, [&pool](int&, std::size_t i) {
                const auto inner = parallel_map(40, 1, no_scratch, [&pool, i](int&, std::size_t j) {
                    const auto leaves = parallel_map(3, 1, no_scratch, [&](int&, std::size_t k) {
                        return std::pair{(i * 100 + j) * 3 + k, current_pool() == &pool};
                    });
                    std::size_t total = 0;
                    bool on_pool = true;
                    for (const auto& [v, here] : leaves) {
                        total += v;
                        on_pool = on_pool && here;
                    }
                    return std::pair{total, on_pool};
                });
                std::size_t total = 0;
                bool on_pool = true;
                for (const auto& [v, here] : inner) {
                    total += v;
                    on_pool = on_pool && here;
                }
                return std::pair{total, on_pool};
            });
        });
        ASSERT_EQ(sums.size(), 64u);
        for (std::size_t i = 0; i < sums.size(); ++i) {
            std::size_t expected = 0;
            for (std::size_t j = 0; j < 40; ++j) {
                for (std::size_t k = 0; k < 3; ++k) expected += (i * 100 + j) * 3 + k;
            }
            EXPECT_EQ(sums[i].first, expected) << "outer index " << i;
            EXPECT_TRUE(sums[i].second) << "outer index " << i << " left its pool";
        }
    }
    EXPECT_EQ(settle_thread_count(before), before);
}

// ThreadSanitizer keeps a few thousand threads at most, and each costs it far more.
#if defined(__SANITIZE_THREAD__)
INSTANTIATE_TEST_SUITE_P(WorkerPoolLifecycle, WorkerPoolSizes,
                         ::testing::Values(1, 2, 3, 17, 256));
#else
INSTANTIATE_TEST_SUITE_P(WorkerPoolLifecycle, WorkerPoolSizes,
                         ::testing::Values(1, 2, 3, 17, 256, 1024, 4096));
#endif

std::atomic<int> g_starts_left{0};

int start_until_refused(pthread_t* thread, void* (*entry)(void*), void* arg) {
    if (g_starts_left.fetch_sub(1) <= 0) return EAGAIN;
    return pthread_create(thread, nullptr, entry, arg);
}

TEST(WorkerPoolLifecycle, RefusedThreadStartJoinsTheStartedThreads) {
    (void)shared_pool();
    const std::size_t before = thread_count_of_process();
    g_starts_left = 2;
    const auto previous = detail::exchange_thread_starter(&start_until_refused);
    auto made = make_dedicated_pool(6);
    detail::exchange_thread_starter(previous);
    ASSERT_FALSE(made.has_value());
    EXPECT_EQ(made.error(), std::generic_category().message(EAGAIN));
    EXPECT_EQ(made.error(), "Resource temporarily unavailable");
    EXPECT_EQ(settle_thread_count(before), before);
    auto again = make_dedicated_pool(2);
    EXPECT_TRUE(again.has_value());
}

TEST(WorkerPoolLifecycle, OperatingSystemRefusalIsReported) {
    SKIP_FORK_UNDER_TSAN();
    // Limit the number of processes of the (unprivileged) user in a child, so that the kernel
    // refuses the third thread.
    const int status = run_in_child([] {
        // A first pool lets sanitizer runtimes start their helper threads before counting.
        if (!make_dedicated_pool(1).has_value()) return 9;
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 10;
        const std::size_t before = thread_count_of_process();
        const rlimit limit{3, 3};
        if (setrlimit(RLIMIT_NPROC, &limit) != 0) return 11;
        auto made = make_dedicated_pool(64);
        if (made.has_value()) return 12;
        if (made.error() != std::generic_category().message(EAGAIN)) return 13;
        if (settle_thread_count(before) != before) return 14;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(WorkerPoolLifecycle, IdleAndWaitingThreadsSleep) {
    auto made = make_dedicated_pool(2);
    ASSERT_TRUE(made.has_value()) << made.error();
    (void)parallel_map(64, 1, no_scratch, [](int&, std::size_t i) { return i; });
    std::this_thread::sleep_for(50ms);

    double start = process_cpu_seconds();
    std::this_thread::sleep_for(400ms);
    EXPECT_LT(process_cpu_seconds() - start, 0.1) << "idle workers burn CPU";

    // One long chunk: whoever waits for it must not spin all along.
    for (std::size_t slow : {0, 1}) {
        start = process_cpu_seconds();
        install(**made, [slow] {
            parallel_for(2, 1, no_scratch, [slow](int&, std::size_t i) {
                if (i == slow) std::this_thread::sleep_for(400ms);
            });
        });
        parallel_for(2, 1, no_scratch, [slow](int&, std::size_t i) {
            if (i == slow) std::this_thread::sleep_for(400ms);
        });
        EXPECT_LT(process_cpu_seconds() - start, 0.15) << "waiting threads burn CPU";
    }
}

TEST(WorkerPoolFork, ChildCreatesAFreshSharedPool) {
    SKIP_FORK_UNDER_TSAN();
    ThreadPool* parent_pool = &shared_pool();
    (void)parallel_map(64, 1, no_scratch, [](int&, std::size_t i) { return i; });
    const auto sum_in_pool = [parent_pool](std::size_t expected_threads) {
        const auto on = parallel_map(1000, 1, no_scratch, [](int&, std::size_t i) {
            return std::pair{i, current_pool()};
        });
        for (std::size_t i = 0; i < on.size(); ++i) {
            if (on[i].first != i || on[i].second != &shared_pool()) return 20;
        }
        if (&shared_pool() == parent_pool) return 21;
        if (shared_pool().num_threads() != expected_threads) return 22;
        return 0;
    };
    EXPECT_EQ(run_in_child([&] {
                  setenv("RAYON_NUM_THREADS", "3", 1);
                  return sum_in_pool(3);
              }),
              0);
    // A one-thread shared pool in the child, with three levels of nesting from outside.
    EXPECT_EQ(run_in_child([&] {
                  setenv("RAYON_NUM_THREADS", "1", 1);
                  if (const int status = sum_in_pool(1)) return status;
                  const auto outer = parallel_map(4, 1, no_scratch, [](int&, std::size_t) {
                      const auto middle =
                          parallel_map(4, 1, no_scratch, [](int&, std::size_t) {
                              const auto inner = parallel_map(
                                  4, 1, no_scratch, [](int&, std::size_t) { return 1; });
                              return inner[0] + inner[1] + inner[2] + inner[3];
                          });
                      return middle[0] + middle[1] + middle[2] + middle[3];
                  });
                  return outer[0] + outer[1] + outer[2] + outer[3] == 64 ? 0 : 23;
              }),
              0);
    // The parent's pool is untouched.
    EXPECT_EQ(&shared_pool(), parent_pool);
    EXPECT_EQ(parallel_map(3, 1, no_scratch, [](int&, std::size_t i) { return i; }).size(), 3u);
}

}  // namespace
}  // namespace vollan
