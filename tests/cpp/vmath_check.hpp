#pragma once
// What the test and the benchmark of the lane math functions share: the functions by name with the C library
// function each is held to, the sampling of each domain (every binade with random significands, dense stretches
// where the function bends most, the ends of the domain and just outside, special values), the distance in ulps,
// and the loop that evaluates one function over arrays with a chosen lane type. A function takes one argument, a,
// or two, (a, b) = (y, x) for atan2.

#include <algorithm>
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

enum class Fn { log, acos, asin, asinh, atan2 };
inline constexpr std::array<Fn, 5> functions{Fn::log, Fn::acos, Fn::asin, Fn::asinh, Fn::atan2};

inline constexpr bool binary(Fn fn) { return fn == Fn::atan2; }

struct Info {
    const char* name;
    const char* domain;
    double (*reference)(double, double);             // the C library function the result is held to
    long double (*truth)(long double, long double);  // the same in extended precision, 11 bits beyond a double
};

inline Info info(Fn fn) {
    using D = double;
    using L = long double;
    switch (fn) {
        case Fn::log:
            return {"log", "(0, inf]", [](D a, D) { return std::log(a); }, [](L a, L) { return std::log(a); }};
        case Fn::acos:
            return {"acos", "[-1, 1]", [](D a, D) { return std::acos(a); }, [](L a, L) { return std::acos(a); }};
        case Fn::asin:
            return {"asin", "[-1, 1]", [](D a, D) { return std::asin(a); }, [](L a, L) { return std::asin(a); }};
        case Fn::asinh:
            return {"asinh", "all", [](D a, D) { return std::asinh(a); }, [](L a, L) { return std::asinh(a); }};
        case Fn::atan2:
            return {"atan2", "all x all", [](D a, D b) { return std::atan2(a, b); },
                    [](L a, L b) { return std::atan2(a, b); }};
    }
    return {"?", "?", nullptr, nullptr};
}

// out[i] = fn(a[i]) or fn(a[i], b[i]) computed width_v<V> values at a time; the last partial group is padded with
// 1.0. Chained, every group waits for the previous result (its input plus (r - r), which is 0 for a finite r), so
// that the time is the latency of one call rather than the throughput of independent calls.
template <class V, bool chained, bool two, class F>
ORBELIN_LANE_INLINE void eval_with(F f, const double* a, const double* b, double* out, std::size_t n) {
    constexpr std::size_t w = orbelin::lanes::width_v<V>;
    V r = orbelin::lanes::splat<V>(0.0);
    const auto step = [&](const double* pa, const double* pb) {
        V u;
        std::memcpy(&u, pa, sizeof u);
        if constexpr (chained) u += r - r;
        if constexpr (two) {
            V v;
            std::memcpy(&v, pb, sizeof v);
            r = f(u, v);
        } else {
            r = f(u, u);
        }
    };
    std::size_t i = 0;
    for (; i + w <= n; i += w) {
        step(a + i, b + i);
        std::memcpy(out + i, &r, sizeof r);
    }
    if (i < n) {
        std::array<double, w> pa;
        std::array<double, w> pb;
        pa.fill(1.0);
        pb.fill(1.0);
        std::copy(a + i, a + n, pa.begin());
        std::copy(b + i, b + n, pb.begin());
        step(pa.data(), pb.data());
        std::array<double, w> res;
        std::memcpy(res.data(), &r, sizeof r);
        std::copy(res.begin(), res.begin() + static_cast<std::ptrdiff_t>(n - i), out + i);
    }
}

template <class V, bool chained = false>
void eval(Fn fn, const double* a, const double* b, double* out, std::size_t n) {
    namespace vm = orbelin::vmath;
    switch (fn) {
        case Fn::log:
            return eval_with<V, chained, false>([](V u, V) { return vm::log(u); }, a, b, out, n);
        case Fn::acos:
            return eval_with<V, chained, false>([](V u, V) { return vm::acos(u); }, a, b, out, n);
        case Fn::asin:
            return eval_with<V, chained, false>([](V u, V) { return vm::asin(u); }, a, b, out, n);
        case Fn::asinh:
            return eval_with<V, chained, false>([](V u, V) { return vm::asinh(u); }, a, b, out, n);
        case Fn::atan2:
            return eval_with<V, chained, true>([](V u, V v) { return vm::atan2(u, v); }, a, b, out, n);
    }
}

// The same loops compiled for AVX2 and AVX-512F (vmath_avx2.cpp, vmath_avx512.cpp), independent or chained; call
// them only where the CPU has the instruction set.
using Loop = void (*)(Fn, const double*, const double*, double*, std::size_t);
void eval_avx2(Fn fn, const double* a, const double* b, double* out, std::size_t n);
void eval_avx512(Fn fn, const double* a, const double* b, double* out, std::size_t n);
void eval_chained_avx2(Fn fn, const double* a, const double* b, double* out, std::size_t n);
void eval_chained_avx512(Fn fn, const double* a, const double* b, double* out, std::size_t n);

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

