// Classical orbital elements: rv2coe_single, coe2rv_single and the transfer-arc elements.

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "check.hpp"
#include "common/constants.hpp"
#include "common/vec3.hpp"
#include "orbit/classical_elements.hpp"
#include "orbit/coe2rv.hpp"
#include "orbit/rv2coe.hpp"
#include "orbit/transfer_elements.hpp"

using namespace orbelin;

namespace {

constexpr double tol = 1e-8;

// Agreement with a published value to the digits it was printed with: within half a unit of its last digit.
bool printed(double value, double published, double last_digit) {
    return std::fabs(value - published) <= 0.5 * last_digit;
}

// Difference of two angles in degrees, folded into [-180, 180].
double angle_diff_deg(double a, double b) {
    double d = std::fmod(a - b, 360.0);
    if (d > 180.0) d -= 360.0;
    if (d < -180.0) d += 360.0;
    return d;
}

// Orbit-plane axes from raan and inclination (radians): N towards the ascending node, M 90 deg ahead of it in the
// direction of motion, so that r = |r| (cos u N + sin u M) for argument of latitude u.
struct PlaneAxes {
    Vec3 n;
    Vec3 m;
};

PlaneAxes plane_axes(double raan, double inc) {
    const Vec3 n{std::cos(raan), std::sin(raan), 0.0};
    const Vec3 w{std::sin(raan) * std::sin(inc), -std::cos(raan) * std::sin(inc), std::cos(inc)};
    return {n, cross(w, n)};
}

// Circular orbit of radius r0 at argument of latitude u (all angles radians).
State circular_state(double r0, double raan, double inc, double u, double mu) {
    const PlaneAxes ax = plane_axes(raan, inc);
    const double vc = std::sqrt(mu / r0);
    return make_state(r0 * (std::cos(u) * ax.n + std::sin(u) * ax.m), vc * (-std::sin(u) * ax.n + std::cos(u) * ax.m));
}

// Conic in the plane (raan, inc) with periapsis at angle argp from the node, at true anomaly nu; the radial and
// transverse velocity components are mu/h e sin nu and mu/h (1 + e cos nu).
State conic_state(double a, double e, double raan, double inc, double argp, double nu, double mu) {
    const PlaneAxes ax = plane_axes(raan, inc);
    const double p = a * (1.0 - e * e);
    const double h = std::sqrt(mu * p);
    const double r = p / (1.0 + e * std::cos(nu));
    const double u = argp + nu;
    const Vec3 radial = std::cos(u) * ax.n + std::sin(u) * ax.m;
    const Vec3 transverse = -std::sin(u) * ax.n + std::cos(u) * ax.m;
    const double v_r = mu / h * e * std::sin(nu);
    const double v_t = mu / h * (1.0 + e * std::cos(nu));
    return make_state(r * radial, v_r * radial + v_t * transverse);
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof(double)) == 0 || (std::isnan(a) && std::isnan(b));
}

// Two states with positions in a 9000 km cube and velocities in an 8 km/s cube, drawn interleaved.
std::pair<State, State> random_state_pair(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    State s1{}, s2{};
    for (int k = 0; k < 3; ++k) {
        s1[k] = 9000.0 * unit(rng);
        s2[k] = 9000.0 * unit(rng);
        s1[k + 3] = 8.0 * unit(rng);
        s2[k + 3] = 8.0 * unit(rng);
    }
    return {s1, s2};
}

}  // namespace

