// Universal-variable Kepler propagation: a published case, closed-form conic motion, time reversal and the
// two-body integrals.

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "common/constants.hpp"
#include "common/system_resources.hpp"
#include "common/vec3.hpp"
#include "propagation/kepler_universal_2body.hpp"

namespace {

using orbelin::State;
using orbelin::Vec3;

constexpr double mu = 398600.4418;

bool near(double a, double b, double rel, double abs) { return check::close(a, b, rel, abs); }

bool states_close(const State& a, const State& b, double pos_abs, double vel_abs) {
    bool ok = true;
    for (int i = 0; i < 3; ++i) ok = ok && near(a[i], b[i], 0.0, pos_abs);
    for (int i = 3; i < 6; ++i) ok = ok && near(a[i], b[i], 0.0, vel_abs);
    return ok;
}

bool all_finite(const State& s) {
    for (double x : s)
        if (!std::isfinite(x)) return false;
    return true;
}

State reversed(const State& s) { return {s[0], s[1], s[2], -s[3], -s[4], -s[5]}; }

double energy(const State& s) {
    const Vec3 v = orbelin::velocity(s);
    return 0.5 * orbelin::dot(v, v) - mu / orbelin::norm(orbelin::position(s));
}

Vec3 angular_momentum(const State& s) { return orbelin::cross(orbelin::position(s), orbelin::velocity(s)); }

double inverse_sma(const State& s) { return -2.0 * energy(s) / mu; }

// A state at 7000 km moving at exactly the local escape speed, 30 deg off the horizontal: |alpha| is at rounding
// level, far below the parabolic threshold.
State near_parabolic_state() {
    const double r = 7000.0;
    const double v = std::sqrt(2.0 * mu / r);
    const double gamma = 30.0 * orbelin::deg2rad;
    return {r, 0.0, 0.0, v * std::sin(gamma), v * std::cos(gamma) * 0.8, v * std::cos(gamma) * 0.6};
}

// Elliptic and hyperbolic states of moderate shape.
const State elliptic_state = {1131.340, -2282.343, 6672.423, -5.64305, 4.30333, 2.42879};
const State hyperbolic_state = {-6045.0, -3490.0, 2500.0, -3.457, 9.5, 4.5};

}  // namespace

TEST_CASE("kepler: Vallado's KEPLER example, 40 minutes") {
    const State out = orbelin::kepler_universal_2body(elliptic_state, 40.0 * 60.0);
    // Published to 4 decimals in km and 6 decimals in km/s.
    CHECK(near(out[0], -4219.7527, 0.0, 0.5e-4));
    CHECK(near(out[1], 4363.0292, 0.0, 0.5e-4));
    CHECK(near(out[2], -3958.7666, 0.0, 0.5e-4));
    CHECK(near(out[3], 3.689866, 0.0, 0.5e-6));
    CHECK(near(out[4], -1.916735, 0.0, 0.5e-6));
    CHECK(near(out[5], -6.112511, 0.0, 0.5e-6));
}

TEST_CASE("kepler: circular orbit at 7000 km after a half and a whole period") {
    const double r = 7000.0;
    const double v = std::sqrt(mu / r);
    const double inc = 51.6 * orbelin::deg2rad;
    const State start = {r, 0.0, 0.0, 0.0, v * std::cos(inc), v * std::sin(inc)};
    const double period = orbelin::two_pi * std::sqrt(r * r * r / mu);

    const State half = orbelin::kepler_universal_2body(start, 0.5 * period);
    CHECK(states_close(half, {-r, 0.0, 0.0, 0.0, -v * std::cos(inc), -v * std::sin(inc)}, 1e-6, 1e-9));

    const State full = orbelin::kepler_universal_2body(start, period);
    CHECK(states_close(full, start, 1e-6, 1e-9));

    const State back = orbelin::kepler_universal_2body(start, -period);
    CHECK(states_close(back, start, 1e-6, 1e-9));
}

