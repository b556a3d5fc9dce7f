// The lane math loops on 4 doubles (compiled with -mavx2).
#include "vmath_check.hpp"

void vmath_check::eval_avx2(Fn fn, const double* a, const double* b, double* out, std::size_t n) {
    eval<orbelin::lanes::f64x4>(fn, a, b, out, n);
}

void vmath_check::eval_chained_avx2(Fn fn, const double* a, const double* b, double* out, std::size_t n) {
    eval<orbelin::lanes::f64x4, true>(fn, a, b, out, n);
}
