#pragma once
// What the module reports about Lambert arcs, in one place: the impulse budgets of arcs between two spacecraft
// states, the rule that picks the cheapest arc of a problem, and every arc paired with its transfer elements.
// Every delta-v routine of the module (the batch delta-v solves, the transfer costs of the optimisers, the grid
// scans) goes through these, so that the cost a search minimises is the cost it reports; the Python boundary only
// binds, converts and loops over them.
//
// Units: km, s, km/s; mu in km^3/s^2.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/constants.hpp"
#include "common/staged_loop.hpp"
#include "common/vec3.hpp"
#include "orbit/transfer_elements.hpp"
#include "solver/lambert_izzo.hpp"
#include "solver/lambert_settings.hpp"
#include "solver/lambert_solution.hpp"

namespace orbelin {

// Impulses of one arc leaving a spacecraft with velocity u1 and joining one with velocity u2:
// dv1 = v1 - u1 at departure, dv2 = u2 - v2 at arrival.
struct Impulses {
    double dv1_mag = 0.0;
    double dv2_mag = 0.0;
    double total = 0.0;  // dv1_mag + dv2_mag
    Vec3 dv1;
    Vec3 dv2;
};

// The impulses of an arc that was not found.
inline constexpr Impulses nan_impulses{nan, nan, nan, nan_vec, nan_vec};

Impulses lambert_impulses(const LambertSolution& arc, const Vec3& u1, const Vec3& u2) noexcept;

// The plane normal handed to the solver for a departure state (r1, u1) and an arrival position r2: the unit
// angular momentum of the departure state, but only when that momentum is not zero and r1, r2 are collinear by
// the solver's own test (|r1_hat x r2_hat| < collinear_sin_angle). In that band the solver cannot take the transfer plane
// from the positions and would otherwise fall back to an arbitrary one; outside it the positions define the
// plane and no normal is passed.
std::optional<Vec3> collinear_reference_normal(const Vec3& r1, const Vec3& u1, const Vec3& r2) noexcept;

// Which directions of motion a best-arc search solves: both (prograde first) or only one.
enum class Directions : std::uint8_t { both, prograde, retrograde };

// A best-arc search: the solver's settings (their direction of motion is set by each direction tried), the cost
// and the directions.
struct BestArcOptions {
    LambertSettings solver;
    bool rendezvous = false;  // cost = |dv1| + |dv2| when set, |dv1| otherwise
    Directions directions = Directions::both;
};

// The cheapest arc between (r1, u1) and (r2, u2) over time of flight tof. Candidates are the arcs whose v1 has no
// NaN component, scanned in the solver's order, prograde before retrograde; a candidate replaces the best only
// when its cost is strictly smaller, starting from the penalty value, so ties keep the earlier arc and a NaN cost
// never wins. No candidate: nothing. The reference normal follows collinear_reference_normal.
// Throws InternalFault as the solver does (mu <= 0).
std::optional<Impulses> best_lambert_impulses(const Vec3& r1, const Vec3& u1, const Vec3& r2, const Vec3& u2,
                                              double tof, const BestArcOptions& options);

// The cheapest arc as best_lambert_impulses picks it, with the arc that gives it: its revolutions, branch and
// direction of motion.
struct BestArc {
    Impulses impulses;
    std::uint64_t num_revs = 0;
    std::uint64_t path_flag = 0;
    bool retrograde = false;
};

// best_lambert_impulses, also telling which arc won.
std::optional<BestArc> best_lambert_arc(const Vec3& r1, const Vec3& u1, const Vec3& r2, const Vec3& u2, double tof,
                                        const BestArcOptions& options);

// The cost the selection above ranks a candidate by.
inline double impulse_cost(const Impulses& i, bool rendezvous) noexcept { return rendezvous ? i.total : i.dv1_mag; }

// One Lambert problem of a batch: the two positions and the time of flight.
struct LambertCase {
    Vec3 r1;
    Vec3 r2;
    double tof = 0.0;
};

// Arcs held back for annotation; see visit_annotated_cases.
inline constexpr std::size_t annotation_run = 32;

// Every arc of the problems case_of(begin), ..., case_of(end - 1), in case order and within a case in the
// solver's order, with its transfer elements about mu: sink(c, const LambertSolution&, const TransferElements&).
// Records with NaN velocities are annotated too. The elements reuse the solver's |r1|, |r2| and unit radial
// directions, bit for bit what compute_transfer_orbit_elements computes from scratch. No reference normal. Throws
// as the solver does.
//
// The arcs are solved first and annotated in runs of up to annotation_run: a solve is a chain of dependent
// divisions and transcendental calls that leaves most of the core idle, the elements are independent arithmetic
// that keeps it busy, and arc by arc the two get in each other's way (about 18 ns per arc on the 2-core x86-64
// machine of the benchmarks, against 95 ns for the elements alone). The sink still sees every record of a case in
// order, and the cases in order.
template <class CaseOf, class F>
void visit_annotated_cases(std::size_t begin, std::size_t end, CaseOf&& case_of, const LambertSettings& o, F&& sink) {
    struct Held {
        std::size_t c = 0;
        ArcEnds ends;
        LambertSolution arc;
    };
    Held held[annotation_run];
    std::size_t n = 0;
    const auto annotate = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            const Held& h = held[i];
            sink(h.c, h.arc, compute_transfer_orbit_elements(h.ends, h.arc.v1, h.arc.v2, o.mu));
        }
        n = 0;
    };
    // Cases are read a run ahead of their solves (common/staged_loop.hpp).
    for_each_staged<annotation_run>(begin, end, case_of, [&](std::size_t c, const LambertCase& k) {
        detail::IzzoProblem p;
        const bool solvable = detail::izzo_setup(k.r1, k.r2, k.tof, o, std::nullopt, p);
        // A case's arcs join the run whole, so the run is annotated between cases only.
        const std::size_t arcs = solvable ? 2 * p.revs + 1 : 1;
        if (n + arcs > annotation_run) annotate();
        if (!solvable) {
            held[n++] = {c, arc_ends(k.r1, k.r2), detail::izzo_nan_record(k.tof, o.retrograde)};
            return;
        }
        const ArcEnds ends{k.r1, k.r2, p.r1n, p.r2n, p.ir1, p.ir2};
        if (arcs > annotation_run) {
            // More revolutions than a run holds: this case's arcs go out one by one.
            auto annotate_now = [&](const LambertSolution& s) {
                sink(c, s, compute_transfer_orbit_elements(ends, s.v1, s.v2, o.mu));
            };
            detail::izzo_emit(p, k.r1, k.tof, o, annotate_now);
            return;
        }
        auto hold = [&](const LambertSolution& s) { held[n++] = {c, ends, s}; };
        detail::izzo_emit(p, k.r1, k.tof, o, hold);
    });
    annotate();
}

