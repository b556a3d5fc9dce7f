// compute_transfer_orbit_elements_batch with one arc per lane of four doubles; compiled with AVX2 enabled
// (CMakeLists.txt) and run only where the CPU has it.

#include "orbit/transfer_elements_lanes.hpp"

namespace orbelin::detail {

void transfer_elements_avx2(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept {
    transfer_elements_lanes<lanes::f64x4>(arcs, n, mu, out);
}

}  // namespace orbelin::detail
