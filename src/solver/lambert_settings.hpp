#pragma once
// The settings of a Lambert solve, with their defaults written once: the Python parameter tables, the batch
// solvers, the delta-v rules and the optimisers all take them from here.

#include <cstdint>

#include "common/constants.hpp"

namespace orbelin {

struct LambertSettings {
    double mu = mu_earth;        // gravitational parameter, km^3/s^2
    std::uint64_t max_rev = 0;   // most complete revolutions solved
    bool retrograde = false;     // motion against the plane normal
    double tol = 1e-8;           // a Householder solve stops on a step in x of at most this
    std::uint64_t maxiter = 50;  // Householder steps per arc at most
    bool reentry_check = false;  // blank the arcs whose periapsis lies below the Earth's equatorial radius
};

inline constexpr LambertSettings default_lambert_settings{};

}  // namespace orbelin
