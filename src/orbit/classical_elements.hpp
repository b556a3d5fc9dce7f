#pragma once
// Building blocks of the Cartesian -> classical-element conversion, shared by rv2coe_single and the transfer-arc
// elements so that both routes evaluate the very same expressions (and give bit-identical angles).
//
// Frame: inertial, k = (0, 0, 1) the pole. Units: km, km/s, mu in km^3/s^2. Angles here are radians.
// Formulation after Vallado, "Fundamentals of Astrodynamics and Applications", algorithm RV2COE, with the angle
// between two vectors taken as atan2(|p x q|, p . q): unlike acos of a normalised dot product it keeps full precision
// near 0 and pi, which is exactly where circular and equatorial orbits live.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/constants.hpp"
#include "common/select.hpp"
#include "common/simd.hpp"
#include "common/vec3.hpp"
#include "common/vmath.hpp"
#include "orbit/element_steps.hpp"

namespace orbelin::detail {

// atan2(y, x) by atan2_core where it applies (orbit/element_steps.hpp); zeros, infinities, NaN and magnitudes
// beyond 1e300 take the library's route and conventions.
inline double atan2_fast(double y, double x) noexcept {
    if (!atan2_core_applies<double>(y, x)) return std::atan2(y, x);
    return atan2_core<double>(y, x);
}

// Two angles from one evaluation.
struct AnglePair {
    double first;
    double second;
};

// atan2_fast(y0, x0) and atan2_fast(y1, x1) side by side in the two lanes of SSE2 registers: the same operations
// in the same order, and a packed instruction rounds each lane exactly as its scalar form does, so each angle has
// the bits atan2_fast gives it, at little more than the cost of one. A pair with an argument that atan2_fast
// leaves to the library takes the scalar route for both.
inline AnglePair atan2_fast_pair(double y0, double x0, double y1, double x1) noexcept {
#if ORBELIN_SSE2
    const __m128d sign_bit = _mm_set1_pd(-0.0);
    const __m128d zero = _mm_setzero_pd();
    const __m128d huge = _mm_set1_pd(1e300);
    const __m128d x = _mm_set_pd(x1, x0);
    const __m128d y = _mm_set_pd(y1, y0);
    const __m128d ax = _mm_andnot_pd(sign_bit, x);
    const __m128d ay = _mm_andnot_pd(sign_bit, y);
    const __m128d regular = _mm_and_pd(_mm_and_pd(_mm_cmpgt_pd(ax, zero), _mm_cmpgt_pd(ay, zero)),
                                       _mm_and_pd(_mm_cmplt_pd(ax, huge), _mm_cmplt_pd(ay, huge)));
    if (_mm_movemask_pd(regular) != 3) return {atan2_fast(y0, x0), atan2_fast(y1, x1)};
    const auto pick = [](__m128d mask, __m128d a, __m128d b) {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    };
    const __m128d steep = _mm_cmplt_pd(ax, ay);
    const __m128d lo = pick(steep, ax, ay);
    const __m128d hi = pick(steep, ay, ax);
    const __m128d magic = _mm_set1_pd(6755399441055744.0);
    const __m128d shifted = _mm_add_pd(_mm_mul_pd(_mm_div_pd(lo, hi), _mm_set1_pd(32.0)), magic);
    const __m128i bits = _mm_castpd_si128(shifted);
    const auto k0 = static_cast<std::size_t>(static_cast<unsigned>(_mm_cvtsi128_si32(bits)) & 63U);
    const auto k1 =
        static_cast<std::size_t>(static_cast<unsigned>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(bits, bits))) & 63U);
    const __m128d c = _mm_mul_pd(_mm_sub_pd(shifted, magic), _mm_set1_pd(0.03125));
    const __m128d z = _mm_div_pd(_mm_sub_pd(lo, _mm_mul_pd(c, hi)), _mm_add_pd(hi, _mm_mul_pd(c, lo)));
    const __m128d w = _mm_mul_pd(z, z);
    const __m128d series = _mm_add_pd(
        _mm_add_pd(_mm_set1_pd(-1.0 / 3.0), _mm_mul_pd(w, _mm_set1_pd(1.0 / 5.0))),
        _mm_mul_pd(_mm_mul_pd(w, w), _mm_add_pd(_mm_set1_pd(-1.0 / 7.0), _mm_mul_pd(w, _mm_set1_pd(1.0 / 9.0)))));
    const __m128d tail = _mm_add_pd(z, _mm_mul_pd(_mm_mul_pd(z, w), series));
    const __m128d a = _mm_add_pd(_mm_set_pd(atan_32nds_hi[k1], atan_32nds_hi[k0]),
                                 _mm_add_pd(_mm_set_pd(atan_32nds_lo[k1], atan_32nds_lo[k0]), tail));
    const __m128d t = pick(steep, _mm_sub_pd(_mm_set1_pd(half_pi), a), a);
    const __m128d r = pick(_mm_cmplt_pd(x, zero), _mm_sub_pd(_mm_set1_pd(pi), t), t);
    const __m128d angle = _mm_or_pd(_mm_andnot_pd(sign_bit, r), _mm_and_pd(sign_bit, y));
    return {_mm_cvtsd_f64(angle), _mm_cvtsd_f64(_mm_unpackhi_pd(angle, angle))};
