#include "orbit/transfer_elements.hpp"

#include <atomic>
#include <cmath>

#include "common/constants.hpp"
#include "common/select.hpp"
#include "common/system_resources.hpp"
#include "orbit/classical_elements.hpp"

namespace orbelin {

namespace {

// Degenerate-orbit tolerance of the arc description (energy, e and sin i).
constexpr double transfer_tol = 1e-8;

}  // namespace

TransferElements compute_transfer_orbit_elements(const Vec3& r1, const Vec3& v1, const Vec3& r2, const Vec3& v2,
                                                 double mu) noexcept {
    return compute_transfer_orbit_elements(arc_ends(r1, r2), v1, v2, mu);
}

namespace {

detail::GeometryPair arc_geometry(const ArcEnds& ends, const Vec3& v1, const Vec3& v2, double mu) noexcept {
    return detail::orbit_geometry_pair(ends.r1, v1, ends.r1_norm, ends.r1_unit, ends.r2, v2, ends.r2_norm, ends.r2_unit,
                                       mu);
}

TransferElements arc_elements(const detail::ArcAngles& angles) noexcept {
    const detail::ClassicalElements& dep = angles.departure;
    TransferElements out{};
    out.sma = dep.sma;
    out.ecc = dep.ecc;
    out.inc = dep.inc * rad2deg;
    out.raan = dep.raan * rad2deg;
    out.argp = dep.argp * rad2deg;
    out.ta_depart = dep.nu * rad2deg;
    out.ta_arrive = angles.arrival_nu * rad2deg;

    const detail::Apsides<double> ap = detail::apsides<double>(out.sma, out.ecc);
    out.rp = ap.rp;
    out.ra = ap.ra;
    return out;
}

}  // namespace

TransferElements compute_transfer_orbit_elements(const ArcEnds& ends, const Vec3& v1, const Vec3& v2,
                                                 double mu) noexcept {
    // Called once per Lambert arc on large batches: the departure needs the classical set, the arrival only its
    // anomaly (no |v|, and |n| only for a circular arc), and neither computes the optional angles of rv2coe_single.
    return arc_elements(detail::arc_angles(arc_geometry(ends, v1, v2, mu), mu, transfer_tol));
}

void compute_transfer_orbit_elements_pair(const ArcStates& a, const ArcStates& b, double mu, TransferElements& out_a,
                                          TransferElements& out_b) noexcept {
    const detail::GeometryPair ga = arc_geometry(a.ends, a.v1, a.v2, mu);
    const detail::GeometryPair gb = arc_geometry(b.ends, b.v1, b.v2, mu);
    const detail::ArcAngles angles_a = detail::arc_angles(ga, mu, transfer_tol);
    const detail::ArcAngles angles_b = detail::arc_angles(gb, mu, transfer_tol);
    out_a = arc_elements(angles_a);
    out_b = arc_elements(angles_b);
}

namespace detail {

void transfer_elements_portable(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept {
    std::size_t k = 0;
    for (; k + 1 < n; k += 2) compute_transfer_orbit_elements_pair(arcs[k], arcs[k + 1], mu, out[k], out[k + 1]);
    if (k < n) out[k] = compute_transfer_orbit_elements(arcs[k].ends, arcs[k].v1, arcs[k].v2, mu);
}

#if !ORBELIN_LANE_KERNELS
// Builds without the lane kernels never choose them (instruction_set_supported is false for their sets).
void transfer_elements_avx2(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept {
    transfer_elements_portable(arcs, n, mu, out);
}
void transfer_elements_avx512(const ArcStates* arcs, std::size_t n, double mu, TransferElements* out) noexcept {
    transfer_elements_portable(arcs, n, mu, out);
}
#endif

namespace {

using TransferElementsKernel = void (*)(const ArcStates*, std::size_t, double, TransferElements*) noexcept;

// The kernel of compute_transfer_orbit_elements_batch, set once at load time; read on every call from any thread.
std::atomic<TransferElementsKernel> transfer_elements_kernel{&transfer_elements_portable};

}  // namespace

}  // namespace detail

void use_transfer_elements_kernels(InstructionSet isa) noexcept {
    detail::TransferElementsKernel kernel = &detail::transfer_elements_portable;
    if (isa == InstructionSet::avx2) kernel = &detail::transfer_elements_avx2;
    if (isa == InstructionSet::avx512) kernel = &detail::transfer_elements_avx512;
    detail::transfer_elements_kernel.store(kernel, std::memory_order_relaxed);
}

void compute_transfer_orbit_elements_batch(const ArcStates* arcs, std::size_t n, double mu,
                                           TransferElements* out) noexcept {
    detail::transfer_elements_kernel.load(std::memory_order_relaxed)(arcs, n, mu, out);
}

}  // namespace orbelin
