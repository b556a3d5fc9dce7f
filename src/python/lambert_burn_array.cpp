#include "python/lambert_burn_array.hpp"

#include "python/arrays.hpp"
#include "python/docstrings.hpp"

namespace orbelin::py {

namespace {

constexpr auto& kColumns = lambert_burn_columns;
constexpr std::size_t kT0 = column_index(kColumns, "t0");
constexpr std::size_t kTf = column_index(kColumns, "tf");
constexpr std::size_t kTof = column_index(kColumns, "tof");
constexpr std::size_t kCost = column_index(kColumns, "cost");
constexpr std::size_t kDv1 = column_index(kColumns, "dv1");
constexpr std::size_t kDv2 = column_index(kColumns, "dv2");
constexpr std::size_t kElements = column_index(kColumns, "sma");

}  // namespace

// One row per transfer: every field has exactly one axis before any vector axis.
const ResultClassDef lambert_burn_array_def{"LambertBurnArray", doc::lambert_burn_array, kColumns, "n", 1, 1};

PyObject* lambert_burn_array_type = nullptr;

namespace {

void put_row(const BurnColumns& columns, std::size_t i, const OptimizedLambertSolution& s,
             const TransferElements& elements) noexcept {
    *columns.at<kT0>(i) = s.t0;
    *columns.at<kTf>(i) = s.tf;
    *columns.at<kTof>(i) = s.tf - s.t0;
    *columns.at<kCost>(i) = s.cost;
    for (std::size_t c = 0; c < 3; ++c) {
        columns.at<kDv1>(i)[c] = s.dv1[c];
        columns.at<kDv2>(i)[c] = s.dv2[c];
    }
    columns.put_elements<kElements>(i, elements);
}

}  // namespace

void put_burn(const BurnColumns& columns, std::size_t i, const Burn& row) noexcept {
    put_row(columns, i, row.transfer, row.elements);
}

void put_burns(const BurnColumns& columns, const std::size_t* rows, const OptimizedLambertSolution* transfers,
               const TransferElements* elements, std::size_t n) noexcept {
    for (std::size_t r = 0; r < n; ++r) put_row(columns, rows[r], transfers[r], elements[r]);
}

PyObject* burn_array(BurnColumns& columns) {
    auto arrays = columns.release();
    return make_result(lambert_burn_array_type, lambert_burn_array_def, arrays);
}

PyObject* burns_to_python(BurnBlocks burns) {
    std::size_t total = 0;
    for (const auto& block : burns) total += block.size();
    const auto n = static_cast<npy_intp>(total);
    // Checked as a whole before the first array is made.
    require_memory(concat({"a LambertBurnArray of ", std::to_string(total), " rows"}),
                   static_cast<double>(total) * burn_row_bytes);
    // Every row is written below, so the arrays start unfilled: their pages are first touched as the rows are
    // written, while the blocks already read are being released.
    BurnColumns columns(Shape{n});

    std::size_t row0 = 0;
    for (auto& block : burns) {
        for (std::size_t k = 0; k < block.size(); ++k) put_burn(columns, row0 + k, block[k]);
        row0 += block.size();
        std::vector<Burn>().swap(block);
    }

    return burn_array(columns);
}

PyObject* burns_to_python(std::vector<Burn> burns) {
    BurnBlocks blocks;
    blocks.push_back(std::move(burns));
    return burns_to_python(std::move(blocks));
}

}  // namespace orbelin::py
