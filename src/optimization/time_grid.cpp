#include "optimization/time_grid.hpp"

#include <algorithm>
#include <cmath>

namespace orbelin {

GridStatus TimeGrid::build(double lo, double hi, double step, std::uint64_t max_cells, TimeGrid& grid) {
    grid = TimeGrid{};
    if (!(step > 0.0)) return GridStatus::bad_step;
    if (!std::isfinite(lo) || !std::isfinite(hi)) return GridStatus::bad_bounds;
    if (!(hi >= lo) || !(hi >= lo + step)) return GridStatus::ok;

    if (lo + step == lo) {
        grid.stalled_at_ = lo;
        return GridStatus::step_stalls;
    }

    const auto cells_of = [](double m) { return m * (m - 1.0) / 2.0; };
    const double limit = static_cast<double>(max_cells);
    // Refuse a grid too large for the caller before walking it (the walk of an enormous window would itself take
    // very long); the count from the quotient is off from the walked one by at most a value or two of rounding,
    // and the walk below keeps the limit exact.
    if (cells_of(std::floor((hi - lo) / step) - 1.0) > limit) return GridStatus::too_many_cells;

    std::vector<double> values{lo};
    for (double t = lo;;) {
        const double next = t + step;
        if (!(next <= hi)) break;
        if (next == t) {
            grid.stalled_at_ = t;
            return GridStatus::step_stalls;
        }
        if (cells_of(static_cast<double>(values.size() + 1)) > limit) return GridStatus::too_many_cells;
        values.push_back(next);
        t = next;
    }

    const std::size_t m = values.size();
    grid.row_start_.resize(m);
    std::size_t start = 0;
    for (std::size_t row = 0; row < m; ++row) {
        grid.row_start_[row] = start;
        start += m - 1 - row;
    }
    grid.cells_ = start;
    grid.values_ = std::move(values);
    return GridStatus::ok;
}

std::size_t TimeGrid::row_of(std::size_t cell) const noexcept {
    // Last row whose first cell is at or before `cell`; rows of zero cells (the last value) never match.
    const auto it = std::upper_bound(row_start_.begin(), row_start_.end() - 1, cell);
    return static_cast<std::size_t>(it - row_start_.begin()) - 1;
}

}  // namespace orbelin
