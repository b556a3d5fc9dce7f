// RIC frame: basis, angular velocity, relative-state conversion and waypoint offsets.

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "check.hpp"
#include "common/constants.hpp"
#include "common/vec3.hpp"
#include "conversions/ric_frame.hpp"
#include "conversions/ric_waypoint.hpp"

using namespace orbelin;

namespace {

bool vec_is(const Vec3& a, double x, double y, double z, double abs_tol = 0.0) {
    return std::fabs(a.x - x) <= abs_tol && std::fabs(a.y - y) <= abs_tol && std::fabs(a.z - z) <= abs_tol;
}

const State circular_ref{7000.0, 0.0, 0.0, 0.0, 7.5, 0.0};

// Random reference well away from the degenerate limits (|r| > 1000 km, velocity not along r).
State random_reference(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (;;) {
        const Vec3 r{8000.0 * unit(rng), 8000.0 * unit(rng), 8000.0 * unit(rng)};
        const Vec3 v{8.0 * unit(rng), 8.0 * unit(rng), 8.0 * unit(rng)};
        if (norm(r) < 1000.0 || norm(v) < 0.5 || norm(cross(r, v)) < 0.1 * norm(r) * norm(v)) continue;
        return make_state(r, v);
    }
}

}  // namespace

TEST_CASE("RIC basis of a circular equatorial orbit is the identity") {
    const RicBasis m = ric_basis(circular_ref);
    CHECK(vec_is(m.r_hat, 1.0, 0.0, 0.0));
    CHECK(vec_is(m.i_hat, 0.0, 1.0, 0.0));
    CHECK(vec_is(m.c_hat, 0.0, 0.0, 1.0));
}

TEST_CASE("RIC basis a quarter orbit later") {
    const RicBasis m = ric_basis({0.0, 7000.0, 0.0, -7.5, 0.0, 0.0});
    CHECK(vec_is(m.r_hat, 0.0, 1.0, 0.0));
    CHECK(vec_is(m.i_hat, -1.0, 0.0, 0.0));
    CHECK(vec_is(m.c_hat, 0.0, 0.0, 1.0));
}

TEST_CASE("degenerate references fall back to the x axis") {
    const RicBasis zero_r = ric_basis({0.0, 0.0, 0.0, 1.0, 2.0, 3.0});
    CHECK(vec_is(zero_r.r_hat, 1.0, 0.0, 0.0));
    CHECK(vec_is(zero_r.i_hat, 1.0, 0.0, 0.0));
    CHECK(vec_is(zero_r.c_hat, 1.0, 0.0, 0.0));

    // Rectilinear motion along x: h = 0, so C = (1, 0, 0) and C x R = 0 -> I = (1, 0, 0).
    const RicBasis radial_x = ric_basis({7000.0, 0.0, 0.0, 3.0, 0.0, 0.0});
    CHECK(vec_is(radial_x.r_hat, 1.0, 0.0, 0.0));
    CHECK(vec_is(radial_x.c_hat, 1.0, 0.0, 0.0));
    CHECK(vec_is(radial_x.i_hat, 1.0, 0.0, 0.0));

    // Rectilinear motion along y: C = (1, 0, 0), I = unit((1, 0, 0) x (0, 1, 0)) = (0, 0, 1).
    const RicBasis radial_y = ric_basis({0.0, 7000.0, 0.0, 0.0, -2.0, 0.0});
    CHECK(vec_is(radial_y.r_hat, 0.0, 1.0, 0.0));
    CHECK(vec_is(radial_y.c_hat, 1.0, 0.0, 0.0));
    CHECK(vec_is(radial_y.i_hat, 0.0, 0.0, 1.0));

    // The conversions stay finite on degenerate references.
    const State rel = eci2ric_state_single({1.0, 2.0, 3.0, 4.0, 5.0, 6.0}, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0});
    for (double x : rel) CHECK(std::isfinite(x));
}

