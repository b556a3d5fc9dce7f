#pragma once
// Nelder-Mead searches for the departure and arrival times of the cheapest two-impulse transfer inside a time
// window (lo, hi), in seconds after the common epoch of the two states: one search from one start, and
// multi-start searches whose starts are spread over the window and run in parallel on the worker pool.
//
// None of these fails: a search that finds no feasible transfer contributes nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "optimization/transfer.hpp"

namespace orbelin {

// Iterations of a search when the caller gives none.
inline constexpr std::uint64_t default_max_iters = 50;

// The most memory a multi-start search holds for each of its starts: the start, its answer, and the answer's
// record in the list of results and in the list that duplicate removal keeps. What a caller checks before asking
// for very many starts.
inline constexpr std::size_t multi_start_bytes_per_start =
    sizeof(TimePair) + sizeof(std::optional<OptimizedLambertSolution>) + 2 * sizeof(OptimizedLambertSolution);

// One search: its iteration limit and its start, each defaulted when absent (the start to t0 at the middle of the
// window and tf a quarter window later).
struct NmSearch {
    std::optional<std::uint64_t> max_iters = std::nullopt;
    std::optional<TimePair> initial_guess = std::nullopt;
};

// A multi-start search: up to num_solvers starts of generate_initial_guesses, searched in parallel. Results in
// start order, or in ascending cost after removing near-duplicates; return_best_only keeps the first cheapest.
struct MultiStart {
    std::uint64_t num_solvers = 0;
    bool return_best_only = false;
    bool remove_duplicates = true;
    std::optional<std::uint64_t> max_iters = std::nullopt;
};

// One search for the problem inside the window.
std::optional<OptimizedLambertSolution> optimize_lambert_nm(const TransferProblem& problem, TimePair time_bounds,
                                                            const NmSearch& search);

// Searches from the starts of `multi`, in parallel.
std::vector<OptimizedLambertSolution> optimize_lambert_nm_multi(const TransferProblem& problem, TimePair time_bounds,
                                                                const MultiStart& multi);

// The same with the arrival point on the target-Sun line, whatever the problem's own aim.
std::vector<OptimizedLambertSolution> optimize_lambert_nm_multi_sunline(const TransferProblem& problem,
                                                                        TimePair time_bounds, const MultiStart& multi,
                                                                        SunLine line);

// Up to n starts (t0, tf) with t0 < tf, taken evenly from the pairs of a regular grid of G = max(ceil(sqrt(2n)), 2)
// values over [lo, hi], ordered by first then second index.
std::vector<TimePair> generate_initial_guesses(std::uint64_t n, double lo, double hi);

// Sorts by ascending cost (stable) and drops every solution within 0.1 % of the window of a cheaper kept one in
// both t0 and tf.
std::vector<OptimizedLambertSolution> remove_duplicate_solutions(std::vector<OptimizedLambertSolution> solutions,
                                                                 double lo, double hi);

}  // namespace orbelin
