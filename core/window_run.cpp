#include "core/window_run.hpp"

#include <utility>

#include "core/shared_pool.hpp"

namespace vollan {

WindowRun::WindowRun(std::span<const std::uint64_t> window_sizes, const WindowParams& params)
    : sizes_(window_sizes), params_(params), outcomes_(window_sizes.size()) {
    ready_.reserve(window_sizes.size());
}

Result<std::unique_ptr<WindowRun>> WindowRun::start(std::span<const std::uint64_t> window_sizes,
                                                    const WindowParams& params,
                                                    std::optional<std::uint64_t> workers) {
    std::unique_ptr<WindowRun> run(new WindowRun(window_sizes, params));
    if (auto launched = run->launch(workers); !launched) {
        return error(std::move(launched.error()));
    }
    return run;
}

Result<std::unique_ptr<WindowRun>> WindowRun::start_scan(const ScanRequest& request) {
    if (auto checked = check_series(request.series); !checked) {
        return error(std::move(checked.error()));
    }
    auto sizes = resolve_window_sizes(request.window_sizes);
    if (!sizes) return error(std::move(sizes.error()));
    auto prefix = std::make_unique<PrefixStats>(PrefixStats::from_series(request.series));
    std::unique_ptr<WindowRun> run(
        new WindowRun(*sizes, window_params(request.series, *prefix, request.options)));
    // The sizes move into the run, so the run's view of them is set again.
    run->owned_sizes_ = std::move(*sizes);
    run->sizes_ = run->owned_sizes_;
    run->owned_prefix_ = std::move(prefix);
    if (auto launched = run->launch(request.workers); !launched) {
        return error(std::move(launched.error()));
    }
    return run;
}

Result<void> WindowRun::launch(std::optional<std::uint64_t> workers) {
    if (workers && *workers >= 1) {
        // The pool caps the count itself.
        auto pool = make_dedicated_pool(*workers);
        if (!pool) return error("failed to build Rayon thread pool: " + pool.error());
        dedicated_ = std::move(*pool);
    }
    // On a worker the windows run on its own pool, right here. A single window cannot be split,
    // so it runs here too, and does not bring up the shared pool for the split.
    ThreadPool* pool = dedicated_.get();
    if (pool == nullptr && (current_pool() != nullptr || sizes_.size() < 2)) {
        compute();
        return {};
    }
    // Otherwise the computation is queued on the pool and the caller goes on at once, taking
    // each window as it finishes while the pool computes the rest.
    try {
        if (pool == nullptr) pool = &shared_pool();
        job_.emplace(*pool, compute_job_);
    } catch (...) {
        const std::lock_guard lock(mutex_);
        ended_ = true;
        failure_ = std::current_exception();
    }
    return {};
}

WindowRun::~WindowRun() {
    // The job works on this run's members: it must have ended before any of them goes.
    job_.reset();
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
        struct NoScratch {};
        parallel_for(
            sizes_.size(), 1, [] { return NoScratch{}; },
            [this](NoScratch&, std::size_t j) {
                outcomes_[j] = scan_window(sizes_[j], params_);
                finished(j);
            });
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
        std::rethrow_exception(failure_);
    }
    return std::nullopt;
}

}  // namespace vollan
