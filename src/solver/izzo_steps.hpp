#pragma once
// Steps of Izzo's solver written once over the lane type V (common/lanes.hpp): the setup (steps 2-6), T00 of step
// 7, the direct guess of step 9 and the velocities of step 11. The single solve instantiates them on double, the
// lane kernels (izzo_lanes.hpp) on the vectors of their instruction set; every lane takes the operations of the
// scalar solve in the same order, so its bits are the scalar ones. The rare branches (collinear positions, the
// middle regime of the guess) are handed in as functions of one lane, which the lanes call lane by lane.

#include "common/lane_vec3.hpp"
#include "common/lanes.hpp"
#include "common/select.hpp"
#include "common/vmath.hpp"
#include "solver/izzo_problem.hpp"

namespace orbelin::detail {

// Lane l of a value or a mask (for a plain double, the value itself).
template <class V>
ORBELIN_LANE_INLINE double lane(const V& v, int l) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        return v;
    } else {
        return v[l];
    }
}
template <class V>
ORBELIN_LANE_INLINE void set_lane(V& v, int l, double d) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        v = d;
    } else {
        v[l] = d;
    }
}
template <class V>
ORBELIN_LANE_INLINE bool lane_holds(const lanes::mask_t<V>& m, int l) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        return m;
    } else {
        return m[l] != 0;
    }
}

// Below this value of 1 - c/s (transfer angles within a few thousandths of a radian of a half turn) lambda is
// computed from the half-sum of the radial unit vectors instead.
inline constexpr double half_turn_band = 1e-6;

// Step 3 from the unit radial directions: the unit normal ir1 x ir2 / |ir1 x ir2|, or, for the lanes whose cross
// product is shorter than collinear_sin_angle (or NaN), collinear(lane, |ir1 x ir2|, ih) setting that lane of ih.
template <class V, class Collinear>
ORBELIN_LANE_INLINE V3<V> izzo_plane_normal(const V3<V>& ir1, const V3<V>& ir2, Collinear&& collinear) noexcept {
    const V3<V> h = cross(ir1, ir2);
    const V hn = norm(h);
    const lanes::mask_t<V> apart = hn >= collinear_sin_angle;
    V3<V> ih = divide(h, hn);
    if (lanes::all<V>(apart)) return ih;
    for (int l = 0; l < lanes::width_v<V>; ++l) {
        if (!lane_holds<V>(apart, l)) collinear(l, lane(hn, l), ih);
    }
    return ih;
}

// What steps 2-6 start from: both positions with their lengths and unit directions, and the time of flight.
template <class V>
struct IzzoEnds {
    V3<V> r1, r2, ir1, ir2;
    V r1n, r2n, tof;
};

// Steps 2-6 and the velocity scales of step 11, given the plane's unit normal ih.
template <class V>
struct IzzoGeometry {
    V lambda, T, rho, radial1, radial2, tangential1, tangential2;
    V3<V> it1, it2;
};

// 4. The sign of lambda and of the tangential directions from the z component of the plane's unit normal ih (negative
//    for a transfer angle above 180 degrees as seen from +z), flipped again for retrograde motion (retro: -1 for
//    retrograde, 1 otherwise). Both conditions vary at random across a batch,
//    so the sign is a factor instead of a branch: cross(ir, ih) is exactly -cross(ih, ir), and multiplying by -1 or
//    1 is exact.
template <class V>
ORBELIN_LANE_INLINE V izzo_sign(V ih_z, double retro) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        return select_less(ih_z, 0.0, -1.0, 1.0) * retro;
    } else {
        return lanes::select<V>(ih_z < 0.0, lanes::splat<V>(-1.0), lanes::splat<V>(1.0)) * retro;
    }
}

// 5. lambda from the chord c and the semi-perimeter s of step 2, with the sign of izzo_sign.
template <class V>
ORBELIN_LANE_INLINE V izzo_lambda(const IzzoEnds<V>& e, V c, V s, V sign) noexcept {
    //  Near a half turn 1 - c/s = r1 r2 cos^2(theta/2) / s^2 is a difference of nearly equal numbers: within
    //  a few 1e-3 rad of it the rounding of c would cost lambda up to 1e-8 (arcs that miss r2 by 1e-7 of its
    //  radius) or, within 1e-7 rad, turn 1 - c/s negative. There the square of the cosine comes from the
    //  half-sum of the unit vectors, |ir1 + ir2|^2 / 4, which those rounding errors do not reach; anything
    //  still negative gives 0, and a NaN stays NaN.
    V one_minus_c_over_s = 1.0 - c / s;
    const lanes::mask_t<V> band = one_minus_c_over_s < half_turn_band;
    if (lanes::any<V>(band)) {
        const V half_sum = norm(e.ir1 + e.ir2) / (2.0 * s);
        one_minus_c_over_s = lanes::select<V>(band, e.r1n * e.r2n * half_sum * half_sum, one_minus_c_over_s);
    }
    return sign * lanes::sqrt<V>(lanes::select<V>(one_minus_c_over_s < 0.0, lanes::splat<V>(0.0), one_minus_c_over_s));
}