TEST_CASE("kepler: ellipse from periapsis matches Kepler's equation, both directions, several revolutions") {
    const double a = 20000.0;
    const double e = 0.7;
    const double rp = a * (1.0 - e);
    const double vp = std::sqrt(mu / a * (1.0 + e) / (1.0 - e));
    const State start = {rp, 0.0, 0.0, 0.0, vp, 0.0};
    const double mean_motion = std::sqrt(mu / (a * a * a));
    const double b = a * std::sqrt(1.0 - e * e);

    for (double dt : {600.0, -600.0, 7300.0, -7300.0, 95000.0, -95000.0}) {
        const double m = mean_motion * dt;
        double ecc_anom = m + e * std::sin(m);
        for (int i = 0; i < 100; ++i)
            ecc_anom -= (ecc_anom - e * std::sin(ecc_anom) - m) / (1.0 - e * std::cos(ecc_anom));
        const double x = a * (std::cos(ecc_anom) - e);
        const double y = b * std::sin(ecc_anom);
        const double edot = mean_motion / (1.0 - e * std::cos(ecc_anom));
        const State out = orbelin::kepler_universal_2body(start, dt);
        CHECK(near(out[0], x, 1e-9, 1e-6));
        CHECK(near(out[1], y, 1e-9, 1e-6));
        CHECK(out[2] == 0.0);
        CHECK(near(out[3], -a * std::sin(ecc_anom) * edot, 1e-9, 1e-9));
        CHECK(near(out[4], b * std::cos(ecc_anom) * edot, 1e-9, 1e-9));
    }
}

TEST_CASE("kepler: hyperbola from periapsis matches the hyperbolic Kepler equation, both directions") {
    const double a = -15000.0;  // km, negative on a hyperbola
    const double e = 1.5;
    const double rp = a * (1.0 - e);
    const double vp = std::sqrt(mu * (2.0 / rp - 1.0 / a));
    const State start = {rp, 0.0, 0.0, 0.0, vp, 0.0};
    const double mean_motion = std::sqrt(mu / (-a * a * a));
    const double b = -a * std::sqrt(e * e - 1.0);

    for (double dt : {300.0, -300.0, 5000.0, -5000.0, 40000.0, -40000.0}) {
        const double m = mean_motion * dt;
        double h = std::asinh(m / e);
        for (int i = 0; i < 100; ++i) h -= (e * std::sinh(h) - h - m) / (e * std::cosh(h) - 1.0);
        const double x = -a * (e - std::cosh(h));
        const double y = b * std::sinh(h);
        const double hdot = mean_motion / (e * std::cosh(h) - 1.0);
        const State out = orbelin::kepler_universal_2body(start, dt);
        CHECK(near(out[0], x, 1e-9, 1e-6));
        CHECK(near(out[1], y, 1e-9, 1e-6));
        CHECK(near(out[3], a * std::sinh(h) * hdot, 1e-9, 1e-9));
        CHECK(near(out[4], b * std::cosh(h) * hdot, 1e-9, 1e-9));
    }
}

TEST_CASE("kepler: parabola from periapsis matches Barker's equation, forwards and backwards") {
    const double q = 7000.0;
    const double p = 2.0 * q;
    const State start = {q, 0.0, 0.0, 0.0, std::sqrt(2.0 * mu / q), 0.0};
    CHECK(std::fabs(inverse_sma(start)) < 1e-6);

    for (double dt : {120.0, -120.0, 3600.0, -3600.0, 86400.0, -86400.0}) {
        // Barker: dt = 0.5 sqrt(p^3/mu) (D + D^3/3), D = tan(nu/2); solved here by Cardano's formula.
        const double k = 6.0 * dt / std::sqrt(p * p * p / mu);
        const double s = std::sqrt(k * k / 4.0 + 1.0);
        const double d = std::cbrt(k / 2.0 + s) + std::cbrt(k / 2.0 - s);
        const double nu = 2.0 * std::atan(d);
        const double r = p / (1.0 + std::cos(nu));
        const double vr = std::sqrt(mu / p) * std::sin(nu);
        const double vt = std::sqrt(mu / p) * (1.0 + std::cos(nu));
        const State out = orbelin::kepler_universal_2body(start, dt);
        CHECK(near(out[0], r * std::cos(nu), 1e-9, 1e-6));
        CHECK(near(out[1], r * std::sin(nu), 1e-9, 1e-6));
        CHECK(near(out[3], vr * std::cos(nu) - vt * std::sin(nu), 1e-9, 1e-9));
        CHECK(near(out[4], vr * std::sin(nu) + vt * std::cos(nu), 1e-9, 1e-9));
    }
}

