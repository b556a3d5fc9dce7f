#include "optimization/porkchop.hpp"

#include <cmath>
#include <utility>

namespace orbelin {

std::optional<BestArc> porkchop_cell(const State& departure, double t_dep, const State& arrival, double t_arr,
                                     const BestArcOptions& options) {
    const double tof = t_arr - t_dep;
    // The solver answers tof <= 0 with NaN arcs too; saying so here keeps a cell's emptiness independent of it.
    if (!(tof > 0.0)) return std::nullopt;
    return best_lambert_arc(position(departure), velocity(departure), position(arrival), velocity(arrival), tof,
                            options);
}

PorkchopSide porkchop_side(std::vector<State> states, std::vector<double> times, bool departures) {
    PorkchopSide side{std::move(states), std::move(times), {}, {}};
    const std::size_t n = side.states.size();
    side.ends.resize(n);
    side.normals.resize(departures ? n : 0);
    for (std::size_t i = 0; i < n; ++i) {
        side.ends[i] = arc_end(position(side.states[i]));
        if (departures) side.normals[i] = departure_normal(position(side.states[i]), velocity(side.states[i]));
    }
    return side;
}

std::size_t cheapest_cell(std::span<const double> costs) noexcept {
    std::size_t best = no_cell;
    for (std::size_t c = 0; c < costs.size(); ++c) {
        // A NaN compares false either way, so it neither wins nor displaces the best.
        if (best == no_cell ? !std::isnan(costs[c]) : costs[c] < costs[best]) best = c;
    }
    return best;
}

}  // namespace orbelin
