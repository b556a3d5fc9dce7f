// The worker pool: order of results, nested loops on any pool size (none
// included), faults carried back to the caller, its default size and
// interruption.

#include <atomic>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "common/system_resources.hpp"
#include "parallel/thread_pool.hpp"

using orbelin::ThreadPool;

TEST_CASE("parallel_map returns results in index order for every pool size") {
    for (std::size_t workers : {0u, 1u, 2u, 3u, 8u}) {
        ThreadPool pool(workers);
        CHECK(pool.size() == workers);
        for (std::size_t n : {0u, 1u, 7u, 10000u}) {
            const auto out = orbelin::parallel_map(pool, n, [](std::size_t i) { return 3 * i + 1; });
            CHECK(out.size() == n);
            bool ordered = true;
            for (std::size_t i = 0; i < n; ++i) ordered = ordered && out[i] == 3 * i + 1;
            CHECK(ordered);
        }
    }
}

TEST_CASE("every index runs exactly once, with any chunk length") {
    ThreadPool pool(3);
    for (std::size_t grain : {0u, 1u, 5u, 1000u}) {
        std::vector<std::atomic<int>> hits(5003);
        orbelin::parallel_for(pool, hits.size(), [&](std::size_t i) { hits[i].fetch_add(1); }, grain);
        bool once = true;
        for (const auto& h : hits) once = once && h.load() == 1;
        CHECK(once);
    }
}

TEST_CASE("nested loops complete with no worker, one and several") {
    for (std::size_t workers : {0u, 1u, 2u, 4u}) {
        ThreadPool pool(workers);
        // Three levels: every task of the outer loop starts its own loop,
        // whose tasks start another; all share the one pool.
        const auto outer = orbelin::parallel_map(
            pool, 16,
            [&](std::size_t i) {
                const auto middle = orbelin::parallel_map(
                    pool, 20,
                    [&](std::size_t j) {
                        const auto inner = orbelin::parallel_map(pool, 30, [&](std::size_t k) { return i + j + k; }, 1);
                        return std::accumulate(inner.begin(), inner.end(), std::size_t{0});
                    },
                    1);
                return std::accumulate(middle.begin(), middle.end(), std::size_t{0});
            },
            1);
        bool right = true;
        for (std::size_t i = 0; i < outer.size(); ++i) {
            std::size_t expected = 0;
            for (std::size_t j = 0; j < 20; ++j)
                for (std::size_t k = 0; k < 30; ++k) expected += i + j + k;
            right = right && outer[i] == expected;
        }
        CHECK(right);
    }
}

TEST_CASE("loops started from several threads at once share the pool") {
    for (std::size_t workers : {0u, 2u}) {
        ThreadPool pool(workers);
        std::vector<std::thread> callers;
        std::atomic<int> good{0};
        for (int t = 0; t < 4; ++t) {
            callers.emplace_back([&, t] {
                const auto out = orbelin::parallel_map(pool, 2000, [&](std::size_t i) { return i * t; });
                bool ok = true;
                for (std::size_t i = 0; i < out.size(); ++i) ok = ok && out[i] == i * t;
                if (ok) good.fetch_add(1);
            });
        }
        for (auto& c : callers) c.join();
        CHECK(good.load() == 4);
    }
}

TEST_CASE("a pool without workers runs every chunk on the calling thread") {
    ThreadPool pool(0);
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::thread::id> ran_on(3001);
    orbelin::parallel_for(pool, ran_on.size(), [&](std::size_t i) { ran_on[i] = std::this_thread::get_id(); }, 1);
    bool all_caller = true;
    for (const auto& id : ran_on) all_caller = all_caller && id == caller;
    CHECK(all_caller);
    CHECK_THROWS_AS(orbelin::parallel_for(
                        pool, 50,
                        [](std::size_t i) {
                            if (i == 49) throw std::runtime_error("last task");
                        },
                        1),
                    std::runtime_error);
    CHECK(orbelin::parallel_map(pool, 5, [](std::size_t i) { return i * i; })[4] == 16);
}

TEST_CASE("a fault in a task reaches the caller and the pool survives it") {
    ThreadPool pool(2);
    CHECK_THROWS_AS(orbelin::parallel_for(
                        pool, 1000,
                        [](std::size_t i) {
                            if (i == 637) throw std::runtime_error("task 637 failed");
                        },
                        1),
                    std::runtime_error);
    try {
        orbelin::parallel_for(pool, 10, [](std::size_t) { throw std::logic_error("every task"); });
        CHECK(false);
    } catch (const std::logic_error& e) {
        CHECK(std::string(e.what()) == "every task");
    }
    // A fault inside a nested loop travels up through both levels.
    CHECK_THROWS_AS(orbelin::parallel_for(pool, 4,
                                          [&](std::size_t) {
                                              orbelin::parallel_for(pool, 4, [](std::size_t j) {
                                                  if (j == 3) throw std::runtime_error("inner");
                                              });
                                          }),
                    std::runtime_error);
    const auto out = orbelin::parallel_map(pool, 100, [](std::size_t i) { return i; });
    CHECK(out[99] == 99);
}

