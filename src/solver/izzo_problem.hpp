#pragma once
// The values Izzo's solver carries from its setup (steps 1-8) to the arcs of a problem (steps 9-12), and the cases
// and prepared problems of a batch run. Plain types only: the translation units compiled for an instruction set
// include this header without defining anything that baseline code shares.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/arc_ends.hpp"
#include "common/vec3.hpp"
#include "solver/lambert_settings.hpp"

namespace orbelin {

// Two directions whose unit vectors have a cross product shorter than this are collinear for the solver: the
// transfer plane cannot be taken from them (step 3). The optimisers' choice of a reference normal uses the same
// test, so that both agree on every pair of positions.
inline constexpr double collinear_sin_angle = 1e-12;

// The unit angular momentum of a departure state (r1, u1), or nothing when |r1 x u1| <= 1e-15 (or NaN): the normal
// that collinear_reference_normal hands over for collinear positions.
std::optional<Vec3> departure_normal(const Vec3& r1, const Vec3& u1) noexcept;

}  // namespace orbelin

namespace orbelin::detail {

// Everything the per-arc steps (10-12) need, computed once per problem.
struct IzzoProblem {
    Vec3 ir1, ir2;             // unit radial directions at r1, r2
    Vec3 it1, it2;             // unit tangential directions (signs of steps 4-5)
    double r1n = 0.0;          // |r1|, km
    double r2n = 0.0;          // |r2|, km
    double lambda = 0.0;       // Izzo's lambda, in [-1, 1]
    double T = 0.0;            // non-dimensional time of flight
    double T00 = 0.0;          // T(x = 0) of the direct arc
    double rho = 0.0;          // (|r1| - |r2|) / c
    double radial1 = 0.0;      // gamma / |r1| with gamma = sqrt(mu s / 2): radial speed scale at r1, 1/s
    double radial2 = 0.0;      // gamma / |r2|
    double tangential1 = 0.0;  // sigma gamma / |r1| with sigma = sqrt(1 - rho^2): tangential speed scale
    double tangential2 = 0.0;  // sigma gamma / |r2|
    std::uint64_t revs = 0;    // M: revolutions actually solved
};

// One problem of a run solved together with others: the problem prepared (or nothing to solve, for a
// non-positive time of flight), what its records carry, and the caller's case number.
struct IzzoItem {
    IzzoProblem p;
    Vec3 r1;
    double tof = 0.0;
    double x0 = 0.0;  // the initial guess of the direct arc (step 9)
    bool retrograde = false;
    bool solvable = false;  // false: one NaN record
    std::size_t c = 0;
};

// One case of a run before its setup: the ends of the arc, the time of flight and a plane normal taken only for
// collinear positions (normal_if_collinear of izzo_prepare). `both`: the case is solved in both directions of
// motion, the run's own first and then the other one, sharing steps 1-6. With normal_of_u1 the normal is
// departure_normal(ends.r1, u1), worked out only for collinear positions, the rare cases that take it.
struct IzzoCase {
    ArcEnds ends;
    Vec3 normal;
    double tof = 0.0;
    std::size_t c = 0;
    bool has_normal = false;
    bool both = false;
    Vec3 u1{};
    bool normal_of_u1 = false;
};

// Steps 1-9 for the cases k[0 .. n-1] with the run's settings s (direction of motion included): fwd[i] receives
// the item of k[i] in the direction of s, rev[i] that in the other direction when k[i].both. Neither checks mu nor
// refuses revolutions: izzo_prepare_cases does, around these. The kernels of the instruction sets prepare one case
// per lane; every lane takes the operations of the single solve, so the items are bit for bit izzo_prepare's.
void izzo_prepare_cases_portable(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                                 IzzoItem* rev) noexcept;
void izzo_prepare_cases_avx2(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                             IzzoItem* rev) noexcept;
void izzo_prepare_cases_avx512(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                               IzzoItem* rev) noexcept;

// Step 11 for n arcs: arc k of the problem *p[k] with the Izzo variable x[k] has the velocities v1[k], v2[k], bit
// for bit those of izzo_record. Kernels as above.
void izzo_velocities_portable(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept;
void izzo_velocities_avx2(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept;
void izzo_velocities_avx512(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept;

// The scalar parts of the setup that the lanes hand over lane by lane, out of line in the baseline build.
// The plane normal of collinear unit directions ir1, ir2 (|ir1 x ir2| = hn below collinear_sin_angle, or NaN):
// the unit `normal` when given and hn is below the threshold, otherwise one from the coordinate axes.
Vec3 izzo_collinear_normal(const Vec3& ir1, double hn, const Vec3* normal) noexcept;
// The same for a case of a run, with the normal the case names.
Vec3 izzo_case_collinear_normal(const IzzoCase& k, double hn) noexcept;
// Step 7-8 without the refusal: the revolutions solved, min(max_rev, the largest feasible count).
std::uint64_t izzo_revolution_count(double lambda, double T, double T00, std::uint64_t max_rev) noexcept;
// The guess of step 9 for T1 < T < T00, between the other two regimes.
double izzo_middle_guess(double T, double T00, double T1) noexcept;

}  // namespace orbelin::detail
