// Microbenchmark of the Householder solves alone, per kernel of householder_jobs: the portable one (two scalar
// solves interleaved) and the AVX2 and AVX-512F lanes where the CPU has them. The jobs are the initial guesses of
// every arc of seeded random problems (radii 6600-42000 km, times of flight log-uniform from 0.02 to 4 periods of
// the minimum-energy ellipse, max_rev 0 and 3), solved in runs of 64 jobs as the batch functions hand them over.
//
// Times are the thread's CPU time, best of `repeats` runs, in nanoseconds per solve.
//
// Usage: bench_householder [problems] [repeats]   (default 200000, 5)

#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "common/system_resources.hpp"
#include "solver/lambert_izzo.hpp"

namespace {

using orbelin::HouseholderJob;
using orbelin::Vec3;

constexpr double mu = 398600.4418;
constexpr double pi = 3.141592653589793;
constexpr std::size_t run = 64;

Vec3 random_direction(std::mt19937_64& rng) {
    std::normal_distribution<double> n(0.0, 1.0);
    const Vec3 v{n(rng), n(rng), n(rng)};
    return v / orbelin::norm(v);
}

std::vector<HouseholderJob> make_jobs(std::size_t problems, std::uint64_t max_rev) {
    std::mt19937_64 rng(16 + max_rev);
    std::uniform_real_distribution<double> radius(6600.0, 42000.0);
    std::uniform_real_distribution<double> log_frac(std::log(0.02), std::log(4.0));
    std::vector<HouseholderJob> jobs;
    const orbelin::LambertSettings s{.mu = mu, .max_rev = max_rev};
    for (std::size_t i = 0; i < problems; ++i) {
        const Vec3 r1 = radius(rng) * random_direction(rng);
        const Vec3 r2 = radius(rng) * random_direction(rng);
        const double semi = (orbelin::norm(r1) + orbelin::norm(r2) + orbelin::norm(r2 - r1)) / 2.0;
        const double tof = std::exp(log_frac(rng)) * 2.0 * pi * std::sqrt(std::pow(semi / 2.0, 3) / mu);
        orbelin::detail::IzzoProblem p;
        if (!orbelin::detail::izzo_setup(r1, r2, tof, s, std::nullopt, p)) continue;
        jobs.push_back({orbelin::detail::izzo_direct_guess(p), p.T, p.lambda, 0});
        for (std::uint64_t m = 1; m <= p.revs; ++m) {
            jobs.push_back({orbelin::detail::izzo_multi_guess(p, m, true), p.T, p.lambda, m});
            jobs.push_back({orbelin::detail::izzo_multi_guess(p, m, false), p.T, p.lambda, m});
        }
    }
    return jobs;
}

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

using Kernel = void (*)(HouseholderJob*, std::size_t, double, std::uint64_t) noexcept;

// Best time per solve over `repeats` runs of the kernel over fresh copies of the jobs; the checksum of the
// solutions keeps the work observable and shows that the kernels agree.
double time_kernel(Kernel kernel, const std::vector<HouseholderJob>& jobs, int repeats, double& checksum) {
    double best = 1e300;
    for (int k = 0; k < repeats; ++k) {
        std::vector<HouseholderJob> work = jobs;
        const double t0 = thread_seconds();
        for (std::size_t at = 0; at < work.size(); at += run) {
            kernel(work.data() + at, std::min(run, work.size() - at), 1e-8, 50);
        }
        best = std::min(best, thread_seconds() - t0);
        checksum = 0.0;
        for (const HouseholderJob& j : work) checksum += j.x;
    }
    return best * 1e9 / static_cast<double>(jobs.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t problems = 200'000;
    int repeats = 5;
    if (argc > 1) problems = static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10));
    if (argc > 2) repeats = std::atoi(argv[2]);
    if (repeats < 1) repeats = 1;
    struct Path {
        const char* name;
        orbelin::InstructionSet isa;
        Kernel kernel;
    };
    const Path paths[] = {
        {"off", orbelin::InstructionSet::portable, &orbelin::detail::householder_jobs_portable},
        {"avx2", orbelin::InstructionSet::avx2, &orbelin::detail::householder_jobs_avx2},
        {"avx512", orbelin::InstructionSet::avx512, &orbelin::detail::householder_jobs_avx512},
    };
    std::printf("Householder solves, tol 1e-8, maxiter 50, runs of %zu jobs; thread CPU time, best of %d\n", run,
                repeats);
    std::printf("%-8s %-7s %9s %12s   checksum\n", "max_rev", "path", "solves", "ns/solve");
    for (const std::uint64_t max_rev : {std::uint64_t{0}, std::uint64_t{3}}) {
        const std::vector<HouseholderJob> jobs = make_jobs(problems, max_rev);
        for (const Path& p : paths) {
            if (!orbelin::instruction_set_supported(p.isa)) continue;
            double checksum = 0.0;
            const double ns = time_kernel(p.kernel, jobs, repeats, checksum);
            std::printf("%-8llu %-7s %9zu %12.1f   %.17g\n", static_cast<unsigned long long>(max_rev), p.name,
                        jobs.size(), ns, checksum);
        }
    }
    return 0;
}
