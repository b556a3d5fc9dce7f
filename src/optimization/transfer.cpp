#include "optimization/transfer.hpp"

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

std::optional<State> ArrivalAim::apply(const State& target_at_tf, double tf) const noexcept {
    switch (kind_) {
        case Kind::target:
            return target_at_tf;
        case Kind::waypoint:
            return apply_ric_waypoint_offset_single(target_at_tf, std::span<const double>(offset_.data(), offset_size_));
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
    const bool rendezvous = p.arcs.rendezvous;
    return OptimizedLambertSolution{t0, tf, impulse_cost(*best, rendezvous), best->dv1, rendezvous ? best->dv2 : nan_vec};
}

std::optional<OptimizedLambertSolution> compute_impulses_sunline(const TransferProblem& problem, SunLine line, double t0,
                                                                 double tf) {
    return compute_impulses(with_aim(problem, ArrivalAim::sun_line(line)), t0, tf);
}

}  // namespace orbelin
