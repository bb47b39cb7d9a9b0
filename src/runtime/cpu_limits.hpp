// How many workers the pool gets: the environment variables, the affinity
// mask and the control group's CPU quota.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace cladorix {

// How many workers the pool gets. Pure functions over injected lookups, so
// the rules can be checked without starting a process.
namespace pool_sizing {

inline constexpr size_t kMaxWorkers = 65535;

// The value of an environment variable, or nullopt when unset.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;
// A whole file's contents, or nullopt when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// Unsigned decimal: digits with an optional leading '+', nothing else, no
// overflow of 64 bits.
std::optional<uint64_t> parse_count(std::string_view text);

// RAYON_NUM_THREADS (0: the CPU count, skipping the next variable), then
// RAYON_RS_NUM_CPUS (0 or invalid: the CPU count), then cpu_count(); the
// result is clamped to 1..kMaxWorkers. cpu_count is only called when needed.
size_t decide_worker_count(const EnvLookup& env, const std::function<size_t()>& cpu_count);

// Whole CPUs allowed by a cgroup v2 "cpu.max" ("max 100000" means none).
std::optional<uint64_t> cgroup_v2_limit(std::string_view cpu_max);
// Whole CPUs allowed by cgroup v1 cpu.cfs_quota_us / cpu.cfs_period_us
// (a quota of -1 means none).
std::optional<uint64_t> cgroup_v1_limit(std::string_view quota, std::string_view period);
// The tightest CPU limit over this process's cgroup and its ancestors, v2 and
// v1, located through /proc/self/cgroup and /proc/self/mountinfo (falling back
// to the usual places under /sys/fs/cgroup).
std::optional<uint64_t> cgroup_cpu_limit(const FileReader& read);

// affinity: CPUs in the affinity mask, 0 when unknown (gives 1).
size_t cpu_count(size_t affinity, std::optional<uint64_t> cgroup_limit);

// The above over the real process: sched_getaffinity and the cgroup files.
size_t system_cpu_count();
// getenv-backed lookup.
std::optional<std::string> process_env(const char* name);

}  // namespace pool_sizing

}  // namespace cladorix
