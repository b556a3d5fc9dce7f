// Nelder-Mead minimizer: convergence on smooth functions, and the exact points visited at every branch and
// tie-break, pinned with cost functions that return a prescribed value per call.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "minimizer/nelder_mead.hpp"

namespace {

namespace nm = orbelin::nm;
using P2 = nm::Point<2>;
using P3 = nm::Point<3>;

constexpr double qnan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double penalty = 1.7976931348623157e308;

// Returns the scripted values in call order and records every point it is asked about; a call beyond the
// script throws, which fails the test case.
template <std::size_t N, class V = double>
struct Script {
    explicit Script(std::vector<V> v) : values(std::move(v)) {}
    std::vector<V> values;
    std::vector<nm::Point<N>> visited;
    V operator()(std::span<const double> x) {
        nm::Point<N> p{};
        for (std::size_t k = 0; k < N; ++k) p[k] = x[k];
        visited.push_back(p);
        return values.at(visited.size() - 1);
    }
};

// Costs 1, 2, 3 at the unit triangle; centroid of the two best is (0.5, 0), and the worst is (0, 1), so the
// reflected point is (1, -1), expansion (1.5, -2), outside contraction (0.75, -0.5), inside (0.25, 0.5).
const std::array<P2, 3> triangle{P2{0.0, 0.0}, P2{1.0, 0.0}, P2{0.0, 1.0}};
constexpr P2 x_reflect{1.0, -1.0};
constexpr P2 x_expand{1.5, -2.0};
constexpr P2 x_outside{0.75, -0.5};
constexpr P2 x_inside{0.25, 0.5};

template <std::size_t N>
bool simplex_is(const nm::RunResult<N>& r, const std::vector<nm::Point<N>>& points, const std::vector<double>& costs) {
    bool same = true;
    for (std::size_t i = 0; i <= N; ++i)
        same = same && r.simplex[i].point == points[i] && r.simplex[i].cost == costs[i];
    return same;
}

double rosenbrock(std::span<const double> x) {
    const double a = 1.0 - x[0];
    const double b = x[1] - x[0] * x[0];
    return a * a + 100.0 * b * b;
}

}  // namespace

TEST_CASE("Rosenbrock from (-1.2, 1) converges to (1, 1)") {
    std::uint64_t calls = 0;
    const auto r = nm::nelder_mead<2>(
        [&](std::span<const double> x) {
            ++calls;
            return rosenbrock(x);
        },
        std::array<P2, 3>{P2{-1.2, 1.0}, P2{-1.1, 1.0}, P2{-1.2, 1.1}}, 1000);
    CHECK(r.ok);
    CHECK(r.state.status == nm::Status::converged);
    CHECK(r.state.iteration > 0 && r.state.iteration < 1000);
    CHECK(r.state.best_point.has_value());
    CHECK(std::fabs((*r.state.best_point)[0] - 1.0) < 1e-7);
    CHECK(std::fabs((*r.state.best_point)[1] - 1.0) < 1e-7);
    CHECK(r.state.best_cost < 1e-12);
    CHECK(r.state.best_cost == r.simplex[0].cost);
    CHECK(r.state.evaluations == calls);
    CHECK(calls <= 3 + 4 * r.state.iteration);
}

TEST_CASE("a 3-D quadratic bowl converges to its minimum") {
    const auto bowl = [](std::span<const double> x) {
        return (x[0] - 1.0) * (x[0] - 1.0) + 2.0 * (x[1] + 2.0) * (x[1] + 2.0) + 3.0 * (x[2] - 0.5) * (x[2] - 0.5);
    };
    const auto r =
        nm::nelder_mead<3>(bowl, std::array<P3, 4>{P3{0, 0, 0}, P3{1, 0, 0}, P3{0, 1, 0}, P3{0, 0, 1}}, 5000);
    CHECK(r.ok);
    CHECK(r.state.status == nm::Status::converged);
    CHECK(r.state.best_point.has_value());
    const P3 expected{1.0, -2.0, 0.5};
    for (std::size_t k = 0; k < 3; ++k) CHECK(std::fabs((*r.state.best_point)[k] - expected[k]) < 1e-7);
    CHECK(r.state.evaluations <= 4 + 5 * r.state.iteration);
}

TEST_CASE("max_iterations 0 returns the best initial vertex after three evaluations") {
    Script<2> cost{{3.0, 1.0, 2.0}};
    const auto r = nm::nelder_mead<2>(cost, triangle, 0);
    CHECK(r.ok);
    CHECK(r.state.status == nm::Status::max_iterations);
    CHECK(r.state.iteration == 0);
    CHECK(r.state.evaluations == 3);
    CHECK(cost.visited == std::vector<P2>(triangle.begin(), triangle.end()));
    CHECK(r.state.best_point == triangle[1]);
    CHECK(r.state.best_cost == 1.0);
    CHECK(r.state.current_point == triangle[1]);
    CHECK(simplex_is(r, {triangle[1], triangle[2], triangle[0]}, {1.0, 2.0, 3.0}));
}

