#include "optimization/burn_elements.hpp"

#include <cmath>

#include "parallel/thread_pool.hpp"
#include "propagation/kepler_universal_2body.hpp"

namespace orbelin {

namespace {

// Below this many transfers the elements are computed on the calling thread; above, on the pool (each transfer is
// independent and the kernels are pure, so the values are the same either way).
constexpr std::size_t kParallelBurns = 64;

}  // namespace

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

Burn make_burn(const OptimizedLambertSolution& transfer, const TransferProblem& problem) noexcept {
    return {transfer,
            burn_transfer_elements(transfer, problem.source, problem.target, problem.aim, problem.arcs.solver.mu)};
}

std::vector<Burn> make_burns(const std::vector<OptimizedLambertSolution>& transfers, const TransferProblem& problem) {
    std::vector<Burn> burns(transfers.size());
    const auto one = [&](std::size_t k) { burns[k] = make_burn(transfers[k], problem); };
    if (transfers.size() < kParallelBurns) {
        for (std::size_t k = 0; k < transfers.size(); ++k) one(k);
    } else {
        parallel_for(global_pool(), transfers.size(), one);
    }
    return burns;
}

}  // namespace orbelin
