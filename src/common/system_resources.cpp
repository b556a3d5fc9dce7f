#include "common/system_resources.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace orbelin {

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of a text, without their line ends.
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// A whole decimal number; nothing for anything else (signs, fractions, words, too many digits).
std::optional<std::uint64_t> whole_number(std::string_view text) {
    text = trimmed(text);
    std::uint64_t value = 0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || parsed.ec != std::errc{} || parsed.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

// ---------------------------------------------------------------------------------------------------------------
// Control groups

// mountinfo escapes blanks and backslashes of paths as three octal digits ("\040").
std::string unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        text.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// One mounted cgroup hierarchy: where it is mounted, which group of the hierarchy is its root, and whether it is
// the v2 hierarchy or which v1 controllers it carries.
struct CgroupMount {
    std::string mount_point;
    std::string root;
    bool v2 = false;
    std::vector<std::string> controllers;
};

std::vector<CgroupMount> cgroup_mounts(std::string_view mountinfo) {
    std::vector<CgroupMount> mounts;
    for (std::string_view line : lines_of(mountinfo)) {
        // id parent major:minor root mount-point options [optional fields...] - fstype source super-options
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view type = dash[1];
        if (type != "cgroup" && type != "cgroup2") continue;
        CgroupMount mount{unescaped(fields[4]), unescaped(fields[3]), type == "cgroup2", {}};
        if (!mount.v2) {
            for (std::string_view option : split(dash[3], ',')) mount.controllers.emplace_back(option);
        }
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

// The mounts assumed when mountinfo cannot be read: the v2 hierarchy at /sys/fs/cgroup, or v1 controllers below it.
std::vector<CgroupMount> usual_mounts(std::string_view controller) {
    return {{"/sys/fs/cgroup", "/", true, {}},
            {"/sys/fs/cgroup/" + std::string(controller), "/", false, {std::string(controller)}},
            {"/sys/fs/cgroup/cpu,cpuacct", "/", false, {"cpu", "cpuacct"}}};
}

// The group of `path` (as /proc/self/cgroup names it) inside a hierarchy mounted with `root` at `mount_point`, then
// every group above it up to the mount point. A path outside the mounted part (another namespace's view) leaves
// only the mount point itself.
void add_group_and_ancestors(const CgroupMount& mount, std::string_view path, std::vector<std::string>& dirs) {
    std::string_view root = mount.root;
    if (root.ends_with('/')) root.remove_suffix(1);
    std::string_view relative;
    if (path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/')) {
        relative = path.substr(root.size());
    }
    std::string base = mount.mount_point;
    while (base.size() > 1 && base.ends_with('/')) base.pop_back();
    std::string dir = base + std::string(relative);
    while (dir.size() > base.size() && dir.ends_with('/')) dir.pop_back();
    for (;;) {
        dirs.push_back(dir);
        if (dir.size() <= base.size()) return;
        dir.erase(dir.find_last_of('/'));
        if (dir.size() < base.size()) dir = base;
    }
}

// The tightest positive value that `limit_in(dir)` finds in any of `dirs`.
template <class Value, class LimitIn>
std::optional<Value> tightest(const std::vector<std::string>& dirs, LimitIn&& limit_in) {
    std::optional<Value> best;
    for (const std::string& dir : dirs) {
        const std::optional<Value> limit = limit_in(dir);
        if (limit && (!best || *limit < *best)) best = limit;
    }
    return best;
}

// CPUs granted by a quota/period pair, rounded up; 0 when unlimited.
double quota_cpus(double quota, double period) {
    if (!(quota > 0.0) || !(period > 0.0)) return 0.0;
    return std::ceil(quota / period);
}

std::optional<double> number_in(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    try {
        return std::stod(*text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::size_t affinity_cpu_count() {
    for (int cpus = 1024; cpus <= 1 << 16; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            const int count = CPU_COUNT_S(bytes, set);
            CPU_FREE(set);
            return static_cast<std::size_t>(count);
        }
        CPU_FREE(set);
        if (errno != EINVAL) break;  // EINVAL: the kernel's mask is larger than ours
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

// The directories of this process's groups for `controller`.
std::vector<std::string> own_cgroup_dirs(std::string_view controller) {
    const std::string groups = read_file("/proc/self/cgroup").value_or("");
    const std::string mounts = read_file("/proc/self/mountinfo").value_or("");
    return detail::cgroup_dirs(groups, mounts, controller);
}

// The value as the user wrote it, quoted; bytes outside printable ASCII escaped so that the message is always
// valid text.
std::string quoted(std::string_view raw) {
    std::string out = "'";
    for (const char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
            out += ch;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out + "'";
}

std::optional<std::uint64_t> rlimit_of(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// detail

std::vector<std::string> detail::cgroup_dirs(std::string_view proc_cgroup, std::string_view mountinfo,
                                             std::string_view controller) {
    std::vector<CgroupMount> mounts = cgroup_mounts(mountinfo);
    if (mounts.empty()) mounts = usual_mounts(controller);
    std::vector<std::string> dirs;
    for (std::string_view line : lines_of(proc_cgroup)) {
        // hierarchy-ID:controller-list:path; the v2 hierarchy is "0::path".
        const auto first = line.find(':');
        const auto second = line.find(':', first == std::string_view::npos ? first : first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        const bool v2 = line.substr(0, first) == "0" && controllers.empty();
        const auto names = split(controllers, ',');
        if (!v2 && std::find(names.begin(), names.end(), controller) == names.end()) continue;
        for (const CgroupMount& mount : mounts) {
            const bool carries = mount.v2 ? v2
                                          : !v2 && std::find(mount.controllers.begin(), mount.controllers.end(),
                                                             controller) != mount.controllers.end();
            if (carries) add_group_and_ancestors(mount, path, dirs);
        }
    }
    return dirs;
}

double detail::cpu_max_limit(const std::string& line) {
    std::istringstream fields(line);
    std::string quota;
    double period = 0.0;
    if (!(fields >> quota >> period) || quota == "max") return 0.0;
    try {
        return quota_cpus(std::stod(quota), period);
    } catch (const std::exception&) {
        return 0.0;
    }
}

double detail::cgroup_cpu_limit(const std::vector<std::string>& dirs, const FileReader& read) {
    const auto cpus = tightest<double>(dirs, [&](const std::string& dir) -> std::optional<double> {
        double limit = 0.0;
        if (const auto line = read(dir + "/cpu.max")) {
            limit = cpu_max_limit(*line);
        } else {
            const auto quota = number_in(read(dir + "/cpu.cfs_quota_us"));
            const auto period = number_in(read(dir + "/cpu.cfs_period_us"));
            if (quota && period) limit = quota_cpus(*quota, *period);
        }
        if (limit > 0.0) return limit;
        return std::nullopt;
    });
    return cpus.value_or(0.0);
}

std::optional<std::uint64_t> detail::cgroup_memory_limit(const std::vector<std::string>& dirs, const FileReader& read) {
    // "max" (v2) and v1's page-rounded 2^63 are both no limit; so is anything unreadable.
    return tightest<std::uint64_t>(dirs, [&](const std::string& dir) -> std::optional<std::uint64_t> {
        for (const char* file : {"/memory.max", "/memory.limit_in_bytes"}) {
            if (const auto text = read(dir + file)) {
                const auto bytes = whole_number(*text);
                if (bytes && *bytes < (std::uint64_t{1} << 62)) return bytes;
                return std::nullopt;
            }
        }
        return std::nullopt;
    });
}

std::uint64_t detail::status_bytes(std::string_view status, std::string_view key) {
    for (std::string_view line : lines_of(status)) {
        if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != ':') continue;
        std::string_view value = trimmed(line.substr(key.size() + 1));
        if (value.ends_with("kB")) value.remove_suffix(2);
        const auto kilobytes = whole_number(value);
        return kilobytes && *kilobytes < (std::uint64_t{1} << 53) ? *kilobytes * 1024 : 0;
    }
    return 0;
}

MemoryBudget detail::budget_of(const MemoryLimits& limits, const MemoryUse& use) noexcept {
    MemoryBudget budget{std::numeric_limits<std::uint64_t>::max(), MemoryLimit::none};
    const auto consider = [&](const std::optional<std::uint64_t>& limit, std::uint64_t used, MemoryLimit which) {
        if (!limit) return;
        const std::uint64_t left = *limit > used ? *limit - used : 0;
        if (left < budget.bytes) budget = {left, which};
    };
    consider(limits.physical, 0, MemoryLimit::physical);
    consider(limits.cgroup, use.resident, MemoryLimit::cgroup);
    consider(limits.address_space, use.mapped, MemoryLimit::address_space);
    consider(limits.data_segment, use.data, MemoryLimit::data_segment);
    return budget;
}

// ---------------------------------------------------------------------------------------------------------------
// CPUs

std::size_t usable_cpu_count() {
    static const std::size_t count = [] {
        std::size_t cpus = affinity_cpu_count();
        double limit = 0.0;
        try {
            limit = detail::cgroup_cpu_limit(own_cgroup_dirs("cpu"), read_file);
        } catch (const std::exception&) {
            limit = 0.0;  // unreadable: no quota
        }
        if (limit >= 1.0 && limit < static_cast<double>(cpus)) cpus = static_cast<std::size_t>(limit);
        return cpus;
    }();
    return count;
}

std::size_t default_worker_count() {
    const std::size_t cpus = usable_cpu_count();
    return cpus > 1 ? cpus - 1 : 1;
}

std::size_t worker_count_from_setting(const char* value) {
    if (value == nullptr) return default_worker_count();
    const std::string_view text = trimmed(value);
    if (text.empty()) return default_worker_count();
    // Digits only: no sign, no base prefix, no fraction.
    std::size_t threads = 0;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        threads = whole_number(text).value_or(0);  // 0: too large for 64 bits
    }
    if (threads < 1 || threads > kMaxThreads) {
        throw std::invalid_argument(std::string(kNumThreadsVariable) + " must be a whole number of threads from 1 to " +
                                    std::to_string(kMaxThreads) + ", got " + quoted(value));
    }
    return threads - 1;
}

std::size_t configured_worker_count() { return worker_count_from_setting(std::getenv(kNumThreadsVariable)); }

// ---------------------------------------------------------------------------------------------------------------
// Instruction sets

bool instruction_set_supported(InstructionSet isa) noexcept {
    switch (isa) {
        case InstructionSet::portable:
            return true;
#if ORBELIN_LANE_KERNELS
        // The compiler's CPU model also asks the operating system (XGETBV) whether it saves the wide registers.
        case InstructionSet::avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
        case InstructionSet::avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") != 0;
#endif
        default:
            return false;
    }
}

InstructionSet widest_instruction_set() noexcept {
    if (instruction_set_supported(InstructionSet::avx512)) return InstructionSet::avx512;
    if (instruction_set_supported(InstructionSet::avx2)) return InstructionSet::avx2;
    return InstructionSet::portable;
}

InstructionSet automatic_instruction_set(InstructionSet widest) noexcept {
    // Four lanes rather than eight: on the AVX-512 Xeon of the benchmarks the 8-lane kernel wins the bare
    // Householder solves (67 against 81 ns), but every batch function runs 3-8 % faster with AVX2 (the wider
    // registers lower the clock, and eight lanes wait longer for their slowest solve).
    return widest < InstructionSet::avx2 ? widest : InstructionSet::avx2;
}

const char* instruction_set_name(InstructionSet isa) noexcept {
    switch (isa) {
        case InstructionSet::avx2:
            return "AVX2";
        case InstructionSet::avx512:
            return "AVX-512F";
        default:
            return "the portable code";
    }
}

InstructionSet instruction_set_from_setting(const char* value, InstructionSet widest) {
    if (value == nullptr) return automatic_instruction_set(widest);
    std::string text(trimmed(value));
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (text.empty() || text == "auto") return automatic_instruction_set(widest);
    if (text == "off") return InstructionSet::portable;
    InstructionSet isa{};
    if (text == "avx2") {
        isa = InstructionSet::avx2;
    } else if (text == "avx512") {
        isa = InstructionSet::avx512;
    } else {
        throw std::invalid_argument(std::string(kSimdVariable) + " must be one of auto, off, avx2 and avx512, got " +
                                    quoted(value));
    }
    if (isa > widest) {
        throw UnsupportedInstructionSet(
            std::string(kSimdVariable) + " = " + quoted(value) + " asks for " + instruction_set_name(isa) +
            ", which this machine does not run (its CPU, operating system and " + "build support " +
            (widest == InstructionSet::portable ? std::string("no vector instruction set")
                                                : std::string("at most ") + instruction_set_name(widest)) +
            ")");
    }
    return isa;
}

InstructionSet instruction_set_from_setting(const char* value) {
    return instruction_set_from_setting(value, widest_instruction_set());
}

InstructionSet configured_instruction_set() { return instruction_set_from_setting(std::getenv(kSimdVariable)); }

// ---------------------------------------------------------------------------------------------------------------
// Memory

MemoryBudget available_memory() noexcept {
    try {
        detail::MemoryLimits limits;
        // The memory other processes hold is not to be had either; without MemAvailable (kernels before 3.14) the
        // free pages are a lower estimate of it.
        const std::uint64_t available = detail::status_bytes(read_file("/proc/meminfo").value_or(""), "MemAvailable");
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (available > 0) {
            limits.physical = available;
        } else if (pages > 0 && page_size > 0) {
            limits.physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
        }
        limits.cgroup = detail::cgroup_memory_limit(own_cgroup_dirs("memory"), read_file);
        limits.address_space = rlimit_of(RLIMIT_AS);
        limits.data_segment = rlimit_of(RLIMIT_DATA);
        const std::string status = read_file("/proc/self/status").value_or("");
        const detail::MemoryUse use{detail::status_bytes(status, "VmSize"), detail::status_bytes(status, "VmData"),
                                    detail::status_bytes(status, "VmRSS")};
        return detail::budget_of(limits, use);
    } catch (...) {
        // Out of memory while reading the limits: the allocation that follows will fail on its own.
        return {std::numeric_limits<std::uint64_t>::max(), MemoryLimit::none};
    }
}

const char* limit_text(MemoryLimit limit) noexcept {
    switch (limit) {
        case MemoryLimit::physical:
            return "the machine's memory not in use (MemAvailable)";
        case MemoryLimit::cgroup:
            return "the memory limit of its control group, less what the process already holds";
        case MemoryLimit::address_space:
            return "its address-space limit (RLIMIT_AS), less the address space it already maps";
        case MemoryLimit::data_segment:
            return "its data-segment limit (RLIMIT_DATA), less the data memory it already has";
        case MemoryLimit::none:
            break;
    }
    return "no limit could be read";
}

bool memory_can_hold(double bytes) noexcept {
    return bytes <= small_request_bytes || bytes <= static_cast<double>(available_memory().bytes);
}

}  // namespace orbelin
