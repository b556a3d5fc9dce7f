#include "python/lambert_burn_array.hpp"

#include <array>

#include "optimization/burn_elements.hpp"
#include "parallel/thread_pool.hpp"
#include "python/arrays.hpp"
#include "python/docstrings.hpp"

namespace orbelin::py {

namespace {

constexpr auto kFields = with_transfer_elements(std::array<FieldDef, 6>{{
    {"t0", "Departure time for each solution [s] - shape (n,)"},
    {"tf", "Arrival time for each solution [s] - shape (n,)"},
    {"tof", "Time of flight for each solution [s] - shape (n,)"},
    {"cost", "Total cost (delta-v) for each solution [km/s] - shape (n,)"},
    {"dv1", "First burn impulse vector at t0 for each solution [km/s] - shape (n, 3)"},
    {"dv2", "Second burn impulse vector at tf for each solution [km/s] - shape (n, 3)"},
}});

constexpr std::size_t kCostField = 3;

// Below this many records the elements are computed on the calling thread; above, on the pool (each record is
// independent and the kernels are pure, so the values are the same either way).
constexpr std::size_t kParallelRecords = 64;

}  // namespace

const ResultClassDef lambert_burn_array_def{"LambertBurnArray", doc::lambert_burn_array, kFields, 6,
                                            static_cast<int>(kCostField)};

PyObject* lambert_burn_array_type = nullptr;

PyObject* burns_to_python(RecordBlocks records, const State& source_state, const State& target_state,
                          const ArrivalAim& aim, double mu) {
    std::size_t total = 0;
    for (const auto& block : records) total += block.size();
    const auto n = static_cast<npy_intp>(total);
    // Thirteen scalars and two 3-vectors per row, checked as a whole before the first array is made.
    require_memory(concat({"a LambertBurnArray of ", std::to_string(total), " rows"}),
                   static_cast<double>(total) * 19 * sizeof(double));
    // Every row is written below, so the arrays start unfilled: their pages are first touched as the rows are
    // written, while the blocks already read are being released.
    std::array<ResultArray<double>, 15> columns = {
        ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n}),
        ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n, 3}), ResultArray<double>(Shape{n, 3}),
        ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n}),
        ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n}),
        ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n}),    ResultArray<double>(Shape{n}),
    };

    std::size_t row0 = 0;
    for (auto& block : records) {
        auto fill = [&](std::size_t k) {
            const OptimizedLambertSolution& s = block[k];
            const std::size_t i = row0 + k;
            columns[0].data()[i] = s.t0;
            columns[1].data()[i] = s.tf;
            columns[2].data()[i] = s.tf - s.t0;
            columns[3].data()[i] = s.cost;
            for (std::size_t c = 0; c < 3; ++c) {
                columns[4].data()[3 * i + c] = s.dv1[c];
                columns[5].data()[3 * i + c] = s.dv2[c];
            }
            const TransferElements e = burn_transfer_elements(s, source_state, target_state, aim, mu);
            const std::array<double, 9> values{e.sma,       e.ecc,       e.inc, e.raan, e.argp,
                                               e.ta_depart, e.ta_arrive, e.rp,  e.ra};
            for (std::size_t c = 0; c < values.size(); ++c) columns[6 + c].data()[i] = values[c];
        };
        if (block.size() < kParallelRecords) {
            for (std::size_t k = 0; k < block.size(); ++k) fill(k);
        } else {
            parallel_for(global_pool(), block.size(), fill);
        }
        row0 += block.size();
        std::vector<OptimizedLambertSolution>().swap(block);
    }

    std::array<PyRef, 15> arrays;
    for (std::size_t k = 0; k < columns.size(); ++k) arrays[k] = PyRef::steal(columns[k].release());
    return make_result(lambert_burn_array_type, lambert_burn_array_def, arrays);
}

PyObject* burns_to_python(std::vector<OptimizedLambertSolution> records, const State& source_state,
                          const State& target_state, const ArrivalAim& aim, double mu) {
    RecordBlocks blocks;
    blocks.push_back(std::move(records));
    return burns_to_python(std::move(blocks), source_state, target_state, aim, mu);
}

}  // namespace orbelin::py
