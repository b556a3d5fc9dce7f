#pragma once
// What the test and the benchmark of the lane math functions share: the functions by name with the C library
// function each is held to, the sampling of each domain (every binade with random significands, dense stretches
// where the function bends most, the ends of the domain and just outside, special values), the distance in ulps,
// and the loop that evaluates one function over an array with a chosen lane type.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/lanes.hpp"
#include "common/vmath.hpp"

namespace vmath_check {

enum class Fn { log, acos, asin, asinh };
inline constexpr std::array<Fn, 4> functions{Fn::log, Fn::acos, Fn::asin, Fn::asinh};

struct Info {
    const char* name;
    const char* domain;
    double (*reference)(double);        // the C library function the result is held to
    long double (*truth)(long double);  // the same in extended precision, 11 bits beyond a double
};

inline Info info(Fn fn) {
    switch (fn) {
        case Fn::log:
            return {"log", "(0, inf]", [](double x) { return std::log(x); }, [](long double x) { return std::log(x); }};
        case Fn::acos:
            return {"acos", "[-1, 1]", [](double x) { return std::acos(x); },
                    [](long double x) { return std::acos(x); }};
        case Fn::asin:
            return {"asin", "[-1, 1]", [](double x) { return std::asin(x); },
                    [](long double x) { return std::asin(x); }};
        case Fn::asinh:
            return {"asinh", "all", [](double x) { return std::asinh(x); },
                    [](long double x) { return std::asinh(x); }};
    }
    return {"?", "?", nullptr, nullptr};
}

// out[i] = fn(x[i]) computed width_v<V> values at a time; the last partial group is padded with 1.0. Chained, every
// group waits for the previous result (its input plus (r - r), which is 0 for a finite r), so that the time is the
// latency of one call rather than the throughput of independent calls.
template <class V, bool chained, class F>
ORBELIN_LANE_INLINE void eval_with(F f, const double* x, double* out, std::size_t n) {
    constexpr std::size_t w = orbelin::lanes::width_v<V>;
    V r = orbelin::lanes::splat<V>(0.0);
    std::size_t i = 0;
    for (; i + w <= n; i += w) {
        V v;
        std::memcpy(&v, x + i, sizeof v);
        if constexpr (chained) v += r - r;
        r = f(v);
        std::memcpy(out + i, &r, sizeof r);
    }
    if (i < n) {
        std::array<double, w> pad;
        pad.fill(1.0);
        std::memcpy(pad.data(), x + i, (n - i) * sizeof(double));
        V v;
        std::memcpy(&v, pad.data(), sizeof v);
        r = f(v);
        std::memcpy(pad.data(), &r, sizeof r);
        std::memcpy(out + i, pad.data(), (n - i) * sizeof(double));
    }
}

template <class V, bool chained = false>
void eval(Fn fn, const double* x, double* out, std::size_t n) {
    namespace vm = orbelin::vmath;
    switch (fn) {
        case Fn::log:
            return eval_with<V, chained>([](V v) { return vm::log(v); }, x, out, n);
        case Fn::acos:
            return eval_with<V, chained>([](V v) { return vm::acos(v); }, x, out, n);
        case Fn::asin:
            return eval_with<V, chained>([](V v) { return vm::asin(v); }, x, out, n);
        case Fn::asinh:
            return eval_with<V, chained>([](V v) { return vm::asinh(v); }, x, out, n);
    }
}

// The same loops compiled for AVX2 and AVX-512F (vmath_avx2.cpp, vmath_avx512.cpp), independent or chained; call
// them only where the CPU has the instruction set.
void eval_avx2(Fn fn, const double* x, double* out, std::size_t n);
void eval_avx512(Fn fn, const double* x, double* out, std::size_t n);
void eval_chained_avx2(Fn fn, const double* x, double* out, std::size_t n);
void eval_chained_avx512(Fn fn, const double* x, double* out, std::size_t n);

// Distance in representable doubles between two results (+0 and -0 count as one point); 0 between two NaNs, and
// more than any finite distance between a NaN and a number.
inline std::uint64_t ulp_distance(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : ~std::uint64_t{0};
    const auto ordered = [](double v) {
        const auto bits = std::bit_cast<std::int64_t>(v);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::int64_t d = ordered(a) - ordered(b);
    return d < 0 ? static_cast<std::uint64_t>(-d) : static_cast<std::uint64_t>(d);
}

// The error of a result in ulps of the double nearest the true value (from the extended-precision function), for
// finite results; 0 where the true value is not finite.
inline double true_error(double v, long double truth) {
    if (!std::isfinite(truth) || !std::isfinite(v)) return 0.0;
    // The spacing of doubles in the binade of the true value (subnormals: the smallest spacing).
    const long double ulp =
        truth == 0.0L ? std::numeric_limits<double>::denorm_min()
                      : std::fmax(std::ldexp(1.0L, std::ilogb(truth) - 52), std::numeric_limits<double>::denorm_min());
    return static_cast<double>(std::fabs(static_cast<long double>(v) - truth) / ulp);
}

// Whether two results are of the same kind: both NaN, the same infinity, zeros of the same sign, or both finite
// and non-zero.
inline bool same_class(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (std::isinf(a) || std::isinf(b)) return a == b;
    if (a == 0.0 || b == 0.0) return a == 0.0 && b == 0.0 && std::signbit(a) == std::signbit(b);
    return true;
}

// Inputs where a function changes form or meets its domain's end, and the values every function must handle.
inline std::vector<double> edges(Fn fn) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double max = std::numeric_limits<double>::max();
    constexpr double tiny = std::numeric_limits<double>::denorm_min();
    constexpr double min_normal = std::numeric_limits<double>::min();
    std::vector<double> e{0.0,   -0.0,       inf,         -inf, nan,  -nan, max,  -max, tiny,
                          -tiny, min_normal, -min_normal, 1.0,  -1.0, 2.0,  -2.0, 0.5,  -0.5};
    switch (fn) {
        case Fn::log:
            e.insert(e.end(), {std::sqrt(0.5), std::sqrt(2.0), 2.0 * std::sqrt(2.0), 0.25 * std::sqrt(2.0)});
            break;
        case Fn::acos:
        case Fn::asin:
            e.insert(e.end(), {0x1p-26, -0x1p-26, 0x1p-27, 0x1p-1022});
            break;
        case Fn::asinh:
            e.insert(e.end(), {0x1p28, -0x1p28, 0x1p-28, -0x1p-28, 0x1p511, 0x1p512, std::sqrt(max)});
            break;
    }
    return e;
}

// Where a function bends most, sampled densely; also the inputs the speed is measured on.
struct Range {
    double lo;
    double hi;
};

inline Range dense_range(Fn fn) {
    switch (fn) {
        case Fn::log:
            return {0.25, 4.0};
        case Fn::acos:
        case Fn::asin:
            return {-1.0, 1.0};
        case Fn::asinh:
            return {-4.0, 4.0};
    }
    return {0.0, 0.0};
}

// The points a function is measured on: `per_binade` random significands in every binade of the domain (both
// signs where the function takes them, subnormals included), `dense` uniform points where the function bends
// most, and 64 consecutive doubles on each side of every edge.
inline std::vector<double> samples(Fn fn, std::size_t per_binade, std::size_t dense, std::uint64_t seed = 1) {
    std::mt19937_64 rng(seed);
    constexpr std::uint64_t mantissa = (std::uint64_t{1} << 52) - 1;
    // Binade exponent fields 0 (subnormals) .. top; the domain [-1, 1] of acos/asin ends below 1.
    const bool unit = fn == Fn::acos || fn == Fn::asin;
    const std::uint64_t top = unit ? 0x3fe : 0x7fe;
    const bool negatives = fn != Fn::log;
    std::vector<double> x;
    for (std::uint64_t e = 0; e <= top; ++e) {
        for (std::size_t i = 0; i < per_binade; ++i) {
            const std::uint64_t sign = negatives && (i & 1) ? std::uint64_t{1} << 63 : 0;
            x.push_back(std::bit_cast<double>(sign | (e << 52) | (rng() & mantissa)));
        }
    }
    const Range range = dense_range(fn);
    std::uniform_real_distribution<double> uniform(range.lo, range.hi);
    for (std::size_t i = 0; i < dense; ++i) x.push_back(uniform(rng));
    for (const double e : edges(fn)) {
        x.push_back(e);
        if (std::isnan(e)) continue;
        double up = e;
        double down = e;
        for (int i = 0; i < 64; ++i) {
            up = std::nextafter(up, std::numeric_limits<double>::infinity());
            down = std::nextafter(down, -std::numeric_limits<double>::infinity());
            x.push_back(up);
            x.push_back(down);
        }
    }
    return x;
}

}  // namespace vmath_check
