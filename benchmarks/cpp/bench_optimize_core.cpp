// Microbenchmark of the transfer-optimisation core on a LEO rendezvous problem, one thread unless stated:
// nanoseconds per cost evaluation (LambertCost, two propagations and two zero-revolution solves) and its parts,
// the full evaluation (compute_impulses), one Nelder-Mead search of 50 iterations with its evaluation count,
// the 16 searches of a 16-start search run one after another, and the pooled multi-start driver.
//
// Usage: bench_optimize_core [evaluations [x y z vx vy vz  x y z vx vy vz  lo hi]]
//   evaluations  number of seeded random (t0, tf) points timed per round (default 200000)
//   the 14 numbers: source state, target state (km, km/s) and the time window (s); by default a chaser on a
//   circular 6778 km orbit (i = 51.6 deg) and a target on a circular 6878 km orbit (i = 51.7 deg, RAAN 0.2 deg
//   further, 25 deg ahead), window [0, 1.5 chaser periods].
// The points are timed in blocks of 1000; each block's time is the minimum over interleaved rounds and a figure is
// the sum of its blocks, so a burst of other load on the machine spoils one block of one round, not the figure.
// The searches are timed the same way, one search per block. Output lines "name value unit" after a header; the
// Python benchmark (benchmarks/bench_optimize.py) runs this pinned to one CPU and reads them.

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/system_resources.hpp"
#include "common/vec3.hpp"
#include "minimizer/nelder_mead.hpp"
#include "optimization/lambert_cost.hpp"
#include "optimization/nm_search.hpp"
#include "optimization/transfer.hpp"
#include "parallel/thread_pool.hpp"
#include "propagation/kepler_universal_2body.hpp"
#include "solver/lambert_izzo.hpp"