TEST_CASE("rv2coe reproduces Curtis example 4.3") {
    // Curtis, Orbital Mechanics for Engineering Students, Example 4.3 (mu = 398600 km^3/s^2).
    const State s{-6045.0, -3490.0, 2500.0, -3.457, 6.618, 2.533};
    const double mu = 398600.0;
    const ElementVector el = rv2coe_single(s, true, false, mu, tol);
    CHECK(el.size == 6);
    CHECK(printed(el.values[0], 8788.0, 1.0));
    CHECK(printed(el.values[1], 0.1712, 1e-4));
    CHECK(printed(el.values[2], 153.2, 0.1));
    CHECK(printed(el.values[3], 255.3, 0.1));
    CHECK(printed(el.values[4], 20.07, 0.01));
    CHECK(printed(el.values[5], 28.45, 0.01));
    // h = sqrt(mu p) from the returned a and e, printed to four figures as 58310 km^2/s.
    const double h = std::sqrt(mu * el.values[0] * (1.0 - el.values[1] * el.values[1]));
    CHECK(printed(h, 58310.0, 10.0));
    CHECK_CLOSE(h, norm(cross(position(s), velocity(s))), 1e-12);

    // Radians carry the same angles.
    const ElementVector rad = rv2coe_single(s, false, false, mu, tol);
    CHECK(rad.values[0] == el.values[0]);
    CHECK(rad.values[1] == el.values[1]);
    for (std::size_t k = 2; k < 6; ++k) CHECK(rad.values[k] * rad2deg == el.values[k]);
}

TEST_CASE("rv2coe special angles are consistent on an inclined ellipse") {
    const State s{-6045.0, -3490.0, 2500.0, -3.457, 6.618, 2.533};
    const ElementVector el = rv2coe_single(s, true, true, 398600.0, tol);
    CHECK(el.size == 9);
    // u = argp + nu for an inclined orbit.
    CHECK(std::fabs(angle_diff_deg(el.values[6], el.values[4] + el.values[5])) < 1e-9);
    for (std::size_t k = 2; k < 9; ++k) CHECK(el.values[k] >= 0.0 && el.values[k] < 360.0);
    const ElementVector plain = rv2coe_single(s, true, false, 398600.0, tol);
    for (std::size_t k = 0; k < 6; ++k) CHECK(plain.values[k] == el.values[k]);
}

TEST_CASE("circular equatorial orbit: raan = argp = 0, nu = true longitude") {
    for (double lon_deg : {0.0, 35.0, 120.0, 200.0, 250.0, 330.0}) {
        const State s = circular_state(7000.0, 0.0, 0.0, lon_deg * deg2rad, mu_earth);
        const ElementVector el = rv2coe_single(s, true, true, mu_earth, tol);
        CHECK(el.values[1] < tol);
        CHECK_CLOSE(el.values[0], 7000.0, 1e-12);
        CHECK(el.values[2] == 0.0);
        CHECK(el.values[3] == 0.0);
        CHECK(el.values[4] == 0.0);
        CHECK(std::fabs(angle_diff_deg(el.values[5], lon_deg)) < 1e-9);
        CHECK(el.values[5] == el.values[7]);
    }
}

TEST_CASE("circular inclined orbit: argp = 0, nu = argument of latitude") {
    const double raan = 70.0, inc = 40.0;
    for (double u_deg : {10.0, 100.0, 200.0, 300.0}) {
        const State s = circular_state(8000.0, raan * deg2rad, inc * deg2rad, u_deg * deg2rad, mu_earth);
        const ElementVector el = rv2coe_single(s, true, true, mu_earth, tol);
        CHECK(el.values[1] < tol);
        CHECK_CLOSE(el.values[2], inc, 1e-12);
        CHECK_CLOSE(el.values[3], raan, 1e-12);
        CHECK(el.values[4] == 0.0);
        CHECK(std::fabs(angle_diff_deg(el.values[5], u_deg)) < 1e-9);
        CHECK(el.values[5] == el.values[6]);
    }
}

TEST_CASE("equatorial ellipse: raan = 0, argp = longitude of periapsis") {
    const double lonper = 130.0;
    for (double nu_deg : {60.0, 300.0}) {  // approaching apoapsis, then falling back (r . v < 0)
        const State s = conic_state(12000.0, 0.3, 0.0, 0.0, lonper * deg2rad, nu_deg * deg2rad, mu_earth);
        const ElementVector el = rv2coe_single(s, true, true, mu_earth, tol);
        CHECK_CLOSE(el.values[0], 12000.0, 1e-12);
        CHECK_CLOSE(el.values[1], 0.3, 1e-12);
        CHECK(el.values[2] == 0.0);
        CHECK(el.values[3] == 0.0);
        CHECK(std::fabs(angle_diff_deg(el.values[4], lonper)) < 1e-9);
        CHECK(el.values[4] == el.values[8]);
        CHECK(std::fabs(angle_diff_deg(el.values[5], nu_deg)) < 1e-9);
    }
}

