// lambert_izzo_jacobian: the partial derivatives of every solution's terminal velocities, in the slots of
// lambert_izzo_vec. The derivatives live in solver/lambert_jacobian; this file binds, loops and fills one array.

#include <algorithm>
#include <optional>

#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/lambert_batch.hpp"
#include "python/ragged_batch.hpp"
#include "solver/lambert_jacobian.hpp"

namespace orbelin::py {

namespace {

// One array of shape S + (6, 7), created unwritten.
struct JacobianColumns {
    static constexpr std::size_t values = jacobian_rows * jacobian_cols;
    static constexpr std::size_t bytes_per_slot = values * sizeof(double);

    explicit JacobianColumns(const Shape& s)
        : jacobian(with_axes(s, {static_cast<npy_intp>(jacobian_rows), static_cast<npy_intp>(jacobian_cols)})) {}

    void write(std::size_t slot, const LambertSolution&, const LambertJacobian& j) const noexcept {
        std::copy(j.begin(), j.end(), jacobian.data() + values * slot);
    }

    void pad(std::size_t slot) const noexcept {
        std::copy(nan_jacobian.begin(), nan_jacobian.end(), jacobian.data() + values * slot);
    }

    PyObject* into_result() { return jacobian.release(); }

    ResultArray<double> jacobian;
};

PyObject* lambert_izzo_jacobian_impl(const Args& args) {
    const LambertBatch batch(args.array("r1"), args.array("r2"), args.object("tof"), /*width=*/3,
                             position_pair_messages());
    LambertSettings options = lambert_settings(args);
    options.retrograde = args.flag("retrograde");

    const RaggedSpec spec =
        lambert_ragged_spec("lambert_izzo_jacobian", batch, options, "No valid solutions found for any input");
    return collect_ragged<JacobianColumns>(
        spec, [&] { return batch.view(); },
        [&](std::size_t c, const auto& v) {
            const std::size_t row = batch.row_of(c);
            return lambert_izzo_count(v.first.vec3(row), v.second.vec3(row), batch.tof_of(c), options);
        },
        case_by_case([&](std::size_t c, const auto& v, auto&& sink) {
            const std::size_t row = batch.row_of(c);
            lambert_izzo_jacobian_visit(v.first.vec3(row), v.second.vec3(row), batch.tof_of(c), options, sink);
        }));
}

constexpr Param kJacobianParams[] = {
    required("r1", Kind::Array),
    required("r2", Kind::Array),
    required("tof", Kind::Object),
    required("max_rev", Kind::Count),
    required("retrograde", Kind::Flag),
    kMuParam,
    kTolParam,
    kMaxiterParam,
};

}  // namespace

const FunctionDef lambert_izzo_jacobian_def{"lambert_izzo_jacobian", kJacobianParams, doc::lambert_izzo_jacobian,
                                            lambert_izzo_jacobian_impl};

}  // namespace orbelin::py