// The arcs of the single problem (r1, r2, tof) with their elements, as visit_annotated_cases gives them but one at a
// time and without its buffers: sink(const LambertSolution&, const TransferElements&).
template <class F>
void visit_annotated_arcs(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& o, F&& sink) {
    detail::IzzoProblem p;
    if (!detail::izzo_setup(r1, r2, tof, o, std::nullopt, p)) {
        const LambertSolution blank = detail::izzo_nan_record(tof, o.retrograde);
        sink(blank, compute_transfer_orbit_elements(r1, blank.v1, r2, blank.v2, o.mu));
        return;
    }
    const ArcEnds ends{r1, r2, p.r1n, p.r2n, p.ir1, p.ir2};
    auto annotate = [&](const LambertSolution& s) { sink(s, compute_transfer_orbit_elements(ends, s.v1, s.v2, o.mu)); };
    detail::izzo_emit(p, r1, tof, o, annotate);
}

// How many arcs visit_annotated_arcs gives, without solving.
inline std::uint64_t annotated_arc_count(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& o) {
    return lambert_izzo_count(r1, r2, tof, o, [] { return std::optional<Vec3>{}; });
}

// Every arc between the departure state (r1, u1) and the arrival state (r2, u2), in the solver's order, as its
// impulses: sink(const Impulses&). No filtering: NaN velocities give NaN impulses. The reference normal follows
// collinear_reference_normal. Throws as the solver does.
template <class F>
void visit_arc_impulses(const Vec3& r1, const Vec3& u1, const Vec3& r2, const Vec3& u2, double tof,
                        const LambertSettings& o, F&& sink) {
    lambert_izzo_visit(r1, r2, tof, o, collinear_reference_normal(r1, u1, r2),
                       [&](const LambertSolution& s) { sink(lambert_impulses(s, u1, u2)); });
}

// How many impulse pairs visit_arc_impulses gives, without solving.
inline std::uint64_t arc_impulses_count(const Vec3& r1, const Vec3& u1, const Vec3& r2, double tof,
                                        const LambertSettings& o) {
    return lambert_izzo_count(r1, r2, tof, o, [&] { return collinear_reference_normal(r1, u1, r2); });
}

}  // namespace orbelin
