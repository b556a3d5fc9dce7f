#pragma once
// Physical and numerical constants used across the subsystems.

#include <limits>

namespace orbelin {

// Earth's gravitational parameter, km^3/s^2: the default of every `mu`.
inline constexpr double mu_earth = 398600.4418;

// Earth's equatorial radius, km (re-entry threshold of the Lambert solver).
inline constexpr double earth_radius_km = 6378.137;

inline constexpr double pi = 3.141592653589793;
inline constexpr double two_pi = 6.283185307179586;
inline constexpr double rad2deg = 57.29577951308232;
inline constexpr double deg2rad = 0.017453292519943295;

// Cost of an infeasible transfer and the start of every minimum search.
inline constexpr double penalty_value = std::numeric_limits<double>::max();

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf = std::numeric_limits<double>::infinity();

}  // namespace orbelin
