#pragma once
// The parts of the universal-variable propagation that the scalar routine and the lane kernels of
// kepler_universal_2body_many share: one propagation's constants, its set-up and its finish (out of line, compiled
// for the baseline instruction set), and the formulas of a Newton step as templates over the lane type, so that
// every path takes the same IEEE operations in the same order.

#include <cstddef>

#include "common/lanes.hpp"
#include "common/vec3.hpp"
#include "propagation/kepler_universal_2body.hpp"

namespace orbelin::detail {

// Below this |alpha| (1/km) the orbit is treated as parabolic for the initial guess.
inline constexpr double parabolic_alpha = 1e-6;
// Below this |psi| the closed forms of c2 and c3 lose more than about two digits to cancellation (the error of
// c3 grows as 6 eps / psi); the Maclaurin series is used instead.
inline constexpr double stumpff_series_psi = 0.1;
inline constexpr int stumpff_series_terms = 8;
inline constexpr double chi_tolerance = 1e-8;
inline constexpr int max_newton_steps = 50;

// The radius r (km) at chi, from chi^2, psi and the Stumpff functions there; V is a double or a vector of them.
template <class V>
ORBELIN_LANE_INLINE V universal_radius(V chi, V chi2, V psi, V c2, V c3, V sigma0, V r0_norm) noexcept {
    return chi2 * c2 + sigma0 * chi * (1.0 - psi * c3) + r0_norm * (1.0 - psi * c2);
}

// The Newton step of the time equation at chi, whose derivative there is r.
template <class V>
ORBELIN_LANE_INLINE V newton_step_at(V chi, V chi2, V psi, V c2, V c3, V sigma0, V r0_norm, V sqrt_mu_dt,
                                     V r) noexcept {
    return (sqrt_mu_dt - chi2 * chi * c3 - sigma0 * chi2 * c2 - r0_norm * chi * (1.0 - psi * c3)) / r;
}

// The Lagrange coefficients at the final chi: position = f r0 + g v0, velocity = fdot r0 + gdot v0.
template <class V>
struct Lagrange {
    V f;
    V g;
    V fdot;
    V gdot;
};

template <class V>
ORBELIN_LANE_INLINE Lagrange<V> lagrange_coefficients(V chi, V chi2, V psi, V c2, V c3, V r, V dt, V r0_norm,
                                                      V sqrt_mu) noexcept {
    return {1.0 - chi2 * c2 / r0_norm, dt - chi2 * chi * c3 / sqrt_mu, sqrt_mu * chi * (psi * c3 - 1.0) / (r * r0_norm),
            1.0 - chi2 * c2 / r};
}

// One propagation between its initial guess and its answer: the constants of its time equation and chi.
struct KeplerProblem {
    Vec3 r0, v0;
    double dt = 0.0;
    double sqrt_mu = 0.0;
    double r0_norm = 0.0;
    double sigma0 = 0.0;  // r0 . v0 / sqrt(mu)
    double alpha = 0.0;   // 1/a, 1/km
    double sqrt_mu_dt = 0.0;
    double chi = 0.0;
};

// The problem of (state, dt), or its answer in `done` when there is nothing to iterate: no time elapses (the
// input is the answer for every conic; iterating would not reproduce it exactly, and the hyperbolic guess would
// take ln(0) and return NaN), or the input is not finite.
bool kepler_prepare(const State& state, double dt, double mu, KeplerProblem& p, KeplerSolve& done) noexcept;

// After the first stage has left p.chi with out.converged set or not: the bracketed second stage where it is
// needed.
void kepler_second_stage(KeplerProblem& p, KeplerSolve& out) noexcept;

// The state at the final p.chi (the universal terms and the Lagrange coefficients there).
State kepler_final_state(const KeplerProblem& p) noexcept;

// The kernels behind kepler_universal_2body_many: two doubles per vector (SSE2 on x86-64, pairs of scalar
// operations elsewhere), four (AVX2) and eight (AVX-512F). The lane kernels exist only in builds with
// ORBELIN_LANE_KERNELS and may run only where the CPU has their instructions.
void kepler_many_portable(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept;
void kepler_many_avx2(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept;
void kepler_many_avx512(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept;

}  // namespace orbelin::detail
