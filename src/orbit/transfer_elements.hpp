#pragma once
// Orbital elements that describe one transfer arc (a Lambert solution) between two ECI states.

#include "common/arc_ends.hpp"
#include "common/vec3.hpp"

namespace orbelin {

// sma (km), ecc, inc / raan / argp (deg), true anomaly at departure and at arrival (deg), periapsis and apoapsis
// radii (km). rp = ra = NaN for a parabolic or NaN arc; ra = +inf for a hyperbolic one.
struct TransferElements {
    double sma;
    double ecc;
    double inc;
    double raan;
    double argp;
    double ta_depart;
    double ta_arrive;
    double rp;
    double ra;
};

// Elements of the conic through (r1, v1) at departure and (r2, v2) at arrival (km, km/s), about mu (km^3/s^2),
// with the degenerate-orbit tolerance 1e-8. The shape of the orbit comes from the departure state alone; the
// arrival state contributes only its true anomaly.
TransferElements compute_transfer_orbit_elements(const Vec3& r1, const Vec3& v1, const Vec3& r2, const Vec3& v2,
                                                 double mu) noexcept;

// The same from ends whose lengths and directions are already known (common/arc_ends.hpp): bit for bit the
// elements of the call above.
TransferElements compute_transfer_orbit_elements(const ArcEnds& ends, const Vec3& v1, const Vec3& v2,
                                                 double mu) noexcept;

}  // namespace orbelin
