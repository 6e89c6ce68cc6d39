#include "worker_pool.hpp"

#include "worker_pool_internals.hpp"

#include "cpu_count.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

// How long a worker that has just finished a job watches for the next one
// before it sleeps, and how long a caller watches for the blocks still
// running on helpers before it sleeps (at least; a few of its own blocks'
// time, at most the maximum). Waking a sleeping thread cost ~10-50 us on the
// machine we measured on (the call and the latency); a spin that yields the
// processor about every microsecond saves that for back-to-back jobs and for
// the end of a job, and costs little to other threads that want to run.
constexpr long kWorkerSpinNs = 50'000;
constexpr long kCallerSpinNs = 20'000;
constexpr long kCallerSpinMaxNs = 200'000;

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
// Pool
//
// A job is run by its caller together with up to size() - 1 workers, its helpers, so that no job
// has more threads than the pool has. The caller takes blocks from the front of the range and
// helpers take them from the back. The caller starts at once, so a helper that comes late (it was
// asleep, or its processor is busy with another program) costs only the blocks it does not take,
// and at the end the caller waits only for the blocks still running on helpers, usually without
// sleeping. Claiming from the two ends keeps each thread's share contiguous; where the split lands
// near the same place from one operation to the next, the front of a list can stay in the
// caller's caches and the back in the helper's.
//
// Whether to wake a sleeping worker is decided from costs measured in this process. A worker
// still watching for work after its last job (spinning) costs nothing to use: it sees a new job
// within a fraction of a microsecond, so every job of two blocks or more is offered to it. A
// sleeping one costs the caller the wake-up call and arrives only after its wake-up latency; on
// the 2-processor virtual machine we measured on, the call took 5-10 us (waking another processor
// leaves the virtual machine) and the latency 3-40 us, and when every processor was busy with
// other programs the woken worker took the caller's own processor, so that the call returned only
// after it (~200 us). A job whose blocks left would take the caller R alone takes about
// (R + call + latency) / 2 with a woken helper, which pays from R > call + latency on. So the
// caller times its own first block and wakes sleeping workers when
//  - the blocks left would take it, alone, at least 1.5 times what a wake-up costs (call plus
//    latency, medians of the last ones this pool made: the margin is for their spread), or
//  - jobs come back to back (the last two each began less than half a worker's spin after the
//    one before ended) and a wake-up costs less than that spin: the worker woken now keeps
//    watching after this job, and the next ones, however small, find it ready.
// No constant in that rule belongs to one processor: a slower loop build, clock or memory makes
// the same job longer and calls for help sooner; a machine that wakes threads faster gets help
// sooner, and a machine with no processor to spare measures wake-ups too dear to make.

namespace {

// The blocks of a job are being run on this thread (a worker, or a caller inside its own job): a
// job submitted from here runs inline.
thread_local bool tl_in_block = false;

struct InBlock {
    bool was = tl_in_block;
    InBlock() noexcept { tl_in_block = true; }
    ~InBlock() { tl_in_block = was; }
    InBlock(const InBlock&) = delete;
    InBlock& operator=(const InBlock&) = delete;
};

std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The cost of one step of a wake-up: the median of the last few measured, so that one thread
// preempted in the middle of a measurement (common on a busy machine) does not count.
// Measurements come from several threads; two that race may lose one of them.
class WakeCost {
  public:
    explicit WakeCost(std::int64_t initial_ns) noexcept {
        for (auto& s : samples_) s.store(initial_ns, std::memory_order_relaxed);
    }
    void record(std::int64_t ns) noexcept {
        const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed) % kSamples;
        samples_[i].store(std::clamp<std::int64_t>(ns, 0, kMaxSampleNs), std::memory_order_relaxed);
    }
    std::int64_t median() const noexcept {
        std::array<std::int64_t, kSamples> v;
        for (std::size_t i = 0; i < kSamples; ++i) v[i] = samples_[i].load(std::memory_order_relaxed);
        std::nth_element(v.begin(), v.begin() + kSamples / 2, v.end());
        return v[kSamples / 2];
    }

