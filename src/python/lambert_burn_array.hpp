#pragma once
// LambertBurnArray: the transfers found by the optimisers, one row per transfer, with the elements of each
// transfer arc.

#include <array>
#include <vector>

#include "optimization/burn_elements.hpp"
#include "optimization/transfer.hpp"
#include "python/arrays.hpp"
#include "python/result_class.hpp"

namespace orbelin::py {

extern const ResultClassDef lambert_burn_array_def;
extern PyObject* lambert_burn_array_type;  // set at module initialisation

// The fifteen arrays of a LambertBurnArray of n rows, created unwritten.
class BurnColumns {
public:
    explicit BurnColumns(npy_intp n);
    // Writes row i; rows may be written concurrently from several threads.
    void write(std::size_t i, const BurnRecord& row) const noexcept;
    // Copies row `from` onto row `to`.
    void move_row(std::size_t from, std::size_t to) const noexcept;
    // Keeps the first `rows` rows.
    void shrink(npy_intp rows);
    // The new LambertBurnArray holding the arrays.
    PyObject* into_python();

private:
    std::array<ResultArray<double>, 15> columns_;
};

// A new LambertBurnArray of the records, in order. source_state and target_state are the optimiser's two states
// at time 0, `aim` the arrival point the transfers were aimed at, mu the call's gravitational parameter (which
// every propagation of the arc rebuild uses). The records are consumed: each block is released as soon as its rows
// are written, so the records and the result never both exist in full.
PyObject* burns_to_python(RecordBlocks records, const State& source_state, const State& target_state,
                          const ArrivalAim& aim, double mu);
PyObject* burns_to_python(std::vector<OptimizedLambertSolution> records, const State& source_state,
                          const State& target_state, const ArrivalAim& aim, double mu);

}  // namespace orbelin::py
