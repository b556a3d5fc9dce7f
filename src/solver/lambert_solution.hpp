#pragma once
// One Lambert arc as returned by the Izzo solver.

#include <cstdint>

#include "common/vec3.hpp"

namespace orbelin {

struct LambertSolution {
    Vec3 v1;                      // velocity at r1, km/s (NaN when rejected or tof <= 0)
    Vec3 v2;                      // velocity at r2, km/s (NaN when rejected or tof <= 0)
    double tof = 0.0;             // requested time of flight, s (copied from the input)
    std::uint64_t num_revs = 0;   // complete revolutions M of the arc (0 for the direct arc)
    std::uint64_t path_flag = 0;  // 1: left branch of a multi-revolution pair; 0: right branch or direct arc
    bool retrograde = false;      // the `retrograde` input, copied
};

}  // namespace orbelin
