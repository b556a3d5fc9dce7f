// The arc reports of solver/lambert_impulses: counts found without solving, elements paired with each arc (the
// solver's norms reused, bit for bit what the stand-alone element routine gives) and impulses of every arc.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "check.hpp"
#include "common/fault.hpp"
#include "common/system_resources.hpp"
#include "orbit/transfer_elements.hpp"
#include "solver/lambert_impulses.hpp"
#include "solver/lambert_izzo.hpp"

using orbelin::LambertSettings;
using orbelin::LambertSolution;
using orbelin::TransferElements;
using orbelin::Vec3;

namespace {

constexpr double mu_e = 398600.4418;
constexpr double kPi = 3.141592653589793;

// Equal bits, or both NaN: the sign and payload of a NaN carry nothing and follow the operand order the compiler
// chose, which may differ between two inlined copies of the same arithmetic.
bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

bool same_bits(const TransferElements& a, const TransferElements& b) {
    return same_bits(a.sma, b.sma) && same_bits(a.ecc, b.ecc) && same_bits(a.inc, b.inc) && same_bits(a.raan, b.raan) &&
           same_bits(a.argp, b.argp) && same_bits(a.ta_depart, b.ta_depart) && same_bits(a.ta_arrive, b.ta_arrive) &&
           same_bits(a.rp, b.rp) && same_bits(a.ra, b.ra);
}

struct Problem {
    Vec3 r1, u1, r2, u2;
    double tof;
    LambertSettings options;
};

Vec3 direction(std::mt19937_64& rng) {
    std::normal_distribution<double> n(0.0, 1.0);
    const Vec3 v{n(rng), n(rng), n(rng)};
    return v / orbelin::norm(v);
}

// Random problems over every branch of the count: times of flight from a tenth of a minimum-energy period to
// twelve of them, max_rev 0 to 5, both directions, collinear positions on both sides (so the reference normal
// matters), transfer angles within the half-turn band of lambda, positions in the equatorial plane, non-positive
// and NaN times, NaN positions.
std::vector<Problem> problems(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> radius(6700.0, 42000.0), log_frac(std::log(0.1), std::log(12.0));
    std::vector<Problem> out;
    for (std::size_t i = 0; i < n; ++i) {
        Vec3 r1 = radius(rng) * direction(rng);
        Vec3 r2 = radius(rng) * direction(rng);
        if (i % 9 == 0) r2 = -1.3 * r1;
        if (i % 23 == 0) r2 = -1.2 * r1 + 1e-4 * orbelin::norm(r1) * direction(rng);
        if (i % 29 == 0) r2 = 1.5 * r1;
        if (i % 13 == 0) r1.z = r2.z = 0.0;
        if (i % 83 == 0) r2.y = std::nan("");
        const Vec3 u1 = 7.0 * direction(rng);
        const Vec3 u2 = 6.0 * direction(rng);
        const double s = (orbelin::norm(r1) + orbelin::norm(r2) + orbelin::norm(r2 - r1)) / 2.0;
        double tof = std::exp(log_frac(rng)) * 2.0 * kPi * std::sqrt(std::pow(s / 2.0, 3) / mu_e);
        if (i % 31 == 0) tof = -tof;
        if (i % 37 == 0) tof = std::nan("");
        out.push_back({r1,
                       u1,
                       r2,
                       u2,
                       tof,
                       {.mu = mu_e, .max_rev = i % 6, .retrograde = i % 2 == 1, .reentry_check = i % 5 == 0}});
    }
    return out;
}

// Runs f once with each instruction set of the solver's kernels that this machine runs, then goes back to the
// portable kernels.
template <class F>
void with_each_kernel(F&& f) {
    for (const auto isa :
         {orbelin::InstructionSet::portable, orbelin::InstructionSet::avx2, orbelin::InstructionSet::avx512}) {
        if (!orbelin::instruction_set_supported(isa)) continue;
        orbelin::use_householder_kernels(isa);
        f();
    }
    orbelin::use_householder_kernels(orbelin::InstructionSet::portable);
}

}  // namespace

