#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>

namespace ostrilo::pool {

namespace {

constexpr std::size_t kNoBlock = std::numeric_limits<std::size_t>::max();

// Stack of each worker. Bodies only do arithmetic and short text building;
// a modest stack keeps large thread counts possible on 32-bit targets.
constexpr std::size_t kWorkerStack = std::size_t{2} << 20;

// How long a worker that has just finished a block watches for new work
// before it sleeps, and how long a caller watches for its job to finish
// before it sleeps. Waking a sleeping thread costs ~5-30 us on the machines
// we measured; a spin that yields the processor about every microsecond
// saves that for back-to-back jobs and for the end of short jobs, and costs
// little to other threads that want to run.
constexpr long kWorkerSpinNs = 50'000;
constexpr long kCallerSpinNs = 20'000;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#endif
}

template <class Ready>
bool spin_until(Ready&& ready, long budget_ns) {
    if (budget_ns <= 0) return ready();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(budget_ns);
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        cpu_relax();
        if ((i & 31) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return ready();
            sched_yield();
        }
    }
}

// Set on pool worker threads: a job submitted from one runs inline.
thread_local bool tl_in_worker = false;

}  // namespace

// ---------------------------------------------------------------------------
// Block plan

BlockPlan plan_blocks(std::size_t n, Grain grain) noexcept {
    if (n == 0) return {0, 0};
    const std::size_t g = grain.elements == 0 ? 1 : grain.elements;
    std::size_t count = n / g;
    if (count < 1) count = 1;
    if (count > kMaxBlocks) count = kMaxBlocks;
    return {n, count};
}

// ---------------------------------------------------------------------------
// Sizing

std::optional<std::size_t> parse_decimal(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    std::size_t value = 0;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(*p - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return value;
}

namespace {

template <class Default>
std::size_t decide(const char* num_threads, const char* rs_num_cpus, Default&& default_count) {
    std::size_t count = 0;
    if (auto v = parse_decimal(num_threads)) {
        count = *v;  // 0: the default, whatever else is set
    } else if (auto w = parse_decimal(rs_num_cpus); w && *w > 0) {
        count = *w;
    }
    if (count == 0) count = default_count();
    return std::clamp<std::size_t>(count, 1, kMaxThreads);
}

}  // namespace

std::size_t decide_thread_count(const char* num_threads, const char* rs_num_cpus, std::size_t default_count) noexcept {
    return decide(num_threads, rs_num_cpus, [&] { return default_count; });
}

std::size_t decide_thread_count(const char* num_threads, const char* rs_num_cpus) noexcept {
    return decide(num_threads, rs_num_cpus, [] { return default_thread_count(); });
}

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

namespace {

std::optional<std::string> read_small_file(const std::string& path) {
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

std::optional<std::size_t> cgroup_cpu_limit() {
    const auto cgroups = read_small_file("/proc/self/cgroup");
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
            mountinfo = read_small_file("/proc/self/mountinfo");
            if (!mountinfo) return std::nullopt;
        }
        const auto mount = find_cgroup_mount(*mountinfo, v2 ? "" : "cpu");
        if (!mount) continue;
        if (v2) {
            keep(walk_cgroup(*mount, path, [](const std::string& dir) {
                const auto text = read_small_file(dir + "/cpu.max");
                return text ? cpus_from_cpu_max(*text) : std::nullopt;
            }));
        } else {
            keep(walk_cgroup(*mount, path, [](const std::string& dir) -> std::optional<std::size_t> {
                const auto quota = read_small_file(dir + "/cpu.cfs_quota_us");
                const auto period = read_small_file(dir + "/cpu.cfs_period_us");
                if (!quota || !period) return std::nullopt;
                return cpus_from_cfs(*quota, *period);
            }));
        }
    }
    return best;
}

std::size_t affinity_cpus() noexcept {
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
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 0;
}

}  // namespace

std::size_t default_thread_count() noexcept {
    std::size_t count = affinity_cpus();
    try {
        if (auto limit = cgroup_cpu_limit(); limit && (count == 0 || *limit < count)) count = *limit;
    } catch (...) {
        // Out of memory while reading the cgroup files: ignore the quota.
    }
    return count == 0 ? 1 : count;
}

// ---------------------------------------------------------------------------
// Pool

struct Pool::Job {
    void (*fn)(void*, std::size_t);
    void* ctx;
    std::size_t count;

    // Guarded by Shared::m.
    std::size_t next_block = 0;
    Job* next_job = nullptr;

    std::atomic<std::size_t> remaining;
    std::atomic<std::size_t> failed_block{kNoBlock};

    // Guarded by m.
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> done{false};  // written under m
    std::size_t error_block = kNoBlock;
    std::exception_ptr error;

    Job(void (*f)(void*, std::size_t), void* c, std::size_t n) : fn(f), ctx(c), count(n), remaining(n) {}
};

struct Pool::Shared {
    std::mutex m;
    std::condition_variable cv;  // workers sleep here
    Job* head = nullptr;         // queue of jobs with unclaimed blocks
    Job* tail = nullptr;
    bool stop = false;
    std::atomic<bool> has_work{false};  // head != nullptr, for spinning workers
    long worker_spin_ns = 0;            // 0 when there are more workers than processors
};

