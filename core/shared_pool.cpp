#include "core/shared_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <system_error>

#include "core/cpu_budget.hpp"

namespace vollan {
namespace {

std::atomic<ThreadPool*> g_shared_pool{nullptr};
std::mutex g_shared_pool_mutex;

// fork() copies only the calling thread. The child abandons the parent's shared pool (its threads
// are gone and its locks may be held forever) and creates a fresh one on first use; holding the
// creation lock across fork() keeps the child from inheriting it locked mid-creation.
void before_fork() { g_shared_pool_mutex.lock(); }
void after_fork_in_parent() { g_shared_pool_mutex.unlock(); }
void after_fork_in_child() {
    g_shared_pool.store(nullptr, std::memory_order_relaxed);
    detail::forget_current_worker();
    g_shared_pool_mutex.unlock();
}

ThreadPool& create_shared_pool() {
    static const int atfork_registered =
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    (void)atfork_registered;
    std::lock_guard lock(g_shared_pool_mutex);
    if (ThreadPool* pool = g_shared_pool.load(std::memory_order_relaxed)) return *pool;
    // The shared pool makes do with as many threads as the system grants.
    auto started = detail::start_pool(default_thread_count());
    while (!started.pool) {
        if (started.n_started == 0) {
            throw std::system_error(started.error, std::generic_category(),
                                    "cannot start the shared worker pool");
        }
        started = detail::start_pool(started.n_started);
    }
    ThreadPool* pool = started.pool.release();
    g_shared_pool.store(pool, std::memory_order_release);
    return *pool;
}

}  // namespace

ThreadPool& shared_pool() {
    if (ThreadPool* pool = g_shared_pool.load(std::memory_order_acquire)) return *pool;
    return create_shared_pool();
}

}  // namespace vollan