TEST_CASE("kepler: forwards then backwards returns to the start on every conic") {
    const State near_parabolic = near_parabolic_state();
    CHECK(inverse_sma(elliptic_state) > 1e-6);
    CHECK(inverse_sma(hyperbolic_state) < -1e-6);
    CHECK(std::fabs(inverse_sma(near_parabolic)) < 1e-6);

    for (const State& s : {elliptic_state, hyperbolic_state, near_parabolic}) {
        for (double dt : {90.0, 3600.0, 20000.0}) {
            const State there = orbelin::kepler_universal_2body(s, dt);
            const State back = orbelin::kepler_universal_2body(there, -dt);
            CHECK(all_finite(there));
            CHECK(states_close(back, s, 1e-6, 1e-9));
            // And the other way round: backwards first.
            const State before = orbelin::kepler_universal_2body(s, -dt);
            const State again = orbelin::kepler_universal_2body(before, dt);
            CHECK(all_finite(before));
            CHECK(states_close(again, s, 1e-6, 1e-9));
        }
    }
}

TEST_CASE("kepler: backwards in time equals forwards with the velocity reversed") {
    // Two-body motion is time-reversible: x(-t; r, v) = x(t; r, -v) with the velocity negated.
    for (const State& s : {elliptic_state, hyperbolic_state, near_parabolic_state()}) {
        for (double dt : {500.0, 4000.0, 30000.0}) {
            const State back = orbelin::kepler_universal_2body(s, -dt);
            const State mirrored = reversed(orbelin::kepler_universal_2body(reversed(s), dt));
            CHECK(all_finite(back));
            CHECK(states_close(back, mirrored, 1e-6, 1e-9));
        }
    }
}

TEST_CASE("kepler: dt = 0 returns the input state exactly") {
    for (const State& s : {elliptic_state, hyperbolic_state, near_parabolic_state()}) {
        CHECK(orbelin::kepler_universal_2body(s, 0.0) == s);
        CHECK(orbelin::kepler_universal_2body(s, -0.0) == s);
    }
}

TEST_CASE("kepler: NaN in gives NaN out") {
    const State out = orbelin::kepler_universal_2body(elliptic_state, orbelin::nan);
    for (double x : out) CHECK(std::isnan(x));
    State bad = elliptic_state;
    bad[4] = orbelin::nan;
    const State out2 = orbelin::kepler_universal_2body(bad, 100.0);
    for (double x : out2) CHECK(std::isnan(x));
}

