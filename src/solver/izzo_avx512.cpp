// The batch setup with one case per lane of eight doubles; compiled with AVX-512F enabled (CMakeLists.txt) and run only
// where the CPU has it.

#include "solver/izzo_lanes.hpp"

namespace orbelin::detail {

void izzo_prepare_cases_avx512(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                          IzzoItem* rev) noexcept {
    izzo_prepare_lanes<lanes::f64x8>(k, n, s, fwd, rev);
}

}  // namespace orbelin::detail
