#include "parallel/thread_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <latch>
#include <stdexcept>
#include <string>
#include <system_error>

#include "common/system_resources.hpp"

namespace orbelin {

namespace detail {

// One parallel loop. Shared between the caller and the queue entries that
// invite workers to help, so that a worker which dequeues an entry after the
// loop has finished still finds a valid (exhausted) job.
struct LoopJob {
    LoopJob(std::size_t n_, std::size_t chunk_, FunctionRef<void(std::size_t, std::size_t)> body_,
            const LoopJob* parent_)
        : n(n_), chunk(chunk_), body(body_), parent(parent_) {}

    const std::size_t n;
    const std::size_t chunk;
    FunctionRef<void(std::size_t, std::size_t)> body;  // valid while done < n
    // The loop whose chunk started this one (null for a loop started outside
    // any task); valid while this loop runs, since that chunk waits for it.
    const LoopJob* const parent;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> stopped{false};  // interrupted: skip every chunk not yet started
    std::mutex error_mutex;
    std::exception_ptr error;
    std::mutex done_mutex;
    std::condition_variable all_done;

    // This loop or one that encloses it has been interrupted.
    bool cancelled() const noexcept {
        for (const LoopJob* job = this; job != nullptr; job = job->parent) {
            if (job->stopped.load(std::memory_order_relaxed)) return true;
        }
        return false;
    }

    void finish(std::size_t count) noexcept {
        if (done.fetch_add(count, std::memory_order_acq_rel) + count == n) {
            // Under the mutex, so that a waiter between its test and its wait cannot miss the notification.
            std::lock_guard<std::mutex> lock(done_mutex);
            all_done.notify_all();
        }
    }

    // Stops handing out chunks: the unclaimed rest counts as done at once.
    void stop() noexcept {
        stopped.store(true, std::memory_order_relaxed);
        const std::size_t claimed = next.exchange(n, std::memory_order_relaxed);
        if (claimed < n) finish(n - claimed);
    }

    // Claims and runs chunks until none is left. The loop's caller passes its
    // interruption check, run after each of its chunks; workers pass none.
    void work(bool caller_checks) noexcept {
        for (;;) {
            const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
            if (begin >= n) return;
            const std::size_t end = std::min(n, begin + chunk);
            if (!failed.load(std::memory_order_relaxed) && !cancelled()) {
                LoopJob* const outer = current;
                current = this;
                try {
                    body(begin, end);
                } catch (...) {
                    std::lock_guard<std::mutex> lock(error_mutex);
                    if (!error) error = std::current_exception();
                    failed.store(true, std::memory_order_relaxed);
                }
                current = outer;
            }
            finish(end - begin);
            if (caller_checks && interrupted()) stop();
        }
    }

    // The caller's wait for the chunks other threads are running. With an
    // interruption scope it wakes every few milliseconds to run the check.
    void wait(bool caller_checks) noexcept {
        std::unique_lock<std::mutex> lock(done_mutex);
        auto finished = [this] { return done.load(std::memory_order_acquire) >= n; };
        if (!caller_checks) {
            all_done.wait(lock, finished);
            return;
        }
        while (!all_done.wait_for(lock, std::chrono::milliseconds(5), finished)) {
            lock.unlock();
            if (interrupted()) stop();
            lock.lock();
        }
    }

    // An interruption check that throws would leave the loop half run: it is
    // taken as a request to stop.
    static bool interrupted() noexcept {
        try {
            return InterruptScope::interrupted();
        } catch (...) {
            return true;
        }
    }