TEST_CASE("equal costs of 2.0 converge before the first iteration, equal costs of 3.3 do not") {
    Script<2> two{{2.0, 2.0, 2.0}};
    const auto r2 = nm::nelder_mead<2>(two, triangle, 10);
    CHECK(r2.ok);
    CHECK(r2.state.status == nm::Status::converged);
    CHECK(r2.state.iteration == 0);
    CHECK(r2.state.evaluations == 3);
    // The spread test comes before the iteration limit.
    const auto r20 = nm::nelder_mead<2>([](std::span<const double>) { return 2.0; }, triangle, 0);
    CHECK(r20.state.status == nm::Status::converged);

    // The mean of three 3.3 rounds to 3.2999999999999994, leaving a spread of about 5.4e-16. With the
    // same cost everywhere, reflection lands on c(n-1), the inside contraction is no better and the
    // simplex shrinks: 2 + 2 evaluations.
    const auto r33 = nm::nelder_mead<2>([](std::span<const double>) { return 3.3; }, triangle, 1);
    CHECK(r33.ok);
    CHECK(r33.state.status == nm::Status::max_iterations);
    CHECK(r33.state.iteration == 1);
    CHECK(r33.state.evaluations == 7);

    // 3 * 1.7 divided by 3 is 1.7 again (spread 0); scaled by 1/3 it would be off by one ulp (spread 2.7e-16).
    const auto r17 = nm::nelder_mead<2>([](std::span<const double>) { return 1.7; }, triangle, 10);
    CHECK(r17.state.status == nm::Status::converged);
    CHECK(r17.state.evaluations == 3);
}

TEST_CASE("a spread exactly at the tolerance is not converged, and the variance divides by n - 1") {
    // Costs -d, 0, d: the sample standard deviation is exactly d = 2^-52; dividing by n would give 0.82 d.
    const double d = 2.220446049250313e-16;
    Script<2> cost{{-d, 0.0, d}};
    const auto r = nm::nelder_mead<2>(cost, triangle, 0);
    CHECK(r.ok);
    CHECK(r.state.status == nm::Status::max_iterations);
}

TEST_CASE("penalty costs everywhere never converge and run every iteration") {
    const auto r = nm::nelder_mead<2>([](std::span<const double>) { return penalty; }, triangle, 50);
    CHECK(r.ok);
    CHECK(r.state.status == nm::Status::max_iterations);
    CHECK(r.state.iteration == 50);
    // Every iteration is reflect, inside contraction, shrink of two vertices: the bound 3 + 4 * 50 is met.
    CHECK(r.state.evaluations == 203);
    CHECK(r.state.best_cost == penalty);
    CHECK(r.state.best_point == triangle[0]);
}

TEST_CASE("a reflected cost equal to c0 is a reflection, and the new vertex stays behind the tied old one") {
    Script<2> cost{{1.0, 2.0, 3.0, 1.0}};
    const auto r = nm::nelder_mead<2>(cost, triangle, 1);
    CHECK(r.ok);
    CHECK(r.state.evaluations == 4);
    CHECK(cost.visited.size() == 4 && cost.visited[3] == x_reflect);
    CHECK(simplex_is(r, {triangle[0], x_reflect, triangle[1]}, {1.0, 1.0, 2.0}));
    // Equal to the best is not an improvement: the best point set at initialisation stays, never shifted.
    CHECK(r.state.best_point == triangle[0]);
    CHECK(!r.state.previous_best_point.has_value());
    CHECK(r.state.previous_best_cost == inf);
}

TEST_CASE("expansion replaces the worst vertex only when strictly below the reflected cost") {
    // Best initial vertex (1, 0); the centroid and the worst vertex are those of the 1, 2, 3 ordering.
    Script<2> equal{{2.0, 1.0, 3.0, 0.5, 0.5}};
    const auto r = nm::nelder_mead<2>(equal, triangle, 1);
    CHECK(r.ok);
    CHECK(equal.visited.size() == 5 && equal.visited[3] == x_reflect && equal.visited[4] == x_expand);
    CHECK(simplex_is(r, {x_reflect, triangle[1], triangle[0]}, {0.5, 1.0, 2.0}));
    CHECK(r.state.current_point == x_reflect && r.state.current_cost == 0.5);
    CHECK(r.state.previous_point == triangle[1] && r.state.previous_cost == 1.0);
    CHECK(r.state.best_point == x_reflect && r.state.best_cost == 0.5);
    CHECK(r.state.previous_best_point == triangle[1] && r.state.previous_best_cost == 1.0);

    Script<2> below{{2.0, 1.0, 3.0, 0.5, 0.25}};
    const auto rb = nm::nelder_mead<2>(below, triangle, 1);
    CHECK(simplex_is(rb, {x_expand, triangle[1], triangle[0]}, {0.25, 1.0, 2.0}));
}

