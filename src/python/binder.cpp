#include "python/binder.hpp"

#include <algorithm>
#include <string_view>

#include "common/fault.hpp"
#include "parallel/thread_pool.hpp"
#include "python/arrays.hpp"
#include "python/py_ref.hpp"

namespace orbelin::py {

std::string FunctionDef::docstring() const {
    std::string doc = std::string(name) + "(";
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i > 0) doc += ", ";
        doc += params[i].name;
        if (params[i].default_kind != Param::Default::Required) doc += "=...";
    }
    doc += ")\n--\n\n";
    doc += doc_body;
    return doc;
}

bool Args::declares(std::string_view name) const {
    return std::any_of(def_->params.begin(), def_->params.end(), [&](const Param& p) { return name == p.name; });
}

const Args::Value& Args::value(std::string_view name, std::initializer_list<Kind> kinds) const {
    for (std::size_t i = 0; i < def_->params.size(); ++i) {
        const Param& param = def_->params[i];
        if (name != param.name) continue;
        if (kinds.size() != 0 && std::find(kinds.begin(), kinds.end(), param.kind) == kinds.end()) {
            throw InternalFault(concat({def_->name, "(): parameter '", param.name, "' read as the wrong kind"}));
        }
        return values_[i];
    }
    throw InternalFault(concat({def_->name, "() has no parameter '", name, "'"}));
}

namespace {

std::size_t required_count(const FunctionDef& def) {
    std::size_t n = 0;
    for (const Param& p : def.params) n += p.default_kind == Param::Default::Required ? 1 : 0;
    return n;
}

std::string fn_label(const FunctionDef& def) { return concat({def.name, "()"}); }

[[noreturn]] void too_many_positional(const FunctionDef& def, std::size_t given) {
    const std::size_t required = required_count(def);
    const std::string verb = given == 1 ? "was" : "were";
    if (required == def.params.size()) {
        raise_type_error(concat({fn_label(def), " takes ", std::to_string(required), " positional arguments but ",
                                 std::to_string(given), " ", verb, " given"}));
    }
    raise_type_error(
        concat({fn_label(def), " takes from ", std::to_string(required), " to ", std::to_string(def.params.size()),
                " positional arguments but ", std::to_string(given), " ", verb, " given"}));
}

[[noreturn]] void missing_required(const FunctionDef& def, const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) list += ',';
            list += i + 1 == names.size() ? " and " : " ";
        }
        list += concat({"'", names[i], "'"});
    }
    raise_type_error(concat({fn_label(def), " missing ", std::to_string(names.size()), " required positional ",
                             names.size() == 1 ? "argument" : "arguments", ": ", list}));
}

// Re-raises a TypeError of a conversion as "argument '<name>': <text>",
// keeping its cause; other exception types pass unchanged.
[[noreturn]] void argument_error(const Param& param) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyRef old_type = PyRef::steal(type);
        PyRef old_value = PyRef::steal(value);
        PyRef old_traceback = PyRef::steal(traceback);
        const std::string text = concat({"argument '", param.name, "': ", to_string(old_value.get())});
        PyRef error = PyRef::steal(check(PyObject_CallFunction(PyExc_TypeError, "s", text.c_str())));
        if (old_value) {
            if (PyObject* cause = PyException_GetCause(old_value.get())) PyException_SetCause(error.get(), cause);
        }
        PyErr_SetObject(PyExc_TypeError, error.get());
    }
    throw PyErrSet{};
}

