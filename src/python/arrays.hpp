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

// Row readers of one memory layout each, for Rows::with_layout. Rows are read
// by memcpy only: an array's buffer need not be aligned for double.
// The typed reads of a row reader, over the reader's own read(i, out).
template <class Reader>
struct RowReads {
    State state(std::size_t i) const noexcept {
        State s;
        static_cast<const Reader&>(*this).read(i, s.data());
        return s;
    }
    Vec3 vec3(std::size_t i) const noexcept {
        double v[3];
        static_cast<const Reader&>(*this).read(i, v);
        return {v[0], v[1], v[2]};
    }

private:
    RowReads() = default;
    friend Reader;
};

struct CRowReader : RowReads<CRowReader> {
    const char* base = nullptr;
    std::size_t width = 0;

    CRowReader(const char* base_, std::size_t width_) noexcept : base(base_), width(width_) {}

    // Rows of three (positions) copied inline: a copy of a size known only at run time is a library call.
    void read(std::size_t i, double* out) const noexcept {
        const char* row = base + i * width * sizeof(double);
        if (width == 3) {
            std::memcpy(out, row, 3 * sizeof(double));
        } else {
            std::memcpy(out, row, width * sizeof(double));
        }
    }
};

// Column-major storage of two or more axes: the first batch axis varies
// fastest in memory and the component axis slowest, one block of `count`
// values per component.
struct FortranRowReader : RowReads<FortranRowReader> {
    const char* base = nullptr;
    std::size_t count = 0;
    std::size_t width = 0;
    const Shape* batch_shape = nullptr;

    FortranRowReader(const char* base_, std::size_t count_, std::size_t width_, const Shape* shape) noexcept
        : base(base_), count(count_), width(width_), batch_shape(shape) {}

    void read(std::size_t i, double* out) const noexcept;
};

// A batch-form array read in place as n rows of k values, row i being batch
// position i in row-major order of the batch axes.
class Rows {
public:
    // Raises ValueError(message) when the layout is neither C-contiguous nor
    // Fortran-contiguous with two or more axes.
    Rows(PyArrayObject* arr, const std::string& failure_message);

    std::size_t count() const noexcept { return count_; }
    std::size_t width() const noexcept { return width_; }

    // f(reader) with the reader of this array's layout (CRowReader or
    // FortranRowReader): a loop inside f reads its rows without asking the
    // layout again.
    template <class F>
    decltype(auto) with_layout(F&& f) const {
        if (fortran_) return f(fortran_reader());
        return f(c_reader());
    }

private:
    CRowReader c_reader() const noexcept { return {base_, width_}; }
    FortranRowReader fortran_reader() const noexcept { return {base_, count_, width_, &batch_shape_}; }

    // Bytes, not doubles: an array's buffer need not be aligned for double, so
    // rows are only ever read by memcpy.
    const char* base_ = nullptr;
    std::size_t count_ = 0;
    std::size_t width_ = 0;
    bool fortran_ = false;
    Shape batch_shape_;
};

// How the elements of a result meet the batch elements of two inputs, decided
// once per call: each side reads its own element i, element 0 for every i (a
// batch of one serving all), or the element that NumPy broadcasting of the two
// batch shapes assigns to i.
class RowPairing {
public:
    // Equal counts pair element by element and a count of 1 serves every
    // element of the other side; only counts are compared, and the result
    // takes the batch axes of the larger side (the first on a tie). The caller
    // has refused counts that do not pair.
    static RowPairing by_count(const Shape& first, const Shape& second);
    // NumPy broadcasting of the two shapes; false when they do not broadcast.
    static bool broadcast(const Shape& first, const Shape& second, RowPairing& out);

    const Shape& axes() const noexcept { return axes_; }
    std::size_t count() const noexcept { return count_; }

    // f(i, first_index, second_index) for every result element i in
    // [begin, end), in order.
    template <class F>
    void for_each(std::size_t begin, std::size_t end, F&& f) const {
        if (!first_strided_ && !second_strided_) {
            // i * 1 reads element i, i * 0 element 0.
            for (std::size_t i = begin; i < end; ++i) f(i, i * first_step_, i * second_step_);
            return;
        }
        for (std::size_t i = begin; i < end; ++i) {
            // Row-major digits of i over the result axes, mapped through each side's strides.
            std::size_t a = 0, b = 0, rest = i;
            for (std::size_t k = axes_.size(); k-- > 0;) {
                const auto extent = static_cast<std::size_t>(axes_[k]);
                const std::size_t digit = rest % extent;
                rest /= extent;
                a += digit * first_stride_[k];
                b += digit * second_stride_[k];
            }
            f(i, a, b);
        }
    }

private:
    Shape axes_;
    std::size_t count_ = 0;
    std::size_t first_step_ = 1;  // 1: element i; 0: element 0
    std::size_t second_step_ = 1;
    bool first_strided_ = false;
    bool second_strided_ = false;
    std::vector<std::size_t> first_stride_;  // element stride per result axis, 0 where broadcast
    std::vector<std::size_t> second_stride_;
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

// While alive, the arrays made on this thread (ResultArray; one made outside such a guard makes its own) take their
// memory from one block of about `bytes` bytes marked for huge pages, when they together span at least 4 MB;
// otherwise, or when the system refuses, it does nothing. Each array still owns its data; the block is given back
// when the last of them is freed, and kept (up to 1 GB) as the spare for the next result that fits, so that repeated
// calls write into pages already mapped instead of having the system zero fresh ones. The pages of an array of 4 MB
// or more are handed back lazily as soon as it is freed (the system takes them when it needs the memory), so a kept
// column does not pin the others' pages.
class SharedResultBlock {
public:
    explicit SharedResultBlock(std::size_t bytes);
    ~SharedResultBlock();
    SharedResultBlock(const SharedResultBlock&) = delete;
    SharedResultBlock& operator=(const SharedResultBlock&) = delete;

private:
    PyObject* previous_ = nullptr;  // the allocator to restore
};

extern template class ResultArray<double>;
extern template class ResultArray<std::uint64_t>;
extern template class ResultArray<std::int64_t>;
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
