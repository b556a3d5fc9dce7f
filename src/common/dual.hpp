#pragma once
// Forward-mode dual numbers with a fixed number of tangent directions: a value and its gradient with respect to
// N independent inputs, carried together through the arithmetic. Every operation applies the chain rule once, so
// a derivative computed this way is exact up to the rounding of the same expressions.

#include <array>
#include <cmath>
#include <cstddef>

namespace orbelin {

template <std::size_t N>
struct Dual {
    double v = 0.0;             // value
    std::array<double, N> d{};  // gradient with respect to the N inputs

    // The input k itself: value v, unit gradient along k.
    static constexpr Dual seed(double value, std::size_t k) noexcept {
        Dual r{value, {}};
        r.d[k] = 1.0;
        return r;
    }
};

template <std::size_t N>
constexpr Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) noexcept {
    Dual<N> r{a.v + b.v, {}};
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] + b.d[k];
    return r;
}

template <std::size_t N>
constexpr Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) noexcept {
    Dual<N> r{a.v - b.v, {}};
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] - b.d[k];
    return r;
}

template <std::size_t N>
constexpr Dual<N> operator-(const Dual<N>& a) noexcept {
    Dual<N> r{-a.v, {}};
    for (std::size_t k = 0; k < N; ++k) r.d[k] = -a.d[k];
    return r;
}

template <std::size_t N>
constexpr Dual<N> operator+(double a, const Dual<N>& b) noexcept {
    return {a + b.v, b.d};
}

template <std::size_t N>
constexpr Dual<N> operator-(double a, const Dual<N>& b) noexcept {
    Dual<N> r = -b;
    r.v += a;
    return r;
}

template <std::size_t N>
constexpr Dual<N> operator*(double a, const Dual<N>& b) noexcept {
    Dual<N> r{a * b.v, {}};
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a * b.d[k];
    return r;
}

template <std::size_t N>
constexpr Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) noexcept {
    Dual<N> r{a.v * b.v, {}};
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] * b.v + a.v * b.d[k];
    return r;
}

template <std::size_t N>
constexpr Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) noexcept {
    // (a/b)' = (a' - (a/b) b') / b: one reciprocal serves the value and the gradient (the value may differ from
    // a.v / b.v in its last bit).
    const double ib = 1.0 / b.v;
    const double q = a.v * ib;
    Dual<N> r{q, {}};
    for (std::size_t k = 0; k < N; ++k) r.d[k] = (a.d[k] - q * b.d[k]) * ib;
    return r;
}

template <std::size_t N>
inline Dual<N> sqrt(const Dual<N>& a) noexcept {
    const double s = std::sqrt(a.v);
    const double h = 0.5 / s;
    Dual<N> r{s, {}};
    for (std::size_t k = 0; k < N; ++k) r.d[k] = h * a.d[k];
    return r;
}

}  // namespace orbelin