TEST_CASE("arc counts found by the setup equal the arcs the solver gives") {
    std::size_t with_revolutions = 0;
    for (const Problem& p : problems(3000, 11)) {
        const LambertSettings& o = p.options;
        std::uint64_t visited = 0;
        orbelin::visit_annotated_arcs(p.r1, p.r2, p.tof, o,
                                      [&](const LambertSolution&, const TransferElements&) { ++visited; });
        CHECK(orbelin::annotated_arc_count(p.r1, p.r2, p.tof, o) == visited);
        std::uint64_t impulses = 0;
        orbelin::visit_arc_impulses(p.r1, p.u1, p.r2, p.u2, p.tof, o, [&](const orbelin::Impulses&) { ++impulses; });
        CHECK(orbelin::arc_impulses_count(p.r1, p.u1, p.r2, p.tof, o) == impulses);
        if (visited > 1) ++with_revolutions;
    }
    CHECK(with_revolutions > 1000);
}

TEST_CASE("annotated arcs carry the stand-alone elements and the solver's records, bit for bit") {
    for (const Problem& p : problems(2000, 12)) {
        const LambertSettings& o = p.options;
        std::vector<LambertSolution> plain;
        orbelin::lambert_izzo_visit(p.r1, p.r2, p.tof, o, std::nullopt,
                                    [&](const LambertSolution& s) { plain.push_back(s); });
        std::size_t k = 0;
        orbelin::visit_annotated_arcs(p.r1, p.r2, p.tof, o, [&](const LambertSolution& s, const TransferElements& e) {
            CHECK(k < plain.size());
            if (k >= plain.size()) return;
            CHECK(same_bits(s.v1.x, plain[k].v1.x) && same_bits(s.v2.z, plain[k].v2.z));
            CHECK(s.num_revs == plain[k].num_revs && s.path_flag == plain[k].path_flag);
            CHECK(same_bits(e, orbelin::compute_transfer_orbit_elements(p.r1, s.v1, p.r2, s.v2, o.mu)));
            ++k;
        });
        CHECK(k == plain.size());
    }
}

TEST_CASE("a range of cases is annotated in runs exactly as case by case, in order") {
    // One set of options per batch, as a batch call has; max_rev 16 with the long flights of problems() gives
    // cases of more arcs than a run holds, next to single arcs, NaN records and re-entry blanks. On every kernel.
    with_each_kernel([] {
        for (const bool retrograde : {false, true}) {
            const LambertSettings o{.mu = mu_e, .max_rev = 16, .retrograde = retrograde, .reentry_check = true};
            std::vector<Problem> ps = problems(700, retrograde ? 15 : 14);
            for (std::size_t c = 0; c < ps.size(); c += 40) ps[c].tof *= 3.0;  // up to 36 periods: 16 revolutions
            struct Row {
                std::size_t c;
                LambertSolution s;
                TransferElements e;
            };
            std::vector<Row> expected;
            for (std::size_t c = 0; c < ps.size(); ++c) {
                orbelin::visit_annotated_arcs(
                    ps[c].r1, ps[c].r2, ps[c].tof, o,
                    [&](const LambertSolution& s, const TransferElements& e) { expected.push_back({c, s, e}); });
            }
            // Ranges of several lengths, so that runs end inside and at the edges of cases.
            for (const std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{256}}) {
                std::vector<Row> got;
                for (std::size_t begin = 0; begin < ps.size(); begin += step) {
                    const std::size_t end = std::min(ps.size(), begin + step);
                    orbelin::visit_annotated_cases(
                        begin, end, [&](std::size_t c) { return orbelin::LambertCase{ps[c].r1, ps[c].r2, ps[c].tof}; },
                        o,
                        [&](std::size_t c, const LambertSolution& s, const TransferElements& e) {
                            got.push_back({c, s, e});
                        });
                }
                CHECK(got.size() == expected.size());
                if (got.size() != expected.size()) continue;
                for (std::size_t k = 0; k < got.size(); ++k) {
                    CHECK(got[k].c == expected[k].c);
                    CHECK(same_bits(got[k].s.v1.y, expected[k].s.v1.y) && same_bits(got[k].s.v2.x, expected[k].s.v2.x));
                    CHECK(got[k].s.num_revs == expected[k].s.num_revs && got[k].s.path_flag == expected[k].s.path_flag);
                    CHECK(same_bits(got[k].e, expected[k].e));
                }
            }
            std::size_t widest = 0;
            for (std::size_t c = 0; c < ps.size(); ++c) {
                widest = std::max<std::size_t>(widest, orbelin::annotated_arc_count(ps[c].r1, ps[c].r2, ps[c].tof, o));
            }
            CHECK(widest > orbelin::annotation_run);
        }
    });
}