TEST_CASE("retrograde equatorial orbits measure true longitude and longitude of periapsis clockwise") {
    // Retrograde circular equatorial orbit, i = 180 deg. acos(r_x / |r|) is 60 deg at both positions; the orbit
    // moves clockwise, so the longitudes are 360 deg - theta: one flip above the x axis, and two that cancel
    // below it.
    const double r0 = 7000.0;
    const double vc = std::sqrt(mu_earth / r0);
    for (double theta_deg : {60.0, 300.0}) {
        const double th = theta_deg * deg2rad;
        const State s{r0 * std::cos(th), r0 * std::sin(th), 0.0, vc * std::sin(th), -vc * std::cos(th), 0.0};
        const ElementVector el = rv2coe_single(s, true, true, mu_earth, tol);
        CHECK_CLOSE(el.values[2], 180.0, 1e-12);
        CHECK(el.values[3] == 0.0);
        CHECK(el.values[4] == 0.0);
        CHECK(std::fabs(angle_diff_deg(el.values[7], 360.0 - theta_deg)) < 1e-9);
        CHECK(el.values[5] == el.values[7]);
    }
    // Retrograde equatorial ellipse with periapsis at +-60 deg: acos(e_x / e) = 60 deg, flipped when only the orbit
    // is retrograde, kept when e_y < 0 as well.
    const double e = 0.2, a = 10000.0, p = a * (1.0 - e * e);
    const double h = std::sqrt(mu_earth * p);
    for (double peri_deg : {60.0, -60.0}) {
        const double peri = peri_deg * deg2rad;
        const Vec3 rad{std::cos(peri), std::sin(peri), 0.0};
        const Vec3 tangential{std::sin(peri), -std::cos(peri), 0.0};  // clockwise, h along -z
        const State s = make_state(p / (1.0 + e) * rad, mu_earth / h * (1.0 + e) * tangential);
        const ElementVector el = rv2coe_single(s, true, true, mu_earth, tol);
        CHECK_CLOSE(el.values[2], 180.0, 1e-12);
        CHECK_CLOSE(el.values[1], e, 1e-12);
        CHECK(std::fabs(angle_diff_deg(el.values[8], -peri_deg)) < 1e-9);
        CHECK(el.values[4] == el.values[8]);
    }
}

TEST_CASE("parabolic energy gives infinite a, NaN apsides and a NaN state") {
    const double r0 = 7000.0;
    const State s{r0, 0.0, 0.0, 0.0, std::sqrt(2.0 * mu_earth / r0), 0.0};
    const ElementVector el = rv2coe_single(s, true, false, mu_earth, tol);
    CHECK(std::isinf(el.values[0]) && el.values[0] > 0.0);
    CHECK_CLOSE(el.values[1], 1.0, 1e-12);
    // Periapsis at the starting point.
    CHECK(std::fabs(angle_diff_deg(el.values[5], 0.0)) < 1e-9);

    const TransferElements t =
        compute_transfer_orbit_elements(position(s), velocity(s), position(s), velocity(s), mu_earth);
    CHECK(std::isinf(t.sma) && t.sma > 0.0);
    CHECK(std::isnan(t.rp));
    CHECK(std::isnan(t.ra));

    const State back = coe2rv_single(
        {el.values[0], el.values[1], el.values[2], el.values[3], el.values[4], el.values[5]}, true, mu_earth);
    for (double x : back) CHECK(std::isnan(x));
    const State from_nan = coe2rv_single({orbelin::nan, 0.1, 10.0, 20.0, 30.0, 40.0}, true, mu_earth);
    for (double x : from_nan) CHECK(std::isnan(x));
    const State from_neg_inf = coe2rv_single({-orbelin::inf, 1.5, 10.0, 20.0, 30.0, 40.0}, true, mu_earth);
    for (double x : from_neg_inf) CHECK(std::isnan(x));
}

