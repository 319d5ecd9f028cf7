// Worker pools and the one parallel primitive of the core: an index-addressed parallel map whose
// results equal those of the sequential loop.
//
// PLACEHOLDER: sequential implementation of the final API, to be replaced by the work-stealing pool.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vollan {

class ThreadPool {
public:
    explicit ThreadPool(std::size_t n_threads) : n_threads_(n_threads) {}
    std::size_t num_threads() const { return n_threads_; }

private:
    std::size_t n_threads_;
};

// The process-wide pool, created on first use, sized from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS /
// the available CPUs; never shut down.
ThreadPool& shared_pool();

// A pool of exactly n_threads (1..65535) threads, or the operating system's error description.
// Its threads end when the pool is destroyed.
std::expected<std::unique_ptr<ThreadPool>, std::string> make_dedicated_pool(std::size_t n_threads);

// Thread count of the pool the calling thread belongs to, or of the shared pool.
std::size_t current_num_threads();

// Runs job on a worker of pool and blocks until it has finished; parallel work started by the job
// runs on that pool. Exceptions thrown by the job are rethrown here.
template <class F>
auto install(ThreadPool& pool, F&& job) -> std::invoke_result_t<F&> {
    (void)pool;
    return job();
}

// Calls body(scratch, i) exactly once for every i in [0, n), where scratch = setup() is created
// once per chunk (a stretch of consecutive indices run in order by one task). No chunk is shorter
// than min_chunk (>= 1) unless the whole range is. Runs on the current pool; an exception from a
// body or a setup is rethrown in the caller after all started work has finished.
template <class Setup, class Body>
void parallel_for(std::size_t n, std::size_t min_chunk, Setup&& setup, Body&& body) {
    (void)min_chunk;
    if (n == 0) return;
    auto scratch = setup();
    for (std::size_t i = 0; i < n; ++i) body(scratch, i);
}

// parallel_for that collects body's results: slot i holds body(scratch, i).
template <class Setup, class Body>
auto parallel_map(std::size_t n, std::size_t min_chunk, Setup&& setup, Body&& body) {
    using Scratch = std::invoke_result_t<Setup&>;
    using R = std::invoke_result_t<Body&, Scratch&, std::size_t>;
    std::vector<std::optional<R>> slots(n);
    parallel_for(n, min_chunk, setup,
                 [&](Scratch& s, std::size_t i) { slots[i].emplace(body(s, i)); });
    std::vector<R> out;
    out.reserve(n);
    for (auto& s : slots) out.push_back(std::move(*s));
    return out;
}

}  // namespace vollan