TEST_CASE("every kernel of householder_jobs gives each solve the bits of householder alone") {
    // Jobs over both branches of x, all time formulas (Lagrange, Battin, Lancaster, and the zones' edges), several
    // revolutions, the iteration limit reached, a tolerance below rounding (the steps' noise ends the solve), none
    // at all (tol >= 1, maxiter 0) and NaN inputs; job counts that do and do not fill the lanes. Each kernel the
    // machine runs: the portable one, and the AVX2 and AVX-512F lanes.
    using Kernel = void (*)(orbelin::HouseholderJob*, std::size_t, double, std::uint64_t) noexcept;
    std::vector<Kernel> kernels{&orbelin::detail::householder_jobs_portable};
    if (orbelin::instruction_set_supported(orbelin::InstructionSet::avx2)) {
        kernels.push_back(&orbelin::detail::householder_jobs_avx2);
    }
    if (orbelin::instruction_set_supported(orbelin::InstructionSet::avx512)) {
        kernels.push_back(&orbelin::detail::householder_jobs_avx512);
    }
    std::mt19937_64 rng(21);
    std::uniform_real_distribution<double> lam(-1.0, 1.0), xs(-0.95, 3.0), ts(0.05, 40.0), u(0.0, 1.0);
    const auto initial_x = [&](std::size_t k) {
        switch (k % 9) {
            case 0:
                return 1.0 + 0.004 * lam(rng);  // Battin's series
            case 1:
                return 1.0 + (lam(rng) < 0.0 ? -1.0 : 1.0) * (0.01 + 0.19 * u(rng));  // Lagrange's form
            case 2:
                return k % 2 == 0 ? 1.01 : 0.8;  // |x - 1| at 0.01 and 0.2: Lancaster's form
            default:
                return k % 11 == 3 ? std::nan("") : xs(rng);
        }
    };
    std::size_t solves = 0;
    for (const Kernel kernel : kernels)
        for (const double tol : {1e-8, 1e-11, 1e-30, 1.0, 2.0})
            for (const std::uint64_t maxiter :
                 {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{50}})
                for (const std::size_t n :
                     {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{9}, std::size_t{211}}) {
                    std::vector<orbelin::HouseholderJob> jobs;
                    for (std::size_t k = 0; k < n; ++k) {
                        const double T = k % 13 == 5 ? std::nan("") : ts(rng);
                        jobs.push_back({initial_x(k), T, k % 17 == 6 ? std::nan("") : lam(rng), k % 4});
                    }
                    std::vector<orbelin::HouseholderJob> together = jobs;
                    kernel(together.data(), together.size(), tol, maxiter);
                    for (std::size_t k = 0; k < n; ++k) {
                        double alone = jobs[k].x;
                        orbelin::householder(alone, jobs[k].M, maxiter, jobs[k].T, tol, jobs[k].lambda);
                        CHECK(same_bits(together[k].x, alone));
                        solves += std::isnan(alone) ? 0 : 1;
                    }
                }
    CHECK(solves > 1000);
}

