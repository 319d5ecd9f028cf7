#include "core/pool.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/cpu_budget.hpp"
#include "core/shared_pool.hpp"

namespace vollan {
namespace detail {

struct PoolWorker;

// A queued unit of work. Jobs live on the stack of the thread that waits for them, or with the
// PendingJob that started them, and neither goes away before the job has signalled completion,
// so queues hold raw pointers.
// execute never throws, and neither does anything between queuing a job and its completion
// (a failing lock ends the process rather than leave a job pointing into a dead frame).
struct PoolJob {
    void (*execute)(PoolJob* job, PoolWorker& runner);
};

// Lets a thread outside every pool block until a latch is set.
struct PoolBlockingWait {
    std::mutex mutex;
    std::condition_variable cv;
};

// One-shot completion flag of a job. Its waiter is either a worker that keeps running other jobs
// meanwhile (waiter) or a thread outside the pool blocked on a condition variable (blocking).
struct PoolLatch {
    std::atomic<bool> done{false};
    PoolWorker* waiter = nullptr;
    PoolBlockingWait* blocking = nullptr;

    bool probe() const { return done.load(std::memory_order_acquire); }
};

// Double-ended job queue: the owner pushes and pops at the back, thieves take from the front.
// A power-of-two ring buffer indexed by ever-growing positions, behind a mutex. Every job in it
// is also counted in its pool's `queued`, so that idle workers learn in O(1) whether there is
// anything to look for.
class PoolDeque {
public:
    void attach(std::atomic<std::size_t>* pool_queued) { pool_queued_ = pool_queued; }

    void push_back(PoolJob* job) {
        std::lock_guard lock(mutex_);
        if (tail_ - head_ == buffer_.size()) grow();
        buffer_[tail_ & (buffer_.size() - 1)] = job;
        ++tail_;
        size_.store(tail_ - head_, std::memory_order_relaxed);
        pool_queued_->fetch_add(1, std::memory_order_relaxed);
    }

    PoolJob* pop_back() noexcept {
        if (size_.load(std::memory_order_relaxed) == 0) return nullptr;
        std::lock_guard lock(mutex_);
        if (tail_ == head_) return nullptr;
        --tail_;
        return taken(buffer_[tail_ & (buffer_.size() - 1)]);
    }

    PoolJob* pop_front() noexcept {
        // The unlocked size check keeps thieves from taking the locks of empty deques. Pushes
        // are announced through Registry::events, which orders them before a sleeper's last look.
        if (size_.load(std::memory_order_relaxed) == 0) return nullptr;
        std::lock_guard lock(mutex_);
        if (tail_ == head_) return nullptr;
        PoolJob* job = buffer_[head_ & (buffer_.size() - 1)];
        ++head_;
        return taken(job);
    }

private:
    PoolJob* taken(PoolJob* job) noexcept {
        size_.store(tail_ - head_, std::memory_order_relaxed);
        pool_queued_->fetch_sub(1, std::memory_order_relaxed);
        return job;
    }

    void grow() {
        std::vector<PoolJob*> bigger(std::max<std::size_t>(16, 2 * buffer_.size()));
        for (std::size_t i = head_; i != tail_; ++i) {
            bigger[i & (bigger.size() - 1)] = buffer_[i & (buffer_.size() - 1)];
        }
        buffer_.swap(bigger);
    }

    std::mutex mutex_;
    std::vector<PoolJob*> buffer_;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::atomic<std::size_t> size_{0};
    std::atomic<std::size_t>* pool_queued_ = nullptr;
};

// A sleeping worker blocks on a word of its own with a bare futex: std::atomic::wait spins and
// yields first, which with thousands of threads going to sleep at once costs more than the sleep.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// Blocks while word holds value; may return early, so callers check again.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t value) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value,
            nullptr, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

struct Registry;

struct alignas(64) PoolWorker {
    Registry* registry = nullptr;
    std::size_t index = 0;
    PoolDeque deque;
    pthread_t thread{};
    std::uint64_t rng = 0;  // victim choice only
    // Sleep state, written under Registry::sleep_mutex. A sleeping worker waits on `asleep`
    // alone, so waking it takes no lock on its side.
    std::atomic<std::uint32_t> asleep{0};
    bool woken_for_work = false;
    std::size_t sleep_slot = 0;

