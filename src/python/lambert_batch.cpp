#include "python/lambert_batch.hpp"

#include <cmath>

#include "python/errors.hpp"

namespace orbelin::py {

double checked_tol(const Args& args) {
    const double tol = args.f64("tol");
    if (std::isfinite(tol) && tol > 0.0) return tol;
    raise_value_error(concat({"tol must be a positive finite number, got ", number_text(tol)}));
}

// Built on first use: its texts are strings, whose construction at load time could throw where nothing catches.
const BatchMessages& position_pair_messages() {
    static const BatchMessages messages{
        "r1 must have shape [..., 3]",
        "r1 and r2 must have matching shapes",
        "Failed to reshape r1",
        "Failed to reshape r2",
        {"Time-of-flight array must be 1D, got ", true},
        "Time-of-flight array cannot be empty",
    };
    return messages;
}

LambertSettings lambert_settings(const Args& args) {
    const double tol = checked_tol(args);
    return {.mu = args.f64("mu"),
            .max_rev = args.count("max_rev"),
            .tol = tol,
            .maxiter = args.count("maxiter"),
            .reentry_check = args.declares("reentry_check") && args.flag("reentry_check")};
}

LambertBatch::LambertBatch(PyArrayObject* first, PyArrayObject* second, PyObject* tof, npy_intp width,
                           const BatchMessages& m)
    : first_(first), second_(second), width_(width), messages_(m) {
    check_arrays();
    tofs_ = read_scalar_or_array(tof, m.tof_ndim);
    // The time reader may have run Python code that changed the arrays: what counts is their state from here on.
    check_arrays();
    batch_ = batch_axes(first_);
    rows_ = batch_count(first_);
    if (tofs_.empty() && m.tof_empty != nullptr) raise_value_error(m.tof_empty);
    if (__builtin_mul_overflow(rows_, tofs_.size(), &cases_)) {
        raise_value_error(concat({std::to_string(rows_), " rows with ", std::to_string(tofs_.size()),
                                  " times of flight each make more cases than a 64-bit count holds"}));
    }
}

void LambertBatch::check_arrays() const {
    if (!has_last_axis(first_, width_)) raise_value_error(messages_.last_axis);
    if (!same_shape(first_, second_)) raise_value_error(messages_.matching);
    (void)Rows(first_, messages_.reshape_first);
    (void)Rows(second_, messages_.reshape_second);
}

LambertBatch::View LambertBatch::view() const {
    check_arrays();
    // Same checks passing is not enough: the rows must still be the ones the cases were numbered over.
    if (batch_axes(first_) != batch_) raise_value_error(messages_.matching);
    return {Rows(first_, messages_.reshape_first), Rows(second_, messages_.reshape_second)};
}

Shape LambertBatch::case_shape() const {
    Shape shape = batch_;
    if (tofs_.size() >= 2) shape.push_back(static_cast<npy_intp>(tofs_.size()));
    return shape;
}

}  // namespace orbelin::py
