#include "optimization/burn_elements.hpp"

#include <cmath>

#include "parallel/thread_pool.hpp"
#include "propagation/kepler_universal_2body.hpp"

namespace orbelin {

namespace {

// The row of a search that found nothing: the element formulas would substitute 0 for the angles they cannot
// define, which would read as a real transfer.
bool found_nothing(const OptimizedLambertSolution& burn) noexcept {
    return std::isnan(burn.t0) || std::isnan(burn.tf) || has_nan(burn.dv1);
}

constexpr TransferElements nan_elements{nan, nan, nan, nan, nan, nan, nan, nan, nan};

}  // namespace

TransferElements burn_arc_elements(const OptimizedLambertSolution& burn, const ArcEnds& ends, const Vec3& u1,
                                   const Vec3& u2, double mu) noexcept {
    if (found_nothing(burn)) return nan_elements;
    const Vec3 v1 = u1 + burn.dv1;
    if (!has_nan(burn.dv2)) return compute_transfer_orbit_elements(ends, v1, u2 - burn.dv2, mu);
    const State arrive = kepler_universal_2body(make_state(ends.r1, v1), burn.tf - burn.t0, mu);
    return compute_transfer_orbit_elements(ends.r1, v1, position(arrive), velocity(arrive), mu);
}

namespace {

// Below this many transfers the elements are computed on the calling thread; above, on the pool (each transfer is
// independent and the kernels are pure, so the values are the same either way).
constexpr std::size_t kParallelBurns = 64;

}  // namespace

TransferElements burn_transfer_elements(const OptimizedLambertSolution& burn, const State& source_state,
                                        const State& target_state, const ArrivalAim& aim, double mu) noexcept {
    if (found_nothing(burn)) return nan_elements;
    const State depart = kepler_universal_2body(source_state, burn.t0, mu);
    if (has_nan(burn.dv2))
        return burn_arc_elements(burn, arc_ends(position(depart), position(depart)), velocity(depart), velocity(depart),
                                 mu);
    const State target_at_tf = kepler_universal_2body(target_state, burn.tf, mu);
    // A record with an arrival burn was evaluated at a defined aim point; should the aim fail here after all,
    // the target itself is the best remaining description of the arrival.
    const State aimed = aim.apply(target_at_tf, burn.tf).value_or(target_at_tf);
    return burn_arc_elements(burn, arc_ends(position(depart), position(aimed)), velocity(depart), velocity(aimed), mu);
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
