#pragma once
// Elementary functions written once over the lane types of lanes.hpp: log, acos, asin, asinh and atan2 for a plain
// double (the portable path) and for 4 or 8 doubles at once. Every lane goes through the same IEEE operations in the
// same order, with no branch on a value (the cases of a function are all computed and the right one selected per lane),
// so lane k of a vector result is bit for bit the double instantiation on the same input.
//
// Each function is faithfully rounded (error below 1 ulp, measured below 0.75) over its whole domain, so it differs
// from a library function that is itself within 1 ulp by at most 1 ulp (glibc's asinh is not: it is off by up to
// 1.7 ulp, and there ours can be 2 ulps from it, nearer the true value); special values (signed zeros, infinities, NaN,
// subnormals, the ends of the domain and just outside it) give what the C library gives. The error budget of each
// function is in its comment; tests/cpp/test_vmath.cpp measures it and benchmarks/cpp/bench_vmath.cpp prints it with
// the speed.
//
// The polynomial coefficients are near-minimax fits in relative error, derived by tools/fit_vmath.py, which also
// writes the logarithm's table (vmath_log_table.hpp).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "common/lanes.hpp"
#include "common/vmath_log_table.hpp"

namespace orbelin::vmath {

namespace detail {

using lanes::bits_t;
using lanes::from_bits;
using lanes::mask_t;
using lanes::select;
using lanes::splat;
using lanes::splat_bits;
using lanes::to_bits;

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr std::int64_t sign_bit = std::numeric_limits<std::int64_t>::min();

// ln 2 split so that k * ln2_hi is exact for every binary exponent k a double can have (ln2_hi has 32 significant
// bits, k at most 11), with ln2_lo the rest.
inline constexpr double ln2_hi = 0x1.62e42feep-1;
inline constexpr double ln2_lo = 1.9082149292705877e-10;
// pi/2 = pio2_hi + pio2_lo, pio2_hi the double nearest to it.
inline constexpr double pio2_hi = 1.5707963267948966;
inline constexpr double pio2_lo = 6.123233995736766e-17;
inline constexpr double pi_hi = 3.141592653589793;
inline constexpr double pi_lo = 1.2246467991473532e-16;
inline constexpr double pio4_hi = 0.7853981633974483;
inline constexpr double pio4_lo = 3.061616997868383e-17;
inline constexpr double atan_half_hi = 0.4636476090008061;
inline constexpr double atan_half_lo = 2.2698777452961687e-17;

// asin(s) = s + s z P(z) with z = s^2 <= 1/4; P(z) ~ 1/6 + 3/40 z + ...
inline constexpr std::array<double, 14> asin_poly{
    0.16666666666666666,  0.07500000000000118,  0.044642857142551236,  0.030381944475591983, 0.022372157440717466,
    0.017352816617756082, 0.013963778636220892, 0.011566475960553163,  0.00962171028406244,  0.009320298817537808,
    0.003042112803367317, 0.019561197368064193, -0.019251063609761476, 0.02961784360278849,
};

// c[0] + c[1] z + ... + c[N-1] z^(N-1) by Estrin's scheme: pairs c[2i] + c[2i+1] z, then pairs of those joined
// with z^2, then with z^4, ...: a chain of about 2 log2(N) dependent operations instead of N - 1 multiply-adds.
template <class V, std::size_t N>
ORBELIN_LANE_INLINE V polynomial(V z, const std::array<double, N>& c) noexcept {
    static_assert(N >= 2);
    std::array<V, (N + 1) / 2> t{};
    for (std::size_t i = 0; i < N / 2; ++i) t[i] = c[2 * i] + c[2 * i + 1] * z;
    if constexpr (N % 2 == 1) t[N / 2] = splat<V>(c[N - 1]);
    V power = z * z;
    for (std::size_t n = (N + 1) / 2; n > 1; n = (n + 1) / 2) {
        for (std::size_t i = 0; i < n / 2; ++i) t[i] = t[2 * i] + t[2 * i + 1] * power;
        if (n % 2 == 1) t[n / 2] = t[n - 1];
        if (n > 2) power = power * power;
    }
    return t[0];
}

// atan(u) = u + u z P(z) with z = u^2 <= 0.1915 (|u| <= 7/16); P(z) ~ -1/3 + 1/5 z - ...
inline constexpr std::array<double, 12> atan_poly{
    -0.3333333333333333,  0.19999999999999402,  -0.142857142855649,   0.1111111109648666,
    -0.09090908348851816, 0.07692285387008038,  -0.066662393207044,   0.058769205472833715,
    -0.05216514077048222, 0.044916017105540516, -0.03311338686319808, 0.01475890600208604,
};

// A small integer held in the bits of a lane (|b| < 2^51) as a double, exactly: through the bits of 1.5 * 2^52,
// whose last ulp is 1, since AVX2 has no conversion from 64-bit integers.
template <class V>
ORBELIN_LANE_INLINE V small_int_to_double(bits_t<V> b) noexcept {
    constexpr double magic = 0x1.8p52;
    return from_bits<V>(b + splat_bits<V>(std::bit_cast<std::int64_t>(magic))) - magic;
}

// The bits of b shifted right by n, zeros shifted in (b non-negative: the same as an arithmetic shift, which AVX2
// lacks for 64-bit lanes).
template <class V>
ORBELIN_LANE_INLINE bits_t<V> shift_right(bits_t<V> b, int n) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(b) >> static_cast<unsigned>(n));
    } else {
        using u64x4 = std::uint64_t __attribute__((vector_size(32)));
        using u64x8 = std::uint64_t __attribute__((vector_size(64)));
        using unsigned_bits = std::conditional_t<lanes::width_v<V> == 4, u64x4, u64x8>;
        return std::bit_cast<bits_t<V>>(std::bit_cast<unsigned_bits>(b) >> n);
    }
}