    // Uniform in [0, n) for n < 2^32, by multiply-shift rather than a division.
    std::size_t random_below(std::size_t n) {
        rng ^= rng << 13;
        rng ^= rng >> 7;
        rng ^= rng << 17;
        return static_cast<std::size_t>(((rng >> 32) * n) >> 32);
    }
};

static thread_local PoolWorker* tl_worker = nullptr;

// The scheduler state of one pool: its workers, the queue for work from outside, and the
// bookkeeping of sleeping workers.
//
// Everything a worker does while looking for work costs O(1) in the pool's size, so that a pool
// of W threads starts, runs and stops in O(W): `queued` says whether any deque holds a job, a
// steal probes a bounded number of victims (the worker that pushed last first, since a worker
// woken for a job most likely finds it there), and a worker that has never had work sleeps at
// once instead of spinning while its siblings are still being created.
struct Registry {
    // Victims probed per steal attempt beside the last pusher; smaller pools are scanned whole.
    static constexpr std::size_t kStealProbes = 8;
    // Rounds a worker that has just run a job keeps looking before it sleeps: work often arrives
    // within microseconds.
    static constexpr int kSpinRounds = 32;

    explicit Registry(std::size_t n_threads)
        : n(n_threads), workers(new PoolWorker[n_threads]), pid(getpid()) {
        sleepers.reserve(n_threads);
        injector.attach(&queued);
        for (std::size_t i = 0; i < n_threads; ++i) {
            workers[i].registry = this;
            workers[i].index = i;
            workers[i].rng = 0x9E3779B97F4A7C15ull * (i + 1);
            workers[i].deque.attach(&queued);
        }
    }

    // Where a worker looks for work: its own newest job, then the oldest job of another worker,
    // then work handed in from outside the pool.
    PoolJob* find_work(PoolWorker& self) noexcept {
        if (PoolJob* job = self.deque.pop_back()) return job;
        if (queued.load(std::memory_order_relaxed) == 0) return nullptr;
        if (PoolJob* job = steal(self)) return job;
        return injector.pop_front();
    }

    PoolJob* steal(PoolWorker& self) noexcept {
        if (n <= 1) return nullptr;
        if (n - 1 <= kStealProbes + 1) {
            const std::size_t start = self.random_below(n);
            for (std::size_t k = 0; k < n; ++k) {
                std::size_t victim = start + k;
                if (victim >= n) victim -= n;
                if (victim == self.index) continue;
                if (PoolJob* job = workers[victim].deque.pop_front()) return job;
            }
            return nullptr;
        }
        const std::size_t hint = last_pusher.load(std::memory_order_relaxed);
        if (hint != self.index) {
            if (PoolJob* job = workers[hint].deque.pop_front()) return job;
        }
        for (std::size_t k = 0; k < kStealProbes; ++k) {
            const std::size_t victim = self.random_below(n);
            if (victim == self.index) continue;
            if (PoolJob* job = workers[victim].deque.pop_front()) return job;
        }
        return nullptr;
    }

    void push_local(PoolWorker& self, PoolJob* job) {
        self.deque.push_back(job);
        last_pusher.store(self.index, std::memory_order_relaxed);
        announce_work();
    }

    void inject(PoolJob* job) {
        injector.push_back(job);
        announce_work();
    }

    // Wakes one sleeping thread for a job just queued. The seq_cst pair events / n_sleeping
    // against n_sleeping / events in sleep() means either the sleeper sees the new event and stays
    // up, or the waker sees the sleeper and wakes it.
    void announce_work() noexcept {
        events.fetch_add(1, std::memory_order_seq_cst);
        if (n_sleeping.load(std::memory_order_seq_cst) == 0) return;
        std::lock_guard lock(sleep_mutex);
        if (sleepers.empty()) return;
        PoolWorker* chosen = sleepers.back();
        chosen->woken_for_work = true;  // before remove_sleeper's store publishes it
        remove_sleeper(*chosen);
        futex_wake(chosen->asleep);
    }

