#pragma once
// How much memory this process may use: what a call checks a very large request against before allocating.

#include <cstdint>

namespace orbelin {

// Physical memory, limited by a cgroup v2 `memory.max` (or v1 `memory.limit_in_bytes`) of the process where one
// is set. Read on every call (cheap: a sysconf and a small file).
std::uint64_t usable_memory_bytes() noexcept;

// Below this many bytes a request is taken as holdable without asking the system, so that small calls read no
// file; no machine this runs on has less.
inline constexpr double small_request_bytes = 64.0 * 1024 * 1024;

// Whether a result of `bytes` bytes can be held.
bool memory_can_hold(double bytes) noexcept;

}  // namespace orbelin
