#include "parallel/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <latch>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

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

InterruptScope::InterruptScope(FunctionRef<bool()> check) noexcept
    : check_(check), previous_(detail::current_scope) {
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
            threads_.emplace_back([this, &started] {
                started.count_down();
                worker_loop();
            });
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
    const std::size_t chunk =
        grain > 0 ? grain : std::clamp<std::size_t>(n / (threads * 8), 1, max_auto_chunk);
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

std::size_t affinity_cpu_count() {
    for (int cpus = 1024; cpus <= 1 << 16; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            const int count = CPU_COUNT_S(bytes, set);
            CPU_FREE(set);
            return static_cast<std::size_t>(count);
        }
        CPU_FREE(set);
        if (errno != EINVAL) break;  // EINVAL: the kernel's mask is larger than ours
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

bool read_first_line(const std::string& path, std::string& line) {
    std::ifstream in(path);
    return static_cast<bool>(std::getline(in, line));
}

// CPUs granted by a quota/period pair, rounded up; 0 when unlimited.
double quota_cpus(double quota, double period) {
    if (!(quota > 0.0) || !(period > 0.0)) return 0.0;
    return std::ceil(quota / period);
}

// cgroup v2: the tightest cpu.max of the process's cgroup and its ancestors.
double cgroup_v2_cpus(const std::string& relative) {
    double best = 0.0;
    std::string dir = relative;
    for (;;) {
        std::string line;
        if (read_first_line("/sys/fs/cgroup" + dir + (dir.ends_with('/') ? "" : "/") + "cpu.max", line)) {
            const double cpus = detail::cpu_max_limit(line);
            if (cpus > 0.0 && (best == 0.0 || cpus < best)) best = cpus;
        }
        if (dir.empty() || dir == "/") break;
        const auto slash = dir.find_last_of('/');
        dir = slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
    }
    return best;
}

double cgroup_v1_cpus(const std::string& relative) {
    for (const char* mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        for (const std::string& dir : {std::string(mount) + relative, std::string(mount)}) {
            std::string quota;
            std::string period;
            if (read_first_line(dir + "/cpu.cfs_quota_us", quota) &&
                read_first_line(dir + "/cpu.cfs_period_us", period)) {
                try {
                    return quota_cpus(std::stod(quota), std::stod(period));
                } catch (const std::exception&) {
                    return 0.0;
                }
            }
        }
    }
    return 0.0;
}

double cgroup_cpu_limit() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    std::string v2_path;
    std::string v1_path;
    bool have_v2 = false;
    bool have_v1 = false;
    while (std::getline(in, line)) {
        // hierarchy-ID:controller-list:path
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            v2_path = path;
            have_v2 = true;
        } else {
            std::istringstream names(controllers);
            for (std::string name; std::getline(names, name, ',');) {
                if (name == "cpu") {
                    v1_path = path;
                    have_v1 = true;
                }
            }
        }
    }
    try {
        if (have_v1) return cgroup_v1_cpus(v1_path);
        if (have_v2) return cgroup_v2_cpus(v2_path);
        return cgroup_v2_cpus("/");
    } catch (const std::exception&) {
        return 0.0;
    }
}

// The value as the user wrote it, quoted; bytes outside printable ASCII
// escaped so that the message is always valid text.
std::string quoted(std::string_view raw) {
    std::string out = "'";
    for (const char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
            out += ch;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out + "'";
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::atomic<ThreadPool*> g_pool{nullptr};
std::atomic<std::size_t> g_workers{0};  // the size given to init_global_pool
std::atomic<bool> g_forked{false};
std::mutex g_pool_mutex;

void mark_forked_child() noexcept { g_forked.store(true, std::memory_order_relaxed); }

}  // namespace

double detail::cpu_max_limit(const std::string& line) {
    std::istringstream fields(line);
    std::string quota;
    double period = 0.0;
    if (!(fields >> quota >> period) || quota == "max") return 0.0;
    try {
        return quota_cpus(std::stod(quota), period);
    } catch (const std::exception&) {
        return 0.0;
    }
}

std::size_t usable_cpu_count() {
    static const std::size_t count = [] {
        std::size_t cpus = affinity_cpu_count();
        const double limit = cgroup_cpu_limit();
        if (limit >= 1.0 && limit < static_cast<double>(cpus)) cpus = static_cast<std::size_t>(limit);
        return cpus;
    }();
    return count;
}

std::size_t default_worker_count() {
    const std::size_t cpus = usable_cpu_count();
    return cpus > 1 ? cpus - 1 : 1;
}

std::size_t worker_count_from_setting(const char* value) {
    if (value == nullptr) return default_worker_count();
    std::string_view text(value);
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.empty()) return default_worker_count();
    // Digits only: no sign, no base prefix, no fraction.
    std::size_t threads = 0;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const auto parsed = std::from_chars(text.data(), text.data() + text.size(), threads);
        if (parsed.ec != std::errc{}) threads = 0;  // too large for size_t
    }
    if (threads < 1 || threads > kMaxThreads) {
        throw std::invalid_argument(std::string(kNumThreadsVariable) + " must be a whole number of threads from 1 to " +
                                    std::to_string(kMaxThreads) + ", got " + quoted(value));
    }
    return threads - 1;
}

std::size_t configured_worker_count() { return worker_count_from_setting(std::getenv(kNumThreadsVariable)); }

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