    // Wakes worker if it sleeps; called after its latch was set.
    void wake(PoolWorker& worker) noexcept {
        if (n_sleeping.load(std::memory_order_seq_cst) == 0) return;
        std::lock_guard lock(sleep_mutex);
        if (worker.asleep.load(std::memory_order_relaxed) == 0) return;
        remove_sleeper(worker);
        futex_wake(worker.asleep);
    }

    // Sleeps unless something happened since events read `observed`, the latch is set or the pool
    // is ending. Returns whether a job announcement woke the worker.
    bool sleep(PoolWorker& self, std::uint64_t observed, const PoolLatch* latch) noexcept {
        std::unique_lock lock(sleep_mutex);
        self.sleep_slot = sleepers.size();
        sleepers.push_back(&self);  // capacity reserved for every worker
        self.asleep.store(1, std::memory_order_relaxed);
        self.woken_for_work = false;
        n_sleeping.fetch_add(1, std::memory_order_seq_cst);
        const bool stay_up = terminating.load(std::memory_order_relaxed) ||
                             events.load(std::memory_order_seq_cst) != observed ||
                             (latch != nullptr && latch->done.load(std::memory_order_seq_cst));
        if (stay_up) {
            remove_sleeper(self);
            return false;
        }
        lock.unlock();
        // The release store of remove_sleeper publishes woken_for_work.
        while (self.asleep.load(std::memory_order_acquire) != 0) futex_wait(self.asleep, 1);
        return self.woken_for_work;
    }

    void remove_sleeper(PoolWorker& worker) noexcept {
        PoolWorker* last = sleepers.back();
        sleepers[worker.sleep_slot] = last;
        last->sleep_slot = worker.sleep_slot;
        sleepers.pop_back();
        worker.asleep.store(0, std::memory_order_release);
        n_sleeping.fetch_sub(1, std::memory_order_seq_cst);
    }

    // Runs jobs of the pool until latch is set or, with no latch (an idle worker), until the pool
    // ends.
    void work_until(PoolWorker& self, PoolLatch* latch) noexcept {
        // A thread that waits for a latch has work in flight; an idle worker spins only after it
        // has run a job, not while the pool is starting or when a wake-up found nothing.
        int spin_rounds_left = latch != nullptr ? kSpinRounds : 0;
        for (;;) {
            if (latch != nullptr ? latch->probe() : terminating.load(std::memory_order_acquire)) {
                return;
            }
            if (PoolJob* job = find_work(self)) {
                job->execute(job, self);
                spin_rounds_left = kSpinRounds;
                continue;
            }
            if (spin_rounds_left > 0) {
                --spin_rounds_left;
                std::this_thread::yield();
                continue;
            }
            const std::uint64_t observed = events.load(std::memory_order_seq_cst);
            if (PoolJob* job = find_work(self)) {
                job->execute(job, self);
                spin_rounds_left = kSpinRounds;
                continue;
            }
            const bool woken_for_work = sleep(self, observed, latch);
            // A job announcement that woke a worker which is leaving goes to someone else.
            if (woken_for_work && latch != nullptr && latch->probe()) announce_work();
        }
    }

    // Ends the pool: wakes every worker and joins the first `started` threads. The flag is set
    // under the lock, so a worker about to sleep either sees it or is a sleeper released here;
    // the wake-ups go out after the lock is dropped, and a woken worker leaves without taking it.
    void shutdown(std::size_t started) noexcept {
        {
            std::lock_guard lock(sleep_mutex);
            terminating.store(true, std::memory_order_release);
            for (PoolWorker* sleeper : sleepers) sleeper->asleep.store(0, std::memory_order_release);
            sleepers.clear();  // keeps the capacity reserved for every worker
            n_sleeping.store(0, std::memory_order_seq_cst);
        }
        for (std::size_t i = 0; i < started; ++i) futex_wake(workers[i].asleep);
        for (std::size_t i = 0; i < started; ++i) pthread_join(workers[i].thread, nullptr);
    }

    std::size_t n;
    std::unique_ptr<PoolWorker[]> workers;
    PoolDeque injector;
    ThreadPool* pool = nullptr;
    pid_t pid;  // threads exist only in the process that started them
    std::atomic<std::size_t> queued{0};  // jobs in all deques and the injector
    std::atomic<std::size_t> last_pusher{0};

