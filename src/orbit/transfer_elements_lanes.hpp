#pragma once
// The lane kernel of compute_transfer_orbit_elements_batch: the elements of one arc per lane of V (lanes::f64x4 or
// lanes::f64x8). Included only by the translation units compiled for an instruction set
// (transfer_elements_avx2.cpp, transfer_elements_avx512.cpp), each instantiating it on its own vector type.
// Everything it calls is a template over V (orbit/element_steps.hpp, common/lanes.hpp), a C library function
// (fmod) or out-of-line code of the baseline build (compute_transfer_orbit_elements), so that no function
// compiled with the wider instructions is shared with baseline code.
//
// A lane computes what the scalar conversion computes (orbit/classical_elements.hpp: orbit_geometry_pair and
// arc_angles) for the arcs of nearly every batch: an inclined arc that is neither circular nor degenerate, and an
// equatorial one that is not circular, with every angle measured between regular vectors. Any other arc (circular,
// through the origin, NaN, an angle whose arguments atan2_core leaves to the library) is converted on its own by the
// scalar code.

#include <cstddef>
#include <cstring>

#include "common/lane_vec3.hpp"
#include "common/lanes.hpp"
#include "common/vmath.hpp"
#include "orbit/element_steps.hpp"
#include "orbit/transfer_elements.hpp"

