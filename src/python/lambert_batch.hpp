#pragma once
// The common front part of the vectorized Lambert functions: two paired
// batch-form arrays and a scalar-or-array time of flight, checked in order
// (last axis, matching shapes, row split of each, time list) and numbered
// into cases with the time index fastest.

#include <cstddef>
#include <string>
#include <vector>

#include "common/vec3.hpp"
#include "python/arrays.hpp"

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
public:
    LambertBatch(PyArrayObject* first, PyArrayObject* second, PyObject* tof, npy_intp width,
                 const BatchMessages& messages);

    std::size_t cases() const noexcept { return rows_first_.count() * tofs_.size(); }
    std::size_t row_of(std::size_t c) const noexcept { return c / tofs_.size(); }
    double tof_of(std::size_t c) const noexcept { return tofs_[c % tofs_.size()]; }
    const Rows& first() const noexcept { return rows_first_; }
    const Rows& second() const noexcept { return rows_second_; }

    // Batch axes of the first array, then the time axis when there are two or
    // more times of flight.
    Shape case_shape() const;

private:
    Shape batch_;
    Rows rows_first_;
    Rows rows_second_;
    std::vector<double> tofs_;
};

}  // namespace orbelin::py
