#pragma once
// Evaluation of one candidate two-impulse transfer between a chaser (the source) and a target, both given as
// inertial states (km, km/s) at a common epoch. A candidate departs at t0 and arrives at tf (seconds after that
// epoch): the source is propagated by t0, the target by tf, the arrival point is optionally moved (a RIC waypoint
// of the target, or a point on the target-Sun line), and Lambert's problem is solved both ways round; the
// cheapest arc is the transfer.
//
// Every propagation uses the same gravitational parameter as the solver, so the two end states lie on the
// orbits that the transfer is computed about.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/constants.hpp"
#include "common/vec3.hpp"
#include "solver/lambert_impulses.hpp"

namespace orbelin {

// Two times in seconds after the epoch of the two states: a window (lo, hi) or a departure and an arrival (t0, tf).
using TimePair = std::pair<double, double>;

// One evaluated two-impulse transfer.
struct OptimizedLambertSolution {
    double t0 = 0.0;    // departure, s after the epoch
    double tf = 0.0;    // arrival, s after the epoch
    double cost = 0.0;  // km/s: |dv1| + |dv2| with rendezvous, |dv1| otherwise
    Vec3 dv1;           // departure impulse, km/s: transfer v1 minus the source velocity at t0
    Vec3 dv2;           // arrival impulse, km/s: target velocity at tf (after any shift) minus transfer v2; NaN without
                        // rendezvous
};

// The least distance from the centre along the conic of `state` (its periapsis radius; 0 for a radial orbit, NaN
// for NaN input). Every propagated state of a transfer stays at least this far out.
double periapsis_radius(const State& state, double mu) noexcept;

// The most revolutions floor(T / pi) that any Lambert problem of a transfer can admit when neither end comes
// closer to the centre than `radius` km and the time of flight is at most `window` s: the semi-perimeter s of the
// triangle is at least the larger radius, so T = sqrt(2 mu / s^3) tof stays below its value at s = radius.
// Saturates at the largest count, which a radius of 0 or less (or NaN) also gives; 0 for a NaN window.
std::uint64_t transfer_revolution_bound(double radius, double window, double mu) noexcept;

// A record whose every field is NaN: the answer of a search that found nothing.
OptimizedLambertSolution nan_solution() noexcept;

// The arrival point on the target-Sun line: `offset_km` from the target (positive towards the Sun), the Sun taken at
// the arrival time; `t0_ref` is the POSIX time (s) of the epoch of the two states.
struct SunLine {
    double offset_km;
    double t0_ref;
};

// Where the transfer arrives relative to the target.
class ArrivalAim {
public:
    // At the target itself.
    static ArrivalAim target() noexcept { return ArrivalAim{}; }
    // At a RIC offset of the target: [dr_R, dr_I, dr_C] (km) or [dr_R, dr_I, dr_C, dv_R, dv_I, dv_C] (km, km/s).
    // The values are copied; only the first six are read.
    static ArrivalAim waypoint(std::span<const double> ric_offset) noexcept;
    // On the target-Sun line; the velocity stays the target's.
    static ArrivalAim sun_line(SunLine line) noexcept;

    // The arrival state aimed at, given the target's state at tf. Nothing when the target sits at the Sun's
    // position (|S - r2| <= 1e-12 km), where the Sun line has no direction.
    std::optional<State> apply(const State& target_at_tf, double tf) const noexcept;

    // The most the aim moves the arrival point away from the target, km: 0 for the target itself, the length of a
    // waypoint's position offset, the size of a sun-line offset.
    double reach() const noexcept;

private:
    enum class Kind : std::uint8_t { target, waypoint, sun_line };
    Kind kind_ = Kind::target;
    std::array<double, 6> offset_{};
    std::size_t offset_size_ = 0;
    SunLine sun_line_{0.0, 0.0};
};

// The problem a transfer is evaluated for: the two states at the epoch, the arcs tried (solver settings, cost
// with or without the arrival burn, directions of motion) and the arrival aim. Every propagation of the problem
// uses the solver's mu.
struct TransferProblem {
    State source;
    State target;
    BestArcOptions arcs;
    ArrivalAim aim = ArrivalAim::target();
};

// The problem aimed elsewhere.
inline TransferProblem with_aim(TransferProblem problem, const ArrivalAim& aim) noexcept {
    problem.aim = aim;
    return problem;
}

// The cheapest transfer from the source's state at t0 (`depart`, already propagated) to the target whose state at
// tf is `target_at_tf`, before the arrival shift.
std::optional<OptimizedLambertSolution> transfer_between(const TransferProblem& problem, const State& depart,
                                                         const State& target_at_tf, double t0, double tf);

// The record of a transfer departing at t0 and arriving at tf by the arc of impulses `best`: the cost ranked by the
// rendezvous rule and, without rendezvous, no arrival impulse.
inline OptimizedLambertSolution transfer_record(const Impulses& best, double t0, double tf, bool rendezvous) noexcept {
    return {t0, tf, impulse_cost(best, rendezvous), best.dv1, rendezvous ? best.dv2 : nan_vec};
}

// The cheapest transfer departing at t0 and arriving at tf, or nothing when no arc of the directions tried has a
// finite departure velocity (or the aim point is undefined). Throws InternalFault as the solver does (mu <= 0).
std::optional<OptimizedLambertSolution> compute_impulses(const TransferProblem& problem, double t0, double tf);

// The same towards the point `line` on the target-Sun line, whatever the problem's own aim.
std::optional<OptimizedLambertSolution> compute_impulses_sunline(const TransferProblem& problem, SunLine line,
                                                                 double t0, double tf);

}  // namespace orbelin
