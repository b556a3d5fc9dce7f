#pragma once
// How much memory this process may use: what a call checks a very large request against before allocating.

#include <cstdint>

namespace orbelin {

// Physical memory, limited by a cgroup v2 `memory.max` (or v1 `memory.limit_in_bytes`) of the process where one
// is set. Read on every call (cheap: a sysconf and a small file).
std::uint64_t usable_memory_bytes() noexcept;

}  // namespace orbelin
