#pragma once
// The regular grid of departure and arrival times scanned by the grid searches.
//
// Grid values are formed by repeated addition of the step, never by multiplication: x_0 = lo, x_{k+1} = x_k + step,
// kept while x_k <= hi. The cells are all pairs (x_i, x_j) with i < j, row by row (ascending t0) and within a row by
// ascending tf, which is exactly the set a row-by-row walk of t0 and tf by repeated addition visits. The cells are
// indexed rather than stored, so a scan holds only its m grid values and its results.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace orbelin {

enum class GridStatus : std::uint8_t {
    ok,
    bad_step,        // the step is zero, negative or NaN
    bad_bounds,      // a bound of the window is infinite or NaN
    too_many_cells,  // more cells than the caller's limit
    step_stalls,     // adding the step no longer moves the time forward (the step is below the rounding of t)
};

class TimeGrid {
public:
    // Builds the grid of window [lo, hi] and step `step`, refusing it (status other than ok, grid left empty)
    // before anything large is allocated. A window shorter than one step is an ordinary empty grid.
    static GridStatus build(double lo, double hi, double step, std::uint64_t max_cells, TimeGrid& grid);

    std::size_t cells() const noexcept { return cells_; }
    bool empty() const noexcept { return cells_ == 0; }
    // The value at which building stalled (step_stalls).
    double stalled_at() const noexcept { return stalled_at_; }

    // The grid values x_0 ... x_{m-1}; cell (i, j) departs at x_i and arrives at x_j.
    const std::vector<double>& values() const noexcept { return values_; }

    // Calls f(k, i, j) for the cells k = begin ... end - 1 in grid order, cell k being (x_i, x_j).
    template <class F>
    void for_cell_indices(std::size_t begin, std::size_t end, F&& f) const {
        if (begin >= end) return;
        std::size_t row = row_of(begin);
        std::size_t col = row + 1 + (begin - row_start_[row]);
        const std::size_t m = values_.size();
        for (std::size_t k = begin; k < end; ++k) {
            f(k, row, col);
            if (++col == m) {
                ++row;
                col = row + 1;
            }
        }
    }

    // Calls f(k, t0, tf) for the cells k = begin ... end - 1 in grid order.
    template <class F>
    void for_cells(std::size_t begin, std::size_t end, F&& f) const {
        for_cell_indices(begin, end,
                         [&](std::size_t k, std::size_t i, std::size_t j) { f(k, values_[i], values_[j]); });
    }

private:
    std::size_t row_of(std::size_t cell) const noexcept;

    std::vector<double> values_;
    std::vector<std::size_t> row_start_;  // index of the first cell of each row
    std::size_t cells_ = 0;
    double stalled_at_ = 0.0;
};

}  // namespace orbelin