    // The loop whose chunk the current thread is running, if any.
    static thread_local LoopJob* current;
};

thread_local LoopJob* LoopJob::current = nullptr;

// The innermost interruption scope of the current thread.
thread_local InterruptScope* current_scope = nullptr;

}  // namespace detail

InterruptScope::InterruptScope(FunctionRef<bool()> check) noexcept : check_(check), previous_(detail::current_scope) {
    detail::current_scope = this;
}

InterruptScope::~InterruptScope() { detail::current_scope = previous_; }

bool InterruptScope::interrupted() {
    InterruptScope* scope = detail::current_scope;
    if (scope == nullptr) return false;
    if (!scope->fired_) scope->fired_ = scope->check_();
    return scope->fired_;
}

void interruption_point() {
    const detail::LoopJob* job = detail::LoopJob::current;
    if ((job != nullptr && job->cancelled()) || InterruptScope::interrupted()) throw LoopInterrupted{};
}

bool stop_requested() noexcept {
    const detail::LoopJob* job = detail::LoopJob::current;
    return (job != nullptr && job->cancelled()) || detail::LoopJob::interrupted();
}

ThreadPool::ThreadPool(std::size_t workers) {
    std::latch started(static_cast<std::ptrdiff_t>(workers));
    threads_.reserve(workers);
    try {
        for (std::size_t i = 0; i < workers; ++i) {
            try {
                threads_.emplace_back([this, &started] {
                    started.count_down();
                    worker_loop();
                });
            } catch (const std::system_error& e) {
                // The system's reason alone ("Resource temporarily unavailable") does not say that the pool was
                // the one asking, nor how far it got.
                throw std::system_error(e.code(),
                                        "worker thread " + std::to_string(i + 1) + " of " + std::to_string(workers));
            }
        }
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
        throw;
    }
    started.wait();
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void ThreadPool::worker_loop() {
    for (;;) {
        std::shared_ptr<detail::LoopJob> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job->work(false);
    }
}

void ThreadPool::run(std::size_t n, std::size_t grain, FunctionRef<void(std::size_t, std::size_t)> body) {
    if (n == 0) return;
    const std::size_t threads = size() + 1;
    // Several chunks per thread keep the load balanced when case costs differ
    // (multi-revolution cases cost several times a direct arc).
    const std::size_t chunk = grain > 0 ? grain : std::clamp<std::size_t>(n / (threads * 8), 1, max_auto_chunk);
    const std::size_t chunks = (n + chunk - 1) / chunk;

    // A loop started inside a task stops with the loop of that task; only the
    // thread that owns an interruption scope runs its check.
    const detail::LoopJob* parent = detail::LoopJob::current;
    const bool caller_checks = detail::current_scope != nullptr;
    auto job = std::make_shared<detail::LoopJob>(n, chunk, body, parent);
    const std::size_t helpers = std::min(size(), chunks - 1);
    if (helpers > 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (std::size_t i = 0; i < helpers; ++i) queue_.push_back(job);
        }
        if (helpers == 1) {
            wake_.notify_one();
        } else {
            wake_.notify_all();
        }
    }
    job->work(caller_checks);
    job->wait(caller_checks);
    // An interruption outranks the failures it may have caused in tasks that
    // were cut short.
    if (job->cancelled()) throw LoopInterrupted{};
    if (job->error) std::rethrow_exception(job->error);
}

namespace {

std::atomic<ThreadPool*> g_pool{nullptr};
std::atomic<std::size_t> g_workers{0};  // the size given to init_global_pool
std::atomic<bool> g_forked{false};
std::mutex g_pool_mutex;

void mark_forked_child() noexcept { g_forked.store(true, std::memory_order_relaxed); }

}  // namespace

void init_global_pool(std::size_t workers) {
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    if (g_pool.load() != nullptr) throw std::logic_error("the global thread pool has already been initialized");
    // Never destroyed: the workers live until the process ends.
    g_pool.store(new ThreadPool(workers));
    g_workers.store(workers);
    static const int registered = pthread_atfork(nullptr, nullptr, mark_forked_child);
    (void)registered;
}

ThreadPool& global_pool() {
    if (g_forked.load(std::memory_order_relaxed)) {
        // Only the forking thread exists in a child process, so this runs
        // before any worker of the child could. The parent's pool object
        // (and its possibly locked mutex) is abandoned, never touched again.
        g_forked.store(false, std::memory_order_relaxed);
        g_pool.store(new ThreadPool(g_workers.load()));
    }
    ThreadPool* pool = g_pool.load(std::memory_order_acquire);
    if (pool == nullptr) {
        std::lock_guard<std::mutex> lock(g_pool_mutex);
        pool = g_pool.load();
        if (pool == nullptr) {
            pool = new ThreadPool(default_worker_count());
            g_pool.store(pool);
        }
    }
    return *pool;
}

}  // namespace orbelin