#else
    return {atan2_fast(y0, x0), atan2_fast(y1, x1)};
#endif
}

// Angle between p and q in [0, pi].
inline double vector_angle(const Vec3& p, const Vec3& q) noexcept { return atan2_fast(norm(cross(p, q)), dot(p, q)); }

// vector_angle(p0, q0) and vector_angle(p1, q1), with the bits of each, the square roots and arctangents paired.
inline AnglePair vector_angle_pair(const Vec3& p0, const Vec3& q0, const Vec3& p1, const Vec3& q1) noexcept {
    const Vec3 c0 = cross(p0, q0);
    const Vec3 c1 = cross(p1, q1);
#if ORBELIN_SSE2
    const __m128d lengths = _mm_sqrt_pd(_mm_set_pd(dot(c1, c1), dot(c0, c0)));
    return atan2_fast_pair(_mm_cvtsd_f64(lengths), dot(p0, q0), _mm_cvtsd_f64(_mm_unpackhi_pd(lengths, lengths)),
                           dot(p1, q1));
#else
    return atan2_fast_pair(norm(c0), dot(p0, q0), norm(c1), dot(p1, q1));
#endif
}

// Angle into [0, 2pi) (wrap_angle).
inline double wrap_two_pi(double x) noexcept { return wrap_angle<double>(x); }

// Vectors every element derives from.
struct OrbitGeometry {
    Vec3 r;
    Vec3 v;
    double r_norm = 0.0;
    double v_norm = 0.0;
    Vec3 h;  // specific angular momentum r x v, km^2/s
    Vec3 n;  // node vector k x h, points at the ascending node
    double n_norm = 0.0;
    Vec3 e_vec;  // eccentricity (Laplace-Runge-Lenz) vector, points at periapsis
    double ecc = 0.0;
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

// orbit_geometry(r1, v1, ..., full = true) and orbit_geometry(r2, v2, ..., full = false) together, with the
// divisions by mu and the square roots paired in SSE2 lanes: the same operations in the same order, so both come
// out bit for bit as from the separate calls. The two ends of a transfer arc need exactly this.
struct GeometryPair {
    OrbitGeometry first;
    OrbitGeometry second;
};

inline GeometryPair orbit_geometry_pair(const Vec3& r1, const Vec3& v1, double r1_norm, const Vec3& r1_unit,
                                        const Vec3& r2, const Vec3& v2, double r2_norm, const Vec3& r2_unit,
                                        double mu) noexcept {
#if ORBELIN_SSE2
    // Every field is given once: a pair default-constructed and then assigned is first cleared as a block of 300
    // bytes, whose wide stores the loads of the fields then wait behind.
    const Vec3 h1 = cross(r1, v1);
    const Vec3 h2 = cross(r2, v2);
    const Vec3 n1{-h1.y, h1.x, 0.0};
    const Vec3 n2{-h2.y, h2.x, 0.0};
    const __m128d speeds = _mm_sqrt_pd(_mm_set_pd(dot(n1, n1), dot(v1, v1)));
    const Vec3 ca = cross(v1, h1);
    const Vec3 cb = cross(v2, h2);
    const __m128d m = _mm_set1_pd(mu);
    const __m128d ex = _mm_div_pd(_mm_set_pd(cb.x, ca.x), m);
    const __m128d ey = _mm_div_pd(_mm_set_pd(cb.y, ca.y), m);
    const __m128d ez = _mm_div_pd(_mm_set_pd(cb.z, ca.z), m);
    const auto hi = [](__m128d v) { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); };
    const Vec3 e1 = Vec3{_mm_cvtsd_f64(ex), _mm_cvtsd_f64(ey), _mm_cvtsd_f64(ez)} - r1_unit;
    const Vec3 e2 = Vec3{hi(ex), hi(ey), hi(ez)} - r2_unit;
    const __m128d ecc = _mm_sqrt_pd(_mm_set_pd(dot(e2, e2), dot(e1, e1)));
    return {OrbitGeometry{.r = r1,
                          .v = v1,
                          .r_norm = r1_norm,
                          .v_norm = _mm_cvtsd_f64(speeds),
                          .h = h1,
                          .n = n1,
                          .n_norm = hi(speeds),
                          .e_vec = e1,
                          .ecc = _mm_cvtsd_f64(ecc)},
            OrbitGeometry{.r = r2,
                          .v = v2,
                          .r_norm = r2_norm,
                          .v_norm = nan,
                          .h = h2,
                          .n = n2,
                          .n_norm = nan,
                          .e_vec = e2,
                          .ecc = hi(ecc)}};
#else
    return {orbit_geometry(r1, v1, r1_norm, r1_unit, mu), orbit_geometry(r2, v2, r2_norm, r2_unit, mu, /*full=*/false)};
#endif
}

