// lambert_izzo_single and lambert_izzo_vec: every solution of each case,
// annotated with its transfer-orbit elements, as a LambertSolutionArray.

#include <vector>

#include "common/constants.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/lambert_batch.hpp"
#include "python/lambert_solution_array.hpp"
#include "python/ragged_batch.hpp"
#include "solver/lambert_impulses.hpp"

namespace orbelin::py {

namespace {

// Every record of the single case, on the calling thread.
PyObject* lambert_izzo_single_impl_py(const Args& args) {
    const std::vector<double> r1_values = copy_contiguous(args.array("r1"));
    const std::vector<double> r2_values = copy_contiguous(args.array("r2"));
    if (r1_values.size() != 3 || r2_values.size() != 3) raise_value_error("r1 and r2 must be 1-D arrays of length 3");
    const Vec3 r1 = load_vec3(r1_values.data());
    const Vec3 r2 = load_vec3(r2_values.data());
    const double tof = args.f64("tof");
    LambertSettings options = lambert_settings(args);
    options.retrograde = args.flag("retrograde");

    const RaggedSpec spec{"lambert_izzo_single", 1, {}, std::nullopt, nullptr, false};
    return collect_ragged<SolutionColumns>(
        spec, [] { return 0; }, [&](std::size_t, int) { return annotated_arc_count(r1, r2, tof, options); },
        case_by_case([&](std::size_t, int, auto&& sink) { visit_annotated_arcs(r1, r2, tof, options, sink); }));
}

PyObject* lambert_izzo_vec_impl(const Args& args) {
    const LambertBatch batch(args.array("r1"), args.array("r2"), args.object("tof"), /*width=*/3,
                             position_pair_messages());
    LambertSettings options = lambert_settings(args);
    options.retrograde = args.flag("retrograde");

    const RaggedSpec spec =
        lambert_ragged_spec("lambert_izzo_vec", batch, options, "No valid solutions found for any input");
    return collect_ragged<SolutionColumns>(
        spec, [&] { return batch.view(); },
        [&](std::size_t c, const auto& v) {
            const std::size_t row = batch.row_of(c);
            return annotated_arc_count(v.first.vec3(row), v.second.vec3(row), batch.tof_of(c), options);
        },
        [&](std::size_t begin, std::size_t end, const auto& v, auto&& emit) {
            const auto case_of = [&](std::size_t c) {
                const std::size_t row = batch.row_of(c);
                return LambertCase{v.first.vec3(row), v.second.vec3(row), batch.tof_of(c)};
            };
            visit_annotated_cases(begin, end, case_of, options, emit);
        });
}

constexpr Param kLambertParams[] = {
    required("r1", Kind::Array),
    required("r2", Kind::Array),
    required("tof", Kind::Object),
    required("max_rev", Kind::Count),
    required("retrograde", Kind::Flag),
    kMuParam,
    kTolParam,
    kMaxiterParam,
    kReentryCheckParam,
};

constexpr Param kLambertSingleParams[] = {
    required("r1", Kind::Array1D),
    required("r2", Kind::Array1D),
    required("tof", Kind::Float),
    required("max_rev", Kind::Count),
    required("retrograde", Kind::Flag),
    kMuParam,
    kTolParam,
    kMaxiterParam,
    kReentryCheckParam,
};

}  // namespace

const FunctionDef lambert_izzo_single_def{"lambert_izzo_single", kLambertSingleParams, doc::lambert_izzo_single,
                                          lambert_izzo_single_impl_py};
const FunctionDef lambert_izzo_vec_def{"lambert_izzo_vec", kLambertParams, doc::lambert_izzo_vec,
                                       lambert_izzo_vec_impl};

}  // namespace orbelin::py