Pool::Pool(std::size_t threads) : shared_(std::make_unique<Shared>()) {
    threads = std::min(threads, kMaxThreads);
    workers_.reserve(threads);
    // Spinning only helps while every worker can have a processor.
    shared_->worker_spin_ns = threads <= affinity_cpus() ? kWorkerSpinNs : 0;

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return;
    pthread_attr_setstacksize(&attr, kWorkerStack);
    // Workers take no asynchronous signals: they are left to the threads
    // that run the interpreter. Faults stay deliverable so that crash
    // handlers still see them.
    sigset_t all, old;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, sig);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    for (std::size_t i = 0; i < threads; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, &Pool::worker_entry, this) != 0) break;
        workers_.push_back(t);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
}

Pool::~Pool() {
    {
        std::lock_guard lk(shared_->m);
        shared_->stop = true;
    }
    shared_->cv.notify_all();
    for (pthread_t t : workers_) pthread_join(t, nullptr);
}

void* Pool::worker_entry(void* arg) {
    tl_in_worker = true;
    static_cast<Pool*>(arg)->worker_loop();
    return nullptr;
}

void Pool::worker_loop() {
    Shared& s = *shared_;
    std::unique_lock lk(s.m);
    bool worked = false;
    for (;;) {
        if (s.head == nullptr) {
            if (s.stop) return;
            if (worked && s.worker_spin_ns > 0) {
                // Just finished a block: watch for more work a short while
                // before sleeping, so that back-to-back jobs do not each pay
                // for waking a thread.
                worked = false;
                lk.unlock();
                spin_until([&] { return s.has_work.load(std::memory_order_relaxed); }, s.worker_spin_ns);
                lk.lock();
            } else if (!s.stop) {
                s.cv.wait(lk);
            }
            continue;
        }
        Job& job = *s.head;
        const std::size_t block = job.next_block++;
        if (job.next_block == job.count) {  // every block claimed
            s.head = job.next_job;
            if (s.head == nullptr) {
                s.tail = nullptr;
                s.has_work.store(false, std::memory_order_relaxed);
            }
        } else if (job.next_job != nullptr) {
            // Round robin between concurrent jobs, one block at a time, so a
            // small job is not queued behind all of a large one.
            s.head = job.next_job;
            job.next_job = nullptr;
            s.tail->next_job = &job;
            s.tail = &job;
        }
        lk.unlock();
        execute(job, block);
        worked = true;
        lk.lock();
    }
}

void Pool::execute(Job& job, std::size_t block) {
    // Blocks after a failed one may be skipped; lower ones always run, so the
    // lowest failing block is the one reported.
    if (job.failed_block.load(std::memory_order_relaxed) > block) {
        try {
            job.fn(job.ctx, block);
        } catch (...) {
            {
                std::lock_guard lk(job.m);
                if (block < job.error_block) {
                    job.error_block = block;
                    job.error = std::current_exception();
                }
            }
            std::size_t seen = job.failed_block.load(std::memory_order_relaxed);
            while (block < seen && !job.failed_block.compare_exchange_weak(seen, block, std::memory_order_relaxed)) {
            }
        }
    }
    if (job.remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // Last block: wake the caller. The caller may destroy the job as soon
        // as the lock is released, so nothing touches it afterwards.
        std::lock_guard lk(job.m);
        job.done.store(true, std::memory_order_release);
        job.cv.notify_one();
    }
}

void Pool::run(std::size_t count, void (*fn)(void*, std::size_t), void* ctx) {
    if (count == 0) return;
    if (workers_.empty() || tl_in_worker) {
        for (std::size_t b = 0; b < count; ++b) fn(ctx, b);
        return;
    }
    Job job(fn, ctx, count);
    Shared& s = *shared_;
    {
        std::lock_guard lk(s.m);
        if (s.tail != nullptr) {
            s.tail->next_job = &job;
        } else {
            s.head = &job;
        }
        s.tail = &job;
        s.has_work.store(true, std::memory_order_relaxed);
    }
    if (count >= workers_.size()) {
        s.cv.notify_all();
    } else {
        for (std::size_t i = 0; i < count; ++i) s.cv.notify_one();
    }
    spin_until([&] { return job.done.load(std::memory_order_acquire); }, kCallerSpinNs);
    {
        // Also when `done` was seen while spinning: the lock orders this
        // return after the last worker has let go of the job.
        std::unique_lock lk(job.m);
        job.cv.wait(lk, [&] { return job.done.load(std::memory_order_relaxed); });
    }
    if (job.error) std::rethrow_exception(job.error);
}

// ---------------------------------------------------------------------------
// The process-wide pool

namespace {

// Both constant-initialised: nothing runs at static-init time.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_start_mutex;
bool g_atfork_registered = false;  // guarded by g_start_mutex

// In a child of fork() only the forking thread exists: the old workers are
// gone and the pool's locks may be held by threads that no longer run. Leak
// the old pool without touching it and let the next job start a fresh one.
void reset_in_child() noexcept {
    g_pool.store(nullptr, std::memory_order_relaxed);
    ::new (static_cast<void*>(&g_start_mutex)) std::mutex;
    tl_in_worker = false;
}

[[gnu::noinline]] Pool& start_global() {
    std::lock_guard lk(g_start_mutex);
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    if (!g_atfork_registered) {
        g_atfork_registered = pthread_atfork(nullptr, nullptr, &reset_in_child) == 0;
    }
    const std::size_t count = decide_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"));
    Pool* p = new Pool(count);
    g_pool.store(p, std::memory_order_release);
    return *p;
}

}  // namespace

Pool& global() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    return start_global();
}

void ensure_started() { (void)global(); }

bool started() noexcept { return g_pool.load(std::memory_order_acquire) != nullptr; }

std::size_t thread_count() { return global().size(); }

}  // namespace ostrilo::pool
