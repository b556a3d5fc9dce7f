#pragma once
// Result classes: holders of a fixed list of NumPy arrays, one attribute each that cannot be reassigned (the arrays
// themselves stay writeable), no constructor, a repr listing the shapes of some fields (and a summary of one of
// them), and pickling: __reduce__ hands pickle and copy the private module function _rebuild_result with the class
// and the tuple of field arrays, so that results travel between processes (multiprocessing, Dask).
//
// Each class is described by one table of columns: name, docstring, element type, values per slot and repr line.
// The arrays, the bytes a slot takes, the attributes, the repr and the checks of a restored pickle are all derived
// from it.

#include "python/numpy_api.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "orbit/transfer_elements.hpp"
#include "python/arrays.hpp"
#include "python/binder.hpp"
#include "python/py_ref.hpp"

namespace orbelin::py {

enum class Dtype : std::uint8_t { float64, uint64, int64, boolean };

template <Dtype D>
struct DtypeOf;
template <>
struct DtypeOf<Dtype::float64> {
    using type = double;
};
template <>
struct DtypeOf<Dtype::uint64> {
    using type = std::uint64_t;
};
template <>
struct DtypeOf<Dtype::int64> {
    using type = std::int64_t;
};
template <>
struct DtypeOf<Dtype::boolean> {
    using type = bool;
};

constexpr std::size_t dtype_bytes(Dtype d) noexcept {
    switch (d) {
        case Dtype::float64:
            return sizeof(double);
        case Dtype::uint64:
            return sizeof(std::uint64_t);
        case Dtype::int64:
            return sizeof(std::int64_t);
        case Dtype::boolean:
            return sizeof(bool);
    }
    return 0;
}

// NumPy's name of the dtype.
constexpr const char* dtype_name(Dtype d) noexcept {
    switch (d) {
        case Dtype::float64:
            return "float64";
        case Dtype::uint64:
            return "uint64";
        case Dtype::int64:
            return "int64";
        case Dtype::boolean:
            return "bool";
    }
    return "";
}

// How __repr__ shows a column: not at all, by its shape, or by its shape and " (min=..., max=..., avg=... km/s)".
enum class ReprLine : std::uint8_t { none, shape, shape_and_summary };

struct Column {
    const char* name = nullptr;
    const char* description = nullptr;  // the attribute's docstring up to " - shape ..."
    Dtype dtype = Dtype::float64;
    std::size_t width = 1;  // values per slot: 1, or 3 for a vector (a trailing axis of length 3)
    ReprLine repr = ReprLine::none;
    // One set of `width` values for the whole result (shape (width,)) instead of one per slot: a summary such as
    // the index of the cheapest slot. Never the first column, whose shape gives the slots.
    bool per_result = false;
};

// The transfer-element columns that both result classes end with, in the order of TransferElements.
struct ElementColumn {
    const char* name = nullptr;
    const char* description = nullptr;
    double TransferElements::* member = nullptr;
};

inline constexpr auto transfer_element_columns = std::to_array<ElementColumn>({
    {"sma", "Semi-major axis [km]", &TransferElements::sma},
    {"ecc", "Eccentricity", &TransferElements::ecc},
    {"inc", "Inclination [deg]", &TransferElements::inc},
    {"raan", "Right Ascension of Ascending Node [deg]", &TransferElements::raan},
    {"argp", "Argument of Perigee [deg]", &TransferElements::argp},
    {"ta_depart", "True anomaly at departure [deg]", &TransferElements::ta_depart},
    {"ta_arrive", "True anomaly at arrival [deg]", &TransferElements::ta_arrive},
    {"rp", "Radius of perigee [km]", &TransferElements::rp},
    {"ra", "Radius of apogee [km]", &TransferElements::ra},
});
inline constexpr std::size_t transfer_element_count = transfer_element_columns.size();
static_assert(sizeof(TransferElements) == transfer_element_count * sizeof(double),
              "every transfer element has its column");

// `leading`, then the transfer-element columns (float64, one value per slot), of which __repr__ shows the first
// `elements_in_repr`.
template <std::size_t N>
constexpr std::array<Column, N + transfer_element_count> with_transfer_elements(const std::array<Column, N>& leading,
                                                                                std::size_t elements_in_repr = 0) {
    std::array<Column, N + transfer_element_count> all{};
    for (std::size_t i = 0; i < N; ++i) all[i] = leading[i];
    for (std::size_t i = 0; i < transfer_element_count; ++i) {
        const ElementColumn& e = transfer_element_columns[i];
        all[N + i] =
            Column{e.name, e.description, Dtype::float64, 1, i < elements_in_repr ? ReprLine::shape : ReprLine::none};
    }
    return all;
}

// The position of the column called `name`; a name not in the table does not compile.
template <std::size_t N>
consteval std::size_t column_index(const std::array<Column, N>& columns, std::string_view name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (std::string_view(columns[i].name) == name) return i;
    }
    throw "no column of that name";
}

