#pragma once
// Classical orbital elements -> Cartesian state.

#include <array>

#include "common/vec3.hpp"

namespace orbelin {

// coe = [a, e, i, raan, argp, nu]: a in km (negative for hyperbolic orbits), angles in degrees when deg, else
// radians. Returns the ECI state [x, y, z, vx, vy, vz] (km, km/s) about mu (km^3/s^2). An infinite or NaN a
// (parabolic orbit, whose a carries no size) gives an all-NaN state.
State coe2rv_single(const std::array<double, 6>& coe, bool deg, double mu) noexcept;

}  // namespace orbelin
