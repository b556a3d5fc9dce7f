#pragma once
// What the module reports about Lambert arcs, in one place: the impulse budgets of arcs between two spacecraft
// states, the rule that picks the cheapest arc of a problem, and every arc paired with its transfer elements.
// Every delta-v routine of the module (the batch delta-v solves, the transfer costs of the optimisers, the grid
// scans) goes through these, so that the cost a search minimises is the cost it reports; the Python boundary only
// binds, converts and loops over them.
//
// Units: km, s, km/s; mu in km^3/s^2.

#include <algorithm>
#include <cmath>
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

// Always inlined, so that a batch ranking many arcs keeps them in registers.
[[gnu::always_inline]] inline Impulses lambert_impulses(const Vec3& v1, const Vec3& v2, const Vec3& u1,
                                                        const Vec3& u2) noexcept {
    const Vec3 dv1 = v1 - u1;
    const Vec3 dv2 = u2 - v2;
    const double m1 = norm(dv1);
    const double m2 = norm(dv2);
    return {m1, m2, m1 + m2, dv1, dv2};
}

[[gnu::always_inline]] inline Impulses lambert_impulses(const LambertSolution& arc, const Vec3& u1,
                                                        const Vec3& u2) noexcept {
    return lambert_impulses(arc.v1, arc.v2, u1, u2);
}

// The plane normal handed to the solver for a departure state (r1, u1) and an arrival position r2: the unit
// angular momentum of the departure state, but only when that momentum is not zero and r1, r2 are collinear by
// the solver's own test (|r1_hat x r2_hat| < collinear_sin_angle). In that band the solver cannot take the transfer
// plane from the positions and would otherwise fall back to an arbitrary one; outside it the positions define the plane
// and no normal is passed.
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

// The same from the ends of the arc (arc_ends(r1, r2)) and departure_normal(r1, u1), for callers that reuse them
// over many problems (a grid scan shares each position along a row or a column of cells).
std::optional<Impulses> best_lambert_impulses(const ArcEnds& ends, const Vec3& u1, const Vec3& u2,
                                              const std::optional<Vec3>& normal, double tof,
                                              const BestArcOptions& options);

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
std::optional<BestArc> best_lambert_arc(const ArcEnds& ends, const Vec3& u1, const Vec3& u2,
                                        const std::optional<Vec3>& normal, double tof, const BestArcOptions& options);

// The cost the selection above ranks a candidate by.
inline double impulse_cost(const Impulses& i, bool rendezvous) noexcept { return rendezvous ? i.total : i.dv1_mag; }

// Whether no arc in the direction of motion opposite to that of a solved problem can cost less than `best`, the
// cost of that problem's cheapest arc; it1 and it2 are the problem's unit tangential directions at departure and
// arrival (its directions of motion there).
//
// Every arc leaves with velocity vr ir1 + vt it1 and arrives with vr' ir2 + vt' it2, whose tangential speeds
// vt = (y + lambda x) sigma gamma / r are never negative (y^2 - lambda^2 x^2 = 1 - lambda^2 >= 0); the other
// direction of motion has the opposite tangential directions. An arc of the other direction therefore has
// v1 . it1 <= 0 and v2 . it2 <= 0, so |dv1| = |v1 - u1| >= u1 . it1 and |dv2| = |u2 - v2| >= u2 . it2: below the
// positive parts of those, none of its arcs can win, whatever their revolutions. The margin, 1e-9 of the speeds at
// hand, is far above the rounding of either side; a NaN anywhere answers false.
inline bool other_direction_loses(double best, const Vec3& it1, const Vec3& it2, const Vec3& u1, const Vec3& u2,
                                  bool rendezvous) noexcept {
    const double a = dot(u1, it1);
    const double b = rendezvous ? dot(u2, it2) : 0.0;
    const double bound = (a > 0.0 ? a : 0.0) + (b > 0.0 ? b : 0.0);
    const double scale = std::fabs(u1.x) + std::fabs(u1.y) + std::fabs(u1.z) + std::fabs(u2.x) + std::fabs(u2.y) +
                         std::fabs(u2.z) + best;
    return best + 1e-9 * scale < bound;
}

