#pragma once
// Izzo's Lambert solver (D. Izzo, "Revisiting Lambert's problem", Celest. Mech.
// Dyn. Astr. 121, 2015): the lambda-x formulation with Householder iterations,
// zero and multiple revolutions.
//
// Units: km, s, km/s, mu in km^3/s^2; all vectors in one inertial frame.
// Pure functions: no state, safe to call from any number of threads at once.
//
// Two forms share one solver body:
//   lambert_izzo_visit        calls on_solution(const LambertSolution&) for each
//                             record in order and allocates nothing;
//   lambert_izzo_single_impl  collects the same records into a vector.
// Record order: the direct arc (M = 0), then for i = 1..M the left branch
// (path_flag 1) followed by the right branch (path_flag 0). A non-positive tof
// gives one record with NaN velocities.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/arc_ends.hpp"
#include "common/vec3.hpp"
#include "solver/householder.hpp"
#include "solver/lambert_settings.hpp"
#include "solver/lambert_solution.hpp"

namespace orbelin {

// Non-dimensional time of flight T(x) for M complete revolutions:
// Lagrange form for 0.01 < |x - 1| < 0.2, Battin's series for |x - 1| < 0.01,
// Lancaster's form otherwise.
double x_to_tof(std::uint64_t M, double x, double lambda) noexcept;

// Largest number of revolutions the solver accepts to solve in one call; a
// problem that would need more (an enormous max_rev together with an enormous
// time of flight) is refused with RefusedRequest before anything is allocated.
inline constexpr std::uint64_t lambert_max_solved_revs = 1'000'000;

// Two directions whose unit vectors have a cross product shorter than this are collinear for the solver: the
// transfer plane cannot be taken from them (step 3). The optimisers' choice of a reference normal uses the same
// test, so that both agree on every pair of positions.
inline constexpr double collinear_sin_angle = 1e-12;

namespace detail {

// Everything the per-arc steps (10-12) need, computed once per problem.
struct IzzoProblem {
    Vec3 ir1, ir2;             // unit radial directions at r1, r2
    Vec3 it1, it2;             // unit tangential directions (signs of steps 4-5)
    double r1n = 0.0;          // |r1|, km
    double r2n = 0.0;          // |r2|, km
    double lambda = 0.0;       // Izzo's lambda, in [-1, 1]
    double T = 0.0;            // non-dimensional time of flight
    double T00 = 0.0;          // T(x = 0) of the direct arc
    double rho = 0.0;          // (|r1| - |r2|) / c
    double radial1 = 0.0;      // gamma / |r1| with gamma = sqrt(mu s / 2): radial speed scale at r1, 1/s
    double radial2 = 0.0;      // gamma / |r2|
    double tangential1 = 0.0;  // sigma gamma / |r1| with sigma = sqrt(1 - rho^2): tangential speed scale
    double tangential2 = 0.0;  // sigma gamma / |r2|
    std::uint64_t revs = 0;    // M: revolutions actually solved
};

// Steps 1-8 from the ends of the arc, which carry the lengths and directions of the positions (arc_ends). normal:
// the plane normal of step 3, or null; with normal_if_collinear it is taken only when the positions are collinear
// by the step's own test (|ir1 x ir2| < collinear_sin_angle), in place of the fallback axes. `reversed`, when given,
// receives the same problem in the other direction of motion, bit for bit what a second call would give; both
// directions share steps 1-6. Returns false when tof <= 0; throws InternalFault when mu <= 0 and RefusedRequest when
// more than lambert_max_solved_revs revolutions would be solved.
bool izzo_prepare(const ArcEnds& ends, double tof, const LambertSettings& s, const Vec3* normal,
                  bool normal_if_collinear, IzzoProblem& p, IzzoProblem* reversed = nullptr);

// Steps 1-8. Returns false when tof <= 0 (the caller emits the single NaN
// record). Throws InternalFault when mu <= 0 and RefusedRequest when more than
// lambert_max_solved_revs revolutions would be solved.
bool izzo_setup(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s,
                const std::optional<Vec3>& reference_normal, IzzoProblem& p);

// Step 9 / step 10: the initial guess of one arc.
double izzo_direct_guess(const IzzoProblem& p) noexcept;
double izzo_multi_guess(const IzzoProblem& p, std::uint64_t revs, bool left) noexcept;

// Step 9 / step 10: the converged (or last) x of one arc.
double izzo_direct_x(const IzzoProblem& p, double tol, std::uint64_t maxiter) noexcept;
double izzo_multi_x(const IzzoProblem& p, std::uint64_t revs, bool left, double tol, std::uint64_t maxiter) noexcept;

// Step 12: blanks the velocities of sol (NaN) when the departure state (r1, sol.v1) has its periapsis below the
// Earth's equatorial radius; a NaN periapsis keeps them.
void izzo_reentry_blank(const IzzoProblem& p, const Vec3& r1, double mu, LambertSolution& sol) noexcept;

// Which arc of a problem a record describes: its revolutions and its branch (1 left, 0 right or direct).
struct ArcIndex {
    std::uint64_t revs;
    std::uint64_t path_flag;
};

// Steps 11-12: the record of the arc with Izzo variable x. Inline, so that the velocities reach the caller in
// registers rather than through a returned record in memory.
inline LambertSolution izzo_record(const IzzoProblem& p, double x, const Vec3& r1, double tof, const LambertSettings& s,
                                   ArcIndex arc) noexcept {
    // 11. Terminal velocities from x.
    const double lambda = p.lambda;
    const double l2 = lambda * lambda;
    const double y = std::sqrt(1.0 - l2 + l2 * x * x);
    const double ly = lambda * y;
    const double vr1 = p.radial1 * ((ly - x) - p.rho * (ly + x));
    const double vr2 = -p.radial2 * ((ly - x) + p.rho * (ly + x));
    const double vt = y + lambda * x;
    const double vt1 = p.tangential1 * vt;
    const double vt2 = p.tangential2 * vt;
    LambertSolution sol{
        vr1 * p.ir1 + vt1 * p.it1, vr2 * p.ir2 + vt2 * p.it2, tof, arc.revs, arc.path_flag, s.retrograde};
    // 12. Re-entry check on the departure state.
    if (s.reentry_check) izzo_reentry_blank(p, r1, s.mu, sol);
    return sol;
}

// The record answering a non-positive time of flight.
LambertSolution izzo_nan_record(double tof, bool retrograde) noexcept;

// floor(T / pi) of step 7, the most revolutions the time of flight could admit, computed with the very
// expressions of izzo_setup; 0 when tof <= 0, NaN or max_rev == 0 (one record either way). Throws InternalFault
// for mu <= 0 as izzo_setup does.
std::uint64_t izzo_revolution_bound(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s);

// Steps 9-10 for every arc of the problem, in the solver's order: on_x(double x, ArcIndex arc) with the converged
// (or last) x of each arc.
template <class F>
void izzo_solve_arcs(const IzzoProblem& p, const LambertSettings& s, F&& on_x) {
    std::uint64_t maxiter = s.maxiter;
    on_x(izzo_direct_x(p, s.tol, maxiter), ArcIndex{.revs = 0, .path_flag = 0});
    for (std::uint64_t i = 1; i <= p.revs; ++i) {
        // Up to a million revolution pairs, each only a few steps: once interrupted, the remaining arcs keep their
        // initial guesses so that the record count stays what the caller sized for.
        if ((i & interrupt_poll_mask) == 0 && stop_requested()) maxiter = 0;
        on_x(izzo_multi_x(p, i, /*left=*/true, s.tol, maxiter), ArcIndex{.revs = i, .path_flag = 1});
        on_x(izzo_multi_x(p, i, /*left=*/false, s.tol, maxiter), ArcIndex{.revs = i, .path_flag = 0});
    }
}

template <class F>
void izzo_emit(const IzzoProblem& p, const Vec3& r1, double tof, const LambertSettings& s, F& on_solution) {
    izzo_solve_arcs(p, s, [&](double x, ArcIndex arc) {
        const LambertSolution sol = izzo_record(p, x, r1, tof, s, arc);
        on_solution(sol);
    });
}

// One problem of a run solved together with others: the problem prepared by izzo_prepare
// (or nothing to solve, for a non-positive time of flight), what its records carry, and the caller's case number.
struct IzzoItem {
    IzzoProblem p;
    Vec3 r1;
    double tof = 0.0;
    bool retrograde = false;
    bool solvable = false;  // false: one NaN record
    std::size_t c = 0;
};

inline std::size_t izzo_arcs(const IzzoItem& item) noexcept { return item.solvable ? 2 * item.p.revs + 1 : 1; }

// Problems gathered until they hold Arcs arcs and then solved together: the initial guesses of all their arcs go to
// householder_jobs at once, so that the iterations of different problems overlap. sink(const IzzoItem&,
// const LambertSolution&) receives every record of the problems in the order they were added, and within a
// problem in the solver's order, bit for bit the records of izzo_emit. A problem with more than Arcs arcs is
// solved on its own, in its turn.
template <std::size_t Arcs>
class IzzoRun {
public:
    // The settings of every problem of the run; each item carries its own direction of motion.
    explicit IzzoRun(const LambertSettings& s) noexcept : s_(s) {}

