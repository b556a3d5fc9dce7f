#pragma once
// Exhaustive scans of the departure/arrival time grid (see time_grid.hpp), evaluated in parallel on the worker
// pool with results in grid order.
//
// lambert_grid_search evaluates every cell fully (both directions, the caller's revolutions and solver settings)
// and keeps the feasible ones. The transfer scans use a cheaper value per cell, the departure delta-v of the
// zero-revolution arcs in one direction, and return the best cell or every cell.

#include <cstdint>
#include <optional>
#include <vector>

#include "optimization/burn_elements.hpp"
#include "optimization/time_grid.hpp"
#include "optimization/transfer.hpp"
#include "parallel/function_ref.hpp"

namespace orbelin {

// One cell of a transfer scan: (t0, tf) and the smallest departure delta-v (km/s), NaN when no arc has a finite
// departure velocity.
struct GridCell {
    double t0;
    double tf;
    double dv;
};

// The problem of a transfer scan between the two states: zero revolutions, the departure delta-v as the cost, the
// given directions of motion and the solver's default settings otherwise.
TransferProblem intercept_problem(const State& source_state, const State& target_state, double mu,
                                  Directions directions) noexcept;

// Feasible cells of a grid scan, a run of them in grid order: cells[r] is the index in grid order of transfers[r],
// whose elements are elements[r] (burn_transfer_elements).
struct KeptCells {
    const std::size_t* cells;
    const OptimizedLambertSolution* transfers;
    const TransferElements* elements;
    std::size_t size;
};

// Evaluates every cell fully for `problem` on the worker pool and hands the feasible cells to keep, a run of up to
// batch_run_arcs at a time. keep runs on the worker threads, concurrently for different runs; every feasible cell
// is handed over once, cells without a transfer never.
void lambert_grid_search(const TimeGrid& grid, const TransferProblem& problem,
                         FunctionRef<void(const KeptCells&)> keep);

// The last cell in grid order whose dv is the smallest finite dv of the grid; the last cell when none is finite;
// (lo, lo + dt_step, NaN) for an empty grid. The cells are valued by `scan` (an intercept_problem) at the target.
GridCell optimize_lambert_transfer(const TimeGrid& grid, TimePair time_bounds, double dt_step,
                                   const TransferProblem& scan);

// The scan's answer as a transfer: the full evaluation, both directions tried, of the times of the cell that
// optimize_lambert_transfer chooses (which ranks the cells by one direction's departure delta-v); nothing when
// those times have no transfer.
std::optional<OptimizedLambertSolution> optimize_lambert_transfer_full(const TimeGrid& grid, TimePair time_bounds,
                                                                       double dt_step, const TransferProblem& scan);

// Every cell, in grid order.
std::vector<GridCell> optimize_lambert_transfer_grid(const TimeGrid& grid, const TransferProblem& scan);

// The burns of the full evaluation of every cell for `problem`, in order; cells without a transfer are dropped.
// The cells' dv plays no part.
BurnBlocks cells_to_burns(const std::vector<GridCell>& cells, const TransferProblem& problem);

}  // namespace orbelin
