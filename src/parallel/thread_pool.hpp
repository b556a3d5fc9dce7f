#pragma once
// The worker pool and its order-preserving parallel loop.
//
// A parallel loop splits [0, n) into chunks that the calling thread and the
// workers claim from one atomic counter. The caller always works on its own
// loop until no chunk is left, so a loop started from inside a task (a nested
// loop) completes even when every worker is busy, whatever the pool size: no
// thread ever blocks waiting for a chunk that nobody has claimed. It blocks
// only for chunks that other threads are already running.
//
// Long loops can be interrupted. A thread that may be asked to stop (the
// Python boundary's calling thread, which holds the interpreter lock) installs
// an InterruptScope for the length of a call; every loop that thread starts
// runs the scope's check between the chunks it works on itself, and at least
// every few milliseconds while it waits for the other threads' chunks. When
// the check reports an interruption the loop hands out no more chunks, lets
// the running ones finish (loops nested inside them stop at their next chunk,
// and long tasks that call interruption_point() at once), and throws
// LoopInterrupted. Worker threads never run the check.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "parallel/function_ref.hpp"

namespace orbelin {

namespace detail {
struct LoopJob;
}

// Thrown by a parallel loop (or an interruption point) that was stopped by an
// InterruptScope's check; whatever the check recorded (a pending Python
// exception) describes the interruption.
struct LoopInterrupted : std::exception {
    const char* what() const noexcept override { return "the parallel loop was interrupted"; }
};

// Installs `check` on the current thread until destroyed. `check` returns
// true when the running call must stop; after it has done so once it is not
// called again in this scope (every later check reports the interruption).
// Scopes nest: the innermost one is used. `check` must outlive the scope.
class InterruptScope {
public:
    explicit InterruptScope(FunctionRef<bool()> check) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // Runs the current thread's check, if it has a scope; false otherwise.
    static bool interrupted();

    // Whether this scope's check has reported an interruption (without running it again).
    bool fired() const noexcept { return fired_; }

private:
    FunctionRef<bool()> check_;
    bool fired_ = false;
    InterruptScope* previous_;
};

// For long stretches of work that contain no parallel loop (one Nelder-Mead
// search): throws LoopInterrupted when the loop whose task this is has been
// stopped, or when this thread's InterruptScope reports an interruption.
void interruption_point();

// The same question without throwing, for numerical kernels that must stay noexcept: true when the loop whose task
// this is has been stopped or this thread's InterruptScope reports an interruption. A kernel that sees true returns
// what it has; the loop (or, on the calling thread alone, the Python boundary) then reports the interruption.
// Costs a thread-local read and a few atomic loads, or a check on the calling thread: call it every few thousand
// iterations of a long loop, not every one.
bool stop_requested() noexcept;

class ThreadPool {
public:
    // Starts `workers` threads and returns once every one of them is running.
    // With no workers the calling thread runs every chunk of its loops. Throws
    // std::system_error, whose text says which thread, when a thread cannot
    // start; the threads already started are stopped first.
    explicit ThreadPool(std::size_t workers);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t size() const noexcept { return threads_.size(); }

    // Longest automatic chunk. A chunk is the unit an interruption waits for:
    // 256 cases of a few to a few tens of microseconds keep that wait far
    // below the 0.2 s a user notices, at two atomic increments per chunk.
    static constexpr std::size_t max_auto_chunk = 256;

    // Calls body(begin, end) over disjoint chunks covering [0, n) and returns
    // when all are done. `grain` is the chunk length (0: chosen from n and the
    // pool size, at most max_auto_chunk). The first exception thrown by a chunk
    // is rethrown here once every claimed chunk has finished; the remaining
    // chunks are skipped. An interruption (see above) throws LoopInterrupted.
    void run(std::size_t n, std::size_t grain, FunctionRef<void(std::size_t, std::size_t)> body);

private:
    void worker_loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<detail::LoopJob>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Builds the process-wide pool with `workers` threads. Throws
// std::logic_error when it already exists, and std::system_error when a
// thread cannot start (no pool is installed then).
void init_global_pool(std::size_t workers);

// The process-wide pool. In a process forked after the pool was built the
// parent's workers do not exist, so the child gets a pool of its own, of the
// size given to init_global_pool, on first use. Used before any
// init_global_pool, it builds one of default_worker_count() workers
// (common/system_resources.hpp).
ThreadPool& global_pool();

// Calls f(i) for every i in [0, n) on `pool`.
template <class F>
void parallel_for(ThreadPool& pool, std::size_t n, F&& f, std::size_t grain = 0) {
    pool.run(n, grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) f(i);
    });
}

// Returns {f(0), ..., f(n-1)} in index order, whatever order the chunks ran in.
template <class F>
auto parallel_map(ThreadPool& pool, std::size_t n, F&& f, std::size_t grain = 0) {
    using R = std::decay_t<decltype(f(std::size_t{0}))>;
    std::vector<R> results(n);
    pool.run(n, grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) results[i] = f(i);
    });
    return results;
}

}  // namespace orbelin
