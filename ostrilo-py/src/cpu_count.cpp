// The processors the pool may use: on Linux the affinity set, lowered by a cgroup CPU quota; on
// Windows the affinity mask (or every processor group the process may run in), lowered by the
// CPU rate limit of its job object; on macOS, which has no affinity, the processors active now.
#include "cpu_count.hpp"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#else
#include <unistd.h>
#ifdef __linux__
#include <sched.h>
#endif
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace ostrilo::pool {

namespace {

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

// Signed decimal integer filling all of s.
std::optional<long long> parse_signed(std::string_view s) noexcept {
    s = trim(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.size() > 18) return std::nullopt;
    long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
}

std::optional<std::size_t> quota_cpus(long long quota, long long period) noexcept {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const long long cpus = (quota + period - 1) / period;
    return static_cast<std::size_t>(std::max<long long>(cpus, 1));
}

}  // namespace

std::optional<std::size_t> cpus_from_cpu_max(std::string_view text) noexcept {
    text = trim(text);
    const auto space = text.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view quota = text.substr(0, space);
    if (quota == "max") return std::nullopt;
    const auto q = parse_signed(quota), p = parse_signed(text.substr(space + 1));
    if (!q || !p) return std::nullopt;
    return quota_cpus(*q, *p);
}

std::optional<std::size_t> cpus_from_cfs(std::string_view quota, std::string_view period) noexcept {
    const auto q = parse_signed(quota), p = parse_signed(period);
    if (!q || !p) return std::nullopt;
    return quota_cpus(*q, *p);
}

std::optional<std::size_t> cpus_from_job_cpu_rate(std::uint32_t control_flags, std::uint32_t rate,
                                                  std::size_t processors) noexcept {
    // JOB_OBJECT_CPU_RATE_CONTROL_*: the rate is a hard cap, or the upper half of a min-max pair;
    // a weight limits nothing. Rates are hundredths of a percent of all the machine's processors.
    constexpr std::uint32_t kEnable = 0x1, kHardCap = 0x4, kMinMaxRate = 0x10;
    constexpr std::uint32_t kFull = 10'000;
    if ((control_flags & kEnable) == 0) return std::nullopt;
    std::uint32_t cap;
    if (control_flags & kHardCap) {
        cap = rate;
    } else if (control_flags & kMinMaxRate) {
        cap = rate >> 16;  // MaxRate, the high word of the union
    } else {
        return std::nullopt;
    }
    if (cap == 0 || cap >= kFull || processors == 0) return std::nullopt;
    const std::uint64_t cpus = (std::uint64_t{cap} * processors + kFull - 1) / kFull;
    return static_cast<std::size_t>(std::max<std::uint64_t>(cpus, 1));
}

namespace {

[[maybe_unused]] std::optional<std::string> read_small_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return std::nullopt;
    std::string out;
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.append(buf, got);
        if (out.size() > (std::size_t{1} << 22)) break;
    }
    std::fclose(f);
    return out;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto pos = s.find(sep, start);
        parts.push_back(s.substr(start, pos == std::string_view::npos ? pos : pos - start));
        if (pos == std::string_view::npos) return parts;
        start = pos + 1;
    }
}

bool list_contains(std::string_view comma_list, std::string_view word) {
    for (auto item : split(comma_list, ',')) {
        if (item == word) return true;
    }
    return false;
}

