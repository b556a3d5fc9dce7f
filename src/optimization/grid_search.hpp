#pragma once
// Exhaustive scans of the departure/arrival time grid (see time_grid.hpp), evaluated in parallel on the worker
// pool with results in grid order.
//
// lambert_grid_search evaluates every cell fully (both directions, the caller's revolutions and solver settings)
// and keeps the feasible ones. The transfer scans use a cheaper value per cell, the departure delta-v of the
// zero-revolution arcs in one direction, and return the best cell or every cell.

#include <cstdint>
#include <vector>

#include "optimization/burn_elements.hpp"
#include "parallel/function_ref.hpp"
#include "optimization/nm_search.hpp"
#include "optimization/time_grid.hpp"
#include "optimization/transfer.hpp"

namespace orbelin {

// One cell of a transfer scan: (t0, tf) and the smallest departure delta-v (km/s), NaN when no arc has a finite
// departure velocity.
struct GridCell {
    double t0;
    double tf;
    double dv;
};

// Evaluates every cell on the worker pool and hands each feasible cell to keep(k, row): k is the cell's index in
// grid order, row its record with the elements of its arc (burn_transfer_elements). keep runs on the worker
// threads, once per feasible cell, concurrently for different cells; cells without a transfer are not handed over.
void lambert_grid_search(const TimeGrid& grid, const State& source_state, const State& target_state,
                         std::uint64_t max_rev, double mu, double tol, std::uint64_t maxiter, bool rendezvous,
                         FunctionRef<void(std::size_t, const BurnRecord&)> keep);

// The value of one transfer-scan cell.
GridCell transfer_scan_cell(const State& source_state, const State& target_state, double t0, double tf, double mu,
                            bool retrograde);

// The last cell in grid order whose dv is the smallest finite dv of the grid; the last cell when none is finite;
// (lo, lo + dt_step, NaN) for an empty grid.
GridCell optimize_lambert_transfer(const TimeGrid& grid, TimeBounds time_bounds, double dt_step,
                                   const State& source_state, const State& target_state, double mu, bool retrograde);

// Every cell, in grid order.
std::vector<GridCell> optimize_lambert_transfer_grid(const TimeGrid& grid, const State& source_state,
                                                     const State& target_state, double mu, bool retrograde);

// The full zero-revolution, no-rendezvous evaluation (both directions) of every cell, in order; cells without a
// transfer are dropped. The cells' dv plays no part.
RecordBlocks cells_to_burns(const std::vector<GridCell>& cells, const State& source_state,
                                                     const State& target_state, double mu);

}  // namespace orbelin
