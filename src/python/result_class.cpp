#include "python/result_class.hpp"

#include <structmember.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace orbelin::py {

namespace {

struct ResultObject {
    PyObject_HEAD
    const ResultClassDef* def;
    PyObject* fields[1];  // def->fields.size() entries; the type's basic size says how many
};

constexpr Py_ssize_t field_offset(std::size_t i) {
    return static_cast<Py_ssize_t>(offsetof(ResultObject, fields) + i * sizeof(PyObject*));
}

// Every result class made by create_result_class, with its description.
std::vector<std::pair<PyObject*, const ResultClassDef*>>& result_classes() {
    static auto* classes = new std::vector<std::pair<PyObject*, const ResultClassDef*>>();
    return *classes;
}

PyObject* rebuilder = nullptr;  // orbelin._rebuild_result, set at initialisation

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void result_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<ResultObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (obj->def != nullptr) {
        for (std::size_t i = 0; i < obj->def->fields.size(); ++i) Py_XDECREF(obj->fields[i]);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// Fixed-point with six decimals; NaN and the infinities spelled "NaN", "inf", "-inf".
std::string fixed6(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", x);
    return buf;
}

// " (min=m, max=M, avg=A km/s)": min and max skip NaN elements (an all-NaN array gives inf and -inf), the average
// is the plain mean (NaN if any element is); all three are NaN for an empty array.
std::string summary(PyArrayObject* field) {
    // The field is the caller's to change in place (values, even shape or dtype): read it through a contiguous
    // float64 view or copy.
    PyRef converted = PyRef::steal(check(PyArray_FROM_OTF(reinterpret_cast<PyObject*>(field), NPY_FLOAT64,
                                                          NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST)));
    auto* arr = reinterpret_cast<PyArrayObject*>(converted.get());
    const auto n = static_cast<std::size_t>(PyArray_SIZE(arr));
    const auto* data = static_cast<const double*>(PyArray_DATA(arr));
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = data[i];
        if (!std::isnan(x)) {
            lo = std::fmin(lo, x);
            hi = std::fmax(hi, x);
        }
        sum += x;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (n == 0) lo = hi = nan;
    const double avg = n == 0 ? nan : sum / static_cast<double>(n);
    return concat({" (min=", fixed6(lo), ", max=", fixed6(hi), ", avg=", fixed6(avg), " km/s)"});
}

PyObject* result_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto* obj = reinterpret_cast<ResultObject*>(self);
        std::string text = std::string(obj->def->name) + " with Attributes:\n";
        for (std::size_t i = 0; i < obj->def->repr_fields; ++i) {
            std::string label = std::string(obj->def->fields[i].name) + ":";
            if (label.size() < 20) label.insert(0, 20 - label.size(), ' ');
            std::string shape = "[";
            auto* arr = reinterpret_cast<PyArrayObject*>(obj->fields[i]);
            for (int a = 0; a < PyArray_NDIM(arr); ++a) {
                if (a > 0) shape += ", ";
                shape += std::to_string(PyArray_DIM(arr, a));
            }
            shape += ']';
            if (i > 0) text += '\n';
            text += label;
            text += ' ';
            text += shape;
            if (static_cast<int>(i) == obj->def->summary_field) text += summary(arr);
        }
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// (rebuilder, (class, (field arrays...))): pickle stores the class and the
// rebuilder by their names in module orbelin and the arrays by value; copy
// calls the rebuilder with the same arrays, deepcopy with copies of them.
PyObject* result_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (rebuilder == nullptr) throw InternalFault("result classes reduced before module initialisation");
        auto* obj = reinterpret_cast<ResultObject*>(self);
        std::vector<PyRef> fields;
        fields.reserve(obj->def->fields.size());
        for (std::size_t i = 0; i < obj->def->fields.size(); ++i) fields.push_back(PyRef::borrow(obj->fields[i]));
        PyRef field_tuple = PyRef::steal(new_tuple(fields));
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        return check(Py_BuildValue("(O(OO))", rebuilder, type, field_tuple.get()));
    });
}

PyMethodDef result_methods[] = {
    {"__reduce__", result_reduce, METH_NOARGS, "Helper for pickle: the class and the tuple of field arrays."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* rebuild_result_impl(const Args& args) {
    PyObject* cls = args.object("cls");
    PyObject* fields = args.object("fields");
    const ResultClassDef* def = nullptr;
    for (const auto& [type, d] : result_classes()) {
        if (type == cls) def = d;
    }
    if (def == nullptr) raise_type_error(concat({"cls must be a result class of orbelin, got ", to_string(cls)}));
    if (!PyTuple_Check(fields)) {
        raise_type_error(concat({"fields must be a tuple, got '", type_name(fields), "'"}));
    }
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(fields));
    if (count != def->fields.size()) {
        raise_type_error(concat({def->name, " has ", std::to_string(def->fields.size()), " fields, got ",
                                 std::to_string(count)}));
    }
    std::vector<PyRef> arrays;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(fields, static_cast<Py_ssize_t>(i));
        if (!PyArray_Check(item)) {
            raise_type_error(concat({"field '", def->fields[i].name, "' of ", def->name,
                                     " must be a NumPy array, got '", type_name(item), "'"}));
        }
        arrays.push_back(PyRef::borrow(item));
    }
    return make_result(cls, *def, arrays);
}

constexpr Param kRebuildParams[] = {required("cls", Kind::Object), required("fields", Kind::Object)};

}  // namespace

const FunctionDef rebuild_result_def{
    "_rebuild_result", kRebuildParams,
    "Restores a result object from its class and the tuple of its field arrays; pickle and copy call it.",
    rebuild_result_impl};

void set_result_rebuilder(PyObject* function) { rebuilder = function; }

PyObject* create_result_class(const ResultClassDef& def) {
    // The member table and the PyType_Spec must outlive the type; one per class,
    // built once at initialisation.
    auto* members = new std::vector<PyMemberDef>();
    for (std::size_t i = 0; i < def.fields.size(); ++i) {
        members->push_back({def.fields[i].name, T_OBJECT_EX, field_offset(i), READONLY, def.fields[i].doc});
    }
    members->push_back({nullptr, 0, 0, 0, nullptr});

    auto* qualified = new std::string(std::string("orbelin.") + def.name);
    auto* slots = new std::vector<PyType_Slot>{
        {Py_tp_doc, const_cast<char*>(def.doc)},
        {Py_tp_new, reinterpret_cast<void*>(result_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
        {Py_tp_members, members->data()},
        {Py_tp_methods, result_methods},
        {0, nullptr},
    };
    auto* type_spec = new PyType_Spec{qualified->c_str(), static_cast<int>(field_offset(def.fields.size())), 0,
                                 Py_TPFLAGS_DEFAULT, slots->data()};
    PyObject* type = check(PyType_FromSpec(type_spec));
    result_classes().emplace_back(type, &def);
    return type;
}

PyObject* make_result(PyObject* type, const ResultClassDef& def, std::span<PyRef> arrays) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject* self = check(tp->tp_alloc(tp, 0));
    auto* obj = reinterpret_cast<ResultObject*>(self);
    obj->def = &def;
    for (std::size_t i = 0; i < def.fields.size(); ++i) obj->fields[i] = arrays[i].release();
    return self;
}

}  // namespace orbelin::py
