#pragma once
// Two-body propagation of a Cartesian state by the universal-variable formulation.

#include "common/constants.hpp"
#include "common/vec3.hpp"

namespace orbelin {

// Propagates `state` (inertial position km, velocity km/s) by `dt` seconds under the point-mass gravity of a
// central body with gravitational parameter `mu` (km^3/s^2; the Earth's by default). Negative dt propagates
// backwards; dt == 0 returns the input unchanged. Degenerate input (zero position, NaN) yields NaN components;
// non-convergence returns the last iterate.
State kepler_universal_2body(const State& state, double dt, double mu = mu_earth) noexcept;

}  // namespace orbelin
