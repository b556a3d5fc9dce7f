#pragma once
// LambertBurnArray: the transfers found by the optimisers, one row per transfer, with the elements of each
// transfer arc.

#include <array>
#include <cstddef>
#include <vector>

#include "optimization/burn_elements.hpp"
#include "python/result_class.hpp"

namespace orbelin::py {

inline constexpr auto lambert_burn_columns = with_transfer_elements(std::to_array<Column>({
    {"t0", "Departure time for each solution [s]", Dtype::float64, 1, ReprLine::shape},
    {"tf", "Arrival time for each solution [s]", Dtype::float64, 1, ReprLine::shape},
    {"tof", "Time of flight for each solution [s]", Dtype::float64, 1, ReprLine::shape},
    {"cost", "Total cost (delta-v) for each solution [km/s]", Dtype::float64, 1, ReprLine::shape_and_summary},
    {"dv1", "First burn impulse vector at t0 for each solution [km/s]", Dtype::float64, 3, ReprLine::shape},
    {"dv2", "Second burn impulse vector at tf for each solution [km/s]", Dtype::float64, 3, ReprLine::shape},
}));

// Bytes of one row (one transfer) over the fifteen arrays.
inline constexpr std::size_t burn_row_bytes = slot_bytes(lambert_burn_columns);

// The arrays of a LambertBurnArray, one slot per row.
using BurnColumns = ColumnArrays<lambert_burn_columns>;

// Writes row i: the record's fields and the elements of its arc. Rows may be written concurrently.
void put_burn(const BurnColumns& columns, std::size_t i, const Burn& row) noexcept;

// Writes row rows[r] for r < n: the record transfers[r] and the elements of its arc, elements[r].
void put_burns(const BurnColumns& columns, const std::size_t* rows, const OptimizedLambertSolution* transfers,
               const TransferElements* elements, std::size_t n) noexcept;

// A new LambertBurnArray holding the arrays, whose references move into it.
PyObject* burn_array(BurnColumns& columns);

extern const ResultClassDef lambert_burn_array_def;
extern PyObject* lambert_burn_array_type;  // set at module initialisation

// A new LambertBurnArray of the burns, in order. The burns are consumed: each block is released as soon as its rows
// are written, so the burns and the result never both exist in full.
PyObject* burns_to_python(BurnBlocks burns);
PyObject* burns_to_python(std::vector<Burn> burns);

}  // namespace orbelin::py
