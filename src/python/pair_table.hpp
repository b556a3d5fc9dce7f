#pragma once
// The table of optimize_lambert_nm_multi_array: one row per transfer found for a (source, target) pair of two
// batches of states.

#include <Python.h>

#include <cstddef>
#include <vector>

#include "optimization/transfer.hpp"

namespace orbelin::py {

// The rows of every pair p = 0 ... per_pair.size() - 1 in order (source index p / targets, target index
// p % targets), as a pandas DataFrame, or as the dict of column lists it is built from when pandas cannot be
// imported. A new reference, or throws PyErrSet.
PyObject* pair_table(const std::vector<std::vector<OptimizedLambertSolution>>& per_pair, std::size_t targets);

// Memory one row of the table takes: a list slot and the Python number it holds per column, and the DataFrame's
// own copy of the row. Checked before the table is built, and by a caller before a search that fills it.
std::size_t pair_table_row_bytes() noexcept;

}  // namespace orbelin::py
