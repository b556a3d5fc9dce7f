#include "python/errors.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "common/fault.hpp"
#include "common/system_resources.hpp"
#include "parallel/thread_pool.hpp"
#include "python/py_ref.hpp"

namespace orbelin::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when orbelin's native code fails: an internal expectation was violated.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that a\n"
    "bare `except Exception` does not swallow it: it typically propagates all the way\n"
    "up and ends the interpreter.";

constexpr const char* kDefaultFaultText = "orbelin: internal fault in native code";

void set_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        std::fprintf(stderr, "orbelin: fatal: cannot create PanicException while reporting: %s\n", message);
        std::abort();
    }
    PyErr_SetString(type, message);
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    // The whole text, length included: it may quote a caller's string with a NUL inside.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PyErrSet{};
}

namespace {

PyObject* panic_rebuilder = nullptr;  // orbelin._rebuild_panic, set at initialisation

// PanicException.__reduce__: the class is no module attribute that pickle could name, so an instance pickles as
// a call of the module's private _rebuild_panic with the exception's arguments (its message).
PyObject* panic_reduce(PyObject* self, PyObject*) {
    if (panic_rebuilder == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle PanicException before orbelin is initialised");
        return nullptr;
    }
    PyRef args = PyRef::steal(PyObject_GetAttrString(self, "args"));
    if (!args) return nullptr;
    return PyTuple_Pack(2, panic_rebuilder, args.get());
}

PyMethodDef panic_reduce_def{"__reduce__", panic_reduce, METH_NOARGS, "Pickles the exception with its message."};

PyObject* rebuild_panic(PyObject*, PyObject* args) {
    PyObject* type = panic_exception_type();
    return type == nullptr ? nullptr : PyObject_Call(type, args, nullptr);
}

}  // namespace

PyMethodDef rebuild_panic_method{"_rebuild_panic", rebuild_panic, METH_VARARGS,
                                 "Restores a pickled PanicException from its arguments; pickle calls it."};

void set_panic_rebuilder(PyObject* function) { panic_rebuilder = function; }

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // guarded by the interpreter lock
    if (type == nullptr) {
        PyRef created =
            PyRef::steal(PyErr_NewExceptionWithDoc("orbelin.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
        if (!created) return nullptr;
        PyRef reduce =
            PyRef::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(created.get()), &panic_reduce_def));
        if (!reduce || PyObject_SetAttrString(created.get(), "__reduce__", reduce.get()) < 0) return nullptr;
        type = created.release();
    }
    return type;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet&) {
        if (!PyErr_Occurred()) set_panic(kDefaultFaultText);
    } catch (const LoopInterrupted&) {
        // The interruption check left the signal handler's exception set (KeyboardInterrupt for Ctrl-C).
        if (!PyErr_Occurred()) set_panic("the call was interrupted without a pending exception");
    } catch (const RefusedRequest& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        // What was asked for is not known here; what is left is. No heap: memory has just run out.
        const MemoryBudget budget = available_memory();
        char text[320];
        std::snprintf(text, sizeof text,
                      "orbelin: not enough memory for the call (an allocation failed with %.4g bytes left to the "
                      "process: %s)",
                      static_cast<double>(budget.bytes), limit_text(budget.limit));
        PyErr_SetString(PyExc_MemoryError, text);
    } catch (const std::length_error& e) {
        const std::string text =
            std::string("orbelin: a requested size exceeds what can be allocated (") + e.what() + ")";
        PyErr_SetString(PyExc_MemoryError, text.c_str());
    } catch (const std::exception& e) {
        set_panic(e.what()[0] != '\0' ? e.what() : kDefaultFaultText);
    } catch (...) {
        set_panic(kDefaultFaultText);
    }
}

std::string number_text(double x) {
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf, x).ptr;
    return std::string(buf, end);
}

std::string to_string(PyObject* obj) {
    PyRef text = PyRef::steal(PyObject_Str(obj));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return utf8;
}

std::string type_name(PyObject* obj) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return utf8;
}

}  // namespace orbelin::py
