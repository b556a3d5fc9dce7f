#pragma once
// A loop over the cases of a batch that reads each case a run ahead of the work on it.
//
// The cases of a batch are copied out of the caller's arrays (rows of any alignment, read with memcpy) into small
// value types just before they are solved. A solver called right after such a copy reads the case back through
// the store buffer, and where its loads are wider than the copy's stores and straddle two of them the processor
// cannot forward the data: the load waits for the stores to reach the cache, some 20 ns per case on the x86-64
// machine of the benchmarks, on the critical path of a solve of about 220 ns. Copying a run of cases first puts
// those stores well behind.

#include <algorithm>
#include <cstddef>
#include <new>
#include <type_traits>

namespace orbelin {

// Calls f(c, const Case&) for c = begin, ..., end - 1 in order, with Case the value type case_of(c) returns; the
// cases are read Run at a time, each run before its calls.
template <std::size_t Run, class CaseOf, class F>
void for_each_staged(std::size_t begin, std::size_t end, CaseOf&& case_of, F&& f) {
    using Case = std::decay_t<decltype(case_of(begin))>;
    static_assert(std::is_trivially_destructible_v<Case>);
    Case staged[Run];
    for (std::size_t first = begin; first < end; first += Run) {
        const std::size_t count = std::min(end - first, Run);
        // Constructed in place from the returned value (placement new of a prvalue: no temporary): assigned, a case
        // would be built in a temporary and copied over with wider loads than the stores that built it, the very
        // stall this loop is there to avoid. The cases are trivially destructible (checked above), so the old one
        // needs no end.
        for (std::size_t i = 0; i < count; ++i) ::new (static_cast<void*>(&staged[i])) Case(case_of(first + i));
        for (std::size_t i = 0; i < count; ++i) f(first + i, static_cast<const Case&>(staged[i]));
    }
}

}  // namespace orbelin
