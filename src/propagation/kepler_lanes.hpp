#pragma once
// The lane kernel of kepler_universal_2body_many: W propagations iterated at once, in vectors V of doubles (U:
// unsigned 64-bit integers of the same shape). Instantiated by kepler_universal_2body.cpp on vectors of two doubles
// (SSE2, the portable path; eight lanes), by kepler_avx2.cpp on four and by kepler_avx512.cpp on eight (sixteen lanes
// each), the last two in translation units of their own compiled for that instruction set. Everything here is a
// template over V or always inlined, and everything else it calls is out-of-line code of the baseline build
// (kepler_prepare, kepler_second_stage, stumpff_c2_c3), so that no function compiled with the wider instructions is
// shared with baseline code.
//
// Every lane takes the same operations as kepler_universal_2body_solve, in the same order (no fused multiply-adds),
// so each state is bit for bit its own propagation; the lanes' chains of dependent operations (a square root, a
// cosine, three divisions per Newton step) overlap.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/lanes.hpp"
#include "common/simd.hpp"
#include "common/sin_cos.hpp"
#include "propagation/kepler_problem.hpp"

namespace orbelin::detail {

template <class V>
ORBELIN_LANE_INLINE V kepler_load(const double* p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
ORBELIN_LANE_INLINE void kepler_store(double* p, V v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// The correctly rounded square root in every lane (the bits of std::sqrt; a negative argument gives NaN).
template <class V>
ORBELIN_LANE_INLINE V kepler_sqrt(V v) noexcept {
    if constexpr (sizeof(V) == 2 * sizeof(double)) {
#if ORBELIN_SSE2
        return _mm_sqrt_pd(v);
#else
        V r;
        for (int i = 0; i < 2; ++i) r[i] = std::sqrt(v[i]);
        return r;
#endif
    } else {
        return lanes::sqrt<V>(v);
    }
}

// The vector whose lane l is f(l), built in registers (lanes stored one by one and loaded as a vector would
// wait for the stores to retire).
template <class V, class F>
ORBELIN_LANE_INLINE V kepler_lanes_of(F f) noexcept {
    V v{};
    for (unsigned l = 0; l < sizeof(V) / sizeof(double); ++l) v[l] = f(l);
    return v;
}

// The lanes where the mask holds, as bits (lane i at bit i): the sign bits gathered in one instruction where the
// instruction set has it.
template <class V, class M>
ORBELIN_LANE_INLINE std::uint32_t kepler_mask_bits(M m) noexcept {
    constexpr unsigned n = sizeof(V) / sizeof(double);
#if ORBELIN_SSE2
    if constexpr (n == 2) return static_cast<std::uint32_t>(_mm_movemask_pd(std::bit_cast<__m128d>(m)));
#endif
#if defined(__AVX__)
    if constexpr (n == 4) return static_cast<std::uint32_t>(_mm256_movemask_pd(std::bit_cast<__m256d>(m)));
#endif
#if defined(__AVX512F__)
    if constexpr (n == 8) {
        const auto bits = std::bit_cast<__m512i>(m);
        return static_cast<std::uint32_t>(_mm512_test_epi64_mask(bits, bits));
    }
#endif
    std::uint32_t bits = 0;
    for (unsigned i = 0; i < n; ++i) bits |= static_cast<std::uint32_t>(m[i] != 0) << i;
    return bits;
}

// c2[l], c3[l] = stumpff_c2_c3(psi[l]) for l = 0 .. W-1, bit for bit, computed on vectors for the series band and the
// ellipse, the same operations in the same order; a lane that needs another path (a hyperbola, or an argument for
// which sin_cos leaves its common path) gets its values from stumpff_c2_c3 itself.
template <class V, class U, std::size_t W>
ORBELIN_LANE_INLINE void stumpff_lanes(const double* psi, double* c2, double* c3) noexcept {
    constexpr std::size_t n = sizeof(V) / sizeof(double);
    static_assert(W % n == 0 && W <= 32);
    using M = decltype(V{} < V{});
    constexpr std::uint32_t all = (1u << n) - 1;
    std::uint32_t other_lanes = 0;
    for (std::size_t j = 0; j < W; j += n) {
        const V p = kepler_load<V>(psi + j);
        const M hyperbola = p < -stumpff_series_psi;
        const M ellipse = p > stumpff_series_psi;
        const std::uint32_t hyperbolas = kepler_mask_bits<V>(hyperbola);
        const std::uint32_t ellipses = kepler_mask_bits<V>(ellipse);
        other_lanes |= hyperbolas << j;
        // Each form only where a lane takes it: the series band is rare once chi has moved off 0, and a vector of
        // hyperbolas has nothing to compute here.
        V s2 = V{};
        V s3 = V{};
        if ((ellipses | hyperbolas) != all) {
            const V minus_p = -p;
            for (int k = stumpff_series_terms - 1; k >= 0; --k) {
                s2 = s2 * minus_p + inverse_factorials[2 * k + 2];
                s3 = s3 * minus_p + inverse_factorials[2 * k + 3];
            }
        }
        if (ellipses != 0) {
            // The closed forms; lanes of other kinds compute NaN here and are not selected.
            const V sq = kepler_sqrt(p);
            V sin_sq, cos_sq;
            M direct;
            sin_cos_lanes<V, U>(sq, sin_sq, cos_sq, direct);
            s2 = ellipse ? (1.0 - cos_sq) / p : s2;
            s3 = ellipse ? (sq - sin_sq) / (sq * sq * sq) : s3;
            other_lanes |= kepler_mask_bits<V>(ellipse & ~direct) << j;
        }
        kepler_store(c2 + j, s2);
        kepler_store(c3 + j, s3);
    }
    while (other_lanes != 0) {
        const auto l = static_cast<unsigned>(__builtin_ctz(other_lanes));
        other_lanes &= other_lanes - 1;
        const Stumpff s = stumpff_c2_c3(psi[l]);
        c2[l] = s.c2;
        c3[l] = s.c3;
    }
}

// Propagations in flight at once, in structure-of-arrays form: lane l iterates one problem, and a lane whose
// problem has stopped takes the next one.
template <std::size_t W>
struct NewtonLanes {
    alignas(64) double chi[W];
    alignas(64) double alpha[W];
    alignas(64) double sigma0[W];
    alignas(64) double r0_norm[W];
    alignas(64) double sqrt_mu_dt[W];
    alignas(64) double steps[W];

    template <class Run>
    ORBELIN_LANE_INLINE void load(std::size_t l, const Run& p, std::size_t k) noexcept {
        chi[l] = p.chi[k];
        alpha[l] = p.alpha[k];
        sigma0[l] = p.sigma0[k];
        r0_norm[l] = p.r0_norm[k];
        sqrt_mu_dt[l] = p.sqrt_mu_dt[k];
        steps[l] = 0.0;
    }

    // One Newton step in every lane (the step of kepler_universal_2body_solve). Returns the lanes that stop after
    // it, as bits: a step within the tolerance (also set in `converged`), a NaN step, or the last step allowed.
    template <class V, class U>
    ORBELIN_LANE_INLINE std::uint32_t step(std::uint32_t& converged) noexcept {
        constexpr std::size_t n = sizeof(V) / sizeof(double);
        alignas(64) double chi2[W], psi[W], c2[W], c3[W];
        for (std::size_t j = 0; j < W; j += n) {
            const V x = kepler_load<V>(chi + j);
            const V x2 = x * x;
            kepler_store(chi2 + j, x2);
            kepler_store(psi + j, x2 * kepler_load<V>(alpha + j));
        }
        stumpff_lanes<V, U, W>(psi, c2, c3);
        std::uint32_t stop = 0;
        converged = 0;
        for (std::size_t j = 0; j < W; j += n) {
            const V x = kepler_load<V>(chi + j);
            const V x2 = kepler_load<V>(chi2 + j);
            const V p = kepler_load<V>(psi + j);
            const V s2 = kepler_load<V>(c2 + j);
            const V s3 = kepler_load<V>(c3 + j);
            const V sg = kepler_load<V>(sigma0 + j);
            const V rn = kepler_load<V>(r0_norm + j);
            const V r = universal_radius(x, x2, p, s2, s3, sg, rn);
            const V d = newton_step_at(x, x2, p, s2, s3, sg, rn, kepler_load<V>(sqrt_mu_dt + j), r);
            kepler_store(chi + j, x + d);
            const V count = kepler_load<V>(steps + j) + 1.0;
            kepler_store(steps + j, count);
            const V size = std::bit_cast<V>(std::bit_cast<U>(d) & 0x7fff'ffff'ffff'ffffULL);
            converged |= kepler_mask_bits<V>(size <= chi_tolerance) << j;
            const auto last = count >= static_cast<double>(max_newton_steps);
            stop |= kepler_mask_bits<V>(~(size > chi_tolerance) | last) << j;
        }
        return stop;
    }
};

// The problems of a run of propagations, in structure-of-arrays form (the fields of KeplerProblem; r0, v0 and dt
// are read from the input).
template <std::size_t N>
struct KeplerRun {
    alignas(64) double chi[N];
    alignas(64) double alpha[N];
    alignas(64) double sigma0[N];
    alignas(64) double r0_norm[N];
    alignas(64) double sqrt_mu_dt[N];
    bool converged[N];
};

// kepler_universal_2body_many on W lanes of vectors V.
template <class V, class U, std::size_t W>
void kepler_many_lanes(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept {
    // Problems are prepared and finished a run at a time, so that lanes seldom idle at the end of a run.
    constexpr std::size_t run = 256;
    constexpr std::size_t width = sizeof(V) / sizeof(double);
    constexpr std::uint32_t all_lanes = W == 32 ? ~0u : (1u << W) - 1;
    using M = decltype(V{} < V{});
    const double sqrt_mu = std::sqrt(mu);
    // kepler_prepare refuses every problem of an unusable mu; the lanes leave them all to it.
    const bool usable_mu = std::isfinite(mu) && mu > 0.0;
    KeplerRun<run> p{};
    for (std::size_t first = 0; first < n; first += run) {
        const State* in = states + first;
        const double* t = dt + first;
        State* res = out + first;
        const std::size_t count = n - first < run ? n - first : run;
        std::size_t pending[run];
        std::size_t waiting = 0;

        // The set-up of kepler_prepare, `width` problems at a time, for the ordinary ones: an ellipse (alpha at
        // least the parabolic bound) with a finite state, a position off the origin and time to elapse. The
        // others are prepared by kepler_prepare itself (the lanes past the end repeat the first of the group).
        for (std::size_t j = 0; j < count; j += width) {
            const double* row[width];
            for (std::size_t l = 0; l < width; ++l) row[l] = in[j + l < count ? j + l : j].data();
            const auto component = [&row](int c) { return kepler_lanes_of<V>([&](unsigned l) { return row[l][c]; }); };
            const V x = component(0), y = component(1), z = component(2);
            const V vx = component(3), vy = component(4), vz = component(5);
            const V tj = kepler_lanes_of<V>([&](unsigned l) { return t[j + l < count ? j + l : j]; });
            const V r0_norm = kepler_sqrt(x * x + y * y + z * z);
            const V v0_norm = kepler_sqrt(vx * vx + vy * vy + vz * vz);
            const V alpha = 2.0 / r0_norm - v0_norm * v0_norm / mu;
            const V sqrt_mu_dt = sqrt_mu * tj;
            kepler_store(p.r0_norm + j, r0_norm);
            kepler_store(p.sigma0 + j, (x * vx + y * vy + z * vz) / sqrt_mu);
            kepler_store(p.alpha + j, alpha);
            kepler_store(p.sqrt_mu_dt + j, sqrt_mu_dt);
            kepler_store(p.chi + j, sqrt_mu_dt * alpha);
            // 0 x is 0 for a finite x and NaN for an infinite or NaN one.
            const V zeros = 0.0 * x + 0.0 * y + 0.0 * z + 0.0 * vx + 0.0 * vy + 0.0 * vz + 0.0 * tj;
            const M ordinary = (zeros == 0.0) & (tj != 0.0) & (r0_norm > 0.0) & (alpha >= parabolic_alpha);
            const std::uint32_t lanes_here = count - j < width ? (1u << (count - j)) - 1 : (1u << width) - 1;
            const std::uint32_t ordinary_lanes = usable_mu ? kepler_mask_bits<V>(ordinary) & lanes_here : 0;
            for (std::size_t l = 0; l < width && j + l < count; ++l) {
                const std::size_t k = j + l;
                if ((ordinary_lanes >> l) & 1u) {
                    pending[waiting++] = k;
                    continue;
                }
                KeplerProblem q;
                KeplerSolve done;
                if (!kepler_prepare(in[k], t[k], mu, q, done)) {
                    res[k] = done.state;
                    continue;
                }
                p.chi[k] = q.chi;
                p.alpha[k] = q.alpha;
                p.sigma0[k] = q.sigma0;
                p.r0_norm[k] = q.r0_norm;
                p.sqrt_mu_dt[k] = q.sqrt_mu_dt;
                pending[waiting++] = k;
            }
        }

        // The Newton steps: idle lanes iterate a harmless copy of a real problem and are never read.
        NewtonLanes<W> lanes{};
        std::size_t lane[W];
        std::uint32_t busy = 0;
        std::size_t next = 0;
        for (std::size_t l = 0; l < W; ++l) {
            if (next < waiting) {
                lane[l] = pending[next++];
                busy |= 1u << l;
            } else {
                lane[l] = waiting > 0 ? pending[0] : 0;
            }
            lanes.load(l, p, lane[l]);
        }
        while (busy != 0) {
            std::uint32_t converged;
            std::uint32_t stopped = lanes.template step<V, U>(converged) & busy;
            while (stopped != 0) {
                const auto l = static_cast<unsigned>(__builtin_ctz(stopped));
                stopped &= stopped - 1;
                const std::size_t k = lane[l];
                p.converged[k] = (converged >> l) & 1u;
                p.chi[k] = lanes.chi[l];
                if (next < waiting) {
                    lane[l] = pending[next++];
                    lanes.load(l, p, lane[l]);
                } else {
                    busy &= ~(1u << l) & all_lanes;
                }
            }
        }

        // The second stage where the first did not converge.
        for (std::size_t w = 0; w < waiting; ++w) {
            const std::size_t k = pending[w];
            if (p.converged[k] && std::isfinite(p.chi[k])) continue;
            KeplerProblem q{.r0 = position(in[k]),
                            .v0 = velocity(in[k]),
                            .dt = t[k],
                            .sqrt_mu = sqrt_mu,
                            .r0_norm = p.r0_norm[k],
                            .sigma0 = p.sigma0[k],
                            .alpha = p.alpha[k],
                            .sqrt_mu_dt = p.sqrt_mu_dt[k],
                            .chi = p.chi[k]};
            KeplerSolve solve;
            solve.converged = p.converged[k];
            kepler_second_stage(q, solve);
            p.chi[k] = q.chi;
        }

        // The final states W at a time, from the terms the Newton steps take (the lanes past the end repeat the
        // last).
        for (std::size_t w0 = 0; w0 < waiting; w0 += W) {
            const std::size_t m = waiting - w0 < W ? waiting - w0 : W;
            const auto problem = [&](std::size_t l) { return pending[w0 + (l < m ? l : m - 1)]; };
            alignas(64) double chi[W], chi2[W], psi[W], c2[W], c3[W];
            for (std::size_t j = 0; j < W; j += width) {
                const V x = kepler_lanes_of<V>([&](unsigned l) { return p.chi[problem(j + l)]; });
                const V x2 = x * x;
                kepler_store(chi + j, x);
                kepler_store(chi2 + j, x2);
                kepler_store(psi + j, x2 * kepler_lanes_of<V>([&](unsigned l) { return p.alpha[problem(j + l)]; }));
            }
            stumpff_lanes<V, U, W>(psi, c2, c3);
            alignas(64) double final_rv[6][W];
            for (std::size_t j = 0; j < W; j += width) {
                const auto lanes_of = [&](const auto& f) {
                    return kepler_lanes_of<V>([&](unsigned l) { return f(problem(j + l)); });
                };
                const V x = kepler_load<V>(chi + j);
                const V x2 = kepler_load<V>(chi2 + j);
                const V ps = kepler_load<V>(psi + j);
                const V s2 = kepler_load<V>(c2 + j);
                const V s3 = kepler_load<V>(c3 + j);
                const V rn = lanes_of([&](std::size_t k) { return p.r0_norm[k]; });
                const V sg = lanes_of([&](std::size_t k) { return p.sigma0[k]; });
                const V tj = lanes_of([&](std::size_t k) { return t[k]; });
                const V r = universal_radius(x, x2, ps, s2, s3, sg, rn);
                const Lagrange<V> c = lagrange_coefficients(x, x2, ps, s2, s3, r, tj, rn, V{} + sqrt_mu);
                for (int i = 0; i < 3; ++i) {
                    const V r0 = lanes_of([&](std::size_t k) { return in[k][i]; });
                    const V v0 = lanes_of([&](std::size_t k) { return in[k][3 + i]; });
                    kepler_store(final_rv[i] + j, c.f * r0 + c.g * v0);
                    kepler_store(final_rv[3 + i] + j, c.fdot * r0 + c.gdot * v0);
                }
            }
            for (std::size_t l = 0; l < m; ++l) {
                State& s = res[pending[w0 + l]];
                for (int c = 0; c < 6; ++c) s[c] = final_rv[c][l];
            }
        }
    }
}

}  // namespace orbelin::detail
