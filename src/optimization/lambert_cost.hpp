#pragma once
// Scalar costs of a decision vector [t0, tf] for the Nelder-Mead searches: the cost of the transfer that
// evaluate_transfer reports for those times, so that the cost a search minimises is the cost it returns, and the
// penalty value (the largest finite double) for a vector outside the time window or without a feasible transfer.
// The penalty is finite so that the simplex arithmetic stays defined; a simplex touching it never counts as
// converged (its spread overflows to infinity).

#include <cstdint>
#include <span>
#include <utility>

#include "optimization/transfer.hpp"

namespace orbelin {

namespace detail {

// The window test of both costs: t0 < tf with both inside [lo, hi]. NaN times pass it (every comparison with NaN
// is false); their propagated states are NaN and the transfer then has no candidate.
bool outside_window(double t0, double tf, const std::pair<double, double>& time_bounds) noexcept;

class WindowedTransferCost {
public:
    WindowedTransferCost(const TransferProblem& problem, std::pair<double, double> time_bounds)
        : problem_(problem), time_bounds_(time_bounds) {}

    // Decision vector [t0, tf]; any other length costs the penalty value.
    double cost(std::span<const double> p) const;
    double operator()(std::span<const double> p) const { return cost(p); }

    const TransferProblem& problem() const noexcept { return problem_; }
    const std::pair<double, double>& time_bounds() const noexcept { return time_bounds_; }

private:
    TransferProblem problem_;
    std::pair<double, double> time_bounds_;
};

}  // namespace detail

// The cost of the ordinary search: arrival at the target or at a RIC waypoint of it (copied).
class LambertCost : public detail::WindowedTransferCost {
public:
    LambertCost(std::span<const double> ric_waypoint, const State& source_state, const State& target_state,
                std::pair<double, double> time_bounds, double mu, std::uint64_t max_rev, bool optimize_rendezvous);
};

// The cost of the sun-line search: arrival sun_vector_offset_km from the target towards the Sun.
class LambertCostSunline : public detail::WindowedTransferCost {
public:
    LambertCostSunline(const State& source_state, const State& target_state, std::pair<double, double> time_bounds,
                       double mu, std::uint64_t max_rev, double sun_vector_offset_km, double t0_ref,
                       bool optimize_rendezvous);
};

}  // namespace orbelin
