#pragma once
// The steps of the Cartesian -> element conversion that the transfer-element lane kernel shares with the scalar
// code (orbit/classical_elements.hpp), written once over the lane type V (common/lanes.hpp): the scalar functions
// instantiate them on double, the kernels of transfer_elements_avx2.cpp and transfer_elements_avx512.cpp on their
// vectors, and every lane takes the very operations of the scalar form in the same order, so its bits are the scalar
// ones. Everything here is a template over V or constant data: a translation unit compiled for a wider instruction
// set may include it without defining any function that baseline code shares.
//
// Units: km, km/s, mu in km^3/s^2; angles in radians.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/constants.hpp"
#include "common/lanes.hpp"
#include "common/select.hpp"

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

// base[index[l]] in every lane l: one gather instruction with AVX-512F, one load per lane otherwise (AVX2's gather
// measured slower than the loads).
template <class V>
ORBELIN_LANE_INLINE V gather(const double* base, lanes::bits_t<V> index) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        return base[index];
    } else {
#if defined(__AVX512F__)
        if constexpr (lanes::width_v<V> == 8) {
            return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), static_cast<__mmask8>(0xFF),
                                            reinterpret_cast<__m512i>(index), base, 8);
        }
#endif
        V v{};
        for (int l = 0; l < lanes::width_v<V>; ++l) v[l] = base[index[l]];
        return v;
    }
}

// x < y ? a : b lane by lane; on a double, the branch-free select_less.
template <class V>
ORBELIN_LANE_INLINE V pick_less(V x, V y, V a, V b) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        return select_less(x, y, a, b);
    } else {
        return x < y ? a : b;
    }
}

// Whether atan2_core applies to (y, x): both magnitudes positive and below 1e300 (beyond it hi + c lo could
// overflow). Zeros, infinities and NaN fail.
template <class V>
ORBELIN_LANE_INLINE lanes::mask_t<V> atan2_core_applies(V y, V x) noexcept {
    const V ax = lanes::abs(x);
    const V ay = lanes::abs(y);
    if constexpr (lanes::is_scalar_v<V>) {
        return ax > 0.0 && ay > 0.0 && ax < 1e300 && ay < 1e300;
    } else {
        return (ax > 0.0) & (ay > 0.0) & (ax < 1e300) & (ay < 1e300);
    }
}

// atan2(y, x) without a library call where atan2_core_applies, for the element angles (five per state, which
// otherwise cost most of the conversion). The smaller magnitude over the larger gives a tangent q in [0, 1]; with c
// the nearest multiple of 1/32, atan q = atan c + atan z, z = (q - c) / (1 + q c), |z| <= 1/64, and the Taylor
// series of atan z up to z^9 leaves a relative error below 1e-19. The angle is within a few ulps of the library's.
// A lane where it does not apply gets a meaningless angle (but reads only inside the tables).
template <class V>
ORBELIN_LANE_INLINE V atan2_core(V y, V x) noexcept {
    const V ax = lanes::abs(x);
    const V ay = lanes::abs(y);
    const V lo = pick_less<V>(ax, ay, ax, ay);
    const V hi = pick_less<V>(ax, ay, ay, ax);
    // Adding 1.5 * 2^52 rounds 32 q to the nearest integer k, which the low bits of the sum then hold.
    const V shifted = lo / hi * 32.0 + 6755399441055744.0;
    // The masks below act on std::int64_t bits, the same bits as on unsigned ones.
    // NOLINTNEXTLINE(bugprone-signed-bitwise)
    const lanes::bits_t<V> k = lanes::to_bits<V>(shifted) & 63;
    const V c = (shifted - 6755399441055744.0) * 0.03125;
    const V z = (lo - c * hi) / (hi + c * lo);
    const V w = z * z;
    // -1/3 + w/5 - w^2/7 + w^3/9, in two halves that evaluate side by side.
    const V series = (-1.0 / 3.0 + w * (1.0 / 5.0)) + (w * w) * (-1.0 / 7.0 + w * (1.0 / 9.0));
    V table_hi{};
    V table_lo{};
    if constexpr (lanes::is_scalar_v<V>) {
        table_hi = atan_32nds_hi[k];
        table_lo = atan_32nds_lo[k];
    } else {
        // One load per lane; k is at most 32 wherever the angle applies, and kept inside the tables elsewhere.
        const lanes::bits_t<V> i = k > 32 ? lanes::splat_bits<V>(0) : k;
        table_hi = gather<V>(atan_32nds_hi, i);
        table_lo = gather<V>(atan_32nds_lo, i);
    }
    const V a = table_hi + (table_lo + (z + (z * w) * series));
    const V t = pick_less<V>(ax, ay, half_pi - a, a);
    const V r = pick_less<V>(x, lanes::splat<V>(0.0), pi - t, t);
    // copysign(r, y), by the bits.
    const lanes::bits_t<V> sign = lanes::splat_bits<V>(INT64_MIN);
    // NOLINTNEXTLINE(bugprone-signed-bitwise)
    return lanes::from_bits<V>((lanes::to_bits<V>(r) & ~sign) | (lanes::to_bits<V>(y) & sign));
}

