#pragma once
// Building blocks of the Cartesian -> classical-element conversion, shared by rv2coe_single and the transfer-arc
// elements so that both routes evaluate the very same expressions (and give bit-identical angles).
//
// Frame: inertial, k = (0, 0, 1) the pole. Units: km, km/s, mu in km^3/s^2. Angles here are radians.
// Formulation after Vallado, "Fundamentals of Astrodynamics and Applications", algorithm RV2COE, with the angle
// between two vectors taken as atan2(|p x q|, p . q): unlike acos of a normalised dot product it keeps full precision
// near 0 and pi, which is exactly where circular and equatorial orbits live.

#include <algorithm>
#include <cmath>

#include "common/constants.hpp"
#include "common/vec3.hpp"

namespace orbelin::detail {

// Below this, a node vector, eccentricity or radius is treated as zero when choosing which raw angles exist.
// Fixed on purpose: it only protects atan2/acos from meaningless directions; the caller's tol decides the
// degenerate cases.
inline constexpr double element_guard = 1e-12;

inline constexpr double half_pi = 1.5707963267948966;

// Angle between p and q in [0, pi].
inline double vector_angle(const Vec3& p, const Vec3& q) noexcept { return std::atan2(norm(cross(p, q)), dot(p, q)); }

// Angle into [0, 2pi). NaN stays NaN. fmod is exact, so inside (-2pi, 2pi) it returns x itself: the angles that
// atan2 produces take the first two branches without the library call and with the same bits.
inline double wrap_two_pi(double x) noexcept {
    if (x >= 0.0 && x < two_pi) return x;
    if (x < 0.0 && x > -two_pi) return x + two_pi;
    x = std::fmod(x, two_pi);
    if (x < 0.0) x += two_pi;
    return x;
}

// Vectors every element derives from.
struct OrbitGeometry {
    Vec3 r;
    Vec3 v;
    double r_norm;
    double v_norm;
    Vec3 h;        // specific angular momentum r x v, km^2/s
    Vec3 n;        // node vector k x h, points at the ascending node
    double n_norm;
    Vec3 e_vec;    // eccentricity (Laplace-Runge-Lenz) vector, points at periapsis
    double ecc;
};

// The vectors of a state whose |r| and r / |r| are already known (computed as norm(r) and r / norm(r)). With
// `full` unset, |v| and |n| are left at NaN for a caller that needs neither (the anomaly alone, see
// anomaly_element).
inline OrbitGeometry orbit_geometry(const Vec3& r, const Vec3& v, double r_norm, const Vec3& r_unit, double mu,
                                    bool full = true) noexcept {
    OrbitGeometry g;
    g.r = r;
    g.v = v;
    g.r_norm = r_norm;
    g.v_norm = full ? norm(v) : nan;
    g.h = cross(r, v);
    // k x h written out; -h.y keeps the sign of zero that atan2 sees for an equatorial orbit.
    g.n = Vec3{-g.h.y, g.h.x, 0.0};
    g.n_norm = full ? norm(g.n) : nan;
    g.e_vec = cross(v, g.h) / mu - r_unit;
    g.ecc = norm(g.e_vec);
    return g;
}

inline OrbitGeometry orbit_geometry(const State& s, double mu) noexcept {
    const Vec3 r = position(s);
    const double r_norm = norm(r);
    return orbit_geometry(r, velocity(s), r_norm, r / r_norm, mu);
}

// a = -mu / (2 xi) from the vis-viva energy; +inf when |xi| < tol (parabolic), negative when hyperbolic.
inline double semi_major_axis(const OrbitGeometry& g, double mu, double tol) noexcept {
    const double energy = g.v_norm * g.v_norm / 2.0 - mu / g.r_norm;
    if (std::fabs(energy) < tol) return inf;
    return -mu / (2.0 * energy);
}

// Inclination in [0, pi]. Only a genuinely vanishing h gives 0; NaN input stays NaN. The angle is
// atan2(|h x k|, h . k); for a finite h_z, h x k = (h_y, -h_x, 0) up to signed zeros, whose length is exactly |n|.
inline double inclination(const OrbitGeometry& g) noexcept {
    const double h_norm = norm(g.h);
    if (h_norm < element_guard) return 0.0;
    const Vec3 k{0.0, 0.0, 1.0};
    if (std::isfinite(g.h.z)) return std::atan2(g.n_norm, dot(g.h, k));
    return vector_angle(g.h, k);
}

// sin i for the degenerate-orbit tests, without a sine: |n| / |h| (0 for a vanishing h, where i is 0). Agrees
// with sin(inclination(g)) to an ulp, which can matter only for an orbit within an ulp of the tolerance.
inline double sin_inclination(const OrbitGeometry& g) noexcept {
    const double h_norm = norm(g.h);
    if (h_norm < element_guard) return 0.0;
    return g.n_norm / h_norm;
}

inline double raw_raan(const OrbitGeometry& g) noexcept { return std::atan2(g.n.y, g.n.x); }

// Argument of periapsis with its quadrant from the sign of e_z (periapsis below the equator -> beyond pi).
inline double argument_of_periapsis(const OrbitGeometry& g) noexcept {
    double w = 0.0;
    if (g.n_norm > element_guard && g.ecc > element_guard) w = vector_angle(g.n, g.e_vec);
    if (g.e_vec.z < 0.0) w = two_pi - w;
    return w;
}

// True anomaly; r . v < 0 means the body is falling back towards periapsis, i.e. past apoapsis.
inline double true_anomaly(const OrbitGeometry& g) noexcept {
    double nu = 0.0;
    if (g.ecc > element_guard && g.r_norm >= element_guard) nu = vector_angle(g.e_vec, g.r);
    if (dot(g.r, g.v) < 0.0) nu = two_pi - nu;
    return nu;
}

// Argument of latitude u, measured from the ascending node; the substitute anomaly of circular inclined orbits.
inline double argument_of_latitude(const OrbitGeometry& g) noexcept {
    double u = 0.0;
    if (g.n_norm > element_guard && g.r_norm >= element_guard) u = vector_angle(g.n, g.r);
    if (g.r.z < 0.0) u = two_pi - u;
    return u;
}

// True longitude, measured from the x axis; the substitute anomaly of circular equatorial orbits.
// A single flip when r_y < 0 or the orbit is retrograde: the two conditions do not cancel.
inline double true_longitude(const OrbitGeometry& g, double inc) noexcept {
    const double lambda = std::acos(std::clamp(g.r.x / g.r_norm, -1.0, 1.0));
    if (g.r.y < 0.0 || inc > half_pi) return two_pi - lambda;
    return lambda;
}

// Longitude of periapsis, measured from the x axis; replaces the argument of periapsis of equatorial orbits.
// Same single-flip rule as the true longitude.
inline double longitude_of_periapsis(const OrbitGeometry& g, double inc) noexcept {
    double lonper = 0.0;
    if (g.ecc > element_guard) lonper = std::acos(std::clamp(g.e_vec.x / g.ecc, -1.0, 1.0));
    if (g.e_vec.y < 0.0 || inc > half_pi) return two_pi - lonper;
    return lonper;
}

// a, e and the four classical angles (radians, each wrapped into [0, 2pi)).
struct ClassicalElements {
    double sma;
    double ecc;
    double inc;
    double raan;
    double argp;
    double nu;
};

// Circular (e < tol) and equatorial (sin i < tol) orbits have no node and/or no periapsis: the missing angle is set
// to zero and the anomaly is measured from the reference that remains (node, or x axis).
inline ClassicalElements classical_elements(const OrbitGeometry& g, double mu, double tol) noexcept {
    ClassicalElements el;
    el.sma = semi_major_axis(g, mu, tol);
    el.ecc = g.ecc;
    el.inc = inclination(g);
    const bool equatorial = sin_inclination(g) < tol;
    if (g.ecc < tol) {
        el.argp = 0.0;
        if (equatorial) {
            el.raan = 0.0;
            el.nu = true_longitude(g, el.inc);
        } else {
            el.raan = raw_raan(g);
            el.nu = argument_of_latitude(g);
        }
    } else if (equatorial) {
        el.raan = 0.0;
        el.argp = longitude_of_periapsis(g, el.inc);
        el.nu = true_anomaly(g);
    } else {
        el.raan = raw_raan(g);
        el.argp = argument_of_periapsis(g);
        el.nu = true_anomaly(g);
    }
    el.inc = wrap_two_pi(el.inc);
    el.raan = wrap_two_pi(el.raan);
    el.argp = wrap_two_pi(el.argp);
    el.nu = wrap_two_pi(el.nu);
    return el;
}

// The anomaly entry of classical_elements alone (radians, [0, 2pi)), skipping the node and periapsis angles. Reads
// |n| only for a circular orbit; a geometry built without it gets it here.
inline double anomaly_element(OrbitGeometry g, double tol) noexcept {
    if (g.ecc < tol) {
        g.n_norm = norm(g.n);
        const double inc = inclination(g);
        if (sin_inclination(g) < tol) return wrap_two_pi(true_longitude(g, inc));
        return wrap_two_pi(argument_of_latitude(g));
    }
    return wrap_two_pi(true_anomaly(g));
}

}  // namespace orbelin::detail
