#pragma once
// The transfer arc of an evaluated transfer, rebuilt from the two initial states and the impulses, and its
// orbital elements.

#include "optimization/transfer.hpp"
#include "orbit/transfer_elements.hpp"

namespace orbelin {

// Elements of the arc of `burn`: it leaves the source's position at t0 with the source velocity plus dv1. With an
// arrival burn it ends at the point the transfer was aimed at (`aim` applied to the target at tf) with that
// point's velocity minus dv2; without one, the departure state propagated over tf - t0 gives the arrival. Every
// propagation uses mu. A record with a NaN time or departure impulse (nothing found) gives NaN in every element.
TransferElements burn_transfer_elements(const OptimizedLambertSolution& burn, const State& source_state,
                                        const State& target_state, const ArrivalAim& aim, double mu) noexcept;

}  // namespace orbelin
