#pragma once
// Porkchop scans: departure states at their dates crossed with arrival states at theirs. Each cell (i, j) is the
// transfer from departure state i to arrival state j over the time between their dates, and holds the cheapest
// arc of best_lambert_arc: both directions of motion, every revolution count asked for.
//
// Units: km, s, km/s; the dates of both lists are seconds on one time scale.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "common/arc_ends.hpp"
#include "common/vec3.hpp"
#include "solver/lambert_impulses.hpp"

namespace orbelin {

// The cell from `departure` (dated t_dep) to `arrival` (dated t_arr). Nothing when the arrival is not after the
// departure (a NaN date included), or when no arc exists. Throws as the solver does (mu <= 0).
std::optional<BestArc> porkchop_cell(const State& departure, double t_dep, const State& arrival, double t_arr,
                                     const BestArcOptions& options);

// One side of a scan, with what its cells need of each state computed once: the states, their dates, the arc ends
// of their positions and (for departures) departure_normal of each state.
struct PorkchopSide {
    std::vector<State> states;
    std::vector<double> times;
    std::vector<ArcEnd> ends;
    std::vector<std::optional<Vec3>> normals;
};

// The side of these states and dates (one date per state); `departures` asks for the plane normals as well.
PorkchopSide porkchop_side(std::vector<State> states, std::vector<double> times, bool departures);

// porkchop_cell for the cells c = begin, ..., end - 1 of the scan of every departure against every arrival, cell
// c = i m + j (m arrivals) departing state i and arriving at state j: sink(c, const std::optional<BestArc>&), in
// order, bit for bit the cells one at a time. The arcs of consecutive cells are solved together.
template <class Sink>
void porkchop_cells(std::size_t begin, std::size_t end, const PorkchopSide& departures, const PorkchopSide& arrivals,
                    const BestArcOptions& options, Sink&& sink) {
    const std::size_t m = arrivals.times.size();
    const auto tof_of = [&](std::size_t c) { return arrivals.times[c % m] - departures.times[c / m]; };
    best_lambert_arcs_run(
        begin, end,
        [&](std::size_t c) {
            const std::size_t i = c / m;
            const std::size_t j = c % m;
            return ImpulseCase{arc_ends(departures.ends[i], arrivals.ends[j]), velocity(departures.states[i]),
                               velocity(arrivals.states[j]), departures.normals[i], tof_of(c)};
        },
        options,
        [&](std::size_t c, const std::optional<BestArc>& best) {
            // Only an arrival after the departure is a transfer (a NaN date is neither), as for porkchop_cell.
            if (tof_of(c) > 0.0) {
                sink(c, best);
            } else {
                sink(c, std::optional<BestArc>{});
            }
        });
}

// The index of the cheapest of `costs` (cells in row-major order): the first of the smallest, NaN never chosen;
// no_cell when every cost is NaN or there are none.
inline constexpr std::size_t no_cell = static_cast<std::size_t>(-1);
std::size_t cheapest_cell(std::span<const double> costs) noexcept;

}  // namespace orbelin
