// Universal-variable Kepler propagation (Vallado, "Fundamentals of Astrodynamics and Applications", Algorithm 8,
// KEPLER): Newton iteration on the universal anomaly chi (km^0.5) with the Stumpff functions c2 and c3, then the
// Lagrange f and g coefficients.

#include "propagation/kepler_universal_2body.hpp"

#include <cmath>

#include "common/constants.hpp"

namespace orbelin {

namespace {

// Below this |alpha| (1/km) the orbit is treated as parabolic for the initial guess.
constexpr double parabolic_alpha = 1e-6;
// Around psi = 0 the closed forms of c2 and c3 lose every digit to cancellation; their limits are used instead.
constexpr double stumpff_series_psi = 1e-6;
constexpr double chi_tolerance = 1e-8;
constexpr int max_iterations = 50;

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
double hyperbolic_guess(const Vec3& r0, const Vec3& v0, double r0_norm, double alpha, double dt,
                        double mu) noexcept {
    const double a = 1.0 / alpha;
    const double sgn = std::isnan(dt) ? dt : (std::signbit(dt) ? -1.0 : 1.0);
    return sgn * std::sqrt(-a) *
           std::log((-2.0 * mu * alpha * dt) /
                    (dot(r0, v0) + sgn * std::sqrt(-mu * a) * (1.0 - r0_norm * alpha)));
}

struct Stumpff {
    double c2;
    double c3;
};

// Stumpff functions c2(psi), c3(psi) with psi = chi^2 * alpha (positive on ellipses, negative on hyperbolas).
Stumpff stumpff_c2_c3(double psi) noexcept {
    if (psi > stumpff_series_psi) {
        const double sq = std::sqrt(psi);
        return {(1.0 - std::cos(sq)) / psi, (sq - std::sin(sq)) / (sq * sq * sq)};
    }
    if (psi < -stumpff_series_psi) {
        const double sq = std::sqrt(-psi);
        return {(1.0 - std::cosh(sq)) / psi, (std::sinh(sq) - sq) / (sq * sq * sq)};
    }
    return {0.5, 1.0 / 6.0};
}

}  // namespace

State kepler_universal_2body(const State& state, double dt, double mu) noexcept {
    // No time elapses: the input is the answer for every conic. Iterating would not reproduce it exactly, and the
    // hyperbolic guess would take ln(0) and return NaN.
    if (dt == 0.0) {
        return state;
    }

    const double sqrt_mu = std::sqrt(mu);
    const Vec3 r0 = position(state);
    const Vec3 v0 = velocity(state);
    const double r0_norm = norm(r0);
    const double v0_norm = norm(v0);
    const double sigma0 = dot(r0, v0) / sqrt_mu;
    const double alpha = 2.0 / r0_norm - v0_norm * v0_norm / mu;  // 1/a, 1/km

    double chi;
    if (std::fabs(alpha) < parabolic_alpha) {
        chi = parabolic_guess(r0, v0, dt, mu);
    } else if (alpha > 0.0) {
        chi = sqrt_mu * dt * alpha;
    } else {
        chi = hyperbolic_guess(r0, v0, r0_norm, alpha, dt, mu);
    }

    const double sqrt_mu_dt = sqrt_mu * dt;
    for (int i = 0; i < max_iterations; ++i) {
        const double chi2 = chi * chi;
        const double psi = chi2 * alpha;
        const auto [c2, c3] = stumpff_c2_c3(psi);
        const double r = chi2 * c2 + sigma0 * chi * (1.0 - psi * c3) + r0_norm * (1.0 - psi * c2);
        const double dchi = (sqrt_mu_dt - chi2 * chi * c3 - sigma0 * chi2 * c2 - r0_norm * chi * (1.0 - psi * c3)) / r;
        chi += dchi;
        // Written so that a NaN step also stops the iteration; the NaN then reaches the result.
        if (!(std::fabs(dchi) > chi_tolerance)) {
            break;
        }
    }

    const double chi2 = chi * chi;
    const double psi = chi2 * alpha;
    const auto [c2, c3] = stumpff_c2_c3(psi);
    const double r = chi2 * c2 + sigma0 * chi * (1.0 - psi * c3) + r0_norm * (1.0 - psi * c2);

    const double f = 1.0 - chi2 * c2 / r0_norm;
    const double g = dt - chi2 * chi * c3 / sqrt_mu;
    const double fdot = sqrt_mu * chi * (psi * c3 - 1.0) / (r * r0_norm);
    const double gdot = 1.0 - chi2 * c2 / r;

    return make_state(f * r0 + g * v0, fdot * r0 + gdot * v0);
}

}  // namespace orbelin
