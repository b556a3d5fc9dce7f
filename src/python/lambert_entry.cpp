// lambert_izzo_single and lambert_izzo_vec: every solution of each case,
// annotated with its transfer-orbit elements, as a LambertSolutionArray.

#include <algorithm>
#include <vector>

#include "common/constants.hpp"
#include "parallel/thread_pool.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/lambert_batch.hpp"
#include "python/lambert_solution_array.hpp"
#include "solver/lambert_izzo.hpp"

namespace orbelin::py {

namespace {

struct AnnotatedSolution {
    LambertSolution solution;
    TransferElements elements;
};

// The solver arguments shared by every case of a call, in signature order
// after the positions and time of flight.
struct SolveOptions {
    std::uint64_t max_rev;
    bool retrograde;
    double mu;
    double tol;
    std::uint64_t maxiter;
    bool reentry_check;

    static SolveOptions from(const Args& args) {
        return {args.count("max_rev"), args.flag("retrograde"), args.f64("mu"),
                args.f64("tol"),       args.count("maxiter"),  args.flag("reentry_check")};
    }
};

// Solves one case and hands each record, with its elements, to `sink`.
template <class F>
void solve_annotated(const Vec3& r1, const Vec3& r2, double tof, const SolveOptions& o, F&& sink) {
    lambert_izzo_visit(r1, r2, tof, o.mu, o.max_rev, o.retrograde, o.tol, o.maxiter, o.reentry_check, std::nullopt,
                       [&](const LambertSolution& s) {
                           sink(AnnotatedSolution{s, compute_transfer_orbit_elements(r1, s.v1, r2, s.v2, o.mu)});
                       });
}

PyObject* lambert_izzo_single_impl_py(const Args& args) {
    const std::vector<double> r1_values = copy_contiguous(args.array("r1"));
    const std::vector<double> r2_values = copy_contiguous(args.array("r2"));
    if (r1_values.size() != 3 || r2_values.size() != 3) raise_value_error("r1 and r2 must be 1-D arrays of length 3");
    const Vec3 r1 = load_vec3(r1_values.data());
    const Vec3 r2 = load_vec3(r2_values.data());
    const double tof = args.f64("tof");
    const SolveOptions options = SolveOptions::from(args);

    std::vector<AnnotatedSolution> solutions;
    solve_annotated(r1, r2, tof, options, [&](const AnnotatedSolution& a) { solutions.push_back(a); });

    SolutionColumns columns({static_cast<npy_intp>(solutions.size())});
    for (std::size_t k = 0; k < solutions.size(); ++k) columns.write(k, solutions[k].solution, solutions[k].elements);
    return columns.into_result();
}

const BatchMessages kVecMessages{
    "r1 must have shape [..., 3]",
    "r1 and r2 must have matching shapes",
    "Failed to reshape r1",
    "Failed to reshape r2",
    {"Time-of-flight array must be 1D, got ", true},
    "Time-of-flight array cannot be empty",
};

PyObject* lambert_izzo_vec_impl(const Args& args) {
    const LambertBatch batch(args.array("r1"), args.array("r2"), args.object("tof"), 3, kVecMessages);
    const SolveOptions options = SolveOptions::from(args);
    const std::size_t cases = batch.cases();
    if (cases == 0) raise_value_error("No valid solutions found for any input");

    ThreadPool& pool = global_pool();
    auto solve_case = [&](std::size_t c, auto&& sink) {
        const std::size_t row = batch.row_of(c);
        solve_annotated(batch.first().vec3(row), batch.second().vec3(row), batch.tof_of(c), options, sink);
    };

    if (options.max_rev == 0) {
        // Every case yields exactly one record (the direct arc, or the NaN
        // record of a non-positive time of flight), so K = 1 is known before
        // solving and each task writes its slot directly.
        SolutionColumns columns(with_axes(batch.case_shape(), {1}));
        parallel_for(pool, cases, [&](std::size_t c) {
            solve_case(c, [&](const AnnotatedSolution& a) { columns.write(c, a.solution, a.elements); });
        });
        return columns.into_result();
    }

    const auto per_case = parallel_map(pool, cases, [&](std::size_t c) {
        std::vector<AnnotatedSolution> list;
        list.reserve(2 * std::min<std::uint64_t>(options.max_rev, 16) + 1);
        solve_case(c, [&](const AnnotatedSolution& a) { list.push_back(a); });
        return list;
    });
    std::size_t slots = 0;
    for (const auto& list : per_case) slots = std::max(slots, list.size());
    if (slots == 0) raise_value_error("No valid solutions found for any input");

    SolutionColumns columns(with_axes(batch.case_shape(), {static_cast<npy_intp>(slots)}));
    parallel_for(pool, cases, [&](std::size_t c) {
        const auto& list = per_case[c];
        for (std::size_t j = 0; j < list.size(); ++j) columns.write(c * slots + j, list[j].solution, list[j].elements);
    });
    return columns.into_result();
}

constexpr Param kLambertParams[] = {
    required("r1", Kind::Array),        required("r2", Kind::Array),     required("tof", Kind::Object),
    required("max_rev", Kind::Count),   required("retrograde", Kind::Flag), optional("mu", mu_earth),
    optional("tol", 1e-8),              optional_count("maxiter", 50),  optional_flag("reentry_check", false),
};

constexpr Param kLambertSingleParams[] = {
    required("r1", Kind::Array1D),      required("r2", Kind::Array1D),   required("tof", Kind::Float),
    required("max_rev", Kind::Count),   required("retrograde", Kind::Flag), optional("mu", mu_earth),
    optional("tol", 1e-8),              optional_count("maxiter", 50),  optional_flag("reentry_check", false),
};

}  // namespace

const FunctionDef lambert_izzo_single_def{"lambert_izzo_single", kLambertSingleParams, doc::lambert_izzo_single,
                                          lambert_izzo_single_impl_py};
const FunctionDef lambert_izzo_vec_def{"lambert_izzo_vec", kLambertParams, doc::lambert_izzo_vec,
                                       lambert_izzo_vec_impl};

}  // namespace orbelin::py
