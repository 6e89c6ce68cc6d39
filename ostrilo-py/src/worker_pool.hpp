// The process-wide worker pool of the vector lists.
//
// Pure C++: nothing here touches the Python API. Workers do arithmetic and
// text building on plain arrays handed to them by a caller that blocks until
// its job is finished (keeping the interpreter lock meanwhile: the policy of
// both modules is stated once, in docs/conventions.rst, "The interpreter lock").
//
// Results never depend on the number of threads or on timing: the index
// range [0, n) is split into contiguous blocks whose boundaries depend only
// on n and the job's grain, each block walks its elements in index order,
// and block results are combined in index order on the calling thread.
//
// Usage from the binding layer:
//
//   pool::for_blocks(n, [&](std::size_t b, std::size_t e) {
//       for (std::size_t i = b; i < e; ++i) out[i] = f(in[i]);
//   });
//   std::optional<Best> best = pool::reduce<Best>(n, per_block, merge);
//   std::string text = pool::join(n, ", ", append_element_text);
//
// Bodies are called concurrently from several threads (each call with its
// own block), so they must only write to their own block's outputs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "os_threads.hpp"

namespace ostrilo::pool {

// ---------------------------------------------------------------------------
// Tuning constants, measured on a 2-core x86-64 VM. Handing a job to
// sleeping workers costs ~6 us for one block and 10-30 us until two workers
// run; to workers still watching for work after a previous job, ~0.2 us.
// Jobs below two grains run on the caller, so a grain of about 10 us of
// element work keeps inline jobs under ~20 us and lets pooled ones pay for
// the hand-off: for a formula costing c ns per element, pass Grain{10'000 / c}.

// Upper bound on worker threads, whatever the environment asks for.
inline constexpr std::size_t kMaxThreads = 4096;

// Fewest elements a block may hold, for cheap per-element work (an add or a
// dot product over 24-byte records: ~0.6 ns in cache, ~1.2 ns from memory).
// A job of fewer than 2 * grain elements is a single block and runs on the
// calling thread; a 10-element job then costs ~20 ns.
inline constexpr std::size_t kDefaultGrain = 16384;

// Grain for text building (~100-250 ns per element).
inline constexpr std::size_t kTextGrain = 256;

// Most blocks a job is split into. More blocks balance load better between
// threads; fewer blocks cost fewer hand-offs.
inline constexpr std::size_t kMaxBlocks = 256;

// Fewest elements per block. Strong type so that it is never confused with
// an element count.
struct Grain {
    std::size_t elements = kDefaultGrain;
};

inline constexpr Grain kCheapWork{kDefaultGrain};
inline constexpr Grain kTextWork{kTextGrain};

// How [0, n) is cut into `count` contiguous blocks: the first n % count
// blocks hold one element more than the rest. Never overflows.
struct BlockPlan {
    std::size_t n = 0;
    std::size_t count = 0;

    std::size_t begin(std::size_t block) const noexcept {
        const std::size_t q = n / count, r = n % count;
        return block * q + (block < r ? block : r);
    }
    std::size_t end(std::size_t block) const noexcept { return begin(block + 1); }
};

// count = 0 for n = 0; otherwise min(kMaxBlocks, max(1, n / grain)). Depends
// only on n and the grain, never on the pool.
BlockPlan plan_blocks(std::size_t n, Grain grain = kCheapWork) noexcept;

// ---------------------------------------------------------------------------
// Whether a job of a few blocks is worth handing to the workers at all.
//
// Handing a job to workers that are still watching for work after their previous one costs
// ~0.2 us, so such a job always goes to them. Waking sleeping workers costs what the machine makes
// it cost: 10-30 us on the virtual machines we first measured, ~100 us on one of them later, and
// where the two processors are the two threads of one core, a memory-bound loop gains nothing from
// the second. So a job of at most kMostBlocks blocks for sleeping workers is timed, per element,
// and the next one of its grain and size class goes where such jobs took less time: to the
// workers, or its blocks in order on the calling thread. Every kExplore-th job of a class takes the
// other way, so that the costs follow the machine (and a run of back-to-back jobs finds the
// workers awake from then on). Larger jobs, and jobs of a class that took more than kLongJobNs on
// the workers, always go to the workers. Results never depend on the
// choice: the blocks are the same either way.
class HandOffCosts {
  public:
    static constexpr std::size_t kMostBlocks = 32;
    static constexpr std::uint32_t kExplore = 16;
    // A job of blocks in [2, kMostBlocks] is in one of kClasses size classes, by log2(blocks).
    static constexpr std::size_t kClasses = 5;
    // Grains told apart; jobs of further grains always go to the workers.
    static constexpr std::size_t kGrains = 16;

    struct Ticket {
        std::size_t cell = kNoCell;  // kNoCell: not timed
        bool pooled = true;
    };
    static constexpr std::size_t kNoCell = static_cast<std::size_t>(-1);