// The selection rule of best_lambert_impulses, fed one arc at a time.
class BestArcRule {
public:
    explicit BestArcRule(bool rendezvous) noexcept : rendezvous_(rendezvous) {}
    void consider(const LambertSolution& arc, const Vec3& u1, const Vec3& u2) noexcept {
        if (has_nan(arc.v1)) return;
        const Impulses candidate = lambert_impulses(arc, u1, u2);
        if (wins(impulse_cost(candidate, rendezvous_))) take(candidate, arc.num_revs, arc.path_flag, arc.retrograde);
    }
    // The same in two steps, for a caller that ranks candidates by their cost alone: true when a candidate of this
    // cost is the best so far, whose arc the caller then hands to take() before the answer is asked for. A NaN
    // cost (an arc whose v1 has a NaN component has one) never wins.
    bool wins(double cost) noexcept {
        if (!(cost < cost_)) return false;
        cost_ = cost;
        return true;
    }
    // Built in place from its fields, which its readers then load as they were stored (a record built elsewhere and
    // copied in would be read back with wider loads than its stores, which the processor cannot forward).
    void take(const Impulses& impulses, std::uint64_t num_revs, std::uint64_t path_flag, bool retrograde) noexcept {
        best_.emplace(impulses, num_revs, path_flag, retrograde);
    }
    // The cheapest arc so far, or nothing when no candidate has won.
    const std::optional<BestArc>& arc() const noexcept { return best_; }
    // Its cost; the penalty value when there is none.
    double cost() const noexcept { return cost_; }
    // Back to no candidate.
    void reset() noexcept {
        best_.reset();
        cost_ = penalty_value;
    }

private:
    bool rendezvous_;
    std::optional<BestArc> best_;
    double cost_ = penalty_value;
};

// One problem between two spacecraft in a batch: the ends of the arc (arc_ends(r1, r2)), the two spacecraft
// velocities, departure_normal(r1, u1) and the time of flight. With normal_of_u1 the normal is left out and
// departure_normal(r1, u1) is worked out only where the solver takes it, for collinear positions.
struct ImpulseCase {
    ArcEnds ends;
    Vec3 u1;
    Vec3 u2;
    std::optional<Vec3> normal;
    double tof = 0.0;
    bool normal_of_u1 = false;
};

// Case c of a run (detail::IzzoRun), in one direction of motion or, with `both`, in both, written into the run's
// own slot for it (IzzoRun::next_case). The plane normal follows collinear_reference_normal.
inline void set_impulse_case(detail::IzzoCase& out, std::size_t c, const ImpulseCase& k, bool both) noexcept {
    out.ends = k.ends;
    out.normal = k.normal.value_or(Vec3{});
    out.tof = k.tof;
    out.c = c;
    out.has_normal = k.normal.has_value();
    out.both = both;
    out.u1 = k.u1;
    out.normal_of_u1 = k.normal_of_u1;
}

// Problems of a batch in flight together (common/staged_loop.hpp and detail::IzzoRun): their arcs are solved
// together, up to this many at once.
inline constexpr std::size_t batch_run_arcs = 32;

// The cases a run of batch_run_arcs may hold between their addition and their last record: the problems being
// solved, those being prepared, and the one being added.
inline constexpr std::size_t batch_run_cases = batch_run_arcs + detail::izzo_prepared_cases + 1;

namespace detail {

// The spacecraft velocities of the cases whose arcs are in flight in a run, by case number.
struct RunVelocities {
    static constexpr std::size_t ring = batch_run_cases;
    Vec3 u1[ring];
    Vec3 u2[ring];

    void keep(std::size_t c, const ImpulseCase& k) noexcept {
        u1[c % ring] = k.u1;
        u2[c % ring] = k.u2;
    }

    // The impulses of every arc of a solve (IzzoRun's sink.arcs: items[0 .. count - 1], the velocities of the arcs
    // of the solvable ones in v1, v2, 2 revs + 1 each, in order) into out, arc by arc: independent arithmetic whose
    // square roots overlap when nothing else sits between them.
    void impulses(const IzzoItem* items, std::size_t count, const Vec3* v1, const Vec3* v2,
                  Impulses* out) const noexcept {
        std::size_t n = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const IzzoItem& item = items[k];
            if (!item.solvable) continue;
            const std::size_t r = item.c % ring;
            const std::size_t arcs = 2 * item.p.revs + 1;
            for (std::size_t j = 0; j < arcs; ++j, ++n) out[n] = lambert_impulses(v1[n], v2[n], u1[r], u2[r]);
        }
    }
};

// The sink of a best-arc run (detail::IzzoRun): the cases' best arcs by BestArcRule, handed to
// sink(c, const std::optional<BestArc>&) in case order. Fed either one record at a time or, through arcs(), the
// velocities of a whole solve; both rank the same arcs with the same arithmetic.
template <class Sink>
class BestArcRun {
public:
    BestArcRun(std::size_t first, bool rendezvous, const RunVelocities& u, Sink& sink) noexcept
        : current_(first), rendezvous_(rendezvous), best_(rendezvous), u_(u), sink_(sink) {}

    void operator()(const IzzoItem& item, const LambertSolution& arc) {
        next(item.c);
        const std::size_t r = item.c % RunVelocities::ring;
        best_.consider(arc, u_.u1[r], u_.u2[r]);
    }

