#pragma once
// Scalar costs of a decision vector [t0, tf] for the Nelder-Mead searches: the cost of the transfer that
// compute_impulses reports for those times, so that the cost a search minimises is the cost it returns, and the
// penalty value (the largest finite double) for a vector outside the time window or without a feasible transfer.
// The penalty is finite so that the simplex arithmetic stays defined; a simplex touching it never counts as
// converged (its spread overflows to infinity).

#include <span>

#include "optimization/transfer.hpp"

namespace orbelin {

namespace detail {

// The window test of both costs: t0 < tf with both inside [lo, hi]. NaN times pass it (every comparison with NaN
// is false); their propagated states are NaN and the transfer then has no candidate.
bool outside_window(double t0, double tf, const TimePair& time_bounds) noexcept;

}  // namespace detail

// The cost of a search: arrival at the problem's aim (the target, a RIC waypoint of it, a sun-line point).
class LambertCost {
public:
    LambertCost(const TransferProblem& problem, TimePair time_bounds) : problem_(problem), time_bounds_(time_bounds) {}

    // Decision vector [t0, tf]; any other length costs the penalty value.
    double cost(std::span<const double> p) const;
    double operator()(std::span<const double> p) const { return cost(p); }

    const TransferProblem& problem() const noexcept { return problem_; }
    const TimePair& time_bounds() const noexcept { return time_bounds_; }

private:
    TransferProblem problem_;
    TimePair time_bounds_;
};

// The cost of the sun-line search: arrival on the target-Sun line, whatever the problem's own aim.
class LambertCostSunline : public LambertCost {
public:
    LambertCostSunline(const TransferProblem& problem, TimePair time_bounds, SunLine line);
};

}  // namespace orbelin
