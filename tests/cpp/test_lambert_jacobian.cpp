// The Lambert Jacobian against central differences of the solver itself, over random arcs of every kind, and its
// NaN answers for geometries where it is not defined.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <vector>

#include "check.hpp"
#include "solver/lambert_izzo.hpp"
#include "solver/lambert_jacobian.hpp"

using orbelin::LambertJacobian;
using orbelin::LambertSettings;
using orbelin::LambertSolution;
using orbelin::Vec3;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double mu_earth = 398600.4418;
constexpr double mu_sun = 1.32712440018e11;
constexpr double au = 1.495978707e8;

struct Arc {
    LambertSolution sol;
    LambertJacobian jac;
};

std::vector<Arc> jacobian_arcs(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s) {
    std::vector<Arc> out;
    orbelin::lambert_izzo_jacobian_visit(
        r1, r2, tof, s, [&](const LambertSolution& sol, const LambertJacobian& j) { out.push_back({sol, j}); });
    return out;
}

std::vector<LambertSolution> solve(const Vec3& r1, const Vec3& r2, double tof, const LambertSettings& s) {
    return orbelin::lambert_izzo_single_impl(r1, r2, tof, s);
}

Vec3 direction(std::mt19937_64& rng) {
    std::normal_distribution<double> n(0.0, 1.0);
    const Vec3 v{n(rng), n(rng), n(rng)};
    return v / orbelin::norm(v);
}

struct Problem {
    Vec3 r1, r2;
    double tof;
    LambertSettings s;
};

// Earth orbits (radii 6600-42000 km) and heliocentric ones (0.4-5 AU); times of flight from 1/50 of a
// minimum-energy period (hyperbolas) to six of them (up to five revolutions, both branches); both directions.
// Transfer angles within 6 degrees of 0 or 180 are left out: the differences straddle the plane's definition.
std::vector<Problem> problems(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Problem> out;
    while (out.size() < n) {
        const bool sun = out.size() % 3 == 2;
        const double mu = sun ? mu_sun : mu_earth;
        const double lo = sun ? 0.4 * au : 6600.0;
        const double hi = sun ? 5.0 * au : 42000.0;
        const Vec3 r1 = (lo + (hi - lo) * unit(rng)) * direction(rng);
        const Vec3 r2 = (lo + (hi - lo) * unit(rng)) * direction(rng);
        if (orbelin::norm(orbelin::cross(r1, r2)) < 0.1 * orbelin::norm(r1) * orbelin::norm(r2)) continue;
        const double s = (orbelin::norm(r1) + orbelin::norm(r2) + orbelin::norm(r2 - r1)) / 2.0;
        const double period = 2.0 * kPi * std::sqrt(std::pow(s / 2.0, 3) / mu);
        const double tof = period * std::exp(std::log(0.02) + (std::log(6.0) - std::log(0.02)) * unit(rng));
        out.push_back(
            {r1, r2, tof, {.mu = mu, .max_rev = 5, .retrograde = out.size() % 2 == 1, .tol = 1e-13, .maxiter = 60}});
    }
    return out;
}

// Central differences of every arc's velocities, column by column; nullopt when a step changes the number of arcs.
std::optional<std::vector<LambertJacobian>> central_differences(const Problem& p, std::size_t arcs) {
    std::vector<LambertJacobian> fd(arcs);
    const double hr = 1e-6 * std::max(orbelin::norm(p.r1), orbelin::norm(p.r2));
    const double ht = 1e-6 * p.tof;
    for (std::size_t k = 0; k < 7; ++k) {
        double h = k < 6 ? hr : ht;
        std::vector<LambertSolution> side[2];
        for (int sgn = 0; sgn < 2; ++sgn) {
            Vec3 a = p.r1, b = p.r2;
            double t = p.tof;
            const double d = sgn == 0 ? h : -h;
            double* target = k < 3   ? (k == 0   ? &a.x
                                        : k == 1 ? &a.y
                                                 : &a.z)
                             : k < 6 ? (k == 3   ? &b.x
                                        : k == 4 ? &b.y
                                                 : &b.z)
                                     : &t;
            *target += d;
            side[sgn] = solve(a, b, t, p.s);
            if (side[sgn].size() != arcs) return std::nullopt;
        }
        for (std::size_t i = 0; i < arcs; ++i) {
            const Vec3 dv1 = (side[0][i].v1 - side[1][i].v1) / (2.0 * h);
            const Vec3 dv2 = (side[0][i].v2 - side[1][i].v2) / (2.0 * h);
            const double col[6] = {dv1.x, dv1.y, dv1.z, dv2.x, dv2.y, dv2.z};
            for (std::size_t r = 0; r < 6; ++r) fd[i][r * 7 + k] = col[r];
        }
    }
    return fd;
}

// The largest relative difference of a column (its Euclidean norm), over the seven columns.
double column_error(const LambertJacobian& a, const LambertJacobian& b) {
    double worst = 0.0;
    for (std::size_t k = 0; k < 7; ++k) {
        double diff = 0.0;
        double size = 0.0;
        for (std::size_t r = 0; r < 6; ++r) {
            diff += std::pow(a[r * 7 + k] - b[r * 7 + k], 2);
            size += std::pow(b[r * 7 + k], 2);
        }
        worst = std::max(worst, std::sqrt(diff / size));
    }
    return worst;
}

}  // namespace

