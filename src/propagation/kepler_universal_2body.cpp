// Universal-variable Kepler propagation (Vallado, "Fundamentals of Astrodynamics and Applications", Algorithm 8,
// KEPLER): Newton iteration on the universal anomaly chi (km^0.5) with the Stumpff functions c2 and c3, then the
// Lagrange f and g coefficients.
//
// Vallado's Newton iteration from his initial guesses is the first stage. It can wander: on very eccentric orbits
// over long intervals, and whenever the near-parabolic guess (|alpha| < 1e-6 in 1/km, which every heliocentric
// orbit meets) lands far from the answer, 50 steps are not enough. A case that has not converged then is finished
// by a safeguarded Newton-bisection on the same time equation, which always converges: the time equation
// F(chi) = chi^3 c3 + sigma0 chi^2 c2 + |r0| chi (1 - psi c3) - sqrt(mu) dt has the derivative dF/dchi = r >= 0,
// the current radius, so it is monotonic and has exactly one root.

#include "propagation/kepler_universal_2body.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/constants.hpp"
#include "common/sin_cos.hpp"

namespace orbelin {

namespace {

// Below this |alpha| (1/km) the orbit is treated as parabolic for the initial guess.
constexpr double parabolic_alpha = 1e-6;
// Below this |psi| the closed forms of c2 and c3 lose more than about two digits to cancellation (the error of
// c3 grows as 6 eps / psi); the Maclaurin series is used instead.
constexpr double stumpff_series_psi = 0.1;
constexpr int series_terms = 8;
constexpr double chi_tolerance = 1e-8;
constexpr int max_iterations = 50;
// Bisection halves the bracket each step: from any finite bracket the double grid is exhausted long before this.
constexpr int max_safeguarded_steps = 4200;

// Barker's equation solved as if r0 were at periapsis (Vallado's parabolic guess); p is the semi-latus rectum.
double parabolic_guess(const Vec3& r0, const Vec3& v0, double dt, double mu) noexcept {
    const Vec3 h = cross(r0, v0);
    const double p = dot(h, h) / mu;
    const double s = 0.5 * std::atan(1.0 / (3.0 * std::sqrt(mu / (p * p * p)) * dt));
    // A real power (tan s)^(1/3) is NaN for dt < 0, where tan s < 0; the odd cube root keeps the sign of dt and the
    // guess becomes the mirror image of the forward one, from which the iteration converges backwards in time.
    const double w = std::atan(std::cbrt(std::tan(s)));
    return 2.0 * std::sqrt(p) / std::tan(2.0 * w);
}

// Hyperbolic guess of Vallado's Algorithm 8, signed with dt so backward propagation starts on the incoming branch.
double hyperbolic_guess(const Vec3& r0, const Vec3& v0, double r0_norm, double alpha, double dt, double mu) noexcept {
    const double a = 1.0 / alpha;
    const double sgn = std::isnan(dt) ? dt : (std::signbit(dt) ? -1.0 : 1.0);
    return sgn * std::sqrt(-a) *
           std::log((-2.0 * mu * alpha * dt) / (dot(r0, v0) + sgn * std::sqrt(-mu * a) * (1.0 - r0_norm * alpha)));
}

// The terms of the universal-variable formulas at chi: chi^2, psi = alpha chi^2, the Stumpff functions and the
// radius r (km), which is also dF/dchi.
struct UniversalTerms {
    double chi2;
    double psi;
    double c2;
    double c3;
    double r;
};

// The radius r (km) at chi, from chi^2, psi and the Stumpff functions there; V is a double or a vector of them.
template <class V>
inline V universal_radius(V chi, V chi2, V psi, V c2, V c3, V sigma0, V r0_norm) noexcept {
    return chi2 * c2 + sigma0 * chi * (1.0 - psi * c3) + r0_norm * (1.0 - psi * c2);
}

// The Newton step of the time equation at chi, whose derivative there is r.
template <class V>
inline V newton_step_at(V chi, V chi2, V psi, V c2, V c3, V sigma0, V r0_norm, V sqrt_mu_dt, V r) noexcept {
    return (sqrt_mu_dt - chi2 * chi * c3 - sigma0 * chi2 * c2 - r0_norm * chi * (1.0 - psi * c3)) / r;
}

// What the formulas need of the initial state: alpha = 1/a (1/km), sigma0 = r0.v0 / sqrt(mu), |r0| (km).
struct UniversalOrbit {
    double alpha;
    double sigma0;
    double r0_norm;

