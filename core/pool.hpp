// Worker pools and the one parallel primitive of the core: an index-addressed parallel map whose
// results equal those of the sequential loop.
//
// Scheduling is work stealing. Every worker owns a deque of jobs: it pushes and pops at the back,
// idle workers steal from the front. A range of indices is halved while the split budget allows;
// the first half stays with the running task, the second is pushed for others to steal, and the
// task then waits for both halves, running queued jobs of its pool meanwhile, so nesting never
// deadlocks, even on one thread. Jobs live on the stack of the task that waits for them, or beside
// the PendingJob that started them.
//
// Looking for work costs O(1) in the number of threads (a pool-wide count of queued jobs, a
// bounded number of victims per steal), so a pool's start, work and end cost O(threads).
//
// The deques are small ring buffers behind one mutex each rather than lock-free Chase-Lev deques:
// a job is a whole chunk of work (bootstrap replicates, a window), so an uncontended lock per push
// or pop is lost in the noise, and the locked version is far easier to get right.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vollan {

namespace detail {
struct Registry;
struct PoolAccess;
struct PendingState;
}  // namespace detail

class ThreadPool {
public:
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    // Stops the threads and joins them; the pool must have no work left. Must not run on one of
    // the pool's own threads.
    ~ThreadPool();

    std::size_t num_threads() const { return n_threads_; }

private:
    friend struct detail::PoolAccess;
    ThreadPool(detail::Registry* registry, std::size_t n_threads)
        : registry_(registry), n_threads_(n_threads) {}

    detail::Registry* registry_;
    std::size_t n_threads_;
};

// The largest number of threads of any pool; larger requests are capped to it.
inline constexpr std::size_t kMaxPoolThreads = 65535;

// A pool of min(n_threads, kMaxPoolThreads) threads, or the operating system's error description
// when it refuses to start a thread; the threads already started are then joined. Its threads end
// when the pool is destroyed. As everywhere a thread count is asked for, 0 means the default count
// (default_thread_count(), the shared pool's size).
std::expected<std::unique_ptr<ThreadPool>, std::string> make_dedicated_pool(
    std::uint64_t n_threads);

// Thread count of the pool the calling thread belongs to, or of the shared pool.
std::size_t current_num_threads();

// The pool whose worker the calling thread is, or nullptr for a thread outside every pool.
ThreadPool* current_pool();

// Index (0 .. num_threads - 1) of the calling worker within its pool; empty outside every pool.
std::optional<std::size_t> current_worker_index();

namespace detail {

// A pool's start: the pool, or (pool null) the number of threads that did start before the
// operating system refused one, with its errno value; those threads have been joined.
struct StartedPool {
    std::unique_ptr<ThreadPool> pool;
    std::size_t n_started;
    int error;
};
StartedPool start_pool(std::size_t n_threads);

// Clears the calling thread's pool membership; for a child process created by fork().
void forget_current_worker() noexcept;

// Starts the worker threads of new pools; returns 0 or an errno value, like pthread_create.
// Replaceable so that tests can make the operating system refuse a thread.
using ThreadStarter = int (*)(pthread_t* thread, void* (*entry)(void*), void* arg);
ThreadStarter exchange_thread_starter(ThreadStarter starter);

using ChunkFn = void (*)(void* context, std::size_t begin, std::size_t end);
void parallel_for_erased(std::size_t n, std::size_t min_chunk, ChunkFn chunk, void* context);
void install_erased(ThreadPool& pool, void (*job)(void*), void* context);

template <class F>
void call_job(void* job) {
    (*static_cast<F*>(job))();
}

template <class F>
void call_chunk(void* chunk, std::size_t begin, std::size_t end) {
    (*static_cast<F*>(chunk))(begin, end);
}

}  // namespace detail

