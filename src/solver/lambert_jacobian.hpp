#pragma once
// Partial derivatives of Izzo's Lambert arcs: for every arc the solver returns, the 6x7 Jacobian of the terminal
// velocities (v1, v2) with respect to the positions and the time of flight (r1, r2, tof).
//
// Derivation. The velocities are v = v_r ir + v_t it at each end (Izzo 2015, Algorithm 1), with speeds v_r, v_t
// that depend on the positions only through |r1|, |r2| and the chord c (by way of the semi-perimeter s,
// lambda = +-sqrt(1 - c/s), the non-dimensional time T = sqrt(2 mu / s^3) tof and the speed scales), and on the
// converged Izzo variable x of the arc, which solves T(x, lambda) = T. So:
//
// 1. The speeds are differentiated in forward mode (common/dual.hpp) over the four scalars (|r1|, |r2|, c, tof);
//    x implicitly at its root, dx = (dT - T_lambda dlambda) / T_x, with T_x the first derivative the Householder
//    iteration uses (Izzo 2015, eq. 22) and T_lambda = -2 lambda^2 / y, y = sqrt(1 - lambda^2 (1 - x^2)): at
//    fixed x only Lagrange's beta depends on lambda, through sin(beta / 2) = lambda sqrt(1 - x^2), and
//    d(beta - sin beta) = 2 sin^2(beta / 2) dbeta (the hyperbolic forms give the same expression). The revolution
//    term 2 pi M does not depend on lambda, so one formula serves every revolution count and both branches.
//    d|r1| = ir1 . dr1, d|r2| = ir2 . dr2 and dc = ic . (dr2 - dr1), ic = (r2 - r1) / c, carry these gradients
//    to the seven inputs.
// 2. The directions turn with the positions. In the orthonormal frame (ir1, it1, ih) at r1, with ih the unit
//    normal of r1 x r2, theta the transfer angle about ih (sin theta = |ir1 x ir2|, cos theta = ir1 . ir2) and
//    sg = +-1 the sign of it1 = sg ih x ir1:
//        d ir1 = (it1 . dr1 / |r1|) it1 + (ih . dr1 / |r1|) ih,
//        d it1 = -(it1 . dr1 / |r1|) ir1 - (it1 . d ih) ih,
//        it1 . d ih = (sg / sin theta) (cos theta ih . dr1 / |r1| - ih . dr2 / |r2|),
//    and at r2, likewise, it2 . d ih = (sg / sin theta) (ih . dr1 / |r1| - cos theta ih . dr2 / |r2|) (ir2 and it2
//    in place of ir1 and it1). Then, at either end,
//        dv = (dv_r - v_t it . d ir) ir + (dv_t + v_r it . d ir) it + (v_r ih . d ir - v_t it . d ih) ih.
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

// Gradients over the four scalars the speeds depend on: |r1|, |r2|, c, tof.
using Dual4 = Dual<4>;

// The problem's part of every arc's Jacobian.
struct JacobianGeometry {
    bool valid = false;    // false: every arc of the problem has a NaN Jacobian
    Vec3 ir1, ir2;         // unit radial directions
    Vec3 it1, it2;         // unit tangential directions, signed as the solver signs them
    Vec3 ih;               // unit normal of r1 x r2 (whatever the sign of motion)
    Vec3 ic;               // unit chord (r2 - r1) / c
    double inv_r1n = 0.0;  // 1 / |r1|, 1/km
    double inv_r2n = 0.0;  // 1 / |r2|, 1/km
    double tilt1 = 0.0;    // sg cos(theta) / (sin(theta) |r1|): it1 . d ih per ih . dr1
    double tilt2 = 0.0;    // sg / (sin(theta) |r2|): it1 . d ih per -ih . dr2
    double tilt1b = 0.0;   // sg / (sin(theta) |r1|): it2 . d ih per ih . dr1
    double tilt2b = 0.0;   // sg cos(theta) / (sin(theta) |r2|): it2 . d ih per -ih . dr2
    Dual4 lambda;          // Izzo's lambda, signed as the solver signs it
    Dual4 T;               // non-dimensional time of flight
    Dual4 rho;             // (|r1| - |r2|) / c
    Dual4 g1, g2;          // gamma / |r|, gamma = sqrt(mu s / 2): radial speed scales
    Dual4 t1, t2;          // sigma gamma / |r|, sigma = sqrt(1 - rho^2): tangential speed scales
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
    detail::izzo_solve_arcs(p, s, [&](double x, detail::ArcIndex arc) {
        const LambertSolution sol = detail::izzo_record(p, x, r1, tof, s, arc);
        on_arc(sol, detail::arc_jacobian(g, x, sol));
    });
}

}  // namespace orbelin