TEST_CASE("hyperbolic orbit: negative a, infinite apoapsis, periapsis (e - 1)|a|") {
    const double r0 = 7000.0;
    const double v_esc = std::sqrt(2.0 * mu_earth / r0);
    const State s{r0, 0.0, 0.0, 0.3, 1.4 * v_esc, 0.5};
    const ElementVector el = rv2coe_single(s, true, false, mu_earth, tol);
    const double energy = dot(velocity(s), velocity(s)) / 2.0 - mu_earth / r0;
    CHECK(el.values[0] < 0.0);
    CHECK_CLOSE(el.values[0], -mu_earth / (2.0 * energy), 1e-13);
    CHECK(el.values[1] > 1.0);
    // e^2 = 1 + 2 xi h^2 / mu^2.
    const double h = norm(cross(position(s), velocity(s)));
    CHECK_CLOSE(el.values[1], std::sqrt(1.0 + 2.0 * energy * h * h / (mu_earth * mu_earth)), 1e-13);

    const TransferElements t =
        compute_transfer_orbit_elements(position(s), velocity(s), position(s), velocity(s), mu_earth);
    CHECK(t.sma == el.values[0]);
    CHECK(std::isinf(t.ra) && t.ra > 0.0);
    CHECK_CLOSE(t.rp, (t.ecc - 1.0) * std::fabs(t.sma), 1e-15);
    // Periapsis radius of the conic, h^2 / (mu (1 + e)).
    CHECK_CLOSE(t.rp, h * h / (mu_earth * (1.0 + t.ecc)), 1e-12);
}

TEST_CASE("NaN velocity: NaN size, shape and orientation, zero argp and anomaly") {
    const State s{7000.0, 100.0, -300.0, orbelin::nan, 7.5, 0.1};
    const ElementVector el = rv2coe_single(s, true, true, mu_earth, tol);
    CHECK(std::isnan(el.values[0]));
    CHECK(std::isnan(el.values[1]));
    CHECK(std::isnan(el.values[2]));
    CHECK(std::isnan(el.values[3]));
    CHECK(el.values[4] == 0.0);
    CHECK(el.values[5] == 0.0);

    const Vec3 v_nan{orbelin::nan, orbelin::nan, orbelin::nan};
    const TransferElements t =
        compute_transfer_orbit_elements(position(s), v_nan, Vec3{0.0, 7000.0, 0.0}, v_nan, mu_earth);
    CHECK(std::isnan(t.sma));
    CHECK(std::isnan(t.ecc));
    CHECK(std::isnan(t.inc));
    CHECK(std::isnan(t.raan));
    CHECK(t.argp == 0.0);
    CHECK(t.ta_depart == 0.0);
    CHECK(t.ta_arrive == 0.0);
    CHECK(std::isnan(t.rp));
    CHECK(std::isnan(t.ra));
}

TEST_CASE("transfer elements describe the departure orbit and the arrival anomaly") {
    // Two points of the Curtis 4.3 orbit: the arrival adds 100 deg of true anomaly on the same conic.
    const double mu = 398600.0;
    const ElementVector e1 = rv2coe_single({-6045.0, -3490.0, 2500.0, -3.457, 6.618, 2.533}, false, false, mu, tol);
    const double a = e1.values[0], e = e1.values[1];
    const State dep = conic_state(a, e, e1.values[3], e1.values[2], e1.values[4], e1.values[5], mu);
    const State arr = conic_state(a, e, e1.values[3], e1.values[2], e1.values[4], e1.values[5] + 100.0 * deg2rad, mu);
    const TransferElements t =
        compute_transfer_orbit_elements(position(dep), velocity(dep), position(arr), velocity(arr), mu);
    CHECK(printed(t.sma, 8788.0, 1.0));
    CHECK(printed(t.inc, 153.2, 0.1));
    CHECK(printed(t.raan, 255.3, 0.1));
    CHECK(printed(t.argp, 20.07, 0.01));
    CHECK(printed(t.ta_depart, 28.45, 0.01));
    CHECK(std::fabs(angle_diff_deg(t.ta_arrive, t.ta_depart + 100.0)) < 1e-8);
    CHECK_CLOSE(t.rp, a * (1.0 - e), 1e-12);
    CHECK_CLOSE(t.ra, a * (1.0 + e), 1e-12);
    // Apsides from the angular momentum: h^2 / (mu (1 +- e)).
    const double h = norm(cross(position(dep), velocity(dep)));
    CHECK_CLOSE(t.rp, h * h / (mu * (1.0 + t.ecc)), 1e-11);
    CHECK_CLOSE(t.ra, h * h / (mu * (1.0 - t.ecc)), 1e-11);
}