    HandOffCosts() noexcept;
    // Jobs of a class that took longer than this on the workers stay there: a hand-off costs
    // them a small share at most, and a wrong turn to the calling thread would cost much more.
    static constexpr double kLongJobNs = 500'000.0;

    Ticket choose(std::size_t grain, std::size_t blocks, std::size_t n) noexcept;
    void record(const Ticket& ticket, double ns_per_element) noexcept;
    // The averages of a class (0 until measured), for the tests.
    double pooled_cost(std::size_t grain, std::size_t blocks) const noexcept;
    double inline_cost(std::size_t grain, std::size_t blocks) const noexcept;

  private:
    struct Cell {
        std::atomic<float> pooled{0.0F}, inline_{0.0F};
        std::atomic<std::uint32_t> jobs{0};
    };
    std::size_t find(std::size_t grain, bool claim) const noexcept;
    std::size_t cell_of(std::size_t grain, std::size_t blocks, bool claim) const noexcept;
    mutable std::atomic<std::size_t> grains_[kGrains];  // 0: free
    Cell cells_[kGrains * kClasses];
};

// ---------------------------------------------------------------------------
// A pool of worker threads. The process-wide one is made by ensure_started();
// tests may make their own.

class Pool {
  public:
    // Starts `threads` workers (at most kMaxThreads). If a thread cannot be
    // created the pool keeps those it has; with none, every job runs on the
    // calling thread.
    explicit Pool(std::size_t threads);
    // Stops and joins the workers. No job may be running.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Worker threads actually running (0 if none could be created).
    std::size_t size() const noexcept { return workers_.size(); }

    // Runs fn(ctx, b) for every b in [0, count) on the workers and blocks
    // until all have finished. If some calls throw, the exception of the
    // lowest such b is rethrown here after every call has stopped; calls
    // for b above a failed one may be skipped. Runs the calls in order on
    // the calling thread when there are no workers or when the caller is
    // itself a pool worker.
    void run(std::size_t count, void (*fn)(void*, std::size_t), void* ctx);

    // body(begin, end) for contiguous blocks covering [0, n). A job of one
    // block (n < 2 * grain) runs on the calling thread; a larger one goes to
    // the workers while the calling thread only waits, unless it is small
    // enough for HandOffCosts to decide and its kind ran faster on the
    // calling thread (the same blocks, in order).
    template <class F>
    void for_blocks(std::size_t n, F&& body, Grain grain = kCheapWork);

    // Left fold, in block order, of block(begin, end) over the blocks of
    // [0, n): combine(combine(r0, r1), r2)..., on the calling thread, with
    // both arguments passed as rvalues. nullopt when n == 0. The blocks
    // depend only on n and the grain, so the result does not depend on the
    // pool even when combine is not associative (floating-point sums).
    template <class T, class Block, class Combine>
    std::optional<T> reduce(std::size_t n, Block&& block, Combine&& combine, Grain grain = kCheapWork);

    // text(i, out) appends element i's text to out; the texts of 0..n-1 are
    // joined with `separator` between neighbours.
    template <class F>
    std::string join(std::size_t n, std::string_view separator, F&& text, Grain grain = kTextWork);

    // The measured costs behind the choice between workers and calling thread.
    HandOffCosts& costs() noexcept { return costs_; }

  private:
    struct Job;
    struct Shared;
    // Runs blocks(pooled) and times it when the job is small enough to be timed.
    static bool on_worker() noexcept;
    // No worker is asleep: each is running a block or watching for work after one.
    bool workers_awake() const noexcept;
    template <class Blocks>
    void run_chosen(std::size_t n, Grain grain, std::size_t count, Blocks&& blocks);
    HandOffCosts costs_;
    static void worker_entry(void* arg);
    void worker_loop();
    static void execute(Job& job, std::size_t block);

