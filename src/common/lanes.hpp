#pragma once
// Lanes: several independent doubles processed by one instruction. Code written once as a template over the lane
// type V runs on a plain double (the portable path, one lane) and on the vector types below (4 lanes with AVX2,
// 8 with AVX-512F), with the same IEEE operations in the same order in every lane, so that a lane's result is bit
// for bit what the scalar instantiation gives for the same input.
//
// The vector types are GCC/Clang vector extensions: arithmetic and comparisons work lane by lane, a comparison
// gives a mask (all bits set in a lane where it holds), and `mask ? a : b` selects lane by lane. Only the
// translation units compiled for an instruction set instantiate code on its vector type (see CMakeLists.txt), and
// their functions are always inlined, so no vector code can reach a machine without that instruction set through a
// shared inline definition.

#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__AVX__) || defined(__AVX512F__)
#include <immintrin.h>
#endif

namespace orbelin::lanes {

using f64x4 = double __attribute__((vector_size(32)));
using i64x4 = std::int64_t __attribute__((vector_size(32)));
using f64x8 = double __attribute__((vector_size(64)));
using i64x8 = std::int64_t __attribute__((vector_size(64)));

// What a lane type comes with: its mask, the integers of the same width (for bit manipulation) and its width.
template <class V>
struct Traits;

template <>
struct Traits<double> {
    using mask = bool;
    using bits = std::int64_t;
    static constexpr int width = 1;
};

template <>
struct Traits<f64x4> {
    using mask = i64x4;
    using bits = i64x4;
    static constexpr int width = 4;
};

template <>
struct Traits<f64x8> {
    using mask = i64x8;
    using bits = i64x8;
    static constexpr int width = 8;
};

template <class V>
using mask_t = typename Traits<V>::mask;
template <class V>
using bits_t = typename Traits<V>::bits;
template <class V>
inline constexpr int width_v = Traits<V>::width;
template <class V>
inline constexpr bool is_scalar_v = width_v<V> == 1;

#define ORBELIN_LANE_INLINE [[gnu::always_inline]] inline

// Every lane equal to d.
template <class V>
ORBELIN_LANE_INLINE V splat(double d) noexcept {
    if constexpr (is_scalar_v<V>) {
        return d;
    } else {
        return V{} + d;
    }
}

template <class V>
ORBELIN_LANE_INLINE bits_t<V> splat_bits(std::int64_t b) noexcept {
    if constexpr (is_scalar_v<V>) {
        return b;
    } else {
        return bits_t<V>{} + b;
    }
}

// a where m holds, b elsewhere.
template <class V>
ORBELIN_LANE_INLINE V select(mask_t<V> m, V a, V b) noexcept {
    return m ? a : b;
}

template <class V>
ORBELIN_LANE_INLINE bits_t<V> to_bits(V v) noexcept {
    return std::bit_cast<bits_t<V>>(v);
}

template <class V>
ORBELIN_LANE_INLINE V from_bits(bits_t<V> b) noexcept {
    return std::bit_cast<V>(b);
}

// Whether m holds in any lane / in every lane.
template <class V>
ORBELIN_LANE_INLINE bool any(mask_t<V> m) noexcept {
    if constexpr (is_scalar_v<V>) {
        return m;
    } else {
        bool r = false;
        for (int i = 0; i < width_v<V>; ++i) r |= m[i] != 0;
        return r;
    }
}

template <class V>
ORBELIN_LANE_INLINE bool all(mask_t<V> m) noexcept {
    if constexpr (is_scalar_v<V>) {
        return m;
    } else {
        bool r = true;
        for (int i = 0; i < width_v<V>; ++i) r &= m[i] != 0;
        return r;
    }
}

// |v|, by clearing the sign bit (exact, NaN stays NaN).
template <class V>
ORBELIN_LANE_INLINE V abs(V v) noexcept {
    if constexpr (is_scalar_v<V>) {
        return std::fabs(v);
    } else {
        return from_bits<V>(to_bits(v) & splat_bits<V>(0x7fff'ffff'ffff'ffffLL));
    }
}

// Correctly rounded square root in every lane (IEEE: the same bits as std::sqrt).
template <class V>
ORBELIN_LANE_INLINE V sqrt(V v) noexcept {
    if constexpr (is_scalar_v<V>) {
        return std::sqrt(v);
    } else if constexpr (width_v<V> == 4) {
#if defined(__AVX__)
        return _mm256_sqrt_pd(v);
#else
        static_assert(width_v<V> != 4, "4-lane code is compiled only with AVX enabled");
#endif
    } else {
#if defined(__AVX512F__)
        // The zero-masking form with every lane selected: the plain one trips GCC 12's -Wuninitialized on its
        // undefined pass-through operand.
        return _mm512_maskz_sqrt_pd(static_cast<__mmask8>(0xFF), v);
#else
        static_assert(width_v<V> != 8, "8-lane code is compiled only with AVX-512F enabled");
#endif
    }
}

}  // namespace orbelin::lanes
