#pragma once
// LambertPorkchopArray: the cells of a porkchop scan, departure dates along the first axis and arrival dates along
// the second, with the index of the cheapest cell.

#include <array>
#include <cstddef>

#include "python/result_class.hpp"

namespace orbelin::py {

inline constexpr auto lambert_porkchop_columns = std::to_array<Column>({
    {"dv1", "Departure impulse of each cell [km/s]", Dtype::float64, 3, ReprLine::shape},
    {"dv2", "Arrival impulse of each cell [km/s]", Dtype::float64, 3, ReprLine::shape},
    {"dv1_mag", "Magnitude of the departure impulse [km/s]", Dtype::float64, 1, ReprLine::none},
    {"dv2_mag", "Magnitude of the arrival impulse [km/s]", Dtype::float64, 1, ReprLine::none},
    {"total", "Total delta-v dv1_mag + dv2_mag of each cell [km/s]", Dtype::float64, 1, ReprLine::shape_and_summary},
    {"c3", "Launch energy, dv1_mag squared, of each cell [km^2/s^2]", Dtype::float64, 1, ReprLine::shape},
    {"tof", "Time of flight of each cell [s]", Dtype::float64, 1, ReprLine::shape},
    {"num_revs", "Number of revolutions of each cell's arc", Dtype::uint64, 1, ReprLine::none},
    {"path_flag", "Path flag of each cell's arc", Dtype::uint64, 1, ReprLine::none},
    {"retrograde", "Whether each cell's arc is retrograde", Dtype::boolean, 1, ReprLine::none},
    {"best_index", "Index (i, j) of the cheapest cell, (-1, -1) when no cell has a transfer", Dtype::int64, 2,
     ReprLine::shape, /*per_result=*/true},
});
static_assert(!lambert_porkchop_columns[0].per_result, "the first column gives the cells' shape");

extern const ResultClassDef lambert_porkchop_array_def;
extern PyObject* lambert_porkchop_array_type;  // set at module initialisation

}  // namespace orbelin::py
