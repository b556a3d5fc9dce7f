#pragma once
// Partial derivatives of Izzo's Lambert arcs: for every arc the solver returns, the 6x7 Jacobian of the terminal
// velocities (v1, v2) with respect to the positions and the time of flight (r1, r2, tof).
//
// Derivation. The solver reaches the velocities through a few scalars of the geometry (the radii, the chord c, the
// semi-perimeter s, lambda = +-sqrt(1 - c/s), the non-dimensional time T = sqrt(2 mu / s^3) tof, the speed scales)
// and the converged Izzo variable x of each arc, which solves T(x, lambda) = T. The geometry is differentiated in
// forward mode (common/dual.hpp); x is differentiated implicitly at the converged root:
//     dx = (dT - T_lambda dlambda) / T_x,
// with T_x the first derivative the Householder iteration uses (Izzo 2015, eq. 22) and T_lambda = -2 lambda^2 / y,
// y = sqrt(1 - lambda^2 (1 - x^2)): at fixed x only Lagrange's beta depends on lambda, through
// sin(beta / 2) = lambda sqrt(1 - x^2), and d(beta - sin beta) = 2 sin^2(beta / 2) dbeta (the hyperbolic forms give
// the same expression). The revolution term 2 pi M does not depend on lambda, so one formula serves every
// revolution count and both branches. The velocity formulas are linear in x and y once the geometry is fixed,
//     v1 = y p1 + x q1,    v2 = y p2 + x q2,
// so each arc adds only the chain rule through x and y to the problem's own derivatives.
//
// Signs: the sign of lambda and of the tangential directions (transfer angle beyond 180 degrees, retrograde
// motion) is a constant factor wherever it does not jump, and is carried as such.
//
// Degenerate geometry gives a NaN Jacobian, never a number without meaning: positions closer to collinear than
// jacobian_min_sin_angle (the transfer plane, and with it the out-of-plane derivatives, is not defined at 0 and
// 180 degrees), arcs whose x lies within jacobian_min_parabolic of 1 in 1 - x^2 (T_x suffers cancellation there),
// a stationary time (T_x = 0, where two branches meet), NaN arcs and any non-finite entry.
//
// Units: km, s, km/s; entries in 1/s (velocity per position) and km/s^2 (velocity per time).

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "common/dual.hpp"
#include "common/vec3.hpp"
#include "solver/lambert_izzo.hpp"
#include "solver/lambert_settings.hpp"
#include "solver/lambert_solution.hpp"

namespace orbelin {

// Row-major 6x7: rows v1x, v1y, v1z, v2x, v2y, v2z; columns r1x, r1y, r1z, r2x, r2y, r2z, tof.
inline constexpr std::size_t jacobian_rows = 6;
inline constexpr std::size_t jacobian_cols = 7;
using LambertJacobian = std::array<double, jacobian_rows * jacobian_cols>;

inline constexpr LambertJacobian nan_jacobian = [] {
    LambertJacobian j{};
    j.fill(std::numeric_limits<double>::quiet_NaN());
    return j;
}();

// Below this |r1_hat x r2_hat| the Jacobian is NaN. The out-of-plane derivatives grow as 1 / sin(angle) and their
// rounding as eps / sin(angle)^2; at 1e-6 they still carry some ten digits.
inline constexpr double jacobian_min_sin_angle = 1e-6;
// Below this |1 - x^2| the Jacobian is NaN: T_x is a difference of O(1) terms that cancel at the parabola, and
// keeps some ten digits at this distance.
inline constexpr double jacobian_min_parabolic = 1e-6;

namespace detail {

using Dual7 = Dual<jacobian_cols>;
using DualVec7 = DualVec3<jacobian_cols>;

// The problem's part of every arc's Jacobian, with gradients over (r1, r2, tof).
struct JacobianGeometry {
    bool valid = false;  // false: every arc of the problem has a NaN Jacobian
    Dual7 lambda;        // Izzo's lambda, signed as the solver signs it
    Dual7 T;             // non-dimensional time of flight
    DualVec7 p1, q1;     // v1 = y p1 + x q1
    DualVec7 p2, q2;     // v2 = y p2 + x q2
};

// The geometry of the problem that izzo_setup prepared in p (with no reference normal).
JacobianGeometry jacobian_geometry(const Vec3& r1, const Vec3& r2, double tof, double mu,
                                   const IzzoProblem& p) noexcept;

// The Jacobian of the arc with Izzo variable x whose record is sol (NaN velocities give a NaN Jacobian).
LambertJacobian arc_jacobian(const JacobianGeometry& g, double x, const LambertSolution& sol) noexcept;

}  // namespace detail

// Calls on_arc(const LambertSolution&, const LambertJacobian&) once per record of lambert_izzo_visit (same order,
// same records, solved without a reference normal). Throws as lambert_izzo_visit does.
template <class F>
void lambert_izzo_jacobian_visit(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s, F&& on_arc) {
    detail::IzzoProblem p;
    if (!detail::izzo_setup(r1, r2, tof, s, std::nullopt, p)) {
        on_arc(detail::izzo_nan_record(tof, s.retrograde), nan_jacobian);
        return;
    }
    const detail::JacobianGeometry g = detail::jacobian_geometry(r1, r2, tof, s.mu, p);
    const auto emit = [&](double x, detail::ArcIndex arc) {
        const LambertSolution sol = detail::izzo_record(p, x, r1, tof, s, arc);
        on_arc(sol, detail::arc_jacobian(g, x, sol));
    };
    emit(detail::izzo_direct_x(p, s.tol, s.maxiter), {.revs = 0, .path_flag = 0});
    for (std::uint64_t i = 1; i <= p.revs; ++i) {
        emit(detail::izzo_multi_x(p, i, /*left=*/true, s.tol, s.maxiter), {.revs = i, .path_flag = 1});
        emit(detail::izzo_multi_x(p, i, /*left=*/false, s.tol, s.maxiter), {.revs = i, .path_flag = 0});
    }
}

}  // namespace orbelin