    std::mutex sleep_mutex;
    std::vector<PoolWorker*> sleepers;  // guarded by sleep_mutex
    std::atomic<bool> terminating{false};
    std::atomic<std::size_t> n_sleeping{0};
    std::atomic<std::uint64_t> events{0};
};

namespace {

void set_latch(PoolLatch& latch) noexcept {
    // Read everything first: once done is visible, the waiter may return and free the latch.
    PoolWorker* waiter = latch.waiter;
    PoolBlockingWait* blocking = latch.blocking;
    if (blocking != nullptr) {
        // Notifying under the lock keeps the waiter from destroying the condition variable early.
        std::lock_guard lock(blocking->mutex);
        latch.done.store(true, std::memory_order_seq_cst);
        blocking->cv.notify_one();
        return;
    }
    latch.done.store(true, std::memory_order_seq_cst);
    if (waiter != nullptr) waiter->registry->wake(*waiter);
}

void block_until(PoolLatch& latch, PoolBlockingWait& wait) noexcept {
    std::unique_lock lock(wait.mutex);
    wait.cv.wait(lock, [&] { return latch.probe(); });
}

void* worker_main(void* arg) {
    PoolWorker& self = *static_cast<PoolWorker*>(arg);
    tl_worker = &self;
    self.registry->work_until(self, nullptr);
    tl_worker = nullptr;
    return nullptr;
}

// Workers need little stack: the deepest nesting the core produces (windows, their bootstrap
// maps, helping while waiting) touches under 64 KiB. 2 MiB, the default of Rust's std threads,
// leaves a wide margin; against glibc's 8 MiB default it keeps the start and exit of thousands
// of threads cheap. A smaller default (a low stack limit) is kept.
constexpr std::size_t kWorkerStackBytes = std::size_t{2} << 20;

int start_with_pthread(pthread_t* thread, void* (*entry)(void*), void* arg) {
    pthread_attr_t attr;
    if (const int err = pthread_attr_init(&attr); err != 0) return err;
    std::size_t default_bytes = 0;
    if (pthread_attr_getstacksize(&attr, &default_bytes) == 0 &&
        default_bytes > kWorkerStackBytes) {
        (void)pthread_attr_setstacksize(&attr, kWorkerStackBytes);
    }
    const int err = pthread_create(thread, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return err;
}

std::atomic<ThreadStarter> g_thread_starter{&start_with_pthread};

std::string os_error_text(int err) { return std::generic_category().message(err); }

}  // namespace

ThreadStarter exchange_thread_starter(ThreadStarter starter) {
    return g_thread_starter.exchange(starter != nullptr ? starter : &start_with_pthread);
}

struct PoolAccess {
    static Registry& registry(ThreadPool& pool) { return *pool.registry_; }

    static StartedPool start(std::size_t n) {
        std::unique_ptr<ThreadPool> pool(new ThreadPool(nullptr, n));
        auto registry = std::make_unique<Registry>(n);
        registry->pool = pool.get();
        const ThreadStarter starter = g_thread_starter.load();
        for (std::size_t i = 0; i < n; ++i) {
            PoolWorker& worker = registry->workers[i];
            const int err = starter(&worker.thread, &worker_main, &worker);
            if (err != 0) {
                registry->shutdown(i);
                return {nullptr, i, err};
            }
        }
        pool->registry_ = registry.release();
        return {std::move(pool), n, 0};
    }

