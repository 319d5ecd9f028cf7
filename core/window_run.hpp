// The windows of one call computed on the pool and handed to the caller one at a time as they
// finish, so that the caller converts each window and frees its buffers while the pool computes
// the rest.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "core/detect.hpp"
#include "core/pool.hpp"
#include "core/stats.hpp"

namespace vollan {

class WindowRun {
public:
    // Starts computing window_sizes[j] for every j (duplicates included) on the shared pool, or on
    // a dedicated pool of min(workers, kMaxPoolThreads) threads when workers >= 1, and returns
    // while the pool computes. Called on a worker of a pool, or with fewer than two windows and no
    // dedicated pool, it computes everything before returning, on the calling thread's pool or on
    // the calling thread. Fails only when the dedicated pool cannot be built. window_sizes and
    // what params points to must outlive the run.
    static Result<std::unique_ptr<WindowRun>> start(std::span<const std::uint64_t> window_sizes,
                                                    const WindowParams& params,
                                                    std::optional<std::uint64_t> workers);

    // A whole scan_detector computation: the checks of the request (series, then window sizes),
    // then its windows started as above. The run owns the window sizes, the prefix sums and the
    // parameters; request.series must outlive it.
    static Result<std::unique_ptr<WindowRun>> start_scan(const ScanRequest& request);

    WindowRun(const WindowRun&) = delete;
    WindowRun& operator=(const WindowRun&) = delete;
    // Waits for the computation to end, whether or not every window was taken.
    ~WindowRun();

    // Blocks until a window not yet handed out has finished and returns its index, or empty once
    // every window has been handed out. An exception of the computation (std::bad_alloc) is
    // rethrown here after all started work has ended.
    std::optional<std::size_t> next_finished();

    // The outcome of window j, valid once next_finished has returned j; the caller may move it out.
    Result<WindowScanResult>& outcome(std::size_t j) { return outcomes_[j]; }

    std::size_t size() const { return outcomes_.size(); }
    std::uint64_t window_size(std::size_t j) const { return sizes_[j]; }

private:
    WindowRun(std::span<const std::uint64_t> window_sizes, const WindowParams& params);
    Result<void> launch(std::optional<std::uint64_t> workers);
    void compute();
    void finished(std::size_t j);

    // Held by a run of start_scan only.
    std::vector<std::uint64_t> owned_sizes_;
    std::unique_ptr<PrefixStats> owned_prefix_;

    std::span<const std::uint64_t> sizes_;
    WindowParams params_;
    std::unique_ptr<ThreadPool> dedicated_;
    std::vector<Result<WindowScanResult>> outcomes_;

    // The hand-over between the computing thread and the caller: indices of finished windows not
    // yet handed out, and whether the computation has ended.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::size_t> ready_;
    std::size_t handed_out_ = 0;
    bool ended_ = false;
    std::exception_ptr failure_;

    // The computation queued on a pool, when it runs beside the caller.
    struct ComputeJob {
        WindowRun* run;
        void operator()() const { run->compute(); }
    };
    ComputeJob compute_job_{this};
    std::optional<PendingJob> job_;
};

}  // namespace vollan
