#include "worker_pool.hpp"

#include "worker_pool_internals.hpp"

#include "cpu_count.hpp"
#include "os_threads.hpp"

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
            os::yield_processor();
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

// ---------------------------------------------------------------------------
// The choice between workers and calling thread

HandOffCosts::HandOffCosts() noexcept {
    for (auto& g : grains_) g.store(0, std::memory_order_relaxed);
}

std::size_t HandOffCosts::find(std::size_t grain, bool claim) const noexcept {
    for (std::size_t k = 0; k < kGrains; ++k) {
        std::size_t seen = grains_[k].load(std::memory_order_relaxed);
        if (seen == grain) return k;
        if (seen == 0) {
            if (!claim) return kNoCell;
            if (grains_[k].compare_exchange_strong(seen, grain, std::memory_order_relaxed) || seen == grain) return k;
        }
    }
    return kNoCell;
}

std::size_t HandOffCosts::cell_of(std::size_t grain, std::size_t blocks, bool claim) const noexcept {
    if (grain == 0 || blocks < 2 || blocks > kMostBlocks) return kNoCell;
    const std::size_t slot = find(grain, claim);
    if (slot == kNoCell) return kNoCell;
    std::size_t size_class = 0;  // blocks 2-3: 0, 4-7: 1, ..., 32: 4
    while ((blocks >> (size_class + 2)) != 0) ++size_class;
    return slot * kClasses + size_class;
}

HandOffCosts::Ticket HandOffCosts::choose(std::size_t grain, std::size_t blocks, std::size_t n) noexcept {
    const std::size_t cell = cell_of(grain, blocks, true);
    if (cell == kNoCell) return {};
    Cell& c = cells_[cell];
    const std::uint32_t job = c.jobs.fetch_add(1, std::memory_order_relaxed);
    const float pooled = c.pooled.load(std::memory_order_relaxed), inline_ = c.inline_.load(std::memory_order_relaxed);
    bool to_workers = true;
    if (pooled == 0.0F) {
        to_workers = true;  // the usual way first
    } else if (static_cast<double>(pooled) * static_cast<double>(n) > kLongJobNs) {
        to_workers = true;  // long: the hand-off is a small share of it
    } else if (inline_ == 0.0F) {
        to_workers = false;  // then the other, once
    } else {
        to_workers = pooled <= inline_;
        if (job % kExplore == 0) to_workers = !to_workers;
    }
    return {cell, to_workers};
}

void HandOffCosts::record(const Ticket& ticket, double ns_per_element) noexcept {
    if (ticket.cell == kNoCell || !(ns_per_element > 0.0)) return;
    std::atomic<float>& average = ticket.pooled ? cells_[ticket.cell].pooled : cells_[ticket.cell].inline_;
    const auto x = static_cast<float>(ns_per_element);
    const float old = average.load(std::memory_order_relaxed);
    // A moving average over about the last four jobs; a lost update between racing callers only
    // drops one sample.
    average.store(old == 0.0F ? x : old + (x - old) * 0.25F, std::memory_order_relaxed);
}

double HandOffCosts::pooled_cost(std::size_t grain, std::size_t blocks) const noexcept {
    const std::size_t cell = cell_of(grain, blocks, false);
    return cell == kNoCell ? 0.0 : cells_[cell].pooled.load(std::memory_order_relaxed);
}

double HandOffCosts::inline_cost(std::size_t grain, std::size_t blocks) const noexcept {
    const std::size_t cell = cell_of(grain, blocks, false);
    return cell == kNoCell ? 0.0 : cells_[cell].inline_.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Pool

bool Pool::on_worker() noexcept { return tl_in_worker; }

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
    std::atomic<bool> has_work{false};     // head != nullptr, for spinning workers
    std::atomic<std::size_t> sleeping{0};  // workers waiting on cv
    long worker_spin_ns = 0;               // 0 when there are more workers than processors
};

Pool::Pool(std::size_t threads) : shared_(std::make_unique<Shared>()) {
    threads = std::min(threads, kMaxThreads);
    workers_.reserve(threads);
    // Spinning only helps while every worker can have a processor.
    shared_->worker_spin_ns = threads <= affinity_cpus() ? kWorkerSpinNs : 0;

    for (std::size_t i = 0; i < threads; ++i) {
        os::Thread t{};
        if (!os::start_thread(t, &Pool::worker_entry, this, kWorkerStack)) break;
        workers_.push_back(t);
    }
}

bool Pool::workers_awake() const noexcept { return shared_->sleeping.load(std::memory_order_relaxed) == 0; }

Pool::~Pool() {
    {
        std::lock_guard lk(shared_->m);
        shared_->stop = true;
    }
    shared_->cv.notify_all();
    for (os::Thread t : workers_) os::join_thread(t);
}

void Pool::worker_entry(void* arg) {
    tl_in_worker = true;
    static_cast<Pool*>(arg)->worker_loop();
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
                s.sleeping.fetch_add(1, std::memory_order_relaxed);
                s.cv.wait(lk);
                s.sleeping.fetch_sub(1, std::memory_order_relaxed);
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
        g_atfork_registered = os::call_in_fork_child(&reset_in_child);
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