    // The arcs of items[0 .. count - 1], their velocities in v1, v2 (2 revs + 1 for each solvable item, in order).
    void arcs(const IzzoItem* items, std::size_t count, const Vec3* v1, const Vec3* v2) {
        // First every arc's impulses, then the choice, in order, which keeps the winner's place only and takes its
        // BestArc once, when its case is answered or the arcs go.
        u_.impulses(items, count, v1, v2, impulses_);
        const IzzoItem* win_item = nullptr;
        std::size_t win = 0;
        std::size_t win_j = 0;
        const auto take_win = [&] {
            if (win_item == nullptr) return;
            best_.take(impulses_[win], (win_j + 1) / 2, win_j % 2, win_item->retrograde);
            win_item = nullptr;
        };
        std::size_t n = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const IzzoItem& item = items[k];
            if (item.c != current_) {
                take_win();
                next(item.c);
            }
            if (!item.solvable) continue;
            const std::size_t arcs = 2 * item.p.revs + 1;
            for (std::size_t j = 0; j < arcs; ++j, ++n) {
                if (best_.wins(impulse_cost(impulses_[n], rendezvous_))) {
                    win_item = &item;
                    win = n;
                    win_j = j;
                }
            }
        }
        take_win();
    }

    // The last case's answer.
    void finish() { sink_(current_, best_.arc()); }

private:
    // Moves on to case c, answering the one before.
    void next(std::size_t c) {
        if (c == current_) return;
        sink_(current_, best_.arc());
        best_.reset();
        current_ = c;
    }

    std::size_t current_;
    bool rendezvous_;
    BestArcRule best_;
    const RunVelocities& u_;
    Sink& sink_;
    // The impulses of the arcs of a solve.
    Impulses impulses_[batch_run_arcs];
};

// The sink of visit_arc_impulses_run (detail::IzzoRun): every arc's impulses, sink(c, const Impulses&), fed one
// record at a time or, through arcs(), the velocities of a whole solve.
template <class Sink>
class ArcImpulsesRun {
public:
    ArcImpulsesRun(const RunVelocities& u, Sink& sink) noexcept : u_(u), sink_(sink) {}

    void operator()(const IzzoItem& item, const LambertSolution& arc) {
        const std::size_t r = item.c % RunVelocities::ring;
        sink_(item.c, lambert_impulses(arc, u_.u1[r], u_.u2[r]));
    }

    void arcs(const IzzoItem* items, std::size_t count, const Vec3* v1, const Vec3* v2) {
        u_.impulses(items, count, v1, v2, impulses_);
        std::size_t n = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const IzzoItem& item = items[k];
            if (!item.solvable) {
                // The one record of a problem without arcs has NaN velocities.
                const std::size_t r = item.c % RunVelocities::ring;
                sink_(item.c, lambert_impulses(nan_vec, nan_vec, u_.u1[r], u_.u2[r]));
                continue;
            }
            const std::size_t arcs = 2 * item.p.revs + 1;
            for (std::size_t j = 0; j < arcs; ++j, ++n) sink_(item.c, static_cast<const Impulses&>(impulses_[n]));
        }
    }

private:
    const RunVelocities& u_;
    Sink& sink_;
    Impulses impulses_[batch_run_arcs];
};

}  // namespace detail

// The cases case_of(begin), ..., case_of(end - 1) (each a ImpulseCase), as best_lambert_arc answers each:
// sink(c, const std::optional<BestArc>&), in case order. The arcs of consecutive cases are solved together
// (detail::IzzoRun), bit for bit as one case at a time. Throws as the solver does.
template <class CaseOf, class Sink>
void best_lambert_arcs_run(std::size_t begin, std::size_t end, CaseOf&& case_of, const BestArcOptions& o, Sink&& sink) {
    detail::RunVelocities u;
    detail::BestArcRun<Sink> best(begin, o.rendezvous, u, sink);
    LambertSettings first = o.solver;
    first.retrograde = o.directions == Directions::retrograde;
    const bool both = o.directions == Directions::both;
    detail::IzzoRun<batch_run_arcs> run(first);
    for_each_staged<batch_run_arcs>(begin, end, case_of, [&](std::size_t c, const ImpulseCase& k) {
        u.keep(c, k);
        set_impulse_case(run.next_case(), c, k, both);
        run.added(best);
    });
    run.flush(best);
    if (begin < end) best.finish();
}

// One Lambert problem of a batch: the two positions and the time of flight.
struct LambertCase {
    Vec3 r1;
    Vec3 r2;
    double tof = 0.0;
};

// Arcs solved together and then annotated; see visit_annotated_cases.
inline constexpr std::size_t annotation_run = batch_run_arcs;

