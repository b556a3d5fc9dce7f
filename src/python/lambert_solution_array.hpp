#pragma once
// LambertSolutionArray: fifteen arrays over one grid of (batch axes, time
// axis, solution slot), and the column writer that fills them.

#include <array>
#include <cstddef>

#include "orbit/transfer_elements.hpp"
#include "python/arrays.hpp"
#include "python/result_class.hpp"
#include "solver/lambert_solution.hpp"

namespace orbelin::py {

inline constexpr auto lambert_solution_columns = with_transfer_elements(
    std::to_array<Column>({
        {"v1", "Velocity at the first position (r1) [km/s]", Dtype::float64, 3, ReprLine::shape},
        {"v2", "Velocity at the second position (r2) [km/s]", Dtype::float64, 3, ReprLine::shape},
        {"tof", "Time of flight used for each solution [s]", Dtype::float64, 1, ReprLine::shape},
        {"num_revs", "Number of revolutions for each solution", Dtype::uint64, 1, ReprLine::shape},
        {"path_flag", "Path flag for each solution", Dtype::uint64, 1, ReprLine::shape},
        {"retrograde", "Whether each solution uses retrograde motion", Dtype::boolean, 1, ReprLine::shape},
    }),
    2);

extern const ResultClassDef lambert_solution_array_def;
extern PyObject* lambert_solution_array_type;  // set at module initialisation

// The fifteen result arrays of shape S (S + (3,) for the velocities), created
// unwritten: every slot must be written once, by write() or by pad() (the fill
// values NaN, 0, False). Slots are numbered in row-major order of S. Both touch
// only their own slot, so disjoint slots may be written from several threads
// at once.
class SolutionColumns {
public:
    // Bytes of one slot over the fifteen arrays.
    static constexpr std::size_t bytes_per_slot = ColumnArrays<lambert_solution_columns>::bytes_per_slot;

    explicit SolutionColumns(const Shape& scalar_shape) : arrays_(scalar_shape) {}

    void write(std::size_t slot, const LambertSolution& solution, const TransferElements& elements) const noexcept;
    void pad(std::size_t slot) const noexcept { arrays_.pad(slot); }
    void pad(std::size_t first, std::size_t count) const noexcept { arrays_.pad(first, count); }

    // The LambertSolutionArray holding the arrays (which move into it).
    PyObject* into_result();

private:
    ColumnArrays<lambert_solution_columns> arrays_;
};

}  // namespace orbelin::py