// Bytes one slot takes over all the columns.
template <std::size_t N>
constexpr std::size_t slot_bytes(const std::array<Column, N>& columns) {
    std::size_t bytes = 0;
    for (const Column& c : columns) bytes += c.per_result ? 0 : c.width * dtype_bytes(c.dtype);
    return bytes;
}

struct ResultClassDef {
    const char* name;  // Python name; the class lives in module orbelin
    const char* doc;
    std::span<const Column> columns;
    // The axes of a one-value column, as the docstrings write them ("n", or "..., K"), and the numbers of such
    // axes a real result can have.
    const char* axes;
    std::size_t min_axes = 1;
    std::size_t max_axes = std::numeric_limits<std::size_t>::max();
};

// The shape of a column's array over slots of shape `slots`.
inline Shape column_shape(const Shape& slots, const Column& column) {
    if (column.per_result) return Shape{static_cast<npy_intp>(column.width)};
    return column.width == 1 ? slots : with_axes(slots, {static_cast<npy_intp>(column.width)});
}

namespace detail {

// std::tuple<ResultArray<T_0>, ...>, T_i the element type of column i.
template <const auto& Columns, class Indices>
struct ColumnTuple;
template <const auto& Columns, std::size_t... I>
struct ColumnTuple<Columns, std::index_sequence<I...>> {
    using type = std::tuple<ResultArray<typename DtypeOf<Columns[I].dtype>::type>...>;
};

}  // namespace detail

// The result arrays of one call, one per column of `Columns` (a std::array<Column, N>), each of the shape of the
// slots (with a trailing axis for a vector column), created unwritten: every slot must be written once, through
// at<I>() or pad(). Each touches only its own slot, so disjoint slots may be written from several threads at once.
template <const auto& Columns>
class ColumnArrays {
    static constexpr std::size_t N = Columns.size();
    using Arrays = typename detail::ColumnTuple<Columns, std::make_index_sequence<N>>::type;

public:
    template <std::size_t I>
    using value_type = typename DtypeOf<Columns[I].dtype>::type;

    static constexpr std::size_t bytes_per_slot = slot_bytes(Columns);

    explicit ColumnArrays(const Shape& slots) : arrays_(make(slots, std::make_index_sequence<N>{})) {}

    // The values of column I in slot `slot` (width of them).
    template <std::size_t I>
    value_type<I>* at(std::size_t slot) const noexcept {
        return std::get<I>(arrays_).data() + Columns[I].width * slot;
    }

    // The values of a per-result column I.
    template <std::size_t I>
    value_type<I>* whole() const noexcept {
        static_assert(Columns[I].per_result, "a per-slot column is written through at()");
        return std::get<I>(arrays_).data();
    }

    // The transfer elements into their columns, the first of them column First.
    template <std::size_t First>
    void put_elements(std::size_t slot, const TransferElements& e) const noexcept {
        put_elements<First>(slot, e, std::make_index_sequence<transfer_element_count>{});
    }

