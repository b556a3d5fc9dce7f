#pragma once
// LambertBurnArray: the transfers found by the optimisers, one row per transfer, with the elements of each
// transfer arc.

#include <vector>

#include "optimization/burn_elements.hpp"
#include "python/result_class.hpp"

namespace orbelin::py {

extern const ResultClassDef lambert_burn_array_def;
extern PyObject* lambert_burn_array_type;  // set at module initialisation

// A new LambertBurnArray of the burns, in order. The burns are consumed: each block is released as soon as its rows
// are written, so the burns and the result never both exist in full.
PyObject* burns_to_python(BurnBlocks burns);
PyObject* burns_to_python(std::vector<Burn> burns);

}  // namespace orbelin::py
