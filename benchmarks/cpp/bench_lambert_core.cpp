// Microbenchmark of the bare Izzo Lambert core, one thread:
// nanoseconds per solution for seeded random zero-revolution cases and for
// max_rev = 3, through the vector form and the allocation-free visiting form.
//
// Usage: bench_lambert_core [cases]   (default 1000000)

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "solver/lambert_izzo.hpp"

namespace {

using orbelin::LambertSolution;
using orbelin::Vec3;

constexpr double mu = 398600.4418;
constexpr double pi = 3.141592653589793;

struct Case {
    Vec3 r1;
    Vec3 r2;
    double tof;
    bool retrograde;
};

Vec3 random_direction(std::mt19937_64& rng) {
    std::normal_distribution<double> n(0.0, 1.0);
    for (;;) {
        const Vec3 v{n(rng), n(rng), n(rng)};
        const double len = orbelin::norm(v);
        if (len > 1e-3) return v / len;
    }
}

// Radii 6600-42000 km in any direction; tof log-uniform between the given
// fractions of the period of the minimum-energy ellipse.
std::vector<Case> make_cases(std::size_t n, std::uint64_t seed, double lo_periods, double hi_periods) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> radius(6600.0, 42000.0);
    std::uniform_real_distribution<double> log_frac(std::log(lo_periods), std::log(hi_periods));
    std::bernoulli_distribution coin(0.5);
    std::vector<Case> cases;
    cases.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 r1 = radius(rng) * random_direction(rng);
        const Vec3 r2 = radius(rng) * random_direction(rng);
        const double s = (orbelin::norm(r1) + orbelin::norm(r2) + orbelin::norm(r2 - r1)) / 2.0;
        const double period = 2.0 * pi * std::sqrt(std::pow(s / 2.0, 3) / mu);
        cases.push_back({r1, r2, std::exp(log_frac(rng)) * period, coin(rng)});
    }
    return cases;
}

struct Result {
    std::size_t solutions = 0;
    double seconds = 0.0;
    double checksum = 0.0;  // keeps the work observable
};

Result run_vector(const std::vector<Case>& cases, std::uint64_t max_rev) {
    Result r;
    const auto t0 = std::chrono::steady_clock::now();
    for (const Case& c : cases) {
        const auto sols =
            orbelin::lambert_izzo_single_impl(c.r1, c.r2, c.tof, mu, max_rev, c.retrograde, 1e-8, 50, false);
        r.solutions += sols.size();
        for (const LambertSolution& s : sols) r.checksum += s.v1.x + s.v2.y;
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

Result run_visit(const std::vector<Case>& cases, std::uint64_t max_rev) {
    Result r;
    const auto t0 = std::chrono::steady_clock::now();
    for (const Case& c : cases) {
        orbelin::lambert_izzo_visit(c.r1, c.r2, c.tof, mu, max_rev, c.retrograde, 1e-8, 50, false, std::nullopt,
                                    [&r](const LambertSolution& s) {
                                        ++r.solutions;
                                        r.checksum += s.v1.x + s.v2.y;
                                    });
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

void print_row(const char* label, const char* form, std::size_t cases, const Result& r) {
    std::printf("%-24s %-7s %9zu %10zu %10.1f %12.1f   (checksum %.6g)\n", label, form, cases, r.solutions,
                r.seconds * 1e9 / static_cast<double>(cases), r.seconds * 1e9 / static_cast<double>(r.solutions),
                r.checksum);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t n = 1'000'000;
    if (argc > 1) n = static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10));
    if (n == 0) n = 1;

    const auto direct = make_cases(n, 12345, 0.02, 2.0);
    const auto multi = make_cases(n, 67890, 0.02, 4.0);

    // Warm-up (caches, page faults of the first allocations).
    const std::size_t warm = n < 10000 ? n : 10000;
    (void)run_vector(std::vector<Case>(direct.begin(), direct.begin() + static_cast<std::ptrdiff_t>(warm)), 3);

    std::printf("Izzo Lambert core, single thread, tol 1e-8, maxiter 50\n");
    std::printf("%-24s %-7s %9s %10s %10s %12s\n", "problem", "form", "cases", "solutions", "ns/case", "ns/solution");
    print_row("zero-rev (max_rev = 0)", "vector", n, run_vector(direct, 0));
    print_row("zero-rev (max_rev = 0)", "visit", n, run_visit(direct, 0));
    print_row("max_rev = 3", "vector", n, run_vector(multi, 3));
    print_row("max_rev = 3", "visit", n, run_visit(multi, 3));
    return 0;
}
