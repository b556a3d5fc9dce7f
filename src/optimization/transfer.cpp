#include "optimization/transfer.hpp"

#include <cmath>
#include <limits>

#include "celestial/sun_state.hpp"
#include "conversions/ric_waypoint.hpp"
#include "propagation/kepler_universal_2body.hpp"
#include "solver/lambert_impulses.hpp"

namespace orbelin {

namespace {

constexpr Vec3 nan_vec{nan, nan, nan};

// Julian date of POSIX time 0 (1970-01-01 00:00 UTC).
constexpr double jd_posix_epoch = 2440587.5;

}  // namespace

OptimizedLambertSolution nan_solution() noexcept { return {nan, nan, nan, nan_vec, nan_vec}; }

ArrivalAim ArrivalAim::waypoint(std::span<const double> ric_offset) noexcept {
    ArrivalAim aim;
    aim.kind_ = Kind::waypoint;
    aim.offset_size_ = ric_offset.size() < aim.offset_.size() ? ric_offset.size() : aim.offset_.size();
    for (std::size_t k = 0; k < aim.offset_size_; ++k) aim.offset_[k] = ric_offset[k];
    return aim;
}

ArrivalAim ArrivalAim::sun_line(double offset_km, double t0_ref) noexcept {
    ArrivalAim aim;
    aim.kind_ = Kind::sun_line;
    aim.sun_offset_km_ = offset_km;
    aim.t0_ref_ = t0_ref;
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
            const Vec3 d = sun_position((t0_ref_ + tf) / 86400.0 + jd_posix_epoch) - r2;
            const double d_norm = norm(d);
            // Written so that a NaN distance fails too.
            if (!(d_norm > 1e-12)) return std::nullopt;
            return make_state(r2 + sun_offset_km_ * (d / d_norm), velocity(target_at_tf));
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

std::optional<OptimizedLambertSolution> evaluate_transfer(const TransferProblem& p, double t0, double tf) {
    return transfer_between(p, kepler_universal_2body(p.source, t0, p.mu), kepler_universal_2body(p.target, tf, p.mu),
                            t0, tf);
}

std::optional<OptimizedLambertSolution> transfer_between(const TransferProblem& p, const State& depart,
                                                         const State& target_at_tf, double t0, double tf) {
    const std::optional<State> arrive = p.aim.apply(target_at_tf, tf);
    if (!arrive) return std::nullopt;

    const BestArcOptions options{p.mu, p.max_rev, p.tol, p.maxiter, false, p.rendezvous};
    const std::optional<Impulses> best = best_lambert_impulses(position(depart), velocity(depart), position(*arrive),
                                                               velocity(*arrive), tf - t0, options);
    if (!best) return std::nullopt;
    return transfer_record(*best, t0, tf, p.rendezvous);
}

OptimizedLambertSolution transfer_record(const Impulses& best, double t0, double tf, bool rendezvous) noexcept {
    return {t0, tf, impulse_cost(best, rendezvous), best.dv1, rendezvous ? best.dv2 : nan_vec};
}

std::optional<OptimizedLambertSolution> compute_impulses(const State& source_state, const State& target_state,
                                                         std::uint64_t max_rev, bool optimize_rendezvous,
                                                         std::span<const double> ric_waypoint, double t0, double tf,
                                                         double mu) {
    TransferProblem p{source_state, target_state, mu, max_rev, optimize_rendezvous};
    if (!ric_waypoint.empty()) p.aim = ArrivalAim::waypoint(ric_waypoint);
    return evaluate_transfer(p, t0, tf);
}

std::optional<OptimizedLambertSolution> compute_impulses_sunline(const State& source_state, const State& target_state,
                                                                 std::uint64_t max_rev, bool optimize_rendezvous,
                                                                 double sun_vector_offset_km, double t0_ref, double t0,
                                                                 double tf, double mu) {
    TransferProblem p{source_state, target_state, mu, max_rev, optimize_rendezvous,
                      ArrivalAim::sun_line(sun_vector_offset_km, t0_ref)};
    return evaluate_transfer(p, t0, tf);
}

}  // namespace orbelin
