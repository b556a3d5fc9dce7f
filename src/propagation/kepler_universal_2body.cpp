// Universal-variable Kepler propagation (Vallado, "Fundamentals of Astrodynamics and Applications", Algorithm 8,
// KEPLER): Newton iteration on the universal anomaly chi (km^0.5) with the Stumpff functions c2 and c3, then the
// Lagrange f and g coefficients.
//
// Vallado's Newton iteration from his initial guesses is the first stage. It can wander: on very eccentric orbits
// over long intervals, and whenever the near-parabolic guess (|alpha| < 1e-6 in 1/km, which every heliocentric
// orbit meets) lands far from the answer, 50 steps are not enough. A case that has not converged then is finished
// by a safeguarded Newton-bisection on the same time equation, which always converges: the time equation
// F(chi) = chi^3 c3 + sigma0 chi^2 c2 + |r0| chi (1 - psi c3) - sqrt(mu) dt has the derivative dF/dchi = r >= 0,
// the current radius, so it is monotonic and has exactly one root.

#include "propagation/kepler_universal_2body.hpp"

#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/constants.hpp"
#include "common/sin_cos.hpp"
#include "common/system_resources.hpp"
#include "propagation/kepler_lanes.hpp"
#include "propagation/kepler_problem.hpp"

namespace orbelin {

namespace {

// Bisection halves the bracket each step: from any finite bracket the double grid is exhausted long before this.
constexpr int max_safeguarded_steps = 4200;

// Barker's equation solved as if r0 were at periapsis (Vallado's parabolic guess); p is the semi-latus rectum.
double parabolic_guess(const Vec3& r0, const Vec3& v0, double dt, double mu) noexcept {
    const Vec3 h = cross(r0, v0);
    const double p = dot(h, h) / mu;
    const double s = 0.5 * std::atan(1.0 / (3.0 * std::sqrt(mu / (p * p * p)) * dt));
    // A real power (tan s)^(1/3) is NaN for dt < 0, where tan s < 0; the odd cube root keeps the sign of dt and the
    // guess becomes the mirror image of the forward one, from which the iteration converges backwards in time.
    const double w = std::atan(std::cbrt(std::tan(s)));
    return 2.0 * std::sqrt(p) / std::tan(2.0 * w);
}

// Hyperbolic guess of Vallado's Algorithm 8, signed with dt so backward propagation starts on the incoming branch.
double hyperbolic_guess(const Vec3& r0, const Vec3& v0, double r0_norm, double alpha, double dt, double mu) noexcept {
    const double a = 1.0 / alpha;
    const double sgn = std::isnan(dt) ? dt : (std::signbit(dt) ? -1.0 : 1.0);
    return sgn * std::sqrt(-a) *
           std::log((-2.0 * mu * alpha * dt) / (dot(r0, v0) + sgn * std::sqrt(-mu * a) * (1.0 - r0_norm * alpha)));
}

// The terms of the universal-variable formulas at chi: chi^2, psi = alpha chi^2, the Stumpff functions and the
// radius r (km), which is also dF/dchi.
struct UniversalTerms {
    double chi2;
    double psi;
    double c2;
    double c3;
    double r;
};

// What the formulas need of the initial state: alpha = 1/a (1/km), sigma0 = r0.v0 / sqrt(mu), |r0| (km).
struct UniversalOrbit {
    double alpha;
    double sigma0;
    double r0_norm;

    UniversalTerms at(double chi) const noexcept {
        const double chi2 = chi * chi;
        const double psi = chi2 * alpha;
        const auto [c2, c3] = detail::stumpff_c2_c3(psi);
        return {chi2, psi, c2, c3, detail::universal_radius(chi, chi2, psi, c2, c3, sigma0, r0_norm)};
    }
};

UniversalOrbit orbit_of(const detail::KeplerProblem& p) noexcept { return {p.alpha, p.sigma0, p.r0_norm}; }

// The time equation of one propagation: F(chi) (km^1.5, sqrt(mu) times a time) and its derivative r (km).
struct TimeEquation {
    UniversalOrbit orbit;
    double sqrt_mu_dt;

    struct Value {
        double f;
        double r;
    };

