#pragma once
// The radial / in-track / cross-track (RIC) frame of a reference ECI state, and relative-state conversion between
// ECI and that rotating frame.

#include "common/vec3.hpp"

namespace orbelin {

// Unit vectors of the RIC frame in ECI components: R along r, C along h = r x v, I = C x R (positive along v for a
// non-degenerate reference). As a DCM these are the rows of ECI -> RIC and the columns of RIC -> ECI.
struct RicBasis {
    Vec3 r_hat;
    Vec3 i_hat;
    Vec3 c_hat;
};

// Basis of the reference state (km, km/s). A vanishing position or angular momentum (|.| < 1e-12) is replaced by
// (1, 0, 0), each axis independently; I is built from the already substituted R and C. Never fails.
RicBasis ric_basis(const State& ref) noexcept;

// Inertial angular velocity of the RIC frame, h / |r|^2 (rad/s for km and km/s); zero when |r|^2 < 1e-24.
Vec3 angular_velocity(const State& s) noexcept;

// Pure rotations of a 3-vector; no origin shift.
Vec3 eci2ric_vec_single(const Vec3& p, const RicBasis& m) noexcept;
Vec3 ric2eci_vec_single(const Vec3& p, const RicBasis& m) noexcept;

// Deputy ECI state -> [rho_R, rho_I, rho_C, rhodot_R, rhodot_I, rhodot_C]: position relative to the reference and
// its rate as seen in the rotating RIC frame (transport theorem: rhodot = M (dv - omega x dr)).
State eci2ric_state_single(const State& dep, const State& ref) noexcept;

// Inverse of eci2ric_state_single for a non-degenerate reference: RIC relative state -> deputy's absolute ECI state.
State ric2eci_state_single(const State& rel, const State& ref) noexcept;

}  // namespace orbelin
