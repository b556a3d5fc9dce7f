#include "solver/lambert_jacobian.hpp"

namespace orbelin::detail {

JacobianGeometry jacobian_geometry(const Vec3& r1, const Vec3& r2, double tof, double mu,
                                   const IzzoProblem& p) noexcept {
    JacobianGeometry g;
    const Vec3 h = cross(p.ir1, p.ir2);
    const double sin_angle = norm(h);
    // Also false for NaN: the plane is not defined, nor are the derivatives across it.
    if (!(sin_angle >= jacobian_min_sin_angle)) return g;
    const double cos_angle = dot(p.ir1, p.ir2);
    // The sign the solver gave lambda and the tangential directions (ih_z and retrograde), constant nearby.
    const double sign = std::signbit(p.lambda) ? -1.0 : 1.0;
    const double c_len = norm(r2 - r1);
    g.ir1 = p.ir1;
    g.ir2 = p.ir2;
    g.it1 = p.it1;
    g.it2 = p.it2;
    g.ih = h / sin_angle;
    g.ic = (r2 - r1) / c_len;
    g.inv_r1n = 1.0 / p.r1n;
    g.inv_r2n = 1.0 / p.r2n;
    const double turn = sign / sin_angle;
    g.tilt1 = turn * cos_angle * g.inv_r1n;
    g.tilt2 = turn * g.inv_r2n;
    g.tilt1b = turn * g.inv_r1n;
    g.tilt2b = turn * cos_angle * g.inv_r2n;

    // The scalars of the solver's setup, with their gradients over (|r1|, |r2|, c, tof).
    const Dual4 r1n = Dual4::seed(p.r1n, 0);
    const Dual4 r2n = Dual4::seed(p.r2n, 1);
    const Dual4 c = Dual4::seed(c_len, 2);
    const Dual4 t = Dual4::seed(tof, 3);
    const Dual4 s = 0.5 * (r1n + r2n + c);
    // lambda^2 = 1 - c/s. Its value comes from the identity 1 - c/s = |r1| |r2| (|ir1 + ir2| / 2s)^2, which keeps
    // its digits near a half turn where 1 - c/s is a difference of nearly equal numbers; its gradient,
    // -d(c/s) / (2 lambda), divides the well-conditioned d(c/s) by that value.
    const Dual4 q = c / s;
    const double half_sum = norm(p.ir1 + p.ir2) / (2.0 * s.v);
    const double lambda_abs = std::sqrt(p.r1n * p.r2n) * half_sum;
    g.lambda.v = sign * lambda_abs;
    for (std::size_t k = 0; k < 4; ++k) g.lambda.d[k] = sign * (-0.5 / lambda_abs) * q.d[k];
    g.T = std::sqrt(2.0 * mu) * t / (s * sqrt(s));
    const Dual4 gamma = sqrt((0.5 * mu) * s);
    g.rho = (r1n - r2n) / c;
    const Dual4 sigma = sqrt(1.0 - g.rho * g.rho);
    g.g1 = gamma / r1n;
    g.g2 = gamma / r2n;
    g.t1 = sigma * g.g1;
    g.t2 = sigma * g.g2;
    g.valid = true;
    return g;
}

namespace {

using Row7 = std::array<double, jacobian_cols>;

// The gradient over (r1, r2, tof) of a scalar given over (|r1|, |r2|, c, tof).
inline Row7 spread(const Dual4& q, const JacobianGeometry& g) noexcept {
    const Vec3 a = q.d[0] * g.ir1 - q.d[2] * g.ic;
    const Vec3 b = q.d[1] * g.ir2 + q.d[2] * g.ic;
    return {a.x, a.y, a.z, b.x, b.y, b.z, q.d[3]};
}

// row += f * (u in columns 0-2, w in columns 3-5).
inline void add_positions(Row7& row, double f, const Vec3& u, const Vec3& w) noexcept {
    row[0] += f * u.x, row[1] += f * u.y, row[2] += f * u.z;
    row[3] += f * w.x, row[4] += f * w.y, row[5] += f * w.z;
}

// Three rows of the Jacobian, one velocity: v = (radial) ir + (tangential) it + (normal) ih, each a gradient.
inline void velocity_rows(const Vec3& ir, const Vec3& it, const Vec3& ih, const Row7& radial, const Row7& tangential,
                          const Row7& normal, double* out) noexcept {
    for (std::size_t k = 0; k < jacobian_cols; ++k) {
        out[k] = ir.x * radial[k] + it.x * tangential[k] + ih.x * normal[k];
        out[jacobian_cols + k] = ir.y * radial[k] + it.y * tangential[k] + ih.y * normal[k];
        out[2 * jacobian_cols + k] = ir.z * radial[k] + it.z * tangential[k] + ih.z * normal[k];
    }
}

}  // namespace

LambertJacobian arc_jacobian(const JacobianGeometry& g, double x, const LambertSolution& sol) noexcept {
    if (!g.valid || has_nan(sol.v1) || has_nan(sol.v2)) return nan_jacobian;
    const double umx2 = 1.0 - x * x;
    if (!(std::fabs(umx2) >= jacobian_min_parabolic)) return nan_jacobian;

    // 1. x and y at the root, then the speeds, over (|r1|, |r2|, c, tof).
    const double lambda = g.lambda.v;
    const double l2 = lambda * lambda;
    const double T = g.T.v;  // = T(x) at the converged root
    const double y = std::sqrt(1.0 - l2 * umx2);
    const double iy = 1.0 / y;
    const double T_x = (3.0 * x * T - 2.0 + 2.0 * l2 * lambda * x * iy) / umx2;
    const double T_lambda = -2.0 * l2 * iy;
    // y^2 = 1 - lambda^2 (1 - x^2): dy = (-lambda (1 - x^2) dlambda + lambda^2 x dx) / y.
    const double y_lambda = -lambda * umx2 * iy;
    const double y_x = l2 * x * iy;
    const double inv_T_x = 1.0 / T_x;
    Dual4 X{x, {}};
    Dual4 Y{y, {}};
    for (std::size_t k = 0; k < 4; ++k) {
        X.d[k] = (g.T.d[k] - T_lambda * g.lambda.d[k]) * inv_T_x;
        Y.d[k] = y_lambda * g.lambda.d[k] + y_x * X.d[k];
    }
    const Dual4 ly = g.lambda * Y;
    const Dual4 vr1 = g.g1 * ((1.0 - g.rho) * ly - (1.0 + g.rho) * X);
    const Dual4 vr2 = -1.0 * (g.g2 * ((1.0 + g.rho) * ly - (1.0 - g.rho) * X));
    const Dual4 vt = Y + g.lambda * X;
    const Dual4 vt1 = g.t1 * vt;
    const Dual4 vt2 = g.t2 * vt;

    // 2. The turning frame at each end (file comment).
    Row7 radial1 = spread(vr1, g);
    Row7 tangential1 = spread(vt1, g);
    Row7 normal1{};
    add_positions(radial1, -vt1.v * g.inv_r1n, g.it1, Vec3{});
    add_positions(tangential1, vr1.v * g.inv_r1n, g.it1, Vec3{});
    add_positions(normal1, vr1.v * g.inv_r1n - vt1.v * g.tilt1, g.ih, Vec3{});
    add_positions(normal1, vt1.v * g.tilt2, Vec3{}, g.ih);

    Row7 radial2 = spread(vr2, g);
    Row7 tangential2 = spread(vt2, g);
    Row7 normal2{};
    add_positions(radial2, -vt2.v * g.inv_r2n, Vec3{}, g.it2);
    add_positions(tangential2, vr2.v * g.inv_r2n, Vec3{}, g.it2);
    add_positions(normal2, -vt2.v * g.tilt1b, g.ih, Vec3{});
    add_positions(normal2, vr2.v * g.inv_r2n + vt2.v * g.tilt2b, Vec3{}, g.ih);

    LambertJacobian j;
    velocity_rows(g.ir1, g.it1, g.ih, radial1, tangential1, normal1, j.data());
    velocity_rows(g.ir2, g.it2, g.ih, radial2, tangential2, normal2, j.data() + 3 * jacobian_cols);
    for (const double e : j) {
        if (!std::isfinite(e)) return nan_jacobian;
    }
    return j;
}

}  // namespace orbelin::detail