    UniversalTerms at(double chi) const noexcept {
        const double chi2 = chi * chi;
        const double psi = chi2 * alpha;
        const auto [c2, c3] = detail::stumpff_c2_c3(psi);
        return {chi2, psi, c2, c3, universal_radius(chi, chi2, psi, c2, c3, sigma0, r0_norm)};
    }
};

// The time equation of one propagation: F(chi) (km^1.5, sqrt(mu) times a time) and its derivative r (km).
struct TimeEquation {
    UniversalOrbit orbit;
    double sqrt_mu_dt;

    struct Value {
        double f;
        double r;
    };

    Value operator()(double chi) const noexcept {
        const auto [chi2, psi, c2, c3, r] = orbit.at(chi);
        const double f =
            chi2 * chi * c3 + orbit.sigma0 * chi2 * c2 + orbit.r0_norm * chi * (1.0 - psi * c3) - sqrt_mu_dt;
        return {f, r};
    }
};

// Second stage: Newton steps kept inside a bracket [lo, hi] of the root, bisection whenever a Newton step would
// leave it or would not shrink it fast enough (the rtsafe scheme, Press et al., Numerical Recipes, 9.4). `start`
// is where the first stage stopped (used when it lies in the bracket). Returns NaN when no bracket exists (the
// time equation overflows before changing sign).
double safeguarded_chi(const TimeEquation& eq, double dt, double start, double r0_norm, int& steps) noexcept {
    // F(0) = -sqrt(mu) dt, so the root lies on the side of 0 given by the sign of dt. Near 0, F grows at the rate
    // r0: the first trial end is the root of that line, then the end doubles until F changes sign.
    const double sgn = dt > 0.0 ? 1.0 : -1.0;
    double inner = 0.0;
    double outer = sgn * std::fmax(std::fabs(eq.sqrt_mu_dt) / r0_norm, chi_tolerance);
    for (;;) {
        const double f = eq(outer).f;
        if (std::isnan(f) || std::isinf(outer)) return nan;
        if (sgn * f >= 0.0) break;
        inner = outer;
        outer *= 2.0;
    }
    double lo = sgn > 0.0 ? inner : outer;  // F(lo) < 0
    double hi = sgn > 0.0 ? outer : inner;  // F(hi) >= 0

    double chi = start > lo && start < hi ? start : lo + 0.5 * (hi - lo);
    double last_step = hi - lo;
    double step = last_step;
    for (steps = 1; steps <= max_safeguarded_steps; ++steps) {
        const auto [f, r] = eq(chi);
        if (f == 0.0) return chi;
        if (f < 0.0) {
            lo = chi;
        } else {
            hi = chi;
        }
        const double newton = chi - f / r;
        // At the root to rounding, Newton's point is the bracket end just set: the closed bracket accepts it.
        const bool use_newton = newton >= lo && newton <= hi && std::fabs(2.0 * f) <= std::fabs(last_step * r);
        const double next = use_newton ? newton : lo + 0.5 * (hi - lo);
        last_step = step;
        step = next - chi;
        chi = next;
        // The tolerance of the first stage, or the end of the double grid (no representable point in between).
        if (!(std::fabs(step) > chi_tolerance) || chi == lo || chi == hi) {
            if (use_newton) return chi;
            // A bisection ended it: the root is within the tolerance of chi but no closer. One Newton step from
            // there, kept in the bracket, takes it to the accuracy a converged Newton iteration has.
            const auto [f_end, r_end] = eq(chi);
            const double polished = chi - f_end / r_end;
            return polished >= lo && polished <= hi ? polished : chi;
        }
    }
    return nan;
}

}  // namespace

detail::Stumpff detail::stumpff_c2_c3(double psi) noexcept {
    if (psi > stumpff_series_psi) {
        const double sq = std::sqrt(psi);
        const auto [sin_sq, cos_sq] = sin_cos(sq);
        return {(1.0 - cos_sq) / psi, (sq - sin_sq) / (sq * sq * sq)};
    }
    if (psi < -stumpff_series_psi) {
        const double sq = std::sqrt(-psi);
        return {(1.0 - std::cosh(sq)) / psi, (std::sinh(sq) - sq) / (sq * sq * sq)};
    }
    // c2 = sum (-psi)^k / (2k + 2)!, c3 = sum (-psi)^k / (2k + 3)!, k = 0 ... 7, by Horner's rule. For
    // |psi| <= 0.1 the terms shrink at least a hundredfold each; the eighth is below 1e-20 of the sum.
    const double x = -psi;
    double c2 = 0.0;
    double c3 = 0.0;
    for (int k = series_terms - 1; k >= 0; --k) {
        c2 = c2 * x + inverse_factorials[2 * k + 2];
        c3 = c3 * x + inverse_factorials[2 * k + 3];
    }
    return {c2, c3};
}

namespace {

// One propagation between its initial guess and its answer: the constants of its time equation and chi.
struct KeplerProblem {
    Vec3 r0, v0;
    double dt = 0.0;
    double sqrt_mu = 0.0;
    double r0_norm = 0.0;
    double sigma0 = 0.0;
    double alpha = 0.0;
    double sqrt_mu_dt = 0.0;
    double chi = 0.0;

