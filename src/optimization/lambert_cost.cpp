#include "optimization/lambert_cost.hpp"

namespace orbelin {

namespace detail {

bool outside_window(double t0, double tf, const TimePair& time_bounds) noexcept {
    const auto [lo, hi] = time_bounds;
    return t0 >= tf || tf > hi || lo > tf || lo > t0 || t0 > hi;
}

}  // namespace detail

double LambertCost::cost(std::span<const double> p) const {
    if (p.size() != 2) return penalty_value;
    const double t0 = p[0];
    const double tf = p[1];
    if (detail::outside_window(t0, tf, time_bounds_)) return penalty_value;
    const auto transfer = compute_impulses(problem_, t0, tf);
    return transfer ? transfer->cost : penalty_value;
}

LambertCostSunline::LambertCostSunline(const TransferProblem& problem, TimePair time_bounds, SunLine line)
    : LambertCost(with_aim(problem, ArrivalAim::sun_line(line)), time_bounds) {}

}  // namespace orbelin
