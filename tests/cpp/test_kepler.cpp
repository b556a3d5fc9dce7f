// Universal-variable Kepler propagation: a published case, closed-form conic motion, time reversal and the
// two-body integrals.

#include <cmath>
#include <random>

#include "check.hpp"
#include "common/constants.hpp"
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