TEST_CASE("transfer elements equal the rv2coe_single route bit for bit") {
    std::mt19937_64 rng(20240917);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int checked = 0;
    std::vector<ArcStates> arcs;
    std::vector<TransferElements> alone;
    ArcStates previous{arc_ends(Vec3{7000.0, 0.0, 0.0}, Vec3{0.0, 8000.0, 0.0}), Vec3{0.0, 7.5, 0.0},
                       Vec3{-6.0, 0.0, 0.0}};
    for (int n = 0; n < 2000; ++n) {
        auto [s1, s2] = random_state_pair(rng);
        // Mix in the degenerate shapes: circular / equatorial / parabolic / NaN.
        switch (n % 8) {
            case 1:
                s1 = circular_state(7000.0 + 100.0 * n, 0.0, 0.0, 0.01 * n, mu_earth);
                break;
            case 2:
                s2 = circular_state(7000.0, 1.0, 0.7, 0.01 * n, mu_earth);
                break;
            case 3:
                s1[2] = 0.0;
                s1[5] = 0.0;
                s2 = circular_state(9000.0, 0.0, 0.0, 0.03 * n, mu_earth);
                break;
            case 4:
                s1 = {7000.0, 0.0, 0.0, 0.0, std::sqrt(2.0 * mu_earth / 7000.0), 0.0};
                break;
            case 5:
                s1[4] = orbelin::nan;
                s2[3] = orbelin::nan;
                break;
            case 6:
                s1 = circular_state(8000.0, 2.0, pi, 0.02 * n, mu_earth);
                break;
            case 7:
                // Both ends in the equatorial plane, each prograde or retrograde: the arc of two coplanar orbits.
                s1[2] = s1[5] = 0.0;
                s2[2] = s2[5] = 0.0;
                break;
            default:
                break;
        }
        const TransferElements t =
            compute_transfer_orbit_elements(position(s1), velocity(s1), position(s2), velocity(s2), mu_earth);
        const ElementVector e1 = rv2coe_single(s1, false, false, mu_earth, 1e-8);
        const ElementVector e2 = rv2coe_single(s2, false, false, mu_earth, 1e-8);
        CHECK(same_bits(t.sma, e1.values[0]));
        CHECK(same_bits(t.ecc, e1.values[1]));
        CHECK(same_bits(t.inc, e1.values[2] * rad2deg));
        CHECK(same_bits(t.raan, e1.values[3] * rad2deg));
        CHECK(same_bits(t.argp, e1.values[4] * rad2deg));
        CHECK(same_bits(t.ta_depart, e1.values[5] * rad2deg));
        CHECK(same_bits(t.ta_arrive, e2.values[5] * rad2deg));
        // Degrees from rv2coe_single directly are the same products.
        const ElementVector d1 = rv2coe_single(s1, true, false, mu_earth, 1e-8);
        CHECK(same_bits(t.inc, d1.values[2]));
        CHECK(same_bits(t.ta_depart, d1.values[5]));
        // Side by side with the previous arc, each keeps its own bits, whatever shapes the two have.
        const ArcStates arc{arc_ends(position(s1), position(s2)), velocity(s1), velocity(s2)};
        TransferElements paired_prev;
        TransferElements paired;
        compute_transfer_orbit_elements_pair(previous, arc, mu_earth, paired_prev, paired);
        const TransferElements alone_prev =
            compute_transfer_orbit_elements(previous.ends, previous.v1, previous.v2, mu_earth);
        for (const auto& [x, y] : {std::pair{paired, t}, std::pair{paired_prev, alone_prev}}) {
            CHECK(same_bits(x.sma, y.sma) && same_bits(x.ecc, y.ecc) && same_bits(x.inc, y.inc) &&
                  same_bits(x.raan, y.raan) && same_bits(x.argp, y.argp) && same_bits(x.ta_depart, y.ta_depart) &&
                  same_bits(x.ta_arrive, y.ta_arrive) && same_bits(x.rp, y.rp) && same_bits(x.ra, y.ra));
        }
        previous = arc;
        arcs.push_back(arc);
        alone.push_back(t);
        ++checked;
    }
    CHECK(checked == 2000);
    // The batch kernels, every one this CPU runs, over the same arcs: row k has the bits of the single call, also in
    // a last group that fills only some lanes (1999 arcs).
    using Kernel = void (*)(const ArcStates*, std::size_t, double, TransferElements*) noexcept;
    const std::pair<Kernel, bool> kernels[] = {
        {detail::transfer_elements_portable, true},
        {detail::transfer_elements_avx2, ORBELIN_LANE_KERNELS && __builtin_cpu_supports("avx2") != 0},
        {detail::transfer_elements_avx512, ORBELIN_LANE_KERNELS && __builtin_cpu_supports("avx512f") != 0}};
    for (const auto& [kernel, runs] : kernels) {
        if (!runs) continue;
        for (const std::size_t n : {arcs.size(), arcs.size() - 1}) {
            std::vector<TransferElements> batch(n);
            kernel(arcs.data(), n, mu_earth, batch.data());
            std::size_t same = 0;
            for (std::size_t k = 0; k < n; ++k) {
                const TransferElements& x = batch[k];
                const TransferElements& y = alone[k];
                same += same_bits(x.sma, y.sma) && same_bits(x.ecc, y.ecc) && same_bits(x.inc, y.inc) &&
                        same_bits(x.raan, y.raan) && same_bits(x.argp, y.argp) && same_bits(x.ta_depart, y.ta_depart) &&
                        same_bits(x.ta_arrive, y.ta_arrive) && same_bits(x.rp, y.rp) && same_bits(x.ra, y.ra);
            }
            CHECK(same == n);
        }
    }
}

