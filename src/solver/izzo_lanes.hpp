#pragma once
// The lane kernel of the batch setup: steps 1-9 of Izzo's solver for one case per lane of V (a plain double for the
// portable kernel, lanes::f64x4 or lanes::f64x8 in the translation units compiled for AVX2 or AVX-512F). Everything
// it calls is a template over V, inlined, or plain out-of-line code of the baseline build (the scalar branches of
// izzo_problem.hpp), so that no function compiled with the wider instructions is
// shared with baseline code.

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "common/lanes.hpp"
#include "solver/izzo_problem.hpp"
#include "solver/izzo_steps.hpp"

namespace orbelin::detail {

template <class V>
ORBELIN_LANE_INLINE V3<V> lanes_of(const Vec3 (&v)[lanes::width_v<V>]) noexcept {
    V3<V> r{};
    for (int l = 0; l < lanes::width_v<V>; ++l) {
        set_lane(r.x, l, v[l].x);
        set_lane(r.y, l, v[l].y);
        set_lane(r.z, l, v[l].z);
    }
    return r;
}

template <class V>
ORBELIN_LANE_INLINE Vec3 vec_of(const V3<V>& v, int l) noexcept {
    return {lane(v.x, l), lane(v.y, l), lane(v.z, l)};
}

template <class V>
void izzo_prepare_lanes(const IzzoCase* k, std::size_t n, const LambertSettings& s, IzzoItem* fwd,
                        IzzoItem* rev) noexcept {
    constexpr int width = lanes::width_v<V>;
    const double retro = s.retrograde ? -1.0 : 1.0;
    for (std::size_t i = 0; i < n; i += width) {
        // The lanes past the last case repeat it and are not stored.
        const int live = static_cast<int>(std::min<std::size_t>(width, n - i));
        const auto case_of = [&](int l) -> const IzzoCase& {
            return k[i + static_cast<std::size_t>(std::min(l, live - 1))];
        };
        IzzoEnds<V> e{};
        {
            Vec3 r1[width], r2[width], ir1[width], ir2[width];
            for (int l = 0; l < width; ++l) {
                const IzzoCase& c = case_of(l);
                r1[l] = c.ends.r1;
                r2[l] = c.ends.r2;
                ir1[l] = c.ends.r1_unit;
                ir2[l] = c.ends.r2_unit;
                set_lane(e.r1n, l, c.ends.r1_norm);
                set_lane(e.r2n, l, c.ends.r2_norm);
                set_lane(e.tof, l, c.tof);
            }
            e.r1 = lanes_of<V>(r1);
            e.r2 = lanes_of<V>(r2);
            e.ir1 = lanes_of<V>(ir1);
            e.ir2 = lanes_of<V>(ir2);
        }
        // 3. Plane normal, with the fallbacks for collinear positions lane by lane.
        const V3<V> ih = izzo_plane_normal<V>(e.ir1, e.ir2, [&](int l, double hn, V3<V>& out) {
            const Vec3 h = izzo_case_collinear_normal(case_of(l), hn);
            set_lane(out.x, l, h.x);
            set_lane(out.y, l, h.y);
            set_lane(out.z, l, h.z);
        });
        const IzzoGeometry<V> g = izzo_geometry<V>(e, ih, s.mu, retro);

        // Steps 7-9 in one direction of motion, for the lanes `wanted` selects.
        const auto finish = [&](V lambda, const V3<V>& it1, const V3<V>& it2, bool retrograde, IzzoItem* out,
                                auto&& wanted) {
            const V T00 = izzo_t00<V>(lambda);
            const V x0 = izzo_direct_guess_of<V>(lambda, g.T, T00, &izzo_middle_guess);
            for (int l = 0; l < live; ++l) {
                if (!wanted(l)) continue;
                const IzzoCase& c = case_of(l);
                IzzoItem& item = out[i + static_cast<std::size_t>(l)];
                item.r1 = c.ends.r1;
                item.tof = c.tof;
                item.c = c.c;
                item.retrograde = retrograde;
                item.solvable = !(c.tof <= 0.0);
                item.x0 = lane(x0, l);
                IzzoProblem& p = item.p;
                p.ir1 = c.ends.r1_unit;
                p.ir2 = c.ends.r2_unit;
                p.r1n = c.ends.r1_norm;
                p.r2n = c.ends.r2_norm;
                p.it1 = vec_of<V>(it1, l);
                p.it2 = vec_of<V>(it2, l);
                p.lambda = lane(lambda, l);
                p.T = lane(g.T, l);
                p.T00 = lane(T00, l);
                p.rho = lane(g.rho, l);
                p.radial1 = lane(g.radial1, l);
                p.radial2 = lane(g.radial2, l);
                p.tangential1 = lane(g.tangential1, l);
                p.tangential2 = lane(g.tangential2, l);
                p.revs = item.solvable && s.max_rev > 0 ? izzo_revolution_count(p.lambda, p.T, p.T00, s.max_rev) : 0;
            }
        };
        finish(g.lambda, g.it1, g.it2, s.retrograde, fwd, [](int) { return true; });
        bool both = false;
        for (int l = 0; l < live; ++l) both |= case_of(l).both;
        // The other direction: the sign factor of steps 4-5 changes, every product with it is exact.
        if (both) {
            const V3<V> it1{-g.it1.x, -g.it1.y, -g.it1.z};
            const V3<V> it2{-g.it2.x, -g.it2.y, -g.it2.z};
            finish(-g.lambda, it1, it2, !s.retrograde, rev, [&](int l) { return case_of(l).both; });
        }
    }
}

// Step 11 for n arcs, one per lane: arc k has the problem *p[k] and the Izzo variable x[k]; its velocities go to
// v1[k] and v2[k].
template <class V>
void izzo_velocities_lanes(const IzzoProblem* const* p, const double* x, std::size_t n, Vec3* v1, Vec3* v2) noexcept {
    constexpr int width = lanes::width_v<V>;
    for (std::size_t i = 0; i < n; i += width) {
        const int live = static_cast<int>(std::min<std::size_t>(width, n - i));
        V xs{}, lambda{}, rho{}, radial1{}, radial2{}, tangential1{}, tangential2{};
        Vec3 ir1[width], ir2[width], it1[width], it2[width];
        for (int l = 0; l < width; ++l) {
            const std::size_t k = i + static_cast<std::size_t>(std::min(l, live - 1));
            const IzzoProblem& q = *p[k];
            set_lane(xs, l, x[k]);
            set_lane(lambda, l, q.lambda);
            set_lane(rho, l, q.rho);
            set_lane(radial1, l, q.radial1);
            set_lane(radial2, l, q.radial2);
            set_lane(tangential1, l, q.tangential1);
            set_lane(tangential2, l, q.tangential2);
            ir1[l] = q.ir1;
            ir2[l] = q.ir2;
            it1[l] = q.it1;
            it2[l] = q.it2;
        }
        const IzzoSpeeds<V> v = izzo_speeds<V>(xs, lambda, rho, radial1, radial2, tangential1, tangential2);
        const V3<V> a = izzo_velocity<V>(v.vr1, lanes_of<V>(ir1), v.vt1, lanes_of<V>(it1));
        const V3<V> b = izzo_velocity<V>(v.vr2, lanes_of<V>(ir2), v.vt2, lanes_of<V>(it2));
        for (int l = 0; l < live; ++l) {
            v1[i + static_cast<std::size_t>(l)] = vec_of<V>(a, l);
            v2[i + static_cast<std::size_t>(l)] = vec_of<V>(b, l);
        }
    }
}

}  // namespace orbelin::detail
