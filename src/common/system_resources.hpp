#pragma once
// What this process may use of the machine: its CPUs (affinity mask and control-group quota), its memory
// (the machine's memory not in use, its control group's limit, its address-space and data-segment limits, less
// what it already uses of each) and
// the thread-count setting of its environment. Linux exposes all of it in /proc and /sys/fs/cgroup; a file that
// cannot be read is no limit.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orbelin {

// ---------------------------------------------------------------------------------------------------------------
// CPUs

// CPUs this process may run on: the affinity mask (online processors when it cannot be read), limited by the CPU
// quota of its control group and of every group above it. Read once per process.
std::size_t usable_cpu_count();

// max(1, usable_cpu_count() - 1): one CPU is left to the calling thread.
std::size_t default_worker_count();

// The environment variable that sets the total number of threads a parallel loop uses, the calling thread
// included, and the largest value it takes.
inline constexpr const char* kNumThreadsVariable = "ORBELIN_NUM_THREADS";
inline constexpr std::size_t kMaxThreads = 4096;

// Pool workers for a value of ORBELIN_NUM_THREADS. Null, empty or blank keeps default_worker_count(). Otherwise
// the value, surrounding whitespace ignored, must be a decimal integer from 1 to kMaxThreads, and the pool gets
// value - 1 workers because the caller takes part in every loop (1: the caller alone). Throws
// std::invalid_argument with a message naming the variable and the value.
std::size_t worker_count_from_setting(const char* value);

// worker_count_from_setting() of the variable in this process's environment.
std::size_t configured_worker_count();

// ---------------------------------------------------------------------------------------------------------------
// Instruction sets

// The instruction sets that the lane kernels are built for: the portable code runs everywhere; AVX2 solves four
// cases at once and AVX-512F eight, each only on a CPU (and operating system) that runs it.
enum class InstructionSet : std::uint8_t { portable, avx2, avx512 };

// The environment variable that chooses the instruction set of the lane kernels.
inline constexpr const char* kSimdVariable = "ORBELIN_SIMD";

// Whether this build has kernels for `isa` and this machine runs them (the portable set always).
bool instruction_set_supported(InstructionSet isa) noexcept;

// The widest supported instruction set.
InstructionSet widest_instruction_set() noexcept;

// What "auto" chooses on a machine whose widest supported set is `widest`: AVX2 where it runs (faster than
// AVX-512F for the batch functions), otherwise `widest`.
InstructionSet automatic_instruction_set(InstructionSet widest) noexcept;

// How messages name an instruction set: "AVX2", "AVX-512F", "the portable code".
const char* instruction_set_name(InstructionSet isa) noexcept;

// A setting that names an instruction set this machine or build cannot run.
class UnsupportedInstructionSet : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The instruction set for a value of ORBELIN_SIMD, surrounding whitespace and case ignored: null, empty, blank or
// "auto" gives automatic_instruction_set(widest_instruction_set()), "off" the portable code, "avx2" and "avx512" those
// sets. Throws std::invalid_argument for any other value and UnsupportedInstructionSet for a set the machine does not
// run, each with a message naming the variable and the value.
InstructionSet instruction_set_from_setting(const char* value);

// The same on a machine whose widest supported set is `widest` (every narrower set supported too, as on every CPU
// with AVX-512F).
InstructionSet instruction_set_from_setting(const char* value, InstructionSet widest);

// instruction_set_from_setting() of the variable in this process's environment.
InstructionSet configured_instruction_set();

// ---------------------------------------------------------------------------------------------------------------
// Memory

// The limit that decides how much memory the process may still take.
enum class MemoryLimit : std::uint8_t {
    none,           // nothing could be read
    physical,       // the machine's memory that no process uses (MemAvailable: free and reclaimable)
    cgroup,         // the memory limit of its control group (or a group above it), less its resident set
    address_space,  // RLIMIT_AS, less the address space it already maps
    data_segment,   // RLIMIT_DATA, less the data memory it already has
};

struct MemoryBudget {
    std::uint64_t bytes;  // what the process may still take
    MemoryLimit limit;    // the tightest limit, which gives `bytes`
};

// Read afresh on every call, since limits and usage change while the process runs (a few small files).
MemoryBudget available_memory() noexcept;

// How a message names the limit: "its address-space limit (RLIMIT_AS), less the address space it already maps".
const char* limit_text(MemoryLimit limit) noexcept;

// Below this many bytes a request is taken as holdable without asking the system, so that small calls read no
// file; no machine this runs on has less.
inline constexpr double small_request_bytes = 64.0 * 1024 * 1024;

// Whether `bytes` more bytes can be held: true for a small request, else compared with available_memory().
bool memory_can_hold(double bytes) noexcept;

// ---------------------------------------------------------------------------------------------------------------
// The parts, apart for tests over made-up files.

namespace detail {

// The text of a file, or nothing when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The control-group directories whose limits of `controller` ("cpu", "memory") apply to this process, from the
// contents of /proc/self/cgroup and /proc/self/mountinfo: for each mounted hierarchy that carries the controller
// (a v1 hierarchy naming it, and the v2 hierarchy), the process's own group and every group above it up to the
// mount point, innermost first. Without mount information the usual mount points under /sys/fs/cgroup are taken.
std::vector<std::string> cgroup_dirs(std::string_view proc_cgroup, std::string_view mountinfo,
                                     std::string_view controller);

// The tightest CPU quota in `dirs`, in CPUs rounded up (v2 cpu.max, v1 cpu.cfs_quota_us over cpu.cfs_period_us);
// 0 when there is none.
double cgroup_cpu_limit(const std::vector<std::string>& dirs, const FileReader& read);

// CPUs granted by a cgroup v2 `cpu.max` line ("max 100000" or "<quota> <period>"), rounded up; 0 when unlimited
// or unreadable.
double cpu_max_limit(const std::string& line);

// The tightest memory limit in `dirs` in bytes (v2 memory.max, v1 memory.limit_in_bytes); none when unlimited.
std::optional<std::uint64_t> cgroup_memory_limit(const std::vector<std::string>& dirs, const FileReader& read);

// The value of a "Key:   123 kB" line of /proc/self/status or /proc/meminfo, in bytes; 0 when the key is missing.
std::uint64_t status_bytes(std::string_view status, std::string_view key);

// What the process uses, as the limits count it.
struct MemoryUse {
    std::uint64_t mapped;    // address space (VmSize)
    std::uint64_t data;      // data segment and private writable mappings (VmData)
    std::uint64_t resident;  // resident set (VmRSS)
};

// The limits in force, each absent when unlimited.
struct MemoryLimits {
    std::optional<std::uint64_t> physical;  // already net of every process's use
    std::optional<std::uint64_t> cgroup;
    std::optional<std::uint64_t> address_space;
    std::optional<std::uint64_t> data_segment;
};

// The tightest of the limits, less the use each of them counts (never below 0): the resident set for the control
// group, the mapped space for RLIMIT_AS and the data memory for RLIMIT_DATA.
MemoryBudget budget_of(const MemoryLimits& limits, const MemoryUse& use) noexcept;

}  // namespace detail

}  // namespace orbelin