TEST_CASE("every angle lies in [0, 2pi)") {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int n = 0; n < 1000; ++n) {
        State s{};
        for (int k = 0; k < 3; ++k) {
            s[k] = 20000.0 * unit(rng);
            s[k + 3] = 9.0 * unit(rng);
        }
        const ElementVector rad = rv2coe_single(s, false, true, mu_earth, tol);
        for (std::size_t k = 2; k < 9; ++k) CHECK(rad.values[k] >= 0.0 && rad.values[k] < two_pi);
    }
}

namespace {

// Random state with |r| in [6600, 42000] km and a speed that makes an ellipse or a hyperbola clearly away from
// the circular, equatorial, parabolic and rectilinear limits.
State random_orbit_state(std::mt19937_64& rng, bool hyperbolic) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> radius(6600.0, 42000.0);
    std::uniform_real_distribution<double> ell(0.45, 0.95);
    std::uniform_real_distribution<double> hyp(1.05, 2.0);
    for (;;) {
        const Vec3 rd{unit(rng), unit(rng), unit(rng)};
        const Vec3 vd{unit(rng), unit(rng), unit(rng)};
        if (norm(rd) < 0.1 || norm(vd) < 0.1) continue;
        const double r0 = radius(rng);
        const double v_esc = std::sqrt(2.0 * mu_earth / r0);
        const Vec3 r = r0 / norm(rd) * rd;
        const Vec3 v = (hyperbolic ? hyp(rng) : ell(rng)) * v_esc / norm(vd) * vd;
        const Vec3 h = cross(r, v);
        const double sin_i = std::hypot(h.x, h.y) / norm(h);
        const Vec3 e_vec = cross(v, h) / mu_earth - r / norm(r);
        if (norm(h) < 0.2 * norm(r) * norm(v) || sin_i < 0.02 || norm(e_vec) < 0.02) continue;
        return make_state(r, v);
    }
}

}  // namespace

