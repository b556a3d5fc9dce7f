#include "orbit/coe2rv.hpp"

#include <cmath>

#include "common/constants.hpp"

namespace orbelin {

State coe2rv_single(const std::array<double, 6>& coe, bool deg, double mu) noexcept {
    const double a = coe[0];
    const double e = coe[1];
    const double scale = deg ? deg2rad : 1.0;
    const double inc = coe[2] * scale;
    const double raan = coe[3] * scale;
    const double argp = coe[4] * scale;
    const double nu = coe[5] * scale;

    // Semi-latus rectum, km. For a hyperbola both factors are negated so each stays positive.
    double p;
    if (std::isinf(a) || std::isnan(a)) {
        p = nan;
    } else if (a > 0.0) {
        p = a * (1.0 - e * e);
    } else {
        p = (-a) * (e * e - 1.0);
    }

    // Perifocal frame (P towards periapsis, Q 90 deg ahead in the direction of motion), Curtis, Orbital
    // Mechanics for Engineering Students, ch. 4.
    const double cos_nu = std::cos(nu);
    const double sin_nu = std::sin(nu);
    const double radius = p / (1.0 + e * cos_nu);
    const double pos_p = radius * cos_nu;
    const double pos_q = radius * sin_nu;
    const double sqrt_mu_p = std::sqrt(mu / p);
    const double vel_p = -sqrt_mu_p * sin_nu;
    const double vel_q = sqrt_mu_p * (e + cos_nu);

    // Perifocal -> inertial: the 3-1-3 rotation R3(-raan) R1(-i) R3(-argp) (Vallado, algorithm COE2RV). The full
    // product is kept, W column included, so that signed zeros and NaN follow the plain matrix arithmetic.
    const double cos_o = std::cos(raan);
    const double sin_o = std::sin(raan);
    const double cos_w = std::cos(argp);
    const double sin_w = std::sin(argp);
    const double cos_i = std::cos(inc);
    const double sin_i = std::sin(inc);

    const double r11 = cos_o * cos_w - sin_o * sin_w * cos_i;
    const double r12 = -cos_o * sin_w - sin_o * cos_w * cos_i;
    const double r13 = sin_o * sin_i;
    const double r21 = sin_o * cos_w + cos_o * sin_w * cos_i;
    const double r22 = cos_o * cos_w * cos_i - sin_o * sin_w;
    const double r23 = -cos_o * sin_i;
    const double r31 = sin_w * sin_i;
    const double r32 = cos_w * sin_i;
    const double r33 = cos_i;

    constexpr double pos_w = 0.0;
    constexpr double vel_w = 0.0;
    return State{r11 * pos_p + r12 * pos_q + r13 * pos_w, r21 * pos_p + r22 * pos_q + r23 * pos_w,
                 r31 * pos_p + r32 * pos_q + r33 * pos_w, r11 * vel_p + r12 * vel_q + r13 * vel_w,
                 r21 * vel_p + r22 * vel_q + r23 * vel_w, r31 * vel_p + r32 * vel_q + r33 * vel_w};
}

}  // namespace orbelin
