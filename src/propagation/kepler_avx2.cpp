// kepler_universal_2body_many with four propagations per vector, sixteen in flight; compiled with AVX2 enabled
// (CMakeLists.txt) and run only where the CPU has it.

#include <cstdint>

#include "propagation/kepler_lanes.hpp"

namespace orbelin::detail {

namespace {

using u64_lanes = std::uint64_t __attribute__((vector_size(sizeof(lanes::f64x4))));

}  // namespace

void kepler_many_avx2(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept {
    kepler_many_lanes<lanes::f64x4, u64_lanes, 16>(states, dt, out, n, mu);
}

}  // namespace orbelin::detail
