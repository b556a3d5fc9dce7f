#pragma once
// The transfer arc of an evaluated transfer, rebuilt from the two initial states and the impulses, and its
// orbital elements.

#include "common/arc_ends.hpp"
#include "optimization/transfer.hpp"
#include "orbit/transfer_elements.hpp"

namespace orbelin {

// Elements of the arc of `burn`: it leaves the source's position at t0 with the source velocity plus dv1. With an
// arrival burn it ends at the point the transfer was aimed at (`aim` applied to the target at tf) with that
// point's velocity minus dv2; without one, the departure state propagated over tf - t0 gives the arrival. Every
// propagation uses mu. A record with a NaN time or departure impulse (nothing found) gives NaN in every element.
TransferElements burn_transfer_elements(const OptimizedLambertSolution& burn, const State& source_state,
                                        const State& target_state, const ArrivalAim& aim, double mu) noexcept;

// The same from the states already at hand: `ends` joins the source's position at t0 to the aimed arrival
// position at tf, u1 is the source's velocity at t0 and u2 the aimed arrival velocity. Bit for bit the elements
// of burn_transfer_elements when those states are the ones it propagates.
TransferElements burn_arc_elements(const OptimizedLambertSolution& burn, const ArcEnds& ends, const Vec3& u1,
                                   const Vec3& u2, double mu) noexcept;

// One row of a burn result: the transfer and the elements of its arc.
struct BurnRecord {
    OptimizedLambertSolution burn;
    TransferElements elements;
};

}  // namespace orbelin