TEST_CASE("worker count leaves one CPU to the caller, at least one worker") {
    const std::size_t cpus = orbelin::usable_cpu_count();
    CHECK(cpus >= 1);
    CHECK(orbelin::default_worker_count() == (cpus > 1 ? cpus - 1 : 1));
    CHECK(orbelin::global_pool().size() == orbelin::default_worker_count());
    CHECK(&orbelin::global_pool() == &orbelin::global_pool());
}

// ---- Interruption -------------------------------------------------------------------------------------------------

namespace {

// A task long enough that a loop of many of them would run for minutes.
void busy_for(std::chrono::microseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
    }
}

}  // namespace

TEST_CASE("an interrupted loop stops handing out chunks, lets running ones finish and throws") {
    for (std::size_t workers : {1u, 3u}) {
        ThreadPool pool(workers);
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<int> checks{0};
        std::atomic<bool> checked_elsewhere{false};
        auto check = [&] {
            if (std::this_thread::get_id() != caller) checked_elsewhere = true;
            return checks.fetch_add(1) + 1 >= 5;  // the fifth check reports an interruption
        };
        std::atomic<std::size_t> started{0};
        std::atomic<std::size_t> running{0};
        const std::size_t n = 100000;  // 100 s of work at 1 ms per task
        {
            const orbelin::InterruptScope scope(check);
            CHECK_THROWS_AS(orbelin::parallel_for(
                                pool, n,
                                [&](std::size_t) {
                                    started.fetch_add(1);
                                    running.fetch_add(1);
                                    busy_for(std::chrono::microseconds(1000));
                                    running.fetch_sub(1);
                                },
                                1),
                            orbelin::LoopInterrupted);
            // Every task that started has finished when the loop throws.
            CHECK(running.load() == 0);
            CHECK(started.load() < 100);
            // Once fired, the scope reports the interruption without checking again.
            const int seen = checks.load();
            CHECK(seen == 5);
            CHECK(orbelin::InterruptScope::interrupted());
            CHECK(checks.load() == seen);
            CHECK_THROWS_AS(orbelin::interruption_point(), orbelin::LoopInterrupted);
        }
        CHECK(!checked_elsewhere.load());
        // Without a scope the same pool runs loops to the end, and interruption points pass.
        std::atomic<std::size_t> all{0};
        orbelin::parallel_for(pool, 1000, [&](std::size_t) { all.fetch_add(1); });
        CHECK(all.load() == 1000);
        orbelin::interruption_point();
    }
}

TEST_CASE("an interruption reaches loops nested in running tasks and long tasks at interruption points") {
    ThreadPool pool(3);
    const auto begin = std::chrono::steady_clock::now();
    std::atomic<bool> fire{false};
    auto check = [&] { return fire.load(); };
    std::atomic<std::size_t> inner_done{0};
    std::atomic<std::size_t> long_tasks_cut{0};
    {
        const orbelin::InterruptScope scope(check);
        CHECK_THROWS_AS(orbelin::parallel_for(
                            pool, 8,
                            [&](std::size_t i) {
                                if (i % 2 == 0) {
                                    // A nested loop of 100 s.
                                    orbelin::parallel_for(
                                        pool, 100000,
                                        [&](std::size_t) {
                                            busy_for(std::chrono::microseconds(1000));
                                            inner_done.fetch_add(1);
                                            if (inner_done.load() == 50) fire = true;
                                        },
                                        1);
                                } else {
                                    // A long task without loops that polls.
                                    try {
                                        for (int k = 0; k < 100000; ++k) {
                                            busy_for(std::chrono::microseconds(1000));
                                            orbelin::interruption_point();
                                        }
                                    } catch (const orbelin::LoopInterrupted&) {
                                        long_tasks_cut.fetch_add(1);
                                        throw;
                                    }
                                }
                            },
                            1),
                        orbelin::LoopInterrupted);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    CHECK(inner_done.load() < 100000);
    CHECK(long_tasks_cut.load() >= 1);
    CHECK(seconds < 20.0);  // the uninterrupted loop would take minutes
}

TEST_CASE("a throwing interruption check stops the loop") {
    ThreadPool pool(2);
    auto check = []() -> bool { throw std::runtime_error("check failed"); };
    const orbelin::InterruptScope scope(check);
    std::atomic<std::size_t> ran{0};
    CHECK_THROWS_AS(orbelin::parallel_for(
                        pool, 100000,
                        [&](std::size_t) {
                            busy_for(std::chrono::microseconds(100));
                            ran.fetch_add(1);
                        },
                        1),
                    orbelin::LoopInterrupted);
    CHECK(ran.load() < 100000);
}
