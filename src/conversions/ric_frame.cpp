#include "conversions/ric_frame.hpp"

namespace orbelin {

namespace {

// Below this a direction is undefined (zero position, or position parallel to velocity) and the x axis stands in,
// so a degenerate reference still yields a finite frame instead of NaN.
constexpr double axis_guard = 1e-12;

// Squared-radius threshold of the angular velocity: |r| < 1e-12 km.
constexpr double radius_sq_guard = 1e-24;

Vec3 unit_or_x(const Vec3& a) noexcept {
    const double n = norm(a);
    if (n < axis_guard) return Vec3{1.0, 0.0, 0.0};
    return a / n;
}

}  // namespace

RicBasis ric_basis(const State& ref) noexcept {
    const Vec3 r = position(ref);
    const Vec3 h = cross(r, velocity(ref));
    RicBasis m;
    m.r_hat = unit_or_x(r);
    m.c_hat = unit_or_x(h);
    m.i_hat = unit_or_x(cross(m.c_hat, m.r_hat));
    return m;
}

Vec3 angular_velocity(const State& s) noexcept {
    const Vec3 r = position(s);
    const double r_sq = dot(r, r);
    if (r_sq < radius_sq_guard) return Vec3{0.0, 0.0, 0.0};
    return cross(r, velocity(s)) / r_sq;
}

Vec3 eci2ric_vec_single(const Vec3& p, const RicBasis& m) noexcept {
    return Vec3{dot(m.r_hat, p), dot(m.i_hat, p), dot(m.c_hat, p)};
}

Vec3 ric2eci_vec_single(const Vec3& p, const RicBasis& m) noexcept {
    return p.x * m.r_hat + p.y * m.i_hat + p.z * m.c_hat;
}

State eci2ric_state_single(const State& dep, const State& ref) noexcept {
    const RicBasis m = ric_basis(ref);
    const Vec3 omega = angular_velocity(ref);
    const Vec3 dr = position(dep) - position(ref);
    const Vec3 dv = velocity(dep) - velocity(ref);
    return make_state(eci2ric_vec_single(dr, m), eci2ric_vec_single(dv - cross(omega, dr), m));
}

State ric2eci_state_single(const State& rel, const State& ref) noexcept {
    const RicBasis m = ric_basis(ref);
    const Vec3 omega = angular_velocity(ref);
    const Vec3 dr = ric2eci_vec_single(position(rel), m);
    return make_state(position(ref) + dr, velocity(ref) + cross(omega, dr) + ric2eci_vec_single(velocity(rel), m));
}

}  // namespace orbelin
