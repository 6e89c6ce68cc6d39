#pragma once
// The number of processors this process may run on, for the pool's default size. Pure C++.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ostrilo::pool {

// Processors in this process's affinity set, lowered by a cgroup CPU quota
// (v2 cpu.max or v1 cpu.cfs_quota_us/cpu.cfs_period_us) when one applies; on Windows lowered
// by the CPU rate limit of the process's job object; 1 when nothing can be determined.
std::size_t default_thread_count() noexcept;

// Processors in this process's affinity set (the online count when it cannot be read); on
// Windows those of its processor group, or of every group when it is not confined to one; on
// macOS the active processors. 0 when none of these is known.
std::size_t affinity_cpus() noexcept;

// CPUs allowed by a cgroup v2 "cpu.max" text ("max 100000", "200000 100000"):
// ceil(quota / period), at least 1; nullopt when unlimited or unreadable.
std::optional<std::size_t> cpus_from_cpu_max(std::string_view text) noexcept;

// Same for cgroup v1 (quota -1 means unlimited).
std::optional<std::size_t> cpus_from_cfs(std::string_view quota, std::string_view period) noexcept;

// CPUs allowed by a Windows job object's CPU rate control (JOBOBJECT_CPU_RATE_CONTROL_INFORMATION:
// its ControlFlags, and its rate field read as one 32-bit word) on a machine of `processors`:
// a hard cap, or the maximum of a min-max pair, in hundredths of a percent of all processors,
// rounded up to whole CPUs, at least 1; nullopt when control is off, weight-based or the full
// machine.
std::optional<std::size_t> cpus_from_job_cpu_rate(std::uint32_t control_flags, std::uint32_t rate,
                                                  std::size_t processors) noexcept;

// The file contents at a path, or nullopt when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The smallest CPU quota (rounded up to whole CPUs) of the process's cgroups and their
// ancestors, v1 and v2, read through `read` from /proc/self/cgroup, /proc/self/mountinfo and
// the cgroup files; nullopt when no quota applies.
std::optional<std::size_t> cgroup_cpu_limit(const FileReader& read);

}  // namespace ostrilo::pool
