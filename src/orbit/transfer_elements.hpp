#pragma once
// Orbital elements that describe one transfer arc (a Lambert solution) between two ECI states.

#include "common/arc_ends.hpp"
#include "common/vec3.hpp"

namespace orbelin {

// sma (km), ecc, inc / raan / argp (deg), true anomaly at departure and at arrival (deg), periapsis and apoapsis
// radii (km). rp = ra = NaN for a parabolic or NaN arc; ra = +inf for a hyperbolic one.
struct TransferElements {
    double sma = 0.0;
    double ecc = 0.0;
    double inc = 0.0;
    double raan = 0.0;
    double argp = 0.0;
    double ta_depart = 0.0;
    double ta_arrive = 0.0;
    double rp = 0.0;
    double ra = 0.0;
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

// One arc for compute_transfer_orbit_elements_pair.
struct ArcStates {
    ArcEnds ends;
    Vec3 v1;
    Vec3 v2;
};

// The elements of two arcs at once, bit for bit those of compute_transfer_orbit_elements for each: the two
// conversions are chains of dependent divisions and square roots, which overlap when written side by side.
void compute_transfer_orbit_elements_pair(const ArcStates& a, const ArcStates& b, double mu, TransferElements& out_a,
                                          TransferElements& out_b) noexcept;

}  // namespace orbelin
