// Microbenchmark of the Lambert Jacobian against the solve it belongs to, one thread: nanoseconds per solution of
// lambert_izzo_visit (velocities only) and of lambert_izzo_jacobian_visit (velocities and the 6x7 derivatives),
// for seeded random zero-revolution cases and for max_rev = 3, and their ratio.
//
// Times are the thread's CPU time (CLOCK_THREAD_CPUTIME_ID), the two forms interleaved, best of --repeats runs.
//
// Usage: bench_lambert_jacobian [cases] [repeats]   (default 200000, 5)

#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "solver/lambert_izzo.hpp"
#include "solver/lambert_jacobian.hpp"

namespace {

using orbelin::LambertJacobian;
using orbelin::LambertSolution;
using orbelin::Vec3;

constexpr double mu = 398600.4418;
constexpr double pi = 3.141592653589793;

struct Case {
    Vec3 r1, r2;
    double tof;
    bool retrograde;
};

// Radii 6600-42000 km in any direction; tof log-uniform between the given fractions of the period of the
// minimum-energy ellipse; half the cases retrograde.
std::vector<Case> make_cases(std::size_t n, std::uint64_t seed, double lo_periods, double hi_periods) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> radius(6600.0, 42000.0);
    std::uniform_real_distribution<double> log_frac(std::log(lo_periods), std::log(hi_periods));
    const auto direction = [&] {
        const Vec3 v{normal(rng), normal(rng), normal(rng)};
        return v / orbelin::norm(v);
    };
    std::vector<Case> cases;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 r1 = radius(rng) * direction();
        const Vec3 r2 = radius(rng) * direction();
        const double s = (orbelin::norm(r1) + orbelin::norm(r2) + orbelin::norm(r2 - r1)) / 2.0;
        const double period = 2.0 * pi * std::sqrt(std::pow(s / 2.0, 3) / mu);
        cases.push_back({r1, r2, std::exp(log_frac(rng)) * period, i % 2 == 1});
    }
    return cases;
}

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Result {
    std::size_t solutions = 0;
    double seconds = 0.0;
    double checksum = 0.0;  // keeps the work observable
};

Result run_solve(const std::vector<Case>& cases, std::uint64_t max_rev) {
    Result r;
    const double t0 = thread_seconds();
    for (const Case& c : cases) {
        orbelin::lambert_izzo_visit(c.r1, c.r2, c.tof, {.mu = mu, .max_rev = max_rev, .retrograde = c.retrograde},
                                    std::nullopt, [&r](const LambertSolution& s) {
                                        ++r.solutions;
                                        r.checksum += s.v1.x + s.v2.y;
                                    });
    }
    r.seconds = thread_seconds() - t0;
    return r;
}

Result run_jacobian(const std::vector<Case>& cases, std::uint64_t max_rev) {
    Result r;
    const double t0 = thread_seconds();
    for (const Case& c : cases) {
        orbelin::lambert_izzo_jacobian_visit(c.r1, c.r2, c.tof,
                                             {.mu = mu, .max_rev = max_rev, .retrograde = c.retrograde},
                                             [&r](const LambertSolution& s, const LambertJacobian& j) {
                                                 ++r.solutions;
                                                 r.checksum += s.v1.x + s.v2.y + j[0] + j[20] + j[41];
                                             });
    }
    r.seconds = thread_seconds() - t0;
    return r;
}

void keep_min(Result& best, const Result& r) {
    if (best.solutions == 0 || r.seconds < best.seconds) best = r;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    std::printf("%-28s %10s %14s %14s %8s\n", "cases", "solutions", "solve ns/sol", "jacobian ns/sol", "ratio");
    struct Row {
        const char* label;
        std::uint64_t max_rev;
        double lo, hi;
    };
    for (const Row row :
         {Row{"direct arcs (max_rev 0)", 0, 0.05, 0.5}, Row{"max_rev 3, 0.05-4 periods", 3, 0.05, 4.0}}) {
        const std::vector<Case> cases = make_cases(n, 42, row.lo, row.hi);
        Result solve, jacobian;
        for (int k = 0; k < repeats; ++k) {
            keep_min(solve, run_solve(cases, row.max_rev));
            keep_min(jacobian, run_jacobian(cases, row.max_rev));
        }
        const double s = solve.seconds * 1e9 / static_cast<double>(solve.solutions);
        const double j = jacobian.seconds * 1e9 / static_cast<double>(jacobian.solutions);
        std::printf("%-28s %10zu %14.1f %14.1f %8.2f   (checksums %.6g %.6g)\n", row.label, solve.solutions, s, j,
                    j / s, solve.checksum, jacobian.checksum);
    }
    return 0;
}