// v with the sign of s (v non-negative or NaN).
template <class V>
ORBELIN_LANE_INLINE V with_sign_of(V v, V s) noexcept {
    return from_bits<V>(to_bits(v) | (to_bits(s) & splat_bits<V>(sign_bit)));
}

// The exact product a b as hi + lo (Dekker: no fused multiply-add needed), for |a|, |b| below 2^995 and a product
// far from the subnormals.
template <class V>
ORBELIN_LANE_INLINE void exact_product(V a, V b, V& hi, V& lo) noexcept {
    constexpr double split = 0x1p27 + 1.0;
    const V at = a * split;
    const V ah = at - (at - a);
    const V al = a - ah;
    const V bt = b * split;
    const V bh = bt - (bt - b);
    const V bl = b - bh;
    hi = a * b;
    lo = ((ah * bh - hi) + ah * bl + al * bh) + al * bl;
}

// v with the last 32 bits of its significand cleared: at most 21 significant bits, so v * v is exact.
template <class V>
ORBELIN_LANE_INLINE V high_part(V v) noexcept {
    // The double instantiation masks std::int64_t bits: the same bits as an unsigned mask.
    // NOLINTNEXTLINE(bugprone-signed-bitwise)
    return from_bits<V>(to_bits(v) & splat_bits<V>(static_cast<std::int64_t>(0xffff'ffff'0000'0000ULL)));
}

// Row i of a table of pairs in every lane: its first and second columns. The lane types load each lane's row and
// transpose them; the processors' gather instructions are slower here.
template <class V, std::size_t N>
ORBELIN_LANE_INLINE void lookup(const std::array<std::array<double, 2>, N>& t, bits_t<V> i, V& first,
                                V& second) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        first = t[static_cast<std::size_t>(i)][0];
        second = t[static_cast<std::size_t>(i)][1];
    } else {
        using f64x2 = double __attribute__((vector_size(16)));
        const auto row = [&](int j) {
            f64x2 r;
            std::memcpy(&r, t[static_cast<std::size_t>(i[j])].data(), sizeof r);
            return r;
        };
        // Rows 0 and 2 side by side, rows 1 and 3 (and 4 and 6, 5 and 7 after them with 8 lanes): interleaving
        // their first and their second halves gives the columns in lane order.
        const auto pair = [&](int j) { return __builtin_shufflevector(row(j), row(j + 2), 0, 1, 2, 3); };
        if constexpr (lanes::width_v<V> == 4) {
            const V even = pair(0);
            const V odd = pair(1);
            first = __builtin_shufflevector(even, odd, 0, 4, 2, 6);
            second = __builtin_shufflevector(even, odd, 1, 5, 3, 7);
        } else {
            const V even = __builtin_shufflevector(pair(0), pair(4), 0, 1, 2, 3, 4, 5, 6, 7);
            const V odd = __builtin_shufflevector(pair(1), pair(5), 0, 1, 2, 3, 4, 5, 6, 7);
            first = __builtin_shufflevector(even, odd, 0, 8, 2, 10, 4, 12, 6, 14);
            second = __builtin_shufflevector(even, odd, 1, 9, 3, 11, 5, 13, 7, 15);
        }
    }
}

// log(x) + k_extra ln 2 + corr for a positive finite x (normal or subnormal), k_extra a small integer and corr a
// correction far below x's last ulp in relative terms (the low part of a double-double argument, divided by x).
//
// x = 2^k m with m in [0.707, 1.414) (about [sqrt(2)/2, sqrt(2)), cut at a row's edge); the top 8 bits of x's
// significand pick a table row (vmath_log_table.hpp) with 1/c (20 significant bits, 1 beside m = 1) and log(c) (a
// double within 2^-8 of its ulp of the true value); log(x) = k ln 2 + log(c) + log(1 + r) with r = m/c - 1 in
// [-0.0024, 2^-8]. r = r_hi + r_lo exactly without a fused multiply-add: m = mh + ml with mh of 33 bits,
// r_hi = mh/c - 1 exact (a 53-bit product within a factor 2 of 1), r_lo = ml/c exact (on the rows beside 1, mh = m
// and r_lo = 0). The leading terms k ln2_hi + log(c) + r_hi are summed as a double and its errors, and all the small
// terms, r_lo (below 2^-32, far below the result except beside 1, where it is 0) and log(1 + r) - r (at most 2^-9 of
// the result), are added to those errors before the one final rounding (measured: below 0.57 ulp). No division, and
// four multiplications and additions from r to the end: a short dependency chain.
template <class V>
ORBELIN_LANE_INLINE V log_kernel(V x, V k_extra, V corr) noexcept {
    // Lanes outside (0, inf), whose results the callers replace, go through as 1, so that the integer arithmetic on
    // the bits below stays in range.
    x = select<V>((x > 0.0) & (x < inf), x, splat<V>(1.0));
    const auto subnormal = x < 0x1p-1022;
    x = select<V>(subnormal, x * 0x1p54, x);
    // The exponent after rounding the significand to [m_low, 2 m_low): shifted by 0x3ff so that the shifted value is
    // never negative.
    constexpr auto m_low_bits = static_cast<std::int64_t>((0x3feULL << 52U) | (log_first_row << (52 - log_index_bits)));
    constexpr std::int64_t one_bits = 0x3ff0'0000'0000'0000LL;
    const bits_t<V> ix = to_bits(x);
    // The double instantiation works on std::int64_t bits, which are never negative here (finite positive x).
    // NOLINTNEXTLINE(bugprone-signed-bitwise)
    const bits_t<V> kb = shift_right<V>(ix - splat_bits<V>(m_low_bits - one_bits), 52) - splat_bits<V>(0x3ff);
    // NOLINTNEXTLINE(bugprone-signed-bitwise)
    const bits_t<V> im = ix - (kb << 52);
    const V k = small_int_to_double<V>(kb) - select<V>(subnormal, splat<V>(54.0), splat<V>(0.0)) + k_extra;

    // The row from x's own bits, without waiting for the exponent.
    constexpr std::int64_t last_row = (1LL << log_index_bits) - 1;
    // NOLINTNEXTLINE(bugprone-signed-bitwise)
    const bits_t<V> row = shift_right<V>(ix, 52 - log_index_bits) & splat_bits<V>(last_row);
    V inv_c;
    V log_c;
    lookup<V>(log_table, row, inv_c, log_c);
    const auto beside_one = (row == splat_bits<V>(0)) | (row == splat_bits<V>(last_row));
    const V m = from_bits<V>(im);
    const bits_t<V> keep = beside_one ? splat_bits<V>(-1) : splat_bits<V>(-(1LL << log_inv_c_bits));
    // NOLINTNEXTLINE(bugprone-signed-bitwise)
    const V mh = from_bits<V>(im & keep);
    const V r_hi = mh * inv_c - 1.0;
    const V r_lo = (m - mh) * inv_c;
    // Fast two-sums: |k ln2_hi| >= ln 2 > |log c| wherever k is not 0 (k ln2_hi exact), and |w| >= |r_hi| wherever
    // w is not 0 (|log c| >= |r| on every row but those beside 1).
    const V kl = k * ln2_hi;
    const V w = kl + log_c;
    const V w_err = (kl - w) + log_c;
    const V hi = w + r_hi;
    const V e = (w - hi) + r_hi;
    // log(1 + r) - r = r^2 (q0 + q1 r) + r^4 (q2 + q3 r) + r^6 q4, three products formed side by side and summed
    // with the errors, the earliest first.
    const V r = r_hi + r_lo;
    const V r2 = r * r;
    const V r4 = r2 * r2;
    const V a = r2 * (log1p_poly[0] + log1p_poly[1] * r);
    const V b = r4 * (log1p_poly[2] + log1p_poly[3] * r);
    const V c = (r2 * log1p_poly[4]) * r4;
    const V early = (e + r_lo) + (w_err + (k * ln2_lo + corr));
    return hi + ((a + b) + (c + early));
}

}  // namespace detail