// Runs job on a worker of pool and blocks until it has finished; parallel work started by the job
// runs on that pool. Called on a worker of pool itself, it just runs the job. Exceptions thrown by
// the job are rethrown here.
template <class F>
auto install(ThreadPool& pool, F&& job) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
        auto run = [&] { job(); };
        detail::install_erased(pool, &detail::call_job<decltype(run)>, &run);
    } else if constexpr (std::is_reference_v<R>) {
        std::remove_reference_t<R>* out = nullptr;
        auto run = [&] { out = &job(); };
        detail::install_erased(pool, &detail::call_job<decltype(run)>, &run);
        return static_cast<R>(*out);
    } else {
        std::optional<R> out;
        auto run = [&] { out.emplace(job()); };
        detail::install_erased(pool, &detail::call_job<decltype(run)>, &run);
        return std::move(*out);
    }
}

// A job handed to a pool by a thread that goes on with other work meanwhile and collects the
// job later; no thread is started for it. From a thread outside every pool the job is queued on
// the pool and the constructor returns at once. On a worker of a pool the job runs before the
// constructor returns, as install runs it: the worker could otherwise block later on a job
// queued behind its own. Either way parallel work started by the job runs on `pool`.
//
// The job is referenced, not copied: it must outlive the PendingJob. The destructor waits for
// the job to end, so that the job never outlives what it works on.
class PendingJob {
public:
    template <class F>
    PendingJob(ThreadPool& pool, F& job) : PendingJob(pool, &detail::call_job<F>, &job) {}
    PendingJob(const PendingJob&) = delete;
    PendingJob& operator=(const PendingJob&) = delete;
    // Waits for the job; an exception wait() has not rethrown is dropped.
    ~PendingJob();

    // Blocks until the job has ended and rethrows its exception, once.
    void wait();

private:
    PendingJob(ThreadPool& pool, void (*job)(void*), void* context);

    std::unique_ptr<detail::PendingState> state_;
};

// Calls body(scratch, i) exactly once for every i in [0, n), where scratch = setup() is created
// once per chunk (a stretch of consecutive indices run in ascending order by one task). No chunk
// is shorter than min_chunk (0 counts as 1) unless the whole range is. setup and body may run on
// several threads at once. Runs on the current pool; a range that cannot be split runs on the
// calling thread itself. An exception from a body or a setup is rethrown in the caller once all
// started chunks have finished; when several chunks throw, the one of the lowest indices wins.
template <class Setup, class Body>
void parallel_for(std::size_t n, std::size_t min_chunk, Setup&& setup, Body&& body) {
    if (n == 0) return;
    auto chunk = [&setup, &body](std::size_t begin, std::size_t end) {
        auto scratch = setup();
        for (std::size_t i = begin; i < end; ++i) body(scratch, i);
    };
    detail::parallel_for_erased(n, min_chunk, &detail::call_chunk<decltype(chunk)>, &chunk);
}

// parallel_for that collects body's results: slot i holds body(scratch, i).
template <class Setup, class Body>
auto parallel_map(std::size_t n, std::size_t min_chunk, Setup&& setup, Body&& body) {
    using Scratch = std::decay_t<std::invoke_result_t<Setup&>>;
    using R = std::remove_cvref_t<std::invoke_result_t<Body&, Scratch&, std::size_t>>;
    // Results go straight into their slots when R allows it; vector<bool> packs bits, so
    // neighbouring slots would share a word between threads.
    if constexpr (std::is_default_constructible_v<R> && std::is_move_assignable_v<R> &&
                  !std::is_same_v<R, bool>) {
        std::vector<R> out(n);
        parallel_for(n, min_chunk, setup, [&](Scratch& s, std::size_t i) { out[i] = body(s, i); });
        return out;
    } else {
        std::vector<std::optional<R>> slots(n);
        parallel_for(n, min_chunk, setup,
                     [&](Scratch& s, std::size_t i) { slots[i].emplace(body(s, i)); });
        std::vector<R> out;
        out.reserve(n);
        for (auto& slot : slots) out.push_back(std::move(*slot));
        return out;
    }
}

}  // namespace vollan
