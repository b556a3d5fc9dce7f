#include "python/lambert_batch.hpp"

#include "python/errors.hpp"

namespace orbelin::py {

namespace {

PyArrayObject* checked_pair(PyArrayObject* first, PyArrayObject* second, npy_intp width, const BatchMessages& m) {
    if (!has_last_axis(first, width)) raise_value_error(m.last_axis);
    if (!same_shape(first, second)) raise_value_error(m.matching);
    return first;
}

}  // namespace

LambertBatch::LambertBatch(PyArrayObject* first, PyArrayObject* second, PyObject* tof, npy_intp width,
                           const BatchMessages& m)
    : batch_(batch_axes(checked_pair(first, second, width, m))),
      rows_first_(first, m.reshape_first),
      rows_second_(second, m.reshape_second),
      tofs_(read_scalar_or_array(tof, m.tof_ndim)) {
    if (tofs_.empty() && m.tof_empty != nullptr) raise_value_error(m.tof_empty);
}

Shape LambertBatch::case_shape() const {
    Shape shape = batch_;
    if (tofs_.size() >= 2) shape.push_back(static_cast<npy_intp>(tofs_.size()));
    return shape;
}

}  // namespace orbelin::py
