#include "solver/lambert_jacobian.hpp"

namespace orbelin::detail {

JacobianGeometry jacobian_geometry(const Vec3& r1, const Vec3& r2, double tof, double mu,
                                   const IzzoProblem& p) noexcept {
    JacobianGeometry g;
    // The seven inputs: r1 (0-2), r2 (3-5), tof (6).
    const DualVec7 R1{Dual7::seed(r1.x, 0), Dual7::seed(r1.y, 1), Dual7::seed(r1.z, 2)};
    const DualVec7 R2{Dual7::seed(r2.x, 3), Dual7::seed(r2.y, 4), Dual7::seed(r2.z, 5)};
    const Dual7 t = Dual7::seed(tof, 6);

    const Dual7 r1n = norm(R1);
    const Dual7 r2n = norm(R2);
    const Dual7 c = norm(R2 - R1);
    const Dual7 s = 0.5 * (r1n + r2n + c);
    const DualVec7 ir1 = R1 / r1n;
    const DualVec7 ir2 = R2 / r2n;
    const DualVec7 h = cross(ir1, ir2);
    const Dual7 hn = norm(h);
    // Also false for NaN: the plane is not defined, nor are the derivatives across it.
    if (!(hn.v >= jacobian_min_sin_angle)) return g;
    const DualVec7 ih = h / hn;

    // The sign the solver gave lambda and the tangential directions (ih_z and retrograde), constant nearby.
    const double sign = std::signbit(p.lambda) ? -1.0 : 1.0;
    g.lambda = sign * sqrt(1.0 - c / s);
    // ih is perpendicular to both radial directions, so these are unit vectors as they stand.
    const DualVec7 it1 = sign * cross(ih, ir1);
    const DualVec7 it2 = sign * cross(ih, ir2);
    g.T = std::sqrt(2.0 * mu) * t / (s * sqrt(s));

    // Speed scales of the velocity formulas (Izzo 2015, Algorithm 1), gathered into the vectors of the file comment:
    // v_r1 = gamma/|r1| ((1 - rho) lambda y - (1 + rho) x), v_r2 = -gamma/|r2| ((1 + rho) lambda y - (1 - rho) x),
    // v_t = gamma sigma (y + lambda x) / |r|.
    const Dual7 gamma = sqrt((0.5 * mu) * s);
    const Dual7 rho = (r1n - r2n) / c;
    const Dual7 sigma = sqrt(1.0 - rho * rho);
    const Dual7 g1 = gamma / r1n;
    const Dual7 g2 = gamma / r2n;
    const Dual7 t1 = sigma * g1;
    const Dual7 t2 = sigma * g2;
    const Dual7 one_minus_rho = 1.0 - rho;
    const Dual7 one_plus_rho = 1.0 + rho;
    g.p1 = (one_minus_rho * g.lambda * g1) * ir1 + t1 * it1;
    g.q1 = (t1 * g.lambda) * it1 - (one_plus_rho * g1) * ir1;
    g.p2 = t2 * it2 - (one_plus_rho * g.lambda * g2) * ir2;
    g.q2 = (one_minus_rho * g2) * ir2 + (t2 * g.lambda) * it2;
    g.valid = true;
    return g;
}

namespace {

// One row of the Jacobian: the gradient of y p + x q, a component of a velocity.
inline void velocity_row(const Dual7& p, const Dual7& q, double x, double y, const std::array<double, 7>& dx,
                         const std::array<double, 7>& dy, double* row) noexcept {
    for (std::size_t k = 0; k < jacobian_cols; ++k) row[k] = y * p.d[k] + p.v * dy[k] + x * q.d[k] + q.v * dx[k];
}

}  // namespace

LambertJacobian arc_jacobian(const JacobianGeometry& g, double x, const LambertSolution& sol) noexcept {
    if (!g.valid || has_nan(sol.v1) || has_nan(sol.v2)) return nan_jacobian;
    const double umx2 = 1.0 - x * x;
    if (!(std::fabs(umx2) >= jacobian_min_parabolic)) return nan_jacobian;

    const double lambda = g.lambda.v;
    const double l2 = lambda * lambda;
    const double T = g.T.v;  // = T(x) at the converged root
    const double y = std::sqrt(1.0 - l2 * umx2);
    const double T_x = (3.0 * x * T - 2.0 + 2.0 * l2 * lambda * x / y) / umx2;
    const double T_lambda = -2.0 * l2 / y;

    // Implicit differentiation of T(x, lambda) = T, then of y^2 = 1 - lambda^2 + lambda^2 x^2.
    std::array<double, 7> dx{};
    std::array<double, 7> dy{};
    const double inv_T_x = 1.0 / T_x;
    const double y_lambda = -lambda * umx2 / y;
    const double y_x = l2 * x / y;
    for (std::size_t k = 0; k < jacobian_cols; ++k) {
        dx[k] = (g.T.d[k] - T_lambda * g.lambda.d[k]) * inv_T_x;
        dy[k] = y_lambda * g.lambda.d[k] + y_x * dx[k];
    }

    LambertJacobian j;
    double* row = j.data();
    velocity_row(g.p1.x, g.q1.x, x, y, dx, dy, row + 0 * jacobian_cols);
    velocity_row(g.p1.y, g.q1.y, x, y, dx, dy, row + 1 * jacobian_cols);
    velocity_row(g.p1.z, g.q1.z, x, y, dx, dy, row + 2 * jacobian_cols);
    velocity_row(g.p2.x, g.q2.x, x, y, dx, dy, row + 3 * jacobian_cols);
    velocity_row(g.p2.y, g.q2.y, x, y, dx, dy, row + 4 * jacobian_cols);
    velocity_row(g.p2.z, g.q2.z, x, y, dx, dy, row + 5 * jacobian_cols);
    for (const double e : j) {
        if (!std::isfinite(e)) return nan_jacobian;
    }
    return j;
}

}  // namespace orbelin::detail