TEST_CASE("RIC basis is right-handed and orthonormal, I along the motion") {
    std::mt19937_64 rng(99);
    for (int n = 0; n < 300; ++n) {
        const State ref = random_reference(rng);
        const RicBasis m = ric_basis(ref);
        CHECK(std::fabs(norm(m.r_hat) - 1.0) < 1e-15);
        CHECK(std::fabs(norm(m.i_hat) - 1.0) < 1e-15);
        CHECK(std::fabs(norm(m.c_hat) - 1.0) < 1e-15);
        CHECK(std::fabs(dot(m.r_hat, m.i_hat)) < 1e-15);
        CHECK(std::fabs(dot(m.r_hat, m.c_hat)) < 1e-15);
        CHECK(std::fabs(dot(m.i_hat, m.c_hat)) < 1e-15);
        const Vec3 rxi = cross(m.r_hat, m.i_hat);
        CHECK(norm(rxi - m.c_hat) < 1e-15);
        CHECK(dot(m.i_hat, velocity(ref)) > 0.0);
        // R along r, C along h.
        CHECK(norm(cross(m.r_hat, position(ref))) < 1e-15 * norm(position(ref)) * 10.0);
        CHECK(dot(m.c_hat, cross(position(ref), velocity(ref))) > 0.0);
        // The reference position in its own frame is (|r|, 0, 0): a rotation, no origin shift.
        const Vec3 p = eci2ric_vec_single(position(ref), m);
        CHECK_CLOSE(p.x, norm(position(ref)), 1e-15);
        CHECK(std::fabs(p.y) < 1e-11 && std::fabs(p.z) < 1e-11);
    }
}

TEST_CASE("vector rotations are inverse to each other and preserve length") {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int n = 0; n < 200; ++n) {
        const RicBasis m = ric_basis(random_reference(rng));
        const Vec3 p{100.0 * unit(rng), 100.0 * unit(rng), 100.0 * unit(rng)};
        const Vec3 q = eci2ric_vec_single(p, m);
        CHECK_CLOSE(norm(q), norm(p), 1e-14);
        CHECK(norm(ric2eci_vec_single(q, m) - p) < 1e-13 * norm(p));
    }
}

TEST_CASE("angular velocity is h / |r|^2, zero at the origin") {
    const Vec3 w = angular_velocity(circular_ref);
    CHECK(w.x == 0.0 && w.y == 0.0);
    CHECK_CLOSE(w.z, 7.5 / 7000.0, 1e-15);
    CHECK(vec_is(angular_velocity({0.0, 0.0, 0.0, 0.0, 0.0, 0.0}), 0.0, 0.0, 0.0));
    // |r|^2 = 1e-26 < 1e-24 is the origin too, whatever the velocity.
    CHECK(vec_is(angular_velocity({1e-13, 0.0, 0.0, 0.0, 5.0, 0.0}), 0.0, 0.0, 0.0));
    // Just above the threshold (|r|^2 = 4e-24) it is h / |r|^2 again.
    const Vec3 tiny = angular_velocity({2e-12, 0.0, 0.0, 0.0, 1.0, 0.0});
    CHECK_CLOSE(tiny.z, 1.0 / 2e-12, 1e-15);
}

TEST_CASE("relative state of the reference itself is zero, and back") {
    std::mt19937_64 rng(11);
    for (int n = 0; n < 50; ++n) {
        const State ref = random_reference(rng);
        const State rel = eci2ric_state_single(ref, ref);
        for (double x : rel) CHECK(x == 0.0);
        const State back = ric2eci_state_single({0.0, 0.0, 0.0, 0.0, 0.0, 0.0}, ref);
        for (int k = 0; k < 6; ++k) CHECK(back[k] == ref[k]);
    }
}

TEST_CASE("deputy 1 km further out at the same velocity drifts back in-track") {
    const State dep{7001.0, 0.0, 0.0, 0.0, 7.5, 0.0};
    const State rel = eci2ric_state_single(dep, circular_ref);
    CHECK(rel[0] == 1.0);
    CHECK(rel[1] == 0.0 && rel[2] == 0.0);
    CHECK(rel[3] == 0.0);
    CHECK_CLOSE(rel[4], -7.5 / 7000.0, 1e-15);
    CHECK(rel[5] == 0.0);
}

TEST_CASE("a co-orbiting deputy is at rest in the RIC frame") {
    // Same circular orbit, 0.5 deg ahead: the frame rotates with both, so the relative rate vanishes and the
    // relative position is the chord (r (cos d - 1), r sin d, 0).
    const double r0 = 7000.0, n = std::sqrt(mu_earth / (r0 * r0 * r0)), d = 0.5 * deg2rad;
    const State ref{r0, 0.0, 0.0, 0.0, n * r0, 0.0};
    const State dep{r0 * std::cos(d), r0 * std::sin(d), 0.0, -n * r0 * std::sin(d), n * r0 * std::cos(d), 0.0};
    const State rel = eci2ric_state_single(dep, ref);
    CHECK_CLOSE(rel[0], r0 * (std::cos(d) - 1.0), 1e-9);
    CHECK_CLOSE(rel[1], r0 * std::sin(d), 1e-13);
    CHECK(std::fabs(rel[2]) < 1e-12);
    CHECK(std::fabs(rel[3]) < 1e-14 && std::fabs(rel[4]) < 1e-14 && std::fabs(rel[5]) < 1e-14);
}

