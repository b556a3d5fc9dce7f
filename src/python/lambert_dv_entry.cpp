// lambert_izzo_vec_dv and lambert_izzo_best_dv: impulse budgets between two
// batches of states. dv1 = v1 - u1 at departure, dv2 = u2 - v2 at arrival.

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "common/constants.hpp"
#include "parallel/thread_pool.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/lambert_batch.hpp"
#include "solver/lambert_impulses.hpp"
#include "solver/lambert_izzo.hpp"

namespace orbelin::py {

namespace {

// One case of a delta-v function: the two states of its row and its time.
struct DvCase {
    Vec3 r1, u1, r2, u2;
    double tof;
};

DvCase dv_case(const LambertBatch& batch, std::size_t c) {
    const std::size_t row = batch.row_of(c);
    const State s1 = batch.first().state(row);
    const State s2 = batch.second().state(row);
    return {position(s1), velocity(s1), position(s2), velocity(s2), batch.tof_of(c)};
}

// Five result arrays: three magnitudes of shape S and two vectors of S + (3,).
struct ImpulseColumns {
    ImpulseColumns(const Shape& s, double fill)
        : dv1_mag(s, fill), dv2_mag(s, fill), total(s, fill), dv1(with_axes(s, {3}), fill),
          dv2(with_axes(s, {3}), fill) {}

    void write(std::size_t slot, const Impulses& i) const noexcept {
        dv1_mag.data()[slot] = i.dv1_mag;
        dv2_mag.data()[slot] = i.dv2_mag;
        total.data()[slot] = i.total;
        double* a = dv1.data() + 3 * slot;
        double* b = dv2.data() + 3 * slot;
        a[0] = i.dv1.x, a[1] = i.dv1.y, a[2] = i.dv1.z;
        b[0] = i.dv2.x, b[1] = i.dv2.y, b[2] = i.dv2.z;
    }

    PyObject* into_tuple() {
        std::array<PyRef, 5> items = {PyRef::steal(dv1_mag.release()), PyRef::steal(dv2_mag.release()),
                                      PyRef::steal(total.release()), PyRef::steal(dv1.release()),
                                      PyRef::steal(dv2.release())};
        return new_tuple(items);
    }