TEST_CASE("cr equal to c(n-2) contracts outside; cc equal to cr is accepted, cc above it shrinks") {
    // cr = 2 = c(n-2) is not a reflection; cc = 2 ties with the old second vertex and sorts behind it.
    Script<2> tie{{1.0, 2.0, 3.0, 2.0, 2.0}};
    const auto r = nm::nelder_mead<2>(tie, triangle, 1);
    CHECK(r.ok);
    CHECK(tie.visited.size() == 5 && tie.visited[4] == x_outside);
    CHECK(simplex_is(r, {triangle[0], triangle[1], x_outside}, {1.0, 2.0, 2.0}));

    Script<2> equal{{1.0, 2.0, 3.0, 2.5, 2.5}};
    const auto re = nm::nelder_mead<2>(equal, triangle, 1);
    CHECK(re.state.evaluations == 5);
    CHECK(simplex_is(re, {triangle[0], triangle[1], x_outside}, {1.0, 2.0, 2.5}));

    Script<2> above{{1.0, 2.0, 3.0, 2.5, 2.75, 7.0, 6.0}};
    const auto ra = nm::nelder_mead<2>(above, triangle, 1);
    CHECK(ra.ok);
    CHECK(ra.state.evaluations == 7);
    CHECK(simplex_is(ra, {P2{0.0, 0.0}, P2{0.0, 0.5}, P2{0.5, 0.0}}, {1.0, 6.0, 7.0}));
}

TEST_CASE("inside contraction: cc equal to c(n-1) shrinks, evaluating each shrunk vertex in order") {
    Script<2> equal{{1.0, 2.0, 3.0, 3.0, 3.0, 5.0, 4.0}};
    const auto r = nm::nelder_mead<2>(equal, triangle, 1);
    CHECK(r.ok);
    const std::vector<P2> expected{triangle[0], triangle[1],  triangle[2], x_reflect,
                                   x_inside,    P2{0.5, 0.0}, P2{0.0, 0.5}};
    CHECK(equal.visited == expected);
    CHECK(simplex_is(r, {P2{0.0, 0.0}, P2{0.0, 0.5}, P2{0.5, 0.0}}, {1.0, 4.0, 5.0}));

    Script<2> below{{1.0, 2.0, 3.0, 3.5, 2.5}};
    const auto rb = nm::nelder_mead<2>(below, triangle, 1);
    CHECK(rb.state.evaluations == 5);
    CHECK(simplex_is(rb, {triangle[0], triangle[1], x_inside}, {1.0, 2.0, 2.5}));
}

TEST_CASE("the centroid sums the kept vertices from the best down and scales by 1/N") {
    // Sorted by cost the kept vertices are p2, p0, p1. Summed in that order, 1 + 1e16 rounds to 1e16 and the
    // x sum is 0; in input order or from the worst end it is 1. The y sum 5 scaled by 1/3 gives
    // 1.6666666666666665, where 5 / 3 would give 1.6666666666666667.
    Script<3> cost{{2.0, 3.0, 1.0, 4.0, 1.5}};
    const std::array<P3, 4> start{P3{1e16, 2.0, 0.0}, P3{-1e16, 2.0, 0.0}, P3{1.0, 1.0, 0.0}, P3{0.0, 0.0, 0.0}};
    const auto r = nm::nelder_mead<3>(cost, start, 1);
    CHECK(r.ok);
    CHECK(cost.visited.size() == 5 && cost.visited[4] == (P3{0.0, 3.333333333333333, 0.0}));
    CHECK(simplex_is(r, {start[2], cost.visited[4], start[0], start[1]}, {1.0, 1.5, 2.0, 3.0}));
}

