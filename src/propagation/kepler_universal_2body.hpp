#pragma once
// Two-body propagation of a Cartesian state by the universal-variable formulation.

#include <cstddef>
#include <cstdint>

#include "common/constants.hpp"
#include "common/vec3.hpp"

namespace orbelin {

// One propagation with its iteration record.
struct KeplerSolve {
    State state{};
    int newton_steps = 0;       // steps of the first stage (Newton from the classical guess), at most 50
    int safeguarded_steps = 0;  // steps of the bracketed second stage; 0 when the first stage converged
    bool converged = false;     // the universal anomaly met the 1e-8 tolerance (true for dt == 0)
};

// Propagates `state` (inertial position km, velocity km/s) by `dt` seconds under the point-mass gravity of a
// central body with gravitational parameter `mu` (km^3/s^2; the Earth's by default). Negative dt propagates
// backwards; dt == 0 returns the input unchanged. Where no answer exists (zero position, a non-finite state, dt
// or mu, mu <= 0) every component is NaN.
KeplerSolve kepler_universal_2body_solve(const State& state, double dt, double mu = mu_earth) noexcept;

inline State kepler_universal_2body(const State& state, double dt, double mu = mu_earth) noexcept {
    return kepler_universal_2body_solve(state, dt, mu).state;
}

// out[k] = kepler_universal_2body(states[k], dt[k], mu) for k = 0 .. n-1, bit for bit, with several propagations
// iterated at once so that their chains of dependent operations overlap.
void kepler_universal_2body_many(const State* states, const double* dt, State* out, std::size_t n,
                                 double mu = mu_earth) noexcept;

enum class InstructionSet : std::uint8_t;

// Makes kepler_universal_2body_many use the kernel of `isa` from now on: two propagations per vector with the
// portable code, four with AVX2, eight with AVX-512F. The caller has checked that the machine runs it
// (instruction_set_supported). Called once, when the module is loaded.
void use_kepler_kernels(InstructionSet isa) noexcept;

namespace detail {

struct Stumpff {
    double c2;
    double c3;
};

// Stumpff functions c2(psi) = (1 - cos sqrt(psi)) / psi and c3(psi) = (sqrt(psi) - sin sqrt(psi)) / sqrt(psi)^3,
// continued to psi < 0 through cosh and sinh.
Stumpff stumpff_c2_c3(double psi) noexcept;

}  // namespace detail

}  // namespace orbelin
