#include "python/result_class.hpp"

#include <structmember.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
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
    PyObject_HEAD const ResultClassDef* def;
    PyObject* fields[1];  // def->columns.size() entries; the type's basic size says how many
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
        for (std::size_t i = 0; i < obj->def->columns.size(); ++i) Py_XDECREF(obj->fields[i]);
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
    // The field is the caller's to change in place (values, even shape or dtype) and may be a view of any strides,
    // a stride-0 broadcast of one value included: it is read where it lies, in C order, and only a field of
    // another dtype or byte order passes through the iterator's small cast buffers, never copied as a whole.
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_FLOAT64);
    NpyIter* iter = NpyIter_New(field,
                                NPY_ITER_READONLY | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_GROWINNER |
                                    NPY_ITER_ZEROSIZE_OK | NPY_ITER_NBO | NPY_ITER_ALIGNED,
                                NPY_CORDER, NPY_UNSAFE_CASTING, float64);
    Py_DECREF(float64);
    if (iter == nullptr) throw PyErrSet{};
    struct Release {
        NpyIter* iter;
        ~Release() { NpyIter_Deallocate(iter); }
    } release{iter};

    const auto n = static_cast<std::size_t>(NpyIter_GetIterSize(iter));
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    double sum = 0.0;
    if (n > 0) {
        NpyIter_IterNextFunc* next = NpyIter_GetIterNext(iter, nullptr);
        if (next == nullptr) throw PyErrSet{};
        char** data = NpyIter_GetDataPtrArray(iter);
        const npy_intp* stride = NpyIter_GetInnerStrideArray(iter);
        const npy_intp* count = NpyIter_GetInnerLoopSizePtr(iter);
        do {
            const char* p = data[0];
            for (npy_intp k = 0; k < *count; ++k, p += stride[0]) {
                double x;
                std::memcpy(&x, p, sizeof x);
                if (!std::isnan(x)) {
                    lo = std::fmin(lo, x);
                    hi = std::fmax(hi, x);
                }
                sum += x;
            }
        } while (next(iter) != 0);
        if (PyErr_Occurred() != nullptr) throw PyErrSet{};  // a cast that failed part way
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (n == 0) lo = hi = nan;
    const double avg = n == 0 ? nan : sum / static_cast<double>(n);
    return concat({" (min=", fixed6(lo), ", max=", fixed6(hi), ", avg=", fixed6(avg), " km/s)"});
}

PyObject* result_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto* obj = reinterpret_cast<ResultObject*>(self);
        std::string text = std::string(obj->def->name) + " with Attributes:";
        for (std::size_t i = 0; i < obj->def->columns.size(); ++i) {
            const Column& column = obj->def->columns[i];
            if (column.repr == ReprLine::none) continue;
            std::string label = std::string(column.name) + ":";
            if (label.size() < 20) label.insert(0, 20 - label.size(), ' ');
            std::string shape = "[";
            auto* arr = reinterpret_cast<PyArrayObject*>(obj->fields[i]);
            for (int a = 0; a < PyArray_NDIM(arr); ++a) {
                if (a > 0) shape += ", ";
                shape += std::to_string(PyArray_DIM(arr, a));
            }
            shape += ']';
            text += '\n';
            text += label;
            text += ' ';
            text += shape;
            if (column.repr == ReprLine::shape_and_summary) text += summary(arr);
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
        fields.reserve(obj->def->columns.size());
        for (std::size_t i = 0; i < obj->def->columns.size(); ++i) fields.push_back(PyRef::borrow(obj->fields[i]));
        PyRef field_tuple = PyRef::steal(new_tuple(fields));
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        return check(Py_BuildValue("(O(OO))", rebuilder, type, field_tuple.get()));
    });
}

PyMethodDef result_methods[] = {
    {"__reduce__", result_reduce, METH_NOARGS, "Helper for pickle: the class and the tuple of field arrays."},
    {nullptr, nullptr, 0, nullptr},
};

int numpy_type(Dtype d) noexcept {
    switch (d) {
        case Dtype::float64:
            return NPY_FLOAT64;
        case Dtype::uint64:
            return NPY_UINT64;
        case Dtype::int64:
            return NPY_INT64;
        case Dtype::boolean:
            return NPY_BOOL;
    }
    return NPY_NOTYPE;
}

