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
//    each case's task solves straight into its own slots and pads the rest, so
//    every element is written once, by the thread that owns its row.
//
// Loop assumptions: cases are independent; Columns::write and Columns::pad
// touch only their own slot (disjoint slots may be written concurrently).

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <optional>
#include <utility>

#include "common/fault.hpp"
#include "parallel/thread_pool.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace orbelin::py {

struct RaggedSpec {
    const char* function;                   // names the call in a MemoryError
    std::size_t cases;                      // numbered 0 .. cases-1
    Shape case_shape;                       // the result's axes before the slot axis
    std::optional<std::size_t> fixed_slots; // K when every case is known to give exactly that many
    const char* no_solutions;               // ValueError when K = 0 (no cases); null: never raised
    bool parallel = true;                   // false: every case runs on the calling thread
};

namespace detail {

template <class F>
void for_each_case(const RaggedSpec& spec, F&& f) {
    if (!spec.parallel) {
        for (std::size_t c = 0; c < spec.cases; ++c) f(c);
        return;
    }
    parallel_for(global_pool(), spec.cases, f);
}

template <class Count, class View>
std::size_t widest_case(const RaggedSpec& spec, Count& count, const View& view) {
    if (!spec.parallel) {
        std::size_t widest = 0;
        for (std::size_t c = 0; c < spec.cases; ++c) widest = std::max<std::size_t>(widest, count(c, view));
        return widest;
    }
    std::atomic<std::size_t> widest{0};
    global_pool().run(spec.cases, 0, [&](std::size_t begin, std::size_t end) {
        std::size_t local = 0;
        for (std::size_t c = begin; c < end; ++c) local = std::max<std::size_t>(local, count(c, view));
        std::size_t seen = widest.load(std::memory_order_relaxed);
        while (local > seen && !widest.compare_exchange_weak(seen, local, std::memory_order_relaxed)) {
        }
    });
    return widest.load();
}

}  // namespace detail

// view(): what the passes read (the row views of the inputs), taken on the
// calling thread just before each pass, when no Python code runs until the
// pass ends: the result allocation between the passes may run Python code.
// count(c, view): the number of records case c will give (called only when
// spec.fixed_slots is empty).
// solve(c, view, sink): hands each record of case c, in order, to
// sink(record...), which writes it with columns.write(slot, record...).
template <class Columns, class View, class Count, class Solve>
PyObject* collect_ragged(const RaggedSpec& spec, View&& view, Count&& count, Solve&& solve) {
    if (spec.cases == 0 && spec.no_solutions != nullptr) raise_value_error(spec.no_solutions);
    require_result_memory(spec.function, spec.cases, 1, Columns::bytes_per_slot);
    std::size_t slots = 0;
    if (spec.fixed_slots) {
        slots = *spec.fixed_slots;
    } else {
        slots = detail::widest_case(spec, count, view());
    }
    if (slots == 0 && spec.no_solutions != nullptr) raise_value_error(spec.no_solutions);
    require_result_memory(spec.function, spec.cases, slots, Columns::bytes_per_slot);

    Columns columns(with_axes(spec.case_shape, {static_cast<npy_intp>(slots)}));
    const auto rows = view();
    detail::for_each_case(spec, [&](std::size_t c) {
        const std::size_t first = c * slots;
        std::size_t j = 0;
        solve(c, rows, [&](const auto&... record) {
            if (j == slots) throw InternalFault("a case gave more solutions than its count");
            columns.write(first + j, record...);
            ++j;
        });
        for (; j < slots; ++j) columns.pad(first + j);
    });
    return columns.into_result();
}

}  // namespace orbelin::py
