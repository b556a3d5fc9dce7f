#pragma once
// The lane kernel of kepler_universal_2body_many: W propagations iterated at once, in vectors V of doubles (U:
// unsigned 64-bit integers of the same shape). Instantiated by kepler_universal_2body.cpp on two doubles (SSE2, the
// portable path), by kepler_avx2.cpp on four and by kepler_avx512.cpp on eight, each in its own translation unit
// compiled for that instruction set. Everything here is a template over V or always inlined, and everything else it
// calls is out-of-line code of the baseline build (kepler_prepare, kepler_second_stage, stumpff_c2_c3), so that no
// function compiled with the wider instructions is shared with baseline code.
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

// The lanes where the mask holds, as bits (lane i at bit i).
template <class V, class M>
ORBELIN_LANE_INLINE std::uint32_t kepler_mask_bits(M m) noexcept {
    constexpr int n = sizeof(V) / sizeof(double);
    std::uint32_t bits = 0;
    for (int i = 0; i < n; ++i) bits |= static_cast<std::uint32_t>(m[i] != 0) << i;
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
    std::uint32_t other_lanes = 0;
    for (std::size_t j = 0; j < W; j += n) {
        const V p = kepler_load<V>(psi + j);
        // Only hyperbolas: all of them for stumpff_c2_c3, nothing to compute here.
        const M hyperbola = p < -stumpff_series_psi;
        const std::uint32_t hyperbolas = kepler_mask_bits<V>(hyperbola);
        if (hyperbolas == (1u << n) - 1) {
            other_lanes |= hyperbolas << j;
            continue;
        }
        const V minus_p = -p;
        V series2 = V{};
        V series3 = V{};
        for (int k = stumpff_series_terms - 1; k >= 0; --k) {
            series2 = series2 * minus_p + inverse_factorials[2 * k + 2];
            series3 = series3 * minus_p + inverse_factorials[2 * k + 3];
        }
        // The ellipse's closed forms; lanes of other kinds compute NaN here and are not selected.
        const V sq = kepler_sqrt(p);
        V sin_sq, cos_sq;
        M direct;
        sin_cos_lanes<V, U>(sq, sin_sq, cos_sq, direct);
        const V closed2 = (1.0 - cos_sq) / p;
        const V closed3 = (sq - sin_sq) / (sq * sq * sq);
        const M ellipse = p > stumpff_series_psi;
        kepler_store(c2 + j, ellipse ? closed2 : series2);
        kepler_store(c3 + j, ellipse ? closed3 : series3);
        other_lanes |= kepler_mask_bits<V>((ellipse & ~direct) | hyperbola) << j;
    }
    while (other_lanes != 0) {
        const int l = __builtin_ctz(other_lanes);
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

    ORBELIN_LANE_INLINE void load(std::size_t l, const KeplerProblem& p) noexcept {
        chi[l] = p.chi;
        alpha[l] = p.alpha;
        sigma0[l] = p.sigma0;
        r0_norm[l] = p.r0_norm;
        sqrt_mu_dt[l] = p.sqrt_mu_dt;
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
            stop |= kepler_mask_bits<V>(~(size > chi_tolerance) | (count >= static_cast<double>(max_newton_steps))) << j;
        }
        return stop;
    }
};

