// lambert_izzo_vec_dv and lambert_izzo_best_dv: impulse budgets between two
// batches of states. The delta-v rules live in solver/lambert_impulses; this
// file binds the arguments, loops over the cases and fills the arrays.

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "common/constants.hpp"
#include "parallel/thread_pool.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/lambert_batch.hpp"
#include "python/ragged_batch.hpp"
#include "solver/lambert_impulses.hpp"

namespace orbelin::py {

namespace {

// One case of a delta-v function: the two states of its row and its time.
struct DvCase {
    Vec3 r1, u1, r2, u2;
    double tof = 0.0;
};

// Inlined into the loops that stage the cases, so that the states go straight into the staged case instead of
// through a returned record.
template <class Readers>
[[gnu::always_inline]] inline DvCase dv_case(const LambertBatch& batch, const Readers& view, std::size_t c) {
    const std::size_t row = batch.row_of(c);
    const State s1 = view.first.state(row);
    const State s2 = view.second.state(row);
    return {position(s1), velocity(s1), position(s2), velocity(s2), batch.tof_of(c)};
}

// The same case as the batch solvers of solver/lambert_impulses take it.
template <class Readers>
[[gnu::always_inline]] inline ImpulseCase impulse_case(const LambertBatch& batch, const Readers& view, std::size_t c) {
    const DvCase k = dv_case(batch, view, c);
    return {arc_ends(k.r1, k.r2), k.u1, k.u2, std::nullopt, k.tof, /*normal_of_u1=*/true};
}

// Five result arrays, created unwritten: three magnitudes of shape S and two vectors of S + (3,).
struct ImpulseColumns {
    static constexpr std::size_t bytes_per_slot = 9 * sizeof(double);

    explicit ImpulseColumns(const Shape& s) : ImpulseColumns(s, SharedResultBlock(arrays_bytes(s))) {}

    void write(std::size_t slot, const Impulses& i) const noexcept {
        dv1_mag.data()[slot] = i.dv1_mag;
        dv2_mag.data()[slot] = i.dv2_mag;
        total.data()[slot] = i.total;
        double* a = dv1.data() + 3 * slot;
        double* b = dv2.data() + 3 * slot;
        a[0] = i.dv1.x, a[1] = i.dv1.y, a[2] = i.dv1.z;
        b[0] = i.dv2.x, b[1] = i.dv2.y, b[2] = i.dv2.z;
    }

    void pad(std::size_t slot) const noexcept { write(slot, nan_impulses); }

    // The `count` slots from `first` on, one stretch of each array.
    void pad(std::size_t first, std::size_t count) const noexcept {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        std::fill_n(dv1_mag.data() + first, count, nan);
        std::fill_n(dv2_mag.data() + first, count, nan);
        std::fill_n(total.data() + first, count, nan);
        std::fill_n(dv1.data() + 3 * first, 3 * count, nan);
        std::fill_n(dv2.data() + 3 * first, 3 * count, nan);
    }

    PyObject* into_result() {
        std::array<PyRef, 5> items = {PyRef::steal(dv1_mag.release()), PyRef::steal(dv2_mag.release()),
                                      PyRef::steal(total.release()), PyRef::steal(dv1.release()),
                                      PyRef::steal(dv2.release())};
        return new_tuple(items);
    }

    ResultArray<double> dv1_mag, dv2_mag, total, dv1, dv2;

private:
    // The bytes of the arrays that share a block of memory (SharedResultBlock) when they are made together.
    static std::size_t arrays_bytes(const Shape& s) noexcept {
        return 9 * element_count(s) * sizeof(double);  // three magnitudes and two vectors
    }

