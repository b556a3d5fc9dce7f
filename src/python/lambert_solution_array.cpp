#include "python/lambert_solution_array.hpp"

#include "python/docstrings.hpp"

namespace orbelin::py {

namespace {

constexpr auto& kColumns = lambert_solution_columns;
constexpr std::size_t kV1 = column_index(kColumns, "v1");
constexpr std::size_t kV2 = column_index(kColumns, "v2");
constexpr std::size_t kTof = column_index(kColumns, "tof");
constexpr std::size_t kNumRevs = column_index(kColumns, "num_revs");
constexpr std::size_t kPathFlag = column_index(kColumns, "path_flag");
constexpr std::size_t kRetrograde = column_index(kColumns, "retrograde");
constexpr std::size_t kElements = column_index(kColumns, "sma");

void put3(double* out, const Vec3& v) noexcept {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

}  // namespace

// A scalar field has the batch axes, the time axis (two or more times of flight) and the solution axis: one or more
// axes, K the last.
const ResultClassDef lambert_solution_array_def{"LambertSolutionArray", doc::lambert_solution_array, kColumns, "..., K",
                                                1};

PyObject* lambert_solution_array_type = nullptr;

void SolutionColumns::write(std::size_t slot, const LambertSolution& sol, const TransferElements& el) const noexcept {
    put3(arrays_.at<kV1>(slot), sol.v1);
    put3(arrays_.at<kV2>(slot), sol.v2);
    *arrays_.at<kTof>(slot) = sol.tof;
    *arrays_.at<kNumRevs>(slot) = sol.num_revs;
    *arrays_.at<kPathFlag>(slot) = sol.path_flag;
    *arrays_.at<kRetrograde>(slot) = sol.retrograde;
    arrays_.put_elements<kElements>(slot, el);
}

PyObject* SolutionColumns::into_result() {
    auto arrays = arrays_.release();
    return make_result(lambert_solution_array_type, lambert_solution_array_def, arrays);
}

}  // namespace orbelin::py