namespace {

using orbelin::State;
using orbelin::Vec3;

constexpr double mu = 398600.4418;
constexpr double pi = 3.141592653589793;
constexpr double deg = pi / 180.0;
constexpr int rounds = 5;
constexpr std::size_t block = 1000;

// Circular orbit of radius a, inclination i, node raan, argument of latitude u (degrees).
State circular(double a, double i_deg, double raan_deg, double u_deg) {
    const double i = i_deg * deg, o = raan_deg * deg, u = u_deg * deg, v = std::sqrt(mu / a);
    const double co = std::cos(o), so = std::sin(o), ci = std::cos(i), si = std::sin(i);
    const double cu = std::cos(u), su = std::sin(u);
    return {a * (co * cu - so * su * ci),  a * (so * cu + co * su * ci),  a * su * si,
            v * (-co * su - so * cu * ci), v * (-so * su + co * cu * ci), v * cu * si};
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Per block, the best (smallest) time over the rounds; the caller interleaves the measurements.
struct Timer {
    std::vector<double> best;
    void run(std::size_t b, const std::function<void()>& body) {
        if (best.size() <= b) best.resize(b + 1, std::numeric_limits<double>::infinity());
        const auto t0 = std::chrono::steady_clock::now();
        body();
        best[b] = std::min(best[b], seconds_since(t0));
    }
    double total() const {
        double sum = 0.0;
        for (const double t : best) sum += t;
        return sum;
    }
};

volatile double sink = 0.0;  // keeps results observable

}  // namespace

int main(int argc, char** argv) {
    std::size_t n = 200000;
    if (argc > 1) n = std::strtoull(argv[1], nullptr, 10);
    State source = circular(6778.0, 51.6, 30.0, 0.0);
    State target = circular(6878.0, 51.7, 30.2, 25.0);
    double lo = 0.0;
    double hi = 1.5 * 2.0 * pi * std::sqrt(6778.0 * 6778.0 * 6778.0 / mu);
    if (argc == 16) {
        for (int k = 0; k < 6; ++k) source[k] = std::strtod(argv[2 + k], nullptr);
        for (int k = 0; k < 6; ++k) target[k] = std::strtod(argv[8 + k], nullptr);
        lo = std::strtod(argv[14], nullptr);
        hi = std::strtod(argv[15], nullptr);
    } else if (argc != 1 && argc != 2) {
        std::fprintf(stderr, "usage: %s [evaluations [source(6) target(6) lo hi]]\n", argv[0]);
        return 2;
    }
    const orbelin::TimePair bounds{lo, hi};

    // Seeded points (t0 < tf) spread over the window, the region a search visits.
    std::mt19937_64 rng(20240601);
    std::uniform_real_distribution<double> in_window(lo, hi);
    std::vector<std::array<double, 2>> points(n);
    for (auto& p : points) {
        double a = in_window(rng), b = in_window(rng);
        if (a > b) std::swap(a, b);
        p = {a, b};
    }

    const auto problem = [&](std::uint64_t max_rev) {
        return orbelin::TransferProblem{
            .source = source, .target = target, .arcs = {.solver = {.mu = mu, .max_rev = max_rev}, .rendezvous = true}};
    };
    const orbelin::LambertCost cost0(problem(0), bounds);
    const orbelin::LambertCost cost1(problem(1), bounds);
    std::size_t feasible = 0;
    for (const auto& p : points) feasible += cost0.cost(p) < orbelin::penalty_value ? 1 : 0;

    Timer t_cost0, t_cost1, t_prop, t_solve, t_full, t_search, t_sixteen, t_pooled;
    std::uint64_t search_evals = 0, sixteen_evals = 0;
    double search_cost = 0.0, sixteen_best = 0.0;
    std::size_t pooled_found = 0;

    const orbelin::TimePair start{(lo + hi) * 0.5, (lo + hi) * 0.5 + 0.25 * (hi - lo)};
    const auto starts = orbelin::generate_initial_guesses(16, lo, hi);
    auto simplex_from = [&](orbelin::TimePair s) {
        const double step = 0.1 * (hi - lo);
        return std::array<orbelin::nm::Point<2>, 3>{{
            {s.first, s.second},
            {std::fmin(s.first + step, hi), s.second},
            {s.first, std::fmin(s.second + step, hi)},
        }};
    };

    // Propagated states for the parts-of-a-cost measurement (the solves alone).
    std::vector<std::array<Vec3, 3>> geometry(n);  // r1, r2, unit angular momentum of the source
    for (std::size_t k = 0; k < n; ++k) {
        const State s1 = orbelin::kepler_universal_2body(source, points[k][0], mu);
        const State s2 = orbelin::kepler_universal_2body(target, points[k][1], mu);
        const Vec3 h = orbelin::cross(orbelin::position(s1), orbelin::velocity(s1));
        geometry[k] = {orbelin::position(s1), orbelin::position(s2), h / orbelin::norm(h)};
    }

    const std::size_t blocks = (n + block - 1) / block;
    constexpr std::size_t search_blocks = 20;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t first = b * block, last = std::min(n, first + block);
            t_cost0.run(b, [&] {
                double acc = 0.0;
                for (std::size_t k = first; k < last; ++k) acc += cost0.cost(points[k]);
                sink = acc;
            });
            t_prop.run(b, [&] {
                double acc = 0.0;
                for (std::size_t k = first; k < last; ++k) {
                    acc += orbelin::kepler_universal_2body(source, points[k][0], mu)[0];
                    acc += orbelin::kepler_universal_2body(target, points[k][1], mu)[0];
                }
                sink = acc;
            });
            t_solve.run(b, [&] {
                double acc = 0.0;
                for (std::size_t k = first; k < last; ++k) {
                    const double tof = points[k][1] - points[k][0];
                    const auto& g = geometry[k];
                    for (const bool retro : {false, true}) {
                        const auto sols =
                            orbelin::lambert_izzo_single_impl(g[0], g[1], tof, {.mu = mu, .retrograde = retro}, g[2]);
                        for (const auto& s : sols) acc += s.v1.x;
                    }
                }
                sink = acc;
            });
            t_full.run(b, [&] {
                double acc = 0.0;
                for (std::size_t k = first; k < last; ++k) {
                    const auto r = orbelin::compute_impulses(cost0.problem(), points[k][0], points[k][1]);
                    if (r) acc += r->cost;
                }
                sink = acc;
            });
            t_cost1.run(b, [&] {
                double acc = 0.0;
                for (std::size_t k = first; k < last; ++k) acc += cost1.cost(points[k]);
                sink = acc;
            });
        }
        for (std::size_t b = 0; b < search_blocks; ++b) {
            t_search.run(b, [&] {
                const auto run = orbelin::nm::nelder_mead<2>(cost0, simplex_from(start), 50);
                search_evals = run.state.evaluations;
                search_cost = run.state.best_cost;
            });
            t_sixteen.run(b, [&] {
                // Exactly the per-start work of the multi-start driver, on this thread: search, then full
                // evaluation of the best point.
                std::uint64_t evals = 0;
                double best = orbelin::penalty_value;
                for (const auto& s : starts) {
                    const auto run = orbelin::nm::nelder_mead<2>(cost0, simplex_from(s), 50);
                    evals += run.state.evaluations;
                    if (run.ok && run.state.best_point) {
                        const auto& bp = *run.state.best_point;
                        const auto r = orbelin::compute_impulses(cost0.problem(), bp[0], bp[1]);
                        if (r) best = std::min(best, r->cost);
                    }
                }
                sixteen_evals = evals;
                sixteen_best = best;
            });
            t_pooled.run(b, [&] {
                const auto r = orbelin::optimize_lambert_nm_multi(
                    problem(0), bounds,
                    {.num_solvers = 16, .return_best_only = false, .remove_duplicates = false, .max_iters = 50});
                pooled_found = r.size();
            });
        }
    }
    // One search per block: the figure is the best block.
    const auto best_block = [](const Timer& t) { return *std::min_element(t.best.begin(), t.best.end()); };

    const double ns = 1e9 / static_cast<double>(n);
    std::printf(
        "orbelin transfer-optimisation core, LEO rendezvous, window [%.1f, %.1f] s, %zu points, blocks of %zu "
        "timed as the best of %d interleaved rounds\n",
        lo, hi, n, block, rounds);
    std::printf("usable_cpus %zu count\n", orbelin::usable_cpu_count());
    std::printf("feasible_fraction %.4f fraction\n", static_cast<double>(feasible) / static_cast<double>(n));
    std::printf("cost_eval_ns %.1f ns/evaluation\n", t_cost0.total() * ns);
    std::printf("cost_evals_per_s %.4g evaluations/s\n", 1.0 / (t_cost0.total() * ns * 1e-9));
    std::printf("two_propagations_ns %.1f ns/pair\n", t_prop.total() * ns);
    std::printf("two_solves_ns %.1f ns/pair\n", t_solve.total() * ns);
    std::printf("full_evaluation_ns %.1f ns/evaluation\n", t_full.total() * ns);
    std::printf("cost_eval_max_rev1_ns %.1f ns/evaluation\n", t_cost1.total() * ns);
    std::printf("single_search_us %.1f us/search\n", best_block(t_search) * 1e6);
    std::printf("single_search_evals %llu evaluations\n", static_cast<unsigned long long>(search_evals));
    std::printf("single_search_cost %.9f km/s\n", search_cost);
    std::printf("sixteen_serial_ms %.3f ms\n", best_block(t_sixteen) * 1e3);
    std::printf("sixteen_serial_evals %llu evaluations\n", static_cast<unsigned long long>(sixteen_evals));
    std::printf("sixteen_serial_best %.9f km/s\n", sixteen_best);
    std::printf("sixteen_pooled_ms %.3f ms\n", best_block(t_pooled) * 1e3);
    std::printf("sixteen_pooled_found %zu records\n", pooled_found);
    return 0;
}
