// The lane math loops on 8 doubles (compiled with -mavx512f).
#include "vmath_check.hpp"

void vmath_check::eval_avx512(Fn fn, const double* a, const double* b, double* out, std::size_t n) {
    eval<orbelin::lanes::f64x8>(fn, a, b, out, n);
}

void vmath_check::eval_chained_avx512(Fn fn, const double* a, const double* b, double* out, std::size_t n) {
    eval<orbelin::lanes::f64x8, true>(fn, a, b, out, n);
}
