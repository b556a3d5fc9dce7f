#include "optimization/lambert_cost.hpp"

namespace orbelin {

namespace detail {

bool outside_window(double t0, double tf, const std::pair<double, double>& time_bounds) noexcept {
    const auto [lo, hi] = time_bounds;
    return t0 >= tf || tf > hi || lo > tf || lo > t0 || t0 > hi;
}

double WindowedTransferCost::cost(std::span<const double> p) const {
    if (p.size() != 2) return penalty_value;
    const double t0 = p[0];
    const double tf = p[1];
    if (outside_window(t0, tf, time_bounds_)) return penalty_value;
    const auto transfer = evaluate_transfer(problem_, t0, tf);
    return transfer ? transfer->cost : penalty_value;
}

}  // namespace detail

namespace {

TransferProblem problem_for(const State& source, const State& target, double mu, std::uint64_t max_rev,
                            bool rendezvous, ArrivalAim aim) {
    return TransferProblem{source, target, mu, max_rev, rendezvous, aim};
}

}  // namespace

LambertCost::LambertCost(std::span<const double> ric_waypoint, const State& source_state, const State& target_state,
                         std::pair<double, double> time_bounds, double mu, std::uint64_t max_rev,
                         bool optimize_rendezvous)
    : WindowedTransferCost(problem_for(source_state, target_state, mu, max_rev, optimize_rendezvous,
                                       ric_waypoint.empty() ? ArrivalAim::target() : ArrivalAim::waypoint(ric_waypoint)),
                           time_bounds) {}

LambertCostSunline::LambertCostSunline(const State& source_state, const State& target_state,
                                       std::pair<double, double> time_bounds, double mu, std::uint64_t max_rev,
                                       double sun_vector_offset_km, double t0_ref, bool optimize_rendezvous)
    : WindowedTransferCost(problem_for(source_state, target_state, mu, max_rev, optimize_rendezvous,
                                       ArrivalAim::sun_line(sun_vector_offset_km, t0_ref)),
                           time_bounds) {}

}  // namespace orbelin
