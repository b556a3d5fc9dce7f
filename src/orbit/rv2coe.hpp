#pragma once
// Cartesian state -> classical orbital elements.

#include <array>
#include <cstddef>

#include "common/vec3.hpp"

namespace orbelin {

// [a, e, i, raan, argp, nu] and, on request, [u, lambda_true, lonper]: size is 6 or 9, unused slots are 0.
// a in km (negative when hyperbolic, +inf when parabolic), e dimensionless, every angle in [0, 2pi) rad or
// [0, 360) deg.
struct ElementVector {
    std::array<double, 9> values;
    std::size_t size;
};

// Elements of one ECI state (km, km/s) about a body of gravitational parameter mu (km^3/s^2).
// tol decides the degenerate cases: |specific energy| < tol -> parabolic, e < tol -> circular, sin i < tol ->
// equatorial. special appends the argument of latitude, the true longitude and the longitude of periapsis.
// Never fails: degenerate orbits get substitute angles, NaN input yields NaN a, e, i, raan.
// The degeneracy tolerance when the caller gives none.
inline constexpr double rv2coe_default_tol = 1e-8;

ElementVector rv2coe_single(const State& state, bool deg, bool special, double mu, double tol) noexcept;

}  // namespace orbelin
