// First creation of a process-wide object (a class object, say) raced by 8 threads released at
// once, round after round: how often the builder runs, what each thread gets back, and what
// becomes of every object built. The lock is a std::mutex here (the module uses the
// interpreter's mutex, which no code can take without an interpreter); the protocol around it
// is the module's own.
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "frame/once.hpp"

namespace {

using ostrilo::FirstPublishWins;

constexpr int kThreads = 8;
constexpr int kRounds = 60;

enum class Builder {
    Succeeds,
    FailsFirst,   // the first attempt fails (out of memory, say): nothing published, retried
    NeedsItself,  // building it needs it (a finalizer that uses the class being built)
    NeedsOther,   // A's builder needs B and B's needs A, threads starting from both
};

struct Thing {
    int slot;
};

struct Counts {
    std::atomic<int> builds{0}, failures{0}, discards{0};
};

template <class Lock>
struct Round {
    std::atomic<Thing*> slots[2] = {};
    Lock locks[2];
    Counts counts;
    Builder builder;
    std::vector<Thing*> results = std::vector<Thing*>(kThreads, nullptr);

    static inline thread_local int depth = 0;  // builders this thread is inside

    Thing* get(int which) {
        return ostrilo::create_once(
            slots[which], locks[which], [&] { return build(which); },
            [&](Thing* lost) {
                ++counts.discards;
                delete lost;
            });
    }

    Thing* build(int which) {
        const int attempt = counts.builds.fetch_add(1);
        ++depth;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        Thing* made = new Thing{which};
        if (builder == Builder::FailsFirst && attempt == 0) {
            ++counts.failures;
            delete made;
            made = nullptr;
        } else if (builder == Builder::NeedsItself && depth == 1) {
            static_cast<void>(get(which));
        } else if (builder == Builder::NeedsOther && depth == 1) {
            static_cast<void>(get(1 - which));
        }
        --depth;
        return made;
    }
};

struct Expect {
    int builds;    // per round; -1: any number
    int failures;  // per round
};

struct Case {
    const char* name;
    bool locked;
    Builder builder;
    Expect expect;
};

const Case kCases[] = {
    {"locked, builder succeeds", true, Builder::Succeeds, {1, 0}},
    {"locked, first attempt fails", true, Builder::FailsFirst, {2, 1}},
    {"locked, builder needs the object itself", true, Builder::NeedsItself, {2, 0}},
    {"locked, two builders need each other", true, Builder::NeedsOther, {-1, 0}},
    {"first publish wins, builder succeeds", false, Builder::Succeeds, {-1, 0}},
};

// One round: every thread asks for its slot at once. Checks what holds for every kind of lock:
// each successful build is published or discarded, one object per slot asked for, every thread
// that got something got the published one, and only the failed attempt returned nothing.
template <class Lock>
bool round_once(const Case& c, int& builds) {
    Round<Lock> r;
    r.builder = c.builder;
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            r.results[static_cast<std::size_t>(t)] = r.get(c.builder == Builder::NeedsOther ? t % 2 : 0);
        });
    for (std::thread& th : threads) th.join();

    const int used = c.builder == Builder::NeedsOther ? 2 : 1;
    int published = 0, empty = 0;
    for (int s = 0; s < 2; ++s) published += r.slots[s].load() != nullptr;
    bool ok = published == used;
    for (int t = 0; t < kThreads; ++t) {
        Thing* got = r.results[static_cast<std::size_t>(t)];
        const int want = c.builder == Builder::NeedsOther ? t % 2 : 0;
        if (got == nullptr)
            ++empty;
        else if (got != r.slots[want].load() || got->slot != want)
            ok = false;
    }
    builds = r.counts.builds.load();
    ok = ok && empty == r.counts.failures && r.counts.failures == c.expect.failures &&
         builds - r.counts.failures == published + r.counts.discards &&
         (c.expect.builds < 0 || builds == c.expect.builds);
    for (auto& s : r.slots) delete s.load();
    return ok;
}

template <class Lock>
bool run(const Case& c) {
    int total = 0, most = 0, bad = 0;
    for (int i = 0; i < kRounds; ++i) {
        int builds = 0;
        if (!round_once<Lock>(c, builds)) ++bad;
        total += builds;
        if (builds > most) most = builds;
    }
    std::printf("%-42s %d rounds of %d threads: builder ran %d times (at most %d in a round), %d bad rounds\n", c.name,
                kRounds, kThreads, total, most, bad);
    // Without the lock the threads do race: several builders in some round. This is what makes
    // one build per round under the lock a result.
    if (!c.locked && most < 2) return false;
    return bad == 0;
}

}  // namespace

int main() {
    int failed = 0;
    for (const Case& c : kCases) {
        const bool ok = c.locked ? run<std::mutex>(c) : run<FirstPublishWins>(c);
        if (!ok) {
            std::printf("FAILED: %s\n", c.name);
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}