TEST_CASE("jacobian arcs are the solver's arcs, in its order") {
    for (const Problem& p : problems(300, 3)) {
        const std::vector<LambertSolution> plain = solve(p.r1, p.r2, p.tof, p.s);
        const std::vector<Arc> arcs = jacobian_arcs(p.r1, p.r2, p.tof, p.s);
        CHECK(arcs.size() == plain.size());
        for (std::size_t i = 0; i < std::min(arcs.size(), plain.size()); ++i) {
            CHECK(arcs[i].sol.v1.x == plain[i].v1.x && arcs[i].sol.v2.z == plain[i].v2.z);
            CHECK(arcs[i].sol.num_revs == plain[i].num_revs && arcs[i].sol.path_flag == plain[i].path_flag);
        }
    }
}

TEST_CASE("the jacobian matches central differences of the solver on every kind of arc") {
    std::vector<double> errors;
    std::size_t multi = 0;
    std::size_t hyperbolic = 0;
    for (const Problem& p : problems(600, 7)) {
        const std::vector<Arc> arcs = jacobian_arcs(p.r1, p.r2, p.tof, p.s);
        const auto fd = central_differences(p, arcs.size());
        if (!fd) continue;
        for (std::size_t i = 0; i < arcs.size(); ++i) {
            const double e = column_error(arcs[i].jac, (*fd)[i]);
            errors.push_back(e);
            CHECK(e < 1e-5);
            if (!(e < 1e-5)) {
                std::fprintf(stderr, "arc %zu/%zu (M %llu, flag %llu): column error %.3g\n", i, arcs.size(),
                             static_cast<unsigned long long>(arcs[i].sol.num_revs),
                             static_cast<unsigned long long>(arcs[i].sol.path_flag), e);
            }
            if (arcs[i].sol.num_revs > 0) ++multi;
            const Vec3 v1 = arcs[i].sol.v1;
            if (orbelin::dot(v1, v1) / 2.0 > p.s.mu / orbelin::norm(p.r1)) ++hyperbolic;
        }
    }
    std::sort(errors.begin(), errors.end());
    CHECK(errors.size() > 1000 && multi > 500 && hyperbolic > 100);
    std::printf(
        "jacobian vs central differences: %zu arcs (%zu multi-revolution, %zu hyperbolic), column error "
        "median %.2g, 99%% %.2g, max %.2g\n",
        errors.size(), multi, hyperbolic, errors[errors.size() / 2], errors[errors.size() * 99 / 100], errors.back());
}

TEST_CASE("the jacobian is NaN where the arc or its plane is not defined") {
    const LambertSettings s{.mu = mu_earth, .max_rev = 2};
    const Vec3 r1{7000.0, 0.0, 0.0};
    const auto all_nan = [](const LambertJacobian& j) {
        return std::all_of(j.begin(), j.end(), [](double e) { return std::isnan(e); });
    };
    // Collinear positions (0 and 180 degrees), a non-positive and a NaN time of flight, a zero position.
    const struct {
        Vec3 r2;
        double tof;
    } cases[] = {{{-9000.0, 0.0, 0.0}, 5000.0}, {{9000.0, 0.0, 0.0}, 5000.0}, {{-9000.0, 1e-3, 0.0}, 5000.0},
                 {{0.0, 9000.0, 0.0}, 0.0},     {{0.0, 9000.0, 0.0}, -1.0},   {{0.0, 9000.0, 0.0}, std::nan("")},
                 {{0.0, 0.0, 0.0}, 5000.0}};
    for (const auto& c : cases) {
        const std::vector<Arc> arcs = jacobian_arcs(r1, c.r2, c.tof, s);
        CHECK(!arcs.empty());
        for (const Arc& a : arcs) CHECK(all_nan(a.jac));
    }
    // Next to the parabola (x = 1 at T = 2/3 (1 - lambda^3), where the solver itself gives NaN).
    const Vec3 r2{0.0, 9000.0, 0.0};
    const double c = orbelin::norm(r2 - r1);
    const double sp = (orbelin::norm(r1) + orbelin::norm(r2) + c) / 2.0;
    const double lambda = std::sqrt(1.0 - c / sp);
    const double tof = 2.0 / 3.0 * (1.0 - lambda * lambda * lambda) / std::sqrt(2.0 * mu_earth / (sp * sp * sp));
    const std::vector<Arc> parabola = jacobian_arcs(r1, r2, tof * (1.0 + 1e-9), s);
    CHECK(parabola.size() == 1 && std::isfinite(parabola[0].sol.v1.x) && all_nan(parabola[0].jac));
    // A little further the Jacobian is finite.
    const std::vector<Arc> near = jacobian_arcs(r1, r2, 1.01 * tof, s);
    CHECK(near.size() == 1 &&
          std::all_of(near[0].jac.begin(), near[0].jac.end(), [](double e) { return std::isfinite(e); }));
}