    template <class Sink>
    void add(const IzzoItem& item, Sink& sink) {
        const std::size_t arcs = izzo_arcs(item);
        if (arcs_ + arcs > Arcs) flush(sink);
        if (arcs > Arcs) {
            auto one = [&](const LambertSolution& s) { sink(item, s); };
            izzo_emit(item.p, item.r1, item.tof, settings_of(item), one);
            return;
        }
        items_[items_n_++] = item;
        arcs_ += arcs;
    }

    template <class Sink>
    void flush(Sink& sink) {
        std::size_t n = 0;
        for (std::size_t k = 0; k < items_n_; ++k) {
            const IzzoItem& item = items_[k];
            if (!item.solvable) continue;
            jobs_[n++] = {izzo_direct_guess(item.p), item.p.T, item.p.lambda, 0};
            for (std::uint64_t i = 1; i <= item.p.revs; ++i) {
                jobs_[n++] = {izzo_multi_guess(item.p, i, true), item.p.T, item.p.lambda, i};
                jobs_[n++] = {izzo_multi_guess(item.p, i, false), item.p.T, item.p.lambda, i};
            }
        }
        householder_jobs(jobs_, n, s_.tol, s_.maxiter);
        n = 0;
        for (std::size_t k = 0; k < items_n_; ++k) {
            const IzzoItem& item = items_[k];
            if (!item.solvable) {
                sink(item, izzo_nan_record(item.tof, item.retrograde));
                continue;
            }
            const LambertSettings s = settings_of(item);
            const auto record = [&](ArcIndex arc) {
                return izzo_record(item.p, jobs_[n++].x, item.r1, item.tof, s, arc);
            };
            sink(item, record({.revs = 0, .path_flag = 0}));
            for (std::uint64_t i = 1; i <= item.p.revs; ++i) {
                sink(item, record({.revs = i, .path_flag = 1}));
                sink(item, record({.revs = i, .path_flag = 0}));
            }
        }
        items_n_ = 0;
        arcs_ = 0;
    }

private:
    LambertSettings settings_of(const IzzoItem& item) const noexcept {
        LambertSettings s = s_;
        s.retrograde = item.retrograde;
        return s;
    }

