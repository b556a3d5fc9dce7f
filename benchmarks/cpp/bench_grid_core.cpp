// Microbenchmark of the exhaustive grid scan against the cheapest-arc batch solve of the same cells, on one
// worker thread: CPU nanoseconds per cell for
//   grid      lambert_grid_search (both directions, the cheapest arc of each cell and the elements of its arc),
//   best_dv   best_lambert_arcs_run over the same cells, one run per time-of-flight diagonal, the states
//             propagated beforehand and each case's ends and normal computed as a batch call computes them,
//   elements  burn_arc_elements of every cell's cheapest arc alone (arcs solved beforehand, untimed), one arc at a
//             time, two at a time (compute_transfer_orbit_elements_pair) and 32 at a time
//             (compute_transfer_orbit_elements_batch),
// and the grid against best_dv alone and against best_dv plus the elements of the kept arcs in a batch.
// The solves and the elements use the kernels ORBELIN_SIMD chooses, as in the module.
// The grid is a LEO -> GEO transfer over one day with 300 grid values (44,850 cells), as in the Python benchmark.
//
// Times are process CPU time (CLOCK_PROCESS_CPUTIME_ID), best of the repeats.
//
// Usage: bench_grid_core [repeats] [grid values]   (default 5, 300)
//
// The grid scan runs on the calling thread and the one worker, side by side, while best_dv runs on the calling
// thread alone; where two busy threads slow each other (the two vCPUs of the development VM: 5-25 % more CPU time
// per cell, varying from run to run), `taskset -c 0 bench_grid_core` puts both on one CPU and compares the work.

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "common/system_resources.hpp"
#include "optimization/burn_elements.hpp"
#include "optimization/grid_search.hpp"
#include "parallel/thread_pool.hpp"
#include "propagation/kepler_universal_2body.hpp"
#include "solver/lambert_impulses.hpp"

namespace {

using namespace orbelin;

constexpr double mu = 398600.4418;

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <class F>
double best_of(int repeats, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const double t0 = cpu_seconds();
        f();
        best = std::fmin(best, cpu_seconds() - t0);
    }
    return best;
}

