#include "optimization/grid_search.hpp"

#include <cmath>
#include <optional>

#include "parallel/thread_pool.hpp"
#include "propagation/kepler_universal_2body.hpp"
#include "solver/lambert_impulses.hpp"

namespace orbelin {

namespace {

// Evaluates f(t0, tf) for every cell on the pool, results in grid order.
template <class F>
auto map_cells(const TimeGrid& grid, F&& f) {
    using R = std::decay_t<decltype(f(0.0, 0.0))>;
    std::vector<R> out(grid.cells());
    global_pool().run(grid.cells(), 0, [&](std::size_t begin, std::size_t end) {
        grid.for_cells(begin, end, [&](std::size_t k, double t0, double tf) { out[k] = f(t0, tf); });
    });
    return out;
}

template <class T>
std::vector<T> existing(const std::vector<std::optional<T>>& maybe) {
    std::vector<T> out;
    for (const auto& m : maybe) {
        if (m) out.push_back(*m);
    }
    return out;
}

}  // namespace

std::vector<OptimizedLambertSolution> lambert_grid_search(const TimeGrid& grid, const State& source_state,
                                                          const State& target_state, std::uint64_t max_rev, double mu,
                                                          double tol, std::uint64_t maxiter, bool rendezvous) {
    TransferProblem problem{source_state, target_state, mu, max_rev, rendezvous};
    problem.tol = tol;
    problem.maxiter = maxiter;
    return existing(map_cells(grid, [&](double t0, double tf) { return evaluate_transfer(problem, t0, tf); }));
}

GridCell transfer_scan_cell(const State& source_state, const State& target_state, double t0, double tf, double mu,
                            bool retrograde) {
    const State depart = kepler_universal_2body(source_state, t0, mu);
    const State arrive = kepler_universal_2body(target_state, tf, mu);
    const BestArcOptions options{mu,    0,     1e-8, 50, false,
                                 false, retrograde ? Directions::retrograde : Directions::prograde};
    const auto best = best_lambert_impulses(position(depart), velocity(depart), position(arrive), velocity(arrive),
                                            tf - t0, options);
    return {t0, tf, best ? best->dv1_mag : nan};
}

GridCell optimize_lambert_transfer(const TimeGrid& grid, TimeBounds time_bounds, double dt_step,
                                   const State& source_state, const State& target_state, double mu, bool retrograde) {
    if (grid.empty()) return {time_bounds.first, time_bounds.first + dt_step, nan};
    const std::vector<GridCell> cells = optimize_lambert_transfer_grid(grid, source_state, target_state, mu, retrograde);
    // The scan in grid order: a later cell wins ties, and any finite dv beats a NaN one.
    GridCell choice = cells.front();
    for (const GridCell& cell : cells) {
        if (!std::isfinite(choice.dv) || (std::isfinite(cell.dv) && cell.dv <= choice.dv)) choice = cell;
    }
    return choice;
}

std::vector<GridCell> optimize_lambert_transfer_grid(const TimeGrid& grid, const State& source_state,
                                                     const State& target_state, double mu, bool retrograde) {
    return map_cells(grid, [&](double t0, double tf) {
        return transfer_scan_cell(source_state, target_state, t0, tf, mu, retrograde);
    });
}

std::vector<OptimizedLambertSolution> cells_to_burns(const std::vector<GridCell>& cells, const State& source_state,
                                                     const State& target_state, double mu) {
    const TransferProblem problem{source_state, target_state, mu, 0, false};
    return existing(parallel_map(global_pool(), cells.size(), [&](std::size_t k) {
        return evaluate_transfer(problem, cells[k].t0, cells[k].tf);
    }));
}

}  // namespace orbelin