TEST_CASE("ranges of cases between two spacecraft give the case-by-case impulses and best arcs, in order") {
    // With the re-entry check the runs take the records one at a time, without it the velocities of whole solves.
    with_each_kernel([] {
        for (const std::uint64_t max_rev : {std::uint64_t{0}, std::uint64_t{3}, std::uint64_t{16}}) {
            for (const bool reentry_check : {true, false}) {
                std::vector<Problem> ps = problems(400, 16 + max_rev);
                for (std::size_t c = 0; c < ps.size(); c += 40) ps[c].tof *= 3.0;  // more arcs than a run holds
                const LambertSettings o{
                    .mu = mu_e, .max_rev = max_rev, .retrograde = max_rev > 0, .reentry_check = reentry_check};
                const auto case_of = [&](std::size_t c) {
                    return orbelin::ImpulseCase{orbelin::arc_ends(ps[c].r1, ps[c].r2), ps[c].u1, ps[c].u2,
                                                orbelin::departure_normal(ps[c].r1, ps[c].u1), ps[c].tof};
                };
                std::vector<orbelin::Impulses> expected, got;
                for (const Problem& p : ps) {
                    orbelin::visit_arc_impulses(p.r1, p.u1, p.r2, p.u2, p.tof, o,
                                                [&](const orbelin::Impulses& i) { expected.push_back(i); });
                }
                std::size_t last = 0;
                for (std::size_t begin = 0; begin < ps.size(); begin += 7) {
                    orbelin::visit_arc_impulses_run(begin, std::min(ps.size(), begin + 7), case_of, o,
                                                    [&](std::size_t c, const orbelin::Impulses& i) {
                                                        CHECK(c >= last);
                                                        last = c;
                                                        got.push_back(i);
                                                    });
                }
                CHECK(got.size() == expected.size());
                for (std::size_t k = 0; k < std::min(got.size(), expected.size()); ++k) {
                    CHECK(same_bits(got[k].dv1.x, expected[k].dv1.x) && same_bits(got[k].dv2.y, expected[k].dv2.y));
                    CHECK(same_bits(got[k].total, expected[k].total));
                }
                for (const auto& [rendezvous, directions] :
                     {std::pair{false, orbelin::Directions::retrograde}, std::pair{false, orbelin::Directions::both},
                      std::pair{true, orbelin::Directions::both}}) {
                    // A case alone leaves out the other direction where it cannot win; a run solves both.
                    const orbelin::BestArcOptions b{
                        .solver = {.mu = mu_e, .max_rev = max_rev, .reentry_check = reentry_check},
                        .rendezvous = rendezvous,
                        .directions = directions};
                    std::size_t next = 0;
                    orbelin::best_lambert_arcs_run(
                        0, ps.size(), case_of, b, [&](std::size_t c, const std::optional<orbelin::BestArc>& best) {
                            CHECK(c == next++);
                            const Problem& p = ps[c];
                            const auto alone = orbelin::best_lambert_arc(p.r1, p.u1, p.r2, p.u2, p.tof, b);
                            CHECK(best.has_value() == alone.has_value());
                            if (best && alone) {
                                CHECK(same_bits(best->impulses.total, alone->impulses.total));
                                CHECK(same_bits(best->impulses.dv1.z, alone->impulses.dv1.z));
                                CHECK(same_bits(best->impulses.dv2.x, alone->impulses.dv2.x));
                                CHECK(best->num_revs == alone->num_revs);
                                CHECK(best->path_flag == alone->path_flag);
                                CHECK(best->retrograde == alone->retrograde);
                            }
                        });
                    CHECK(next == ps.size());
                }
            }
        }
    });
}