// retro: -1 for retrograde motion, 1 otherwise.
template <class V>
ORBELIN_LANE_INLINE IzzoGeometry<V> izzo_geometry(const IzzoEnds<V>& e, const V3<V>& ih, double mu,
                                                  double retro) noexcept {
    IzzoGeometry<V> g{};
    // 2. Geometry (and the time of step 6).
    const V c = norm(e.r2 - e.r1);
    const V s = (e.r1n + e.r2n + c) / 2.0;
    g.T = lanes::sqrt<V>(2.0 * mu / (s * s * s)) * e.tof;

    // 4-5. lambda and the tangential directions.
    const V sign = izzo_sign<V>(ih.z, retro);
    g.lambda = izzo_lambda<V>(e, c, s, sign);
    // Normalised here once; the velocity reconstruction (step 11) uses them only as unit vectors.
    const V3<V> it1 = scale(sign, cross(ih, e.ir1));
    const V3<V> it2 = scale(sign, cross(ih, e.ir2));
    g.it1 = divide(it1, norm(it1));
    g.it2 = divide(it2, norm(it2));

    // Constants of the velocity reconstruction (step 11), divided by the radii here once so that every arc's
    // velocities take multiplications only.
    const V gamma = lanes::sqrt<V>(mu * s / 2.0);
    g.rho = (e.r1n - e.r2n) / c;
    const V sigma = lanes::sqrt<V>(1.0 - g.rho * g.rho);
    g.radial1 = gamma / e.r1n;
    g.radial2 = gamma / e.r2n;
    g.tangential1 = sigma * g.radial1;
    g.tangential2 = sigma * g.radial2;
    return g;
}

// T(x = 0) of the direct arc (step 7). The arc cosine is our own (common/vmath.hpp), so that the lanes and a single
// solve round it alike and no lane waits on a call into the C library.
template <class V>
ORBELIN_LANE_INLINE V izzo_t00(V lambda) noexcept {
    return vmath::acos<V>(lambda) + lambda * lanes::sqrt<V>(1.0 - lambda * lambda);
}

// 9. Initial guess of the direct arc on the three regimes of T (Izzo 2015, eq. 30); middle(T, T00, T1) gives that
// of a lane between T1 and T00. The scalar instantiation branches, the lanes compute both outer regimes.
template <class V, class Middle>
ORBELIN_LANE_INLINE V izzo_direct_guess_of(V lambda, V T, V T00, Middle&& middle) noexcept {
    const V l2 = lambda * lambda;
    const V l3 = l2 * lambda;
    const V l5 = l3 * l2;
    const V T1 = 2.0 / 3.0 * (1.0 - l3);
    const auto above = [&] { return -(T - T00) / (T - T00 + 4.0); };
    const auto below = [&] { return T1 * (T1 - T) / (0.4 * (1.0 - l5) * T) + 1.0; };
    if constexpr (lanes::is_scalar_v<V>) {
        if (T >= T00) return above();
        if (T <= T1) return below();
        return middle(T, T00, T1);
    } else {
        const lanes::mask_t<V> is_above = T >= T00;
        const lanes::mask_t<V> is_below = T <= T1;
        V x = lanes::select<V>(is_above, above(), below());
        const lanes::mask_t<V> between = ~(is_above | is_below);
        if (lanes::any<V>(between)) {
            for (int l = 0; l < lanes::width_v<V>; ++l) {
                if (between[l] != 0) x[l] = middle(T[l], T00[l], T1[l]);
            }
        }
        return x;
    }
}

// 11. Terminal velocities from x: the radial and tangential speeds at both ends.
template <class V>
struct IzzoSpeeds {
    V vr1, vt1, vr2, vt2;
};

template <class V>
ORBELIN_LANE_INLINE IzzoSpeeds<V> izzo_speeds(V x, V lambda, V rho, V radial1, V radial2, V tangential1,
                                              V tangential2) noexcept {
    const V l2 = lambda * lambda;
    const V y = lanes::sqrt<V>(1.0 - l2 + l2 * x * x);
    const V ly = lambda * y;
    const V vr1 = radial1 * ((ly - x) - rho * (ly + x));
    const V vr2 = -radial2 * ((ly - x) + rho * (ly + x));
    const V vt = y + lambda * x;
    return {vr1, tangential1 * vt, vr2, tangential2 * vt};
}

// vr ir + vt it, component by component.
template <class V>
ORBELIN_LANE_INLINE V3<V> izzo_velocity(V vr, const V3<V>& ir, V vt, const V3<V>& it) noexcept {
    return {vr * ir.x + vt * it.x, vr * ir.y + vt * it.y, vr * ir.z + vt * it.z};
}

}  // namespace orbelin::detail