volatile double sink_value = 0.0;

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    // The kernels the module would choose: ORBELIN_SIMD as at import.
    const InstructionSet isa = configured_instruction_set();
    use_householder_kernels(isa);
    use_transfer_elements_kernels(isa);
    const std::size_t values = argc > 2 ? static_cast<std::size_t>(std::atol(argv[2])) : 300;
    init_global_pool(1);

    const State leo{7000.0, 0.0, 0.0, 0.0, std::sqrt(mu / 7000.0), 0.0};
    const State geo{0.0, 42164.0, 0.0, -std::sqrt(mu / 42164.0), 0.0, 0.0};
    const double step = 86400.0 / static_cast<double>(values - 1);
    TimeGrid grid;
    if (TimeGrid::build(0.0, 86400.0, step, 1ULL << 40, grid) != GridStatus::ok) return 1;
    const TransferProblem problem{.source = leo, .target = geo, .arcs = {.solver = {.mu = mu}, .rendezvous = true}};

    const std::vector<double>& x = grid.values();
    const std::size_t m = x.size();
    std::vector<State> src(m);
    std::vector<State> tgt(m);
    for (std::size_t i = 0; i < m; ++i) {
        src[i] = kepler_universal_2body(leo, x[i], mu);
        tgt[i] = kepler_universal_2body(geo, x[i], mu);
    }

    const double grid_s = best_of(repeats, [&] {
        double acc = 0.0;
        lambert_grid_search(grid, problem, [&](const KeptCells& run) {
            for (std::size_t r = 0; r < run.size; ++r) acc += run.elements[r].ta_arrive;
        });
        sink_value = acc;
    });

    // The cases of diagonal d: departure i, arrival i + d.
    const double dv_s = best_of(repeats, [&] {
        double acc = 0.0;
        for (std::size_t d = 1; d < m; ++d) {
            const double tof = static_cast<double>(d) * step;
            best_lambert_arcs_run(
                0, m - d,
                [&](std::size_t c) {
                    const Vec3 r1 = position(src[c]);
                    const Vec3 u1 = velocity(src[c]);
                    return ImpulseCase{arc_ends(r1, position(tgt[c + d])), u1, velocity(tgt[c + d]),
                                       departure_normal(r1, u1), tof};
                },
                problem.arcs, [&](std::size_t, const std::optional<BestArc>& best) { acc += best->impulses.dv1_mag; });
        }
        sink_value = acc;
    });

    // Every cell's cheapest arc as the grid keeps it, then its elements alone.
    std::vector<OptimizedLambertSolution> kept;
    std::vector<std::pair<std::size_t, std::size_t>> at;
    grid.for_cell_indices(0, grid.cells(), [&](std::size_t, std::size_t i, std::size_t j) {
        const auto best = best_lambert_impulses(position(src[i]), velocity(src[i]), position(tgt[j]), velocity(tgt[j]),
                                                x[j] - x[i], problem.arcs);
        if (!best) return;
        kept.push_back(transfer_record(*best, x[i], x[j], true));
        at.emplace_back(i, j);
    });
    const double el_s = best_of(repeats, [&] {
        double acc = 0.0;
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const auto [i, j] = at[k];
            acc += burn_arc_elements(kept[k], arc_ends(position(src[i]), position(tgt[j])), velocity(src[i]),
                                     velocity(tgt[j]), mu)
                       .ta_arrive;
        }
        sink_value = acc;
    });

    const double pair_s = best_of(repeats, [&] {
        double acc = 0.0;
        std::size_t k = 0;
        for (; k + 1 < kept.size(); k += 2) {
            ArcStates arcs[2];
            for (std::size_t q = 0; q < 2; ++q) {
                const auto [i, j] = at[k + q];
                arcs[q] = {arc_ends(position(src[i]), position(tgt[j])), velocity(src[i]) + kept[k + q].dv1,
                           velocity(tgt[j]) - kept[k + q].dv2};
            }
            TransferElements e0, e1;
            compute_transfer_orbit_elements_pair(arcs[0], arcs[1], mu, e0, e1);
            acc += e0.ta_arrive + e1.ta_arrive;
        }
        sink_value = acc;
    });

    // The same arcs 32 at a time through compute_transfer_orbit_elements_batch (the kernel of ORBELIN_SIMD).
    std::vector<ArcStates> arcs(kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const auto [i, j] = at[k];
        arcs[k] = {arc_ends(position(src[i]), position(tgt[j])), velocity(src[i]) + kept[k].dv1,
                   velocity(tgt[j]) - kept[k].dv2};
    }
    std::vector<TransferElements> batch(kept.size());
    const double batch_s = best_of(repeats, [&] {
        for (std::size_t k = 0; k < arcs.size(); k += 32) {
            compute_transfer_orbit_elements_batch(arcs.data() + k, std::min<std::size_t>(32, arcs.size() - k), mu,
                                                  batch.data() + k);
        }
        sink_value = batch.back().ta_arrive;
    });

    const double cells = static_cast<double>(grid.cells());
    std::printf("cells %zu, kept %zu, best of %d, one worker\n", grid.cells(), kept.size(), repeats);
    std::printf("grid      %8.1f ns/cell\n", grid_s * 1e9 / cells);
    std::printf("best_dv   %8.1f ns/cell\n", dv_s * 1e9 / cells);
    std::printf("elements  %8.1f ns/kept arc\n", el_s * 1e9 / static_cast<double>(kept.size()));
    std::printf("elements in pairs %8.1f ns/kept arc\n", pair_s * 1e9 / static_cast<double>(kept.size()));
    std::printf("elements in a batch [%s] %8.1f ns/kept arc\n", instruction_set_name(isa),
                batch_s * 1e9 / static_cast<double>(kept.size()));
    std::printf("grid / best_dv %.3f\n", grid_s / dv_s);
    // The grid returns the elements of every kept cell's arc, which best_dv does not compute: against best_dv plus
    // those elements in a batch, the two do the same work.
    std::printf("grid / (best_dv + elements in a batch) %.3f\n", grid_s / (dv_s + batch_s));
    return 0;
}
