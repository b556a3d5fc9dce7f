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

namespace orbelin::detail {

// Below this, a node vector, eccentricity or radius is treated as zero when choosing which raw angles exist.
// Fixed on purpose: it only protects atan2/acos from meaningless directions; the caller's tol decides the
// degenerate cases.
inline constexpr double element_guard = 1e-12;

inline constexpr double half_pi = 1.5707963267948966;

// atan(k / 32) for k = 0..32 as a sum of two doubles (the second is the rounding error of the first).
inline constexpr double atan_32nds_hi[33] = {0.0,
                                             0.031239833430268277,
                                             0.06241880999595735,
                                             0.09347678115858947,
                                             0.12435499454676144,
                                             0.15499674192394097,
                                             0.18534794999569476,
                                             0.21535769969773805,
                                             0.24497866312686414,
                                             0.2741674511196588,
                                             0.3028848683749714,
                                             0.3310960767041321,
                                             0.35877067027057225,
                                             0.38588266939807375,
                                             0.4124104415973873,
                                             0.43833655985795783,
                                             0.4636476090008061,
                                             0.48833395105640554,
                                             0.5123894603107377,
                                             0.5358112379604637,
                                             0.5585993153435624,
                                             0.5807563535676704,
                                             0.6022873461349642,
                                             0.6231993299340659,
                                             0.6435011087932844,
                                             0.6632029927060933,
                                             0.6823165548747481,
                                             0.7008544078844502,
                                             0.7188299996216245,
                                             0.7362574289814281,
                                             0.7531512809621944,
                                             0.7695264804056583,
                                             0.7853981633974483};
inline constexpr double atan_32nds_lo[33] = {0.0,
                                             -1.188442711587748e-18,
                                             -1.5490756308295046e-18,
                                             -6.2844725995420954e-18,
                                             -3.1253241424539383e-18,
                                             9.585415594114324e-18,
                                             4.180692268843079e-18,
                                             4.738160130078733e-19,
                                             1.0698755618734451e-17,
                                             8.261353575163773e-18,
                                             -1.1010827903001369e-17,
                                             -7.952610375793799e-18,
                                             -2.4623815582638635e-17,
                                             2.378822732491941e-17,
                                             -1.587652227770689e-17,
                                             -2.494277030626541e-17,
                                             2.2698777452961687e-17,
                                             -1.1373236189329585e-17,
                                             -2.5462781472855804e-17,
                                             -4.0637956834825575e-18,
                                             -5.4556305485916264e-18,
                                             -1.441464378193067e-17,
                                             2.950430737228402e-17,
                                             2.672403885140095e-17,
                                             1.5834785051444286e-17,
                                             -3.076054864429649e-17,
                                             6.943223671560008e-18,
                                             -1.987626234335816e-17,
                                             -2.1478388444456983e-17,
                                             3.473937648299457e-17,
                                             -2.4256934659182068e-17,
                                             -3.704991905602721e-17,
                                             3.061616997868383e-17};

// atan2(y, x) without a library call, for the element angles (five per state, which otherwise cost most of the
// conversion). The smaller magnitude over the larger gives a tangent q in [0, 1]; with c the nearest multiple of
// 1/32, atan q = atan c + atan z, z = (q - c) / (1 + q c), |z| <= 1/64, and the Taylor series of atan z up to z^9
// leaves a relative error below 1e-19. The angle is within a few ulps of the library's. Zeros, infinities, NaN and
// magnitudes beyond 1e300 (where hi + c lo could overflow) take the library's route and conventions.
inline double atan2_fast(double y, double x) noexcept {
    const double ax = std::fabs(x);
    const double ay = std::fabs(y);
    if (!(ax > 0.0 && ay > 0.0 && ax < 1e300 && ay < 1e300)) return std::atan2(y, x);
    const double lo = select_less(ax, ay, ax, ay);
    const double hi = select_less(ax, ay, ay, ax);
    // Adding 1.5 * 2^52 rounds 32 q to the nearest integer k, which the low bits of the sum then hold.
    const double shifted = lo / hi * 32.0 + 6755399441055744.0;
    const auto k = static_cast<std::size_t>(std::bit_cast<std::uint64_t>(shifted) & 63u);
    const double c = (shifted - 6755399441055744.0) * 0.03125;
    const double z = (lo - c * hi) / (hi + c * lo);
    const double w = z * z;
    // -1/3 + w/5 - w^2/7 + w^3/9, in two halves that evaluate side by side.
    const double series = (-1.0 / 3.0 + w * (1.0 / 5.0)) + (w * w) * (-1.0 / 7.0 + w * (1.0 / 9.0));
    const double a = atan_32nds_hi[k] + (atan_32nds_lo[k] + (z + (z * w) * series));
    const double t = select_less(ax, ay, half_pi - a, a);
    return std::copysign(select_less(x, 0.0, pi - t, t), y);
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

// Angle into [0, 2pi). NaN stays NaN. fmod is exact, so inside (-2pi, 2pi) it returns x itself: the angles that
// atan2 produces take the first line without the library call and with the same bits.
inline double wrap_two_pi(double x) noexcept {
    if (x > -two_pi && x < two_pi) return select_less(x, 0.0, x + two_pi, x);
    x = std::fmod(x, two_pi);
    if (x < 0.0) x += two_pi;
    return x;
}

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
    if (g.ecc > element_guard) lonper = std::acos(std::clamp(g.e_vec.x / g.ecc, -1.0, 1.0));
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
