// Transfer optimisation core: start placement, duplicate removal, the time grid and its refusals, the scan's cell
// selection, the window and aim rules of the cost functions, and the porkchop's cells and cheapest cell.

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "celestial/sun_state.hpp"
#include "check.hpp"
#include "common/constants.hpp"
#include "optimization/grid_search.hpp"
#include "optimization/lambert_cost.hpp"
#include "optimization/nm_search.hpp"
#include "optimization/porkchop.hpp"
#include "optimization/time_grid.hpp"
#include "optimization/transfer.hpp"
#include "propagation/kepler_universal_2body.hpp"

namespace {

using namespace orbelin;

constexpr double penalty = 1.7976931348623157e308;
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();

State circular(double radius, double phase_rad) {
    const double v = std::sqrt(mu_earth / radius);
    return {radius * std::cos(phase_rad), radius * std::sin(phase_rad), 0.0,
            -v * std::sin(phase_rad),     v * std::cos(phase_rad),      0.0};
}

const State source = circular(7000.0, 0.0);
const State target = circular(7300.0, 1.7);
const State nan_state{qnan, qnan, qnan, qnan, qnan, qnan};

// The transfer problem between two states: max_rev revolutions about the Earth, both directions, aimed at `aim`.
TransferProblem problem(const State& from, const State& to, std::uint64_t max_rev, bool rendezvous,
                        ArrivalAim aim = ArrivalAim::target()) {
    return {
        .source = from, .target = to, .arcs = {.solver = {.max_rev = max_rev}, .rendezvous = rendezvous}, .aim = aim};
}

TransferProblem scan(const State& from, const State& to, bool retrograde) {
    return intercept_problem(from, to, mu_earth, retrograde ? Directions::retrograde : Directions::prograde);
}

// ---------------------------------------------------------------------------------------------------------------
// Starts and duplicates

TEST_CASE("generate_initial_guesses on (0, 100)") {
    using Pairs = std::vector<TimePair>;
    const double third = 100.0 / 3.0, two_thirds = 200.0 / 3.0;
    CHECK(generate_initial_guesses(0, 0.0, 100.0).empty());
    CHECK((generate_initial_guesses(1, 0.0, 100.0) == Pairs{{0.0, 100.0}}));
    CHECK((generate_initial_guesses(2, 0.0, 100.0) == Pairs{{0.0, 100.0}}));
    const Pairs halves{{0.0, 50.0}, {0.0, 100.0}, {50.0, 100.0}};
    CHECK(generate_initial_guesses(3, 0.0, 100.0) == halves);
    CHECK(generate_initial_guesses(4, 0.0, 100.0) == halves);
    CHECK((generate_initial_guesses(5, 0.0, 100.0) ==
           Pairs{{0.0, third}, {0.0, two_thirds}, {0.0, 100.0}, {third, two_thirds}, {third, 100.0}}));
    CHECK((generate_initial_guesses(10, 0.0, 100.0) == Pairs{{0.0, 25.0},
                                                             {0.0, 50.0},
                                                             {0.0, 75.0},
                                                             {0.0, 100.0},
                                                             {25.0, 50.0},
                                                             {25.0, 75.0},
                                                             {25.0, 100.0},
                                                             {50.0, 75.0},
                                                             {50.0, 100.0},
                                                             {75.0, 100.0}}));
    // n = 13: 15 pairs of the 6-value grid, every 15/13-th taken: all but indices 7 and 14.
    CHECK((generate_initial_guesses(13, 0.0, 100.0) == Pairs{{0.0, 20.0},
                                                             {0.0, 40.0},
                                                             {0.0, 60.0},
                                                             {0.0, 80.0},
                                                             {0.0, 100.0},
                                                             {20.0, 40.0},
                                                             {20.0, 60.0},
                                                             {20.0, 100.0},
                                                             {40.0, 60.0},
                                                             {40.0, 80.0},
                                                             {40.0, 100.0},
                                                             {60.0, 80.0},
                                                             {60.0, 100.0}}));
    // Offset window: x_k = (k R) / d + lo.
    CHECK((generate_initial_guesses(3, 1000.0, 1300.0) == Pairs{{1000.0, 1150.0}, {1000.0, 1300.0}, {1150.0, 1300.0}}));
}

OptimizedLambertSolution sol(double t0, double tf, double cost) {
    return {t0, tf, cost, Vec3{cost, 0.0, 0.0}, Vec3{qnan, qnan, qnan}};
}

std::vector<std::array<double, 3>> key(const std::vector<OptimizedLambertSolution>& v) {
    std::vector<std::array<double, 3>> out;
    for (const auto& s : v) out.push_back({s.t0, s.tf, s.cost});
    return out;
}

TEST_CASE("remove_duplicate_solutions keeps the cheapest of a cluster, ordered by cost") {
    using K = std::vector<std::array<double, 3>>;
    CHECK(remove_duplicate_solutions({}, 0.0, 1000.0).empty());
    // Window 1000 s: tolerance 1 s on t0 and on tf separately.
    const auto kept = remove_duplicate_solutions(
        {sol(100.0, 500.0, 2.0), sol(100.5, 500.5, 1.0), sol(102.0, 500.0, 1.5), sol(300.0, 600.0, 0.5)}, 0.0, 1000.0);
    CHECK((key(kept) == K{{300.0, 600.0, 0.5}, {100.5, 500.5, 1.0}, {102.0, 500.0, 1.5}}));
    // Exactly the tolerance apart, or close in one time only: both stay.
    CHECK(remove_duplicate_solutions({sol(100.0, 500.0, 1.0), sol(101.0, 500.0, 2.0)}, 0.0, 1000.0).size() == 2);
    CHECK(remove_duplicate_solutions({sol(100.0, 500.0, 1.0), sol(100.0, 503.0, 2.0)}, 0.0, 1000.0).size() == 2);
    // Equal costs keep their input order; a cluster member is judged against kept solutions only.
    const auto ties = remove_duplicate_solutions(
        {sol(0.0, 10.0, 3.0), sol(500.0, 600.0, 3.0), sol(900.0, 950.0, 1.0), sol(0.4, 10.4, 3.0)}, 0.0, 1000.0);
    CHECK((key(ties) == K{{900.0, 950.0, 1.0}, {0.0, 10.0, 3.0}, {500.0, 600.0, 3.0}}));
}

// ---------------------------------------------------------------------------------------------------------------
// Time grid

std::vector<std::pair<double, double>> cells(const TimeGrid& g, std::size_t begin, std::size_t end) {
    std::vector<std::pair<double, double>> out;
    std::size_t expect = begin;
    bool ordered = true;
    g.for_cells(begin, end, [&](std::size_t k, double t0, double tf) {
        ordered = ordered && k == expect++;
        out.emplace_back(t0, tf);
    });
    CHECK(ordered);
    return out;
}

TimeGrid grid_of(double lo, double hi, double step, std::uint64_t max_cells = 1u << 20) {
    TimeGrid g;
    CHECK(TimeGrid::build(lo, hi, step, max_cells, g) == GridStatus::ok);
    return g;
}

TEST_CASE("time grid of (0, 100) step 25 and its partial walks") {
    using C = std::vector<std::pair<double, double>>;
    const C all{{0, 25}, {0, 50}, {0, 75}, {0, 100}, {25, 50}, {25, 75}, {25, 100}, {50, 75}, {50, 100}, {75, 100}};
    const TimeGrid g = grid_of(0.0, 100.0, 25.0);
    CHECK(g.cells() == 10 && cells(g, 0, 10) == all);
    // Any range of cells, as a parallel loop hands them out, walks the same cells.
    bool same = true;
    for (std::size_t b = 0; b <= 10; ++b)
        for (std::size_t e = b; e <= 10; ++e) same = same && cells(g, b, e) == C(all.begin() + b, all.begin() + e);
    CHECK(same);
    CHECK(grid_of(0.0, 110.0, 25.0).cells() == 10);  // the last value is 100
    CHECK((cells(grid_of(40.0, 65.0, 25.0), 0, 1) == C{{40.0, 65.0}}));
    CHECK(grid_of(0.0, 24.0, 25.0).empty() && grid_of(100.0, 0.0, 25.0).empty() && grid_of(5.0, 5.0, 1.0).empty());
}

TEST_CASE("time grid values are sums of the step") {
    // 0.1 added seven times is exactly 0.7; 7 * 0.1 is not. Added three times it passes 0.3.
    const TimeGrid g = grid_of(0.0, 0.7, 0.1);
    CHECK(g.cells() == 28);
    const auto c = cells(g, 0, g.cells());
    double x = 0.0;
    bool sums = true;
    for (std::size_t j = 0; j < 7; ++j) {
        x += 0.1;
        sums = sums && c[j].first == 0.0 && c[j].second == x;
    }
    CHECK(sums && c.back().second == 0.7 && 7 * 0.1 > 0.7);
    CHECK(grid_of(0.0, 0.3, 0.1).cells() == 3);
}

TEST_CASE("time grid refusals") {
    TimeGrid g;
    for (double step : {0.0, -1.0, qnan, -inf})
        CHECK(TimeGrid::build(0.0, 100.0, step, 100, g) == GridStatus::bad_step);
    CHECK(TimeGrid::build(0.0, inf, 0.0, 100, g) == GridStatus::bad_step);  // the step first
    for (auto [lo, hi] :
         {std::pair{0.0, inf}, std::pair{-inf, 0.0}, std::pair{qnan, 1.0}, std::pair{0.0, qnan}, std::pair{inf, inf}})
        CHECK(TimeGrid::build(lo, hi, 1.0, 100, g) == GridStatus::bad_bounds);
    CHECK(TimeGrid::build(1e20, 1e20 + 1e6, 1.0, 1000, g) == GridStatus::step_stalls && g.stalled_at() == 1e20);
    // Stalling part-way: above 2^53 adding 1 no longer moves.
    const double two53 = 9007199254740992.0;
    CHECK(TimeGrid::build(two53 - 4.0, two53 + 64.0, 1.0, 1u << 20, g) == GridStatus::step_stalls &&
          g.stalled_at() == two53 && g.empty());
    CHECK(TimeGrid::build(0.0, 100.0, 25.0, 10, g) == GridStatus::ok && g.cells() == 10);
    CHECK(TimeGrid::build(0.0, 100.0, 25.0, 9, g) == GridStatus::too_many_cells && g.empty());
    CHECK(TimeGrid::build(0.0, 1e9, 1.0, std::uint64_t{1} << 40, g) == GridStatus::too_many_cells);
}

// ---------------------------------------------------------------------------------------------------------------
// Transfer scan selection

TEST_CASE("optimize_lambert_transfer selects the last cheapest cell") {
    const TimeGrid g = grid_of(0.0, 6000.0, 500.0);
    for (const bool retro : {false, true}) {
        const auto all = optimize_lambert_transfer_grid(g, scan(source, target, retro));
        const GridCell best = optimize_lambert_transfer(g, {0.0, 6000.0}, 500.0, scan(source, target, retro));
        std::size_t pick = 0;
        for (std::size_t k = 0; k < all.size(); ++k) {
            CHECK(std::isfinite(all[k].dv));
            if (all[k].dv <= all[pick].dv) pick = k;
        }
        CHECK(best.t0 == all[pick].t0 && best.tf == all[pick].tf && best.dv == all[pick].dv);
    }
    // Nothing finite: the last cell, with NaN.
    const GridCell none =
        optimize_lambert_transfer(grid_of(0.0, 100.0, 25.0), {0.0, 100.0}, 25.0, scan(source, nan_state, false));
    CHECK(none.t0 == 75.0 && none.tf == 100.0 && std::isnan(none.dv));
    // Empty grid: (lo, lo + step, NaN).
    const GridCell empty =
        optimize_lambert_transfer(grid_of(10.0, 20.0, 25.0), {10.0, 20.0}, 25.0, scan(source, target, false));
    CHECK(empty.t0 == 10.0 && empty.tf == 35.0 && std::isnan(empty.dv));
}

// ---------------------------------------------------------------------------------------------------------------
// Costs and full evaluations

double cost_at(const LambertCost& c, std::vector<double> p) { return c.cost(std::span<const double>(p)); }

TEST_CASE("LambertCost window rule") {
    const LambertCost c(problem(source, target, 0, true), {100.0, 4000.0});
    CHECK(cost_at(c, {}) == penalty && cost_at(c, {500.0}) == penalty && cost_at(c, {500.0, 900.0, 1.0}) == penalty);
    CHECK(cost_at(c, {900.0, 900.0}) == penalty);                        // t0 = tf
    CHECK(cost_at(c, {1000.0, 900.0}) == penalty);                       // t0 > tf
    CHECK(cost_at(c, {500.0, std::nextafter(4000.0, inf)}) == penalty);  // tf just above hi
    CHECK(cost_at(c, {std::nextafter(100.0, 0.0), 900.0}) == penalty);   // t0 just below lo
    CHECK(cost_at(c, {qnan, 900.0}) == penalty && cost_at(c, {500.0, qnan}) == penalty);
    // Both ends of the window are allowed. The positions there are 323 degrees apart along the motion (r1 x r2
    // points against the orbit normal): the cost follows the same plane rule as the full evaluation.
    const Vec3 r1 = position(kepler_universal_2body(source, 100.0));
    const Vec3 r2 = position(kepler_universal_2body(target, 4000.0));
    CHECK(cross(r1, r2).z < 0.0);
    const auto full = compute_impulses(problem(source, target, 0, true), 100.0, 4000.0);
    CHECK(full && cost_at(c, {100.0, 4000.0}) == full->cost && full->cost < 20.0);
    const double m1 = norm(full->dv1), m2 = norm(full->dv2);
    CHECK(full->cost == m1 + m2);
}

TEST_CASE("compute_impulses without a candidate, and without rendezvous") {
    CHECK(!compute_impulses(problem(nan_state, target, 0, true), 0.0, 1000.0));
    CHECK(!compute_impulses(problem(source, target, 0, true), 1000.0, 500.0));  // negative flight time
    const LambertCost c(problem(nan_state, target, 0, true), {0.0, 4000.0});
    CHECK(cost_at(c, {0.0, 1000.0}) == penalty);
    const auto one = compute_impulses(problem(source, target, 1, false), 0.0, 9000.0);
    CHECK(one && has_nan(one->dv2) && std::isnan(one->dv2.x) && std::isnan(one->dv2.z));
    CHECK(one && one->cost == norm(one->dv1));
    const std::array<double, 3> w3{1.0, -2.0, 0.5};
    const std::array<double, 6> w6{1.0, -2.0, 0.5, 0.0, 0.0, 0.0};
    const auto a = compute_impulses(problem(source, target, 0, true, ArrivalAim::waypoint(w3)), 0.0, 3000.0);
    const auto b = compute_impulses(problem(source, target, 0, true, ArrivalAim::waypoint(w6)), 0.0, 3000.0);
    CHECK(a && b && a->cost == b->cost && a->dv2.x == b->dv2.x);
}

TEST_CASE("sun-line aim: a target at the Sun, and offset 0") {
    const double t0_ref = 1.7e9;
    // The target sits at the Sun's position at arrival time tf = 0 (no propagation).
    const Vec3 sun = sun_position(t0_ref / 86400.0 + 2440587.5);
    const State at_sun{sun.x, sun.y, sun.z, 1.0, 0.0, 0.0};
    const LambertCostSunline s(problem(source, at_sun, 0, true), {-200.0, 0.0}, {.offset_km = 500.0, .t0_ref = t0_ref});
    std::vector<double> p{-100.0, 0.0};
    CHECK(s.cost(p) == penalty);
    CHECK(!compute_impulses_sunline(problem(source, at_sun, 0, true), {.offset_km = 500.0, .t0_ref = t0_ref}, -100.0,
                                    0.0));
    // Offset 0: the ordinary cost.
    for (const bool rdv : {false, true}) {
        const LambertCostSunline zero(problem(source, target, 0, rdv), {0.0, 8000.0},
                                      {.offset_km = 0.0, .t0_ref = t0_ref});
        const LambertCost plain(problem(source, target, 0, rdv), {0.0, 8000.0});
        for (auto q : {std::vector<double>{0.0, 8000.0}, std::vector<double>{1234.5, 4321.0}})
            CHECK(zero.cost(q) == plain.cost(q) && plain.cost(q) < penalty);
    }
    // A non-zero offset moves the arrival point along the Sun line and changes the cost.
    const LambertCostSunline moved(problem(source, target, 0, true), {0.0, 8000.0},
                                   {.offset_km = 300.0, .t0_ref = t0_ref});
    const LambertCost plain(problem(source, target, 0, true), {0.0, 8000.0});
    std::vector<double> q{1234.5, 4321.0};
    CHECK(moved.cost(q) != plain.cost(q));
}

}  // namespace

