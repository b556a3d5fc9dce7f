#pragma once
// 3-vectors of lanes (common/lanes.hpp) and their algebra, for the kernels written once over the lane type V: on
// V = double they are plain 3-vectors, so the scalar code that instantiates a kernel takes the same operations.

#include "common/lanes.hpp"

namespace orbelin::detail {

// A 3-vector of lanes.
template <class V>
struct V3 {
    V x, y, z;
};

template <class V>
ORBELIN_LANE_INLINE V3<V> operator+(const V3<V>& a, const V3<V>& b) noexcept {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
template <class V>
ORBELIN_LANE_INLINE V3<V> operator-(const V3<V>& a, const V3<V>& b) noexcept {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
template <class V>
ORBELIN_LANE_INLINE V3<V> scale(V s, const V3<V>& a) noexcept {
    return {s * a.x, s * a.y, s * a.z};
}
template <class V>
ORBELIN_LANE_INLINE V3<V> divide(const V3<V>& a, V s) noexcept {
    return {a.x / s, a.y / s, a.z / s};
}
template <class V>
ORBELIN_LANE_INLINE V dot(const V3<V>& a, const V3<V>& b) noexcept {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
template <class V>
ORBELIN_LANE_INLINE V3<V> cross(const V3<V>& a, const V3<V>& b) noexcept {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
template <class V>
ORBELIN_LANE_INLINE V norm(const V3<V>& a) noexcept {
    return lanes::sqrt<V>(dot(a, a));
}

}  // namespace orbelin::detail
