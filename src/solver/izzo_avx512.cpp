// The batch setup and velocities with one case or arc per lane of eight doubles; compiled with AVX-512F enabled
// (CMakeLists.txt) and run only where the CPU has it.

#include "solver/izzo_lanes.hpp"

namespace orbelin::detail {

void izzo_prepare_cases_avx512(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                               IzzoItem* rev) noexcept {
    izzo_prepare_lanes<lanes::f64x8>(k, n, s, fwd, rev);
}

void izzo_velocities_avx512(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept {
    izzo_velocities_lanes<lanes::f64x8>(p, x, n, v1, v2);
}

}  // namespace orbelin::detail
