#pragma once
// Branch-free choice between two doubles, for conditions that are as good as random from one case to the next (a
// sign, a quadrant): a mispredicted jump costs more than computing both sides.

#include "common/simd.hpp"

namespace orbelin {

// x < y ? a : b. The compiler turns a conditional between doubles into a jump; with SSE2 the comparison mask picks
// the value inside the vector registers. NaN compares false either way.
inline double select_less(double x, double y, double a, double b) noexcept {
#if ORBELIN_SSE2
    const __m128d mask = _mm_cmplt_sd(_mm_set_sd(x), _mm_set_sd(y));
    return _mm_cvtsd_f64(_mm_or_pd(_mm_and_pd(mask, _mm_set_sd(a)), _mm_andnot_pd(mask, _mm_set_sd(b))));
#else
    return x < y ? a : b;
#endif
}

}  // namespace orbelin
