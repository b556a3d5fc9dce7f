#pragma once
// Result classes: immutable holders of a fixed list of NumPy arrays, one
// read-only attribute each, no constructor, and a repr listing the shapes of
// the first few fields (and a summary of one of them).

#include "python/numpy_api.hpp"

#include <cstddef>
#include <span>

#include "python/py_ref.hpp"

namespace orbelin::py {

struct FieldDef {
    const char* name;
    const char* doc;
};

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

}  // namespace orbelin::py