// Natural logarithm: -inf at +-0, NaN below 0 and for NaN, +inf at +inf.
template <class V>
ORBELIN_LANE_INLINE V log(V x) noexcept {
    using namespace detail;
    V r = log_kernel(x, splat<V>(0.0), splat<V>(0.0));
    r = select<V>(x == 0.0, splat<V>(-inf), r);
    r = select<V>(x < 0.0, splat<V>(nan), r);
    r = select<V>(x == inf, x, r);
    return select<V>(x != x, x + x, r);
}

namespace detail {

// The shared argument reduction of acos and asin: |x| <= 1/2 directly, asin(x) = x + t with t = x z P(z), z = x^2;
// beyond that through asin(|x|) = pi/2 - 2 asin(s), s = sqrt(z), z = (1 - |x|) / 2 (exact: 1 - |x| is exact there),
// 2 asin(sqrt(z)) = 2 s + c2 + t with t = 2 s z P(z) and c2 = 2 (sqrt(z) - s) = rho s / z to first order, rho = z - s^2
// formed exactly from s cut to 21 bits, hi: z - hi^2 is exact and s^2 - hi^2 = (s - hi)(s + hi) rounds far below
// rho's last bits. s / z is ready long before rho, so no division waits on the square root. The factor 2 is taken
// into the terms (exactly) so that no multiplication follows the polynomial; x z or 2 s z is formed while the
// polynomial is evaluated.
template <class V>
struct AsinReduced {
    mask_t<V> far;  // |x| > 1/2
    V t;
    V s2;  // 2 s
    V c2;
};

template <class V>
ORBELIN_LANE_INLINE AsinReduced<V> asin_reduce(V x) noexcept {
    const V a = lanes::abs(x);
    const auto far = a > 0.5;
    // Below 2^-30, t is below 2^-62 x and is taken as 0, which keeps x^2 and its powers clear of subnormals.
    const V xz = select<V>(a < 0x1p-30, splat<V>(0.0), x);
    const V z = select<V>(far, (1.0 - a) * 0.5, xz * xz);
    const V inv_z = 1.0 / z;
    const V s = lanes::sqrt(z);
    const V hi = high_part(s);
    const V rho = (z - hi * hi) - (s - hi) * (s + hi);
    // At z = 0 (x = 0 or the ends of the domain) the correction is 0.
    const V c2 = select<V>(z == 0.0, splat<V>(0.0), rho * (s * inv_z));
    const V s2 = s + s;
    const V t = (select<V>(far, s2, x) * z) * polynomial(z, asin_poly);
    return {far, t, s2, c2};
}

// r, or the NaN of acos and asin outside [-1, 1] and for NaN: the one NaN in every instantiation (the operations that
// carry a NaN through the formulas may take their operands in either order, which can change its sign bit).
template <class V>
ORBELIN_LANE_INLINE V unit_domain(V x, V r) noexcept {
    r = select<V>(lanes::abs(x) > 1.0, splat<V>(nan), r);
    return select<V>(x != x, x + x, r);
}

// a + b + tail for |a| >= |b|, with a + b split exactly into a double and its rounding error (fast two-sum) and the
// tail added to that error, so that the only rounding at the scale of the result is the last one.
template <class V>
ORBELIN_LANE_INLINE V sum_with_tail(V a, V b, V tail) noexcept {
    const V sum = a + b;
    const V err = (a - sum) + b;
    return sum + (err + tail);
}

// The same with a tail of two terms, one ready early and one late (the end of a dependency chain), taken in that
// order so that two additions follow the late term.
template <class V>
ORBELIN_LANE_INLINE V sum_with_tails(V a, V b, V early, V late) noexcept {
    const V sum = a + b;
    const V err = (a - sum) + b;
    return sum + ((err + early) + late);
}

}  // namespace detail