    LambertSettings s_;
    IzzoItem items_[Arcs];
    HouseholderJob jobs_[Arcs];
    std::size_t items_n_ = 0;
    std::size_t arcs_ = 0;
};

}  // namespace detail

// Calls on_solution(const LambertSolution&) once per record, in the order of
// the file comment. Throws InternalFault for mu <= 0 (NaN passes) and
// RefusedRequest for a problem needing more than lambert_max_solved_revs revolutions.
template <class F>
void lambert_izzo_visit(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s,
                        const std::optional<Vec3>& reference_normal, F&& on_solution) {
    detail::IzzoProblem p;
    if (!detail::izzo_setup(r1, r2, tof, s, reference_normal, p)) {
        const LambertSolution blank = detail::izzo_nan_record(tof, s.retrograde);
        on_solution(blank);
        return;
    }
    detail::izzo_emit(p, r1, tof, s, on_solution);
}

// How many records lambert_izzo_visit gives for this problem (1, or 2M + 1), found by the setup alone without
// solving. The reference normal can only matter when the time of flight admits a revolution, so it is asked for
// (normal() returning std::optional<Vec3>) only then. Throws as lambert_izzo_visit does.
template <class NormalFn>
std::uint64_t lambert_izzo_count(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s,
                                 NormalFn&& normal) {
    if (detail::izzo_revolution_bound(r1, r2, tof, s) == 0) return 1;
    detail::IzzoProblem p;
    if (!detail::izzo_setup(r1, r2, tof, s, normal(), p)) return 1;
    return 2 * p.revs + 1;
}

// The records of lambert_izzo_visit collected into a vector (1 or 2M + 1).
std::vector<LambertSolution> lambert_izzo_single_impl(const Vec3& r1, const Vec3& r2, double tof,
                                                      const LambertSettings& s,
                                                      const std::optional<Vec3>& reference_normal = std::nullopt);

}  // namespace orbelin
