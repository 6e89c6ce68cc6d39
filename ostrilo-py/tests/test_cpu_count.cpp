// Tests of the cgroup CPU-quota reading, against made-up /proc and cgroup files, and of the
// Windows job-object CPU rate, against made-up rate settings (JOBOBJECT_CPU_RATE_CONTROL_INFORMATION:
// ENABLE 0x1, WEIGHT_BASED 0x2, HARD_CAP 0x4, MIN_MAX_RATE 0x10). Plain
// executable: prints one line per failed case and a closing count; exit status 0 iff all pass.
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cpu_count.hpp"

namespace {

using Files = std::map<std::string, std::string>;

const std::string kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid,nodev shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string kV1Mount =
    "35 30 0:30 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:9 - cgroup cgroup rw,cpu,cpuacct\n";

struct Case {
    const char* name;
    Files files;
    std::optional<std::size_t> expected;
};

std::vector<Case> cases() {
    return {
        {"v2, no limit anywhere",
         {{"/proc/self/cgroup", "0::/a/b\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {"/sys/fs/cgroup/a/b/cpu.max", "max 100000\n"}},
         std::nullopt},
        {"v2, quota rounded up",
         {{"/proc/self/cgroup", "0::/a\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {"/sys/fs/cgroup/a/cpu.max", "150000 100000\n"}},
         2},
        {"v2, an ancestor's quota is smaller",
         {{"/proc/self/cgroup", "0::/a/b\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {"/sys/fs/cgroup/a/cpu.max", "100000 100000\n"},
          {"/sys/fs/cgroup/a/b/cpu.max", "300000 100000\n"}},
         1},
        {"v2, the leaf's quota is smaller",
         {{"/proc/self/cgroup", "0::/a/b/\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {"/sys/fs/cgroup/a/cpu.max", "800000 100000\n"},
          {"/sys/fs/cgroup/a/b/cpu.max", "300000 100000\n"}},
         3},
        {"v2, a tiny quota is still one CPU",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {"/sys/fs/cgroup/cpu.max", "1000 100000\n"}},
         1},
        {"v2, mount root of a container: the mount point is the process's cgroup",
         {{"/proc/self/cgroup", "0::/docker/abc\n"},
          {"/proc/self/mountinfo", "41 40 0:26 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/cpu.max", "200000 100000\n"}},
         2},
        {"v2, cgroup outside the mounted root",
         {{"/proc/self/cgroup", "0::/other\n"},
          {"/proc/self/mountinfo", "41 40 0:26 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/cpu.max", "200000 100000\n"}},
         std::nullopt},
        {"v2, escaped blank in the mount point",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", "30 23 0:26 / /mnt/my\\040cgroup rw - cgroup2 cgroup2 rw\n"},
          {"/mnt/my cgroup/cpu.max", "400000 100000\n"}},
         4},
        {"v1, cpu controller shared with cpuacct",
         {{"/proc/self/cgroup", "12:memory:/x\n4:cpu,cpuacct:/x\n"},
          {"/proc/self/mountinfo", kV1Mount},
          {"/sys/fs/cgroup/cpu,cpuacct/x/cpu.cfs_quota_us", "250000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/x/cpu.cfs_period_us", "100000\n"}},
         3},
        {"v1, quota -1 is unlimited",
         {{"/proc/self/cgroup", "4:cpu,cpuacct:/x\n"},
          {"/proc/self/mountinfo", kV1Mount},
          {"/sys/fs/cgroup/cpu,cpuacct/x/cpu.cfs_quota_us", "-1\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/x/cpu.cfs_period_us", "100000\n"}},
         std::nullopt},
        {"v1, cpuacct alone is not the cpu controller",
         {{"/proc/self/cgroup", "3:cpuacct:/x\n"},
          {"/proc/self/mountinfo", "35 30 0:30 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n"},
          {"/sys/fs/cgroup/cpuacct/x/cpu.cfs_quota_us", "100000\n"},
          {"/sys/fs/cgroup/cpuacct/x/cpu.cfs_period_us", "100000\n"}},
         std::nullopt},
        {"v1 and v2 together: the smaller quota",
         {{"/proc/self/cgroup", "4:cpu,cpuacct:/x\n0::/y\n"},
          {"/proc/self/mountinfo", kV1Mount + kV2Mount},
          {"/sys/fs/cgroup/cpu,cpuacct/x/cpu.cfs_quota_us", "500000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/x/cpu.cfs_period_us", "100000\n"},
          {"/sys/fs/cgroup/y/cpu.max", "200000 100000\n"}},
         2},
        {"garbage in cpu.max is no limit",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", kV2Mount},
          {"/sys/fs/cgroup/cpu.max", "lots 100000\n"}},
         std::nullopt},
        {"no cgroup file", {}, std::nullopt},
        {"no cgroup mount", {{"/proc/self/cgroup", "0::/a\n"}, {"/proc/self/mountinfo", ""}}, std::nullopt},
    };
}

std::string text(std::optional<std::size_t> v) { return v ? std::to_string(*v) : "none"; }

struct RateCase {
    const char* name;
    std::uint32_t flags, rate;
    std::size_t processors;
    std::optional<std::size_t> expected;
};

// Rates are hundredths of a percent of the whole machine.
const RateCase kRates[] = {
    {"control off", 0x4, 5000, 8, std::nullopt},
    {"hard cap, half of 8", 0x1 | 0x4, 5000, 8, 4},
    {"hard cap rounds up", 0x1 | 0x4, 1300, 8, 2},
    {"hard cap, tiny, still one", 0x1 | 0x4, 1, 64, 1},
    {"hard cap, the whole machine", 0x1 | 0x4, 10000, 8, std::nullopt},
    {"hard cap of zero limits nothing", 0x1 | 0x4, 0, 8, std::nullopt},
    {"weight-based limits nothing", 0x1 | 0x2, 5, 8, std::nullopt},
    {"min-max: the maximum, in the high word", 0x1 | 0x10, (2500u << 16) | 100u, 16, 4},
    {"min-max, maximum 100 %", 0x1 | 0x10, (10000u << 16) | 9000u, 16, std::nullopt},
    {"hard cap on a machine of several groups", 0x1 | 0x4, 3000, 160, 48},
};

}  // namespace

int main() {
    int failed = 0, passed = 0;
    for (const Case& c : cases()) {
        const ostrilo::pool::FileReader read = [&c](const std::string& path) -> std::optional<std::string> {
            const auto it = c.files.find(path);
            return it == c.files.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
        const auto got = ostrilo::pool::cgroup_cpu_limit(read);
        if (got == c.expected) {
            ++passed;
        } else {
            ++failed;
            std::printf("FAILED %s: got %s, expected %s\n", c.name, text(got).c_str(), text(c.expected).c_str());
        }
    }
    for (const RateCase& c : kRates) {
        const auto got = ostrilo::pool::cpus_from_job_cpu_rate(c.flags, c.rate, c.processors);
        if (got == c.expected) {
            ++passed;
        } else {
            ++failed;
            std::printf("FAILED %s: got %s, expected %s\n", c.name, text(got).c_str(), text(c.expected).c_str());
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
