// What the process may use: the control groups that apply to it (v1, v2 and both at once, read from made-up
// /proc files), their CPU and memory limits, the process's own use, the tightest budget, RLIMIT_AS on the running
// process, and the ORBELIN_NUM_THREADS setting.

#include <sys/resource.h>

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/system_resources.hpp"

using orbelin::MemoryLimit;
using orbelin::detail::cgroup_dirs;

namespace {

using Files = std::map<std::string, std::string>;

orbelin::detail::FileReader reader(const Files& files) {
    return [&files](const std::string& path) -> std::optional<std::string> {
        const auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
}

using Dirs = std::vector<std::string>;

}  // namespace

TEST_CASE("the groups of a controller are the process's own and every one above it, in each hierarchy") {
    // A v2-only system, the process in a nested group.
    const char* v2_mounts = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
    CHECK(cgroup_dirs("0::/user.slice/app.scope\n", v2_mounts, "memory") ==
          (Dirs{"/sys/fs/cgroup/user.slice/app.scope", "/sys/fs/cgroup/user.slice", "/sys/fs/cgroup"}));
    // A hybrid system: v1 controllers, the empty v2 hierarchy beside them; only the hierarchy carrying the
    // controller counts, and a mount point with a blank in it is unescaped.
    const char* hybrid_mounts =
        "25 24 0:22 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
        "26 24 0:23 / /sys/fs/cgroup/cpu,cpuacct rw shared:7 - cgroup cgroup rw,cpu,cpuacct\n"
        "27 24 0:24 / /sys/fs/cgroup/my\\040memory rw - cgroup cgroup rw,memory\n"
        "28 24 0:25 / /sys/fs/cgroup/pids rw - cgroup cgroup rw,pids\n";
    const char* hybrid_groups = "4:memory:/process_api/d3b1\n3:pids:/x\n1:cpu,cpuacct:/\n0::/\n";
    CHECK(cgroup_dirs(hybrid_groups, hybrid_mounts, "memory") ==
          (Dirs{"/sys/fs/cgroup/my memory/process_api/d3b1", "/sys/fs/cgroup/my memory/process_api",
                "/sys/fs/cgroup/my memory", "/sys/fs/cgroup/unified"}));
    CHECK(cgroup_dirs(hybrid_groups, hybrid_mounts, "cpu") ==
          (Dirs{"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/unified"}));
    // A container whose hierarchy is mounted from its own group: paths are taken relative to the mount's root,
    // and a path outside it leaves the mount point alone.
    const char* container_mounts = "40 30 0:26 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n";
    CHECK(cgroup_dirs("0::/docker/abc/job\n", container_mounts, "cpu") ==
          (Dirs{"/sys/fs/cgroup/job", "/sys/fs/cgroup"}));
    CHECK(cgroup_dirs("0::/elsewhere\n", container_mounts, "cpu") == (Dirs{"/sys/fs/cgroup"}));
    // Without mount information, the usual mount points.
    CHECK(cgroup_dirs("0::/a\n", "", "memory") == (Dirs{"/sys/fs/cgroup/a", "/sys/fs/cgroup"}));
    CHECK(cgroup_dirs("5:memory:/a\n", "", "memory") == (Dirs{"/sys/fs/cgroup/memory/a", "/sys/fs/cgroup/memory"}));
    CHECK(cgroup_dirs("", v2_mounts, "memory").empty());
}

TEST_CASE("the tightest limit of any group applies, v1 and v2 alike; unlimited and unreadable are no limit") {
    using orbelin::detail::cgroup_cpu_limit;
    using orbelin::detail::cgroup_memory_limit;
    const Dirs dirs{"/g/a/b", "/g/a", "/g"};
    const Files v2{{"/g/a/b/cpu.max", "max 100000\n"},  {"/g/a/cpu.max", "250000 100000\n"},
                   {"/g/cpu.max", "800000 100000\n"},   {"/g/a/b/memory.max", "max\n"},
                   {"/g/a/memory.max", "1073741824\n"}, {"/g/memory.max", "2147483648\n"}};
    CHECK(cgroup_cpu_limit(dirs, reader(v2)) == 3.0);
    CHECK(cgroup_memory_limit(dirs, reader(v2)) == std::optional<std::uint64_t>(1073741824));
    const Files v1{{"/g/a/b/cpu.cfs_quota_us", "-1\n"},
                   {"/g/a/b/cpu.cfs_period_us", "100000\n"},
                   {"/g/cpu.cfs_quota_us", "150000\n"},
                   {"/g/cpu.cfs_period_us", "100000\n"},
                   {"/g/a/b/memory.limit_in_bytes", "9223372036854771712\n"},
                   {"/g/memory.limit_in_bytes", "536870912\n"}};
    CHECK(cgroup_cpu_limit(dirs, reader(v1)) == 2.0);
    CHECK(cgroup_memory_limit(dirs, reader(v1)) == std::optional<std::uint64_t>(536870912));
    const Files none{{"/g/a/b/memory.max", "max\n"},
                     {"/g/a/memory.max", "garbage"},
                     {"/g/memory.limit_in_bytes", "9223372036854771712"},
                     {"/g/cpu.cfs_quota_us", "-1"}};
    CHECK(cgroup_cpu_limit(dirs, reader(none)) == 0.0);
    CHECK(!cgroup_memory_limit(dirs, reader(none)));
}

TEST_CASE("cgroup v2 cpu.max lines give the quota in CPUs, rounded up") {
    using orbelin::detail::cpu_max_limit;
    CHECK(cpu_max_limit("max 100000") == 0.0);
    CHECK(cpu_max_limit("100000 100000") == 1.0);
    CHECK(cpu_max_limit("150000 100000") == 2.0);
    CHECK(cpu_max_limit("800000 100000") == 8.0);
    CHECK(cpu_max_limit("50000 100000") == 1.0);
    CHECK(cpu_max_limit("") == 0.0);
    CHECK(cpu_max_limit("garbage") == 0.0);
}

TEST_CASE("the budget is the tightest limit less the use that limit counts, never below zero") {
    using orbelin::detail::budget_of;
    using orbelin::detail::status_bytes;
    const char* status =
        "Name:\tpython3\nVmPeak:\t 9999 kB\nVmSize:\t  204800 kB\nVmRSS:\t   51200 kB\n"
        "VmData:\t  102400 kB\n";
    CHECK(status_bytes(status, "VmSize") == 204800ull * 1024);
    CHECK(status_bytes(status, "VmData") == 102400ull * 1024);
    CHECK(status_bytes(status, "VmRSS") == 51200ull * 1024);
    CHECK(status_bytes(status, "VmSwap") == 0);
    const orbelin::detail::MemoryUse use{300, 200, 100};
    struct Row {
        orbelin::detail::MemoryLimits limits;
        std::uint64_t bytes;
        MemoryLimit limit;
    };
    const Row rows[] = {
        {{}, UINT64_MAX, MemoryLimit::none},
        {{1000, std::nullopt, std::nullopt, std::nullopt}, 1000, MemoryLimit::physical},  // net of all use
        {{1000, 800, std::nullopt, std::nullopt}, 700, MemoryLimit::cgroup},
        {{1000, 800, 900, std::nullopt}, 600, MemoryLimit::address_space},
        {{1000, 800, 900, 500}, 300, MemoryLimit::data_segment},
        {{1000, 800, 250, 500}, 0, MemoryLimit::address_space},  // already past the limit
    };
    for (const Row& row : rows) {
        const orbelin::MemoryBudget budget = budget_of(row.limits, use);
        CHECK(budget.bytes == row.bytes);
        CHECK(budget.limit == row.limit);
    }
}

TEST_CASE("a lowered RLIMIT_AS of this process is the budget, less the space it maps") {
    rlimit saved{};
    CHECK(getrlimit(RLIMIT_AS, &saved) == 0);
    // The soft limit may be lowered and raised again up to the hard one.
    std::ifstream status_file("/proc/self/status");
    const std::string status((std::istreambuf_iterator<char>(status_file)), std::istreambuf_iterator<char>());
    const std::uint64_t mapped = orbelin::detail::status_bytes(status, "VmSize");
    CHECK(mapped > 0);
    const std::uint64_t headroom = 100u << 20;
    rlimit lowered = saved;
    lowered.rlim_cur = mapped + headroom;
    if (saved.rlim_max == RLIM_INFINITY || saved.rlim_max >= lowered.rlim_cur) {
        CHECK(setrlimit(RLIMIT_AS, &lowered) == 0);
        const orbelin::MemoryBudget budget = orbelin::available_memory();
        const bool holds_a_gigabyte = orbelin::memory_can_hold(1e9);
        CHECK(setrlimit(RLIMIT_AS, &saved) == 0);
        CHECK(budget.limit == MemoryLimit::address_space);
        CHECK(budget.bytes <= headroom && budget.bytes > headroom / 2);
        CHECK(!holds_a_gigabyte);
    }
    CHECK(orbelin::memory_can_hold(orbelin::small_request_bytes));
}

TEST_CASE("ORBELIN_NUM_THREADS counts the caller: the pool gets one thread fewer") {
    using orbelin::worker_count_from_setting;
    CHECK(worker_count_from_setting("1") == 0);
    CHECK(worker_count_from_setting("2") == 1);
    CHECK(worker_count_from_setting("16") == 15);
    CHECK(worker_count_from_setting("0004") == 3);
    CHECK(worker_count_from_setting(" 3\t\n") == 2);
    CHECK(worker_count_from_setting("4096") == 4095);
}

TEST_CASE("ORBELIN_NUM_THREADS absent, empty or blank keeps the default worker count") {
    using orbelin::worker_count_from_setting;
    CHECK(worker_count_from_setting(nullptr) == orbelin::default_worker_count());
    CHECK(worker_count_from_setting("") == orbelin::default_worker_count());
    CHECK(worker_count_from_setting(" \t ") == orbelin::default_worker_count());
}

TEST_CASE("ORBELIN_NUM_THREADS refuses anything but a whole number from 1 to 4096") {
    using orbelin::worker_count_from_setting;
    for (const char* bad : {"0", "00", "-2", "+3", "1.5", "2.", "abc", "3x", "3 4", "0x10", "1e3", "4097",
                            "18446744073709551617", "99999999999999999999999999"}) {
        CHECK_THROWS_AS(worker_count_from_setting(bad), std::invalid_argument);
    }
    try {
        worker_count_from_setting(" 1.5");
        CHECK(false);
    } catch (const std::invalid_argument& e) {
        CHECK(std::string(e.what()) ==
              "ORBELIN_NUM_THREADS must be a whole number of threads from 1 to 4096, got ' 1.5'");
    }
    try {
        worker_count_from_setting("2\x01\xff'\\");
        CHECK(false);
    } catch (const std::invalid_argument& e) {
        CHECK(std::string(e.what()).ends_with(R"(got '2\x01\xff\x27\x5c')"));
    }
}

TEST_CASE("ORBELIN_SIMD chooses AVX2 where it runs by default, the portable code when off, or a named set") {
    using orbelin::instruction_set_from_setting;
    using IS = orbelin::InstructionSet;
    for (const IS widest : {IS::portable, IS::avx2, IS::avx512}) {
        for (const char* chosen : {static_cast<const char*>(nullptr), "", " \t", "auto", " AUTO\n"}) {
            CHECK(instruction_set_from_setting(chosen, widest) == (widest == IS::portable ? IS::portable : IS::avx2));
        }
        CHECK(instruction_set_from_setting("off", widest) == IS::portable);
        CHECK(instruction_set_from_setting(" Off ", widest) == IS::portable);
    }
    CHECK(instruction_set_from_setting("avx2", IS::avx512) == IS::avx2);
    CHECK(instruction_set_from_setting("AVX2", IS::avx2) == IS::avx2);
    CHECK(instruction_set_from_setting("avx512", IS::avx512) == IS::avx512);
    // This machine's own answer is one it runs.
    CHECK(orbelin::instruction_set_supported(instruction_set_from_setting(nullptr)));
    CHECK(instruction_set_from_setting(nullptr) ==
          orbelin::automatic_instruction_set(orbelin::widest_instruction_set()));
}

TEST_CASE("ORBELIN_SIMD refuses unknown values and sets the machine does not run, saying which") {
    using orbelin::instruction_set_from_setting;
    using IS = orbelin::InstructionSet;
    for (const char* bad : {"on", "avx", "avx-512", "sse2", "1", "avx2 avx512", "avx512f"}) {
        CHECK_THROWS_AS(instruction_set_from_setting(bad, IS::avx512), std::invalid_argument);
    }
    try {
        instruction_set_from_setting("fast", IS::avx512);
        CHECK(false);
    } catch (const std::invalid_argument& e) {
        CHECK(std::string(e.what()) == "ORBELIN_SIMD must be one of auto, off, avx2 and avx512, got 'fast'");
    }
    try {
        instruction_set_from_setting("avx512", IS::avx2);
        CHECK(false);
    } catch (const orbelin::UnsupportedInstructionSet& e) {
        CHECK(std::string(e.what()) ==
              "ORBELIN_SIMD = 'avx512' asks for AVX-512F, which this machine does not run (its CPU, operating system "
              "and build support at most AVX2)");
    }
    try {
        instruction_set_from_setting("avx2", IS::portable);
        CHECK(false);
    } catch (const orbelin::UnsupportedInstructionSet& e) {
        CHECK(std::string(e.what()) ==
              "ORBELIN_SIMD = 'avx2' asks for AVX2, which this machine does not run (its CPU, operating system and "
              "build support no vector instruction set)");
    }
}
