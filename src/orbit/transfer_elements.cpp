#include "orbit/transfer_elements.hpp"

#include <cmath>

#include "common/constants.hpp"
#include "common/select.hpp"
#include "orbit/classical_elements.hpp"

namespace orbelin {

namespace {

// Degenerate-orbit tolerance of the arc description (energy, e and sin i).
constexpr double transfer_tol = 1e-8;

}  // namespace

TransferElements compute_transfer_orbit_elements(const Vec3& r1, const Vec3& v1, const Vec3& r2, const Vec3& v2,
                                                 double mu) noexcept {
    return compute_transfer_orbit_elements(arc_ends(r1, r2), v1, v2, mu);
}

namespace {

detail::GeometryPair arc_geometry(const ArcEnds& ends, const Vec3& v1, const Vec3& v2, double mu) noexcept {
    return detail::orbit_geometry_pair(ends.r1, v1, ends.r1_norm, ends.r1_unit, ends.r2, v2, ends.r2_norm, ends.r2_unit,
                                       mu);
}

TransferElements arc_elements(const detail::ArcAngles& angles) noexcept {
    const detail::ClassicalElements& dep = angles.departure;
    TransferElements out{};
    out.sma = dep.sma;
    out.ecc = dep.ecc;
    out.inc = dep.inc * rad2deg;
    out.raan = dep.raan * rad2deg;
    out.argp = dep.argp * rad2deg;
    out.ta_depart = dep.nu * rad2deg;
    out.ta_arrive = angles.arrival_nu * rad2deg;

    if (std::isinf(out.sma) || std::isnan(out.sma)) {
        out.rp = nan;
        out.ra = nan;
    } else {
        // (1 - e) a for the ellipse, |a| (e - 1) for the hyperbola (a < 0), which is the same product bit for bit:
        // 1 - e is exactly -(e - 1). A hyperbola has no apoapsis. Ellipses and hyperbolas alternate at random in a
        // batch, so the choice is a select, not a branch.
        out.rp = (1.0 - out.ecc) * out.sma;
        out.ra = select_less(0.0, out.sma, (1.0 + out.ecc) * out.sma, inf);
    }
    return out;
}

}  // namespace

TransferElements compute_transfer_orbit_elements(const ArcEnds& ends, const Vec3& v1, const Vec3& v2,
                                                 double mu) noexcept {
    // Called once per Lambert arc on large batches: the departure needs the classical set, the arrival only its
    // anomaly (no |v|, and |n| only for a circular arc), and neither computes the optional angles of rv2coe_single.
    return arc_elements(detail::arc_angles(arc_geometry(ends, v1, v2, mu), mu, transfer_tol));
}

void compute_transfer_orbit_elements_pair(const ArcStates& a, const ArcStates& b, double mu, TransferElements& out_a,
                                          TransferElements& out_b) noexcept {
    const detail::GeometryPair ga = arc_geometry(a.ends, a.v1, a.v2, mu);
    const detail::GeometryPair gb = arc_geometry(b.ends, b.v1, b.v2, mu);
    const detail::ArcAngles angles_a = detail::arc_angles(ga, mu, transfer_tol);
    const detail::ArcAngles angles_b = detail::arc_angles(gb, mu, transfer_tol);
    out_a = arc_elements(angles_a);
    out_b = arc_elements(angles_b);
}

}  // namespace orbelin
