// sin_cos against the C library's sine and cosine: within one ulp over the reduced range, including the arguments
// closest to the multiples of pi/2 where the reduction cancels, and the library's own values beyond it.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "check.hpp"
#include "common/sin_cos.hpp"

namespace {

// Distance in units in the last place between two doubles of the same sign (0 for two NaN).
std::uint64_t ulps(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return 0;
    const auto key = [](double x) {
        const auto i = std::bit_cast<std::int64_t>(x);
        return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
    };
    const std::int64_t ka = key(a), kb = key(b);
    return ka > kb ? static_cast<std::uint64_t>(ka - kb) : static_cast<std::uint64_t>(kb - ka);
}

std::uint64_t worst_ulps(double x) {
    const orbelin::SinCos r = orbelin::sin_cos(x);
    return std::max(ulps(r.sin, std::sin(x)), ulps(r.cos, std::cos(x)));
}

}  // namespace

TEST_CASE("sin_cos: within an ulp of the library over the reduced range") {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uint64_t worst = 0;
    // Magnitudes 2^-60 ... 2^18 of both signs, evenly in the exponent, and evenly over [0, 2^18].
    for (int i = 0; i < 400000; ++i) {
        const double x = std::ldexp(1.0 + unit(rng), static_cast<int>(unit(rng) * 78.0) - 60);
        worst =
            std::max({worst, worst_ulps(x), worst_ulps(-x), worst_ulps(unit(rng) * orbelin::sin_cos_reduction_limit)});
    }
    // The doubles around k pi/2, where x - k pi/2 cancels to a few bits of x.
    for (double k = 1.0; k * 1.5707963267948966 < orbelin::sin_cos_reduction_limit; k = std::ceil(k * 1.013)) {
        double x = k * 1.5707963267948966;
        for (int j = 0; j < 8; ++j) x = std::nextafter(x, 0.0);
        for (int j = 0; j < 16; ++j, x = std::nextafter(x, 1e300)) worst = std::max(worst, worst_ulps(x));
    }
    CHECK(worst <= 1);
}

TEST_CASE("sin_cos: special values and the library's values beyond the reduced range") {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double x :
         {0.0, -0.0, 5e-324, -1e-9, inf, -inf, std::numeric_limits<double>::quiet_NaN(), 262144.000001, 1e22, -1e300}) {
        const orbelin::SinCos r = orbelin::sin_cos(x);
        CHECK(ulps(r.sin, std::sin(x)) == 0 && std::signbit(r.sin) == std::signbit(std::sin(x)));
        CHECK(ulps(r.cos, std::cos(x)) == 0);
    }
}
