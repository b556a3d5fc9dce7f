#pragma once
// Sine and cosine of one argument together, within 1 ulp of the C library's std::sin and std::cos, without a call:
// a short chain of multiplications and additions that the compiler can overlap with other work and run in
// vector lanes. Every operation is an IEEE double operation in a fixed order, so the result is a function of the
// argument alone, the same in every caller and every build (the builds never contract into fused multiply-adds).
//
// |x| <= sin_cos_reduction_limit: x = k pi/2 + y with |y| <= pi/4 (plus rounding), y carried as a double-double
// from a four-part Cody-Waite reduction, then the Taylor polynomials of sin and cos in y (truncated where the next
// term is below 2^-62 of the result) and the quadrant k mod 4. Beyond the limit, below 2^-26 (where sin x = x and
// cos x = 1 to rounding, signed zeros included) and for infinities and NaN, the library's functions.

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/simd.hpp"

namespace orbelin {

struct SinCos {
    double sin;
    double cos;
};

// Where the reduction below stays exact: k pi/2 with |k| < 2^20 keeps k * (a 33-bit part of pi/2) exact.
inline constexpr double sin_cos_reduction_limit = 262144.0;  // 2^18

namespace detail {

// pi/2 = P1 + P2 + P3 + P4 + O(2^-155): P1, P2, P3 of 33 significant bits, P4 of 53.
inline constexpr double pio2_1 = 0x1.921fb54400000p+0;
inline constexpr double pio2_2 = 0x1.0b4611a600000p-34;
inline constexpr double pio2_3 = 0x1.3198a2e000000p-69;
inline constexpr double pio2_4 = 0x1.b839a252049c1p-104;
inline constexpr double two_over_pi = 0x1.45f306dc9c883p-1;
// Adding 1.5 * 2^52 rounds a double of magnitude below 2^51 to the nearest integer, which then sits in the low
// bits of the sum (two's complement for negative values).
inline constexpr double round_shift = 0x1.8p52;

// 1/n! for n = 0 ... 18; every n! up to 18! is exact in a double, so each entry is correctly rounded.
inline constexpr auto inverse_factorials = [] {
    std::array<double, 19> table{};
    double factorial = 1.0;
    for (std::size_t n = 0; n < table.size(); ++n) {
        if (n > 0) factorial *= static_cast<double>(n);
        table[n] = 1.0 / factorial;
    }
    return table;
}();

// a + b = s + e exactly (Knuth's two-sum; no condition on the magnitudes).
struct TwoSum {
    double s;
    double e;
};
[[gnu::always_inline]] inline TwoSum two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// x - k pi/2 = y_hi + y_lo for an integer k with |k| < 2^20, by the four parts of pi/2 and exact sums. t = x - k P1
// is exact (k P1 is exact and lies within a factor 2 of x).
[[gnu::always_inline]] inline TwoSum reduce_quadrant(double k, double t) noexcept {
    const TwoSum a = two_sum(t, -(k * pio2_2));
    const TwoSum b = two_sum(a.s, -(k * pio2_3));
    return two_sum(b.s, (a.e + b.e) - k * pio2_4);
}

// The code below is written once over the lane type V: a double, or a GCC vector of doubles whose lanes each
// take the same operations; U is the unsigned 64-bit integer of the same shape.

// x = k pi/2 + t + (k P1 - k pi/2): k the nearest integer to x 2/pi, t = x - k P1, and k mod 4.
template <class V, class U>
struct Quadrant {
    V k;
    V t;
    U q;
};

template <class V, class U>
[[gnu::always_inline]] inline Quadrant<V, U> quadrant_of(V x) noexcept {
    const V shifted = x * two_over_pi + round_shift;
    const V k = shifted - round_shift;
    return {k, x - k * pio2_1, std::bit_cast<U>(shifted) & 3};
}

// The reduction where |t| >= 2^-10: then t - k P2 (|k P2| < 2^-14) loses no bits to cancellation, its rounding
// error is exact by the fast two-sum, and the parts of pi/2 beyond P3 and the rounding of k P3 are below 2^-95 of
// y. This short chain is the common case; reduce_quadrant takes the rest.
template <class V>
struct Reduced {
    V hi;
    V lo;
};

template <class V>
[[gnu::always_inline]] inline Reduced<V> reduce_quadrant_far(V k, V t) noexcept {
    const V kp2 = k * pio2_2;
    const V y_hi = t - kp2;
    return {y_hi, ((t - y_hi) - kp2) - k * (pio2_3 + pio2_4)};
}

// c0 + c1 z + ... + c7 z^7 by Estrin's scheme (depth three instead of seven).
template <class V>
[[gnu::always_inline]] inline V estrin8(V z, V z2, V z4, double c0, double c1, double c2, double c3, double c4,
                                        double c5, double c6, double c7) noexcept {
    return ((c0 + c1 * z) + (c2 + c3 * z) * z2) + ((c4 + c5 * z) + (c6 + c7 * z) * z2) * z4;
}

// sin and cos of k pi/2 + y_hi + y_lo, |y_hi| <= pi/4 (plus rounding), q = k mod 4.
template <class V, class U>
[[gnu::always_inline]] inline void sin_cos_of_reduced(V y_hi, V y_lo, U q, V& sin_x, V& cos_x) noexcept {
    const V z = y_hi * y_hi;
    const V z2 = z * z;
    const V z4 = z2 * z2;
    const auto& f = inverse_factorials;

    // sin y = y + y z S(z), S(z) = -1/3! + z/5! - ... + z^7/17!; sin(y_hi + y_lo) = sin y_hi + y_lo cos y_hi.
    const V s = estrin8(z, z2, z4, -f[3], f[5], -f[7], f[9], -f[11], f[13], -f[15], f[17]);
    const V sin_y = y_hi + (y_hi * z * s + y_lo * (1.0 - 0.5 * z));

    // cos y = 1 - z/2 + z^2 C(z), C(z) = 1/4! - z/6! + ... - z^7/18!; cos(y_hi + y_lo) = cos y_hi - y_lo sin y_hi.
    // 1 - z/2 is rounded once and its rounding error carried into the small terms.
    const V c = estrin8(z, z2, z4, f[4], -f[6], f[8], -f[10], f[12], -f[14], f[16], -f[18]);
    const V hz = 0.5 * z;
    const V w = 1.0 - hz;
    const V cos_y = w + (((1.0 - w) - hz) + (z2 * c - y_hi * y_lo));

    // Quadrant q: (sin, cos) = (s, c), (c, -s), (-s, -c), (-c, s). By bit operations rather than branches, which
    // would be mispredicted as the quadrant changes from one argument to the next.
    const U swap = U{} - (q & 1);
    const U sin_sign = (q & 2) << 62;
    const U cos_sign = ((q + 1) & 2) << 62;
#if ORBELIN_SSE2
    // One double: the masks go to a vector register while the polynomials run, and the selection stays there (a
    // round trip of the values through general registers would add to the latency).
    if constexpr (std::is_same_v<V, double>) {
        const auto mask = [](U m) { return _mm_castsi128_pd(_mm_cvtsi64_si128(static_cast<long long>(m))); };
        const __m128d swap_m = mask(swap);
        const __m128d s = _mm_set_sd(sin_y);
        const __m128d c = _mm_set_sd(cos_y);
        sin_x = _mm_cvtsd_f64(_mm_xor_pd(_mm_or_pd(_mm_andnot_pd(swap_m, s), _mm_and_pd(swap_m, c)), mask(sin_sign)));
        cos_x = _mm_cvtsd_f64(_mm_xor_pd(_mm_or_pd(_mm_andnot_pd(swap_m, c), _mm_and_pd(swap_m, s)), mask(cos_sign)));
        return;
    }
#endif
    const U s_bits = std::bit_cast<U>(sin_y);
    const U c_bits = std::bit_cast<U>(cos_y);
    sin_x = std::bit_cast<V>(((s_bits & ~swap) | (c_bits & swap)) ^ sin_sign);
    cos_x = std::bit_cast<V>(((c_bits & ~swap) | (s_bits & swap)) ^ cos_sign);
}

inline constexpr double sin_cos_tiny = 0x1p-26;
inline constexpr double sin_cos_far = 0x1p-10;

}  // namespace detail

// sin x and cos x.
[[gnu::always_inline]] inline SinCos sin_cos(double x) noexcept {
    using namespace detail;
    const double ax = std::fabs(x);
    if (!(ax <= sin_cos_reduction_limit && ax >= sin_cos_tiny)) return {std::sin(x), std::cos(x)};
    const auto [k, t, q] = quadrant_of<double, std::uint64_t>(x);
    double y_hi, y_lo;
    if (std::fabs(t) >= sin_cos_far) {
        const Reduced<double> y = reduce_quadrant_far(k, t);
        y_hi = y.hi;
        y_lo = y.lo;
    } else {
        const TwoSum y = reduce_quadrant(k, t);
        y_hi = y.s;
        y_lo = y.e;
    }
    SinCos out{};
    sin_cos_of_reduced(y_hi, y_lo, q, out.sin, out.cos);
    return out;
}

// The common path of sin_cos in every lane of x at once: sin x and cos x, the same bits as sin_cos gives, in the
// lanes where `direct` is set; the other lanes (arguments out of the reduced range, near a multiple of pi/2, NaN)
// hold values to be discarded and are for sin_cos itself. M is the mask type of V's comparisons.
template <class V, class U, class M>
[[gnu::always_inline]] inline void sin_cos_lanes(V x, V& sin_x, V& cos_x, M& direct) noexcept {
    using namespace detail;
    const Quadrant<V, U> r = quadrant_of<V, U>(x);
    const Reduced<V> y = reduce_quadrant_far(r.k, r.t);
    sin_cos_of_reduced(y.hi, y.lo, r.q, sin_x, cos_x);
    const V ax = std::bit_cast<V>(std::bit_cast<U>(x) & 0x7fff'ffff'ffff'ffffULL);
    const V at = std::bit_cast<V>(std::bit_cast<U>(r.t) & 0x7fff'ffff'ffff'ffffULL);
    direct = (ax <= sin_cos_reduction_limit) & (ax >= sin_cos_tiny) & (at >= sin_cos_far);
}

}  // namespace orbelin