// Arc cosine in [0, pi]: NaN outside [-1, 1] and for NaN; acos(1) = +0, acos(-1) = pi rounded. Every form rounds
// once at the scale of the result, after terms at most 1/20 of it (measured: below 0.65 ulp).
//   |x| <= 1/2: pi/2 - x - t;
//   x > 1/2:    2 s + c2 + t;
//   x < -1/2:   pi - 2 s - c2 - t.
template <class V>
ORBELIN_LANE_INLINE V acos(V x) noexcept {
    using namespace detail;
    const AsinReduced<V> red = asin_reduce(x);
    const V near = sum_with_tails(splat<V>(pio2_hi), -x, splat<V>(pio2_lo), -red.t);
    const V right = red.s2 + (red.c2 + red.t);
    const V left = sum_with_tails(splat<V>(pi_hi), -red.s2, pi_lo - red.c2, -red.t);
    return unit_domain(x, select<V>(red.far, select<V>(x < 0.0, left, right), near));
}

// Arc sine in [-pi/2, pi/2], odd (asin(-0) = -0): NaN outside [-1, 1] and for NaN. Measured error below 0.7 ulp.
//   |x| <= 1/2: x + t;
//   |x| > 1/2:  pi/2 - 2 s - c2 - t, the sign of x restored.
template <class V>
ORBELIN_LANE_INLINE V asin(V x) noexcept {
    using namespace detail;
    const AsinReduced<V> red = asin_reduce(x);
    const V near = x + red.t;
    const V far = sum_with_tails(splat<V>(pio2_hi), -red.s2, pio2_lo - red.c2, -red.t);
    return unit_domain(x, select<V>(red.far, with_sign_of(far, x), near));
}

