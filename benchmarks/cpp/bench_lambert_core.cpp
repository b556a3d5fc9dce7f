// Microbenchmark of the bare Izzo Lambert core and of the transfer elements, one thread:
// nanoseconds per solution for seeded random zero-revolution cases and for max_rev = 3, through the
// allocation-free visiting form and the vector form, and the same solves annotated with the nine transfer
// elements of every arc (elements ns = annotated - visit), and the elements alone on stored arcs (direct: one arc a
// call; batch: compute_transfer_orbit_elements_batch through each kernel the CPU runs).
//
// Times are the thread's CPU time (CLOCK_THREAD_CPUTIME_ID), best of --repeats runs, so that other processes on
// the machine inflate them less than wall time would; on an idle machine the two agree.
//
// Usage: bench_lambert_core [cases] [repeats]   (default 1000000, 3)
//
// The "before" figures of the benchmark script come from this same file built against an older core with
// -DORBELIN_BENCH_BASELINE, which annotates through the public per-arc element routine instead of the
// solver's annotated visit.

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "orbit/transfer_elements.hpp"
#include "solver/lambert_izzo.hpp"
#ifndef ORBELIN_BENCH_BASELINE
#include "solver/lambert_impulses.hpp"
#endif

namespace {

using orbelin::LambertSolution;
using orbelin::TransferElements;
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

// The cases come in chunks of this many with one direction of motion, as a batch call hands them to its tasks
// (one direction per call, at most 256 cases per task).
constexpr std::size_t chunk = 256;

// Radii 6600-42000 km in any direction; tof log-uniform between the given
// fractions of the period of the minimum-energy ellipse; the direction drawn per chunk.
std::vector<Case> make_cases(std::size_t n, std::uint64_t seed, double lo_periods, double hi_periods) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> radius(6600.0, 42000.0);
    std::uniform_real_distribution<double> log_frac(std::log(lo_periods), std::log(hi_periods));
    std::bernoulli_distribution coin(0.5);
    std::vector<Case> cases;
    cases.reserve(n);
    bool retrograde = false;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 r1 = radius(rng) * random_direction(rng);
        const Vec3 r2 = radius(rng) * random_direction(rng);
        const double s = (orbelin::norm(r1) + orbelin::norm(r2) + orbelin::norm(r2 - r1)) / 2.0;
        const double period = 2.0 * pi * std::sqrt(std::pow(s / 2.0, 3) / mu);
        if (i % chunk == 0) retrograde = coin(rng);
        cases.push_back({r1, r2, std::exp(log_frac(rng)) * period, retrograde});
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

template <class Body>
Result timed(const std::vector<Case>& cases, Body body) {
    Result r;
    const double t0 = thread_seconds();
    for (const Case& c : cases) body(c, r);
    r.seconds = thread_seconds() - t0;
    return r;
}

Result run_vector(const std::vector<Case>& cases, std::uint64_t max_rev) {
    return timed(cases, [max_rev](const Case& c, Result& r) {
        const auto sols = orbelin::lambert_izzo_single_impl(c.r1, c.r2, c.tof,
                                                            {.mu = mu, .max_rev = max_rev, .retrograde = c.retrograde});
        r.solutions += sols.size();
        for (const LambertSolution& s : sols) r.checksum += s.v1.x + s.v2.y;
    });
}

Result run_visit(const std::vector<Case>& cases, std::uint64_t max_rev) {
    return timed(cases, [max_rev](const Case& c, Result& r) {
        orbelin::lambert_izzo_visit(c.r1, c.r2, c.tof, {.mu = mu, .max_rev = max_rev, .retrograde = c.retrograde},
                                    std::nullopt, [&r](const LambertSolution& s) {
                                        ++r.solutions;
                                        r.checksum += s.v1.x + s.v2.y;
                                    });
    });
}

// The solves annotated as a batch call annotates them: the older core arc by arc through the public element
// routine, the newer chunk by chunk through visit_annotated_cases.
Result run_annotated(const std::vector<Case>& cases, std::uint64_t max_rev) {
    Result r;
    auto sink = [&r](const LambertSolution& s, const TransferElements& e) {
        ++r.solutions;
        r.checksum += s.v1.x + s.v2.y + e.sma + e.ecc + e.inc + e.raan + e.argp + e.ta_depart + e.ta_arrive;
    };
    const double t0 = thread_seconds();
#ifdef ORBELIN_BENCH_BASELINE
    for (const Case& c : cases) {
        orbelin::lambert_izzo_visit(c.r1, c.r2, c.tof, {.mu = mu, .max_rev = max_rev, .retrograde = c.retrograde},
                                    std::nullopt, [&](const LambertSolution& s) {
                                        sink(s, orbelin::compute_transfer_orbit_elements(c.r1, s.v1, c.r2, s.v2, mu));
                                    });
    }
#else
    for (std::size_t begin = 0; begin < cases.size(); begin += chunk) {
        const std::size_t end = std::min(cases.size(), begin + chunk);
        const orbelin::LambertSettings options{.mu = mu, .max_rev = max_rev, .retrograde = cases[begin].retrograde};
        orbelin::visit_annotated_cases(
            begin, end, [&](std::size_t c) { return orbelin::LambertCase{cases[c].r1, cases[c].r2, cases[c].tof}; },
            options, [&](std::size_t, const LambertSolution& s, const TransferElements& e) { sink(s, e); });
    }
#endif
    r.seconds = thread_seconds() - t0;
    return r;
}

// The nine elements alone, on arcs solved beforehand (untimed): the cost of compute_transfer_orbit_elements itself,
// without the interleaving with the solver that the annotated form measures. It gets the ends as the annotated
// solve gives them: the older core recomputes them from the positions, the newer reuses the solver's.
Result run_elements(const std::vector<Case>& cases, std::uint64_t max_rev) {
    struct Arc {
        Vec3 r1, r2, v1, v2;
    };
    std::vector<Arc> arcs;
    for (const Case& c : cases) {
        orbelin::lambert_izzo_visit(c.r1, c.r2, c.tof, {.mu = mu, .max_rev = max_rev, .retrograde = c.retrograde},
                                    std::nullopt,
                                    [&](const LambertSolution& s) { arcs.push_back({c.r1, c.r2, s.v1, s.v2}); });
    }
#ifndef ORBELIN_BENCH_BASELINE
    std::vector<orbelin::ArcEnds> ends;
    ends.reserve(arcs.size());
    for (const Arc& a : arcs) ends.push_back(orbelin::arc_ends(a.r1, a.r2));
#endif
    Result r;
    const double t0 = thread_seconds();
    for (std::size_t i = 0; i < arcs.size(); ++i) {
        const Arc& a = arcs[i];
#ifdef ORBELIN_BENCH_BASELINE
        const TransferElements e = orbelin::compute_transfer_orbit_elements(a.r1, a.v1, a.r2, a.v2, mu);
#else
        const TransferElements e = orbelin::compute_transfer_orbit_elements(ends[i], a.v1, a.v2, mu);
#endif
        r.checksum += e.sma + e.ecc + e.inc + e.raan + e.argp + e.ta_depart + e.ta_arrive;
    }
    r.seconds = thread_seconds() - t0;
    r.solutions = arcs.size();
    return r;
}

#ifndef ORBELIN_BENCH_BASELINE
// The elements alone on the same stored arcs through a kernel of compute_transfer_orbit_elements_batch, 32 arcs a
// call as the batch functions hand them over.
using ElementsKernel = void (*)(const orbelin::ArcStates*, std::size_t, double, TransferElements*) noexcept;

Result run_elements_batch(const std::vector<Case>& cases, std::uint64_t max_rev, ElementsKernel kernel) {
    std::vector<orbelin::ArcStates> arcs;
    for (const Case& c : cases) {
        const orbelin::ArcEnds ends = orbelin::arc_ends(c.r1, c.r2);
        orbelin::lambert_izzo_visit(c.r1, c.r2, c.tof, {.mu = mu, .max_rev = max_rev, .retrograde = c.retrograde},
                                    std::nullopt,
                                    [&](const LambertSolution& s) { arcs.push_back({ends, s.v1, s.v2}); });
    }
    std::vector<TransferElements> out(arcs.size());
    Result r;
    const double t0 = thread_seconds();
    for (std::size_t i = 0; i < arcs.size(); i += 32) {
        kernel(arcs.data() + i, std::min<std::size_t>(32, arcs.size() - i), mu, out.data() + i);
    }
    r.seconds = thread_seconds() - t0;
    for (const TransferElements& e : out)
        r.checksum += e.sma + e.ecc + e.inc + e.raan + e.argp + e.ta_depart + e.ta_arrive;
    r.solutions = arcs.size();
    return r;
}

struct BatchKernel {
    const char* name;
    bool runs;
    ElementsKernel kernel;
};

const BatchKernel batch_kernels[] = {{"batch off", true, &orbelin::detail::transfer_elements_portable},
                                     {"batch avx2", ORBELIN_LANE_KERNELS && __builtin_cpu_supports("avx2") != 0,
                                      &orbelin::detail::transfer_elements_avx2},
                                     {"batch avx512", ORBELIN_LANE_KERNELS && __builtin_cpu_supports("avx512f") != 0,
                                      &orbelin::detail::transfer_elements_avx512}};
constexpr std::size_t batch_kernel_count = sizeof batch_kernels / sizeof batch_kernels[0];
#else
constexpr std::size_t batch_kernel_count = 0;
#endif

struct Best {
    Result visit, vector, annotated, elements;
    Result batch[batch_kernel_count + 1];
};

void keep_min(Result& best, const Result& r) {
    if (best.solutions == 0 || r.seconds < best.seconds) best = r;
}

void print_row(const char* label, const char* form, std::size_t cases, const Result& r) {
    std::printf("%-24s %-9s %9zu %10zu %10.1f %12.1f   (checksum %.6g)\n", label, form, cases, r.solutions,
                r.seconds * 1e9 / static_cast<double>(cases), r.seconds * 1e9 / static_cast<double>(r.solutions),
                r.checksum);
}

// "elements": annotated minus visit, what annotating adds to a solve; "direct": the elements alone on stored arcs.
void print_elements(const char* label, const Best& b) {
    const double per_solution = (b.annotated.seconds - b.visit.seconds) * 1e9 / static_cast<double>(b.visit.solutions);
    std::printf("%-24s %-9s %9s %10zu %10s %12.1f\n", label, "elements", "", b.visit.solutions, "", per_solution);
    std::printf("%-24s %-9s %9s %10zu %10s %12.1f\n", label, "direct", "", b.elements.solutions, "",
                b.elements.seconds * 1e9 / static_cast<double>(b.elements.solutions));
#ifndef ORBELIN_BENCH_BASELINE
    for (std::size_t k = 0; k < batch_kernel_count; ++k) {
        if (!batch_kernels[k].runs) continue;
        std::printf("%-24s %-12s %6s %10zu %10s %12.1f\n", label, batch_kernels[k].name, "", b.batch[k].solutions, "",
                    b.batch[k].seconds * 1e9 / static_cast<double>(b.batch[k].solutions));
    }
#endif
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t n = 1'000'000;
    int repeats = 3;
    if (argc > 1) n = static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10));
    if (argc > 2) repeats = std::atoi(argv[2]);
    if (n == 0) n = 1;
    if (repeats < 1) repeats = 1;

    const auto direct = make_cases(n, 12345, 0.02, 2.0);
    const auto multi = make_cases(n, 67890, 0.02, 4.0);

    // Warm-up (caches, page faults of the first allocations).
    const std::size_t warm = n < 10000 ? n : 10000;
    (void)run_vector(std::vector<Case>(direct.begin(), direct.begin() + static_cast<std::ptrdiff_t>(warm)), 3);

    Best zero, three;
    for (int k = 0; k < repeats; ++k) {
        keep_min(zero.visit, run_visit(direct, 0));
        keep_min(zero.vector, run_vector(direct, 0));
        keep_min(zero.annotated, run_annotated(direct, 0));
        keep_min(three.visit, run_visit(multi, 3));
        keep_min(three.vector, run_vector(multi, 3));
        keep_min(three.annotated, run_annotated(multi, 3));
        keep_min(zero.elements, run_elements(direct, 0));
        keep_min(three.elements, run_elements(multi, 3));
#ifndef ORBELIN_BENCH_BASELINE
        for (std::size_t b = 0; b < batch_kernel_count; ++b) {
            if (!batch_kernels[b].runs) continue;
            keep_min(zero.batch[b], run_elements_batch(direct, 0, batch_kernels[b].kernel));
            keep_min(three.batch[b], run_elements_batch(multi, 3, batch_kernels[b].kernel));
        }
#endif
    }

    std::printf("Izzo Lambert core, single thread, tol 1e-8, maxiter 50; thread CPU time, best of %d\n", repeats);
    std::printf("%-24s %-9s %9s %10s %10s %12s\n", "problem", "form", "cases", "solutions", "ns/case", "ns/solution");
    print_row("zero-rev (max_rev = 0)", "visit", n, zero.visit);
    print_row("zero-rev (max_rev = 0)", "vector", n, zero.vector);
    print_row("zero-rev (max_rev = 0)", "annotated", n, zero.annotated);
    print_elements("zero-rev (max_rev = 0)", zero);
    print_row("max_rev = 3", "visit", n, three.visit);
    print_row("max_rev = 3", "vector", n, three.vector);
    print_row("max_rev = 3", "annotated", n, three.annotated);
    print_elements("max_rev = 3", three);
    return 0;
}
