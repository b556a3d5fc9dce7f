// householder_jobs with one solve per lane of four doubles; compiled with AVX2 enabled (CMakeLists.txt) and run only
// where the CPU has it.

#include "solver/householder_lanes.hpp"

namespace orbelin::detail {

void householder_jobs_avx2(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept {
    householder_jobs_lanes<lanes::f64x4>(jobs, n, tol, maxiter);
}

}  // namespace orbelin::detail
