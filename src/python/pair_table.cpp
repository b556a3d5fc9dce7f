#include "python/pair_table.hpp"

#include <array>
#include <string>

#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace orbelin::py {

namespace {

struct PairRow {
    std::size_t source;
    std::size_t target;
    const OptimizedLambertSolution& record;
};

// A column of the table: its name and the Python value of one row (a new reference, null on failure).
struct PairColumn {
    const char* name;
    PyObject* (*value)(const PairRow&) noexcept;
};

constexpr auto kColumns = std::to_array<PairColumn>({
    {"source_idx", [](const PairRow& r) noexcept { return PyLong_FromSize_t(r.source); }},
    {"target_idx", [](const PairRow& r) noexcept { return PyLong_FromSize_t(r.target); }},
    {"t0", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.t0); }},
    {"tf", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.tf); }},
    {"cost", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.cost); }},
    {"dv1_x", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.dv1.x); }},
    {"dv1_y", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.dv1.y); }},
    {"dv1_z", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.dv1.z); }},
    {"dv2_x", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.dv2.x); }},
    {"dv2_y", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.dv2.y); }},
    {"dv2_z", [](const PairRow& r) noexcept { return PyFloat_FromDouble(r.record.dv2.z); }},
});

// The columns as a dict of lists, in column order.
PyRef column_lists(const std::vector<std::vector<OptimizedLambertSolution>>& per_pair, std::size_t targets) {
    std::size_t rows = 0;
    for (const auto& records : per_pair) rows += records.size();
    require_memory(concat({"optimize_lambert_nm_multi_array: the table of ", std::to_string(rows), " rows"}),
                   static_cast<double>(rows) * static_cast<double>(pair_table_row_bytes()));
    PyRef table = PyRef::steal(check(PyDict_New()));
    std::array<PyRef, kColumns.size()> lists;
    for (std::size_t c = 0; c < kColumns.size(); ++c) {
        lists[c] = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(rows))));
        if (PyDict_SetItemString(table.get(), kColumns[c].name, lists[c].get()) < 0) throw PyErrSet{};
    }
    Py_ssize_t row = 0;
    for (std::size_t p = 0; p < per_pair.size(); ++p) {
        for (const OptimizedLambertSolution& r : per_pair[p]) {
            const PairRow values{p / targets, p % targets, r};
            for (std::size_t c = 0; c < kColumns.size(); ++c) {
                // The lists own their items from here on, so a failure leaves no reference behind; the empty slots
                // of lists that are then dropped are allowed.
                PyList_SET_ITEM(lists[c].get(), row, check(kColumns[c].value(values)));
            }
            ++row;
        }
    }
    return table;
}

}  // namespace

std::size_t pair_table_row_bytes() noexcept {
    // CPython allocates a float, or an int beyond the small cached ones, in 32 bytes.
    constexpr std::size_t python_number_bytes = 32;
    return kColumns.size() * (sizeof(PyObject*) + python_number_bytes + sizeof(double));
}

PyObject* pair_table(const std::vector<std::vector<OptimizedLambertSolution>>& per_pair, std::size_t targets) {
    PyRef table = column_lists(per_pair, targets);
    PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
    if (!pandas) {
        // An interrupt or exit request during the import is not a missing pandas.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
        PyErr_Clear();
        return table.release();
    }
    PyRef frame_type = PyRef::steal(check(PyObject_GetAttrString(pandas.get(), "DataFrame")));
    return check(PyObject_CallOneArg(frame_type.get(), table.get()));
}

}  // namespace orbelin::py
