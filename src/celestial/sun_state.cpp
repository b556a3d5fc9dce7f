// Low-precision solar coordinates (the Astronomical Almanac's formulation, with the coefficients of Vallado's SUN
// algorithm). Angles are in degrees until the trigonometric calls and are deliberately not reduced
// modulo 360: the sines and cosines take care of the range, and every date is treated by the same arithmetic.

#include "celestial/sun_state.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "common/constants.hpp"

namespace orbelin {

namespace {

constexpr double jd_j2000 = 2451545.0;
constexpr double jd_unix_epoch = 2440587.5;
constexpr double seconds_per_day = 86400.0;
constexpr double au_km = 149597870.7;

// Per-day rates: the per-century rates 36000.77005361, 35999.05034 and 0.0130025833 divided by 36525.
inline double mean_longitude_deg(double n) noexcept { return 280.4606184 + 0.9856473662863793 * n; }
inline double mean_anomaly_rad(double n) noexcept { return (357.5277233 + 0.9856002830937715 * n) * deg2rad; }
inline double obliquity_rad(double n) noexcept { return (23.43929 - 3.559913301391741e-7 * n) * deg2rad; }

// Ecliptic longitude: mean longitude plus the two-term equation of centre.
inline double ecliptic_longitude_rad(double mean_longitude, double m_rad) noexcept {
    return (mean_longitude + 1.914666471 * std::sin(m_rad) + 0.019994643 * std::sin(2.0 * m_rad)) * deg2rad;
}

// Earth-Sun distance from the two-term series in astronomical units.
inline double distance_km(double m_rad) noexcept {
    return (1.000140612 - 0.016708617 * std::cos(m_rad) - 0.000139589 * std::cos(2.0 * m_rad)) * au_km;
}

// Dates are processed in blocks of this size so that each quantity is one tight loop over a small stack scratch.
constexpr std::size_t block_size = 256;

}  // namespace

double posix_to_jd(double posix) noexcept { return posix / seconds_per_day + jd_unix_epoch; }

Vec3 sun_position(double jd) noexcept {
    const double n = jd - jd_j2000;
    const double m = mean_anomaly_rad(n);
    const double lambda = ecliptic_longitude_rad(mean_longitude_deg(n), m);
    const double eps = obliquity_rad(n);
    const double r = distance_km(m);
    return {r * std::cos(lambda), r * std::cos(eps) * std::sin(lambda), r * std::sin(eps) * std::sin(lambda)};
}

void compute_sun_state(std::span<const double> jd, double* out) noexcept {
    double n[block_size];
    double l[block_size];
    double m[block_size];
    double lambda[block_size];
    double eps[block_size];
    double r[block_size];

    for (std::size_t start = 0; start < jd.size(); start += block_size) {
        const std::size_t count = std::min(block_size, jd.size() - start);
        const double* t = jd.data() + start;
        double* row = out + 6 * start;

        for (std::size_t i = 0; i < count; ++i) n[i] = t[i] - jd_j2000;
        for (std::size_t i = 0; i < count; ++i) l[i] = mean_longitude_deg(n[i]);
        for (std::size_t i = 0; i < count; ++i) m[i] = mean_anomaly_rad(n[i]);
        for (std::size_t i = 0; i < count; ++i) lambda[i] = ecliptic_longitude_rad(l[i], m[i]);
        for (std::size_t i = 0; i < count; ++i) eps[i] = obliquity_rad(n[i]);
        for (std::size_t i = 0; i < count; ++i) r[i] = distance_km(m[i]);
        for (std::size_t i = 0; i < count; ++i) row[6 * i + 0] = r[i] * std::cos(lambda[i]);
        for (std::size_t i = 0; i < count; ++i) row[6 * i + 1] = r[i] * std::cos(eps[i]) * std::sin(lambda[i]);
        for (std::size_t i = 0; i < count; ++i) row[6 * i + 2] = r[i] * std::sin(eps[i]) * std::sin(lambda[i]);
        for (std::size_t i = 0; i < count; ++i) {
            row[6 * i + 3] = nan;
            row[6 * i + 4] = nan;
            row[6 * i + 5] = nan;
        }
    }
}

std::vector<double> compute_sun_state(std::span<const double> jd) {
    std::vector<double> out(6 * jd.size());
    compute_sun_state(jd, out.data());
    return out;
}

}  // namespace orbelin
