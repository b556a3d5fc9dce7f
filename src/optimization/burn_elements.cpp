#include "optimization/burn_elements.hpp"

#include <cmath>

#include "propagation/kepler_universal_2body.hpp"

namespace orbelin {

TransferElements burn_transfer_elements(const OptimizedLambertSolution& burn, const State& source_state,
                                        const State& target_state, const ArrivalAim& aim, double mu) noexcept {
    // The row of a search that found nothing: the element formulas would substitute 0 for the angles they cannot
    // define, which would read as a real transfer.
    if (std::isnan(burn.t0) || std::isnan(burn.tf) || has_nan(burn.dv1)) {
        return {nan, nan, nan, nan, nan, nan, nan, nan, nan};
    }
    const State depart = kepler_universal_2body(source_state, burn.t0, mu);
    const Vec3 r1 = position(depart);
    const Vec3 v1 = velocity(depart) + burn.dv1;
    State arrive;
    if (!has_nan(burn.dv2)) {
        const State target_at_tf = kepler_universal_2body(target_state, burn.tf, mu);
        // A record with an arrival burn was evaluated at a defined aim point; should the aim fail here after all,
        // the target itself is the best remaining description of the arrival.
        const State aimed = aim.apply(target_at_tf, burn.tf).value_or(target_at_tf);
        arrive = make_state(position(aimed), velocity(aimed) - burn.dv2);
    } else {
        arrive = kepler_universal_2body(make_state(r1, v1), burn.tf - burn.t0, mu);
    }
    return compute_transfer_orbit_elements(r1, v1, position(arrive), velocity(arrive), mu);
}

}  // namespace orbelin
