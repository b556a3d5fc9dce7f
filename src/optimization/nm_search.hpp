#pragma once
// Nelder-Mead searches for the departure and arrival times of the cheapest two-impulse transfer inside a time
// window (lo, hi), in seconds after the common epoch of the two states: one search from one start, and
// multi-start searches whose starts are spread over the window and run in parallel on the worker pool.
//
// None of these fails: a search that finds no feasible transfer contributes nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "optimization/transfer.hpp"

namespace orbelin {

using TimeBounds = std::pair<double, double>;
using TimePair = std::pair<double, double>;  // (t0, tf)

// Iterations of a search when the caller gives none.
inline constexpr std::uint64_t default_max_iters = 50;

// The most memory a multi-start search holds for each of its starts: the start, its answer, and the answer's
// record in the list of results and in the list that duplicate removal keeps. What a caller checks before asking
// for very many starts.
inline constexpr std::size_t multi_start_bytes_per_start =
    sizeof(TimePair) + sizeof(std::optional<OptimizedLambertSolution>) + 2 * sizeof(OptimizedLambertSolution);

// One search from `initial_guess` (default: t0 at the middle of the window, tf a quarter window later).
std::optional<OptimizedLambertSolution> optimize_lambert_nm(const State& source_state, const State& target_state,
                                                            TimeBounds time_bounds, std::uint64_t max_rev,
                                                            bool optimize_rendezvous, double mu,
                                                            std::optional<std::uint64_t> max_iters,
                                                            std::optional<TimePair> initial_guess,
                                                            std::span<const double> ric_waypoint);

// Searches from up to num_solvers starts of generate_initial_guesses, in parallel. Results in start order, or in
// ascending cost after removing near-duplicates; return_best_only keeps the first cheapest.
std::vector<OptimizedLambertSolution> optimize_lambert_nm_multi(const State& source_state, const State& target_state,
                                                                TimeBounds time_bounds, std::uint64_t max_rev,
                                                                bool optimize_rendezvous, std::uint64_t num_solvers,
                                                                bool return_best_only, double mu,
                                                                bool remove_duplicates,
                                                                std::optional<std::uint64_t> max_iters,
                                                                std::span<const double> ric_waypoint);

// The same with the arrival point on the target-Sun line (ArrivalAim::sun_line).
std::vector<OptimizedLambertSolution> optimize_lambert_nm_multi_sunline(
    const State& source_state, const State& target_state, TimeBounds time_bounds, std::uint64_t max_rev,
    bool optimize_rendezvous, std::uint64_t num_solvers, bool return_best_only, double sun_vector_offset_km,
    double t0_ref, double mu, bool remove_duplicates, std::optional<std::uint64_t> max_iters);

// Up to n starts (t0, tf) with t0 < tf, taken evenly from the pairs of a regular grid of G = max(ceil(sqrt(2n)), 2)
// values over [lo, hi], ordered by first then second index.
std::vector<TimePair> generate_initial_guesses(std::uint64_t n, double lo, double hi);

// Sorts by ascending cost (stable) and drops every solution within 0.1 % of the window of a cheaper kept one in
// both t0 and tf.
std::vector<OptimizedLambertSolution> remove_duplicate_solutions(std::vector<OptimizedLambertSolution> solutions,
                                                                 double lo, double hi);

}  // namespace orbelin