    UniversalOrbit orbit() const noexcept { return {alpha, sigma0, r0_norm}; }
};

// The problem of (state, dt), or its answer in `done` when there is nothing to iterate: no time elapses (the
// input is the answer for every conic; iterating would not reproduce it exactly, and the hyperbolic guess would
// take ln(0) and return NaN), or the input is not finite.
bool kepler_prepare(const State& state, double dt, double mu, KeplerProblem& p, KeplerSolve& done) noexcept {
    if (dt == 0.0) {
        done = {state, 0, 0, true};
        return false;
    }
    p.sqrt_mu = std::sqrt(mu);
    p.r0 = position(state);
    p.v0 = velocity(state);
    p.dt = dt;
    p.r0_norm = norm(p.r0);
    const double v0_norm = norm(p.v0);

    bool finite = std::isfinite(dt) && std::isfinite(mu) && mu > 0.0 && p.r0_norm > 0.0;
    for (double x : state) finite = finite && std::isfinite(x);
    if (!finite) {
        done = {{nan, nan, nan, nan, nan, nan}, 0, 0, false};
        return false;
    }

    p.sigma0 = dot(p.r0, p.v0) / p.sqrt_mu;
    p.alpha = 2.0 / p.r0_norm - v0_norm * v0_norm / mu;  // 1/a, 1/km
    if (std::fabs(p.alpha) < parabolic_alpha) {
        p.chi = parabolic_guess(p.r0, p.v0, dt, mu);
    } else if (p.alpha > 0.0) {
        p.chi = p.sqrt_mu * dt * p.alpha;
    } else {
        p.chi = hyperbolic_guess(p.r0, p.v0, p.r0_norm, p.alpha, dt, mu);
    }
    p.sqrt_mu_dt = p.sqrt_mu * dt;
    return true;
}

// One Newton step of the first stage on p.chi; returns the step.
inline double kepler_newton_step(KeplerProblem& p) noexcept {
    const double chi = p.chi;
    const auto [chi2, psi, c2, c3, r] = p.orbit().at(chi);
    const double dchi = newton_step_at(chi, chi2, psi, c2, c3, p.sigma0, p.r0_norm, p.sqrt_mu_dt, r);
    p.chi = chi + dchi;
    return dchi;
}

// After the first stage: the bracketed second stage where it is needed.
void kepler_second_stage(KeplerProblem& p, KeplerSolve& out) noexcept {
    // Not converged, or a guess or step that left the reals (the logarithm of the hyperbolic guess can see a
    // negative argument): the answer exists, so the bracketed stage finds it.
    if (!out.converged || !std::isfinite(p.chi)) {
        const TimeEquation eq{p.orbit(), p.sqrt_mu_dt};
        p.chi = safeguarded_chi(eq, p.dt, p.chi, p.r0_norm, out.safeguarded_steps);
        out.converged = !std::isnan(p.chi);
    }
}

// The state from the final chi and the universal terms there (the Lagrange coefficients f, g, fdot, gdot).
State kepler_state(const KeplerProblem& p, const UniversalTerms& terms) noexcept {
    const double chi = p.chi;
    const auto [chi2, psi, c2, c3, r] = terms;
    const double f = 1.0 - chi2 * c2 / p.r0_norm;
    const double g = p.dt - chi2 * chi * c3 / p.sqrt_mu;
    const double fdot = p.sqrt_mu * chi * (psi * c3 - 1.0) / (r * p.r0_norm);
    const double gdot = 1.0 - chi2 * c2 / r;
    return make_state(f * p.r0 + g * p.v0, fdot * p.r0 + gdot * p.v0);
}

void kepler_finish(KeplerProblem& p, KeplerSolve& out) noexcept {
    kepler_second_stage(p, out);
    out.state = kepler_state(p, p.orbit().at(p.chi));
}

// Whether the first stage ends after a step dchi: converged (recorded in out) or a NaN step.
inline bool kepler_newton_stops(double dchi, KeplerSolve& out) noexcept {
    if (std::fabs(dchi) <= chi_tolerance) {
        out.converged = true;
        return true;
    }
    return std::isnan(dchi);
}

}  // namespace

KeplerSolve kepler_universal_2body_solve(const State& state, double dt, double mu) noexcept {
    KeplerProblem p;
    KeplerSolve out;
    if (!kepler_prepare(state, dt, mu, p, out)) return out;
    for (int i = 0; i < max_iterations; ++i) {
        const double dchi = kepler_newton_step(p);
        out.newton_steps = i + 1;
        if (kepler_newton_stops(dchi, out)) break;
    }
    kepler_finish(p, out);
    return out;
}

namespace {

// Two doubles in one SSE2 register, part of the baseline x86-64 instruction set (elsewhere GCC and Clang lower
// them to pairs of scalar operations). The lane code below is written over the vector type (V, with U its unsigned
// integers) and the lane count W: a translation unit compiled for AVX2 or AVX-512 can instantiate it on lanes::f64x4
// or lanes::f64x8 and give the same bits, since every lane takes the same IEEE operations.
using f64x2 = double __attribute__((vector_size(16)));
using u64x2 = std::uint64_t __attribute__((vector_size(16)));

template <class V>
V lanes_load(const double* p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
void lanes_store(double* p, V v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// c2[l], c3[l] = stumpff_c2_c3(psi[l]) for l = 0 .. W-1, bit for bit, computed on vectors V of doubles (U: unsigned
// 64-bit integers of the same shape) for the series band and the ellipse, the same operations in the same order; a
// lane that needs another path (a hyperbola, or an argument for which sin_cos leaves its common path) gets its
// values from stumpff_c2_c3 itself.
template <class V, class U, std::size_t W>
void stumpff_lanes(const double* psi, double* c2, double* c3) noexcept {
    constexpr std::size_t n = sizeof(V) / sizeof(double);
    static_assert(W % n == 0);
    using M = decltype(V{} < V{});
    bool other_lane[W];
    bool any_other = false;
    for (std::size_t j = 0; j < W; j += n) {
        const V p = lanes_load<V>(psi + j);
        // Only hyperbolas: all of them for stumpff_c2_c3, nothing to compute here.
        const M hyperbola = p < -stumpff_series_psi;
        bool all_hyperbolas = true;
        for (std::size_t i = 0; i < n; ++i) all_hyperbolas &= hyperbola[i] != 0;
        if (all_hyperbolas) {
            for (std::size_t i = 0; i < n; ++i) other_lane[j + i] = true;
            any_other = true;
            continue;
        }
        const V minus_p = -p;
        V series2 = V{};
        V series3 = V{};
        for (int k = series_terms - 1; k >= 0; --k) {
            series2 = series2 * minus_p + detail::inverse_factorials[2 * k + 2];
            series3 = series3 * minus_p + detail::inverse_factorials[2 * k + 3];
        }
        // The ellipse's closed forms; lanes of other kinds compute NaN here and are not selected.
        V sq;
        for (std::size_t i = 0; i < n; ++i) sq[i] = std::sqrt(p[i]);
        V sin_sq, cos_sq;
        M direct;
        sin_cos_lanes<V, U>(sq, sin_sq, cos_sq, direct);
        const V closed2 = (1.0 - cos_sq) / p;
        const V closed3 = (sq - sin_sq) / (sq * sq * sq);
        const M ellipse = p > stumpff_series_psi;
        const M other = (ellipse & ~direct) | hyperbola;
        lanes_store(c2 + j, ellipse ? closed2 : series2);
        lanes_store(c3 + j, ellipse ? closed3 : series3);
        for (std::size_t i = 0; i < n; ++i) {
            other_lane[j + i] = other[i] != 0;
            any_other |= other_lane[j + i];
        }
    }
    if (!any_other) return;
    for (std::size_t l = 0; l < W; ++l) {
        if (other_lane[l]) {
            const auto s = detail::stumpff_c2_c3(psi[l]);
            c2[l] = s.c2;
            c3[l] = s.c3;
        }
    }
}

// Propagations in flight at once, in structure-of-arrays form: lane l iterates one problem, and a lane whose
// problem has stopped takes the next one. Every lane takes the same Newton steps as kepler_universal_2body_solve,
// operation for operation in the same order (no fused multiply-adds), so each state is bit for bit its answer; the
// lanes' chains of dependent operations (a square root, a cosine or hyperbolic cosine, three divisions) overlap.
template <std::size_t W>
struct NewtonLanes {
    double chi[W];
    double alpha[W];
    double sigma0[W];
    double r0_norm[W];
    double sqrt_mu_dt[W];

    void load(std::size_t l, const KeplerProblem& p) noexcept {
        chi[l] = p.chi;
        alpha[l] = p.alpha;
        sigma0[l] = p.sigma0;
        r0_norm[l] = p.r0_norm;
        sqrt_mu_dt[l] = p.sqrt_mu_dt;
    }

    // One Newton step in every lane (the step of kepler_newton_step); dchi receives the steps.
    template <class V, class U>
    void step(double (&dchi)[W]) noexcept {
        constexpr std::size_t n = sizeof(V) / sizeof(double);
        double chi2[W], psi[W], c2[W], c3[W];
        for (std::size_t j = 0; j < W; j += n) {
            const V x = lanes_load<V>(chi + j);
            const V x2 = x * x;
            lanes_store(chi2 + j, x2);
            lanes_store(psi + j, x2 * lanes_load<V>(alpha + j));
        }
        stumpff_lanes<V, U, W>(psi, c2, c3);
        for (std::size_t j = 0; j < W; j += n) {
            const V x = lanes_load<V>(chi + j);
            const V x2 = lanes_load<V>(chi2 + j);
            const V p = lanes_load<V>(psi + j);
            const V s2 = lanes_load<V>(c2 + j);
            const V s3 = lanes_load<V>(c3 + j);
            const V sg = lanes_load<V>(sigma0 + j);
            const V rn = lanes_load<V>(r0_norm + j);
            const V r = universal_radius(x, x2, p, s2, s3, sg, rn);
            const V d = newton_step_at(x, x2, p, s2, s3, sg, rn, lanes_load<V>(sqrt_mu_dt + j), r);
            lanes_store(dchi + j, d);
            lanes_store(chi + j, x + d);
        }
    }
};

}  // namespace

void kepler_universal_2body_many(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept {
    // Eight lanes (four vectors of two) keep enough independent chains in flight to hide the latency of a step;
    // problems are prepared and finished a run at a time, so that lanes seldom idle at the end of a run.
    constexpr std::size_t W = 8;
    constexpr std::size_t run = 256;
    KeplerProblem p[run];
    KeplerSolve solve[run];
    for (std::size_t first = 0; first < n; first += run) {
        const std::size_t count = std::min(run, n - first);
        std::size_t pending[run];
        std::size_t waiting = 0;
        for (std::size_t k = 0; k < count; ++k) {
            solve[k] = KeplerSolve{};
            if (kepler_prepare(states[first + k], dt[first + k], mu, p[k], solve[k])) pending[waiting++] = k;
        }
        // Idle lanes iterate a harmless copy of a real problem and are never read.
        NewtonLanes<W> lanes{};
        std::size_t lane[W];
        bool busy[W];
        std::size_t live = 0;
        std::size_t next = 0;
        for (std::size_t l = 0; l < W; ++l) {
            busy[l] = next < waiting;
            if (busy[l]) {
                lane[l] = pending[next++];
                ++live;
            } else {
                lane[l] = waiting > 0 ? pending[0] : 0;
            }
            lanes.load(l, p[lane[l]]);
        }
        while (live > 0) {
            double dchi[W];
            lanes.template step<f64x2, u64x2>(dchi);
            for (std::size_t l = 0; l < W; ++l) {
                if (!busy[l]) continue;
                const std::size_t k = lane[l];
                const int steps = ++solve[k].newton_steps;
                if (!kepler_newton_stops(dchi[l], solve[k]) && steps < max_iterations) continue;
                p[k].chi = lanes.chi[l];
                if (next < waiting) {
                    lane[l] = pending[next++];
                    lanes.load(l, p[lane[l]]);
                } else {
                    busy[l] = false;
                    --live;
                }
            }
        }
        for (std::size_t w = 0; w < waiting; ++w) kepler_second_stage(p[pending[w]], solve[pending[w]]);
        // The final terms W at a time, as the Newton steps take them (the lanes past the end repeat the last).
        for (std::size_t w0 = 0; w0 < waiting; w0 += W) {
            const std::size_t m = std::min(W, waiting - w0);
            double chi2[W], psi[W], c2[W], c3[W];
            for (std::size_t l = 0; l < W; ++l) {
                const KeplerProblem& q = p[pending[w0 + std::min(l, m - 1)]];
                chi2[l] = q.chi * q.chi;
                psi[l] = chi2[l] * q.alpha;
            }
            stumpff_lanes<f64x2, u64x2, W>(psi, c2, c3);
            for (std::size_t l = 0; l < m; ++l) {
                const std::size_t k = pending[w0 + l];
                const KeplerProblem& q = p[k];
                const double r = universal_radius(q.chi, chi2[l], psi[l], c2[l], c3[l], q.sigma0, q.r0_norm);
                solve[k].state = kepler_state(q, {chi2[l], psi[l], c2[l], c3[l], r});
            }
        }
        for (std::size_t k = 0; k < count; ++k) out[first + k] = solve[k].state;
    }
}

}  // namespace orbelin