TEST_CASE("ric2eci_state inverts eci2ric_state") {
    std::mt19937_64 rng(31337);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int n = 0; n < 300; ++n) {
        const State ref = random_reference(rng);
        State dep = ref;
        for (int k = 0; k < 3; ++k) {
            dep[k] += 50.0 * unit(rng);
            dep[k + 3] += 0.1 * unit(rng);
        }
        const State back = ric2eci_state_single(eci2ric_state_single(dep, ref), ref);
        CHECK(norm(position(back) - position(dep)) < 1e-12 * norm(position(dep)));
        CHECK(norm(velocity(back) - velocity(dep)) < 1e-12 * norm(velocity(dep)));
        // And the other way round, from a relative state.
        const State rel{unit(rng), 10.0 * unit(rng), unit(rng), 1e-3 * unit(rng), 1e-3 * unit(rng), 1e-3 * unit(rng)};
        const State rel_back = eci2ric_state_single(ric2eci_state_single(rel, ref), ref);
        for (int k = 0; k < 3; ++k) CHECK(std::fabs(rel_back[k] - rel[k]) < 1e-11);
        for (int k = 3; k < 6; ++k) CHECK(std::fabs(rel_back[k] - rel[k]) < 1e-14);
    }
}

TEST_CASE("waypoint 2 km behind a circular target") {
    const std::array<double, 3> w{0.0, -2.0, 0.0};
    const State s = apply_ric_waypoint_offset_single(circular_ref, w);
    CHECK(s[0] == 7000.0 && s[1] == -2.0 && s[2] == 0.0);
    // omega x dr = (0, 0, 7.5/7000) x (0, -2, 0) = (7.5 * 2 / 7000, 0, 0).
    CHECK_CLOSE(s[3], 7.5 * 2.0 / 7000.0, 1e-15);
    CHECK(std::fabs(s[3] - 0.0021428571) <= 0.5e-10);  // to the ten printed decimals
    CHECK(s[4] == 7.5 && s[5] == 0.0);
}

TEST_CASE("radial waypoint: three and six components agree") {
    const std::array<double, 6> w6{1.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const std::array<double, 3> w3{1.0, 0.0, 0.0};
    const State a = apply_ric_waypoint_offset_single(circular_ref, w6);
    const State b = apply_ric_waypoint_offset_single(circular_ref, w3);
    CHECK(a[0] == 7001.0 && a[1] == 0.0 && a[2] == 0.0);
    CHECK(a[3] == 0.0 && a[5] == 0.0);
    CHECK_CLOSE(a[4], 7.5 + 7.5 / 7000.0, 1e-15);
    for (int k = 0; k < 6; ++k) CHECK(a[k] == b[k]);
}

TEST_CASE("waypoint velocity offset, zero waypoints and long waypoints") {
    const std::array<double, 3> z3{0.0, 0.0, 0.0};
    const std::array<double, 6> z6{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::mt19937_64 rng(3);
    const State target = random_reference(rng);
    const State a = apply_ric_waypoint_offset_single(target, z3);
    const State b = apply_ric_waypoint_offset_single(target, z6);
    for (int k = 0; k < 6; ++k) CHECK(a[k] == target[k] && b[k] == target[k]);

    // A pure rate offset along I adds that rate along the in-track axis of the target.
    const std::array<double, 6> dv{0.0, 0.0, 0.0, 0.0, 0.01, 0.0};
    const State c = apply_ric_waypoint_offset_single(circular_ref, dv);
    CHECK(c[0] == 7000.0 && c[3] == 0.0);
    CHECK_CLOSE(c[4], 7.51, 1e-15);

    // Only the first six entries of a longer sequence are read.
    const std::vector<double> w8{0.5, -1.0, 0.25, 1e-3, -2e-3, 3e-4, 99.0, -99.0};
    const std::array<double, 6> w6{0.5, -1.0, 0.25, 1e-3, -2e-3, 3e-4};
    const State d = apply_ric_waypoint_offset_single(target, w8);
    const State e = apply_ric_waypoint_offset_single(target, w6);
    for (int k = 0; k < 6; ++k) CHECK(d[k] == e[k]);
    // The offset point has the waypoint as its relative state.
    const State rel = eci2ric_state_single(e, target);
    for (int k = 0; k < 6; ++k) CHECK(std::fabs(rel[k] - w6[k]) < 1e-12);
}
