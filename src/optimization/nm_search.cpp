#include "optimization/nm_search.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "minimizer/nelder_mead.hpp"
#include "optimization/lambert_cost.hpp"
#include "parallel/thread_pool.hpp"

namespace orbelin {

namespace {

// The search driver of every Nelder-Mead search: a search of the problem's cost from `start`, then the full
// evaluation of its best point. The initial simplex steps each time by a tenth of the window, clipped to hi (fmin:
// a NaN step yields hi); the start itself is not clipped, so a start outside the window costs the penalty and the
// search may still walk into it.
std::optional<OptimizedLambertSolution> search_from(const LambertCost& cost, TimePair start,
                                                    std::optional<std::uint64_t> max_iters) {
    const auto [lo, hi] = cost.time_bounds();
    const double step = 0.1 * (hi - lo);
    const auto [t0s, tfs] = start;
    const std::array<nm::Point<2>, 3> simplex{{
        {t0s, tfs},
        {std::fmin(t0s + step, hi), tfs},
        {t0s, std::fmin(tfs + step, hi)},
    }};
    // A search with a large iteration budget can run for long: it stops at once when its call is interrupted.
    auto interruptible_cost = [&](std::span<const double> p) {
        interruption_point();
        return cost(p);
    };
    const auto run = nm::nelder_mead<2>(interruptible_cost, simplex, max_iters.value_or(default_max_iters));
    if (!run.ok || !run.state.best_point) return std::nullopt;
    if (!(run.state.best_cost < penalty_value)) return std::nullopt;
    const nm::Point<2>& best = *run.state.best_point;
    return compute_impulses(cost.problem(), best[0], best[1]);
}

TimePair default_start(TimePair b) noexcept {
    const double t0 = (b.first + b.second) * 0.5;
    return {t0, t0 + 0.25 * (b.second - b.first)};
}

}  // namespace

std::optional<OptimizedLambertSolution> optimize_lambert_nm(const TransferProblem& problem, TimePair time_bounds,
                                                            const NmSearch& search) {
    const LambertCost cost(problem, time_bounds);
    return search_from(cost, search.initial_guess.value_or(default_start(time_bounds)), search.max_iters);
}

std::vector<OptimizedLambertSolution> optimize_lambert_nm_multi(const TransferProblem& problem, TimePair time_bounds,
                                                                const MultiStart& multi) {
    const LambertCost cost(problem, time_bounds);
    const auto [lo, hi] = time_bounds;
    const std::vector<TimePair> starts = generate_initial_guesses(multi.num_solvers, lo, hi);
    if (starts.empty()) return {};
    // One start is a whole search (hundreds of Lambert solves): hand them out one at a time.
    const auto found = parallel_map(
        global_pool(), starts.size(), [&](std::size_t k) { return search_from(cost, starts[k], multi.max_iters); },
        /*grain=*/1);

    std::vector<OptimizedLambertSolution> results;
    for (const auto& r : found) {
        if (r) results.push_back(*r);
    }
    if (multi.remove_duplicates) results = remove_duplicate_solutions(std::move(results), lo, hi);
    if (multi.return_best_only && !results.empty()) {
        OptimizedLambertSolution best = results.front();
        for (const auto& r : results) {
            if (r.cost < best.cost) best = r;
        }
        results.assign(1, best);
    }
    return results;
}

std::vector<OptimizedLambertSolution> optimize_lambert_nm_multi_sunline(const TransferProblem& problem,
                                                                        TimePair time_bounds, const MultiStart& multi,
                                                                        SunLine line) {
    return optimize_lambert_nm_multi(with_aim(problem, ArrivalAim::sun_line(line)), time_bounds, multi);
}

std::vector<TimePair> generate_initial_guesses(std::uint64_t n, double lo, double hi) {
    if (n == 0) return {};
    const auto g = static_cast<std::uint64_t>(std::ceil(std::sqrt(2.0 * static_cast<double>(n))));
    const std::uint64_t G = std::max<std::uint64_t>(g, 2);
    const double d = static_cast<double>(G - 1);
    const double range = hi - lo;
    // G(G - 1)/2 pairs; G stays below 2^33 for any 64-bit n, so the product cannot overflow 128 bits.
    const unsigned __int128 pairs = static_cast<unsigned __int128>(G) * (G - 1) / 2;
    const std::uint64_t count = pairs <= n ? static_cast<std::uint64_t>(pairs) : n;
    std::vector<TimePair> starts;
    if (count > starts.max_size()) throw std::bad_alloc();
    starts.reserve(count);

    auto value = [&](std::uint64_t k) { return (static_cast<double>(k) * range) / d + lo; };
    // Row i of the pair table holds (x_i, x_j) for j = i + 1 ... G - 1 and starts at index row_start.
    std::uint64_t row = 0;
    unsigned __int128 row_start = 0;
    auto pair_at = [&](unsigned __int128 index) {
        while (index >= row_start + (G - 1 - row)) {
            row_start += G - 1 - row;
            ++row;
        }
        const std::uint64_t col = row + 1 + static_cast<std::uint64_t>(index - row_start);
        return TimePair{value(row), value(col)};
    };

    if (pairs <= n) {
        for (unsigned __int128 index = 0; index < pairs; ++index) starts.push_back(pair_at(index));
        return starts;
    }
    const double step = static_cast<double>(pairs) / static_cast<double>(n);
    for (std::uint64_t k = 0; k < n; ++k) {
        const double at = std::trunc(static_cast<double>(k) * step);
        const auto index = std::min(static_cast<unsigned __int128>(at), pairs - 1);
        starts.push_back(pair_at(index));
    }
    return starts;
}

std::vector<OptimizedLambertSolution> remove_duplicate_solutions(std::vector<OptimizedLambertSolution> solutions,
                                                                 double lo, double hi) {
    if (solutions.empty()) return solutions;
    // Stable by cost. Feasible transfers never carry a NaN cost; should one appear it sorts last, which keeps the
    // comparison a strict weak ordering.
    std::stable_sort(solutions.begin(), solutions.end(), [](const auto& a, const auto& b) {
        return a.cost < b.cost || (std::isnan(b.cost) && !std::isnan(a.cost));
    });
    const double tol = (hi - lo) * 0.001;
    std::vector<OptimizedLambertSolution> kept;
    for (const auto& s : solutions) {
        const bool duplicate = std::any_of(kept.begin(), kept.end(), [&](const auto& u) {
            return std::fabs(s.t0 - u.t0) < tol && std::fabs(s.tf - u.tf) < tol;
        });
        if (!duplicate) kept.push_back(s);
    }
    return kept;
}

}  // namespace orbelin
