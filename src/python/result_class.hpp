#pragma once
// Result classes: immutable holders of a fixed list of NumPy arrays, one
// read-only attribute each, no constructor, a repr listing the shapes of the
// first few fields (and a summary of one of them), and pickling: __reduce__
// hands pickle and copy the private module function _rebuild_result with the
// class and the tuple of field arrays, so that results travel between
// processes (multiprocessing, Dask).

#include "python/numpy_api.hpp"

#include <array>
#include <cstddef>
#include <span>

#include "python/binder.hpp"
#include "python/py_ref.hpp"

namespace orbelin::py {

struct FieldDef {
    const char* name;
    const char* doc;
};

// The nine transfer-element attributes that both result classes end with, and a table of the fields before
// them joined with these.
inline constexpr std::array<FieldDef, 9> transfer_element_fields = {{
    {"sma", "Semi-major axis [km] - shape (n,)"},
    {"ecc", "Eccentricity - shape (n,)"},
    {"inc", "Inclination [deg] - shape (n,)"},
    {"raan", "Right Ascension of Ascending Node [deg] - shape (n,)"},
    {"argp", "Argument of Perigee [deg] - shape (n,)"},
    {"ta_depart", "True anomaly at departure [deg] - shape (n,)"},
    {"ta_arrive", "True anomaly at arrival [deg] - shape (n,)"},
    {"rp", "Radius of perigee [km] - shape (n,)"},
    {"ra", "Radius of apogee [km] - shape (n,)"},
}};

template <std::size_t N>
constexpr std::array<FieldDef, N + 9> with_transfer_elements(const std::array<FieldDef, N>& leading) {
    std::array<FieldDef, N + 9> all{};
    for (std::size_t i = 0; i < N; ++i) all[i] = leading[i];
    for (std::size_t i = 0; i < 9; ++i) all[N + i] = transfer_element_fields[i];
    return all;
}

struct ResultClassDef {
    const char* name;  // Python name; the class lives in module orbelin
    const char* doc;
    std::span<const FieldDef> fields;
    std::size_t repr_fields;  // how many leading fields __repr__ lists
    // A float64 field whose repr line also shows " (min=..., max=..., avg=... km/s)"; -1: none.
    int summary_field = -1;
};

// Creates the type object (once, at module initialisation). Returns a new
// reference or throws PyErrSet.
PyObject* create_result_class(const ResultClassDef& def);

// A new instance of `type` (made by create_result_class for `def`) holding
// the arrays, whose references move into it. `arrays` has one entry per field.
PyObject* make_result(PyObject* type, const ResultClassDef& def, std::span<PyRef> arrays);

// _rebuild_result(cls, fields): a new instance of the result class `cls`
// holding the arrays of the tuple `fields`, in field order, without copying
// them. Added to the module at initialisation but not to __all__.
extern const FunctionDef rebuild_result_def;

// Gives __reduce__ the module's function object for rebuild_result_def
// (a new reference, kept for the life of the process).
void set_result_rebuilder(PyObject* function);

}  // namespace orbelin::py
