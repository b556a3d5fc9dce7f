#include "common/system_memory.hpp"

#include <unistd.h>

#include <fstream>
#include <limits>
#include <string>

namespace orbelin {

namespace {

// The first line of `path` as a byte count; `max` or anything unreadable is no limit.
std::uint64_t limit_in(const std::string& path) noexcept {
    try {
        std::ifstream in(path);
        std::string text;
        if (!(in >> text) || text == "max") return std::numeric_limits<std::uint64_t>::max();
        return std::stoull(text);
    } catch (...) {
        return std::numeric_limits<std::uint64_t>::max();
    }
}

}  // namespace

std::uint64_t usable_memory_bytes() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    std::uint64_t bytes = pages > 0 && page_size > 0
                              ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)
                              : std::numeric_limits<std::uint64_t>::max();
    for (const char* path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        const std::uint64_t limit = limit_in(path);
        if (limit < bytes) bytes = limit;
    }
    return bytes;
}

bool memory_can_hold(double bytes) noexcept {
    return bytes <= small_request_bytes || bytes <= static_cast<double>(usable_memory_bytes());
}

}  // namespace orbelin