TEST_CASE("no arc of the other direction of motion beats a best arc below the tangential bound") {
    // Random problems, and problems between spacecraft on near-circular orbits that turn the same way round, where
    // the bound is meant to apply.
    std::vector<Problem> ps = problems(300, 71);
    std::mt19937_64 rng(72);
    std::uniform_real_distribution<double> jitter(-0.15, 0.15);
    for (Problem p : problems(300, 73)) {
        const Vec3 n = orbelin::cross(p.r1, p.r2);
        if (!(orbelin::norm(n) > 0.0)) continue;
        const Vec3 h = n / orbelin::norm(n);
        const auto circular = [&](const Vec3& r) {
            const Vec3 t = orbelin::cross(h, r);
            return std::sqrt(mu_e / orbelin::norm(r)) * (1.0 + jitter(rng)) * (t / orbelin::norm(t));
        };
        p.u1 = circular(p.r1);
        p.u2 = circular(p.r2);
        ps.push_back(p);
    }
    std::size_t bounded = 0;
    for (const Problem& p : ps) {
        for (const bool rendezvous : {false, true}) {
            LambertSettings first = p.options;
            first.retrograde = false;
            orbelin::detail::IzzoProblem q;
            if (!orbelin::detail::izzo_setup(p.r1, p.r2, p.tof, first,
                                             orbelin::collinear_reference_normal(p.r1, p.u1, p.r2), q)) {
                continue;
            }
            double best = orbelin::penalty_value;
            orbelin::visit_arc_impulses(p.r1, p.u1, p.r2, p.u2, p.tof, first, [&](const orbelin::Impulses& i) {
                const double cost = orbelin::impulse_cost(i, rendezvous);
                if (cost < best) best = cost;
            });
            if (!orbelin::other_direction_loses(best, q.it1, q.it2, p.u1, p.u2, rendezvous)) continue;
            ++bounded;
            LambertSettings other = first;
            other.retrograde = true;
            orbelin::visit_arc_impulses(p.r1, p.u1, p.r2, p.u2, p.tof, other, [&](const orbelin::Impulses& i) {
                CHECK(!(orbelin::impulse_cost(i, rendezvous) < best));
            });
        }
    }
    CHECK(bounded > 200);
}

TEST_CASE("arc impulses are the velocity differences of the arcs solved with the collinear normal") {
    for (const Problem& p : problems(500, 13)) {
        const LambertSettings& o = p.options;
        std::vector<LambertSolution> arcs;
        orbelin::lambert_izzo_visit(p.r1, p.r2, p.tof, o, orbelin::collinear_reference_normal(p.r1, p.u1, p.r2),
                                    [&](const LambertSolution& s) { arcs.push_back(s); });
        std::size_t k = 0;
        orbelin::visit_arc_impulses(p.r1, p.u1, p.r2, p.u2, p.tof, o, [&](const orbelin::Impulses& i) {
            CHECK(k < arcs.size());
            if (k >= arcs.size()) return;
            const Vec3 dv1 = arcs[k].v1 - p.u1;
            const Vec3 dv2 = p.u2 - arcs[k].v2;
            CHECK(same_bits(i.dv1.x, dv1.x) && same_bits(i.dv1.y, dv1.y) && same_bits(i.dv2.z, dv2.z));
            CHECK(same_bits(i.total, orbelin::norm(dv1) + orbelin::norm(dv2)));
            ++k;
        });
        CHECK(k == arcs.size());
    }
}