TEST_CASE("vertex operations round as offsets from the centroid and from the best vertex") {
    // Decimal coordinates make c + a (c - x), c + g (xr - c), c + r (x - c) and x0 + s (xi - x0) round
    // differently from 2c - x, (1 - g) c + g xr, (c + x) / 2 or (x0 + xi) * 0.5; the centroid here is
    // (-0.35, 2.7).
    const std::array<P2, 3> start{P2{-1.8, 2.6}, P2{1.1, 2.8}, P2{2.4, -1.2}};
    const P2 xr{-3.1, 6.6000000000000005};

    Script<2> expand{{1.0, 2.0, 3.0, 0.5, 0.25}};
    (void)nm::nelder_mead<2>(expand, start, 1);
    CHECK(expand.visited.size() == 5 && expand.visited[3] == xr);
    CHECK(expand.visited.size() == 5 && expand.visited[4] == (P2{-5.85, 10.5}));

    Script<2> shrink{{1.0, 2.0, 3.0, 3.0, 3.0, 5.0, 4.0}};
    (void)nm::nelder_mead<2>(shrink, start, 1);
    const std::vector<P2> tail{xr, P2{1.025, 0.75}, P2{-0.34999999999999987, 2.7},
                               P2{0.30000000000000004, 0.7000000000000002}};
    CHECK(shrink.visited.size() == 7 && std::equal(tail.begin(), tail.end(), shrink.visited.begin() + 3));
}

TEST_CASE("a NaN reflected cost fails with the unreachable-point text") {
    Script<2> cost{{1.0, 2.0, 3.0, qnan}};
    const auto r = nm::nelder_mead<2>(cost, triangle, 10);
    CHECK(!r.ok);
    CHECK(r.error == "`NelderMead`: Reached unreachable point.");
    CHECK(r.state.evaluations == 4);
    CHECK(r.state.iteration == 0);
}

TEST_CASE("a failing cost evaluation ends the run as a failure, with no further calls") {
    using Opt = std::optional<double>;
    Script<2, Opt> at_init{{Opt{1.0}, std::nullopt}};
    const auto ri = nm::nelder_mead<2>(at_init, triangle, 10);
    CHECK(!ri.ok);
    CHECK(!ri.error.empty());
    CHECK(ri.state.evaluations == 2);

    Script<2, Opt> at_reflect{{Opt{1.0}, Opt{2.0}, Opt{3.0}, std::nullopt}};
    const auto rr = nm::nelder_mead<2>(at_reflect, triangle, 10);
    CHECK(!rr.ok);
    CHECK(rr.error == ri.error);
    CHECK(rr.error != "`NelderMead`: Reached unreachable point.");
    CHECK(rr.state.evaluations == 4);

    // Inside contraction rejected, then the first shrunk vertex fails: the second is never evaluated.
    Script<2, Opt> in_shrink{{Opt{1.0}, Opt{2.0}, Opt{3.0}, Opt{3.0}, Opt{3.0}, std::nullopt}};
    const auto rs = nm::nelder_mead<2>(in_shrink, triangle, 10);
    CHECK(!rs.ok);
    CHECK(rs.state.evaluations == 6);

    Script<2, Opt> fine{{Opt{1.0}, Opt{2.0}, Opt{3.0}, Opt{1.5}}};
    const auto rf = nm::nelder_mead<2>(fine, triangle, 1);
    CHECK(rf.ok && rf.error.empty());
    CHECK(rf.state.best_cost == 1.0);
}

TEST_CASE("a NaN cost sorts as equal to its neighbours and never becomes the best point") {
    // Insertion with `<`: 1 does not pass NaN, 0 passes 1 but not NaN.
    Script<2> cost{{qnan, 1.0, 0.0}};
    const auto r = nm::nelder_mead<2>(cost, triangle, 0);
    CHECK(r.ok);
    CHECK(r.simplex[0].point == triangle[0] && std::isnan(r.simplex[0].cost));
    CHECK(r.simplex[1].point == triangle[2] && r.simplex[2].point == triangle[1]);
    CHECK(std::isnan(r.state.current_cost));
    CHECK(!r.state.best_point.has_value());
    CHECK(r.state.best_cost == inf);
}

TEST_CASE("costs of +inf still record a best point") {
    const auto r = nm::nelder_mead<2>([](std::span<const double>) { return inf; }, triangle, 0);
    CHECK(r.ok);
    CHECK(r.state.best_point == triangle[0]);
    CHECK(r.state.best_cost == inf);
}

TEST_CASE("a cost of -inf reaches the target cost") {
    // Reflection at -inf expands; the expansion is no better, so (1, -1) is kept and the spread is NaN.
    Script<2> cost{{1.0, 2.0, 3.0, -inf, -inf}};
    const auto r = nm::nelder_mead<2>(cost, triangle, 10);
    CHECK(r.ok);
    CHECK(r.state.status == nm::Status::target_cost);
    CHECK(r.state.iteration == 1);
    CHECK(r.state.evaluations == 5);
    CHECK(r.state.best_point == x_reflect && r.state.best_cost == -inf);

    // The iteration limit is tested before the target.
    Script<2> limited{{1.0, 2.0, 3.0, -inf, -inf}};
    CHECK(nm::nelder_mead<2>(limited, triangle, 1).state.status == nm::Status::max_iterations);
}
