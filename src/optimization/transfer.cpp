#include "optimization/transfer.hpp"

#include <cmath>
#include <limits>

#include "celestial/sun_state.hpp"
#include "conversions/ric_waypoint.hpp"
#include "propagation/kepler_universal_2body.hpp"

namespace orbelin {

OptimizedLambertSolution nan_solution() noexcept { return {nan, nan, nan, nan_vec, nan_vec}; }

ArrivalAim ArrivalAim::waypoint(std::span<const double> ric_offset) noexcept {
    ArrivalAim aim;
    aim.kind_ = Kind::waypoint;
    aim.offset_size_ = ric_offset.size() < aim.offset_.size() ? ric_offset.size() : aim.offset_.size();
    for (std::size_t k = 0; k < aim.offset_size_; ++k) aim.offset_[k] = ric_offset[k];
    return aim;
}

ArrivalAim ArrivalAim::sun_line(SunLine line) noexcept {
    ArrivalAim aim;
    aim.kind_ = Kind::sun_line;
    aim.sun_line_ = line;
    return aim;
}

double ArrivalAim::reach() const noexcept {
    switch (kind_) {
        case Kind::target:
            return 0.0;
        case Kind::waypoint:
            return offset_size_ < 3 ? 0.0 : norm(Vec3{offset_[0], offset_[1], offset_[2]});
        case Kind::sun_line:
            return std::fabs(sun_line_.offset_km);
    }
    return 0.0;
}

std::optional<State> ArrivalAim::apply(const State& target_at_tf, double tf) const noexcept {
    switch (kind_) {
        case Kind::target:
            return target_at_tf;
        case Kind::waypoint:
            return apply_ric_waypoint_offset_single(target_at_tf,
                                                    std::span<const double>(offset_.data(), offset_size_));
        case Kind::sun_line: {
            const Vec3 r2 = position(target_at_tf);
            const Vec3 d = sun_position(posix_to_jd(sun_line_.t0_ref + tf)) - r2;
            const double d_norm = norm(d);
            // Written so that a NaN distance fails too.
            if (!(d_norm > 1e-12)) return std::nullopt;
            return make_state(r2 + sun_line_.offset_km * (d / d_norm), velocity(target_at_tf));
        }
    }
    return std::nullopt;
}

double periapsis_radius(const State& state, double mu) noexcept {
    const Vec3 r = position(state);
    const Vec3 v = velocity(state);
    const Vec3 h = cross(r, v);
    const Vec3 e_vec = cross(v, h) / mu - r / norm(r);
    return dot(h, h) / mu / (1.0 + norm(e_vec));
}

std::uint64_t transfer_revolution_bound(double radius, double window, double mu) noexcept {
    // Ends that may reach the centre (or a NaN radius) leave the count unbounded.
    if (!(radius > 0.0)) return std::numeric_limits<std::uint64_t>::max();
    // A margin of 1e-9 over the solver's own rounding of the same quantities.
    const double revs = std::sqrt(2.0 * mu / (radius * radius * radius)) * window / pi * (1.0 + 1e-9);
    if (!(revs >= 1.0)) return 0;
    if (revs >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(revs);
}

std::optional<OptimizedLambertSolution> compute_impulses(const TransferProblem& p, double t0, double tf) {
    const double mu = p.arcs.solver.mu;
    return transfer_between(p, kepler_universal_2body(p.source, t0, mu), kepler_universal_2body(p.target, tf, mu), t0,
                            tf);
}

std::optional<OptimizedLambertSolution> transfer_between(const TransferProblem& p, const State& depart,
                                                         const State& target_at_tf, double t0, double tf) {
    const std::optional<State> arrive = p.aim.apply(target_at_tf, tf);
    if (!arrive) return std::nullopt;

    const std::optional<Impulses> best = best_lambert_impulses(position(depart), velocity(depart), position(*arrive),
                                                               velocity(*arrive), tf - t0, p.arcs);
    if (!best) return std::nullopt;
    return transfer_record(*best, t0, tf, p.arcs.rendezvous);
}

std::optional<OptimizedLambertSolution> compute_impulses_sunline(const TransferProblem& problem, SunLine line,
                                                                 double t0, double tf) {
    return compute_impulses(with_aim(problem, ArrivalAim::sun_line(line)), t0, tf);
}

}  // namespace orbelin
