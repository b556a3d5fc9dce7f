#pragma once
// Elementary functions over a lane type V (double, lanes::f64x4, lanes::f64x8), each lane giving bit for bit what
// the double instantiation gives, so that code written once over V agrees on every path. These are the library's
// own functions applied lane by lane.

#include <cmath>

#include "common/lanes.hpp"

namespace orbelin::vmath {

template <class V>
ORBELIN_LANE_INLINE V acos(V x) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        return std::acos(x);
    } else {
        V r{};
        for (int i = 0; i < lanes::width_v<V>; ++i) r[i] = std::acos(x[i]);
        return r;
    }
}

template <class V>
ORBELIN_LANE_INLINE V log(V x) noexcept {
    if constexpr (lanes::is_scalar_v<V>) {
        return std::log(x);
    } else {
        V r{};
        for (int i = 0; i < lanes::width_v<V>; ++i) r[i] = std::log(x[i]);
        return r;
    }
}

}  // namespace orbelin::vmath