inline OrbitGeometry orbit_geometry(const State& s, double mu) noexcept {
    const Vec3 r = position(s);
    const double r_norm = norm(r);
    return orbit_geometry(r, velocity(s), r_norm, r / r_norm, mu);
}

// a = -mu / (2 xi) from the vis-viva energy (semi_major_axis_of).
inline double semi_major_axis(const OrbitGeometry& g, double mu, double tol) noexcept {
    return semi_major_axis_of<double>(g.v_norm, g.r_norm, mu, tol);
}

// Inclination in [0, pi]. Only a genuinely vanishing h gives 0; NaN input stays NaN. The angle is
// atan2(|h x k|, h . k); for a finite h_z, h x k = (h_y, -h_x, 0) up to signed zeros, whose length is exactly |n|.
inline double inclination(const OrbitGeometry& g) noexcept {
    const double h_norm = norm(g.h);
    if (h_norm < element_guard) return 0.0;
    const Vec3 k{0.0, 0.0, 1.0};
    if (std::isfinite(g.h.z)) {
        // An orbit exactly in the equatorial plane has a zero node vector (|n| is +0, never -0): atan2(+0, h_z) is
        // +0 or pi by the sign of h_z alone, which needs no library call.
        if (g.n_norm == 0.0) return std::signbit(g.h.z) ? pi : 0.0;
        return atan2_fast(g.n_norm, dot(g.h, k));
    }
    return vector_angle(g.h, k);
}

// sin i for the degenerate-orbit tests, without a sine: |n| / |h| (0 for a vanishing h, where i is 0). Agrees
// with sin(inclination(g)) to an ulp, which can matter only for an orbit within an ulp of the tolerance.
inline double sin_inclination(const OrbitGeometry& g) noexcept {
    const double h_norm = norm(g.h);
    if (h_norm < element_guard) return 0.0;
    return g.n_norm / h_norm;
}

inline double raw_raan(const OrbitGeometry& g) noexcept { return atan2_fast(g.n.y, g.n.x); }

// Argument of periapsis with its quadrant from the sign of e_z (periapsis below the equator -> beyond pi).
inline double argument_of_periapsis(const OrbitGeometry& g) noexcept {
    double w = 0.0;
    if (g.n_norm > element_guard && g.ecc > element_guard) w = vector_angle(g.n, g.e_vec);
    return select_less(g.e_vec.z, 0.0, two_pi - w, w);
}

// True anomaly; r . v < 0 means the body is falling back towards periapsis, i.e. past apoapsis.
inline double true_anomaly(const OrbitGeometry& g) noexcept {
    double nu = 0.0;
    if (g.ecc > element_guard && g.r_norm >= element_guard) nu = vector_angle(g.e_vec, g.r);
    return select_less(dot(g.r, g.v), 0.0, two_pi - nu, nu);
}

// Argument of latitude u, measured from the ascending node; the substitute anomaly of circular inclined orbits.
inline double argument_of_latitude(const OrbitGeometry& g) noexcept {
    double u = 0.0;
    if (g.n_norm > element_guard && g.r_norm >= element_guard) u = vector_angle(g.n, g.r);
    return select_less(g.r.z, 0.0, two_pi - u, u);
}

// The flip that turns an angle in [0, pi] measured from the x axis into one in [0, 2pi). In the equatorial plane
// (equatorial: sin i below the caller's tolerance) the angle is measured in the orbit's own direction of motion,
// as coe2rv rotates it back: a negative y component and a retrograde orbit each reverse it, and the two cancel.
// An inclined orbit, which has its node for reference, takes a single flip when either condition holds.
inline double x_axis_angle(double angle, double y, bool retrograde, bool equatorial) noexcept {
    const bool below = y < 0.0;
    const bool flip = equatorial ? below != retrograde : below || retrograde;
    return flip ? two_pi - angle : angle;
}

// True longitude, measured from the x axis; the substitute anomaly of circular equatorial orbits.
inline double true_longitude(const OrbitGeometry& g, double inc, bool equatorial) noexcept {
    const double lambda = std::acos(std::clamp(g.r.x / g.r_norm, -1.0, 1.0));
    return x_axis_angle(lambda, g.r.y, inc > half_pi, equatorial);
}