    Value operator()(double chi) const noexcept {
        const auto [chi2, psi, c2, c3, r] = orbit.at(chi);
        const double f =
            chi2 * chi * c3 + orbit.sigma0 * chi2 * c2 + orbit.r0_norm * chi * (1.0 - psi * c3) - sqrt_mu_dt;
        return {f, r};
    }
};

// Second stage: Newton steps kept inside a bracket [lo, hi] of the root, bisection whenever a Newton step would
// leave it or would not shrink it fast enough (the rtsafe scheme, Press et al., Numerical Recipes, 9.4). `start`
// is where the first stage stopped (used when it lies in the bracket). Returns NaN when no bracket exists (the
// time equation overflows before changing sign).
double safeguarded_chi(const TimeEquation& eq, double dt, double start, double r0_norm, int& steps) noexcept {
    // F(0) = -sqrt(mu) dt, so the root lies on the side of 0 given by the sign of dt. Near 0, F grows at the rate
    // r0: the first trial end is the root of that line, then the end doubles until F changes sign.
    const double sgn = dt > 0.0 ? 1.0 : -1.0;
    double inner = 0.0;
    double outer = sgn * std::fmax(std::fabs(eq.sqrt_mu_dt) / r0_norm, detail::chi_tolerance);
    for (;;) {
        const double f = eq(outer).f;
        if (std::isnan(f) || std::isinf(outer)) return nan;
        if (sgn * f >= 0.0) break;
        inner = outer;
        outer *= 2.0;
    }
    double lo = sgn > 0.0 ? inner : outer;  // F(lo) < 0
    double hi = sgn > 0.0 ? outer : inner;  // F(hi) >= 0

    double chi = start > lo && start < hi ? start : lo + 0.5 * (hi - lo);
    double last_step = hi - lo;
    double step = last_step;
    for (steps = 1; steps <= max_safeguarded_steps; ++steps) {
        const auto [f, r] = eq(chi);
        if (f == 0.0) return chi;
        if (f < 0.0) {
            lo = chi;
        } else {
            hi = chi;
        }
        const double newton = chi - f / r;
        // At the root to rounding, Newton's point is the bracket end just set: the closed bracket accepts it.
        const bool use_newton = newton >= lo && newton <= hi && std::fabs(2.0 * f) <= std::fabs(last_step * r);
        const double next = use_newton ? newton : lo + 0.5 * (hi - lo);
        last_step = step;
        step = next - chi;
        chi = next;
        // The tolerance of the first stage, or the end of the double grid (no representable point in between).
        if (!(std::fabs(step) > detail::chi_tolerance) || chi == lo || chi == hi) {
            if (use_newton) return chi;
            // A bisection ended it: the root is within the tolerance of chi but no closer. One Newton step from
            // there, kept in the bracket, takes it to the accuracy a converged Newton iteration has.
            const auto [f_end, r_end] = eq(chi);
            const double polished = chi - f_end / r_end;
            return polished >= lo && polished <= hi ? polished : chi;
        }
    }
    return nan;
}

}  // namespace

detail::Stumpff detail::stumpff_c2_c3(double psi) noexcept {
    if (psi > stumpff_series_psi) {
        const double sq = std::sqrt(psi);
        const auto [sin_sq, cos_sq] = sin_cos(sq);
        return {(1.0 - cos_sq) / psi, (sq - sin_sq) / (sq * sq * sq)};
    }
    if (psi < -stumpff_series_psi) {
        const double sq = std::sqrt(-psi);
        return {(1.0 - std::cosh(sq)) / psi, (std::sinh(sq) - sq) / (sq * sq * sq)};
    }
    // c2 = sum (-psi)^k / (2k + 2)!, c3 = sum (-psi)^k / (2k + 3)!, k = 0 ... 7, by Horner's rule. For
    // |psi| <= 0.1 the terms shrink at least a hundredfold each; the eighth is below 1e-20 of the sum.
    const double x = -psi;
    double c2 = 0.0;
    double c3 = 0.0;
    for (int k = stumpff_series_terms - 1; k >= 0; --k) {
        c2 = c2 * x + inverse_factorials[2 * k + 2];
        c3 = c3 * x + inverse_factorials[2 * k + 3];
    }
    return {c2, c3};
}

namespace detail {

bool kepler_prepare(const State& state, double dt, double mu, KeplerProblem& p, KeplerSolve& done) noexcept {
    if (dt == 0.0) {
        done = {state, 0, 0, true};
        return false;
    }
    p.sqrt_mu = std::sqrt(mu);
    p.r0 = position(state);
    p.v0 = velocity(state);
    p.dt = dt;
    p.r0_norm = norm(p.r0);
    const double v0_norm = norm(p.v0);

    bool finite = std::isfinite(dt) && std::isfinite(mu) && mu > 0.0 && p.r0_norm > 0.0;
    for (double x : state) finite = finite && std::isfinite(x);
    if (!finite) {
        done = {{nan, nan, nan, nan, nan, nan}, 0, 0, false};
        return false;
    }

    p.sigma0 = dot(p.r0, p.v0) / p.sqrt_mu;
    p.alpha = 2.0 / p.r0_norm - v0_norm * v0_norm / mu;  // 1/a, 1/km
    if (std::fabs(p.alpha) < parabolic_alpha) {
        p.chi = parabolic_guess(p.r0, p.v0, dt, mu);
    } else if (p.alpha > 0.0) {
        p.chi = p.sqrt_mu * dt * p.alpha;
    } else {
        p.chi = hyperbolic_guess(p.r0, p.v0, p.r0_norm, p.alpha, dt, mu);
    }
    p.sqrt_mu_dt = p.sqrt_mu * dt;
    return true;
}

void kepler_second_stage(KeplerProblem& p, KeplerSolve& out) noexcept {
    // Not converged, or a guess or step that left the reals (the logarithm of the hyperbolic guess can see a
    // negative argument): the answer exists, so the bracketed stage finds it.
    if (!out.converged || !std::isfinite(p.chi)) {
        const TimeEquation eq{orbit_of(p), p.sqrt_mu_dt};
        p.chi = safeguarded_chi(eq, p.dt, p.chi, p.r0_norm, out.safeguarded_steps);
        out.converged = !std::isnan(p.chi);
    }
}

State kepler_final_state(const KeplerProblem& p) noexcept {
    const double chi = p.chi;
    const auto [chi2, psi, c2, c3, r] = orbit_of(p).at(chi);
    const auto [f, g, fdot, gdot] = lagrange_coefficients(chi, chi2, psi, c2, c3, r, p.dt, p.r0_norm, p.sqrt_mu);
    return make_state(f * p.r0 + g * p.v0, fdot * p.r0 + gdot * p.v0);
}

}  // namespace detail

KeplerSolve kepler_universal_2body_solve(const State& state, double dt, double mu) noexcept {
    detail::KeplerProblem p;
    KeplerSolve out;
    if (!detail::kepler_prepare(state, dt, mu, p, out)) return out;
    const UniversalOrbit orbit = orbit_of(p);
    for (int i = 0; i < detail::max_newton_steps; ++i) {
        const double chi = p.chi;
        const auto [chi2, psi, c2, c3, r] = orbit.at(chi);
        const double dchi = detail::newton_step_at(chi, chi2, psi, c2, c3, p.sigma0, p.r0_norm, p.sqrt_mu_dt, r);
        p.chi = chi + dchi;
        out.newton_steps = i + 1;
        if (std::fabs(dchi) <= detail::chi_tolerance) {
            out.converged = true;
            break;
        }
        if (std::isnan(dchi)) break;
    }
    detail::kepler_second_stage(p, out);
    out.state = detail::kepler_final_state(p);
    return out;
}

namespace detail {

namespace {

// Two doubles in one SSE2 register, part of the baseline x86-64 instruction set (elsewhere GCC and Clang lower
// them to pairs of scalar operations).
using f64x2 = double __attribute__((vector_size(16)));
using u64x2 = std::uint64_t __attribute__((vector_size(16)));

}  // namespace

void kepler_many_portable(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept {
    // Eight lanes (four vectors of two) keep enough independent chains in flight to hide the latency of a step.
    kepler_many_lanes<f64x2, u64x2, 8>(states, dt, out, n, mu);
}

#if !ORBELIN_LANE_KERNELS
// Builds without the lane kernels never choose them (instruction_set_supported is false for their sets).
void kepler_many_avx2(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept {
    kepler_many_portable(states, dt, out, n, mu);
}
void kepler_many_avx512(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept {
    kepler_many_portable(states, dt, out, n, mu);
}
#endif

namespace {

using KeplerManyKernel = void (*)(const State*, const double*, State*, std::size_t, double) noexcept;

// The kernel of kepler_universal_2body_many, set once at load time; read on every call from any thread.
std::atomic<KeplerManyKernel> kepler_many_kernel{&kepler_many_portable};

}  // namespace

}  // namespace detail

void use_kepler_kernels(InstructionSet isa) noexcept {
    detail::KeplerManyKernel kernel = &detail::kepler_many_portable;
    if (isa == InstructionSet::avx2) kernel = &detail::kepler_many_avx2;
    if (isa == InstructionSet::avx512) kernel = &detail::kepler_many_avx512;
    detail::kepler_many_kernel.store(kernel, std::memory_order_relaxed);
}

void kepler_universal_2body_many(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept {
    detail::kepler_many_kernel.load(std::memory_order_relaxed)(states, dt, out, n, mu);
}

}  // namespace orbelin
