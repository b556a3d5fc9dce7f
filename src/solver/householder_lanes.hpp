#pragma once
// The lane kernel of householder_jobs: one Householder solve per lane of V (lanes::f64x4 or lanes::f64x8), the
// lanes' steps taken together. Included only by the translation units compiled for an instruction set
// (householder_avx2.cpp, householder_avx512.cpp), each instantiating it on its own vector type; everything it calls
// is either a template over V, inlined, or plain out-of-line code of the baseline build (near_parabolic_tof,
// stop_requested), so that no function compiled with the wider instructions is shared with baseline code.

#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/lanes.hpp"
#include "solver/householder.hpp"
#include "solver/householder_step.hpp"

namespace orbelin::detail {

template <class V>
void householder_jobs_lanes(HouseholderJob* jobs, std::size_t n, double tol, std::uint64_t maxiter) noexcept {
    using Bits = lanes::bits_t<V>;
    constexpr int width = lanes::width_v<V>;
    if (tol >= 1.0 || maxiter == 0) return;
    constexpr double infinity = std::numeric_limits<double>::infinity();
    // Steps a lane may still take. A count above 2^63 - 1 is taken as 2^63 - 1: no solve lives that long.
    const std::int64_t budget = maxiter > std::uint64_t{std::numeric_limits<std::int64_t>::max()}
                                    ? std::numeric_limits<std::int64_t>::max()
                                    : static_cast<std::int64_t>(maxiter);

    // Lane state. An idle lane holds x = 0, lambda = 0, T = 1 (Lancaster's form, finite) and is never done.
    V x = lanes::splat<V>(0.0);
    V T = lanes::splat<V>(1.0);
    V lambda = lanes::splat<V>(0.0);
    V m = lanes::splat<V>(0.0);  // revolutions, as a double
    V last_err = lanes::splat<V>(infinity);
    Bits left = lanes::splat_bits<V>(0);
    Bits busy = lanes::splat_bits<V>(0);
    std::size_t job[width] = {};
    std::uint64_t revs[width] = {};
    int live = 0;
    std::size_t next = 0;

    const auto start = [&](int l) {
        const HouseholderJob& j = jobs[next];
        job[l] = next++;
        revs[l] = j.M;
        x[l] = j.x;
        T[l] = j.T;
        lambda[l] = j.lambda;
        m[l] = static_cast<double>(j.M);
        last_err[l] = infinity;
        left[l] = budget;
    };
    for (int l = 0; l < width && next < n; ++l) {
        start(l);
        busy[l] = -1;
        ++live;
    }

    std::uint64_t steps = 0;
    while (live > 0) {
        // As in householder: a run of solves that never settle stays interruptible; the solves not finished keep
        // their last iterate.
        if ((++steps & interrupt_poll_mask) == 0 && stop_requested()) {
            for (int l = 0; l < width; ++l) {
                if (busy[l] != 0) jobs[job[l]].x = x[l];
            }
            return;
        }
        // T(x): Lancaster's form in every lane, then the scalar forms near the parabola for the (rare) lanes there.
        TofAndY<V> ty = lancaster_tof<V>(m, x, lambda);
        const V d = lanes::abs(x - 1.0);
        const Bits near = ((d > 0.01) & (d < 0.2)) | (d < 0.01);
        if (lanes::any<V>(near)) {
            for (int l = 0; l < width; ++l) {
                if (near[l] == 0) continue;
                const NearParabolicTof t = near_parabolic_tof(revs[l], x[l], lambda[l]);
                ty.T[l] = t.T;
                ty.y[l] = t.y;
                ty.inv_umx2[l] = t.inv_umx2;
            }
        }
        const HouseholderStep<V> s = householder_update<V>(x, T, lambda, ty);
        const V err = lanes::abs(x - s.x);
        x = s.x;
        // householder's stopping rule, lane by lane: at the tolerance (or NaN), or once a step that failed to shrink
        // is down to the rounding noise of T. The noise test costs a division and is asked only when some lane's
        // step failed to shrink.
        Bits stop = (err <= tol) | (err != err);
        const Bits flat = (err >= last_err) & ~stop;
        if (lanes::any<V>(flat)) stop |= flat & at_rounding_level<V>(err, s.x, T, s.slope);
        last_err = err;
        left -= 1;
        const Bits done = (stop | (left == 0)) & busy;
        if (!lanes::any<V>(done)) continue;
        for (int l = 0; l < width; ++l) {
            if (done[l] == 0) continue;
            jobs[job[l]].x = x[l];
            if (next < n) {
                start(l);
            } else {
                busy[l] = 0;
                x[l] = 0.0;
                T[l] = 1.0;
                lambda[l] = 0.0;
                m[l] = 0.0;
                --live;
            }
        }
    }
}

}  // namespace orbelin::detail
