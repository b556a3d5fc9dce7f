// The transfer optimisers: grid scans and Nelder-Mead searches of the departure and arrival times of a
// two-impulse transfer between a source (chaser) and a target state given at a common epoch.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "common/fault.hpp"
#include "optimization/grid_search.hpp"
#include "optimization/nm_search.hpp"
#include "parallel/thread_pool.hpp"
#include "python/arrays.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/lambert_batch.hpp"
#include "python/lambert_burn_array.hpp"
#include "python/pair_table.hpp"
#include "solver/lambert_izzo.hpp"

namespace orbelin::py {

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Arguments shared by the optimisers.

struct StatePair {
    State source;
    State target;
};

// The two single states: both lengths first, then both layouts (source first).
StatePair read_state_pair(const Args& args) {
    PyArrayObject* arrays[2] = {args.array("source_state"), args.array("target_state")};
    const char* names[2] = {"source_state", "target_state"};
    for (int k = 0; k < 2; ++k) {
        const npy_intp n = PyArray_SIZE(arrays[k]);
        if (n != 6) raise_value_error(concat({names[k], " must have 6 elements, got ", std::to_string(n)}));
    }
    StatePair states{};
    State* out[2] = {&states.source, &states.target};
    for (int k = 0; k < 2; ++k) {
        const std::vector<double> values = copy_contiguous(arrays[k]);
        std::copy(values.begin(), values.end(), out[k]->begin());
    }
    return states;
}

// The arrival aim of a search: the optional single waypoint, or the target itself when it is absent.
ArrivalAim read_aim(const Args& args) {
    if (!args.present("ric_waypoint")) return ArrivalAim::target();
    const std::vector<double> waypoint = copy_contiguous(args.array("ric_waypoint"));
    if (waypoint.size() != 3 && waypoint.size() != 6) raise_value_error("ric_waypoint must have 3 or 6 elements");
    return ArrivalAim::waypoint(waypoint);
}

// Refuses, before any search, a max_rev that would let a transfer in the window need more revolutions than the
// Lambert solver solves: `radius` is the closest the two ends can come to the centre (transfer_revolution_bound).
void check_revolutions(std::uint64_t max_rev, double radius, TimePair bounds, double mu) {
    if (max_rev <= lambert_max_solved_revs || !(mu > 0.0)) return;
    const std::uint64_t bound = transfer_revolution_bound(radius, bounds.second - bounds.first, mu);
    if (bound <= lambert_max_solved_revs) return;
    raise_value_error(concat({"max_rev = ", std::to_string(max_rev), " admits up to ",
                              std::to_string(std::min(max_rev, bound)), " revolutions in this time window; at most ",
                              std::to_string(lambert_max_solved_revs), " revolutions can be solved in one call"}));
}

// check_revolutions for a transfer problem, whose aim moves the arrival point by up to its reach.
void check_revolutions(const TransferProblem& p, TimePair bounds) {
    const double mu = p.arcs.solver.mu;
    check_revolutions(p.arcs.solver.max_rev,
                      std::fmax(periapsis_radius(p.source, mu), periapsis_radius(p.target, mu) - p.aim.reach()), bounds,
                      mu);
}

std::optional<std::uint64_t> count_or_none(const Args& args, const char* name) {
    if (!args.present(name)) return std::nullopt;
    return args.count(name);
}

// The problem of a Nelder-Mead search: the two states, the arcs of max_rev revolutions at mu (both directions,
// the solver's defaults otherwise), the cost with or without the arrival burn, and the aim.
TransferProblem search_problem(const Args& args, const StatePair& s, const ArrivalAim& aim) {
    return {.source = s.source,
            .target = s.target,
            .arcs = {.solver = {.mu = args.f64("mu"), .max_rev = args.count("max_rev")},
                     .rendezvous = args.flag("optimize_rendezvous")},
            .aim = aim};
}

// The problem of a transfer scan: zero revolutions at mu, the departure delta-v in the direction of `retrograde`.
TransferProblem scan_problem(const Args& args, const StatePair& s) {
    return intercept_problem(s.source, s.target, args.f64("mu"),
                             args.flag("retrograde") ? Directions::retrograde : Directions::prograde);
}

// The settings of a multi-start search.
MultiStart multi_start(const Args& args) {
    return {.num_solvers = args.count("num_solvers"),
            .return_best_only = args.flag("return_best_only"),
            .remove_duplicates = args.flag("remove_duplicates"),
            .max_iters = count_or_none(args, "max_iters")};
}

// The grid of a scan, refused before anything is built when it has no end or cannot be held: results take
// `bytes_per_cell` per cell, checked against the memory this process may still use.
TimeGrid build_grid(TimePair bounds, double dt_step, std::size_t bytes_per_cell) {
    // A window of up to `span` steps has fewer than (span + 2)^2 / 2 cells; when even that fits in a small request
    // the system is not asked.
    const double span = (bounds.second - bounds.first) / dt_step;
    const double most_cells = (span + 2.0) * (span + 2.0) / 2.0;
    const MemoryBudget budget = most_cells * static_cast<double>(bytes_per_cell) <= small_request_bytes
                                    ? MemoryBudget{std::numeric_limits<std::uint64_t>::max(), MemoryLimit::none}
                                    : available_memory();
    TimeGrid grid;
    switch (TimeGrid::build(bounds.first, bounds.second, dt_step, budget.bytes / bytes_per_cell, grid)) {
        case GridStatus::ok:
            return grid;
        case GridStatus::bad_step:
            raise_value_error(concat({"dt_step must be a positive number of seconds, got ", number_text(dt_step)}));
        case GridStatus::bad_bounds:
            raise_value_error(concat({"time_bounds must be finite, got (", number_text(bounds.first), ", ",
                                      number_text(bounds.second), ")"}));
        case GridStatus::step_stalls:
            raise_value_error(concat({"dt_step ", number_text(dt_step), " is too small to advance the time past ",
                                      number_text(grid.stalled_at()), " s: the grid would never end"}));
        case GridStatus::too_many_cells: {
            // About span^2 / 2 cells; a step so small that this count overflows float64 gets a bound instead.
            const double cells = span * span / 2.0;
            const bool countable = std::isfinite(cells);
            char count[64];
            std::snprintf(count, sizeof count, "%s %.3g", countable ? "about" : "more than",
                          countable ? cells : std::numeric_limits<double>::max());
            raise_memory_error(
                concat({"the grid of time_bounds (", number_text(bounds.first), ", ", number_text(bounds.second),
                        ") with dt_step ", number_text(dt_step), " has ", count, " cells of ",
                        std::to_string(bytes_per_cell), " bytes each and"}),
                std::fmin(cells * static_cast<double>(bytes_per_cell), std::numeric_limits<double>::max()), budget);
        }
    }
    throw InternalFault("unknown grid status");
}

// Per grid cell of lambert_grid_search: its row of the result arrays and its kept flag.
constexpr std::size_t kGridRowBytes = burn_row_bytes + 1;
// Per grid cell at most: its burn and its row of the result arrays.
constexpr std::size_t kBurnCellBytes = sizeof(Burn) + burn_row_bytes;

// A multi-start search is refused before it starts when its starts cannot be held, with a result row for each
// start when the call keeps more than the best one.
void require_search_memory(const char* function, std::uint64_t num_solvers, bool return_best_only) {
    const std::size_t per_start = multi_start_bytes_per_start + (return_best_only ? 0 : burn_row_bytes);
    require_memory(concat({function, ": a search from ", std::to_string(num_solvers), " starts",
                           return_best_only ? "" : " with a result row each"}),
                   static_cast<double>(num_solvers) * static_cast<double>(per_start));
}

// ---------------------------------------------------------------------------------------------------------------
// The functions returning a LambertBurnArray.

PyObject* lambert_grid_search_py(const Args& args) {
    const StatePair s = read_state_pair(args);
    const TimePair bounds = args.pair("time_bounds");
    const double dt_step = args.f64("dt_step");
    const TransferProblem problem{.source = s.source,
                                  .target = s.target,
                                  .arcs = {.solver = lambert_settings(args), .rendezvous = args.flag("rendezvous")}};
    check_revolutions(problem, bounds);
    const TimeGrid grid = build_grid(bounds, dt_step, kGridRowBytes);
    // Each feasible cell writes its row at its own index, on the thread that solved it; the rows are then moved
    // up over the cells without a transfer (none move before the first such cell) and the arrays cut to length.
    BurnColumns columns(Shape{static_cast<npy_intp>(grid.cells())});
    std::vector<unsigned char> kept(grid.cells(), 0);
    lambert_grid_search(grid, problem, [&](const KeptCells& run) {
        put_burns(columns, run.cells, run.transfers, run.elements, run.size);
        for (std::size_t r = 0; r < run.size; ++r) kept[run.cells[r]] = 1;
    });
    std::size_t rows = 0;
    for (std::size_t k = 0; k < kept.size(); ++k) {
        if (!kept[k]) continue;
        if (rows != k) columns.move_slot(k, rows);
        ++rows;
    }
    columns.shrink(static_cast<npy_intp>(rows));
    return burn_array(columns);
}

PyObject* optimize_lambert_nm_py(const Args& args) {
    const StatePair s = read_state_pair(args);
    const TransferProblem problem = search_problem(args, s, read_aim(args));
    NmSearch search{.max_iters = count_or_none(args, "max_iters")};
    if (args.present("initial_guess")) search.initial_guess = args.pair("initial_guess");
    check_revolutions(problem, args.pair("time_bounds"));
    const auto found = optimize_lambert_nm(problem, args.pair("time_bounds"), search);
    return burns_to_python({make_burn(found.value_or(nan_solution()), problem)});
}

PyObject* optimize_lambert_nm_multi_py(const Args& args) {
    const StatePair s = read_state_pair(args);
    const TransferProblem problem = search_problem(args, s, read_aim(args));
    check_revolutions(problem, args.pair("time_bounds"));
    const MultiStart multi = multi_start(args);
    require_search_memory("optimize_lambert_nm_multi_py", multi.num_solvers, multi.return_best_only);
    const auto records = optimize_lambert_nm_multi(problem, args.pair("time_bounds"), multi);
    return burns_to_python(make_burns(records, problem));
}

PyObject* optimize_lambert_nm_multi_sunline_py(const Args& args) {
    const StatePair s = read_state_pair(args);
    const SunLine line{.offset_km = args.f64("sun_vector_offset_km"), .t0_ref = args.f64("t0_ref")};
    const TransferProblem problem = search_problem(args, s, ArrivalAim::sun_line(line));
    check_revolutions(problem, args.pair("time_bounds"));
    const MultiStart multi = multi_start(args);
    require_search_memory("optimize_lambert_nm_multi_sunline_py", multi.num_solvers, multi.return_best_only);
    const auto records = optimize_lambert_nm_multi(problem, args.pair("time_bounds"), multi);
    return burns_to_python(make_burns(records, problem));
}

PyObject* optimize_lambert_transfer_py(const Args& args) {
    const StatePair s = read_state_pair(args);
    const TimePair bounds = args.pair("time_bounds");
    const double dt_step = args.f64("dt_step");
    const TransferProblem scan = scan_problem(args, s);
    const TimeGrid grid = build_grid(bounds, dt_step, sizeof(GridCell));
    const auto found = optimize_lambert_transfer_full(grid, bounds, dt_step, scan);
    return burns_to_python({make_burn(found.value_or(nan_solution()), scan)});
}

PyObject* optimize_lambert_transfer_grid_py(const Args& args) {
    const StatePair s = read_state_pair(args);
    const TimePair bounds = args.pair("time_bounds");
    const TransferProblem scan = scan_problem(args, s);
    const TimeGrid grid = build_grid(bounds, args.f64("dt_step"), sizeof(GridCell) + kBurnCellBytes);
    const auto cells = optimize_lambert_transfer_grid(grid, scan);
    return burns_to_python(
        cells_to_burns(cells, intercept_problem(s.source, s.target, scan.arcs.solver.mu, Directions::both)));
}

// ---------------------------------------------------------------------------------------------------------------
// optimize_lambert_nm_multi_array: every (source, target) pair of two batches, as a table.

// The waypoint rows of the pairs, read in place: none, one for every pair, or one per target.
std::optional<Rows> read_waypoint_rows(const Args& args, std::size_t targets) {
    if (!args.present("ric_waypoint")) return std::nullopt;
    PyArrayObject* arr = args.array("ric_waypoint");
    const npy_intp k = has_last_axis(arr, 3) ? 3 : 6;
    if (!has_last_axis(arr, k)) raise_value_error("ric_waypoint must have shape [..., 3] or [..., 6]");
    // One row serves every pair; otherwise each target needs its own (an empty batch included, which would leave
    // the pairs without a row).
    if (batch_count(arr) != 1 && batch_count(arr) != targets) {
        raise_value_error("If ric_waypoint is an array, it must have the same batch size as target_state");
    }
    return Rows(arr, "Failed to reshape ric_waypoint");
}

PyObject* optimize_lambert_nm_multi_array_py(const Args& args) {
    PyArrayObject* source_arr = args.array("source_state");
    PyArrayObject* target_arr = args.array("target_state");
    if (!has_last_axis(source_arr, 6)) raise_value_error("source_state must have shape [..., 6]");
    if (!has_last_axis(target_arr, 6)) raise_value_error("target_state must have shape [..., 6]");
    const Rows sources(source_arr, "Failed to reshape source_state");
    const Rows targets(target_arr, "Failed to reshape target_state");
    const std::optional<Rows> waypoints = read_waypoint_rows(args, targets.count());

    const TimePair bounds = args.pair("time_bounds");
    const StatePair none{};
    const TransferProblem common = search_problem(args, none, ArrivalAim::target());
    const MultiStart multi = multi_start(args);
    // f(source_rows, target_rows, waypoint_rows) with the row readers of the arrays' layouts, chosen once for
    // the loops of f; without waypoints the third reader is one of nothing, never read.
    const auto with_layouts = [&](auto&& f) {
        return sources.with_layout([&](const auto& src) {
            return targets.with_layout([&](const auto& tgt) {
                if (!waypoints) return f(src, tgt, CRowReader{nullptr, 0});
                return waypoints->with_layout([&](const auto& wp) { return f(src, tgt, wp); });
            });
        });
    };
    // The waypoint of target j, read into `row` by the waypoints' reader; empty without waypoints.
    const auto waypoint_of = [&](const auto& reader, std::size_t j,
                                 std::array<double, 6>& row) -> std::span<const double> {
        if (!waypoints) return {};
        reader.read(waypoints->count() == 1 ? 0 : j, row.data());
        return {row.data(), waypoints->width()};
    };
    if (common.arcs.solver.max_rev > lambert_max_solved_revs) {
        const double mu = common.arcs.solver.mu;
        // The pair whose ends can come closest: min over pairs of max(a_i, b_j) is max(min a, min b).
        double closest_source = inf;
        double closest_target = inf;
        with_layouts([&](const auto& src, const auto& tgt, const auto& wp) {
            for (std::size_t i = 0; i < sources.count(); ++i) {
                closest_source = std::fmin(closest_source, periapsis_radius(src.state(i), mu));
            }
            for (std::size_t j = 0; j < targets.count(); ++j) {
                std::array<double, 6> row{};
                const double reach = waypoints ? ArrivalAim::waypoint(waypoint_of(wp, j, row)).reach() : 0.0;
                closest_target = std::fmin(closest_target, periapsis_radius(tgt.state(j), mu) - reach);
            }
        });
        check_revolutions(common.arcs.solver.max_rev, std::fmax(closest_source, closest_target), bounds, mu);
    }

    const std::size_t S = sources.count();
    const std::size_t T = targets.count();
    std::size_t pairs = 0;
    if (__builtin_mul_overflow(S, T, &pairs)) {
        raise_value_error(concat({"optimize_lambert_nm_multi_array: ", std::to_string(S), " source states and ",
                                  std::to_string(T), " target states make more pairs than a 64-bit count holds"}));
    }
    // Without starts no pair can find a transfer: the table is empty, and nothing needs searching.
    const std::uint64_t num_solvers = multi.num_solvers;
    if (num_solvers == 0) pairs = 0;
    // Every pair holds its records until the table is built, and is charged one record and its table row (the
    // least it takes when it finds a transfer); the searches running at once hold their starts.
    const double in_flight = static_cast<double>(std::min<std::size_t>(pairs, global_pool().size() + 1));
    const auto counted = [](std::size_t n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    require_memory(
        concat({"optimize_lambert_nm_multi_array: the search of ", counted(pairs, "pair"), " (",
                counted(S, "source state"), " x ", counted(T, "target state"), ") from ", counted(num_solvers, "start"),
                " each"}),
        static_cast<double>(pairs) * static_cast<double>(sizeof(std::vector<OptimizedLambertSolution>) +
                                                         sizeof(OptimizedLambertSolution) + pair_table_row_bytes()) +
            in_flight * static_cast<double>(num_solvers) * multi_start_bytes_per_start);

    // Each pair runs a multi-start search whose starts are a parallel loop of their own on the same pool.
    const auto per_pair = with_layouts([&](const auto& src, const auto& tgt, const auto& wp) {
        return parallel_map(
            global_pool(), pairs,
            [&](std::size_t p) {
                TransferProblem problem = common;
                problem.source = src.state(p / T);
                problem.target = tgt.state(p % T);
                if (waypoints) {
                    std::array<double, 6> row{};
                    problem.aim = ArrivalAim::waypoint(waypoint_of(wp, p % T, row));
                }
                return optimize_lambert_nm_multi(problem, bounds, multi);
            },
            /*grain=*/1);
    });
    return pair_table(per_pair, T);
}

// ---------------------------------------------------------------------------------------------------------------
// Declarations.

constexpr Param kTransferScanParams[] = {
    required("source_state", Kind::Array1D),
    required("target_state", Kind::Array1D),
    required("time_bounds", Kind::Pair),
    required("dt_step", Kind::Float),
    kMuParam,
    optional_flag("retrograde", default_lambert_settings.retrograde),
};

constexpr Param kGridSearchParams[] = {
    required("source_state", Kind::Array1D),
    required("target_state", Kind::Array1D),
    required("time_bounds", Kind::Pair),
    required("dt_step", Kind::Float),
    optional_count("max_rev", default_lambert_settings.max_rev),
    kMuParam,
    kTolParam,
    kMaxiterParam,
    optional_flag("rendezvous", true),
};

constexpr Param kNmParams[] = {
    required("source_state", Kind::Array1D),
    required("target_state", Kind::Array1D),
    required("time_bounds", Kind::Pair),
    required("max_rev", Kind::Count),
    required("optimize_rendezvous", Kind::Flag),
    kMuParam,
    optional_or_none("max_iters", Kind::Count),
    optional_or_none("initial_guess", Kind::Pair),
    optional_or_none("ric_waypoint", Kind::Array1D),
};

constexpr Param kNmMultiParams[] = {
    required("source_state", Kind::Array1D),
    required("target_state", Kind::Array1D),
    required("time_bounds", Kind::Pair),
    required("max_rev", Kind::Count),
    required("optimize_rendezvous", Kind::Flag),
    required("num_solvers", Kind::Count),
    required("return_best_only", Kind::Flag),
    kMuParam,
    optional_flag("remove_duplicates", true),
    optional_or_none("max_iters", Kind::Count),
    optional_or_none("ric_waypoint", Kind::Array1D),
};

constexpr Param kNmMultiArrayParams[] = {
    required("source_state", Kind::Array),         required("target_state", Kind::Array),
    required("time_bounds", Kind::Pair),           required("max_rev", Kind::Count),
    required("optimize_rendezvous", Kind::Flag),   required("num_solvers", Kind::Count),
    required("return_best_only", Kind::Flag),      kMuParam,
    optional_flag("remove_duplicates", true),      optional_or_none("max_iters", Kind::Count),
    optional_or_none("ric_waypoint", Kind::Array),
};

constexpr Param kNmSunlineParams[] = {
    required("source_state", Kind::Array1D),
    required("target_state", Kind::Array1D),
    required("time_bounds", Kind::Pair),
    required("max_rev", Kind::Count),
    required("optimize_rendezvous", Kind::Flag),
    required("num_solvers", Kind::Count),
    required("return_best_only", Kind::Flag),
    required("sun_vector_offset_km", Kind::Float),
    required("t0_ref", Kind::Float),
    kMuParam,
    optional_flag("remove_duplicates", true),
    optional_or_none("max_iters", Kind::Count),
};

}  // namespace

const FunctionDef optimize_lambert_transfer_py_def{"optimize_lambert_transfer_py", kTransferScanParams,
                                                   doc::optimize_lambert_transfer_py, optimize_lambert_transfer_py};
const FunctionDef optimize_lambert_transfer_grid_py_def{"optimize_lambert_transfer_grid_py", kTransferScanParams,
                                                        doc::optimize_lambert_transfer_grid_py,
                                                        optimize_lambert_transfer_grid_py};
const FunctionDef lambert_grid_search_def{"lambert_grid_search", kGridSearchParams, doc::lambert_grid_search,
                                          lambert_grid_search_py};
const FunctionDef optimize_lambert_nm_py_def{"optimize_lambert_nm_py", kNmParams, doc::optimize_lambert_nm_py,
                                             optimize_lambert_nm_py};
const FunctionDef optimize_lambert_nm_multi_py_def{"optimize_lambert_nm_multi_py", kNmMultiParams,
                                                   doc::optimize_lambert_nm_multi_py, optimize_lambert_nm_multi_py};
const FunctionDef optimize_lambert_nm_multi_array_def{"optimize_lambert_nm_multi_array", kNmMultiArrayParams,
                                                      doc::optimize_lambert_nm_multi_array,
                                                      optimize_lambert_nm_multi_array_py};
const FunctionDef optimize_lambert_nm_multi_sunline_py_def{"optimize_lambert_nm_multi_sunline_py", kNmSunlineParams,
                                                           doc::optimize_lambert_nm_multi_sunline_py,
                                                           optimize_lambert_nm_multi_sunline_py};

}  // namespace orbelin::py
