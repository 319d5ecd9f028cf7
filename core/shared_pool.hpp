// The process-wide worker pool: created on first use, never shut down, and replaced by a fresh
// one in a child process created by fork().
#pragma once

#include "core/pool.hpp"

namespace vollan {

// The process-wide pool, created on first use with default_thread_count() threads, or as many as
// the system grants; never shut down. A child process created by fork() gets a fresh one on its
// first use. Throws std::system_error if not a single thread can be started.
ThreadPool& shared_pool();

}  // namespace vollan
