#include "optimization/grid_search.hpp"

#include <cmath>
#include <optional>

#include "optimization/burn_elements.hpp"
#include "parallel/thread_pool.hpp"
#include "propagation/kepler_universal_2body.hpp"
#include "solver/lambert_impulses.hpp"

namespace orbelin {

namespace {

// The states of the source and of the target at every grid value. A cell (x_i, x_j) needs the source at x_i and
// the target at x_j, and every value serves a whole row or column of cells, so propagating once per value instead
// of once per cell turns 2C propagations into 2m (m ~ sqrt(2C)); the states are the same ones either way.
struct GridStates {
    std::vector<State> source;
    std::vector<State> target;
};

GridStates propagate_grid(const TimeGrid& grid, const State& source_state, const State& target_state, double mu) {
    const std::vector<double>& x = grid.values();
    GridStates s{std::vector<State>(x.size()), std::vector<State>(x.size())};
    parallel_for(global_pool(), x.size(), [&](std::size_t i) {
        s.source[i] = kepler_universal_2body(source_state, x[i], mu);
        s.target[i] = kepler_universal_2body(target_state, x[i], mu);
    });
    return s;
}

// Evaluates f(t0, tf, source at t0, target at tf) for every cell on the pool, results in grid order.
template <class F>
auto map_cells(const TimeGrid& grid, const GridStates& states, F&& f) {
    using R = std::decay_t<decltype(f(0.0, 0.0, states.source[0], states.target[0]))>;
    std::vector<R> out(grid.cells());
    const std::vector<double>& x = grid.values();
    global_pool().run(grid.cells(), /*grain=*/0, [&](std::size_t begin, std::size_t end) {
        grid.for_cell_indices(begin, end, [&](std::size_t k, std::size_t i, std::size_t j) {
            out[k] = f(x[i], x[j], states.source[i], states.target[j]);
        });
    });
    return out;
}

// Cells per block of burns: a pool chunk and one block of the result. Large enough that a block of burns (up to
// about 650 KB) is its own allocation, handed back to the system when released.
constexpr std::size_t kBlockCells = 4096;

// The burns of the indices [0, n) in order, in blocks of kBlockCells indices, computed on the pool:
// visit(begin, end, emit) calls emit(std::optional<OptimizedLambertSolution>) for each index of its range in order,
// and every transfer emitted becomes a burn of `problem`.
template <class Visit>
BurnBlocks collect_blocks(std::size_t n, const TransferProblem& problem, Visit&& visit) {
    BurnBlocks blocks((n + kBlockCells - 1) / kBlockCells);
    global_pool().run(n, kBlockCells, [&](std::size_t begin, std::size_t end) {
        std::vector<Burn>& block = blocks[begin / kBlockCells];
        visit(begin, end, [&](const std::optional<OptimizedLambertSolution>& record) {
            if (record) block.push_back(make_burn(*record, problem));
        });
        block.shrink_to_fit();
    });
    return blocks;
}

}  // namespace

namespace {

// What a cell needs of one grid value beyond the states: the positions' lengths and directions and the source's
// plane normal, the same for a whole row (source) or column (target) of cells.
struct GridEnds {
    std::vector<ArcEnd> source;
    std::vector<ArcEnd> target;
    std::vector<std::optional<Vec3>> source_normal;
};

GridEnds grid_ends(const GridStates& states) {
    const std::size_t m = states.source.size();
    GridEnds e{std::vector<ArcEnd>(m), std::vector<ArcEnd>(m), std::vector<std::optional<Vec3>>(m)};
    for (std::size_t i = 0; i < m; ++i) {
        e.source[i] = arc_end(position(states.source[i]));
        e.target[i] = arc_end(position(states.target[i]));
        e.source_normal[i] = departure_normal(position(states.source[i]), velocity(states.source[i]));
    }
    return e;
}

}  // namespace

TransferProblem intercept_problem(const State& source_state, const State& target_state, double mu,
                                  Directions directions) noexcept {
    return {.source = source_state,
            .target = target_state,
            .arcs = {.solver = {.mu = mu, .max_rev = 0}, .rendezvous = false, .directions = directions}};
}

void lambert_grid_search(const TimeGrid& grid, const TransferProblem& problem,
                         FunctionRef<void(const KeptCells&)> keep) {
    if (grid.empty()) return;
    const double mu = problem.arcs.solver.mu;
    const GridStates states = propagate_grid(grid, problem.source, problem.target, mu);
    const GridEnds ends = grid_ends(states);
    const std::vector<double>& x = grid.values();
    global_pool().run(grid.cells(), kBlockCells, [&](std::size_t begin, std::size_t end) {
        // The cells of the task with their grid values, found in one walk.
        struct Cell {
            std::size_t i, j;
        };
        std::vector<Cell> cells(end - begin);
        grid.for_cell_indices(begin, end,
                              [&](std::size_t k, std::size_t i, std::size_t j) { cells[k - begin] = {i, j}; });
        const auto case_of = [&](std::size_t k) {
            const Cell& c = cells[k - begin];
            return ImpulseCase{arc_ends(ends.source[c.i], ends.target[c.j]), velocity(states.source[c.i]),
                               velocity(states.target[c.j]), ends.source_normal[c.i], x[c.j] - x[c.i]};
        };
        // The cells' bests arrive in bursts, after each run of solves: their elements, independent arithmetic, then
        // follow one another instead of sitting between the solves' dependency chains, and they are computed
        // together, a run of kept cells at a time. A kept cell's arc starts from the source's state plus dv1; with
        // an arrival burn it ends at the target's state minus dv2 (those arcs go through the batch conversion), and
        // without one its end is found by propagation (burn_arc_elements).
        constexpr std::size_t run = batch_run_arcs;
        OptimizedLambertSolution transfers[run];
        std::size_t held_k[run];
        TransferElements elements[run];
        ArcStates arcs[run];
        std::size_t arc_rows[run];
        TransferElements arc_elements[run];
        std::size_t held_n = 0;
        std::size_t arcs_n = 0;
        const auto drain = [&] {
            if (arcs_n == held_n) {
                compute_transfer_orbit_elements_batch(arcs, arcs_n, mu, elements);
            } else {
                compute_transfer_orbit_elements_batch(arcs, arcs_n, mu, arc_elements);
                for (std::size_t a = 0; a < arcs_n; ++a) elements[arc_rows[a]] = arc_elements[a];
            }
            if (held_n > 0) keep(KeptCells{held_k, transfers, elements, held_n});
            held_n = 0;
            arcs_n = 0;
        };
        best_lambert_arcs_run(begin, end, case_of, problem.arcs,
                              [&](std::size_t k, const std::optional<BestArc>& best) {
                                  if (!best) return;
                                  const Cell& c = cells[k - begin];
                                  const OptimizedLambertSolution& t = transfers[held_n] =
                                      transfer_record(best->impulses, x[c.i], x[c.j], problem.arcs.rendezvous);
                                  const ArcEnds arc = arc_ends(ends.source[c.i], ends.target[c.j]);
                                  const Vec3& u1 = velocity(states.source[c.i]);
                                  const Vec3& u2 = velocity(states.target[c.j]);
                                  if (has_nan(t.dv1) || has_nan(t.dv2)) {
                                      elements[held_n] = burn_arc_elements(t, arc, u1, u2, mu);
                                  } else {
                                      arcs[arcs_n] = {arc, u1 + t.dv1, u2 - t.dv2};
                                      arc_rows[arcs_n++] = held_n;
                                  }
                                  held_k[held_n] = k;
                                  if (++held_n == run) drain();
                              });
        drain();
    });
}

namespace {

// The departure delta-v of the cheapest arc of the scan's directions from the source's state at t0 (`depart`) to
// the target's at tf (`arrive`).
GridCell scan_cell(const TransferProblem& scan, const State& depart, const State& arrive, double t0, double tf) {
    const auto best = best_lambert_impulses(position(depart), velocity(depart), position(arrive), velocity(arrive),
                                            tf - t0, scan.arcs);
    return {t0, tf, best ? best->dv1_mag : nan};
}

}  // namespace

GridCell optimize_lambert_transfer(const TimeGrid& grid, TimePair time_bounds, double dt_step,
                                   const TransferProblem& scan) {
    if (grid.empty()) return {time_bounds.first, time_bounds.first + dt_step, nan};
    const std::vector<GridCell> cells = optimize_lambert_transfer_grid(grid, scan);
    // The scan in grid order: a later cell wins ties, and any finite dv beats a NaN one.
    GridCell choice = cells.front();
    for (const GridCell& cell : cells) {
        if (!std::isfinite(choice.dv) || (std::isfinite(cell.dv) && cell.dv <= choice.dv)) choice = cell;
    }
    return choice;
}

std::optional<OptimizedLambertSolution> optimize_lambert_transfer_full(const TimeGrid& grid, TimePair time_bounds,
                                                                       double dt_step, const TransferProblem& scan) {
    const GridCell best = optimize_lambert_transfer(grid, time_bounds, dt_step, scan);
    return compute_impulses(intercept_problem(scan.source, scan.target, scan.arcs.solver.mu, Directions::both), best.t0,
                            best.tf);
}

std::vector<GridCell> optimize_lambert_transfer_grid(const TimeGrid& grid, const TransferProblem& scan) {
    if (grid.empty()) return {};
    const GridStates states = propagate_grid(grid, scan.source, scan.target, scan.arcs.solver.mu);
    return map_cells(grid, states, [&](double t0, double tf, const State& depart, const State& arrive) {
        return scan_cell(scan, depart, arrive, t0, tf);
    });
}

BurnBlocks cells_to_burns(const std::vector<GridCell>& cells, const TransferProblem& problem) {
    return collect_blocks(cells.size(), problem, [&](std::size_t begin, std::size_t end, auto&& emit) {
        for (std::size_t k = begin; k < end; ++k) emit(compute_impulses(problem, cells[k].t0, cells[k].tf));
    });
}

}  // namespace orbelin
