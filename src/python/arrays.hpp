#pragma once
// The array layer: acceptance of float64 NumPy arguments, their view as rows
// of k values, the scalar-or-array time reader and result arrays.

#include "python/numpy_api.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "common/system_resources.hpp"
#include "common/vec3.hpp"
#include "python/py_ref.hpp"

namespace orbelin::py {

// Acceptance of an array argument: a NumPy array (or subclass) of float64;
// `one_axis` additionally requires exactly one axis (checked before the
// dtype). Raises TypeError with the conversion texts otherwise.
PyArrayObject* accept_float64_array(PyObject* obj, bool one_axis);

using Shape = std::vector<npy_intp>;

// The values of a one-axis array that must be contiguous in memory (TypeError
// "The given array is not contiguous" otherwise), copied out in index order.
std::vector<double> copy_contiguous(PyArrayObject* arr);

// The axes of `arr` without its last one.
Shape batch_axes(PyArrayObject* arr);

// Product of the batch axes, 1 when there are none.
std::size_t batch_count(PyArrayObject* arr);

// Shape check shared by the batch-form parameters: at least one axis and a
// last axis of length k.
bool has_last_axis(PyArrayObject* arr, npy_intp k);

bool same_shape(PyArrayObject* a, PyArrayObject* b);

// A batch-form array read in place as n rows of k values, row i being batch
// position i in row-major order of the batch axes.
class Rows {
public:
    // Raises ValueError(message) when the layout is neither C-contiguous nor
    // Fortran-contiguous with two or more axes.
    Rows(PyArrayObject* arr, const std::string& failure_message);

    std::size_t count() const noexcept { return count_; }
    std::size_t width() const noexcept { return width_; }

    // Copies row i into out[0 .. width).
    void read(std::size_t i, double* out) const noexcept {
        if (fortran_) {
            read_fortran(i, out);
        } else {
            std::memcpy(out, base_ + i * width_ * sizeof(double), width_ * sizeof(double));
        }
    }
    Vec3 vec3(std::size_t i) const noexcept {
        double tmp[3];
        read(i, tmp);
        return {tmp[0], tmp[1], tmp[2]};
    }
    State state(std::size_t i) const noexcept {
        State s;
        read(i, s.data());
        return s;
    }

private:
    void read_fortran(std::size_t i, double* out) const noexcept;

    // Bytes, not doubles: an array's buffer need not be aligned for double, so
    // rows are only ever read by memcpy.
    const char* base_ = nullptr;
    std::size_t count_ = 0;
    std::size_t width_ = 0;
    bool fortran_ = false;
    Shape batch_shape_;
};

// Failure message of the scalar-or-array reader for an array with other than
// one axis: `text`, followed by "<ndim>D" when `append_ndim` is set.
struct NdimMessage {
    const char* text;
    bool append_ndim;
};

// Reads a number or a 1-D float64 array (anything numpy.asarray turns into
// one) as a list of values. A number, or an array holding exactly one
// element, gives one value.
std::vector<double> read_scalar_or_array(PyObject* obj, NdimMessage not_one_axis);

// A new C-contiguous, writeable array that owns its memory, filled with
// `fill`; or, without a fill value, left unwritten for a caller that writes
// every element itself (its pages are then first touched by whoever fills
// them, such as the tasks of a parallel loop).
template <class T>
class ResultArray {
public:
    ResultArray(const Shape& shape, T fill);
    explicit ResultArray(const Shape& shape);

    T* data() const noexcept { return data_; }
    // Cuts the first axis down to `rows` (at most its length), keeping the leading elements in place: the memory
    // is reallocated smaller, which for a large array gives the tail back without copying the head.
    void shrink(npy_intp rows);
    std::size_t size() const noexcept { return size_; }
    PyObject* get() const noexcept { return obj_.get(); }
    PyObject* release() noexcept { return obj_.release(); }

private:
    PyRef obj_;
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

extern template class ResultArray<double>;
extern template class ResultArray<std::uint64_t>;
extern template class ResultArray<bool>;

// Descriptions appended to "Failed to reshape ... output: " style prefixes.
inline constexpr const char* kIncompatibleShape = "ShapeError/IncompatibleShape: incompatible shapes";
inline constexpr const char* kIncompatibleLayout = "ShapeError/IncompatibleLayout: incompatible memory layout";

// Result arrays are built at their final shape; this is the check that the
// element count computed for the cases agrees with it. Raises
// ValueError(prefix + kIncompatibleShape) when it does not.
void require_reshape(std::size_t flat_count, const Shape& shape, const std::string& prefix);

std::size_t element_count(const Shape& shape) noexcept;

// Refuses, with MemoryError, a request for `bytes` more bytes that this process cannot hold (see
// available_memory()), before anything of it is allocated. The message names the request, "<subject> needs ...",
// and what is available under which limit. Byte counts are doubles so that products of counts never wrap.
void require_memory(const std::string& subject, double bytes);

// The MemoryError of require_memory() for a request already found too large for `budget`.
[[noreturn]] void raise_memory_error(const std::string& subject, double bytes, const MemoryBudget& budget);

// require_memory() for a result of `cases` x `slots` slots of `bytes_per_slot` bytes each (all its arrays
// together), made before anything is computed.
void require_result_memory(const char* function, std::size_t cases, std::size_t slots, std::size_t bytes_per_slot);

// Python's text of a shape tuple: (), (2,), (2, 3).
std::string shape_text(const Shape& shape);

// shape + (extra...).
Shape with_axes(Shape shape, std::initializer_list<npy_intp> extra);

// A new tuple holding the given objects; the references move into it.
PyObject* new_tuple(std::span<PyRef> items);

}  // namespace orbelin::py
