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
#include "solver/izzo_problem.hpp"
#include "solver/izzo_steps.hpp"
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

namespace detail {

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

// Step 12: whether the departure state (r1, v1) has its periapsis below the Earth's equatorial radius, which blanks
// the arc's velocities (NaN); a NaN periapsis keeps them. v1 by value: the record stays in registers.
bool izzo_reenters(const IzzoProblem& p, const Vec3& r1, double mu, Vec3 v1) noexcept;

// Between the solver's vectors and those of its lane steps, one lane wide.
inline V3<double> v3(const Vec3& v) noexcept { return {v.x, v.y, v.z}; }
inline Vec3 vec3(const V3<double>& v) noexcept { return {v.x, v.y, v.z}; }

// Which arc of a problem a record describes: its revolutions and its branch (1 left, 0 right or direct).
struct ArcIndex {
    std::uint64_t revs;
    std::uint64_t path_flag;
};

// Step 12 and the record of an arc whose velocities are v1, v2.
inline LambertSolution izzo_record_of(const IzzoProblem& p, const Vec3& v1, const Vec3& v2, const Vec3& r1, double tof,
                                      const LambertSettings& s, ArcIndex arc) noexcept {
    // 12. Re-entry check on the departure state.
    const bool blank = s.reentry_check && izzo_reenters(p, r1, s.mu, v1);
    return LambertSolution{blank ? nan_vec : v1, blank ? nan_vec : v2, tof, arc.revs, arc.path_flag, s.retrograde};
}

// Steps 11-12: the record of the arc with Izzo variable x. Inline, so that the velocities reach the caller in
// registers rather than through a returned record in memory.
inline LambertSolution izzo_record(const IzzoProblem& p, double x, const Vec3& r1, double tof, const LambertSettings& s,
                                   ArcIndex arc) noexcept {
    // 11. Terminal velocities from x.
    const IzzoSpeeds<double> v =
        izzo_speeds<double>(x, p.lambda, p.rho, p.radial1, p.radial2, p.tangential1, p.tangential2);
    return izzo_record_of(p, vec3(izzo_velocity<double>(v.vr1, v3(p.ir1), v.vt1, v3(p.it1))),
                          vec3(izzo_velocity<double>(v.vr2, v3(p.ir2), v.vt2, v3(p.it2))), r1, tof, s, arc);
}

// Step 11 for n arcs with the kernel chosen by use_householder_kernels (izzo_velocities_portable and its lane
// forms in izzo_problem.hpp): bit for bit the velocities of izzo_record.
void izzo_velocities(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept;

// The record answering a non-positive time of flight.
LambertSolution izzo_nan_record(double tof, bool retrograde) noexcept;

// The number of records of lambert_izzo_count, computed with the very expressions of the setup but only those
// that decide it. u1: a departure velocity whose departure_normal is the plane normal of collinear positions (as
// normal_if_collinear of izzo_prepare), or null. Throws as izzo_setup does.
std::uint64_t izzo_record_count(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s, const Vec3* u1);

// Steps 9-10 for every arc of the problem, in the solver's order: on_x(double x, ArcIndex arc) with the converged
// (or last) x of each arc.
template <class F>
void izzo_solve_arcs(const IzzoProblem& p, const LambertSettings& s, F&& on_x) {
    on_x(izzo_direct_x(p, s.tol, s.maxiter), ArcIndex{.revs = 0, .path_flag = 0});
    for (std::uint64_t i = 1; i <= p.revs; ++i) {
        // Up to a million revolution pairs: once the call is interrupted (or its loop cancelled), whatever it has
        // found is dropped, so the remaining arcs are left out rather than solved, annotated and differentiated for
        // nothing. A caller that sized a result for them pads the rest.
        if ((i & interrupt_poll_mask) == 0 && stop_requested()) return;
        on_x(izzo_multi_x(p, i, /*left=*/true, s.tol, s.maxiter), ArcIndex{.revs = i, .path_flag = 1});
        on_x(izzo_multi_x(p, i, /*left=*/false, s.tol, s.maxiter), ArcIndex{.revs = i, .path_flag = 0});
    }
}

template <class F>
void izzo_emit(const IzzoProblem& p, const Vec3& r1, double tof, const LambertSettings& s, F& on_solution) {
    izzo_solve_arcs(p, s, [&](double x, ArcIndex arc) {
        const LambertSolution sol = izzo_record(p, x, r1, tof, s, arc);
        on_solution(sol);
    });
}

// Steps 1-9 of the cases k[0 .. n-1] of a run, with the kernel chosen by use_householder_kernels (izzo_problem.hpp):
// fwd[i] and, when k[i].both, rev[i] receive their items, bit for bit what izzo_prepare and izzo_direct_guess
// give. Throws InternalFault when mu <= 0 (for any n > 0) and RefusedRequest for the first case and direction, in
// order, that would solve more than lambert_max_solved_revs revolutions.
void izzo_prepare_cases(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd, IzzoItem* rev);

inline std::size_t izzo_arcs(const IzzoItem& item) noexcept { return item.solvable ? 2 * item.p.revs + 1 : 1; }

// Cases prepared together (izzo_prepare_cases): a multiple of every lane width.
inline constexpr std::size_t izzo_prepared_cases = 8;

// Cases gathered, prepared izzo_prepared_cases at a time (steps 1-9 in lanes), and their problems gathered until
// they hold Arcs arcs and then solved together: the initial guesses of all their arcs go to householder_jobs at
// once, so that the iterations of different problems overlap. sink(const IzzoItem&, const LambertSolution&)
// receives every record of the problems in the order their cases were added (a case solved in both directions
// gives its run's own direction first), and within a problem in the solver's order, bit for bit the records of
// izzo_emit. A problem with more than Arcs arcs is solved on its own, in its turn. add and flush throw as
// izzo_prepare_cases does.
template <std::size_t Arcs>
class IzzoRun {
public:
    // The settings of every problem of the run, with the direction of motion of the cases' first direction.
    explicit IzzoRun(const LambertSettings& s) noexcept : s_(s) {}

    template <class Sink>
    void add(const IzzoCase& k, Sink& sink) {
        next_case() = k;
        added(sink);
    }

    // add in two halves, for a caller that writes the case field by field where it will be read rather than
    // building it elsewhere and copying it in: next_case() is the slot of the next case, added() takes it.
    IzzoCase& next_case() noexcept { return cases_[cases_n_]; }
    template <class Sink>
    void added(Sink& sink) {
        if (++cases_n_ == izzo_prepared_cases) prepare(sink);
    }

    template <class Sink>
    void flush(Sink& sink) {
        prepare(sink);
        solve(sink);
    }

private:
    template <class Sink>
    void prepare(Sink& sink) {
        izzo_prepare_cases(cases_, cases_n_, s_, fwd_, rev_);
        const std::size_t n = cases_n_;
        cases_n_ = 0;
        for (std::size_t i = 0; i < n; ++i) {
            add_item(fwd_[i], sink);
            if (cases_[i].both) add_item(rev_[i], sink);
        }
    }

    template <class Sink>
    void add_item(const IzzoItem& item, Sink& sink) {
        const std::size_t arcs = izzo_arcs(item);
        if (arcs_ + arcs > Arcs) solve(sink);
        if (arcs > Arcs) {
            auto one = [&](const LambertSolution& s) { sink(item, s); };
            izzo_emit(item.p, item.r1, item.tof, settings_of(item), one);
            return;
        }
        items_[items_n_++] = item;
        arcs_ += arcs;
    }

    template <class Sink>
    void solve(Sink& sink) {
        std::size_t n = 0;
        for (std::size_t k = 0; k < items_n_; ++k) {
            const IzzoItem& item = items_[k];
            if (!item.solvable) continue;
            for (std::uint64_t j = 0; j < 2 * item.p.revs + 1; ++j) problems_[n + j] = &item.p;
            jobs_[n++] = {item.x0, item.p.T, item.p.lambda, 0};
            for (std::uint64_t i = 1; i <= item.p.revs; ++i) {
                jobs_[n++] = {izzo_multi_guess(item.p, i, true), item.p.T, item.p.lambda, i};
                jobs_[n++] = {izzo_multi_guess(item.p, i, false), item.p.T, item.p.lambda, i};
            }
        }
        householder_jobs(jobs_, n, s_.tol, s_.maxiter);
        // Step 11 for every arc at once, then the records in order.
        for (std::size_t k = 0; k < n; ++k) x_[k] = jobs_[k].x;
        izzo_velocities(problems_, x_, n, v1_, v2_);
        // A sink that takes the velocities of all the arcs at once (sink.arcs(items, count, v1, v2), the arcs of the
        // solvable items in order, 2 revs + 1 each) gets them so when there is no re-entry check to apply.
        if constexpr (requires { sink.arcs(items_, items_n_, v1_, v2_); }) {
            if (!s_.reentry_check) {
                sink.arcs(static_cast<const IzzoItem*>(items_), items_n_, static_cast<const Vec3*>(v1_),
                          static_cast<const Vec3*>(v2_));
                items_n_ = 0;
                arcs_ = 0;
                return;
            }
        }
        n = 0;
        for (std::size_t k = 0; k < items_n_; ++k) {
            const IzzoItem& item = items_[k];
            if (!item.solvable) {
                sink(item, izzo_nan_record(item.tof, item.retrograde));
                continue;
            }
            const LambertSettings s = settings_of(item);
            const auto record = [&](ArcIndex arc) {
                const std::size_t j = n++;
                return izzo_record_of(item.p, v1_[j], v2_[j], item.r1, item.tof, s, arc);
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

    LambertSettings settings_of(const IzzoItem& item) const noexcept {
        LambertSettings s = s_;
        s.retrograde = item.retrograde;
        return s;
    }

    LambertSettings s_;
    IzzoCase cases_[izzo_prepared_cases];
    IzzoItem fwd_[izzo_prepared_cases];
    IzzoItem rev_[izzo_prepared_cases];
    IzzoItem items_[Arcs];
    HouseholderJob jobs_[Arcs];
    // The arcs of the solve: their problems, Izzo variables and velocities.
    const IzzoProblem* problems_[Arcs]{};
    double x_[Arcs]{};
    Vec3 v1_[Arcs];
    Vec3 v2_[Arcs];
    std::size_t cases_n_ = 0;
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

// How many records lambert_izzo_visit gives for this problem (1, or 2M + 1), found without solving. The plane
// normal of the solve is departure_normal(r1, *u1) when u1 is given and the positions are collinear (as
// collinear_reference_normal hands it over), none otherwise; it is worked out only when it can change the count.
// Throws as lambert_izzo_visit does.
inline std::uint64_t lambert_izzo_count(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s,
                                        const Vec3* u1 = nullptr) {
    return detail::izzo_record_count(r1, r2, tof, s, u1);
}

// The records of lambert_izzo_visit collected into a vector (1 or 2M + 1).
std::vector<LambertSolution> lambert_izzo_single_impl(const Vec3& r1, const Vec3& r2, double tof,
                                                      const LambertSettings& s,
                                                      const std::optional<Vec3>& reference_normal = std::nullopt);

}  // namespace orbelin