TEST_CASE("coe2rv inverts rv2coe for non-degenerate ellipses and hyperbolas") {
    std::mt19937_64 rng(424242);
    double worst = 0.0;
    for (int n = 0; n < 400; ++n) {
        const bool hyperbolic = n % 2 == 1;
        const State s = random_orbit_state(rng, hyperbolic);
        for (bool deg : {true, false}) {
            const ElementVector el = rv2coe_single(s, deg, false, mu_earth, tol);
            CHECK((el.values[0] < 0.0) == hyperbolic);
            CHECK((el.values[1] > 1.0) == hyperbolic);
            const State back = coe2rv_single(
                {el.values[0], el.values[1], el.values[2], el.values[3], el.values[4], el.values[5]}, deg, mu_earth);
            const double dr = norm(position(back) - position(s)) / norm(position(s));
            const double dv = norm(velocity(back) - velocity(s)) / norm(velocity(s));
            CHECK(dr < 1e-13);
            CHECK(dv < 1e-13);
            worst = std::fmax(worst, std::fmax(dr, dv));
        }
    }
    std::printf("rv2coe/coe2rv round trip: worst relative error %.3g\n", worst);
}

TEST_CASE("coe2rv places a known ellipse") {
    // Periapsis of an orbit with raan = argp = 0: along x, speed sqrt(mu (1 + e) / (a (1 - e))) along y cos i.
    const double a = 10000.0, e = 0.25, inc = 30.0;
    const State s = coe2rv_single({a, e, inc, 0.0, 0.0, 0.0}, true, mu_earth);
    CHECK_CLOSE(s[0], a * (1.0 - e), 1e-14);
    CHECK(std::fabs(s[1]) < 1e-12 && std::fabs(s[2]) < 1e-12);
    const double vp = std::sqrt(mu_earth * (1.0 + e) / (a * (1.0 - e)));
    CHECK(std::fabs(s[3]) < 1e-15);
    CHECK_CLOSE(s[4], vp * std::cos(inc * deg2rad), 1e-14);
    CHECK_CLOSE(s[5], vp * std::sin(inc * deg2rad), 1e-14);
    // Hyperbola at periapsis: r = |a| (e - 1), speed from vis-viva.
    const State hcase = coe2rv_single({-20000.0, 1.5, 0.0, 0.0, 0.0, 0.0}, false, mu_earth);
    CHECK_CLOSE(hcase[0], 20000.0 * 0.5, 1e-14);
    CHECK_CLOSE(hcase[4], std::sqrt(mu_earth * (2.0 / 10000.0 + 1.0 / 20000.0)), 1e-14);
}

TEST_CASE("the element arctangent agrees with the library's atan2 in every quadrant and at its special values") {
    using orbelin::detail::atan2_fast;
    std::mt19937_64 rng(31337);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> decades(-12.0, 12.0);
    double worst = 0.0;
    for (int n = 0; n < 200000; ++n) {
        // Magnitudes over 24 decades, so that tangents from 1e-24 to 1e24 and both sides of every 1/32 step occur.
        const double y = unit(rng) * std::pow(10.0, decades(rng));
        const double x = unit(rng) * std::pow(10.0, decades(rng));
        const double ref = std::atan2(y, x);
        worst = std::fmax(worst, std::fabs(atan2_fast(y, x) - ref) / std::fabs(ref));
    }
    CHECK(worst < 4.0 * std::numeric_limits<double>::epsilon());
    // Exact tangents of the table and the diagonals land on the library's value to an ulp.
    for (int k = 0; k <= 32; ++k) {
        const double q = k / 32.0;
        for (const double sx : {1.0, -1.0}) {
            for (const double sy : {1.0, -1.0}) {
                CHECK(check::close(atan2_fast(sy * q, sx), std::atan2(sy * q, sx), 2.5e-16, 1e-300));
                CHECK(check::close(atan2_fast(sy, sx * q), std::atan2(sy, sx * q), 2.5e-16));
            }
        }
    }
    // Signed zeros, infinities, NaN and huge magnitudes, against each other and against ordinary and subnormal
    // values, follow the library bit for bit.
    const double specials[] = {0.0, -0.0, 1e301, -1e308, inf, -inf, orbelin::nan};
    const double others[] = {0.0, -0.0, 1e301, -1e308, inf, -inf, orbelin::nan, 3.0, -2.0, 4.9e-324, -2.2e-308};
    for (const double s : specials) {
        for (const double o : others) {
            CHECK(same_bits(atan2_fast(s, o), std::atan2(s, o)));
            CHECK(same_bits(atan2_fast(o, s), std::atan2(o, s)));
        }
    }
}

