// householder_jobs with one solve per lane of eight doubles; compiled with AVX-512F enabled (CMakeLists.txt) and
// run only where the CPU has it.

#include "solver/householder_lanes.hpp"

namespace orbelin::detail {

void householder_jobs_avx512(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept {
    householder_jobs_lanes<lanes::f64x8>(jobs, n, tol, maxiter);
}

}  // namespace orbelin::detail