TEST_CASE("porkchop cells: only arrivals after departure, the best arc of both directions") {
    const BestArcOptions options{.solver = {.max_rev = 1}, .rendezvous = true};
    CHECK(!porkchop_cell(source, 100.0, target, 100.0, options));
    CHECK(!porkchop_cell(source, 100.0, target, 50.0, options));
    CHECK(!porkchop_cell(source, qnan, target, 50.0, options));
    const auto cell = porkchop_cell(source, 100.0, target, 9100.0, options);
    const auto best =
        best_lambert_arc(position(source), velocity(source), position(target), velocity(target), 9000.0, options);
    CHECK(cell && best);
    if (cell && best) {
        CHECK(cell->impulses.total == best->impulses.total && cell->num_revs == best->num_revs);
        CHECK(cell->path_flag == best->path_flag && cell->retrograde == best->retrograde);
    }
}

TEST_CASE("cheapest porkchop cell: the first of the least, NaN never") {
    const std::array<double, 5> costs{qnan, 3.0, 2.0, 2.0, qnan};
    CHECK(cheapest_cell(costs) == 2);
    const std::array<double, 2> none{qnan, qnan};
    CHECK(cheapest_cell(none) == no_cell);
    CHECK(cheapest_cell(std::span<const double>{}) == no_cell);
}
