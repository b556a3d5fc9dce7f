// lambert_porkchop: every departure state against every arrival state, the cheapest arc of each cell, as a
// LambertPorkchopArray. The cell rule lives in optimization/porkchop; this file binds, loops and fills.

#include <cstdint>
#include <string>
#include <vector>

#include "optimization/porkchop.hpp"
#include "parallel/thread_pool.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/lambert_batch.hpp"
#include "python/lambert_porkchop_array.hpp"

namespace orbelin::py {

namespace {

constexpr auto& kColumns = lambert_porkchop_columns;
constexpr std::size_t kDv1 = column_index(kColumns, "dv1");
constexpr std::size_t kDv2 = column_index(kColumns, "dv2");
constexpr std::size_t kDv1Mag = column_index(kColumns, "dv1_mag");
constexpr std::size_t kDv2Mag = column_index(kColumns, "dv2_mag");
constexpr std::size_t kTotal = column_index(kColumns, "total");
constexpr std::size_t kC3 = column_index(kColumns, "c3");
constexpr std::size_t kTof = column_index(kColumns, "tof");
constexpr std::size_t kNumRevs = column_index(kColumns, "num_revs");
constexpr std::size_t kPathFlag = column_index(kColumns, "path_flag");
constexpr std::size_t kRetrograde = column_index(kColumns, "retrograde");
constexpr std::size_t kBestIndex = column_index(kColumns, "best_index");

using Columns = ColumnArrays<kColumns>;

// One side of the scan: its states, checked to be (count, 6), and one date per state.
PorkchopSide read_side(const Args& args, const char* states_name, const char* times_name, const char* count_name,
                       bool departures) {
    PyArrayObject* states = args.array(states_name);
    if (PyArray_NDIM(states) != 2 || !has_last_axis(states, 6)) {
        raise_value_error(concat({states_name, " must have shape (", count_name, ", 6)"}));
    }
    std::vector<double> times = copy_contiguous(args.array(times_name));
    const std::size_t count = batch_count(states);
    if (times.size() != count) {
        raise_value_error(concat({times_name, " must hold one time per row of ", states_name, ": ",
                                  std::to_string(count), " rows, ", std::to_string(times.size()), " times"}));
    }
    // n + m states serve n x m cells: copied out once, so that no view of the arrays has to outlive the checks.
    const Rows rows(states, concat({"Failed to reshape ", states_name}));
    std::vector<State> copied(count);
    rows.with_layout([&](const auto& reader) {
        for (std::size_t i = 0; i < count; ++i) copied[i] = reader.state(i);
    });
    return porkchop_side(std::move(copied), std::move(times), departures);
}

void write_cell(const Columns& columns, std::size_t c, const BestArc& best, double tof) noexcept {
    const Impulses& i = best.impulses;
    double* dv1 = columns.at<kDv1>(c);
    double* dv2 = columns.at<kDv2>(c);
    dv1[0] = i.dv1.x, dv1[1] = i.dv1.y, dv1[2] = i.dv1.z;
    dv2[0] = i.dv2.x, dv2[1] = i.dv2.y, dv2[2] = i.dv2.z;
    *columns.at<kDv1Mag>(c) = i.dv1_mag;
    *columns.at<kDv2Mag>(c) = i.dv2_mag;
    *columns.at<kTotal>(c) = i.total;
    *columns.at<kC3>(c) = i.dv1_mag * i.dv1_mag;
    *columns.at<kTof>(c) = tof;
    *columns.at<kNumRevs>(c) = best.num_revs;
    *columns.at<kPathFlag>(c) = best.path_flag;
    *columns.at<kRetrograde>(c) = best.retrograde;
}

PyObject* lambert_porkchop_impl(const Args& args) {
    const PorkchopSide departures = read_side(args, "departure_states", "departure_times", "n", true);
    const PorkchopSide arrivals = read_side(args, "arrival_states", "arrival_times", "m", false);
    const BestArcOptions options{.solver = lambert_settings(args), .rendezvous = args.flag("rendezvous")};

    const std::size_t n = departures.times.size();
    const std::size_t m = arrivals.times.size();
    require_result_memory("lambert_porkchop", n * m, /*slots=*/1, Columns::bytes_per_slot);
    // Every cell is written by the loop (an arc, or the fill values), so the arrays start unwritten.
    Columns columns(Shape{static_cast<npy_intp>(n), static_cast<npy_intp>(m)});

    global_pool().run(n * m, /*grain=*/0, [&](std::size_t begin, std::size_t end) {
        porkchop_cells(begin, end, departures, arrivals, options,
                       [&](std::size_t c, const std::optional<BestArc>& best) {
                           const double tof = arrivals.times[c % m] - departures.times[c / m];
                           if (best) {
                               write_cell(columns, c, *best, tof);
                               return;
                           }
                           columns.pad(c);
                           if (tof > 0.0) *columns.at<kTof>(c) = tof;
                       });
    });

    // The cheapest cell by the cost the arcs were chosen by.
    const double* costs = options.rendezvous ? columns.at<kTotal>(0) : columns.at<kDv1Mag>(0);
    const std::size_t best = cheapest_cell({costs, n * m});
    std::int64_t* index = columns.whole<kBestIndex>();
    index[0] = best == no_cell ? -1 : static_cast<std::int64_t>(best / m);
    index[1] = best == no_cell ? -1 : static_cast<std::int64_t>(best % m);

    auto arrays = columns.release();
    return make_result(lambert_porkchop_array_type, lambert_porkchop_array_def, arrays);
}

constexpr Param kPorkchopParams[] = {
    required("departure_states", Kind::Array),
    required("arrival_states", Kind::Array),
    required("departure_times", Kind::Array1D),
    required("arrival_times", Kind::Array1D),
    optional_count("max_rev", default_lambert_settings.max_rev),
    kMuParam,
    optional_flag("rendezvous", true),
    kTolParam,
    kMaxiterParam,
};

}  // namespace

// Cells of a (n, m) scan: two axes before any vector axis.
const ResultClassDef lambert_porkchop_array_def{
    "LambertPorkchopArray", doc::lambert_porkchop_array, kColumns, "n, m", 2, 2};
PyObject* lambert_porkchop_array_type = nullptr;

const FunctionDef lambert_porkchop_def{"lambert_porkchop", kPorkchopParams, doc::lambert_porkchop,
                                       lambert_porkchop_impl};

}  // namespace orbelin::py