// The counts at the edges where the number of revolutions changes: T at a multiple of pi (where floor(T / pi)
// steps, with max_rev below, at and above that bound) and the minimum time of a family (found by bisection on the
// solver's own record count), a few ulps either side; collinear positions whose plane comes from the departure
// velocity, in both directions of motion.
TEST_CASE("arc counts equal the solver's records at the edges of the revolution count") {
    const Vec3 r1{7000.0, 0.0, 0.0};
    const std::vector<std::pair<Vec3, Vec3>> ends_and_u1 = {
        {{-3000.0, 9000.0, 500.0}, {0.0, 7.5, 0.0}},
        {{9000.0, 1e-9, 0.0}, {0.0, 0.0, 7.5}},   // collinear: the plane is that of (r1, u1)
        {{9000.0, 1e-9, 0.0}, {0.0, 0.0, -7.5}},  // and its opposite
        {{-12000.0, 0.0, 0.0}, {0.0, 7.5, 1.0}},  // a half turn
    };
    std::size_t steps = 0;
    for (const auto& [r2, u1] : ends_and_u1) {
        const double s = (orbelin::norm(r1) + orbelin::norm(r2) + orbelin::norm(r2 - r1)) / 2.0;
        const double t_of_T = 1.0 / std::sqrt(2.0 * mu_e / (s * s * s));  // tof of T = 1
        for (const bool retrograde : {false, true}) {
            for (std::uint64_t m = 1; m <= 3; ++m) {
                LambertSettings o{.mu = mu_e, .max_rev = 3, .retrograde = retrograde};
                const auto records = [&](double tof) {
                    std::uint64_t n = 0;
                    orbelin::visit_arc_impulses(r1, u1, r2, Vec3{}, tof, o, [&](const orbelin::Impulses&) { ++n; });
                    return n;
                };
                // The minimum time of family m lies between m pi and (m + 1) pi when that family exists.
                double lo = m * kPi * t_of_T;
                double hi = (m + 1) * kPi * t_of_T;
                if (records(lo) < 2 * m + 1 && records(hi) == 2 * m + 1) {
                    for (int i = 0; i < 80 && std::nextafter(lo, hi) < hi; ++i) {
                        const double mid = lo + (hi - lo) / 2.0;
                        (records(mid) == 2 * m + 1 ? hi : lo) = mid;
                    }
                    ++steps;
                }
                for (const double edge : {m * kPi * t_of_T, hi}) {
                    for (std::uint64_t max_rev = m - 1; max_rev <= m + 1; ++max_rev) {
                        o.max_rev = max_rev;
                        double tof = edge;
                        for (int i = 0; i < 4; ++i) tof = std::nextafter(tof, 0.0);
                        for (int i = 0; i < 8; ++i, tof = std::nextafter(tof, 1e300)) {
                            const std::uint64_t n = records(tof);
                            CHECK(orbelin::arc_impulses_count(r1, u1, r2, tof, o) == n);
                            LambertSettings plain = o;
                            std::uint64_t annotated = 0;
                            orbelin::visit_annotated_arcs(
                                r1, r2, tof, plain,
                                [&](const LambertSolution&, const TransferElements&) { ++annotated; });
                            CHECK(orbelin::annotated_arc_count(r1, r2, tof, plain) == annotated);
                        }
                    }
                }
            }
        }
    }
    CHECK(steps > 10);  // the minimum-time edge was found for most families
}

// Far more revolutions than are solved in one call are refused by the count as by the solver, whether max_rev is
// below the bound floor(T / pi) or at least that bound.
TEST_CASE("counting refuses too many revolutions like the solver") {
    const Vec3 r1{7000.0, 0.0, 0.0};
    const Vec3 r2{0.0, 7000.0, 0.0};
    const double period = 2.0 * kPi * std::sqrt(std::pow(7000.0, 3) / mu_e);
    for (const std::uint64_t max_rev : {std::uint64_t{2'000'000}, std::uint64_t{1'000'000'000}}) {
        const LambertSettings o{.mu = mu_e, .max_rev = max_rev};
        const double tof = 3e6 * period;
        CHECK_THROWS_AS(orbelin::annotated_arc_count(r1, r2, tof, o), orbelin::RefusedRequest);
        CHECK_THROWS_AS(orbelin::arc_impulses_count(r1, Vec3{0.0, 7.5, 0.0}, r2, tof, o), orbelin::RefusedRequest);
        CHECK_THROWS_AS(orbelin::lambert_izzo_single_impl(r1, r2, tof, o), orbelin::RefusedRequest);
        CHECK(orbelin::annotated_arc_count(r1, r2, 10.0 * period, o) ==
              orbelin::lambert_izzo_single_impl(r1, r2, 10.0 * period, o).size());
    }
}

TEST_CASE("counting refuses a non-positive mu like the solver") {
    const LambertSettings o{.mu = -1.0, .max_rev = 3};
    CHECK_THROWS_AS(orbelin::annotated_arc_count({7000.0, 0.0, 0.0}, {0.0, 7000.0, 0.0}, 3600.0, o),
                    orbelin::InternalFault);
    CHECK_THROWS_AS(orbelin::annotated_arc_count({7000.0, 0.0, 0.0}, {0.0, 7000.0, 0.0}, -1.0, o),
                    orbelin::InternalFault);
}
