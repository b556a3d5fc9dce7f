// Izzo's Lambert solver (Izzo 2015). The solve runs in twelve steps: checks,
// geometry, plane normal, lambda and tangential directions, retrograde flip,
// non-dimensional time, the largest feasible revolution count, the direct
// arc, the multi-revolution pairs, velocity reconstruction, the re-entry
// check and the record; the step numbers in the comments refer to that list.

#include "solver/lambert_izzo.hpp"

#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "common/constants.hpp"
#include "common/fault.hpp"
#include "common/select.hpp"
#include "common/system_resources.hpp"
#include "solver/householder_step.hpp"
#include "solver/izzo_lanes.hpp"

namespace orbelin {

using detail::at_rounding_level;
using detail::householder_update;
using detail::HouseholderStep;
using detail::lancaster_tof;
using detail::tof_derivatives;
using detail::TofAndY;
using detail::TofDerivatives;

namespace {

// Terms of Battin's hypergeometric series are summed until one is at most this.
constexpr double battin_series_tol = 1e-11;
// Safety stop of the series. Inside the solver |S1| is tiny near x = 1 and the
// series ends after a few terms; only a direct x_to_tof call with |lambda| > 1
// could make it diverge.
constexpr std::uint32_t battin_series_max_terms = 1'000'000;

inline double izzo_y(double x, double lambda) noexcept { return std::sqrt(1.0 - lambda * lambda * (1.0 - x * x)); }

inline TofDerivatives<double> tof_derivatives_at(double x, double T, double lambda) noexcept {
    return tof_derivatives<double>(x, T, lambda, izzo_y(x, lambda), 1.0 / (1.0 - x * x));
}

// Gauss hypergeometric 2F1(3, 1; 5/2; z) by its series; the last term is included.
inline double hypergeometric_f(double z) noexcept {
    double sum = 1.0;
    double term = 1.0;
    for (std::uint32_t j = 0; j < battin_series_max_terms; ++j) {
        const double jd = static_cast<double>(j);
        term = term * (3.0 + jd) * (1.0 + jd) / (2.5 + jd) * z / (jd + 1.0);
        sum += term;
        // Written so that a NaN or infinite term also ends the sum.
        if (!(std::fabs(term) > battin_series_tol) || std::isinf(term)) break;
    }
    return sum;
}

// floor(v) as an unsigned count, saturating: negative or NaN gives 0.
inline std::uint64_t saturating_count(double v) noexcept {
    const double f = std::floor(v);
    if (!(f > 0.0)) return 0;
    if (f >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(f);
}

// Steps 2 and 6 up to the time: the chord, both radii, the semi-perimeter and the non-dimensional time of flight,
// one set of expressions for the setup and for the revolution bound, so that both see the same T.
struct IzzoScale {
    double c;    // |r2 - r1|, km
    double r1n;  // |r1|, km
    double r2n;  // |r2|, km
    double s;    // semi-perimeter (|r1| + |r2| + c) / 2, km
    double T;    // sqrt(2 mu / s^3) tof
};

// r1n and r2n: the lengths of r1 and r2, when at hand (arc_ends).
inline IzzoScale izzo_scale(const Vec3& r1, const Vec3& r2, double r1n, double r2n, double tof, double mu) noexcept {
    const double c = norm(r2 - r1);
    const double s = (r1n + r2n + c) / 2.0;
    return {c, r1n, r2n, s, std::sqrt(2.0 * mu / (s * s * s)) * tof};
}

inline IzzoScale izzo_scale(const Vec3& r1, const Vec3& r2, double tof, double mu) noexcept {
    return izzo_scale(r1, r2, norm(r1), norm(r2), tof, mu);
}

[[noreturn]] void throw_bad_mu(double mu) {
    // Plain decimal, shortest round-trip form, never an exponent.
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, mu, std::chars_format::fixed);
    throw InternalFault("Gravity parameter mu must be positive, got: " + std::string(buf, res.ptr));
}

[[noreturn]] void throw_too_many_revs(std::uint64_t revs, std::uint64_t max_rev) {
    throw RefusedRequest("max_rev = " + std::to_string(max_rev) + " admits " + std::to_string(revs) +
                         " revolutions for this time of flight; at most " + std::to_string(lambert_max_solved_revs) +
                         " revolutions can be solved in one call");
}

}  // namespace

namespace {

// T(x), y and 1 / (1 - x^2) near the parabola: Lagrange's form for 0.01 < |x - 1| < 0.2, Battin's series for
// |x - 1| < 0.01.
inline TofAndY<double> near_parabolic(double m, double x, double lambda, double d) noexcept {
    if (d > 0.01) {
        // Lagrange's form.
        const double a = 1.0 / (1.0 - x * x);
        if (a > 0.0) {
            const double alpha = 2.0 * std::acos(x);
            double beta = 2.0 * std::asin(std::sqrt(lambda * lambda / a));
            if (lambda < 0.0) beta = -beta;
            return {a * std::sqrt(a) * ((alpha - std::sin(alpha)) - (beta - std::sin(beta)) + 2.0 * pi * m) / 2.0,
                    izzo_y(x, lambda), a};
        }
        const double alpha = 2.0 * std::acosh(x);
        double beta = 2.0 * std::asinh(std::sqrt(-lambda * lambda / a));
        if (lambda < 0.0) beta = -beta;
        return {(-a) * std::sqrt(-a) * ((beta - std::sinh(beta)) - (alpha - std::sinh(alpha))) / 2.0, izzo_y(x, lambda),
                a};
    }
    // Battin's series: free of the cancellation of the other forms near x = 1 (the parabola); the revolution term is
    // dropped at x = 1 itself. E, rho and z as in Lancaster's form; 1 - x^2 is exactly -E.
    const double E = x * x - 1.0;
    const double rho = std::fabs(E);
    const double z = std::sqrt(1.0 + lambda * lambda * E);
    const double inv_E = 1.0 / E;
    const double eta = z - lambda * x;
    const double s1 = (1.0 - lambda - x * eta) / 2.0;
    const double q = 4.0 / 3.0 * hypergeometric_f(s1);
    const double rev_term = rho <= 1e-10 ? 0.0 : m * pi / std::pow(rho, 1.5);
    return {(eta * eta * eta * q + 4.0 * lambda * eta) / 2.0 + rev_term, z, -inv_E};
}

// Whether T(x) takes one of the forms near the parabola (|x - 1| < 0.2 but not exactly 0.01, where Lancaster's form
// holds); NaN takes Lancaster's.
inline bool is_near_parabolic(double d) noexcept { return (d > 0.01 && d < 0.2) || d < 0.01; }

inline TofAndY<double> tof_and_y(std::uint64_t M, double x, double lambda) noexcept {
    const double m = static_cast<double>(M);
    const double d = std::fabs(x - 1.0);
    if (is_near_parabolic(d)) return near_parabolic(m, x, lambda, d);
    return lancaster_tof<double>(m, x, lambda);
}

}  // namespace

double x_to_tof(std::uint64_t M, double x, double lambda) noexcept { return tof_and_y(M, x, lambda).T; }

std::optional<Vec3> departure_normal(const Vec3& r1, const Vec3& u1) noexcept {
    const Vec3 h = cross(r1, u1);
    const double h_norm = norm(h);
    if (!(h_norm > 1e-15)) return std::nullopt;
    return h / h_norm;
}

namespace detail {

NearParabolicTof near_parabolic_tof(std::uint64_t M, double x, double lambda) noexcept {
    const TofAndY<double> t = near_parabolic(static_cast<double>(M), x, lambda, std::fabs(x - 1.0));
    return {t.T, t.y, t.inv_umx2};
}

}  // namespace detail

namespace {

inline HouseholderStep<double> householder_step(double x, std::uint64_t M, double T_target, double lambda) noexcept {
    return householder_update<double>(x, T_target, lambda, tof_and_y(M, x, lambda));
}

// Whether the iteration stops after the step from x to s.x of size err = |x - s.x|, the step before having been
// last_err: at the tolerance (or NaN), or once the steps have come down to the rounding noise of T and stopped
// shrinking, for a tolerance below what float64 resolves there (x is then as good as it gets). The noise test is
// asked only when a step fails to shrink, which the third-order iteration does once it has reached that noise.
// The lane kernels (householder_lanes.hpp) apply the same rule lane by lane.
inline bool householder_stops(double err, double last_err, const HouseholderStep<double>& s, double T_target,
                              double tol) noexcept {
    if (err <= tol || std::isnan(err)) return true;
    return err >= last_err && at_rounding_level<double>(err, s.x, T_target, s.slope);
}

}  // namespace

void householder(double& x, std::uint64_t M, std::uint64_t maxiter, double T_target, double tol,
                 double lambda) noexcept {
    if (tol >= 1.0 || maxiter == 0) return;
    double last_err = std::numeric_limits<double>::infinity();
    for (std::uint64_t it = 0; it < maxiter; ++it) {
        // A huge maxiter on an iteration that never settles (a two-cycle far from the root) stays interruptible.
        if ((it & interrupt_poll_mask) == interrupt_poll_mask && stop_requested()) return;
        const HouseholderStep<double> s = householder_step(x, M, T_target, lambda);
        const double err = std::fabs(x - s.x);
        x = s.x;
        if (householder_stops(err, last_err, s, T_target, tol)) return;
        last_err = err;
    }
}

namespace detail {

void householder_jobs_portable(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept {
    if (tol >= 1.0 || maxiter == 0) return;
    // householder_lanes solves in flight at a time. Every lane takes the same steps as householder would, in the
    // same order, so each job's x is bit for bit the one it computes; a lane that stops takes the next job. A step
    // is one chain of dependent operations (an arccosine or logarithm, then divisions) that keeps a core's units
    // mostly idle; a second independent chain fills them.
    constexpr std::size_t lanes = householder_lanes;
    std::size_t job[lanes];
    double x[lanes];
    double last_err[lanes];
    std::uint64_t it[lanes];
    std::size_t live = 0;
    std::size_t next = 0;
    const auto start = [&](std::size_t l) {
        job[l] = next;
        x[l] = jobs[next].x;
        last_err[l] = std::numeric_limits<double>::infinity();
        it[l] = 0;
        ++next;
    };
    for (; live < lanes && next < n; ++live) start(live);
    std::uint64_t steps = 0;
    while (live > 0) {
        // As in householder: a run of solves that never settle stays interruptible; the solves not finished keep
        // their last iterate.
        if ((++steps & interrupt_poll_mask) == 0 && stop_requested()) {
            for (std::size_t l = 0; l < live; ++l) jobs[job[l]].x = x[l];
            return;
        }
        for (std::size_t l = 0; l < live;) {
            const HouseholderJob& j = jobs[job[l]];
            const HouseholderStep<double> s = householder_step(x[l], j.M, j.T, j.lambda);
            const double err = std::fabs(x[l] - s.x);
            x[l] = s.x;
            if (!householder_stops(err, last_err[l], s, j.T, tol) && ++it[l] < maxiter) {
                last_err[l] = err;
                ++l;
                continue;
            }
            jobs[job[l]].x = s.x;
            if (next < n) {
                start(l);
                ++l;
            } else {
                // The last lane takes this one's place; the lanes' order does not matter.
                --live;
                job[l] = job[live];
                x[l] = x[live];
                last_err[l] = last_err[live];
                it[l] = it[live];
            }
        }
    }
}

void izzo_prepare_cases_portable(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                                 IzzoItem* rev) noexcept {
    izzo_prepare_lanes<double>(k, n, s, fwd, rev);
}

void izzo_velocities_portable(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1,
                              Vec3* v2) noexcept {
    izzo_velocities_lanes<double>(p, x, n, v1, v2);
}

#if !ORBELIN_LANE_KERNELS
// Builds without the lane kernels never choose them (instruction_set_supported is false for their sets).
void householder_jobs_avx2(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept {
    householder_jobs_portable(jobs, n, tol, maxiter);
}
void householder_jobs_avx512(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept {
    householder_jobs_portable(jobs, n, tol, maxiter);
}
void izzo_prepare_cases_avx2(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                             IzzoItem* rev) noexcept {
    izzo_prepare_cases_portable(k, n, s, fwd, rev);
}
void izzo_prepare_cases_avx512(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                               IzzoItem* rev) noexcept {
    izzo_prepare_cases_portable(k, n, s, fwd, rev);
}
void izzo_velocities_avx2(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept {
    izzo_velocities_portable(p, x, n, v1, v2);
}
void izzo_velocities_avx512(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept {
    izzo_velocities_portable(p, x, n, v1, v2);
}
#endif

namespace {

using HouseholderJobsKernel = void (*)(HouseholderJob*, std::size_t, double, std::uint64_t) noexcept;
using PrepareKernel = void (*)(const IzzoCase*, std::size_t, const LambertSettings&, IzzoItem*, IzzoItem*) noexcept;
using VelocitiesKernel = void (*)(const IzzoProblem* const*, const double*, std::size_t, Vec3*, Vec3*) noexcept;

// The kernels of householder_jobs, izzo_prepare_cases and izzo_velocities, set once at load time; read on every call
// from any thread.
std::atomic<HouseholderJobsKernel> householder_jobs_kernel{&householder_jobs_portable};
std::atomic<PrepareKernel> prepare_kernel{&izzo_prepare_cases_portable};
std::atomic<VelocitiesKernel> velocities_kernel{&izzo_velocities_portable};

}  // namespace

void izzo_velocities(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept {
    velocities_kernel.load(std::memory_order_relaxed)(p, x, n, v1, v2);
}

void izzo_prepare_cases(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd, IzzoItem* rev) {
    if (n == 0) return;
    if (s.mu <= 0.0) throw_bad_mu(s.mu);
    prepare_kernel.load(std::memory_order_relaxed)(k, n, s, fwd, rev);
    // The refusal of the first case that asks too much, in the order the cases come, each direction in turn.
    for (std::size_t i = 0; i < n; ++i) {
        if (fwd[i].p.revs > lambert_max_solved_revs) throw_too_many_revs(fwd[i].p.revs, s.max_rev);
        if (k[i].both && rev[i].p.revs > lambert_max_solved_revs) throw_too_many_revs(rev[i].p.revs, s.max_rev);
    }
}

}  // namespace detail

void use_householder_kernels(InstructionSet isa) noexcept {
    detail::HouseholderJobsKernel kernel = &detail::householder_jobs_portable;
    detail::PrepareKernel prepare = &detail::izzo_prepare_cases_portable;
    detail::VelocitiesKernel velocities = &detail::izzo_velocities_portable;
    if (isa == InstructionSet::avx2) {
        kernel = &detail::householder_jobs_avx2;
        prepare = &detail::izzo_prepare_cases_avx2;
        velocities = &detail::izzo_velocities_avx2;
    }
    if (isa == InstructionSet::avx512) {
        kernel = &detail::householder_jobs_avx512;
        prepare = &detail::izzo_prepare_cases_avx512;
        velocities = &detail::izzo_velocities_avx512;
    }
    detail::householder_jobs_kernel.store(kernel, std::memory_order_relaxed);
    detail::prepare_kernel.store(prepare, std::memory_order_relaxed);
    detail::velocities_kernel.store(velocities, std::memory_order_relaxed);
}

void householder_jobs(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept {
    detail::householder_jobs_kernel.load(std::memory_order_relaxed)(jobs, n, tol, maxiter);
}

namespace detail {

namespace {

// Steps 1-6 and the velocity scales of step 11 (geometry), steps 7-8 (revolutions): always inlined into their
// callers, so that a solve runs steps 1-8 as one function. Two calls instead cost some 35 ns per solve on the
// x86-64 machine of the benchmarks. The steps themselves are the templates of izzo_steps.hpp that the lane kernels
// run too.
[[gnu::always_inline]] inline bool geometry(const ArcEnds& ends, double tof, const LambertSettings& settings,
                                            const Vec3* normal, bool normal_if_collinear, IzzoProblem& p) {
    const double mu = settings.mu;
    // 1. Checks (NaN mu and NaN tof pass both).
    if (mu <= 0.0) throw_bad_mu(mu);
    if (tof <= 0.0) return false;

    p.r1n = ends.r1_norm;
    p.r2n = ends.r2_norm;
    p.ir1 = ends.r1_unit;
    p.ir2 = ends.r2_unit;
    const IzzoEnds<double> e{v3(ends.r1), v3(ends.r2), v3(ends.r1_unit), v3(ends.r2_unit), p.r1n, p.r2n, tof};

    // 3. Plane normal, with fallbacks for collinear positions.
    V3<double> ih{};
    if (normal != nullptr && !normal_if_collinear) {
        ih = v3(*normal / norm(*normal));
    } else {
        ih = izzo_plane_normal<double>(
            e.ir1, e.ir2, [&](int, double hn, V3<double>& out) { out = v3(izzo_collinear_normal(p.ir1, hn, normal)); });
    }

    // 2, 4-6.
    const IzzoGeometry<double> g = izzo_geometry<double>(e, ih, mu, settings.retrograde ? -1.0 : 1.0);
    p.lambda = g.lambda;
    p.it1 = vec3(g.it1);
    p.it2 = vec3(g.it2);
    p.T = g.T;
    p.rho = g.rho;
    p.radial1 = g.radial1;
    p.radial2 = g.radial2;
    p.tangential1 = g.tangential1;
    p.tangential2 = g.tangential2;
    return true;
}

// The same problem in the other direction of motion: the sign factor of steps 4-5 changes, every product with it
// is exact, and unit(-v) is -unit(v).
inline void reverse(IzzoProblem& p) noexcept {
    p.lambda = -p.lambda;
    p.it1 = -p.it1;
    p.it2 = -p.it2;
}

}  // namespace

namespace {

// Steps 7-8 up to the refusal: the revolutions solved.
[[gnu::always_inline]] inline std::uint64_t revolution_count(double lambda, double T, double T00,
                                                             std::uint64_t max_rev) noexcept {
    // 7. Largest feasible number of revolutions.
    // (With max_rev = 0 only the direct arc is solved whatever the bound: no division, no floor.)
    std::uint64_t m_max = max_rev == 0 ? 0 : saturating_count(T / pi);
    const double T0 = T00 + static_cast<double>(m_max) * pi;
    // The minimum time only decides whether the m_max family exists; when max_rev stays below m_max the count is
    // max_rev either way and the iteration is skipped.
    if (m_max > 0 && T < T0 && max_rev >= m_max) {
        // T(x) of the m_max family is the direct arc's time plus m_max pi / (1 - x^2)^(3/2), and the direct arc is
        // never faster than the parabola, T1 = 2/3 (1 - lambda^3): below m_max pi + T1 (with room for rounding) no
        // arc of the family exists, whatever the minimum turns out to be.
        const double floor_time = static_cast<double>(m_max) * pi + 2.0 / 3.0 * (1.0 - lambda * lambda * lambda);
        if (T < floor_time * (1.0 - 1e-12)) return m_max - 1;  // max_rev >= m_max here
        // Halley iterations for the minimum time of the m_max family, from x = 0, kept inside a bracket of the
        // minimum: T'(0) = -2, so it lies in (0, 1), and each evaluation narrows that by the sign of T'. Near
        // lambda = -1 the first step from 0 lands outside (-1, 1), where T(x) is not this family's time at all (and
        // a family that does not exist would be solved); a step that leaves the bracket bisects it instead.
        double x = 0.0;
        double t_min = T0;
        double last_step = std::numeric_limits<double>::infinity();
        double lo = 0.0;
        double hi = 1.0;
        for (int evaluations = 0; evaluations < 60; ++evaluations) {
            const TofDerivatives<double> d = tof_derivatives_at(x, t_min, lambda);
            if (d.d1 < 0.0) lo = x;
            if (d.d1 > 0.0) hi = x;
            double x_new = d.d1 == 0.0 ? x : x - d.d1 * d.d2 / (d.d2 * d.d2 - d.d1 * d.d3 / 2.0);
            if (!(x_new > lo && x_new < hi) && x_new != x) x_new = lo + (hi - lo) / 2.0;
            const double step = std::fabs(x - x_new);
            if (step < 1e-13) break;
            // The root of T'(x): its rounding is that of T' (about T) over the slope T''.
            if (step >= last_step && at_rounding_level(step, x_new, t_min, d.d2)) break;
            last_step = step;
            t_min = x_to_tof(m_max, x_new, lambda);
            x = x_new;
            // Every T(x) bounds the minimum from above: a time past one (by more than the iteration's rounding)
            // admits m_max revolutions whatever the remaining steps find, so the search ends here.
            if (T > t_min * (1.0 + 1e-12)) break;
        }
        if (t_min > T) --m_max;
    }
    // 8. Revolutions actually solved.
    return max_rev < m_max ? max_rev : m_max;
}

[[gnu::always_inline]] inline void revolutions(IzzoProblem& p, std::uint64_t max_rev) {
    p.T00 = izzo_t00<double>(p.lambda);
    p.revs = revolution_count(p.lambda, p.T, p.T00, max_rev);
    if (p.revs > lambert_max_solved_revs) throw_too_many_revs(p.revs, max_rev);
}

// The guess between the outer regimes of step 9.
[[gnu::always_inline]] inline double middle_guess(double T, double T00, double T1) noexcept {
    return std::pow(T / T00, 0.6931471805599453 / std::log(T1 / T00)) - 1.0;
}

}  // namespace

Vec3 izzo_collinear_normal(const Vec3& ir1, double hn, const Vec3* normal) noexcept {
    if (normal != nullptr && hn < collinear_sin_angle) return *normal / norm(*normal);
    const Vec3 z_axis{0.0, 0.0, 1.0};
    const Vec3 axis = norm(cross(ir1, z_axis)) < collinear_sin_angle ? Vec3{0.0, 1.0, 0.0} : z_axis;
    const Vec3 hp = cross(ir1, axis);
    const double hpn = norm(hp);
    return hpn >= collinear_sin_angle ? hp / hpn : Vec3{1.0, 0.0, 0.0};
}

Vec3 izzo_case_collinear_normal(const IzzoCase& k, double hn) noexcept {
    if (k.normal_of_u1) {
        const std::optional<Vec3> normal = departure_normal(k.ends.r1, k.u1);
        return izzo_collinear_normal(k.ends.r1_unit, hn, normal ? &*normal : nullptr);
    }
    return izzo_collinear_normal(k.ends.r1_unit, hn, k.has_normal ? &k.normal : nullptr);
}

std::uint64_t izzo_revolution_count(double lambda, double T, double T00, std::uint64_t max_rev) noexcept {
    return revolution_count(lambda, T, T00, max_rev);
}

double izzo_middle_guess(double T, double T00, double T1) noexcept { return middle_guess(T, T00, T1); }

bool izzo_prepare(const ArcEnds& ends, double tof, const LambertSettings& settings, const Vec3* normal,
                  bool normal_if_collinear, IzzoProblem& p, IzzoProblem* reversed) {
    const std::uint64_t max_rev = settings.max_rev;
    if (!geometry(ends, tof, settings, normal, normal_if_collinear, p)) return false;
    if (reversed != nullptr) {
        *reversed = p;
        reverse(*reversed);
    }
    revolutions(p, max_rev);
    if (reversed != nullptr) revolutions(*reversed, max_rev);
    return true;
}

bool izzo_setup(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& settings,
                const std::optional<Vec3>& reference_normal, IzzoProblem& p) {
    if (!geometry(arc_ends(r1, r2), tof, settings, reference_normal ? &*reference_normal : nullptr,
                  /*normal_if_collinear=*/false, p)) {
        return false;
    }
    revolutions(p, settings.max_rev);
    return true;
}

double izzo_direct_guess(const IzzoProblem& p) noexcept {
    return izzo_direct_guess_of<double>(p.lambda, p.T, p.T00, middle_guess);
}

double izzo_multi_guess(const IzzoProblem& p, std::uint64_t revs, bool left) noexcept {
    // 10. The left guess lies below x = 0, the right one above it.
    const double i = static_cast<double>(revs);
    const double t =
        left ? std::pow((i * pi + pi) / (8.0 * p.T), 2.0 / 3.0) : std::pow(8.0 * p.T / (i * pi), 2.0 / 3.0);
    return (t - 1.0) / (t + 1.0);
}

double izzo_direct_x(const IzzoProblem& p, double tol, std::uint64_t maxiter) noexcept {
    double x = izzo_direct_guess(p);
    householder(x, 0, maxiter, p.T, tol, p.lambda);
    return x;
}

double izzo_multi_x(const IzzoProblem& p, std::uint64_t revs, bool left, double tol, std::uint64_t maxiter) noexcept {
    double x = izzo_multi_guess(p, revs, left);
    householder(x, revs, maxiter, p.T, tol, p.lambda);
    return x;
}

bool izzo_reenters(const IzzoProblem& p, const Vec3& r1, double mu, Vec3 v1) noexcept {
    const double energy = dot(v1, v1) / 2.0 - mu / p.r1n;
    const Vec3 h = cross(r1, v1);
    const double semi_latus = dot(h, h) / mu;
    double rp;
    if (energy < 0.0) {
        const double a = -mu / (2.0 * energy);
        const double e = std::sqrt(std::fmax(1.0 - semi_latus / a, 0.0));
        rp = (1.0 - e) * a;
    } else if (std::fabs(energy) < 1e-10) {
        rp = semi_latus / 2.0;
    } else {
        const double a = -mu / (2.0 * energy);
        const double e = std::sqrt(std::fabs(1.0 - semi_latus / a));
        rp = (e - 1.0) * std::fabs(a);
    }
    return rp < earth_radius_km;
}

std::uint64_t izzo_record_count(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& settings,
                                const Vec3* u1) {
    const double mu = settings.mu;
    const std::uint64_t max_rev = settings.max_rev;
    if (mu <= 0.0) throw_bad_mu(mu);
    if (!(tof > 0.0) || max_rev == 0) return 1;
    // A sufficient test without square roots first: s >= R = max(|r1|, |r2|) because c >= | |r1| - |r2| |, so
    // T <= sqrt(2 mu / R^3) tof, which is below pi when (2 mu tof^2 / pi^2)^2 < R^6. The margin of 1e-6 is far
    // beyond the rounding of the exact evaluation below. NaN and overflow fail the test and take that route.
    const double r_sq = std::fmax(dot(r1, r1), dot(r2, r2));
    const double q = 2.0 * mu * tof * tof / (pi * pi);
    if (q * q < (1.0 - 1e-6) * (r_sq * r_sq * r_sq)) return 1;
    // From here on the setup's own expressions, but only those that decide the count: steps 2 and 6 give T and
    // floor(T / pi) (step 7), and when max_rev is below that bound the count is max_rev without lambda.
    const ArcEnds ends = arc_ends(r1, r2);
    const IzzoScale k = izzo_scale(r1, r2, ends.r1_norm, ends.r2_norm, tof, mu);
    const std::uint64_t bound = saturating_count(k.T / pi);
    if (bound == 0) return 1;
    std::uint64_t revs = max_rev;
    if (max_rev >= bound) {
        // Steps 3-5 up to lambda, then steps 7-8.
        const IzzoEnds<double> e{v3(r1), v3(r2), v3(ends.r1_unit), v3(ends.r2_unit), ends.r1_norm, ends.r2_norm, tof};
        const V3<double> ih = izzo_plane_normal<double>(e.ir1, e.ir2, [&](int, double hn, V3<double>& out) {
            const std::optional<Vec3> normal = u1 != nullptr ? departure_normal(r1, *u1) : std::nullopt;
            out = v3(izzo_collinear_normal(ends.r1_unit, hn, normal ? &*normal : nullptr));
        });
        const double lambda =
            izzo_lambda<double>(e, k.c, k.s, izzo_sign<double>(ih.z, settings.retrograde ? -1.0 : 1.0));
        revs = revolution_count(lambda, k.T, izzo_t00<double>(lambda), max_rev);
    }
    if (revs > lambert_max_solved_revs) throw_too_many_revs(revs, max_rev);
    return 2 * revs + 1;
}

LambertSolution izzo_nan_record(double tof, bool retrograde) noexcept {
    return LambertSolution{nan_vec, nan_vec, tof, 0, 0, retrograde};
}

}  // namespace detail

std::vector<LambertSolution> lambert_izzo_single_impl(const Vec3& r1, const Vec3& r2, double tof,
                                                      const LambertSettings& settings,
                                                      const std::optional<Vec3>& reference_normal) {
    std::vector<LambertSolution> out;
    detail::IzzoProblem p;
    if (!detail::izzo_setup(r1, r2, tof, settings, reference_normal, p)) {
        out.push_back(detail::izzo_nan_record(tof, settings.retrograde));
        return out;
    }
    out.reserve(2 * p.revs + 1);
    auto push = [&out](const LambertSolution& s) { out.push_back(s); };
    detail::izzo_emit(p, r1, tof, settings, push);
    return out;
}

}  // namespace orbelin