// kepler_universal_2body_many on W lanes of vectors V.
template <class V, class U, std::size_t W>
void kepler_many_lanes(const State* states, const double* dt, State* out, std::size_t n, double mu) noexcept {
    // Problems are prepared and finished a run at a time, so that lanes seldom idle at the end of a run.
    constexpr std::size_t run = 256;
    constexpr std::size_t lane_width = sizeof(V) / sizeof(double);
    constexpr std::uint32_t all_lanes = W == 32 ? ~0u : (1u << W) - 1;
    KeplerProblem p[run];
    KeplerSolve solve[run];
    for (std::size_t first = 0; first < n; first += run) {
        const std::size_t count = n - first < run ? n - first : run;
        std::size_t pending[run];
        std::size_t waiting = 0;
        for (std::size_t k = 0; k < count; ++k) {
            solve[k] = KeplerSolve{};
            if (kepler_prepare(states[first + k], dt[first + k], mu, p[k], solve[k])) pending[waiting++] = k;
        }
        // Idle lanes iterate a harmless copy of a real problem and are never read.
        NewtonLanes<W> lanes;
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
            lanes.load(l, p[lane[l]]);
        }
        while (busy != 0) {
            std::uint32_t converged;
            std::uint32_t stopped = lanes.template step<V, U>(converged) & busy;
            while (stopped != 0) {
                const int l = __builtin_ctz(stopped);
                stopped &= stopped - 1;
                const std::size_t k = lane[l];
                solve[k].converged = (converged >> l) & 1u;
                p[k].chi = lanes.chi[l];
                if (next < waiting) {
                    lane[l] = pending[next++];
                    lanes.load(l, p[lane[l]]);
                } else {
                    busy &= ~(1u << l) & all_lanes;
                }
            }
        }
        for (std::size_t w = 0; w < waiting; ++w) kepler_second_stage(p[pending[w]], solve[pending[w]]);
        // The final states W at a time, from the terms the Newton steps take (the lanes past the end repeat the last).
        for (std::size_t w0 = 0; w0 < waiting; w0 += W) {
            const std::size_t m = waiting - w0 < W ? waiting - w0 : W;
            alignas(64) double chi[W], chi2[W], psi[W], c2[W], c3[W], sigma0[W], r0_norm[W], t[W], sqrt_mu[W];
            alignas(64) double in[6][W];
            for (std::size_t l = 0; l < W; ++l) {
                const KeplerProblem& q = p[pending[w0 + (l < m ? l : m - 1)]];
                chi[l] = q.chi;
                chi2[l] = q.chi * q.chi;
                psi[l] = chi2[l] * q.alpha;
                sigma0[l] = q.sigma0;
                r0_norm[l] = q.r0_norm;
                t[l] = q.dt;
                sqrt_mu[l] = q.sqrt_mu;
                for (int i = 0; i < 3; ++i) {
                    in[i][l] = q.r0[i];
                    in[3 + i][l] = q.v0[i];
                }
            }
            stumpff_lanes<V, U, W>(psi, c2, c3);
            alignas(64) double res[6][W];
            for (std::size_t j = 0; j < W; j += lane_width) {
                const V x = kepler_load<V>(chi + j);
                const V x2 = kepler_load<V>(chi2 + j);
                const V ps = kepler_load<V>(psi + j);
                const V s2 = kepler_load<V>(c2 + j);
                const V s3 = kepler_load<V>(c3 + j);
                const V rn = kepler_load<V>(r0_norm + j);
                const V r = universal_radius(x, x2, ps, s2, s3, kepler_load<V>(sigma0 + j), rn);
                const Lagrange<V> c =
                    lagrange_coefficients(x, x2, ps, s2, s3, r, kepler_load<V>(t + j), rn, kepler_load<V>(sqrt_mu + j));
                for (int i = 0; i < 3; ++i) {
                    const V r0 = kepler_load<V>(in[i] + j);
                    const V v0 = kepler_load<V>(in[3 + i] + j);
                    kepler_store(res[i] + j, c.f * r0 + c.g * v0);
                    kepler_store(res[3 + i] + j, c.fdot * r0 + c.gdot * v0);
                }
            }
            for (std::size_t l = 0; l < m; ++l) {
                State& s = solve[pending[w0 + l]].state;
                for (int i = 0; i < 6; ++i) s[i] = res[i][l];
            }
        }
        for (std::size_t k = 0; k < count; ++k) out[first + k] = solve[k].state;
    }
}

}  // namespace orbelin::detail
