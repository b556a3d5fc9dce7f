#pragma once
// The two ends of a family of arcs (km): each position with its length and direction, computed once and shared by
// everything that needs them (the Lambert solver's geometry, the transfer elements, the grid scans, where one
// position serves a whole row or column of cells).

#include "common/vec3.hpp"

namespace orbelin {

// One position with its length norm(r) and its direction r / norm(r).
struct ArcEnd {
    Vec3 r;
    double norm = 0.0;
    Vec3 unit;
};

inline ArcEnd arc_end(const Vec3& r) noexcept {
    const double n = orbelin::norm(r);
    return {r, n, r / n};
}

// Both ends: whatever takes these computes bit for bit what it would compute from the positions alone.
struct ArcEnds {
    Vec3 r1, r2;
    double r1_norm = 0.0;
    double r2_norm = 0.0;
    Vec3 r1_unit, r2_unit;
};

inline ArcEnds arc_ends(const ArcEnd& a, const ArcEnd& b) noexcept {
    return {a.r, b.r, a.norm, b.norm, a.unit, b.unit};
}

inline ArcEnds arc_ends(const Vec3& r1, const Vec3& r2) noexcept { return arc_ends(arc_end(r1), arc_end(r2)); }

}  // namespace orbelin
