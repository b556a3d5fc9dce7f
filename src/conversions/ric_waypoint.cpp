#include "conversions/ric_waypoint.hpp"

#include <cstddef>

#include "conversions/ric_frame.hpp"

namespace orbelin {

State apply_ric_waypoint_offset_single(const State& target, std::span<const double> waypoint) noexcept {
    // A position-only waypoint is at rest in the rotating frame, so its ECI velocity still differs from the
    // target's by omega x dr and the offset holds to first order.
    State rel{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const std::size_t count = waypoint.size() < rel.size() ? waypoint.size() : rel.size();
    for (std::size_t k = 0; k < count; ++k) rel[k] = waypoint[k];
    return ric2eci_state_single(rel, target);
}

}  // namespace orbelin
