#pragma once
// Porkchop scans: departure states at their dates crossed with arrival states at theirs. Each cell (i, j) is the
// transfer from departure state i to arrival state j over the time between their dates, and holds the cheapest
// arc of best_lambert_arc: both directions of motion, every revolution count asked for.
//
// Units: km, s, km/s; the dates of both lists are seconds on one time scale.

#include <cstddef>
#include <optional>
#include <span>

#include "common/vec3.hpp"
#include "solver/lambert_impulses.hpp"

namespace orbelin {

// The cell from `departure` (dated t_dep) to `arrival` (dated t_arr). Nothing when the arrival is not after the
// departure (a NaN date included), or when no arc exists. Throws as the solver does (mu <= 0).
std::optional<BestArc> porkchop_cell(const State& departure, double t_dep, const State& arrival, double t_arr,
                                     const BestArcOptions& options);

// The index of the cheapest of `costs` (cells in row-major order): the first of the smallest, NaN never chosen;
// no_cell when every cost is NaN or there are none.
inline constexpr std::size_t no_cell = static_cast<std::size_t>(-1);
std::size_t cheapest_cell(std::span<const double> costs) noexcept;

}  // namespace orbelin
