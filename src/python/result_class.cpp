#include "python/result_class.hpp"

#include <structmember.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

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
            shape += "]";
            if (i > 0) text += "\n";
            text += label + " " + shape;
            if (static_cast<int>(i) == obj->def->summary_field) text += summary(arr);
        }
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

}  // namespace

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
        {0, nullptr},
    };
    auto* type_spec = new PyType_Spec{qualified->c_str(), static_cast<int>(field_offset(def.fields.size())), 0,
                                 Py_TPFLAGS_DEFAULT, slots->data()};
    return check(PyType_FromSpec(type_spec));
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