    static void destroy(ThreadPool& pool) {
        Registry* registry = pool.registry_;
        if (registry == nullptr) return;
        if (tl_worker != nullptr && tl_worker->registry == registry) {
            std::fputs("vollan: a worker pool was destroyed by one of its own threads\n", stderr);
            std::abort();
        }
        // In a forked child the threads do not exist and the mutexes may be held forever:
        // abandon the pool instead of joining.
        if (registry->pid != getpid()) return;
        registry->shutdown(registry->n);
        delete registry;
    }
};

StartedPool start_pool(std::size_t n) { return PoolAccess::start(n); }

void forget_current_worker() noexcept { tl_worker = nullptr; }

namespace {

// Splitting policy of a range of len indices with split budget `splits`: a task that moved to
// another thread gets its budget back up to the thread count, so idle threads that steal keep
// the work divisible.
bool try_split(std::size_t len, std::size_t min_chunk, std::size_t& splits, bool migrated,
               std::size_t n_threads) {
    if (len < 2 || len / 2 < min_chunk) return false;
    if (migrated) {
        splits = std::max(n_threads, splits / 2);
        return true;
    }
    if (splits == 0) return false;
    splits /= 2;
    return true;
}

struct ChunkTask {
    ChunkFn fn;
    void* context;
    std::size_t min_chunk;
};

void run_range(PoolWorker& self, const ChunkTask& task, std::size_t begin, std::size_t end,
               std::size_t splits, bool migrated);

// The second half of a split range, offered to other workers.
struct RangeJob : PoolJob {
    const ChunkTask* task;
    std::size_t begin;
    std::size_t end;
    std::size_t splits;
    PoolWorker* owner;
    bool injected;  // the split happened on behalf of a thread outside the pool
    PoolLatch latch;
    std::exception_ptr error;

    static void run(PoolJob* job, PoolWorker& runner) {
        auto* self = static_cast<RangeJob*>(job);
        try {
            run_range(runner, *self->task, self->begin, self->end, self->splits,
                      self->injected || &runner != self->owner);
        } catch (...) {
            self->error = std::current_exception();
        }
        set_latch(self->latch);
    }
};

// Runs [begin, end) split in two halves: the first here, the second queued. Waits for both, and
// rethrows the first half's exception before the second's.
void join_halves(PoolWorker& self, const ChunkTask& task, std::size_t begin, std::size_t end,
                 std::size_t splits, bool injected) {
    const std::size_t mid = begin + (end - begin) / 2;
    RangeJob right;
    right.execute = &RangeJob::run;
    right.task = &task;
    right.begin = mid;
    right.end = end;
    right.splits = splits;
    right.owner = &self;
    right.injected = injected;
    right.latch.waiter = &self;
    self.registry->push_local(self, &right);

    std::exception_ptr left_error;
    try {
        run_range(self, task, begin, mid, splits, injected);
    } catch (...) {
        left_error = std::current_exception();
    }
    // Everything pushed while running the first half has been taken by now, so the back of our
    // deque is the second half unless a thief has it; older jobs found there are run meanwhile.
    for (;;) {
        if (right.latch.probe()) break;
        PoolJob* job = self.deque.pop_back();
        if (job == &right) {
            try {
                run_range(self, task, mid, end, splits, injected);
            } catch (...) {
                right.error = std::current_exception();
            }
            break;
        }
        if (job == nullptr) {
            self.registry->work_until(self, &right.latch);
            break;
        }
        job->execute(job, self);
    }
    if (left_error) std::rethrow_exception(left_error);
    if (right.error) std::rethrow_exception(right.error);
}

void run_range(PoolWorker& self, const ChunkTask& task, std::size_t begin, std::size_t end,
               std::size_t splits, bool migrated) {
    if (!try_split(end - begin, task.min_chunk, splits, migrated, self.registry->n)) {
        task.fn(task.context, begin, end);
        return;
    }
    join_halves(self, task, begin, end, splits, false);
}

// A range split on a thread outside every pool: the whole split runs on the shared pool.
struct RootJob : PoolJob {
    const ChunkTask* task;
    std::size_t n;
    std::size_t splits;
    PoolLatch latch;
    std::exception_ptr error;

    static void run(PoolJob* job, PoolWorker& runner) {
        auto* self = static_cast<RootJob*>(job);
        try {
            join_halves(runner, *self->task, 0, self->n, self->splits, true);
        } catch (...) {
            self->error = std::current_exception();
        }
        set_latch(self->latch);
    }
};

struct InstallJob : PoolJob {
    void (*fn)(void*);
    void* context;
    PoolLatch latch;
    std::exception_ptr error;