// Longitude of periapsis, measured from the x axis; replaces the argument of periapsis of equatorial orbits.
inline double longitude_of_periapsis(const OrbitGeometry& g, double inc, bool equatorial) noexcept {
    double lonper = 0.0;
    // Our arc cosine, as the transfer-element lanes take it for equatorial arcs.
    if (g.ecc > element_guard) lonper = vmath::acos<double>(std::clamp(g.e_vec.x / g.ecc, -1.0, 1.0));
    return x_axis_angle(lonper, g.e_vec.y, inc > half_pi, equatorial);
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
    ClassicalElements el{};
    el.sma = semi_major_axis(g, mu, tol);
    el.ecc = g.ecc;
    const bool equatorial = sin_inclination(g) < tol;
    if (g.ecc >= tol && !equatorial && g.n_norm > element_guard && g.ecc > element_guard && g.r_norm >= element_guard &&
        norm(g.h) >= element_guard && std::isfinite(g.h.z)) {
        // The orbit of nearly every state: neither degenerate case nor any guard of the angle functions applies,
        // and the four angles come from two paired evaluations, with the bits that inclination, raw_raan,
        // argument_of_periapsis and true_anomaly give them one by one.
        const AnglePair inc_raan = atan2_fast_pair(g.n_norm, g.h.z, g.n.y, g.n.x);
        const AnglePair argp_nu = vector_angle_pair(g.n, g.e_vec, g.e_vec, g.r);
        el.inc = inc_raan.first;
        el.raan = inc_raan.second;
        el.argp = select_less(g.e_vec.z, 0.0, two_pi - argp_nu.first, argp_nu.first);
        el.nu = select_less(dot(g.r, g.v), 0.0, two_pi - argp_nu.second, argp_nu.second);
    } else {
        el.inc = inclination(g);
        if (g.ecc < tol) {
            el.argp = 0.0;
            if (equatorial) {
                el.raan = 0.0;
                el.nu = true_longitude(g, el.inc, true);
            } else {
                el.raan = raw_raan(g);
                el.nu = argument_of_latitude(g);
            }
        } else if (equatorial) {
            el.raan = 0.0;
            el.argp = longitude_of_periapsis(g, el.inc, true);
            el.nu = true_anomaly(g);
        } else {
            el.raan = raw_raan(g);
            el.argp = argument_of_periapsis(g);
            el.nu = true_anomaly(g);
        }
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
        if (sin_inclination(g) < tol) return wrap_two_pi(true_longitude(g, inc, true));
        return wrap_two_pi(argument_of_latitude(g));
    }
    return wrap_two_pi(true_anomaly(g));
}

// Whether true_anomaly measures the anomaly of g from its periapsis (rather than substituting 0) and
// anomaly_element takes it as the anomaly: an orbit that is not circular by `tol` with e and r past the guards.
inline bool measured_anomaly(const OrbitGeometry& g, double tol) noexcept {
    return g.ecc >= tol && g.ecc > element_guard && g.r_norm >= element_guard;
}

// The departure elements of a transfer arc and the anomaly at its arrival.
struct ArcAngles {
    ClassicalElements departure;
    double arrival_nu;
};

// classical_elements(arc.first, mu, tol) and anomaly_element(arc.second, tol), bit for bit. An arc in the equatorial
// plane (as every arc between two equatorial orbits is) has its two anomalies as the only angles measured between
// vectors, and they are paired here; every other arc takes the two calls.
inline ArcAngles arc_angles(const GeometryPair& arc, double mu, double tol) noexcept {
    const OrbitGeometry& g = arc.first;
    const OrbitGeometry& b = arc.second;
    if (!(sin_inclination(g) < tol && measured_anomaly(g, tol) && measured_anomaly(b, tol))) {
        return {classical_elements(g, mu, tol), anomaly_element(b, tol)};
    }
    // The equatorial branch of classical_elements for an orbit that is not circular, and true_anomaly at both ends.
    ClassicalElements el{};
    el.sma = semi_major_axis(g, mu, tol);
    el.ecc = g.ecc;
    el.inc = inclination(g);
    el.raan = 0.0;
    el.argp = longitude_of_periapsis(g, el.inc, true);
    const AnglePair nu = vector_angle_pair(g.e_vec, g.r, b.e_vec, b.r);
    el.nu = select_less(dot(g.r, g.v), 0.0, two_pi - nu.first, nu.first);
    const double arrival = select_less(dot(b.r, b.v), 0.0, two_pi - nu.second, nu.second);
    el.inc = wrap_two_pi(el.inc);
    el.raan = wrap_two_pi(el.raan);
    el.argp = wrap_two_pi(el.argp);
    el.nu = wrap_two_pi(el.nu);
    return {el, wrap_two_pi(arrival)};
}

}  // namespace orbelin::detail