double as_double(PyObject* obj) {
    const double f = PyFloat_AsDouble(obj);
    if (f == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return f;
}

// A tuple of two floats. A tuple of another length is a ValueError, which the
// argument prefix does not wrap.
void convert_pair(PyObject* obj, double& first, double& second) {
    if (!PyTuple_Check(obj))
        raise_type_error(concat({"'", type_name(obj), "' object cannot be converted to 'PyTuple'"}));
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (n != 2) raise_value_error(concat({"expected tuple of length 2, but got tuple of length ", std::to_string(n)}));
    first = as_double(PyTuple_GET_ITEM(obj, 0));
    second = as_double(PyTuple_GET_ITEM(obj, 1));
}

void convert(const Param& param, PyObject* obj, Args::Value& v) {
    try {
        switch (param.kind) {
            case Kind::Float:
                v.f = as_double(obj);
                break;
            case Kind::Pair:
                convert_pair(obj, v.f, v.f2);
                break;
            case Kind::Count: {
                PyRef index = PyRef::steal(check(PyNumber_Index(obj)));
                v.n = PyLong_AsSize_t(index.get());
                if (v.n == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrSet{};
                break;
            }
            case Kind::Flag:
                if (obj != Py_True && obj != Py_False) {
                    raise_type_error(concat({"'", type_name(obj), "' object cannot be converted to 'PyBool'"}));
                }
                v.b = obj == Py_True;
                break;
            case Kind::Array:
            case Kind::Array1D:
                v.obj = reinterpret_cast<PyObject*>(accept_float64_array(obj, param.kind == Kind::Array1D));
                break;
            case Kind::Object:
                v.obj = obj;
                break;
        }
    } catch (const PyErrSet&) {
        argument_error(param);
    }
}

}  // namespace

PyObject* dispatch(const FunctionDef& def, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        const std::size_t nparams = def.params.size();
        std::array<PyObject*, kMaxParams> given{};  // borrowed

        const auto npos = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
        if (npos > nparams) too_many_positional(def, npos);
        for (std::size_t i = 0; i < npos; ++i) given[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));

        if (kwargs != nullptr) {
            Py_ssize_t pos = 0;
            PyObject *key = nullptr, *value = nullptr;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                Py_ssize_t length = 0;
                const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &length) : nullptr;
                if (utf8 == nullptr) {
                    PyErr_Clear();
                    raise_type_error(concat({fn_label(def), " keywords must be strings"}));
                }
                // The whole name, length included: a name with a NUL inside is not the parameter it starts with.
                const std::string_view name(utf8, static_cast<std::size_t>(length));
                std::size_t slot = nparams;
                for (std::size_t i = 0; i < nparams; ++i) {
                    if (std::string_view(def.params[i].name) == name) {
                        slot = i;
                        break;
                    }
                }
                if (slot == nparams) {
                    raise_type_error(concat({fn_label(def), " got an unexpected keyword argument '", name, "'"}));
                }
                if (given[slot] != nullptr) {
                    raise_type_error(concat({fn_label(def), " got multiple values for argument '", name, "'"}));
                }
                given[slot] = value;
            }
        }

        std::vector<const char*> missing;
        for (std::size_t i = 0; i < nparams; ++i) {
            if (given[i] == nullptr && def.params[i].default_kind == Param::Default::Required) {
                missing.push_back(def.params[i].name);
            }
        }
        if (!missing.empty()) missing_required(def, missing);

        Args converted(def);
        for (std::size_t i = 0; i < nparams; ++i) {
            const Param& param = def.params[i];
            auto& v = converted.values_[i];
            PyObject* obj = given[i];
            if (obj == Py_None && param.none_is_absent) obj = nullptr;
            if (obj != nullptr) {
                convert(param, obj, v);
                v.present = true;
            } else {
                v.f = param.float_value;
                v.n = param.count_value;
                v.b = param.flag_value;
                v.present = param.default_kind != Param::Default::Absent;
            }
        }
        // Ctrl-C during a long call: the parallel loops (and long searches) of the implementation run this check
        // on this thread, the one holding the interpreter lock, and stop with the exception it leaves set.
        // Signal handlers are Python code and run here while workers read the inputs; the argument tuple and
        // dictionary keep every input alive, so a handler can at worst change values mid-call.
        auto pending_signal = []() noexcept { return PyErr_CheckSignals() != 0; };
        const InterruptScope interrupt_scope(pending_signal);
        PyRef result = PyRef::steal(def.impl(converted));
        // A kernel on this thread that saw the interruption returned early with what it had: the result is
        // incomplete and the handler's exception is pending.
        if (result && interrupt_scope.fired()) throw LoopInterrupted{};
        return result.release();
    });
}

}  // namespace orbelin::py
