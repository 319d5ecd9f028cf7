#include "core/cpu_budget.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "core/pool.hpp"

namespace vollan {
namespace detail {
namespace {

std::optional<std::size_t> parse_decimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::size_t> cgroup_quota_thread_limit(std::string_view quota,
                                                     std::string_view period) {
    const auto q = parse_decimal(quota);
    const auto p = parse_decimal(period);
    if (!q || !p || *p == 0) return std::nullopt;
    return std::max<std::size_t>(1, *q / *p);
}

namespace {

std::optional<std::string> read_first_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) return std::nullopt;
    return line;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(sep);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// Walks from dir up to top (inclusive), taking the smallest limit read(dir) reports.
template <class Read>
std::size_t smallest_limit_up_to(std::string dir, const std::string& top, Read read) {
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    for (;;) {
        if (const auto found = read(dir)) limit = std::min(limit, *found);
        if (dir.size() <= top.size()) return limit;
        dir.resize(dir.rfind('/'));
    }
}

std::size_t cgroup_v2_limit(const std::string& group) {
    const std::string top = "/sys/fs/cgroup";
    std::string dir = top + group;
    while (dir.size() > top.size() && dir.back() == '/') dir.pop_back();
    if (access((dir + "/cgroup.controllers").c_str(), F_OK) != 0) {
        return std::numeric_limits<std::size_t>::max();
    }
    return smallest_limit_up_to(dir, top, [](const std::string& d) -> std::optional<std::size_t> {
        const auto line = read_first_line(d + "/cpu.max");
        if (!line) return std::nullopt;
        const auto fields = split(*line, ' ');
        if (fields.size() < 2) return std::nullopt;
        return cgroup_quota_thread_limit(fields[0], fields[1]);
    });
}

std::size_t cgroup_v1_limit(const std::string& group) {
    const auto none = std::numeric_limits<std::size_t>::max();
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        // id parent major:minor root mount-point options [optional] - fstype source super-options
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        if (dash[1] != "cgroup") continue;
        const auto options = split(dash[3], ',');
        if (std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
        std::string_view root = fields[3];
        if (root == "/") root = "";
        if (!group.starts_with(root)) continue;
        const std::string top(fields[4]);
        std::string dir = top + group.substr(root.size());
        while (dir.size() > top.size() && dir.back() == '/') dir.pop_back();
        return smallest_limit_up_to(dir, top, [](const std::string& d) {
            const auto quota = read_first_line(d + "/cpu.cfs_quota_us");
            const auto period = read_first_line(d + "/cpu.cfs_period_us");
            if (!quota || !period) return std::optional<std::size_t>();
            return cgroup_quota_thread_limit(*quota, *period);
        });
    }
    return none;
}

// The CPU quota of the cgroup the process lives in, as a thread count; "no limit" if there is none.
std::size_t cgroup_cpu_limit() {
    const auto none = std::numeric_limits<std::size_t>::max();
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    std::optional<std::string> path;
    bool v1 = false;
    while (std::getline(cgroups, line)) {
        // hierarchy-id:controllers:path; empty controllers mark the unified (v2) hierarchy. A v1
        // line naming the cpu controller wins, as it states its controllers explicitly.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const auto controllers =
            split(std::string_view(line).substr(first + 1, second - first - 1), ',');
        const bool is_v2 = controllers.size() == 1 && controllers[0].empty();
        const bool is_cpu_v1 =
            std::find(controllers.begin(), controllers.end(), "cpu") != controllers.end();
        if (!is_v2 && !is_cpu_v1) continue;
        if (is_v2 && path) continue;
        path = line.substr(second + 1);
        v1 = is_cpu_v1;
    }
    if (!path) return none;
    return v1 ? cgroup_v1_limit(*path) : cgroup_v2_limit(*path);
}

}  // namespace
}  // namespace detail

std::size_t decide_shared_thread_count(std::optional<std::string_view> rayon_num_threads,
                                       std::optional<std::string_view> rayon_rs_num_cpus,
                                       std::size_t default_count) {
    const auto count = [&]() -> std::size_t {
        const auto threads = rayon_num_threads ? detail::parse_decimal(*rayon_num_threads)
                                               : std::nullopt;
        if (threads) return *threads > 0 ? *threads : default_count;
        const auto cpus = rayon_rs_num_cpus ? detail::parse_decimal(*rayon_rs_num_cpus)
                                            : std::nullopt;
        return cpus && *cpus > 0 ? *cpus : default_count;
    }();
    return std::clamp<std::size_t>(count, 1, kMaxPoolThreads);
}

std::size_t available_cpu_count() {
    std::size_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        count = static_cast<std::size_t>(CPU_COUNT(&set));
    }
    if (count == 0) {
        // More CPUs than a cpu_set_t holds, or no affinity support.
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0) count = static_cast<std::size_t>(online);
    }
    if (count == 0) return 1;
    return std::min(count, detail::cgroup_cpu_limit());
}

namespace {

std::optional<std::string_view> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace

std::size_t default_thread_count() {
    return decide_shared_thread_count(env("RAYON_NUM_THREADS"), env("RAYON_RS_NUM_CPUS"),
                                      available_cpu_count());
}

}  // namespace vollan