TEST_CASE("kepler: energy and angular momentum are conserved over random propagations") {
    std::mt19937_64 rng(20240611u);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto direction = [&] {
        const double z = 2.0 * unit(rng) - 1.0;
        const double phi = orbelin::two_pi * unit(rng);
        const double s = std::sqrt(1.0 - z * z);
        return Vec3{s * std::cos(phi), s * std::sin(phi), z};
    };

    int counts[3] = {0, 0, 0};  // ellipses, hyperbolas, near-parabolas
    for (int k = 0; k < 3000; ++k) {
        const double r = 6600.0 + 40000.0 * unit(rng);
        const Vec3 rhat = direction();
        // Flight-path direction kept away from purely radial (h = 0) motion.
        Vec3 t = orbelin::cross(rhat, direction());
        t = t / orbelin::norm(t);
        const double gamma = (-70.0 + 140.0 * unit(rng)) * orbelin::deg2rad;
        const Vec3 vhat = std::sin(gamma) * rhat + std::cos(gamma) * t;
        const double v_esc = std::sqrt(2.0 * mu / r);
        // One case in six sits within the parabolic band |alpha| < 1e-6.
        const double speed = (k % 6 == 0) ? std::sqrt(v_esc * v_esc - mu * (2.0 * unit(rng) - 1.0) * 9e-7)
                                          : v_esc * (0.4 + 1.0 * unit(rng));
        const State s = orbelin::make_state(r * rhat, speed * vhat);
        const double dt = (2.0 * unit(rng) - 1.0) * 40000.0;

        const double alpha = inverse_sma(s);
        ++counts[std::fabs(alpha) < 1e-6 ? 2 : (alpha > 0.0 ? 0 : 1)];

        const State out = orbelin::kepler_universal_2body(s, dt);
        CHECK(all_finite(out));
        const double scale = mu / r;  // energy scale, km^2/s^2
        const double de = std::fabs(energy(out) - energy(s)) / scale;
        const Vec3 h0 = angular_momentum(s);
        const double dh = orbelin::norm(angular_momentum(out) - h0) / orbelin::norm(h0);
        CHECK(de <= 1e-9);
        CHECK(dh <= 1e-9);
    }
    CHECK(counts[0] > 500);
    CHECK(counts[1] > 500);
    CHECK(counts[2] > 300);
}

// ---- Convergence on hard cases, against the classical anomalies solved in long double -------------------------

namespace {

constexpr double mu_sun = 1.32712440018e11;  // km^3/s^2

// Two-body state after dt from the eccentric (hyperbolic) anomaly: Kepler's equation solved by bisection in long
// double, a route that shares nothing with the universal variable but the physics.
State reference_propagation(const State& s, double dt_in, double mu_in) {
    using ld = long double;
    const ld mu_l = mu_in;
    const ld dt = dt_in;
    const ld r0[3] = {s[0], s[1], s[2]};
    const ld v0[3] = {s[3], s[4], s[5]};
    const ld rn = std::sqrt(r0[0] * r0[0] + r0[1] * r0[1] + r0[2] * r0[2]);
    const ld vv = v0[0] * v0[0] + v0[1] * v0[1] + v0[2] * v0[2];
    const ld rv = r0[0] * v0[0] + r0[1] * v0[1] + r0[2] * v0[2];
    const ld a = 1.0L / (2.0L / rn - vv / mu_l);
    // Monotonic in x: bisection between brackets found by doubling.
    auto solve = [](auto&& g) {
        ld lo = -1.0L;
        ld hi = 1.0L;
        while (g(lo) > 0.0L) lo *= 2.0L;
        while (g(hi) < 0.0L) hi *= 2.0L;
        for (int i = 0; i < 400; ++i) {
            const ld mid = 0.5L * (lo + hi);
            (g(mid) < 0.0L ? lo : hi) = mid;
        }
        return 0.5L * (lo + hi);
    };
    ld f, g, fd, gd;
    if (a > 0.0L) {
        const ld ecos = 1.0L - rn / a;
        const ld esin = rv / std::sqrt(mu_l * a);
        const ld e = std::sqrt(ecos * ecos + esin * esin);
        const ld e0 = std::atan2(esin, ecos);
        const ld m = std::sqrt(mu_l / (a * a * a)) * dt;  // mean anomaly advanced, relative to e0
        // Solve for dE: (e0 + dE) - e sin(e0 + dE) - (e0 - e sin e0) = m.
        const ld de = solve([&](ld x) { return x - e * (std::sin(e0 + x) - std::sin(e0)) - m; });
        const ld r = a * (1.0L - e * std::cos(e0 + de));
        f = 1.0L - a / rn * (1.0L - std::cos(de));
        g = dt - std::sqrt(a * a * a / mu_l) * (de - std::sin(de));
        fd = -std::sqrt(mu_l * a) * std::sin(de) / (r * rn);
        gd = 1.0L - a / r * (1.0L - std::cos(de));
    } else {
        const ld ecosh = 1.0L - rn / a;
        const ld esinh = rv / std::sqrt(-mu_l * a);
        const ld e = std::sqrt(ecosh * ecosh - esinh * esinh);
        const ld h0 = std::asinh(esinh / e);
        const ld m = std::sqrt(mu_l / (-a * a * a)) * dt;
        const ld dh = solve([&](ld x) { return e * (std::sinh(h0 + x) - std::sinh(h0)) - x - m; });
        const ld r = a * (1.0L - e * std::cosh(h0 + dh));
        f = 1.0L - a / rn * (1.0L - std::cosh(dh));
        g = dt - std::sqrt(-a * a * a / mu_l) * (std::sinh(dh) - dh);
        fd = -std::sqrt(-mu_l * a) * std::sinh(dh) / (r * rn);
        gd = 1.0L - a / r * (1.0L - std::cosh(dh));
    }
    State out;
    for (int i = 0; i < 3; ++i) {
        out[i] = static_cast<double>(f * r0[i] + g * v0[i]);
        out[i + 3] = static_cast<double>(fd * r0[i] + gd * v0[i]);
    }
    return out;
}

// A state of the conic (periapsis rp, eccentricity e) at true anomaly nu, in a random orientation.
State random_conic_state(std::mt19937_64& rng, double rp, double e, double mu_body) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double nu_limit = e < 1.0 ? orbelin::pi : 0.95 * std::acos(-1.0 / e);
    const double nu = (2.0 * unit(rng) - 1.0) * nu_limit;
    const double p = rp * (1.0 + e);
    const double r = p / (1.0 + e * std::cos(nu));
    const double vs = std::sqrt(mu_body / p);
    const double inc = orbelin::pi * unit(rng);
    const double raan = orbelin::two_pi * unit(rng);
    const double argp = orbelin::two_pi * unit(rng);
    // Perifocal (P, Q) axes rotated by argp, inc, raan.
    const double co = std::cos(raan), so = std::sin(raan), ci = std::cos(inc), si = std::sin(inc);
    const double cw = std::cos(argp), sw = std::sin(argp);
    const Vec3 P{co * cw - so * sw * ci, so * cw + co * sw * ci, sw * si};
    const Vec3 Q{-co * sw - so * cw * ci, -so * sw + co * cw * ci, cw * si};
    const Vec3 pos = r * std::cos(nu) * P + r * std::sin(nu) * Q;
    const Vec3 vel = -vs * std::sin(nu) * P + vs * (e + std::cos(nu)) * Q;
    return orbelin::make_state(pos, vel);
}