  private:
    static constexpr std::size_t kSamples = 7;
    // A longer one (the thread preempted for a whole time slice) counts as this much, so that a
    // job of a millisecond or more still wakes a worker, and so measures again, after a busy spell.
    static constexpr std::int64_t kMaxSampleNs = 250'000;
    std::array<std::atomic<std::int64_t>, kSamples> samples_;
    std::atomic<std::size_t> next_{0};
};

// Before the first wake-ups are measured: low enough that the first job of a few tens of
// microseconds tries one, after which the measurements take over.
constexpr std::int64_t kInitialNotifyNs = 2'000;
constexpr std::int64_t kInitialLatencyNs = 10'000;

// A job's unclaimed blocks [front, back) as one word, front in the high half, so that the caller
// (front) and its helpers (back) claim with one compare-and-swap and no lock.
constexpr std::uint64_t kLowHalf = 0xffff'ffffu;
constexpr std::size_t kMaxPooledBlocks = static_cast<std::size_t>(std::min<std::uint64_t>(kLowHalf, SIZE_MAX));

}  // namespace

struct Pool::Job {
    void (*fn)(void*, std::size_t);
    void* ctx;

    std::atomic<std::uint64_t> range;  // unclaimed blocks: front << 32 | back
    // Blocks not run yet plus the participants still holding the job (the caller until it has
    // closed the job, each helper until it has found no block left): the job is done at zero.
    std::atomic<std::size_t> remaining;
    std::atomic<std::size_t> failed_block{kNoBlock};

    // Guarded by Shared::m.
    std::size_t helpers = 0;
    std::size_t max_helpers;
    bool queued = false;  // helpers may join only while it is queued
    Job* next_job = nullptr;
    std::int64_t woken_at = 0;  // when the caller woke workers for it; 0 if it did not

    // Guarded by m.
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> done{false};  // written under m
    std::size_t error_block = kNoBlock;
    std::exception_ptr error;

    Job(void (*f)(void*, std::size_t), void* c, std::size_t count, std::size_t helpers_at_most)
        : fn(f), ctx(c), range(count), remaining(count + 1), max_helpers(helpers_at_most) {}

    bool exhausted() const noexcept {
        const std::uint64_t r = range.load(std::memory_order_relaxed);
        return (r >> 32) == (r & kLowHalf);
    }
    std::size_t claim_front() noexcept {
        std::uint64_t r = range.load(std::memory_order_relaxed);
        for (;;) {
            if ((r >> 32) == (r & kLowHalf)) return kNoBlock;
            if (range.compare_exchange_weak(r, r + (std::uint64_t{1} << 32), std::memory_order_relaxed))
                return static_cast<std::size_t>(r >> 32);
        }
    }
    std::size_t claim_back() noexcept {
        std::uint64_t r = range.load(std::memory_order_relaxed);
        for (;;) {
            if ((r >> 32) == (r & kLowHalf)) return kNoBlock;
            if (range.compare_exchange_weak(r, r - 1, std::memory_order_relaxed))
                return static_cast<std::size_t>((r & kLowHalf) - 1);
        }
    }
};

struct Pool::Shared {
    std::mutex m;
    std::condition_variable cv;  // idle workers sleep here
    Job* head = nullptr;         // jobs helpers may join, oldest first
    Job* tail = nullptr;
    std::size_t sleeping = 0;  // workers waiting on cv
    bool stop = false;

    std::atomic<std::uint64_t> epoch{0};   // bumped whenever a job is queued; spinning workers watch it
    std::atomic<std::size_t> spinning{0};  // workers watching for work
    std::size_t max_spinning = 0;          // as many as one job can use
    long worker_spin_ns = 0;               // 0 when there are more workers than processors

