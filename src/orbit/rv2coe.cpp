#include "orbit/rv2coe.hpp"

#include "common/constants.hpp"
#include "orbit/classical_elements.hpp"

namespace orbelin {

ElementVector rv2coe_single(const State& state, bool deg, bool special, double mu, double tol) noexcept {
    const detail::OrbitGeometry g = detail::orbit_geometry(state, mu);
    const detail::ClassicalElements el = detail::classical_elements(g, mu, tol);

    ElementVector out{{el.sma, el.ecc, el.inc, el.raan, el.argp, el.nu, 0.0, 0.0, 0.0}, 6};
    if (special) {
        // Reported whatever the degenerate case, so that callers can pick their own substitute.
        const double inc = detail::inclination(g);
        const bool equatorial = detail::sin_inclination(g) < tol;
        out.values[6] = detail::wrap_two_pi(detail::argument_of_latitude(g));
        out.values[7] = detail::wrap_two_pi(detail::true_longitude(g, inc, equatorial));
        out.values[8] = detail::wrap_two_pi(detail::longitude_of_periapsis(g, inc, equatorial));
        out.size = 9;
    }
    if (deg) {
        for (std::size_t k = 2; k < out.size; ++k) out.values[k] *= rad2deg;
    }
    return out;
}

}  // namespace orbelin