    ResultArray<double> dv1_mag, dv2_mag, total, dv1, dv2;
};

const BatchMessages kVecDvMessages{
    "s1 must have shape [..., 6]",
    "s1 and s2 must have matching shapes",
    "Failed to reshape s1",
    "Failed to reshape s2",
    {"Time-of-flight array must be 1D, got ", true},
    "Time-of-flight array cannot be empty",
};

PyObject* lambert_izzo_vec_dv_impl(const Args& args) {
    const LambertBatch batch(args.array("s1"), args.array("s2"), args.object("tof"), 6, kVecDvMessages);
    const std::uint64_t max_rev = args.count("max_rev");
    const bool retrograde = args.flag("retrograde");
    const double mu = args.f64("mu");
    const double tol = args.f64("tol");
    const std::uint64_t maxiter = args.count("maxiter");
    const bool reentry_check = args.flag("reentry_check");
    const std::size_t cases = batch.cases();
    if (cases == 0) raise_value_error("No solutions found for any input");

    auto solve_case = [&](std::size_t c, auto&& sink) {
        const DvCase k = dv_case(batch, c);
        lambert_izzo_visit(k.r1, k.r2, k.tof, mu, max_rev, retrograde, tol, maxiter, reentry_check,
                           collinear_reference_normal(k.r1, k.u1, k.r2),
                           [&](const LambertSolution& s) { sink(lambert_impulses(s, k.u1, k.u2)); });
    };
    ThreadPool& pool = global_pool();

    if (max_rev == 0) {
        // Exactly one record per case: K = 1, written in place by the tasks.
        ImpulseColumns columns(with_axes(batch.case_shape(), {1}), nan);
        parallel_for(pool, cases, [&](std::size_t c) {
            solve_case(c, [&](const Impulses& i) { columns.write(c, i); });
        });
        return columns.into_tuple();
    }

    const auto per_case = parallel_map(pool, cases, [&](std::size_t c) {
        std::vector<Impulses> list;
        list.reserve(2 * std::min<std::uint64_t>(max_rev, 16) + 1);
        solve_case(c, [&](const Impulses& i) { list.push_back(i); });
        return list;
    });
    std::size_t slots = 0;
    for (const auto& list : per_case) slots = std::max(slots, list.size());
    if (slots == 0) raise_value_error("No solutions found for any input");

    ImpulseColumns columns(with_axes(batch.case_shape(), {static_cast<npy_intp>(slots)}), nan);
    for (std::size_t c = 0; c < cases; ++c) {
        for (std::size_t j = 0; j < per_case[c].size(); ++j) columns.write(c * slots + j, per_case[c][j]);
    }
    return columns.into_tuple();
}

const BatchMessages kBestDvMessages{
    "s1 must have shape [..., 6]",
    "s1 and s2 must have matching shapes",
    concat({"Reshape s1 failed: ", kIncompatibleLayout}),
    concat({"Reshape s2 failed: ", kIncompatibleLayout}),
    {"Time-of-flight must be 1D", false},
    nullptr,
};

PyObject* lambert_izzo_best_dv_impl(const Args& args) {
    const LambertBatch batch(args.array("s1"), args.array("s2"), args.object("tof"), 6, kBestDvMessages);
    const std::uint64_t max_rev = args.count("max_rev");
    const double mu = args.f64("mu");
    const double tol = args.f64("tol");
    const std::uint64_t maxiter = args.count("maxiter");
    const bool rendezvous = args.flag("rendezvous");
    const bool reentry_check = args.flag("reentry_check");
    const std::size_t cases = batch.cases();

    // With an empty time list there are no cases while the batch axes may not
    // be empty: the flat results then cannot take the batch shape.
    const Shape shape = batch.case_shape();
    require_reshape(cases, shape, "Reshape dv1_mag: ");

    const BestArcOptions options{mu, max_rev, tol, maxiter, reentry_check, rendezvous};
    const Impulses none{nan, nan, nan, {nan, nan, nan}, {nan, nan, nan}};
    ImpulseColumns columns(shape, 0.0);
    parallel_for(global_pool(), cases, [&](std::size_t c) {
        const DvCase k = dv_case(batch, c);
        const auto best = best_lambert_impulses(k.r1, k.u1, k.r2, k.u2, k.tof, options);
        columns.write(c, best.value_or(none));
    });
    return columns.into_tuple();
}

constexpr Param kVecDvParams[] = {
    required("s1", Kind::Array),      required("s2", Kind::Array),        required("tof", Kind::Object),
    required("max_rev", Kind::Count), required("retrograde", Kind::Flag), optional("mu", mu_earth),
    optional("tol", 1e-8),            optional_count("maxiter", 50),      optional_flag("reentry_check", false),
};

constexpr Param kBestDvParams[] = {
    required("s1", Kind::Array),      required("s2", Kind::Array),   required("tof", Kind::Object),
    required("max_rev", Kind::Count), optional("mu", mu_earth),      optional("tol", 1e-8),
    optional_count("maxiter", 50),    optional_flag("rendezvous", true), optional_flag("reentry_check", false),
};

}  // namespace

const FunctionDef lambert_izzo_vec_dv_def{"lambert_izzo_vec_dv", kVecDvParams, doc::lambert_izzo_vec_dv,
                                          lambert_izzo_vec_dv_impl};
const FunctionDef lambert_izzo_best_dv_def{"lambert_izzo_best_dv", kBestDvParams, doc::lambert_izzo_best_dv,
                                           lambert_izzo_best_dv_impl};

}  // namespace orbelin::py
