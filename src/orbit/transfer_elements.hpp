#pragma once
// Orbital elements that describe one transfer arc (a Lambert solution) between two ECI states.

#include <cstddef>
#include <cstdint>

#include "common/arc_ends.hpp"
#include "common/vec3.hpp"

namespace orbelin {

// sma (km), ecc, inc / raan / argp (deg), true anomaly at departure and at arrival (deg), periapsis and apoapsis
// radii (km). rp = ra = NaN for a parabolic or NaN arc; ra = +inf for a hyperbolic one.
struct TransferElements {
    double sma = 0.0;
    double ecc = 0.0;
    double inc = 0.0;
    double raan = 0.0;
    double argp = 0.0;
    double ta_depart = 0.0;
    double ta_arrive = 0.0;
    double rp = 0.0;
    double ra = 0.0;
};

// Elements of the conic through (r1, v1) at departure and (r2, v2) at arrival (km, km/s), about mu (km^3/s^2),
// with the degenerate-orbit tolerance 1e-8. The shape of the orbit comes from the departure state alone; the
// arrival state contributes only its true anomaly.
TransferElements compute_transfer_orbit_elements(const Vec3& r1, const Vec3& v1, const Vec3& r2, const Vec3& v2,
                                                 double mu) noexcept;

// The same from ends whose lengths and directions are already known (common/arc_ends.hpp): bit for bit the
// elements of the call above.
TransferElements compute_transfer_orbit_elements(const ArcEnds& ends, const Vec3& v1, const Vec3& v2,
                                                 double mu) noexcept;

// One arc for compute_transfer_orbit_elements_pair.
struct ArcStates {
    ArcEnds ends;
    Vec3 v1;
    Vec3 v2;
};

// The elements of two arcs at once, bit for bit those of compute_transfer_orbit_elements for each: the two
// conversions are chains of dependent divisions and square roots, which overlap when written side by side.
void compute_transfer_orbit_elements_pair(const ArcStates& a, const ArcStates& b, double mu, TransferElements& out_a,
                                          TransferElements& out_b) noexcept;

// compute_transfer_orbit_elements(arcs[k].ends, arcs[k].v1, arcs[k].v2, mu) into out[k] for k = 0 .. n-1, bit for
// bit, several arcs at a time: with the kernel chosen by use_transfer_elements_kernels, one arc per lane of 4
// (AVX2) or 8 (AVX-512F) doubles; the portable kernel converts two arcs side by side.
void compute_transfer_orbit_elements_batch(const ArcStates* arcs, std::size_t n, double mu,
                                           TransferElements* out) noexcept;

enum class InstructionSet : std::uint8_t;

// Makes compute_transfer_orbit_elements_batch use the kernel of `isa` from now on; the caller has checked that the
// machine runs it (instruction_set_supported). Called once, when the module is loaded.
void use_transfer_elements_kernels(InstructionSet isa) noexcept;

namespace detail {

// The kernels behind compute_transfer_orbit_elements_batch. The lane kernels exist only in builds with
// ORBELIN_LANE_KERNELS and may run only where the CPU has their instructions.
void transfer_elements_portable(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept;
void transfer_elements_avx2(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept;
void transfer_elements_avx512(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept;

}  // namespace detail

}  // namespace orbelin
