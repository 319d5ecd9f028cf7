// How many threads the process may use: the CPUs it can run on, a cgroup CPU quota, and the
// RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS variables that size the shared pool.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vollan {

// Size of the shared pool from the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (empty when
// unset) and the default count: a positive RAYON_NUM_THREADS wins, 0 selects the default,
// otherwise a positive RAYON_RS_NUM_CPUS; anything that is not a decimal integer counts as unset.
// The result lies in 1 .. kMaxPoolThreads.
std::size_t decide_shared_thread_count(std::optional<std::string_view> rayon_num_threads,
                                       std::optional<std::string_view> rayon_rs_num_cpus,
                                       std::size_t default_count);

// Hardware threads available to the process: the CPU affinity mask limited by a cgroup CPU quota;
// 1 if unknown.
std::size_t available_cpu_count();

// decide_shared_thread_count applied to the current environment and available_cpu_count().
std::size_t default_thread_count();

namespace detail {

// Threads allowed by a cgroup CPU quota given as its quota and period texts (cgroup v2 cpu.max
// holds "quota period", v1 the files cpu.cfs_quota_us and cpu.cfs_period_us): quota / period,
// at least 1; empty for "max", -1 or anything unreadable.
std::optional<std::size_t> cgroup_quota_thread_limit(std::string_view quota,
                                                     std::string_view period);

}  // namespace detail
}  // namespace vollan