    static void run(PoolJob* job, PoolWorker&) {
        auto* self = static_cast<InstallJob*>(job);
        try {
            self->fn(self->context);
        } catch (...) {
            self->error = std::current_exception();
        }
        set_latch(self->latch);
    }
};

}  // namespace

void parallel_for_erased(std::size_t n, std::size_t min_chunk, ChunkFn chunk, void* context) {
    if (n == 0) return;
    const ChunkTask task{chunk, context, std::max<std::size_t>(min_chunk, 1)};
    if (PoolWorker* self = tl_worker) {
        run_range(*self, task, 0, n, self->registry->n, false);
        return;
    }
    // A range that can never be split runs here without bringing up the shared pool.
    if (n < 2 || n / 2 < task.min_chunk) {
        chunk(context, 0, n);
        return;
    }
    Registry& registry = PoolAccess::registry(shared_pool());
    std::size_t splits = registry.n;
    if (!try_split(n, task.min_chunk, splits, false, registry.n)) {
        chunk(context, 0, n);
        return;
    }
    RootJob root;
    root.execute = &RootJob::run;
    root.task = &task;
    root.n = n;
    root.splits = splits;
    PoolBlockingWait wait;
    root.latch.blocking = &wait;
    registry.inject(&root);
    block_until(root.latch, wait);
    if (root.error) std::rethrow_exception(root.error);
}

void install_erased(ThreadPool& pool, void (*job_fn)(void*), void* context) {
    Registry& registry = PoolAccess::registry(pool);
    PoolWorker* self = tl_worker;
    if (self != nullptr && self->registry == &registry) {
        job_fn(context);
        return;
    }
    InstallJob job;
    job.execute = &InstallJob::run;
    job.fn = job_fn;
    job.context = context;
    if (self != nullptr) {
        // A worker of another pool keeps serving its own pool while it waits.
        job.latch.waiter = self;
        registry.inject(&job);
        self->registry->work_until(*self, &job.latch);
    } else {
        PoolBlockingWait wait;
        job.latch.blocking = &wait;
        registry.inject(&job);
        block_until(job.latch, wait);
    }
    if (job.error) std::rethrow_exception(job.error);
}

// A job started by PendingJob: the queued job and what its starter blocks on when it waits.
struct PendingState {
    InstallJob job;
    PoolBlockingWait wait;
};

}  // namespace detail

PendingJob::PendingJob(ThreadPool& pool, void (*job_fn)(void*), void* context) {
    auto state = std::make_unique<detail::PendingState>();
    detail::InstallJob& job = state->job;
    if (detail::tl_worker != nullptr) {
        try {
            detail::install_erased(pool, job_fn, context);
        } catch (...) {
            job.error = std::current_exception();
        }
        job.latch.done.store(true, std::memory_order_relaxed);
    } else {
        job.execute = &detail::InstallJob::run;
        job.fn = job_fn;
        job.context = context;
        job.latch.blocking = &state->wait;
        // Nothing below can throw once the job is queued: the state must stay where it is.
        detail::PoolAccess::registry(pool).inject(&job);
    }
    state_ = std::move(state);
}

void PendingJob::wait() {
    detail::block_until(state_->job.latch, state_->wait);
    if (std::exception_ptr error = std::exchange(state_->job.error, nullptr)) {
        std::rethrow_exception(error);
    }
}

PendingJob::~PendingJob() { detail::block_until(state_->job.latch, state_->wait); }

ThreadPool::~ThreadPool() { detail::PoolAccess::destroy(*this); }

std::expected<std::unique_ptr<ThreadPool>, std::string> make_dedicated_pool(
    std::uint64_t n_threads) {
    const std::size_t n = n_threads == 0 ? default_thread_count()
                                         : static_cast<std::size_t>(std::min<std::uint64_t>(
                                               n_threads, kMaxPoolThreads));
    auto started = detail::start_pool(n);
    if (!started.pool) return std::unexpected(detail::os_error_text(started.error));
    return std::move(started.pool);
}

std::size_t current_num_threads() {
    if (detail::PoolWorker* self = detail::tl_worker) return self->registry->n;
    return shared_pool().num_threads();
}

ThreadPool* current_pool() {
    detail::PoolWorker* self = detail::tl_worker;
    return self != nullptr ? self->registry->pool : nullptr;
}

std::optional<std::size_t> current_worker_index() {
    detail::PoolWorker* self = detail::tl_worker;
    if (self == nullptr) return std::nullopt;
    return self->index;
}

}  // namespace vollan