    // The fill values of an unused slot: NaN, 0, False.
    void pad(std::size_t slot) const noexcept { pad(slot, 1); }

    // The same for the `count` slots from `first` on, column by column: each column's slots are contiguous.
    void pad(std::size_t first, std::size_t count) const noexcept { pad(first, count, std::make_index_sequence<N>{}); }

    // Copies slot `from` of every column onto slot `to`.
    void move_slot(std::size_t from, std::size_t to) const noexcept {
        move_slot(from, to, std::make_index_sequence<N>{});
    }

    // Keeps the first `rows` entries of the first axis of every array (ResultArray::shrink).
    void shrink(npy_intp rows) { shrink(rows, std::make_index_sequence<N>{}); }

    // The arrays, in column order; their references move to the caller.
    std::array<PyRef, N> release() noexcept { return release(std::make_index_sequence<N>{}); }

private:
    template <std::size_t... I>
    static Arrays make(const Shape& slots, std::index_sequence<I...>) {
        const std::size_t sizes[] = {element_count(column_shape(slots, Columns[I])) * sizeof(value_type<I>)...};
        std::size_t total = 0;
        for (std::size_t bytes : sizes) total += bytes;
        const SharedResultBlock block(total);
        return Arrays(ResultArray<value_type<I>>(column_shape(slots, Columns[I]))...);
    }

    template <std::size_t First, std::size_t... K>
    void put_elements(std::size_t slot, const TransferElements& e, std::index_sequence<K...>) const noexcept {
        static_assert(((std::string_view(Columns[First + K].name) == transfer_element_columns[K].name) && ...),
                      "the element columns must follow TransferElements");
        ((*at<First + K>(slot) = e.*(transfer_element_columns[K].member)), ...);
    }

    template <std::size_t... I>
    void pad(std::size_t first, std::size_t count, std::index_sequence<I...>) const noexcept {
        (pad_column<I>(first, count), ...);
    }

    template <std::size_t I>
    void pad_column(std::size_t first, std::size_t count) const noexcept {
        if constexpr (Columns[I].per_result) return;
        value_type<I>* values = at<I>(first);
        const std::size_t n = Columns[I].width * count;
        if constexpr (Columns[I].dtype == Dtype::float64) {
            std::fill_n(values, n, std::numeric_limits<double>::quiet_NaN());
        } else {
            std::fill_n(values, n, value_type<I>{});
        }
    }

    template <std::size_t... I>
    void move_slot(std::size_t from, std::size_t to, std::index_sequence<I...>) const noexcept {
        ((std::copy(at<I>(from), at<I>(from) + Columns[I].width, at<I>(to))), ...);
    }

    template <std::size_t... I>
    void shrink(npy_intp rows, std::index_sequence<I...>) {
        (std::get<I>(arrays_).shrink(rows), ...);
    }

    template <std::size_t... I>
    std::array<PyRef, N> release(std::index_sequence<I...>) noexcept {
        return {PyRef::steal(std::get<I>(arrays_).release())...};
    }

    Arrays arrays_;
};

// Creates the type object (once, at module initialisation). Returns a new
// reference or throws PyErrSet.
PyObject* create_result_class(const ResultClassDef& def);

// A new instance of `type` (made by create_result_class for `def`) holding
// the arrays, whose references move into it. `arrays` has one entry per field.
PyObject* make_result(PyObject* type, const ResultClassDef& def, std::span<PyRef> arrays);

// _rebuild_result(cls, fields): a new instance of the result class `cls`
// holding the arrays of the tuple `fields`, in field order, without copying
// them, once their dtypes and shapes are those of a result of that class.
// Added to the module at initialisation but not to __all__.
extern const FunctionDef rebuild_result_def;

// Gives __reduce__ the module's function object for rebuild_result_def
// (a new reference, kept for the life of the process).
void set_result_rebuilder(PyObject* function);

}  // namespace orbelin::py