// Values every function must handle.
inline std::vector<double> special_values() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double max = std::numeric_limits<double>::max();
    constexpr double tiny = std::numeric_limits<double>::denorm_min();
    constexpr double min_normal = std::numeric_limits<double>::min();
    return {0.0,   -0.0,       inf,         -inf, nan,  -nan, max,  -max, tiny,
            -tiny, min_normal, -min_normal, 1.0,  -1.0, 2.0,  -2.0, 0.5,  -0.5};
}

// Inputs where a one-argument function changes form or meets its domain's end; for atan2, the ratios y/x where it
// does.
inline std::vector<double> edges(Fn fn) {
    std::vector<double> e = special_values();
    switch (fn) {
        case Fn::log:
            // The ends of the reduced range, and the table rows beside 1, where log(c) changes from 0.
            e.insert(e.end(), {std::sqrt(0.5), std::sqrt(2.0), 2.0 * std::sqrt(2.0), 0.25 * std::sqrt(2.0),
                               1.0 + 0x1p-8, 1.0 - 0x1p-9, 1.0 + 0x1p-7, 1.0 - 0x1p-8});
            break;
        case Fn::acos:
        case Fn::asin:
            e.insert(e.end(), {0x1p-26, -0x1p-26, 0x1p-27, 0x1p-1022, 0x1p-30, -0x1p-30});
            break;
        case Fn::asinh:
            e.insert(e.end(), {0x1p28, -0x1p28, 0x1p-28, -0x1p-28, 0x1p511, 0x1p512,
                               std::sqrt(std::numeric_limits<double>::max())});
            break;
        case Fn::atan2:
            return {0.4375, 0.6875, 1.0, -0.4375, -0.6875, -1.0, 0x1p-40};
    }
    return e;
}

// Where a function bends most, sampled densely (for atan2: both arguments); also the inputs the speed is measured
// on.
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
        case Fn::atan2:
            return {-1.0, 1.0};
        case Fn::asinh:
            return {-4.0, 4.0};
    }
    return {0.0, 0.0};
}

// Arguments of a function: a, and b for atan2 (zeros otherwise).
struct Points {
    std::vector<double> a;
    std::vector<double> b;
    void add(double u, double v = 0.0) {
        a.push_back(u);
        b.push_back(v);
    }
    std::size_t size() const { return a.size(); }
};

// `dense` points uniform over dense_range (both arguments for atan2).
inline void add_dense(Fn fn, std::size_t dense, std::mt19937_64& rng, Points& p) {
    const Range range = dense_range(fn);
    std::uniform_real_distribution<double> uniform(range.lo, range.hi);
    for (std::size_t i = 0; i < dense; ++i) {
        const double u = uniform(rng);
        p.add(u, binary(fn) ? uniform(rng) : 0.0);
    }
}

// The points a function is measured on: `per_binade` random significands in every binade of the domain (both
// signs where the function takes them, subnormals included; for atan2 that many pairs per binade, each argument in
// a random binade), `dense` uniform points where the function bends most, and 64 consecutive doubles on each side
// of every edge (for atan2: y stepped about y = r x for random x and each edge ratio r, and every pair of special
// values).
inline Points samples(Fn fn, std::size_t per_binade, std::size_t dense, std::uint64_t seed = 1) {
    std::mt19937_64 rng(seed);
    constexpr std::uint64_t mantissa = (std::uint64_t{1} << 52) - 1;
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Binade exponent fields 0 (subnormals) .. top; the domain [-1, 1] of acos/asin ends below 1.
    const bool unit = fn == Fn::acos || fn == Fn::asin;
    const std::uint64_t top = unit ? 0x3fe : 0x7fe;
    const bool negatives = fn != Fn::log;
    const auto random_double = [&](std::uint64_t e, bool negative) {
        const std::uint64_t sign = negative ? std::uint64_t{1} << 63 : 0;
        return std::bit_cast<double>(sign | (e << 52) | (rng() & mantissa));
    };
    Points p;
    for (std::uint64_t e = 0; e <= top; ++e) {
        for (std::size_t i = 0; i < per_binade; ++i) {
            if (binary(fn)) {
                p.add(random_double(e, (i & 1) != 0), random_double(rng() % (top + 1), (i & 2) != 0));
            } else {
                p.add(random_double(e, negatives && (i & 1)));
            }
        }
    }
    add_dense(fn, dense, rng, p);
    const auto steps = [&](double u, double v) {
        p.add(u, v);
        if (std::isnan(u)) return;
        double up = u;
        double down = u;
        for (int i = 0; i < 64; ++i) {
            up = std::nextafter(up, inf);
            down = std::nextafter(down, -inf);
            p.add(up, v);
            p.add(down, v);
        }
    };
    if (binary(fn)) {
        std::uniform_real_distribution<double> unit_interval(-1.0, 1.0);
        for (const double ratio : edges(fn)) {
            for (int i = 0; i < 16; ++i) {
                const double x = std::ldexp(unit_interval(rng), static_cast<int>(rng() % 200) - 100);
                steps(ratio * x, x);
            }
        }
        for (const double u : special_values()) {
            for (const double v : special_values()) p.add(u, v);
        }
    } else {
        for (const double e : edges(fn)) steps(e, 0.0);
    }
    return p;
}

}  // namespace vmath_check