    WakeCost notify{kInitialNotifyNs};      // the caller's time to wake one worker
    WakeCost latency{kInitialLatencyNs};    // from then to that worker joining
    std::atomic<std::int64_t> last_end{0};  // when the last job of two blocks or more ended
    unsigned short_gaps = 0;                // jobs in a row that came soon after the one before

    void enqueue(Job& job) {  // under m
        job.queued = true;
        job.next_job = nullptr;
        (tail != nullptr ? tail->next_job : head) = &job;
        tail = &job;
        epoch.fetch_add(1, std::memory_order_relaxed);
    }

    void unlink(Job& job) {  // under m
        Job* prev = nullptr;
        for (Job* j = head; j != &job; j = j->next_job) prev = j;
        (prev != nullptr ? prev->next_job : head) = job.next_job;
        if (tail == &job) tail = prev;
        job.next_job = nullptr;
        job.queued = false;
    }
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
    {
        // Before any worker reads it.
        std::lock_guard lk(shared_->m);
        shared_->max_spinning = threads == 0 ? 0 : threads - 1;
        for (std::size_t i = 0; i < threads; ++i) {
            pthread_t t;
            if (pthread_create(&t, &attr, &Pool::worker_entry, this) != 0) break;
            workers_.push_back(t);
        }
        shared_->max_spinning = workers_.empty() ? 0 : workers_.size() - 1;
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
    tl_in_block = true;
    static_cast<Pool*>(arg)->worker_loop();
    return nullptr;
}

void Pool::worker_loop() {
    Shared& s = *shared_;
    std::unique_lock lk(s.m);
    bool worked = false;  // since it last slept: ran a block, or was woken (so a job came)
    for (;;) {
        Job* job = s.head;
        while (job != nullptr && (job->helpers >= job->max_helpers || job->exhausted())) job = job->next_job;
        if (job == nullptr) {
            if (s.stop) return;
            // Just finished a job (or was woken for one that its caller finished first): watch for
            // the next one a short while before sleeping, so that back-to-back jobs do not each
            // pay for waking a thread.
            bool spin = false;
            if (worked && s.worker_spin_ns > 0) {
                spin = s.spinning.fetch_add(1, std::memory_order_relaxed) < s.max_spinning;
                if (!spin) s.spinning.fetch_sub(1, std::memory_order_relaxed);
            }
            worked = false;
            if (spin) {
                const std::uint64_t seen = s.epoch.load(std::memory_order_relaxed);
                lk.unlock();
                spin_until([&] { return s.epoch.load(std::memory_order_relaxed) != seen; }, s.worker_spin_ns);
                s.spinning.fetch_sub(1, std::memory_order_relaxed);
                lk.lock();
            } else {
                ++s.sleeping;
                s.cv.wait(lk);
                --s.sleeping;
                worked = true;
            }
            continue;
        }
        // Joining: the job is queued, so its caller still holds it and `remaining` is not zero.
        job->remaining.fetch_add(1, std::memory_order_relaxed);
        if (job->helpers++ == 0 && job->woken_at != 0) s.latency.record(now_ns() - job->woken_at);
        lk.unlock();
        std::size_t ran = 0;
        for (std::size_t b = job->claim_back(); b != kNoBlock; b = job->claim_back(), ++ran) execute(*job, b);
        release(*job, ran + 1);
        worked = worked || ran > 0;
        lk.lock();
    }
}

void Pool::execute(Job& job, std::size_t block) {
    // Blocks after a failed one may be skipped; lower ones always run, so the
    // lowest failing block is the one reported.
    if (job.failed_block.load(std::memory_order_relaxed) <= block) return;
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

void Pool::release(Job& job, std::size_t count) {
    // Counts the blocks a participant ran and its hold on the job at once, so that a block costs
    // no write to memory the other threads use.
    if (job.remaining.fetch_sub(count, std::memory_order_acq_rel) == count) {
        // The last: wake the caller. The caller may destroy the job as soon as the lock is
        // released, so nothing touches it afterwards.
        std::lock_guard lk(job.m);
        job.done.store(true, std::memory_order_release);
        job.cv.notify_one();
    }
}

void Pool::run(std::size_t count, void (*fn)(void*, std::size_t), void* ctx) {
    if (count == 0) return;
    const std::size_t max_helpers = std::min(workers_.empty() ? 0 : workers_.size() - 1, count - 1);
    if (max_helpers == 0 || tl_in_block || count > kMaxPooledBlocks) {
        for (std::size_t b = 0; b < count; ++b) fn(ctx, b);
        return;
    }
    Shared& s = *shared_;
    Job job(fn, ctx, count, max_helpers);
    const InBlock in_block;
    bool published = false;
    if (s.spinning.load(std::memory_order_relaxed) > 0) {
        std::lock_guard lk(s.m);
        s.enqueue(job);
        published = true;
    }

    std::size_t ran = 0;
    const std::int64_t start = now_ns();
    if (const std::size_t first = job.claim_front(); first != kNoBlock) {
        execute(job, first);
        ++ran;
    }
    const std::int64_t first_ns = now_ns() - start;

    // Whether to wake sleeping workers: the rule at the top of this section. Spinning workers are
    // always welcome; sleeping ones when the blocks left would take this thread alone at least
    // 1.5 times a wake-up (measured), or when jobs come back to back and a wake-up costs less
    // than the spin that the woken worker then keeps up for the next job.
    std::size_t wake = 0;
    if (!job.exhausted()) {
        std::lock_guard lk(s.m);
        const std::uint64_t r = job.range.load(std::memory_order_relaxed);
        const std::size_t left = static_cast<std::size_t>((r & kLowHalf) - (r >> 32));
        const std::size_t spinning = s.spinning.load(std::memory_order_relaxed);
        const std::int64_t wake_ns = s.notify.median() + s.latency.median();
        // Gaps under half a spin, twice in a row: the next job is then likely to come while the
        // woken worker still watches, with room to spare. (One short gap is not enough: a caller
        // that alternates with other work makes short and long gaps by turns, and a worker woken
        // after a short one is asleep again by the next job.)
        const bool short_gap = start - s.last_end.load(std::memory_order_relaxed) < s.worker_spin_ns / 2;
        s.short_gaps = short_gap ? s.short_gaps + 1 : 0;
        const bool back_to_back = s.short_gaps >= 2;
        if (static_cast<double>(left) * static_cast<double>(first_ns) >= 1.5 * static_cast<double>(wake_ns) ||
            (back_to_back && wake_ns < s.worker_spin_ns)) {
            const std::size_t coming = job.helpers + spinning;
            const std::size_t wanted = std::min(job.max_helpers, left);
            wake = std::min(s.sleeping, wanted > coming ? wanted - coming : 0);
        }
        if (!published && (spinning > 0 || wake > 0)) {
            s.enqueue(job);
            published = true;
        }
        if (wake > 0) job.woken_at = now_ns();
    }
    if (wake > 0) {
        const std::int64_t before = now_ns();
        for (std::size_t i = 0; i < wake; ++i) s.cv.notify_one();
        s.notify.record((now_ns() - before) / static_cast<std::int64_t>(wake));
    }

    for (std::size_t b = job.claim_front(); b != kNoBlock; b = job.claim_front(), ++ran) execute(job, b);

    if (published) {
        // No helper joins from here on.
        std::lock_guard lk(s.m);
        s.unlink(job);
    }
    release(job, ran + 1);
    s.last_end.store(now_ns(), std::memory_order_relaxed);
    // Only blocks already running on helpers are left: watch for them a while (a few of the
    // caller's own blocks) before sleeping.
    const auto budget = static_cast<long>(std::clamp<std::int64_t>(4 * first_ns, kCallerSpinNs, kCallerSpinMaxNs));
    spin_until([&] { return job.done.load(std::memory_order_acquire); }, budget);
    {
        // Also when `done` was seen while spinning: the lock orders this
        // return after the last helper has let go of the job.
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
    tl_in_block = false;
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
