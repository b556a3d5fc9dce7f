#pragma once
// Two-body propagation of a Cartesian state about the Earth by the universal-variable formulation.

#include "common/vec3.hpp"

namespace orbelin {

// Propagates `state` (ECI position km, velocity km/s) by `dt` seconds under the Earth's point-mass gravity
// (mu = 398600.4418 km^3/s^2, built in). Negative dt propagates backwards; dt == 0 returns the input unchanged.
// Degenerate input (zero position, NaN) yields NaN components; non-convergence returns the last iterate.
State kepler_universal_2body(const State& state, double dt) noexcept;

}  // namespace orbelin
