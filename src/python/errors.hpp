#pragma once
// Failures of the boundary. Checks raise by setting the Python error and
// throwing PyErrSet; `guarded` turns every C++ exception that reaches the
// boundary into a Python exception (internal faults into PanicException).

#include "python/numpy_api.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace orbelin::py {

// Thrown after a Python exception has been set.
struct PyErrSet {};

[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] inline void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }
[[noreturn]] inline void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }

// Throws PyErrSet when `obj` is null (a Python call failed).
inline PyObject* check(PyObject* obj) {
    if (obj == nullptr) throw PyErrSet{};
    return obj;
}

// The exception class for internal faults, created on first use.
PyObject* panic_exception_type();

// orbelin._rebuild_panic(*args): a PanicException with these arguments. A private module attribute, so that
// pickle can name it; PanicException.__reduce__ hands it out once set_panic_rebuilder has been given the function.
extern PyMethodDef rebuild_panic_method;
void set_panic_rebuilder(PyObject* function);

// Sets the Python exception for the exception being handled.
void set_error_from_current_exception() noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Joins message pieces (avoids chains of operator+ on temporaries).
inline std::string concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
}

// The shortest text that reads back as x ("1e+09", "0.1", "nan"): how messages quote a number.
std::string number_text(double x);

// str(obj) as UTF-8; "<unprintable>" when that fails.
std::string to_string(PyObject* obj);

// The __qualname__ of obj's type, as CPython's own messages name it.
std::string type_name(PyObject* obj);

}  // namespace orbelin::py
