// compute_transfer_orbit_elements_batch with one arc per lane of eight doubles; compiled with AVX-512F enabled
// (CMakeLists.txt) and run only where the CPU has it.

#include "orbit/transfer_elements_lanes.hpp"

namespace orbelin::detail {

void transfer_elements_avx512(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept {
    transfer_elements_lanes<lanes::f64x8>(arcs, n, mu, out);
}

}  // namespace orbelin::detail
