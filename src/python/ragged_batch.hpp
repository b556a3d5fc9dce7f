#pragma once
// The one loop adapter of the batch functions whose cases yield a varying
// number of solutions (lambert_izzo_single, lambert_izzo_vec,
// lambert_izzo_vec_dv): the result has one row of K slots per case, K being
// the largest count of any case, shorter rows padded with fill values.
//
// 1. K: known up front (max_rev = 0 gives one record per case), or the largest
//    per-case count found by the solver's setup alone, in a parallel pass that
//    keeps nothing per case.
// 2. The result is refused with MemoryError before anything is solved when it
//    cannot be held: first at one slot per case, then at K.
// 3. The result arrays are allocated once at their final size and not filled:
//    each task solves its range of cases straight into their slots and pads
//    the rest, so every element is written once, by the thread that owns its
//    row.
//
// Loop assumptions: cases are independent; Columns::write and Columns::pad
// touch only their own slot (disjoint slots may be written concurrently); a Columns::pad(first, count), when
// there is one, pads that stretch of slots at once.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

#include "common/fault.hpp"
#include "parallel/thread_pool.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace orbelin::py {

struct RaggedSpec {
    const char* function;                    // names the call in a MemoryError
    std::size_t cases;                       // numbered 0 .. cases-1
    Shape case_shape;                        // the result's axes before the slot axis
    std::optional<std::size_t> fixed_slots;  // K when every case is known to give exactly that many
    const char* no_solutions;                // ValueError when K = 0 (no cases); null: never raised
    bool parallel = true;                    // false: every case runs on the calling thread
    // A count no case can exceed (2 max_rev + 1 for a Lambert solve), when known: the count pass ends as soon as a
    // case reaches it, since K is then settled. Only for counts that cannot throw past their first case: the pass
    // then stops before cases it would otherwise have refused.
    std::optional<std::size_t> widest_possible = std::nullopt;
};

namespace detail {

template <class Count, class View>
std::size_t widest_case(const RaggedSpec& spec, Count& count, const View& view) {
    const std::size_t bound = spec.widest_possible.value_or(std::numeric_limits<std::size_t>::max());
    if (!spec.parallel) {
        std::size_t widest = 0;
        for (std::size_t c = 0; c < spec.cases && widest < bound; ++c) {
            widest = std::max<std::size_t>(widest, count(c, view));
        }
        return widest;
    }
    std::atomic<std::size_t> widest{0};
    global_pool().run(spec.cases, /*grain=*/0, [&](std::size_t begin, std::size_t end) {
        std::size_t local = 0;
        for (std::size_t c = begin; c < end && local < bound; ++c) {
            // Another chunk may have settled K already.
            if (widest.load(std::memory_order_relaxed) >= bound) return;
            local = std::max<std::size_t>(local, count(c, view));
        }
        std::size_t seen = widest.load(std::memory_order_relaxed);
        while (local > seen && !widest.compare_exchange_weak(seen, local, std::memory_order_relaxed)) {
        }
    });
    return widest.load();
}

// f(readers) with the row readers of a view that reads rows (one with
// with_layout), chosen once for the pass; f(view) for any other view.
template <class View, class F>
decltype(auto) with_readers(const View& view, F&& f) {
    if constexpr (requires { view.with_layout(f); }) {
        return view.with_layout(f);
    } else {
        return f(view);
    }
}

}  // namespace detail

// view(): what the passes read (the row views of the inputs), taken on the
// calling thread just before each pass, when no Python code runs until the
// pass ends: the result allocation between the passes may run Python code.
// A view with with_layout hands count and solve its row readers instead.
// count(c, view): the number of records case c will give (called only when
// spec.fixed_slots is empty).
// solve(begin, end, view, emit): hands every record of the cases begin ..
// end - 1 to emit(c, record...), the cases in increasing order and each case's
// records in order; emit writes it with columns.write(slot, record...). A range
// lets the solver work on several cases at once (see visit_annotated_cases);
// case_by_case below adapts a solver of one case at a time.
template <class Columns, class View, class Count, class Solve>
PyObject* collect_ragged(const RaggedSpec& spec, View&& view, Count&& count, Solve&& solve) {
    if (spec.cases == 0 && spec.no_solutions != nullptr) raise_value_error(spec.no_solutions);
    require_result_memory(spec.function, spec.cases, /*slots=*/1, Columns::bytes_per_slot);
    std::size_t slots = 0;
    if (spec.fixed_slots) {
        slots = *spec.fixed_slots;
    } else {
        slots = detail::with_readers(view(), [&](const auto& rows) { return detail::widest_case(spec, count, rows); });
    }
    if (slots == 0 && spec.no_solutions != nullptr) raise_value_error(spec.no_solutions);
    require_result_memory(spec.function, spec.cases, slots, Columns::bytes_per_slot);

    Columns columns(with_axes(spec.case_shape, {static_cast<npy_intp>(slots)}));
    const auto fill = [&](const auto& rows, std::size_t begin, std::size_t end) {
        std::size_t c = begin;  // the case being written
        std::size_t j = 0;      // its next slot
        // Pads the rest of case c and every case after it up to `next`: slots c * slots + j .. next * slots - 1,
        // one stretch of every column when the columns pad a stretch at once.
        const auto pad_until = [&](std::size_t next) {
            if (c >= next) return;
            if constexpr (requires { columns.pad(std::size_t{}, std::size_t{}); }) {
                columns.pad(c * slots + j, next * slots - (c * slots + j));
                c = next;
                j = 0;
            } else {
                for (; c < next; ++c, j = 0) {
                    for (; j < slots; ++j) columns.pad(c * slots + j);
                }
            }
        };
        solve(begin, end, rows, [&](std::size_t k, const auto&... record) {
            if (k < c || k >= end) throw InternalFault("a range solver gave a case out of order");
            pad_until(k);
            if (j == slots) throw InternalFault("a case gave more solutions than its count");
            columns.write(c * slots + j, record...);
            ++j;
        });
        pad_until(end);
    };
    detail::with_readers(view(), [&](const auto& rows) {
        if (spec.parallel) {
            global_pool().run(spec.cases, /*grain=*/0,
                              [&](std::size_t begin, std::size_t end) { fill(rows, begin, end); });
        } else {
            fill(rows, 0, spec.cases);
        }
    });
    return columns.into_result();
}

// The range solver of collect_ragged from solve_case(c, view, sink), which hands
// the records of case c alone to sink(record...).
template <class SolveCase>
auto case_by_case(SolveCase solve_case) {
    return [solve_case](std::size_t begin, std::size_t end, const auto& rows, auto&& emit) {
        for (std::size_t c = begin; c < end; ++c) {
            solve_case(c, rows, [&](const auto&... record) { emit(c, record...); });
        }
    };
}

}  // namespace orbelin::py
