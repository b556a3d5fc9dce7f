#pragma once
// Householder solves of Izzo's time equation T(x) = T_target, one at a time or many together, and the lane kernels
// that solve several at once with AVX2 or AVX-512F. This header declares only plain functions and types, so that
// the translation units compiled for those instruction sets can include it without defining anything that code
// compiled for the baseline shares.

#include <cstddef>
#include <cstdint>

namespace orbelin {

// Householder (third-order) root finder for T(x) = T_target, improving x in
// place; stops when a step is at most `tol` (or NaN) or after `maxiter` steps.
// Does nothing when tol >= 1 or maxiter == 0.
void householder(double& x, std::uint64_t M, std::uint64_t maxiter, double T_target, double tol,
                 double lambda) noexcept;

// One Householder solve among many: the initial guess in x (the solution on return), the revolutions M and the
// problem's T and lambda.
struct HouseholderJob {
    double x = 0.0;
    double T = 0.0;
    double lambda = 0.0;
    std::uint64_t M = 0;
};

// householder(jobs[k].x, jobs[k].M, maxiter, jobs[k].T, tol, jobs[k].lambda) for k = 0 .. n-1, bit for bit, with
// several solves in flight at once so that their chains of dependent operations overlap; each stops at its own
// convergence. The kernel is the one chosen by use_householder_kernels (the portable one until then).
void householder_jobs(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept;

// Solves interleaved by the portable kernel of householder_jobs. Two measured faster than four or eight on the
// 2-core x86-64 machine of the benchmarks (282 against 296 and 291 ns per solution of a batch): the lanes' steps
// take different time formulas, and the branches between them are mispredicted more often the more lanes
// interleave.
inline constexpr std::size_t householder_lanes = 2;

enum class InstructionSet : std::uint8_t;

// Makes householder_jobs use the kernel of `isa` from now on; the caller has checked that the machine runs it
// (instruction_set_supported). Called once, when the module is loaded, before any solve.
void use_householder_kernels(InstructionSet isa) noexcept;

// The iteration loops ask whether their call has been interrupted once every interrupt_poll_mask + 1 steps
// (a fraction of a millisecond of Householder steps).
inline constexpr std::uint64_t interrupt_poll_mask = 4095;

// Declared with the worker pool (parallel/thread_pool.hpp): whether the call running on this thread has been
// interrupted.
bool stop_requested() noexcept;

namespace detail {

// The kernels behind householder_jobs, each with the contract of householder_jobs: two scalar solves interleaved
// (any machine), and one solve per lane of 4 (AVX2) or 8 (AVX-512F) doubles. The lane kernels exist only in
// builds for x86-64 with GCC or Clang (ORBELIN_LANE_KERNELS) and may run only where the CPU has their instructions.
void householder_jobs_portable(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept;
void householder_jobs_avx2(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept;
void householder_jobs_avx512(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept;

// T(x), y and 1 / (1 - x^2) of Lagrange's form or Battin's series (|x - 1| < 0.2 and not 0.01): the scalar code that
// the lane kernels call for a lane in those zones, out of line.
struct NearParabolicTof {
    double T;
    double y;
    double inv_umx2;
};
NearParabolicTof near_parabolic_tof(std::uint64_t M, double x, double lambda) noexcept;

}  // namespace detail

}  // namespace orbelin
