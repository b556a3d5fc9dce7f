// The batch setup with one case per lane of four doubles; compiled with AVX2 enabled (CMakeLists.txt) and run only
// where the CPU has it.

#include "solver/izzo_lanes.hpp"

namespace orbelin::detail {

void izzo_prepare_cases_avx2(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                          IzzoItem* rev) noexcept {
    izzo_prepare_lanes<lanes::f64x4>(k, n, s, fwd, rev);
}

}  // namespace orbelin::detail