// Inverse hyperbolic sine, odd (asinh(-0) = -0), asinh(+-inf) = +-inf, NaN for NaN.
//   |x| < 2^-28:  x itself (the next term, x^3/6, is below half an ulp);
//   |x| > 2^28:   log(|x|) + ln 2 (1/(4 x^2) is below half an ulp);
//   otherwise:    log(w) with w = |x| + sqrt(x^2 + 1) formed as a double-double (Dekker products, so no fused
//                 multiply-add is needed), its low part passed to the logarithm as a correction (measured: below 0.65
//                 ulp).
template <class V>
ORBELIN_LANE_INLINE V asinh(V x) noexcept {
    using namespace detail;
    const V a = lanes::abs(x);
    const auto large = a > 0x1p28;
    const auto tiny = a < 0x1p-28;
    // The moderate path on a value where it cannot overflow nor underflow (the other lanes take the other paths).
    const V am = select<V>(large | tiny, splat<V>(1.0), a);
    V p;
    V pe;
    exact_product(am, am, p, pe);
    // u + ue = 1 + am^2 (two-sum, 1 >= p not known).
    const V u = p + 1.0;
    const V ub = u - p;
    const V ue = ((p - (u - ub)) + (1.0 - ub)) + pe;
    // q + dq = sqrt(u + ue), dq from the exact residual u - q^2.
    const V q = lanes::sqrt(u);
    V qq;
    V qe;
    exact_product(q, q, qq, qe);
    const V dq = (((u - qq) - qe) + ue) / (q + q);
    // w + we = am + q (fast two-sum: q > am).
    const V w = q + am;
    const V we = am - (w - q);
    const V corr = (we + dq) / w;

    const V arg = select<V>(large, a, w);
    const V k_extra = select<V>(large, splat<V>(1.0), splat<V>(0.0));
    V r = log_kernel(arg, k_extra, select<V>(large, splat<V>(0.0), corr));
    r = select<V>(a == inf, a, r);
    r = with_sign_of(r, x);
    r = select<V>(tiny, x, r);
    return select<V>(x != x, x + x, r);
}

