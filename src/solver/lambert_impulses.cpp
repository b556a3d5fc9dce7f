#include "solver/lambert_impulses.hpp"

#include "common/constants.hpp"

namespace orbelin {

Impulses lambert_impulses(const LambertSolution& arc, const Vec3& u1, const Vec3& u2) noexcept {
    const Vec3 dv1 = arc.v1 - u1;
    const Vec3 dv2 = u2 - arc.v2;
    const double m1 = norm(dv1);
    const double m2 = norm(dv2);
    return {m1, m2, m1 + m2, dv1, dv2};
}

std::optional<Vec3> collinear_reference_normal(const Vec3& r1, const Vec3& u1, const Vec3& r2) noexcept {
    const Vec3 h = cross(r1, u1);
    const double h_norm = norm(h);
    if (!(h_norm > 1e-15)) return std::nullopt;
    // The solver's plane test. A zero or NaN position gives NaN here and no normal: the solver answers such a
    // problem with NaN anyway.
    const double sin_angle = norm(cross(r1 / norm(r1), r2 / norm(r2)));
    if (sin_angle < collinear_sin_angle) return h / h_norm;
    return std::nullopt;
}

std::optional<BestArc> best_lambert_arc(const Vec3& r1, const Vec3& u1, const Vec3& r2, const Vec3& u2, double tof,
                                        const BestArcOptions& o) {
    const std::optional<Vec3> normal = collinear_reference_normal(r1, u1, r2);
    BestArc best{};
    double best_cost = penalty_value;
    auto consider = [&](const LambertSolution& arc) {
        if (has_nan(arc.v1)) return;
        const Impulses candidate = lambert_impulses(arc, u1, u2);
        const double cost = impulse_cost(candidate, o.rendezvous);
        if (cost < best_cost) {
            best = {candidate, arc.num_revs, arc.path_flag, arc.retrograde};
            best_cost = cost;
        }
    };
    for (const bool retrograde : {false, true}) {
        if (o.directions == (retrograde ? Directions::prograde : Directions::retrograde)) continue;
        LambertSettings direction = o.solver;
        direction.retrograde = retrograde;
        lambert_izzo_visit(r1, r2, tof, direction, normal, consider);
    }
    if (best_cost == penalty_value) return std::nullopt;
    return best;
}

std::optional<Impulses> best_lambert_impulses(const Vec3& r1, const Vec3& u1, const Vec3& r2, const Vec3& u2,
                                              double tof, const BestArcOptions& o) {
    const std::optional<BestArc> best = best_lambert_arc(r1, u1, r2, u2, tof, o);
    if (!best) return std::nullopt;
    return best->impulses;
}

}  // namespace orbelin
