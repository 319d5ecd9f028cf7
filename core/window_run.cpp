#include "core/window_run.hpp"

#include <system_error>
#include <utility>

namespace vollan {

WindowRun::WindowRun(std::span<const std::uint64_t> window_sizes, const WindowParams& params)
    : sizes_(window_sizes), params_(params), outcomes_(window_sizes.size()) {
    ready_.reserve(window_sizes.size());
}

Result<std::unique_ptr<WindowRun>> WindowRun::start(std::span<const std::uint64_t> window_sizes,
                                                    const WindowParams& params,
                                                    std::optional<std::uint64_t> workers) {
    std::unique_ptr<WindowRun> run(new WindowRun(window_sizes, params));
    if (workers && *workers >= 1) {
        // The pool caps the count itself.
        auto pool = make_dedicated_pool(static_cast<std::size_t>(*workers));
        if (!pool) return error("failed to build Rayon thread pool: " + pool.error());
        run->dedicated_ = std::move(*pool);
    }
    if (current_pool() != nullptr) {
        // A worker must not block on work queued behind it: it computes here, helping its pool.
        run->compute();
        return run;
    }
    try {
        run->thread_ = std::thread([r = run.get()] { r->compute(); });
    } catch (const std::system_error&) {
        // No thread to spare: compute here; the windows are then handed out all at once.
        run->compute();
    }
    return run;
}

WindowRun::~WindowRun() {
    if (thread_.joinable()) thread_.join();
}

void WindowRun::finished(std::size_t j) {
    {
        const std::lock_guard lock(mutex_);
        ready_.push_back(j);
    }
    changed_.notify_one();
}

void WindowRun::compute() {
    std::exception_ptr failure;
    try {
        auto all = [this] {
            struct NoScratch {};
            parallel_for(
                sizes_.size(), 1, [] { return NoScratch{}; },
                [this](NoScratch&, std::size_t j) {
                    outcomes_[j] = scan_window(sizes_[j], params_);
                    finished(j);
                });
        };
        if (dedicated_) {
            install(*dedicated_, all);
        } else {
            all();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    {
        const std::lock_guard lock(mutex_);
        ended_ = true;
        failure_ = failure;
    }
    changed_.notify_one();
}

std::optional<std::size_t> WindowRun::next_finished() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return handed_out_ < ready_.size() || ended_; });
    if (handed_out_ < ready_.size()) return ready_[handed_out_++];
    if (failure_) {
        lock.unlock();
        if (thread_.joinable()) thread_.join();
        std::rethrow_exception(failure_);
    }
    return std::nullopt;
}

}  // namespace vollan