// Largest error of position and velocity, each relative to the reference's magnitude.
double relative_state_error(const State& got, const State& want) {
    const Vec3 dr = orbelin::position(got) - orbelin::position(want);
    const Vec3 dv = orbelin::velocity(got) - orbelin::velocity(want);
    const double er = orbelin::norm(dr) / orbelin::norm(orbelin::position(want));
    const double ev = orbelin::norm(dv) / orbelin::norm(orbelin::velocity(want));
    return std::isnan(er) || std::isnan(ev) ? orbelin::inf : std::fmax(er, ev);
}

struct HardCaseStats {
    int cases = 0;
    int second_stage = 0;
    double worst = 0.0;
};

// Propagates `count` random states of eccentricity in [e_lo, e_hi] by up to `periods` periods (a time scale of the
// periapsis for hyperbolas) and compares them with the reference.
HardCaseStats run_hard_cases(std::uint64_t seed, int count, double mu_body, double rp_lo, double rp_hi, double e_lo,
                             double e_hi, double periods) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    HardCaseStats stats;
    for (int k = 0; k < count; ++k) {
        const double rp = rp_lo + (rp_hi - rp_lo) * unit(rng);
        const double e = e_lo + (e_hi - e_lo) * unit(rng);
        const State s = random_conic_state(rng, rp, e, mu_body);
        const double a = std::fabs(rp / (1.0 - e));
        const double period = orbelin::two_pi * std::sqrt(a * a * a / mu_body);
        const double dt = (2.0 * unit(rng) - 1.0) * periods * period;
        const orbelin::KeplerSolve out = orbelin::kepler_universal_2body_solve(s, dt, mu_body);
        CHECK(out.converged);
        stats.second_stage += out.safeguarded_steps > 0 ? 1 : 0;
        stats.worst = std::fmax(stats.worst, relative_state_error(out.state, reference_propagation(s, dt, mu_body)));
        ++stats.cases;
    }
    return stats;
}

}  // namespace