// The shape the docstrings give a field of this column: (n,), (n, 3), (..., K), (..., K, 3).
std::string field_shape_pattern(const ResultClassDef& def, const Column& column) {
    if (column.per_result) return concat({"(", std::to_string(column.width), ",)"});
    if (column.width != 1) return concat({"(", def.axes, ", ", std::to_string(column.width), ")"});
    if (std::string_view(def.axes).find(',') == std::string_view::npos) return concat({"(", def.axes, ",)"});
    return concat({"(", def.axes, ")"});
}

// The arrays of a restored result must be those a result of the class holds: each of its column's dtype (in native
// byte order), the first one of a shape the class can have, and every other one over the same slots.
void check_fields(const ResultClassDef& def, std::span<const PyRef> arrays) {
    const auto field = [&](std::size_t i) { return concat({"field '", def.columns[i].name, "' of ", def.name}); };
    Shape slots;
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        const Column& column = def.columns[i];
        auto* arr = reinterpret_cast<PyArrayObject*>(arrays[i].get());
        PyArray_Descr* want = PyArray_DescrFromType(numpy_type(column.dtype));
        const bool same_dtype = PyArray_EquivTypes(PyArray_DESCR(arr), want) != 0;
        Py_DECREF(want);
        if (!same_dtype) {
            raise_type_error(concat({field(i), " must be an array of ", dtype_name(column.dtype), ", got ",
                                     to_string(reinterpret_cast<PyObject*>(PyArray_DESCR(arr)))}));
        }
        const Shape shape(PyArray_DIMS(arr), PyArray_DIMS(arr) + PyArray_NDIM(arr));
        if (i == 0) {
            const std::size_t vector_axes = column.width == 1 ? 0 : 1;
            const std::size_t slot_axes = shape.size() - std::min(shape.size(), vector_axes);
            const bool fits = shape.size() >= vector_axes && slot_axes >= def.min_axes && slot_axes <= def.max_axes &&
                              (vector_axes == 0 || shape.back() == static_cast<npy_intp>(column.width));
            if (!fits) {
                raise_value_error(concat(
                    {field(i), " must have shape ", field_shape_pattern(def, column), ", got ", shape_text(shape)}));
            }
            slots.assign(shape.begin(), shape.begin() + static_cast<std::ptrdiff_t>(slot_axes));
        } else if (const Shape want_shape = column_shape(slots, column); shape != want_shape) {
            raise_value_error(concat({field(i), " must have shape ", shape_text(want_shape), " like field '",
                                      def.columns[0].name, "', got ", shape_text(shape)}));
        }
    }
}

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
    if (count != def->columns.size()) {
        raise_type_error(
            concat({def->name, " has ", std::to_string(def->columns.size()), " fields, got ", std::to_string(count)}));
    }
    std::vector<PyRef> arrays;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(fields, static_cast<Py_ssize_t>(i));
        if (!PyArray_Check(item)) {
            raise_type_error(concat({"field '", def->columns[i].name, "' of ", def->name,
                                     " must be a NumPy array, got '", type_name(item), "'"}));
        }
        arrays.push_back(PyRef::borrow(item));
    }
    check_fields(*def, arrays);
    return make_result(cls, *def, arrays);
}

constexpr Param kRebuildParams[] = {required("cls", Kind::Object), required("fields", Kind::Object)};

}  // namespace

const FunctionDef rebuild_result_def{
    "_rebuild_result", kRebuildParams,
    "Restores a result object from its class and the tuple of its field arrays; pickle and copy call it.\n\n"
    "The arrays are not copied. Each must have its field's dtype, and all must have the shapes of one result of the\n"
    "class (TypeError for a dtype, ValueError for a shape otherwise).",
    rebuild_result_impl};

void set_result_rebuilder(PyObject* function) { rebuilder = function; }

PyObject* create_result_class(const ResultClassDef& def) {
    // The member table and the PyType_Spec must outlive the type; one per class,
    // built once at initialisation.
    auto* members = new std::vector<PyMemberDef>();
    for (std::size_t i = 0; i < def.columns.size(); ++i) {
        const Column& column = def.columns[i];
        const auto* doc = new std::string(concat({column.description, " - shape ", field_shape_pattern(def, column)}));
        members->push_back({column.name, T_OBJECT_EX, field_offset(i), READONLY, doc->c_str()});
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
    auto* type_spec = new PyType_Spec{qualified->c_str(), static_cast<int>(field_offset(def.columns.size())), 0,
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
    for (std::size_t i = 0; i < def.columns.size(); ++i) obj->fields[i] = arrays[i].release();
    return self;
}

}  // namespace orbelin::py
