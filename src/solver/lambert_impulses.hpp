#pragma once
// Impulse budgets of Lambert arcs between two spacecraft states, and the rule that picks the cheapest arc of a
// problem. Every delta-v routine of the module (the batch delta-v solves, the transfer costs of the optimisers,
// the grid scans) goes through these, so that the cost a search minimises is the cost it reports.
//
// Units: km, s, km/s; mu in km^3/s^2.

#include <cstdint>
#include <optional>

#include "common/vec3.hpp"
#include "solver/lambert_solution.hpp"

namespace orbelin {

// Impulses of one arc leaving a spacecraft with velocity u1 and joining one with velocity u2:
// dv1 = v1 - u1 at departure, dv2 = u2 - v2 at arrival.
struct Impulses {
    double dv1_mag;
    double dv2_mag;
    double total;  // dv1_mag + dv2_mag
    Vec3 dv1;
    Vec3 dv2;
};

Impulses lambert_impulses(const LambertSolution& arc, const Vec3& u1, const Vec3& u2) noexcept;

// The plane normal handed to the solver for a departure state (r1, u1) and an arrival position r2: the unit
// angular momentum of the departure state, but only when that momentum is not zero and r1, r2 are collinear by
// the solver's own test (|r1_hat x r2_hat| < 1e-12). In that band the solver cannot take the transfer plane
// from the positions and would otherwise fall back to an arbitrary one; outside it the positions define the
// plane and no normal is passed.
std::optional<Vec3> collinear_reference_normal(const Vec3& r1, const Vec3& u1, const Vec3& r2) noexcept;

// Which directions of motion a best-arc search solves: both (prograde first) or only one.
enum class Directions { both, prograde, retrograde };

// Solver settings of a best-arc search.
struct BestArcOptions {
    double mu;
    std::uint64_t max_rev;
    double tol;
    std::uint64_t maxiter;
    bool reentry_check;
    bool rendezvous;  // cost = |dv1| + |dv2| when set, |dv1| otherwise
    Directions directions = Directions::both;
};

// The cheapest arc between (r1, u1) and (r2, u2) over time of flight tof. Candidates are the arcs whose v1 has no
// NaN component, scanned in the solver's order, prograde before retrograde; a candidate replaces the best only
// when its cost is strictly smaller, starting from the penalty value, so ties keep the earlier arc and a NaN cost
// never wins. No candidate: nothing. The reference normal follows collinear_reference_normal.
// Throws InternalFault as the solver does (mu <= 0).
std::optional<Impulses> best_lambert_impulses(const Vec3& r1, const Vec3& u1, const Vec3& r2, const Vec3& u2,
                                              double tof, const BestArcOptions& options);

// The cost the selection above ranks a candidate by.
inline double impulse_cost(const Impulses& i, bool rendezvous) noexcept { return rendezvous ? i.total : i.dv1_mag; }

}  // namespace orbelin
