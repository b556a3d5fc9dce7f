#pragma once
// Aim points given in the RIC frame of a target spacecraft.

#include <span>

#include "common/vec3.hpp"

namespace orbelin {

// ECI state of the point whose RIC relative state with respect to target (km, km/s) is the waypoint:
// [dr_R, dr_I, dr_C] (km, zero rate in the rotating frame) or [dr_R, dr_I, dr_C, dv_R, dv_I, dv_C] (km, km/s).
// Only the first 6 entries of a longer waypoint are read; missing entries of a shorter one count as zero.
State apply_ric_waypoint_offset_single(const State& target, std::span<const double> waypoint) noexcept;

}  // namespace orbelin