TEST_CASE("kepler: heliocentric orbits of eccentricity 0.9 to 0.99 converge and match Kepler's equation") {
    // Every heliocentric alpha is below the 1e-6 / km near-parabolic threshold, so these all start from the
    // parabolic guess; dozens of them are beyond 50 Newton steps from it.
    const HardCaseStats stats = run_hard_cases(101, 1000, mu_sun, 0.3 * 1.496e8, 1.5 * 1.496e8, 0.9, 0.99, 3.0);
    std::printf("kepler heliocentric e 0.9-0.99: %d cases, %d finished by the second stage, worst error %.2e\n",
                stats.cases, stats.second_stage, stats.worst);
    CHECK(stats.second_stage >= 10);
    CHECK(stats.worst < 1e-9);
}

TEST_CASE("kepler: Earth orbits of eccentricity up to 0.999 dipping to low periapsis, over long intervals") {
    const HardCaseStats stats = run_hard_cases(202, 1000, mu, 6600.0, 7200.0, 0.9, 0.999, 20.0);
    std::printf("kepler Earth e 0.9-0.999: %d cases, %d finished by the second stage, worst error %.2e\n", stats.cases,
                stats.second_stage, stats.worst);
    CHECK(stats.second_stage >= 1);
    CHECK(stats.worst < 1e-8);
}

TEST_CASE("kepler: hyperbolic states about the Earth and the Sun, both directions") {
    const HardCaseStats earth = run_hard_cases(303, 500, mu, 6600.0, 50000.0, 1.0001, 4.0, 30.0);
    const HardCaseStats sun = run_hard_cases(404, 500, mu_sun, 0.3 * 1.496e8, 3.0 * 1.496e8, 1.0001, 4.0, 30.0);
    std::printf("kepler hyperbolic: Earth worst %.2e (%d second stage), Sun worst %.2e (%d second stage)\n",
                earth.worst, earth.second_stage, sun.worst, sun.second_stage);
    CHECK(earth.worst < 1e-9);
    CHECK(sun.worst < 1e-9);
}

TEST_CASE("kepler: no answer without a position, a finite state, interval and mu") {
    const State zero_position = {0.0, 0.0, 0.0, 1.0, 2.0, 3.0};
    State infinite = elliptic_state;
    infinite[1] = orbelin::inf;
    const struct {
        State s;
        double dt;
        double mu;
    } cases[] = {
        {zero_position, 100.0, mu},   {infinite, 100.0, mu},        {elliptic_state, orbelin::inf, mu},
        {elliptic_state, 100.0, 0.0}, {elliptic_state, 100.0, -mu}, {elliptic_state, 100.0, orbelin::nan},
    };
    for (const auto& c : cases) {
        const orbelin::KeplerSolve out = orbelin::kepler_universal_2body_solve(c.s, c.dt, c.mu);
        CHECK(!out.converged);
        for (double x : out.state) CHECK(std::isnan(x));
    }
}

TEST_CASE("kepler: Stumpff functions near psi = 0 agree with their series to rounding") {
    // Reference: the Maclaurin series summed in long double to 20 terms.
    auto reference = [](double psi) {
        long double c2 = 0.0L, c3 = 0.0L, term2 = 0.5L, term3 = 1.0L / 6.0L;
        for (int k = 0; k < 20; ++k) {
            c2 += term2;
            c3 += term3;
            term2 *= -static_cast<long double>(psi) / ((2 * k + 3) * (2 * k + 4));
            term3 *= -static_cast<long double>(psi) / ((2 * k + 4) * (2 * k + 5));
        }
        return std::pair<long double, long double>{c2, c3};
    };
    double worst = 0.0;
    for (double psi : {0.0, 1e-12, -1e-12, 9.9e-7, 1.01e-6, -1.01e-6, 3e-6, 1e-4, -1e-4, 0.01, -0.01, 0.0999, 0.1001,
                       -0.0999, -0.1001, 0.5, -0.5, 1.0, -1.0}) {
        const auto [c2, c3] = orbelin::detail::stumpff_c2_c3(psi);
        const auto [r2, r3] = reference(psi);
        worst = std::fmax(worst, static_cast<double>(std::fabs((c2 - r2) / r2)));
        worst = std::fmax(worst, static_cast<double>(std::fabs((c3 - r3) / r3)));
    }
    // The closed forms just above the series band lose about 6 eps / |psi| to cancellation.
    CHECK(worst < 1e-14);
}

