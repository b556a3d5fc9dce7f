#pragma once
// The common front part of the vectorized Lambert functions: two paired
// batch-form arrays and a scalar-or-array time of flight, checked in order
// (last axis, matching shapes, row split of each, time list) and numbered
// into cases with the time index fastest.
//
// Reading the time of flight can run Python code (__float__, __array__,
// numpy.asarray), which may resize or free the arrays. So the times are read
// after the checks of both arrays but before any view of their memory is
// taken, and a view is taken only on demand, for a stretch of work during
// which no Python code runs, re-checking the arrays first.

#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "common/vec3.hpp"
#include "python/arrays.hpp"
#include "python/binder.hpp"
#include "python/ragged_batch.hpp"
#include "solver/lambert_impulses.hpp"
#include "solver/lambert_izzo.hpp"
#include "solver/lambert_settings.hpp"

namespace orbelin::py {

struct BatchMessages {
    const char* last_axis;  // "r1 must have shape [..., 3]"
    const char* matching;   // "r1 and r2 must have matching shapes"
    std::string reshape_first;
    std::string reshape_second;
    NdimMessage tof_ndim;
    const char* tof_empty;  // null: an empty time list is let through
};

class LambertBatch {
    template <class A, class B>
    struct Readers {
        std::remove_cvref_t<A> first;
        std::remove_cvref_t<B> second;
    };

public:
    // Raises the first failing check's error, in the order of the file comment.
    LambertBatch(PyArrayObject* first, PyArrayObject* second, PyObject* tof, npy_intp width,
                 const BatchMessages& messages);

    std::size_t cases() const noexcept { return cases_; }
    // One time of flight, the common call, skips the integer division (tens of cycles a case).
    std::size_t row_of(std::size_t c) const noexcept { return tofs_.size() == 1 ? c : c / tofs_.size(); }
    double tof_of(std::size_t c) const noexcept { return tofs_[tofs_.size() == 1 ? 0 : c % tofs_.size()]; }

    // Batch axes of the first array, then the time axis when there are two or
    // more times of flight.
    Shape case_shape() const;

    // The rows of both arrays, read in place. Valid until Python code runs
    // again (any call into Python, including an allocation); take a new one
    // after that. Raises the checks' errors should the arrays have changed.
    struct View {
        Rows first;
        Rows second;

        // f(readers) with `readers.first` and `readers.second` the row readers
        // of the two arrays' layouts, chosen once for all rows f reads.
        template <class F>
        decltype(auto) with_layout(F&& f) const {
            return first.with_layout([&](const auto& a) {
                return second.with_layout([&](const auto& b) { return f(Readers<decltype(a), decltype(b)>{a, b}); });
            });
        }
    };
    View view() const;

private:
    // Every check of the two arrays, in order; leaves no view behind.
    void check_arrays() const;

    PyArrayObject* first_;
    PyArrayObject* second_;
    npy_intp width_;
    const BatchMessages& messages_;
    std::vector<double> tofs_;
    Shape batch_;
    std::size_t rows_ = 0;
    std::size_t cases_ = 0;
};

// The messages of the functions over position pairs r1, r2 (lambert_izzo_vec, lambert_izzo_jacobian).
const BatchMessages& position_pair_messages();

// The tol argument of a Lambert entry point, refused with ValueError naming it unless it is a positive finite
// number: with 0, a negative or a NaN tolerance no Householder solve could stop before maxiter steps.
double checked_tol(const Args& args);

// The solver settings of a Lambert entry point from its arguments mu, max_rev, tol (checked), maxiter and, where
// the function has one, reentry_check; the direction of motion stays the default.
LambertSettings lambert_settings(const Args& args);

// The ragged result of a Lambert batch function over `batch`: one record per case at max_rev 0; otherwise K is
// counted, and the count pass stops once a case reaches 2 max_rev + 1 records (below the refusal bound a count
// throws only for mu, on every case alike, so stopping early skips no error).
inline RaggedSpec lambert_ragged_spec(const char* function, const LambertBatch& batch, const LambertSettings& o,
                                      const char* no_solutions) {
    RaggedSpec spec{function, batch.cases(), batch.case_shape(),
                    o.max_rev == 0 ? std::optional<std::size_t>(1) : std::nullopt, no_solutions};
    if (o.max_rev <= lambert_max_solved_revs) spec.widest_possible = 2 * o.max_rev + 1;
    return spec;
}

// The optional solver parameters of the Python functions, with the solver's defaults.
inline constexpr Param kMuParam = optional("mu", default_lambert_settings.mu);
inline constexpr Param kTolParam = optional("tol", default_lambert_settings.tol);
inline constexpr Param kMaxiterParam = optional_count("maxiter", default_lambert_settings.maxiter);
inline constexpr Param kReentryCheckParam = optional_flag("reentry_check", default_lambert_settings.reentry_check);

}  // namespace orbelin::py