    std::unique_ptr<Shared> shared_;
    std::vector<os::Thread> workers_;
};

// ---------------------------------------------------------------------------
// The process-wide pool.

// Starts the pool if it is not running yet. Thread-safe; only the first
// caller creates it. May throw std::bad_alloc (the pool then stays not
// started and a later call tries again).
void ensure_started();

// Worker threads of the process-wide pool; starts it.
std::size_t thread_count();

// The process-wide pool; starts it. (The sizing rule and the pool's state, which only the pool
// and its tests use, are in worker_pool_internals.hpp.)
Pool& global();

template <class F>
void for_blocks(std::size_t n, F&& body, Grain grain = kCheapWork) {
    global().for_blocks(n, std::forward<F>(body), grain);
}

template <class T, class Block, class Combine>
std::optional<T> reduce(std::size_t n, Block&& block, Combine&& combine, Grain grain = kCheapWork) {
    return global().reduce<T>(n, std::forward<Block>(block), std::forward<Combine>(combine), grain);
}

template <class F>
std::string join(std::size_t n, std::string_view separator, F&& text, Grain grain = kTextWork) {
    return global().join(n, separator, std::forward<F>(text), grain);
}

// ---------------------------------------------------------------------------
// Template members.

template <class F>
void Pool::for_blocks(std::size_t n, F&& body, Grain grain) {
    const BlockPlan plan = plan_blocks(n, grain);
    if (plan.count == 0) return;
    if (plan.count == 1) {  // too small to be worth a hand-off
        body(std::size_t{0}, n);
        return;
    }
    struct Ctx {
        BlockPlan plan;
        std::remove_reference_t<F>* body;
    } ctx{plan, std::addressof(body)};
    run_chosen(n, grain, plan.count, [&](bool pooled) {
        if (!pooled) {
            for (std::size_t b = 0; b < plan.count; ++b) body(plan.begin(b), plan.end(b));
            return;
        }
        run(
            plan.count,
            [](void* p, std::size_t b) {
                auto& c = *static_cast<Ctx*>(p);
                (*c.body)(c.plan.begin(b), c.plan.end(b));
            },
            &ctx);
    });
}

template <class Blocks>
void Pool::run_chosen(std::size_t n, Grain grain, std::size_t count, Blocks&& blocks) {
    if (workers_.empty() || on_worker()) {  // the calling thread either way
        blocks(false);
        return;
    }
    // Awake workers take a job at once (~0.2 us), so it goes to them; the costs decide only
    // for a hand-off to sleeping ones, which pays for waking them.
    const HandOffCosts::Ticket ticket =
        workers_awake() ? HandOffCosts::Ticket{} : costs_.choose(grain.elements, count, n);
    if (ticket.cell == HandOffCosts::kNoCell) {
        blocks(true);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    blocks(ticket.pooled);
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    costs_.record(ticket, took.count() / static_cast<double>(n));
}

template <class T, class Block, class Combine>
std::optional<T> Pool::reduce(std::size_t n, Block&& block, Combine&& combine, Grain grain) {
    const BlockPlan plan = plan_blocks(n, grain);
    if (plan.count == 0) return std::nullopt;
    if (plan.count == 1) return std::optional<T>(block(std::size_t{0}, n));
    std::vector<std::optional<T>> parts(plan.count);
    struct Ctx {
        BlockPlan plan;
        std::remove_reference_t<Block>* block;
        std::optional<T>* parts;
    } ctx{plan, std::addressof(block), parts.data()};
    run_chosen(n, grain, plan.count, [&](bool pooled) {
        if (!pooled) {
            for (std::size_t b = 0; b < plan.count; ++b) parts[b].emplace(block(plan.begin(b), plan.end(b)));
            return;
        }
        run(
            plan.count,
            [](void* p, std::size_t b) {
                auto& c = *static_cast<Ctx*>(p);
                c.parts[b].emplace((*c.block)(c.plan.begin(b), c.plan.end(b)));
            },
            &ctx);
    });
    std::optional<T> acc(std::move(*parts[0]));
    for (std::size_t b = 1; b < plan.count; ++b) {
        T next = combine(std::move(*acc), std::move(*parts[b]));
        acc.emplace(std::move(next));
    }
    return acc;
}

template <class F>
std::string Pool::join(std::size_t n, std::string_view separator, F&& text, Grain grain) {
    const BlockPlan plan = plan_blocks(n, grain);
    std::string out;
    if (plan.count == 0) return out;
    auto build = [&](std::size_t b, std::size_t e, std::string& s) {
        for (std::size_t i = b; i < e; ++i) {
            if (i != b) s.append(separator);
            text(i, s);
        }
    };
    if (plan.count == 1) {
        build(0, n, out);
        return out;
    }
    std::vector<std::string> parts(plan.count);
    struct Ctx {
        BlockPlan plan;
        decltype(build)* builder;
        std::string* parts;
    } ctx{plan, &build, parts.data()};
    run_chosen(n, grain, plan.count, [&](bool pooled) {
        if (!pooled) {
            for (std::size_t b = 0; b < plan.count; ++b) build(plan.begin(b), plan.end(b), parts[b]);
            return;
        }
        run(
            plan.count,
            [](void* p, std::size_t b) {
                auto& c = *static_cast<Ctx*>(p);
                (*c.builder)(c.plan.begin(b), c.plan.end(b), c.parts[b]);
            },
            &ctx);
    });
    std::size_t total = separator.size() * (plan.count - 1);
    for (const auto& s : parts) total += s.size();
    out.reserve(total);
    for (std::size_t b = 0; b < plan.count; ++b) {
        if (b != 0) out.append(separator);
        out.append(parts[b]);
    }
    return out;
}

}  // namespace ostrilo::pool