namespace orbelin::detail {

// The angle between p and q, atan2(|p x q|, p . q), and whether atan2_core gives it.
template <class V>
struct LaneAngle {
    V angle;
    lanes::mask_t<V> exact;
};

template <class V>
ORBELIN_LANE_INLINE LaneAngle<V> vector_angle_lanes(const V3<V>& p, const V3<V>& q) noexcept {
    const V3<V> c = cross<V>(p, q);
    const V y = lanes::sqrt<V>(dot<V>(c, c));
    const V x = dot<V>(p, q);
    return {atan2_core<V>(y, x), atan2_core_applies<V>(y, x)};
}

// Degenerate-orbit tolerance of the arc description (energy, e and sin i); the scalar code's transfer_tol.
inline constexpr double transfer_lane_tol = 1e-8;

template <class V>
void transfer_elements_lanes(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept {
    static_assert(!lanes::is_scalar_v<V>, "the scalar form is compute_transfer_orbit_elements");
    using Mask = lanes::mask_t<V>;
    constexpr int width = lanes::width_v<V>;
    constexpr double tol = transfer_lane_tol;
    const V zero = lanes::splat<V>(0.0);
    for (std::size_t first = 0; first < n; first += width) {
        // A group past the end repeats its first arc in the lanes it lacks, whose results are dropped.
        const int count = n - first < static_cast<std::size_t>(width) ? static_cast<int>(n - first) : width;
        // The arcs' twenty doubles transposed: field f of lane l at in[f][l].
        alignas(64) double in[20][width];
        for (int l = 0; l < width; ++l) {
            const ArcStates& a = arcs[first + (l < count ? l : 0)];
            const Vec3* vectors[6] = {&a.ends.r1, &a.ends.r2, &a.ends.r1_unit, &a.ends.r2_unit, &a.v1, &a.v2};
            for (int v = 0; v < 6; ++v) {
                in[3 * v][l] = vectors[v]->x;
                in[3 * v + 1][l] = vectors[v]->y;
                in[3 * v + 2][l] = vectors[v]->z;
            }
            in[18][l] = a.ends.r1_norm;
            in[19][l] = a.ends.r2_norm;
        }
        const auto field = [&](int f) {
            V v;
            std::memcpy(&v, in[f], sizeof v);
            return v;
        };
        const auto vector = [&](int v) { return V3<V>{field(3 * v), field(3 * v + 1), field(3 * v + 2)}; };
        const V3<V> r1 = vector(0);
        const V3<V> r2 = vector(1);
        const V3<V> u1 = vector(2);
        const V3<V> u2 = vector(3);
        const V3<V> v1 = vector(4);
        const V3<V> v2 = vector(5);
        const V r1n = field(18);
        const V r2n = field(19);

        // orbit_geometry at both ends: h = r x v, the node vector k x h = (-h_y, h_x, 0), e = v x h / mu - r / |r|.
        const V3<V> h = cross<V>(r1, v1);
        const V3<V> node{-h.y, h.x, zero};
        const V speed = lanes::sqrt<V>(dot<V>(v1, v1));
        const V n_norm = lanes::sqrt<V>(dot<V>(node, node));
        const V3<V> ca = cross<V>(v1, h);
        const V3<V> e{ca.x / mu - u1.x, ca.y / mu - u1.y, ca.z / mu - u1.z};
        const V ecc = lanes::sqrt<V>(dot<V>(e, e));
        const V3<V> hb = cross<V>(r2, v2);
        const V3<V> cb = cross<V>(v2, hb);
        const V3<V> eb{cb.x / mu - u2.x, cb.y / mu - u2.y, cb.z / mu - u2.z};
        const V ecc_b = lanes::sqrt<V>(dot<V>(eb, eb));
        const V h_norm = lanes::sqrt<V>(dot<V>(h, h));

        // The cases of arc_angles that the lanes take: both anomalies measured from periapsis (measured_anomaly),
        // an angular momentum past the guard with a finite h_z (inclination), and then either an inclined orbit
        // with its node (the first branch of classical_elements) or an equatorial one (sin i = |n| / |h| < tol).
        const Mask measured = (ecc >= tol) & (ecc > element_guard) & (r1n >= element_guard) & (ecc_b >= tol) &
                              (ecc_b > element_guard) & (r2n >= element_guard);
        const Mask base = measured & (h_norm >= element_guard) & (lanes::abs(h.z) < inf);
        const Mask equatorial = n_norm / h_norm < tol;
        const Mask inclined = base & ~equatorial & (n_norm > element_guard);
        const Mask flat = base & equatorial;

        // Inclination: an orbit exactly in the equatorial plane has |n| = +0 and i = 0 or pi by the sign of h_z.
        const Mask in_plane = n_norm == 0.0;
        const Mask h_down = lanes::to_bits<V>(h.z) < 0;
        const V inc = in_plane ? (h_down ? lanes::splat<V>(pi) : zero) : atan2_core<V>(n_norm, h.z);
        Mask exact = in_plane | atan2_core_applies<V>(n_norm, h.z);
        // True anomaly at both ends: r . v < 0 means past apoapsis.
        const LaneAngle<V> nu_raw = vector_angle_lanes<V>(e, r1);
        const LaneAngle<V> nu_b_raw = vector_angle_lanes<V>(eb, r2);
        exact &= nu_raw.exact & nu_b_raw.exact;
        const V nu = dot<V>(r1, v1) < 0.0 ? two_pi - nu_raw.angle : nu_raw.angle;
        const V nu_b = dot<V>(r2, v2) < 0.0 ? two_pi - nu_b_raw.angle : nu_b_raw.angle;

        V raan = zero;
        V argp = zero;
        Mask taken = flat;
        if (lanes::any<V>(inclined)) {
            // The node's longitude, and the argument of periapsis with its quadrant from the sign of e_z.
            const V raan_inclined = atan2_core<V>(node.y, node.x);
            const LaneAngle<V> w = vector_angle_lanes<V>(node, e);
            const Mask inclined_exact = inclined & atan2_core_applies<V>(node.y, node.x) & w.exact;
            raan = inclined ? raan_inclined : raan;
            argp = inclined ? (e.z < 0.0 ? two_pi - w.angle : w.angle) : argp;
            taken |= inclined_exact;
        }
        if (lanes::any<V>(flat)) {
            // longitude_of_periapsis in the equatorial plane, in the orbit's direction of motion (x_axis_angle):
            // a negative e_y and a retrograde orbit each reverse the angle from the x axis.
            const Mask flip = (e.y < 0.0) ^ (inc > half_pi);
            const V c = e.x / ecc;
            const V lonper = vmath::acos<V>(c < -1.0 ? lanes::splat<V>(-1.0) : (1.0 < c ? lanes::splat<V>(1.0) : c));
            argp = flat ? (flip ? two_pi - lonper : lonper) : argp;
        }
        taken &= exact;

        const V sma = semi_major_axis_of<V>(speed, r1n, mu, tol);
        const Apsides<V> ap = apsides<V>(sma, ecc);
        const V inc_deg = wrap_angle<V>(inc) * rad2deg;
        const V raan_deg = wrap_angle<V>(raan) * rad2deg;
        const V argp_deg = wrap_angle<V>(argp) * rad2deg;
        const V nu_deg = wrap_angle<V>(nu) * rad2deg;
        const V nu_b_deg = wrap_angle<V>(nu_b) * rad2deg;
        for (int l = 0; l < count; ++l) {
            const ArcStates& a = arcs[first + l];
            TransferElements& o = out[first + l];
            if (taken[l] == 0) {
                o = compute_transfer_orbit_elements(a.ends, a.v1, a.v2, mu);
                continue;
            }
            o.sma = sma[l];
            o.ecc = ecc[l];
            o.inc = inc_deg[l];
            o.raan = raan_deg[l];
            o.argp = argp_deg[l];
            o.ta_depart = nu_deg[l];
            o.ta_arrive = nu_b_deg[l];
            o.rp = ap.rp[l];
            o.ra = ap.ra[l];
        }
    }
}

}  // namespace orbelin::detail