TEST_CASE("paired arctangents, vector angles and geometries have the bits of the single evaluations") {
    using namespace orbelin::detail;
    std::mt19937_64 rng(4242);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> decades(-8.0, 8.0);
    const auto scaled = [&] { return unit(rng) * std::pow(10.0, decades(rng)); };
    for (int n = 0; n < 50000; ++n) {
        const double y0 = scaled(), x0 = scaled(), y1 = scaled(), x1 = scaled();
        const AnglePair p = atan2_fast_pair(y0, x0, y1, x1);
        CHECK(same_bits(p.first, atan2_fast(y0, x0)));
        CHECK(same_bits(p.second, atan2_fast(y1, x1)));
    }
    // A lane that atan2_fast leaves to the library, in either position, next to an ordinary one.
    const double specials[] = {0.0, -0.0, 1e301, inf, -inf, orbelin::nan, 4.9e-324};
    for (const double s : specials) {
        for (const double o : {2.0, -0.5}) {
            const AnglePair a = atan2_fast_pair(s, o, 1.0, 3.0);
            const AnglePair b = atan2_fast_pair(-1.0, -3.0, o, s);
            CHECK(same_bits(a.first, atan2_fast(s, o)) && same_bits(a.second, atan2_fast(1.0, 3.0)));
            CHECK(same_bits(b.first, atan2_fast(-1.0, -3.0)) && same_bits(b.second, atan2_fast(o, s)));
        }
    }
    for (int n = 0; n < 20000; ++n) {
        const Vec3 p0{scaled(), scaled(), scaled()}, q0{scaled(), scaled(), scaled()};
        const Vec3 p1{scaled(), scaled(), scaled()}, q1{scaled(), scaled(), scaled()};
        const AnglePair a = vector_angle_pair(p0, q0, p1, q1);
        CHECK(same_bits(a.first, vector_angle(p0, q0)));
        CHECK(same_bits(a.second, vector_angle(p1, q1)));
    }
    for (int n = 0; n < 20000; ++n) {
        auto [s1, s2] = random_state_pair(rng);
        if (n % 5 == 0) s2[4] = orbelin::nan;
        const Vec3 r1 = position(s1), r2 = position(s2);
        const GeometryPair pair = orbit_geometry_pair(r1, velocity(s1), norm(r1), r1 / norm(r1), r2, velocity(s2),
                                                      norm(r2), r2 / norm(r2), mu_earth);
        const OrbitGeometry a = orbit_geometry(r1, velocity(s1), norm(r1), r1 / norm(r1), mu_earth);
        const OrbitGeometry b = orbit_geometry(r2, velocity(s2), norm(r2), r2 / norm(r2), mu_earth, false);
        CHECK(std::memcmp(&pair.first, &a, sizeof a) == 0);
        CHECK(same_bits(pair.second.ecc, b.ecc) && same_bits(pair.second.e_vec.x, b.e_vec.x) &&
              same_bits(pair.second.e_vec.y, b.e_vec.y) && same_bits(pair.second.e_vec.z, b.e_vec.z) &&
              std::memcmp(&pair.second.h, &b.h, sizeof b.h) == 0 && std::isnan(pair.second.v_norm) &&
              std::isnan(pair.second.n_norm));
        // The common path of classical_elements against the angle functions one by one.
        const ClassicalElements el = classical_elements(a, mu_earth, tol);
        CHECK(same_bits(el.inc, wrap_two_pi(inclination(a))));
        CHECK(same_bits(el.raan, wrap_two_pi(raw_raan(a))));
        CHECK(same_bits(el.argp, wrap_two_pi(argument_of_periapsis(a))));
        CHECK(same_bits(el.nu, wrap_two_pi(true_anomaly(a))));
    }
}