    ImpulseColumns(const Shape& s, const SharedResultBlock& /*while the arrays are made*/)
        : dv1_mag(s), dv2_mag(s), total(s), dv1(with_axes(s, {3})), dv2(with_axes(s, {3})) {}
};

// Built on first use: its texts are strings, whose construction at load time could throw where nothing catches.
const BatchMessages& vec_dv_messages() {
    static const BatchMessages messages{
        "s1 must have shape [..., 6]",
        "s1 and s2 must have matching shapes",
        "Failed to reshape s1",
        "Failed to reshape s2",
        {"Time-of-flight array must be 1D, got ", true},
        "Time-of-flight array cannot be empty",
    };
    return messages;
}

PyObject* lambert_izzo_vec_dv_impl(const Args& args) {
    const LambertBatch batch(args.array("s1"), args.array("s2"), args.object("tof"), /*width=*/6, vec_dv_messages());
    LambertSettings options = lambert_settings(args);
    options.retrograde = args.flag("retrograde");

    const RaggedSpec spec =
        lambert_ragged_spec("lambert_izzo_vec_dv", batch, options, "No solutions found for any input");
    return collect_ragged<ImpulseColumns>(
        spec, [&] { return batch.view(); },
        [&](std::size_t c, const auto& v) {
            const DvCase k = dv_case(batch, v, c);
            return arc_impulses_count(k.r1, k.u1, k.r2, k.tof, options);
        },
        [&](std::size_t begin, std::size_t end, const auto& v, auto&& emit) {
            visit_arc_impulses_run(
                begin, end, [&](std::size_t c) { return impulse_case(batch, v, c); }, options,
                [&](std::size_t c, const Impulses& i) { emit(c, i); });
        });
}

// Built on first use: its texts are strings, whose construction at load time could throw where nothing catches.
const BatchMessages& best_dv_messages() {
    static const BatchMessages messages{
        "s1 must have shape [..., 6]",
        "s1 and s2 must have matching shapes",
        concat({"Reshape s1 failed: ", kIncompatibleLayout}),
        concat({"Reshape s2 failed: ", kIncompatibleLayout}),
        {"Time-of-flight must be 1D", false},
        nullptr,
    };
    return messages;
}

PyObject* lambert_izzo_best_dv_impl(const Args& args) {
    const LambertBatch batch(args.array("s1"), args.array("s2"), args.object("tof"), /*width=*/6, best_dv_messages());
    const BestArcOptions options{.solver = lambert_settings(args), .rendezvous = args.flag("rendezvous")};
    const std::size_t cases = batch.cases();

    // With an empty time list there are no cases while the batch axes may not
    // be empty: the flat results then cannot take the batch shape.
    const Shape shape = batch.case_shape();
    require_reshape(cases, shape, "Reshape dv1_mag: ");
    require_result_memory("lambert_izzo_best_dv", cases, /*slots=*/1, ImpulseColumns::bytes_per_slot);

    // Every case writes all nine values of its element, so the arrays start unwritten.
    ImpulseColumns columns(shape);
    batch.view().with_layout([&](const auto& view) {
        global_pool().run(cases, /*grain=*/0, [&](std::size_t begin, std::size_t end) {
            best_lambert_arcs_run(
                begin, end, [&](std::size_t c) { return impulse_case(batch, view, c); }, options,
                [&](std::size_t c, const std::optional<BestArc>& best) {
                    columns.write(c, best ? best->impulses : nan_impulses);
                });
        });
    });
    return columns.into_result();
}

constexpr Param kVecDvParams[] = {
    required("s1", Kind::Array),
    required("s2", Kind::Array),
    required("tof", Kind::Object),
    required("max_rev", Kind::Count),
    required("retrograde", Kind::Flag),
    kMuParam,
    kTolParam,
    kMaxiterParam,
    kReentryCheckParam,
};

constexpr Param kBestDvParams[] = {
    required("s1", Kind::Array),
    required("s2", Kind::Array),
    required("tof", Kind::Object),
    required("max_rev", Kind::Count),
    kMuParam,
    kTolParam,
    kMaxiterParam,
    optional_flag("rendezvous", true),
    kReentryCheckParam,
};

}  // namespace

const FunctionDef lambert_izzo_vec_dv_def{"lambert_izzo_vec_dv", kVecDvParams, doc::lambert_izzo_vec_dv,
                                          lambert_izzo_vec_dv_impl};
const FunctionDef lambert_izzo_best_dv_def{"lambert_izzo_best_dv", kBestDvParams, doc::lambert_izzo_best_dv,
                                           lambert_izzo_best_dv_impl};

}  // namespace orbelin::py
