#pragma once
// One Householder step on Izzo's time equation, written once over the lane type V (common/lanes.hpp): the scalar
// solver instantiates it on double, the lane kernels on the vectors of their instruction set, and every lane takes
// the very operations of the scalar step in the same order, so that its bits are the scalar ones.

#include "common/constants.hpp"
#include "common/lanes.hpp"
#include "common/vmath.hpp"

namespace orbelin::detail {

// T(x) together with y = sqrt(1 - lambda^2 (1 - x^2)), which the Householder step needs for the derivatives, and
// 1 / (1 - x^2), shared by the time formulas and the derivatives.
template <class V>
struct TofAndY {
    V T;
    V y;
    V inv_umx2;
};

// Lancaster's form of T(x) for M revolutions (m = M as a double), away from the parabola (|x - 1| >= 0.2 or exactly
// 0.01): the arccosine on the ellipse (E < 0), the logarithm on the hyperbola. y is z = sqrt(1 + lambda^2 E) with
// E = x^2 - 1: E is exactly -(1 - x^2) and 1 + (-p) is exactly 1 - p, so z is bit for bit the y of the derivative
// formulas. Lanes of both kinds compute both functions and keep one.
template <class V>
ORBELIN_LANE_INLINE TofAndY<V> lancaster_tof(V m, V x, V lambda) noexcept {
    const V E = x * x - 1.0;
    const V rho = lanes::abs(E);
    const V z = lanes::sqrt<V>(1.0 + lambda * lambda * E);
    // 1 - x^2 is exactly -E (a rounded difference changes sign with its operands), so one reciprocal serves the
    // time below and the derivatives.
    const V inv_E = 1.0 / E;
    const V g = x * z - lambda * E;
    const V sqrt_rho = lanes::sqrt<V>(rho);
    // T = (x - lambda z - delta / sqrt(rho)) / E, with delta = M pi + acos(g) on the ellipse and log(...) on the
    // hyperbola, distributed so that everything but the arccosine or logarithm is ready before it is: a
    // multiplication and a subtraction follow it on the iteration's dependency chain instead of an addition, two
    // multiplications and a subtraction; the reciprocals take the divisions off the chain altogether.
    const V scale = (1.0 / sqrt_rho) * inv_E;
    const V base = (x - lambda * z) * inv_E;
    // Lanes all on one side take one function; a NaN E takes the logarithm, as the scalar test does.
    const lanes::mask_t<V> ellipse = E < 0.0;
    V T;
    if (lanes::all<V>(ellipse)) {
        T = (base - (m * pi) * scale) - vmath::acos<V>(g) * scale;
    } else if (!lanes::any<V>(ellipse)) {
        T = base - vmath::log<V>(sqrt_rho * (z - lambda * x) + g) * scale;
    } else {
        T = lanes::select<V>(ellipse, (base - (m * pi) * scale) - vmath::acos<V>(g) * scale,
                             base - vmath::log<V>(sqrt_rho * (z - lambda * x) + g) * scale);
    }
    return {T, z, -inv_E};
}

template <class V>
struct TofDerivatives {
    V d1;  // dT/dx
    V d2;  // d2T/dx2
    V d3;  // d3T/dx3
};

// Derivatives of T(x) at x, given T = T(x), y = sqrt(1 - lambda^2 (1 - x^2)) and 1 / (1 - x^2) (Izzo 2015, eq. 22;
// the time formulas have the reciprocal at hand). Two reciprocals stand for the six divisions of the formulas as
// written. Each derivative is linear in T (d2 through d1, d3 through d2 and d1), so the formulas are expanded into
// d_i = a_i T + b_i with a_i and b_i from x, lambda and y alone: they are formed while T is, and one multiplication
// and one addition follow T instead of the chain d1 -> d2 -> d3 that would otherwise be the longest part of every
// Householder step. The results differ from those of the formulas as written by a few ulps.
// x, T, lambda, y and 1 / (1 - x^2) as the formulas name them (T, which enters only the last step, is no longer used
// together with the others).
template <class V>
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
ORBELIN_LANE_INLINE TofDerivatives<V> tof_derivatives(V x, V T, V lambda, V y, V inv_umx2) noexcept {
    const V l2 = lambda * lambda;
    const V l3 = l2 * lambda;
    const V l5 = l3 * l2;
    const V iy = 1.0 / y;
    const V iy3 = iy * iy * iy;
    const V iy5 = iy3 * iy * iy;
    // d1 = (3 x T - 2 + 2 lambda^3 x / y) / (1 - x^2)
    const V a1 = 3.0 * x * inv_umx2;
    const V b1 = (2.0 * l3 * x * iy - 2.0) * inv_umx2;
    // d2 = (3 T + 5 x d1 + 2 (1 - lambda^2) lambda^3 / y^3) / (1 - x^2)
    const V a2 = (3.0 + 5.0 * x * a1) * inv_umx2;
    const V b2 = (5.0 * x * b1 + 2.0 * (1.0 - l2) * l3 * iy3) * inv_umx2;
    // d3 = (7 x d2 + 8 d1 - 6 (1 - lambda^2) lambda^5 x / y^5) / (1 - x^2)
    const V a3 = (7.0 * x * a2 + 8.0 * a1) * inv_umx2;
    const V b3 = (7.0 * x * b2 + 8.0 * b1 - 6.0 * (1.0 - l2) * l5 * x * iy5) * inv_umx2;
    const V d1 = a1 * T + b1;
    const V d2 = a2 * T + b2;
    const V d3 = a3 * T + b3;
    return {d1, d2, d3};
}

// One Householder step from x towards T(x) = T_target (Izzo 2015, eq. 30), with the slope T'(x) it used.
template <class V>
struct HouseholderStep {
    V x;
    V slope;
};

template <class V>
ORBELIN_LANE_INLINE HouseholderStep<V> householder_update(V x, V T_target, V lambda, const TofAndY<V>& ty) noexcept {
    const V f = ty.T - T_target;
    const TofDerivatives<V> d = tof_derivatives<V>(x, ty.T, lambda, ty.y, ty.inv_umx2);
    const V d1sq = d.d1 * d.d1;
    // f^2 d3 / 6 with a multiplication: a division by 6 would put a second division on the iteration's
    // dependency chain, and the step's last bits do not reach the converged x.
    return {x - f * (d1sq - f * d.d2 / 2.0) / (d.d1 * (d1sq - f * d.d2) + d.d3 * f * f * (1.0 / 6.0)), d.d1};
}

// Whether a step of a root finder on x is down to the rounding noise of the function it zeroes: that function
// (T or T') is a sum of terms of size about 1 + scale (scale: the size of its values), each rounded at 1e-16 of
// itself and amplified by cancellation, near lambda = +-1, up to about 1e-13; divided by the slope, that is the
// noise of x. 2^-30 (9e-10) keeps a margin of thousands. Against a tolerance of 1e-8 the test can only matter
// where |x| + (1 + scale) / |slope| exceeds 10, and it is asked only once a step has failed to shrink.
template <class V>
ORBELIN_LANE_INLINE lanes::mask_t<V> at_rounding_level(V step, V x, V scale, V slope) noexcept {
    return step <= 0x1p-30 * (lanes::abs(x) + (1.0 + lanes::abs(scale)) / lanes::abs(slope));
}

}  // namespace orbelin::detail