// mountinfo escapes blanks and backslashes as \ooo.
std::string unescape_mount_path(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
            out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

struct CgroupMount {
    std::string root;         // the path inside the hierarchy that is mounted
    std::string mount_point;  // where it is mounted
};

// The mount of a cgroup hierarchy: v2 (`controller` empty) or the v1 one
// carrying `controller`.
std::optional<CgroupMount> find_cgroup_mount(const std::string& mountinfo, std::string_view controller) {
    for (auto line : split(mountinfo, '\n')) {
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto before = split(line.substr(0, dash), ' ');
        const auto after = split(line.substr(dash + 3), ' ');
        if (before.size() < 5 || after.size() < 3) continue;
        const bool match =
            controller.empty() ? after[0] == "cgroup2" : after[0] == "cgroup" && list_contains(after[2], controller);
        if (match) return CgroupMount{unescape_mount_path(before[3]), unescape_mount_path(before[4])};
    }
    return std::nullopt;
}

// Walks from the process's cgroup directory up to the mount point, applying
// `limit(dir)` at each level and keeping the smallest result.
template <class Limit>
std::optional<std::size_t> walk_cgroup(const CgroupMount& mount, std::string_view cgroup_path, Limit&& limit) {
    std::string_view rel = cgroup_path;
    if (mount.root != "/") {
        if (rel.substr(0, mount.root.size()) != mount.root) return std::nullopt;
        rel.remove_prefix(mount.root.size());
    }
    while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
    std::optional<std::size_t> best;
    for (;;) {
        std::string dir = mount.mount_point;
        dir.append(rel);
        if (auto v = limit(dir); v && (!best || *v < *best)) best = v;
        if (rel.empty()) break;
        const auto slash = rel.rfind('/');
        rel = slash == std::string_view::npos ? std::string_view{} : rel.substr(0, slash);
    }
    return best;
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(const FileReader& read) {
    const auto cgroups = read("/proc/self/cgroup");
    if (!cgroups) return std::nullopt;
    std::optional<std::string> mountinfo;
    std::optional<std::size_t> best;
    auto keep = [&](std::optional<std::size_t> v) {
        if (v && (!best || *v < *best)) best = v;
    };
    for (auto line : split(*cgroups, '\n')) {
        const auto first = line.find(':');
        const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const auto id = line.substr(0, first);
        const auto controllers = line.substr(first + 1, second - first - 1);
        const auto path = line.substr(second + 1);
        const bool v2 = id == "0" && controllers.empty();
        const bool v1_cpu = !v2 && list_contains(controllers, "cpu");
        if (!v2 && !v1_cpu) continue;
        if (!mountinfo) {
            mountinfo = read("/proc/self/mountinfo");
            if (!mountinfo) return std::nullopt;
        }
        const auto mount = find_cgroup_mount(*mountinfo, v2 ? "" : "cpu");
        if (!mount) continue;
        if (v2) {
            keep(walk_cgroup(*mount, path, [&read](const std::string& dir) {
                const auto text = read(dir + "/cpu.max");
                return text ? cpus_from_cpu_max(*text) : std::nullopt;
            }));
        } else {
            keep(walk_cgroup(*mount, path, [&read](const std::string& dir) -> std::optional<std::size_t> {
                const auto quota = read(dir + "/cpu.cfs_quota_us");
                const auto period = read(dir + "/cpu.cfs_period_us");
                if (!quota || !period) return std::nullopt;
                return cpus_from_cfs(*quota, *period);
            }));
        }
    }
    return best;
}

#if defined(_WIN32)

std::size_t affinity_cpus() noexcept {
    // A process confined to one processor group has its processors in its affinity mask. One
    // whose mask covers its whole group on a machine of several groups was not confined, and
    // from Windows 11 on its threads run in every group; one with threads in several groups
    // already is told no mask at all (both zero).
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0 &&
        (GetActiveProcessorGroupCount() <= 1 || process != system))
        return static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(process)));
    return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
}

std::size_t default_thread_count() noexcept {
    std::size_t count = affinity_cpus();
    // The job object the process runs in (a container's, or a service manager's) may cap its
    // share of the machine, as a cgroup quota does on Linux.
    JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
    if (QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate, nullptr)) {
        const auto limit =
            cpus_from_job_cpu_rate(rate.ControlFlags, rate.CpuRate, GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
        if (limit && (count == 0 || *limit < count)) count = *limit;
    }
    return count == 0 ? 1 : count;
}

#elif defined(__APPLE__)

std::size_t affinity_cpus() noexcept {
    int active = 0;
    std::size_t size = sizeof active;
    if (sysctlbyname("hw.activecpu", &active, &size, nullptr, 0) == 0 && active > 0)
        return static_cast<std::size_t>(active);
    return 0;
}

std::size_t default_thread_count() noexcept {
    const std::size_t count = affinity_cpus();
    return count == 0 ? 1 : count;
}

#else

std::size_t affinity_cpus() noexcept {
#ifdef __linux__
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        const int rc = sched_getaffinity(0, size, set);
        const int err = errno;
        const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 0;
        if (err != EINVAL) break;  // EINVAL: the kernel's mask is larger
    }
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 0;
}

std::size_t default_thread_count() noexcept {
    std::size_t count = affinity_cpus();
#ifdef __linux__
    try {
        if (auto limit = cgroup_cpu_limit(read_small_file); limit && (count == 0 || *limit < count)) count = *limit;
    } catch (...) {
        // Out of memory while reading the cgroup files: ignore the quota.
    }
#endif
    return count == 0 ? 1 : count;
}

#endif

}  // namespace ostrilo::pool