// Every arc of the problems case_of(begin), ..., case_of(end - 1), in case order and within a case in the
// solver's order, with its transfer elements about mu: sink(c, const LambertSolution&, const TransferElements&).
// Records with NaN velocities are annotated too. The elements reuse the solver's |r1|, |r2| and unit radial
// directions, bit for bit what compute_transfer_orbit_elements computes from scratch. No reference normal. Throws
// as the solver does.
//
// The arcs of consecutive cases are solved together in runs of up to annotation_run (detail::IzzoRun) and then
// annotated, annotation_run records at a time (compute_transfer_orbit_elements_batch, one arc per lane): a solve is
// a chain of dependent divisions and transcendental calls that leaves most of the core idle, the elements are
// independent arithmetic that keeps it busy, and arc by arc the two get in each other's way (about 18 ns per arc on
// the 2-core x86-64 machine of the benchmarks, against 95 ns for the elements alone). The sink still sees every
// record of a case in order, and the cases in order.
template <class CaseOf, class F>
void visit_annotated_cases(std::size_t begin, std::size_t end, CaseOf&& case_of, const LambertSettings& o, F&& sink) {
    // The cases whose arcs are in flight.
    constexpr std::size_t ring = batch_run_cases;
    ArcEnds ends[ring];
    // Records waiting for their elements, in order.
    struct Held {
        std::size_t c = 0;
        LambertSolution s;
    };
    Held held[annotation_run];
    ArcStates arcs[annotation_run];
    TransferElements elements[annotation_run];
    std::size_t held_n = 0;
    // Out of line, so that annotate, inlined into the solve, takes each record from registers.
    const auto drain = [&]() __attribute__((noinline)) {
        compute_transfer_orbit_elements_batch(arcs, held_n, o.mu, elements);
        for (std::size_t k = 0; k < held_n; ++k)
            sink(held[k].c, static_cast<const LambertSolution&>(held[k].s),
                 static_cast<const TransferElements&>(elements[k]));
        held_n = 0;
    };
    auto annotate = [&](const detail::IzzoItem& item, const LambertSolution& s) __attribute__((always_inline)) {
        held[held_n] = {item.c, s};
        arcs[held_n] = {ends[item.c % ring], s.v1, s.v2};
        if (++held_n == annotation_run) drain();
    };
    detail::IzzoRun<annotation_run> run(o);
    // Cases are read a run ahead of their solves (common/staged_loop.hpp).
    for_each_staged<annotation_run>(begin, end, case_of, [&](std::size_t c, const LambertCase& k) {
        // Filled in place, member by member (IzzoRun::next_case): arc_ends(k.r1, k.r2) without a copy through the
        // stack.
        detail::IzzoCase& next = run.next_case();
        const double r1n = norm(k.r1);
        const double r2n = norm(k.r2);
        const Vec3 u1 = k.r1 / r1n;
        const Vec3 u2 = k.r2 / r2n;
        for (ArcEnds* e : {&next.ends, &ends[c % ring]}) {
            e->r1 = k.r1;
            e->r2 = k.r2;
            e->r1_norm = r1n;
            e->r2_norm = r2n;
            e->r1_unit = u1;
            e->r2_unit = u2;
        }
        next.tof = k.tof;
        next.c = c;
        next.has_normal = false;
        next.both = false;
        next.normal_of_u1 = false;
        run.added(annotate);
    });
    run.flush(annotate);
    drain();
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
    return lambert_izzo_count(r1, r2, tof, o);
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

// visit_arc_impulses for the cases case_of(begin), ..., case_of(end - 1) (each an ImpulseCase): sink(c,
// const Impulses&) for every arc, in case order and within a case in the solver's order. The arcs of consecutive
// cases are solved together (detail::IzzoRun), bit for bit as one case at a time.
template <class CaseOf, class Sink>
void visit_arc_impulses_run(std::size_t begin, std::size_t end, CaseOf&& case_of, const LambertSettings& o,
                            Sink&& sink) {
    detail::RunVelocities u;
    detail::ArcImpulsesRun<Sink> arcs(u, sink);
    detail::IzzoRun<batch_run_arcs> run(o);
    for_each_staged<batch_run_arcs>(begin, end, case_of, [&](std::size_t c, const ImpulseCase& k) {
        u.keep(c, k);
        set_impulse_case(run.next_case(), c, k, /*both=*/false);
        run.added(arcs);
    });
    run.flush(arcs);
}

// How many impulse pairs visit_arc_impulses gives, without solving.
inline std::uint64_t arc_impulses_count(const Vec3& r1, const Vec3& u1, const Vec3& r2, double tof,
                                        const LambertSettings& o) {
    return lambert_izzo_count(r1, r2, tof, o, &u1);
}

}  // namespace orbelin
