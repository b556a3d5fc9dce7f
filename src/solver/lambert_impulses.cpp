#include "solver/lambert_impulses.hpp"

#include "common/constants.hpp"

namespace orbelin {

std::optional<Vec3> collinear_reference_normal(const Vec3& r1, const Vec3& u1, const Vec3& r2) noexcept {
    const std::optional<Vec3> normal = departure_normal(r1, u1);
    if (!normal) return std::nullopt;
    // The same arithmetic as the solver's plane test, so that both agree on every pair of positions. A zero or
    // NaN position gives NaN here and no normal: the solver answers such a problem with NaN anyway.
    const double sin_angle = norm(cross(r1 / norm(r1), r2 / norm(r2)));
    if (sin_angle < collinear_sin_angle) return normal;
    return std::nullopt;
}

std::optional<BestArc> best_lambert_arc(const ArcEnds& ends, const Vec3& u1, const Vec3& u2,
                                        const std::optional<Vec3>& normal, double tof, const BestArcOptions& o) {
    // Both directions share the geometry of the problem; only lambda, the tangential directions and the
    // revolutions differ, so the geometry is computed once.
    const bool both = o.directions == Directions::both;
    detail::IzzoProblem p;
    detail::IzzoProblem retro;
    LambertSettings first = o.solver;
    first.retrograde = o.directions == Directions::retrograde;
    if (!detail::izzo_prepare(ends, tof, first, normal ? &*normal : nullptr, /*normal_if_collinear=*/true, p,
                              both ? &retro : nullptr)) {
        return std::nullopt;  // a non-positive time of flight: one NaN arc per direction, never a candidate
    }
    BestArcRule best(o.rendezvous);
    auto consider = [&](const LambertSolution& arc) { best.consider(arc, u1, u2); };
    detail::izzo_emit(p, ends.r1, tof, first, consider);
    // The retrograde arcs are solved only when they could still win: between spacecraft moving the same way round,
    // half the work of a search.
    if (both && !other_direction_loses(best.cost(), p.it1, p.it2, u1, u2, o.rendezvous)) {
        LambertSettings reversed = o.solver;
        reversed.retrograde = true;
        detail::izzo_emit(retro, ends.r1, tof, reversed, consider);
    }
    return best.arc();
}

std::optional<BestArc> best_lambert_arc(const Vec3& r1, const Vec3& u1, const Vec3& r2, const Vec3& u2, double tof,
                                        const BestArcOptions& o) {
    return best_lambert_arc(arc_ends(r1, r2), u1, u2, departure_normal(r1, u1), tof, o);
}

std::optional<Impulses> best_lambert_impulses(const ArcEnds& ends, const Vec3& u1, const Vec3& u2,
                                              const std::optional<Vec3>& normal, double tof, const BestArcOptions& o) {
    const std::optional<BestArc> best = best_lambert_arc(ends, u1, u2, normal, tof, o);
    if (!best) return std::nullopt;
    return best->impulses;
}

std::optional<Impulses> best_lambert_impulses(const Vec3& r1, const Vec3& u1, const Vec3& r2, const Vec3& u2,
                                              double tof, const BestArcOptions& o) {
    return best_lambert_impulses(arc_ends(r1, r2), u1, u2, departure_normal(r1, u1), tof, o);
}

}  // namespace orbelin