// The angle of the point (x, y) in [-pi, pi], with the C library's special values: atan2(+-0, +0) = +-0,
// atan2(+-0, -0) = +-pi, +-pi/4 and +-3pi/4 where both are infinite, NaN if either is NaN.
//
// t = min(|x|, |y|) / max(|x|, |y|) in [0, 1] with its rounding error tl (from an exact product, the operands scaled
// by a power of 2 so that it cannot overflow); atan(t) = atan(c) + atan(u), u = (t - c) / (1 + t c) with c = 0, 1/2
// or 1, |u| <= 7/16, u again with its rounding error; the angle Q + -(atan(c) + atan(u)) with Q = 0, pi/2 or pi, all
// constants split in two, rounded once at the scale of the result (measured: below 0.75 ulp).
template <class V>
ORBELIN_LANE_INLINE V atan2(V y, V x) noexcept {
    using namespace detail;
    const V ax = lanes::abs(x);
    const V ay = lanes::abs(y);
    const auto swap = ay > ax;
    const V n = select<V>(swap, ax, ay);
    const V d = select<V>(swap, ay, ax);
    const auto both_inf = n == inf;
    const auto regular = (d > 0.0) & (d < inf);
    V t = n / d;
    t = select<V>(both_inf, splat<V>(1.0), select<V>(regular, t, splat<V>(0.0)));
    // tl = (n - t d) / d, on n and d scaled by a power of 2 so that the exact product t d can neither overflow nor,
    // for t > 2^-40, underflow.
    const V scale =
        select<V>(d > 0x1p600, splat<V>(0x1p-600), select<V>(d < 0x1p-600, splat<V>(0x1p600), splat<V>(1.0)));
    const V ns = n * scale;
    const V ds = select<V>(regular, d * scale, splat<V>(1.0));
    V p;
    V pe;
    exact_product(t, ds, p, pe);
    // Below 2^-40, atan(t) = t to within a 2^-80 relative part and tl is not needed (nor exact: the product may be
    // subnormal).
    const V tl = select<V>(regular & (t > 0x1p-40), ((ns - p) - pe) / ds, splat<V>(0.0));

    const V c = select<V>(t > 0.6875, splat<V>(1.0), select<V>(t > 0.4375, splat<V>(0.5), splat<V>(0.0)));
    // num = t - c + tl (t - c exact), den = 1 + t c + tl c (t c exact), each as a double and its error.
    const V tc = t - c;
    const V num = tc + tl;
    const V num_lo = (tc - num) + tl;
    const V den = 1.0 + t * c;
    const V den_lo = ((1.0 - den) + t * c) + tl * c;
    const V u = num / den;
    V q;
    V qe;
    exact_product(u, den, q, qe);
    const V u_lo = ((((num - q) - qe) + num_lo) - u * den_lo) / den;
    const V z = u * u;
    const V atan_u_lo = u_lo + (u * z) * polynomial(z, atan_poly);

    // angle = Q + sigma (atan(c) + atan(u)): sigma = -1 where exactly one of swap and x < 0 (-0 included) holds.
    const auto x_negative = to_bits(x) < splat_bits<V>(0);
    const V sigma = select<V>(swap ^ x_negative, splat<V>(-1.0), splat<V>(1.0));
    const V q_hi = select<V>(swap, splat<V>(pio2_hi), select<V>(x_negative, splat<V>(pi_hi), splat<V>(0.0)));
    const V q_lo = select<V>(swap, splat<V>(pio2_lo), select<V>(x_negative, splat<V>(pi_lo), splat<V>(0.0)));
    const V a_hi = select<V>(c == 1.0, splat<V>(pio4_hi), select<V>(c == 0.5, splat<V>(atan_half_hi), splat<V>(0.0)));
    const V a_lo = select<V>(c == 1.0, splat<V>(pio4_lo), select<V>(c == 0.5, splat<V>(atan_half_lo), splat<V>(0.0)));
    // C = Q + sigma atan(c) as a double and its error (|Q| >= atan(c) or Q = 0).
    const V k_hi = q_hi + sigma * a_hi;
    const V k_lo = ((q_hi - k_hi) + sigma * a_hi) + (q_lo + sigma * a_lo);
    const V angle = sum_with_tail(k_hi, sigma * u, k_lo + sigma * atan_u_lo);
    const V r = with_sign_of(angle, y);
    // A NaN argument returned quieted (x's where both are NaN), the same bits in every instantiation.
    return select<V>(x != x, x + x, select<V>(y != y, y + y, r));
}

}  // namespace orbelin::vmath