TEST_CASE("kepler: the second stage ends as accurate as a converged Newton iteration") {
    // An Earth ellipse (a = 320,000 km, e = 0.985) over 20 hours that 50 Newton steps leave unconverged. Its answer
    // is well conditioned (an ulp of the input moves it by 1e-15), so a bracket closed only to the 1e-8 tolerance
    // of chi would show here as an error near 1e-10.
    const State s = {27255.92831445456,   -7266.210972799966, 25719.769573547033,
                     -4.0493566523373055, 0.8546494434073563, -1.5853593568064095};
    const double dt = 72767.09195153209;
    const orbelin::KeplerSolve out = orbelin::kepler_universal_2body_solve(s, dt);
    CHECK(out.newton_steps == 50);
    CHECK(out.safeguarded_steps > 0);
    CHECK(out.converged);
    CHECK(relative_state_error(out.state, reference_propagation(s, dt, mu)) < 1e-13);
}

TEST_CASE("kepler: propagations iterated together give each state the bits of its own propagation") {
    // Ellipses, hyperbolas, near-parabolas, long intervals that need the bracketed stage, dt = 0, NaN and infinite
    // states and a position at the origin, in counts that do and do not fill a run of lanes, through each kernel
    // this machine runs; the longest intervals take chi through the sines and cosines that leave the common path
    // of sin_cos. A gravitational parameter that is not positive leaves nothing to iterate.
    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (const auto isa :
         {orbelin::InstructionSet::portable, orbelin::InstructionSet::avx2, orbelin::InstructionSet::avx512}) {
        if (!orbelin::instruction_set_supported(isa)) continue;
        orbelin::use_kepler_kernels(isa);
        for (const std::size_t n : {std::size_t{1}, std::size_t{5}, std::size_t{97}, std::size_t{3000}}) {
            std::vector<State> states(n), out(n);
            std::vector<double> dt(n);
            for (std::size_t k = 0; k < n; ++k) {
                const double v_esc = std::sqrt(2.0 * mu / 7000.0);
                const double speed = k % 7 == 0 ? v_esc : v_esc * (0.5 + 0.45 * unit(rng) + 0.5);
                states[k] = {7000.0, 100.0 * unit(rng), 300.0 * unit(rng), 0.2 * unit(rng), speed, 0.3 * unit(rng)};
                dt[k] = (k % 11 == 0 ? 4e7 : 4e4) * unit(rng);
                if (k % 13 == 5) dt[k] = 0.0;
                if (k % 17 == 9) states[k][2] = orbelin::nan;
                if (k % 19 == 3) states[k][4] = k % 2 == 0 ? orbelin::inf : -orbelin::inf;
                if (k % 23 == 4) states[k][0] = states[k][1] = 0.0;
            }
            for (const double m : {mu, 1.0, 0.0}) {
                orbelin::kepler_universal_2body_many(states.data(), dt.data(), out.data(), n, m);
                for (std::size_t k = 0; k < n; ++k) {
                    const State alone = orbelin::kepler_universal_2body(states[k], dt[k], m);
                    for (std::size_t c = 0; c < 6; ++c) {
                        CHECK(std::bit_cast<std::uint64_t>(out[k][c]) == std::bit_cast<std::uint64_t>(alone[c]) ||
                              (std::isnan(out[k][c]) && std::isnan(alone[c])));
                    }
                }
            }
        }
    }
    orbelin::use_kepler_kernels(orbelin::InstructionSet::portable);
}