// Angle into [0, 2pi). NaN stays NaN. fmod is exact, so inside (-2pi, 2pi) it returns x itself: the angles that
// atan2 produces take the first line without the library call and with the same bits.
template <class V>
ORBELIN_LANE_INLINE V wrap_angle(V x) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        if (x > -two_pi && x < two_pi) return select_less(x, 0.0, x + two_pi, x);
        x = std::fmod(x, two_pi);
        if (x < 0.0) x += two_pi;
        return x;
    } else {
        const lanes::mask_t<V> inside = (x > -two_pi) & (x < two_pi);
        V r = x < 0.0 ? x + two_pi : x;
        if (!lanes::all<V>(inside)) {
            for (int l = 0; l < lanes::width_v<V>; ++l) {
                if (inside[l] != 0) continue;
                double y = std::fmod(x[l], two_pi);
                if (y < 0.0) y += two_pi;
                r[l] = y;
            }
        }
        return r;
    }
}

// a = -mu / (2 xi) from the vis-viva energy xi of speed v at radius r; +inf when |xi| < tol (parabolic), negative
// when hyperbolic.
template <class V>
ORBELIN_LANE_INLINE V semi_major_axis_of(V v, V r, double mu, double tol) noexcept {
    const V energy = v * v / 2.0 - mu / r;
    if constexpr (lanes::is_scalar_v<V>) {
        if (std::fabs(energy) < tol) return inf;
        return -mu / (2.0 * energy);
    } else {
        return lanes::abs(energy) < tol ? lanes::splat<V>(inf) : -mu / (2.0 * energy);
    }
}

// Periapsis and apoapsis radii of a conic of semi-major axis a and eccentricity e: NaN for a parabolic (infinite a)
// or NaN conic; ra = +inf for a hyperbola (a < 0).
template <class V>
struct Apsides {
    V rp;
    V ra;
};

template <class V>
ORBELIN_LANE_INLINE Apsides<V> apsides(V a, V e) noexcept {
    // (1 - e) a for the ellipse, |a| (e - 1) for the hyperbola (a < 0), which is the same product bit for bit:
    // 1 - e is exactly -(e - 1). A hyperbola has no apoapsis. Ellipses and hyperbolas alternate at random in a
    // batch, so the choice is a select, not a branch.
    const V rp = (1.0 - e) * a;
    const V ra = pick_less<V>(lanes::splat<V>(0.0), a, (1.0 + e) * a, lanes::splat<V>(inf));
    if constexpr (lanes::is_scalar_v<V>) {
        if (std::isinf(a) || std::isnan(a)) return {nan, nan};
        return {rp, ra};
    } else {
        const lanes::mask_t<V> conic = lanes::abs(a) < inf;
        return {conic ? rp : lanes::splat<V>(nan), conic ? ra : lanes::splat<V>(nan)};
    }
}

}  // namespace orbelin::detail
