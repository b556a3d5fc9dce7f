#pragma once
// Approximate geocentric position of the Sun in the mean-equator inertial frame, from the low-precision analytic
// solar coordinates (mean longitude, mean anomaly, two-term equation of centre and distance series, linearly
// varying obliquity). Good to about 0.01 deg in direction between 1950 and 2050.

#include <span>
#include <vector>

#include "common/vec3.hpp"

namespace orbelin {

// Julian date (days) of a POSIX time (seconds since 1970-01-01 00:00:00 UTC).
double posix_to_jd(double posix) noexcept;

// Sun position (km) at Julian date `jd`. NaN in gives NaN out.
Vec3 sun_position(double jd) noexcept;

// Writes jd.size() rows of six doubles to `out`, row-major: x, y, z (km), then NaN, NaN, NaN (the velocity is
// not modelled). `out` must hold 6 * jd.size() doubles.
void compute_sun_state(std::span<const double> jd, double* out) noexcept;

// The same rows, returned as 6 * jd.size() doubles.
std::vector<double> compute_sun_state(std::span<const double> jd);

}  // namespace orbelin
