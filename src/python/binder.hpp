#pragma once
// The declarative argument binder. A Python function is described once by a
// FunctionDef (name, parameters with their kinds and defaults, docstring
// body, implementation); one dispatcher binds every call against it with
// CPython's texts, converts the arguments in signature order and hands the
// implementation an Args of converted values.

#include "python/numpy_api.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "python/errors.hpp"

namespace orbelin::py {

enum class Kind : std::uint8_t {
    Float,    // 64-bit float: anything CPython's float conversion accepts
    Count,    // unsigned machine-size integer: int or __index__; negative -> OverflowError
    Flag,     // strictly True or False
    Array,    // float64 NumPy array of any number of axes (batch form)
    Array1D,  // float64 NumPy array of exactly one axis (fixed form)
    Object,   // any object, converted by the implementation (scalar-or-array times)
    Pair,     // a tuple of exactly two floats, such as a time window (lo, hi)
};

inline constexpr std::size_t kMaxParams = 16;

struct Param {
    enum class Default : std::uint8_t { Required, Float, Count, Flag, Absent };

    const char* name = nullptr;
    Kind kind = Kind::Float;
    Default default_kind = Default::Required;
    double float_value = 0.0;
    std::size_t count_value = 0;
    bool flag_value = false;
    bool none_is_absent = false;  // None reads as an omitted argument
};

constexpr Param required(const char* name, Kind kind) { return {name, kind}; }
constexpr Param optional(const char* name, double value) {
    return {name, Kind::Float, Param::Default::Float, value, 0, false, false};
}
constexpr Param optional_count(const char* name, std::size_t value) {
    return {name, Kind::Count, Param::Default::Count, 0.0, value, false, false};
}
constexpr Param optional_flag(const char* name, bool value) {
    return {name, Kind::Flag, Param::Default::Flag, 0.0, 0, value, false};
}
// Optional without a value of its own: omitted and None both read as absent.
constexpr Param optional_or_none(const char* name, Kind kind) {
    return {name, kind, Param::Default::Absent, 0.0, 0, false, true};
}

class Args;
using Impl = PyObject* (*)(const Args&);

struct FunctionDef {
    const char* name;
    std::span<const Param> params;
    const char* doc_body;  // text after the signature block; may be empty
    Impl impl;

    // "name(a, b, c=...)\n--\n\n" followed by the body.
    std::string docstring() const;
};

// Converted argument values, read by parameter name. Arrays and objects are
// borrowed from the call's argument tuple and keyword dictionary, which keep
// them alive for the whole call. A name that the FunctionDef does not declare,
// or a read of the wrong kind (f64 of a count), is an InternalFault: the
// implementation and its parameter table disagree.
class Args {
public:
    bool present(std::string_view name) const { return value(name).present; }
    // Whether the function has a parameter of that name at all.
    bool declares(std::string_view name) const;
    double f64(std::string_view name) const { return value(name, Kind::Float).f; }
    std::pair<double, double> pair(std::string_view name) const {
        const Value& v = value(name, Kind::Pair);
        return {v.f, v.f2};
    }
    std::size_t count(std::string_view name) const { return value(name, Kind::Count).n; }
    bool flag(std::string_view name) const { return value(name, Kind::Flag).b; }
    // Batch or fixed form alike.
    PyArrayObject* array(std::string_view name) const {
        const Value& v = value(name, Kind::Array, Kind::Array1D);
        return reinterpret_cast<PyArrayObject*>(v.obj);
    }
    PyObject* object(std::string_view name) const { return value(name, Kind::Object).obj; }

    // One converted argument; which member holds it depends on the parameter's kind.
    struct Value {
        bool present = false;
        double f = 0.0;
        double f2 = 0.0;
        std::size_t n = 0;
        bool b = false;
        PyObject* obj = nullptr;
    };

private:
    friend PyObject* dispatch(const FunctionDef&, PyObject*, PyObject*) noexcept;

    explicit Args(const FunctionDef& def) noexcept : def_(&def) {}

    // The value of parameter `name`; with kinds given, the parameter must be of one of them.
    const Value& value(std::string_view name, std::initializer_list<Kind> kinds = {}) const;
    const Value& value(std::string_view name, Kind kind) const { return value(name, {kind}); }
    const Value& value(std::string_view name, Kind a, Kind b) const { return value(name, {a, b}); }

    const FunctionDef* def_;
    std::array<Value, kMaxParams> values_{};
};

// Binds, converts and calls def.impl; returns a new reference or null with
// the Python error set.
PyObject* dispatch(const FunctionDef& def, PyObject* args, PyObject* kwargs) noexcept;

// The C entry point that CPython calls for the function described by D.
template <const FunctionDef& D>
PyObject* entry_point(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return dispatch(D, args, kwargs);
}

}  // namespace orbelin::py
