#pragma once
// LambertSolutionArray: fifteen arrays over one grid of (batch axes, time
// axis, solution slot), and the column writer that fills them.

#include <cstddef>
#include <cstdint>

#include "orbit/transfer_elements.hpp"
#include "python/arrays.hpp"
#include "python/result_class.hpp"
#include "solver/lambert_solution.hpp"

namespace orbelin::py {

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
    static constexpr std::size_t bytes_per_slot = 14 * sizeof(double) + 2 * sizeof(std::uint64_t) + 1;

    explicit SolutionColumns(const Shape& scalar_shape);

    void write(std::size_t slot, const LambertSolution& solution, const TransferElements& elements) const noexcept;
    void pad(std::size_t slot) const noexcept;

    // The LambertSolutionArray holding the arrays (which move into it).
    PyObject* into_result();

private:
    ResultArray<double> v1_, v2_, tof_;
    ResultArray<std::uint64_t> num_revs_, path_flag_;
    ResultArray<bool> retrograde_;
    ResultArray<double> sma_, ecc_, inc_, raan_, argp_, ta_depart_, ta_arrive_, rp_, ra_;
};

}  // namespace orbelin::py
