#pragma once
// Derivative-free minimisation by the Nelder-Mead simplex method (J. A. Nelder and R. Mead, "A simplex method for
// function minimization", Computer Journal 7, 1965), in the form analysed by Lagarias, Reeds, Wright and Wright
// ("Convergence properties of the Nelder-Mead simplex method in low dimensions", SIAM J. Optim. 9, 1998):
// reflection accepted on c0 <= cr < c(n-2), expansion kept only when strictly better than the reflected point,
// outside contraction accepted on cc <= cr, inside contraction on cc < c(n-1), otherwise a shrink towards the best
// vertex. The transfer searches depend on visiting exactly the same points every time, so the order of the tests,
// the tie-breaks and the floating-point form of every vertex operation below are fixed, not tunable.
//
// A run is a pure function of the cost, the initial simplex and the coefficients: no global state, and no heap
// allocation except the text of a failure.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

namespace orbelin::nm {

template <std::size_t N>
using Point = std::array<double, N>;

struct Coefficients {
    double alpha = 1.0;  // reflection
    double gamma = 2.0;  // expansion
    double rho = 0.5;    // contraction
    double sigma = 0.5;  // shrink
    // 2^-52, the double epsilon: vertex costs whose sample standard deviation falls below it agree to the last
    // bit at magnitude 1, so the simplex can no longer tell its vertices apart.
    double spread_tol = 2.220446049250313e-16;
};

enum class Status : std::uint8_t { running, converged, max_iterations, target_cost };

template <std::size_t N>
struct Vertex {
    Point<N> point{};
    double cost = std::numeric_limits<double>::quiet_NaN();  // not yet evaluated
};

template <std::size_t N>
struct IterationState {
    Point<N> current_point{};  // best vertex after the latest step
    double current_cost = std::numeric_limits<double>::infinity();
    Point<N> previous_point{};
    double previous_cost = std::numeric_limits<double>::infinity();
    std::optional<Point<N>> best_point;  // empty until a cost beats +inf (or is +inf itself)
    double best_cost = std::numeric_limits<double>::infinity();
    std::optional<Point<N>> previous_best_point;
    double previous_best_cost = std::numeric_limits<double>::infinity();
    std::uint64_t iteration = 0;
    std::uint64_t max_iterations = 0;
    double target_cost = -std::numeric_limits<double>::infinity();
    Status status = Status::running;
    std::uint64_t evaluations = 0;  // every call of the cost, failed ones included
};

// ok == false: `error` says why, and `state` and `simplex` are as they stood when the run failed.
template <std::size_t N>
struct RunResult {
    bool ok = false;
    std::string error;
    IterationState<N> state;
    std::array<Vertex<N>, N + 1> simplex{};
};

// A reflected cost that is NaN fails every comparison of the step, so no branch applies.
inline constexpr const char* unreachable_error = "`NelderMead`: Reached unreachable point.";
inline constexpr const char* cost_failed_error = "`NelderMead`: Cost function evaluation failed.";

namespace detail {

template <std::size_t N>
using Simplex = std::array<Vertex<N>, N + 1>;

enum class Step : std::uint8_t { ok, cost_failed, unreachable };

// The cost may return double (cannot fail) or std::optional<double> (nullopt = failed evaluation).
template <std::size_t N, class Cost>
std::optional<double> evaluate(Cost& cost, const Point<N>& p, std::uint64_t& evaluations) {
    using R = std::invoke_result_t<Cost&, std::span<const double>>;
    ++evaluations;
    const std::span<const double> x(p);
    if constexpr (std::is_same_v<std::remove_cvref_t<R>, std::optional<double>>) {
        return std::invoke(cost, x);
    } else {
        static_assert(std::is_convertible_v<R, double>, "the cost must return double or std::optional<double>");
        return static_cast<double>(std::invoke(cost, x));
    }
}

// Stable insertion sort by ascending cost. A NaN cost breaks the strict weak ordering that std::stable_sort
// requires; here `<` is simply false against NaN, so a NaN vertex counts as equal to its neighbours and no
// vertex passes it. A replacing vertex enters last, so on a tie it stays behind the older vertex (the
// tie-break of Lagarias et al.).
template <std::size_t N>
void sort(Simplex<N>& s) noexcept {
    for (std::size_t i = 1; i < s.size(); ++i)
        for (std::size_t j = i; j > 0 && s[j].cost < s[j - 1].cost; --j) std::swap(s[j], s[j - 1]);
}

// Mean of every vertex but the worst, summed from the best down and scaled by 1/N (not divided by N: the
// rounding of the visited points depends on it).
template <std::size_t N>
Point<N> centroid(const Simplex<N>& s) noexcept {
    Point<N> c{};
    for (std::size_t v = 0; v < N; ++v)
        for (std::size_t k = 0; k < N; ++k) c[k] += s[v].point[k];
    const double scale = 1.0 / static_cast<double>(N);
    for (double& ck : c) ck *= scale;
    return c;
}

// c + alpha (c - x)
template <std::size_t N>
Point<N> reflect(const Point<N>& c, double alpha, const Point<N>& x) noexcept {
    Point<N> r;
    for (std::size_t k = 0; k < N; ++k) r[k] = c[k] + alpha * (c[k] - x[k]);
    return r;
}

// from + f (x - from): expansion and contraction about the centroid, shrink about the best vertex.
template <std::size_t N>
Point<N> towards(const Point<N>& from, double f, const Point<N>& x) noexcept {
    Point<N> r;
    for (std::size_t k = 0; k < N; ++k) r[k] = from[k] + f * (x[k] - from[k]);
    return r;
}

// Sample standard deviation of the costs, sums in simplex order. A penalty cost (the largest double) next to
// ordinary costs overflows the squares to +inf, and any NaN or +-inf gives inf or NaN, so a simplex touching an
// infeasible region never counts as converged.
template <std::size_t N>
double spread(const Simplex<N>& s) noexcept {
    constexpr double n = static_cast<double>(N + 1);
    double sum = 0.0;
    for (const auto& v : s) sum += v.cost;
    const double mean = sum / n;
    double squares = 0.0;
    for (const auto& v : s) {
        const double d = v.cost - mean;
        squares += d * d;
    }
    return std::sqrt(1.0 / (n - 1.0) * squares);
}

// Each shrunk vertex is evaluated as soon as it is formed, so a failing cost stops the run part-way.
template <std::size_t N, class Cost>
Step shrink(Cost& cost, Simplex<N>& s, double sigma, std::uint64_t& evaluations) {
    for (std::size_t i = 1; i <= N; ++i) {
        s[i].point = towards<N>(s[0].point, sigma, s[i].point);
        const auto ci = evaluate<N>(cost, s[i].point, evaluations);
        if (!ci) return Step::cost_failed;
        s[i].cost = *ci;
    }
    return Step::ok;
}

// One step on a sorted simplex; the caller sorts afterwards. A replacement overwrites the worst slot, which is
// the "last position" the tie-break needs.
template <std::size_t N, class Cost>
Step iterate(Cost& cost, Simplex<N>& s, const Coefficients& k, std::uint64_t& evaluations) {
    const double best = s[0].cost;
    const double second_worst = s[N - 1].cost;
    const double worst = s[N].cost;
    const Point<N> c = centroid<N>(s);

    const Point<N> xr = reflect<N>(c, k.alpha, s[N].point);
    const auto cr = evaluate<N>(cost, xr, evaluations);
    if (!cr) return Step::cost_failed;

    if (*cr < second_worst && *cr >= best) {
        s[N] = {xr, *cr};
        return Step::ok;
    }
    if (*cr < best) {
        const Point<N> xe = towards<N>(c, k.gamma, xr);
        const auto ce = evaluate<N>(cost, xe, evaluations);
        if (!ce) return Step::cost_failed;
        s[N] = *ce < *cr ? Vertex<N>{xe, *ce} : Vertex<N>{xr, *cr};
        return Step::ok;
    }
    if (*cr >= second_worst) {
        // Outside contraction when the reflected point beats the worst vertex, inside otherwise (including a
        // NaN worst cost, against which `<` is false).
        const bool outside = *cr < worst;
        const Point<N> xc = towards<N>(c, k.rho, outside ? xr : s[N].point);
        const auto cc = evaluate<N>(cost, xc, evaluations);
        if (!cc) return Step::cost_failed;
        if (outside ? *cc <= *cr : *cc < worst) {
            s[N] = {xc, *cc};
            return Step::ok;
        }
        return shrink<N>(cost, s, k.sigma, evaluations);
    }
    return Step::unreachable;
}

template <std::size_t N>
void set_current(IterationState<N>& st, const Vertex<N>& best_vertex) noexcept {
    st.previous_point = st.current_point;
    st.previous_cost = st.current_cost;
    st.current_point = best_vertex.point;
    st.current_cost = best_vertex.cost;
}

// Strictly better, or both infinite with the same sign: a run whose costs are all +inf still reports where it
// ended instead of an empty best point.
template <std::size_t N>
void update_best(IterationState<N>& st) noexcept {
    const bool same_infinity = std::isinf(st.current_cost) && std::isinf(st.best_cost) &&
                               std::signbit(st.current_cost) == std::signbit(st.best_cost);
    if (st.current_cost < st.best_cost || same_infinity) {
        st.previous_best_point = st.best_point;
        st.previous_best_cost = st.best_cost;
        st.best_point = st.current_point;
        st.best_cost = st.current_cost;
    }
}

template <std::size_t N>
void set_failure(RunResult<N>& r, Step why) {
    r.ok = false;
    r.error = why == Step::unreachable ? unreachable_error : cost_failed_error;
}

}  // namespace detail

// Minimises `cost` from the N + 1 `initial` vertices. Stops on the spread test, after `max_iterations`
// iterations, or when the best cost reaches the target (-inf); at most N + 1 + (N + 2) * max_iterations
// evaluations. `cost` is called with a span of N values and returns double or std::optional<double>.
template <std::size_t N, class Cost>
RunResult<N> nelder_mead(Cost&& cost, const std::array<Point<N>, N + 1>& initial, std::uint64_t max_iterations,
                         const Coefficients& c = {}) {
    static_assert(N >= 1, "a simplex needs at least two vertices");
    RunResult<N> r;
    IterationState<N>& st = r.state;
    st.max_iterations = max_iterations;

    for (std::size_t i = 0; i <= N; ++i) {
        r.simplex[i].point = initial[i];
        const auto ci = detail::evaluate<N>(cost, initial[i], st.evaluations);
        if (!ci) {
            detail::set_failure(r, detail::Step::cost_failed);
            return r;
        }
        r.simplex[i].cost = *ci;
    }
    detail::sort<N>(r.simplex);
    detail::set_current<N>(st, r.simplex[0]);
    detail::update_best<N>(st);

    for (;;) {
        if (detail::spread<N>(r.simplex) < c.spread_tol)
            st.status = Status::converged;
        else if (st.iteration >= st.max_iterations)
            st.status = Status::max_iterations;
        else if (st.target_cost >= st.best_cost)
            st.status = Status::target_cost;
        if (st.status != Status::running) break;

        const detail::Step step = detail::iterate<N>(cost, r.simplex, c, st.evaluations);
        if (step != detail::Step::ok) {
            detail::set_failure(r, step);
            return r;
        }
        detail::sort<N>(r.simplex);
        detail::set_current<N>(st, r.simplex[0]);
        detail::update_best<N>(st);
        ++st.iteration;
    }
    r.ok = true;
    return r;
}

}  // namespace orbelin::nm
