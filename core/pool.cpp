#include "core/pool.hpp"

namespace vollan {

ThreadPool& shared_pool() {
    static ThreadPool pool(1);
    return pool;
}

std::expected<std::unique_ptr<ThreadPool>, std::string> make_dedicated_pool(std::size_t n_threads) {
    return std::make_unique<ThreadPool>(n_threads);
}

std::size_t current_num_threads() { return shared_pool().num_threads(); }

}  // namespace vollan
