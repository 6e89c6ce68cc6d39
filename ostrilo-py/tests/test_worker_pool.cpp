// Tests of the worker pool. Plain executable: prints one line per failed
// check and a closing "N passed, N failed" line; exit status 0 iff all pass.
// Some tests run this binary again as a child with a chosen environment,
// because the process-wide pool is sized once per process.

#include "cpu_count.hpp"
#include "worker_pool.hpp"
#include "worker_pool_internals.hpp"

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define POOL_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define POOL_TEST_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define POOL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_TEST_ASAN 1
#endif
#endif

#if defined(POOL_TEST_TSAN)
// The fork test starts a new pool in a child of a multi-threaded process.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace pool = ostrilo::pool;
using pool::Grain;
using pool::Pool;
using namespace std::chrono_literals;

namespace {

int g_failed_checks = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            ++g_failed_checks;                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                                 \
    } while (0)

// Element counts around block boundaries of the small grain.
const std::vector<std::size_t> kSizes = {0, 1, 2, 3, 7, 63, 64, 65, 127, 128, 129, 1000, 4097, 20000, 100003};
const Grain kSmallGrain{64};

// Badly conditioned values: summing them in another grouping changes the bits.
double value_at(std::size_t i) {
    const double mag = static_cast<double>((i * 2654435761u) % 1000003) * 1e-3;
    return (i % 3 == 0 ? 1e16 : 1.0) * (i % 2 ? -mag : mag) + 0.1 * static_cast<double>(i % 7);
}

template <class T>
void append_bytes(std::string& out, const T& v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

struct Best {
    double key;
    std::size_t index;
};
// A block keeps its first best; a merge keeps the left pair unless the
// right one is strictly smaller. The lowest index wins ties.
Best best_in(std::size_t b, std::size_t e, const std::function<double(std::size_t)>& key) {
    Best best{key(b), b};
    for (std::size_t i = b + 1; i < e; ++i)
        if (key(i) < best.key) best = {key(i), i};
    return best;
}
Best merge(Best l, Best r) { return r.key < l.key ? r : l; }
double key_at(std::size_t i) { return static_cast<double>(i % 5 == 4 ? 0 : 1 + i % 3); }
std::string text_at(std::size_t i) { return std::to_string(i * 7); }

// Every kind of job on `p`, as bytes: mapped values, sum, arg-min, joined text.
std::string compute(Pool& p, std::size_t n, Grain grain) {
    std::vector<double> mapped(n, -1.0);
    p.for_blocks(
        n,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) mapped[i] = value_at(i) * 3.0 + 1.0;
        },
        grain);
    const auto sum = p.reduce<double>(
        n,
        [](std::size_t b, std::size_t e) {
            double s = 0;
            for (std::size_t i = b; i < e; ++i) s += value_at(i);
            return s;
        },
        [](double l, double r) { return l + r; }, grain);
    const auto best =
        p.reduce<Best>(n, [](std::size_t b, std::size_t e) { return best_in(b, e, key_at); }, merge, grain);
    std::string out;
    for (double d : mapped) append_bytes(out, d);
    append_bytes(out, sum.value_or(-0.0));
    append_bytes(out, best ? best->index : SIZE_MAX);
    return out + p.join(n, ", ", [](std::size_t i, std::string& s) { s += text_at(i); }, grain);
}

// The same, one element after another (sums grouped by the same blocks).
std::string compute_sequential(std::size_t n, Grain grain) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) append_bytes(out, value_at(i) * 3.0 + 1.0);
    const pool::BlockPlan plan = pool::plan_blocks(n, grain);
    double sum = -0.0;
    for (std::size_t b = 0; b < plan.count; ++b) {
        double s = 0;
        for (std::size_t i = plan.begin(b); i < plan.end(b); ++i) s += value_at(i);
        sum = b == 0 ? s : sum + s;
    }
    append_bytes(out, sum);
    append_bytes(out, n == 0 ? SIZE_MAX : std::size_t{n > 4 ? 4u : 0u});
    for (std::size_t i = 0; i < n; ++i) out += (i ? ", " : "") + text_at(i);
    return out;
}

// Runs this binary with `env` prefixed and `arg`; returns its exit status
// and its standard output.
int run_child(const std::string& env, const char* arg, std::string* out) {
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) return -1;
    self[len] = '\0';
    const std::string cmd = "env -u RAYON_NUM_THREADS -u RAYON_RS_NUM_CPUS " + env + " '" + self + "' " + arg;
    std::FILE* f = popen(cmd.c_str(), "r");
    if (f == nullptr) return -1;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f)) *out += buf;
    const int status = pclose(f);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---------------------------------------------------------------------------

// f(i) for every i in [0, n), one block at a time.
template <class F>
void each_index(Pool& p, std::size_t n, F&& f, Grain grain) {
    p.for_blocks(
        n,
        [&f](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) f(i);
        },
        grain);
}

void test_sizing_rules() {
    using pool::decide_thread_count;
    const std::size_t def = 5;
    CHECK(decide_thread_count(nullptr, nullptr, def) == def);
    CHECK(decide_thread_count("3", "9", def) == 3);
    CHECK(decide_thread_count("+2", nullptr, def) == 2);
    CHECK(decide_thread_count("007", nullptr, def) == 7);
    CHECK(decide_thread_count("0", "3", def) == def);  // 0 means default; RS not consulted
    CHECK(decide_thread_count("+0", "3", def) == def);
    for (const char* bad : {"abc", "", "+", "++2", "-1", " 2", "2 ", "2x", "0x10", "1.5"})
        CHECK(decide_thread_count(bad, "3", def) == 3);  // not decimal: as if unset
    CHECK(decide_thread_count("abc", "0", def) == def);
    CHECK(decide_thread_count(nullptr, "+4", def) == 4);
    CHECK(decide_thread_count(nullptr, "four", def) == def);
    CHECK(decide_thread_count("1000000", nullptr, def) == pool::kMaxThreads);
    CHECK(decide_thread_count("99999999999999999999999999", nullptr, def) == pool::kMaxThreads);
    CHECK(decide_thread_count(nullptr, nullptr, 0) == 1);

    CHECK(!pool::cpus_from_cpu_max("max 100000\n"));
    CHECK(pool::cpus_from_cpu_max("200000 100000\n") == 2u);
    CHECK(pool::cpus_from_cpu_max("150000 100000") == 2u);
    CHECK(pool::cpus_from_cpu_max("1000 100000") == 1u);
    CHECK(!pool::cpus_from_cpu_max("garbage"));
    CHECK(!pool::cpus_from_cfs("-1\n", "100000\n"));
    CHECK(pool::cpus_from_cfs("250000\n", "100000\n") == 3u);

    cpu_set_t set;
    const std::size_t d = pool::default_thread_count();
    CHECK(d >= 1);
    if (sched_getaffinity(0, sizeof set, &set) == 0) CHECK(d <= static_cast<std::size_t>(CPU_COUNT(&set)));
}

void test_same_results_for_any_pool_size() {
    for (Grain grain : {kSmallGrain, pool::kCheapWork}) {
        std::vector<std::string> expected;
        for (std::size_t n : kSizes) expected.push_back(compute_sequential(n, grain));
        for (std::size_t threads : {0u, 1u, 2u, 3u, 7u}) {  // 0: no workers, all inline
            Pool p(threads);
            CHECK(p.size() == threads);
            for (std::size_t k = 0; k < kSizes.size(); ++k) CHECK(compute(p, kSizes[k], grain) == expected[k]);
        }
    }
}

void test_reductions() {
    for (std::size_t threads : {1u, 2u, 7u}) {
        Pool p(threads);
        for (std::size_t n : {1u, 2u, 65u, 130u, 1000u, 9999u}) {
            for (std::size_t first : {std::size_t{0}, n / 3, n - 1}) {
                // The minimum key 1.0 repeats every 7th index from `first` on.
                auto key = [&](std::size_t i) { return i >= first && (i - first) % 7 == 0 ? 1.0 : 2.0; };
                auto best = p.reduce<Best>(
                    n, [&](std::size_t b, std::size_t e) { return best_in(b, e, key); }, merge, Grain{16});
                CHECK(best && best->index == first);
            }
        }
        CHECK(!p.reduce<int>(0, [](std::size_t, std::size_t) { return 1; }, std::plus<>{}));
        CHECK(p.join(4, ", ", [](std::size_t, std::string&) {}, Grain{1}) == ", , , ");
    }
    // Block bounds never overflow; a zero grain does not divide by zero.
    const auto huge = pool::plan_blocks(SIZE_MAX, Grain{0});
    CHECK(huge.count == pool::kMaxBlocks && huge.end(huge.count - 1) == SIZE_MAX);
}

void test_exceptions() {
    struct Failure : std::runtime_error {
        std::size_t block;
        explicit Failure(std::size_t b) : std::runtime_error("block"), block(b) {}
    };
    // Blocks 5, 7, 11 and 30 of 40 fail. With `low_last` block 5 is the last
    // to throw; otherwise block 7, already running, throws after it.
    auto run_case = [](Pool& p, bool low_last) {
        std::atomic<int> active{0}, ran_after_rethrow{0};
        std::atomic<bool> rethrown{false}, started7{false}, thrown5{false};
        const bool interleave = !low_last && p.size() >= 2;
        auto wait_for = [](const std::atomic<bool>& flag) {
            for (int i = 0; i < 20'000 && !flag; ++i) std::this_thread::sleep_for(5us);
        };
        std::size_t caught = SIZE_MAX;
        try {
            p.for_blocks(
                64 * 40,
                [&](std::size_t b, std::size_t) {
                    const std::size_t block = b / 64;
                    ++active;
                    if (block == 7) started7 = true;
                    if (low_last && block == 5) std::this_thread::sleep_for(2ms);
                    if (interleave && block == 5) wait_for(started7);
                    if (interleave && block == 7) {
                        wait_for(thrown5);
                        std::this_thread::sleep_for(1ms);
                    }
                    if (block % 2) std::this_thread::sleep_for(100us);
                    if (rethrown) ++ran_after_rethrow;
                    --active;
                    if (block == 5) thrown5 = true;
                    if (block == 5 || block == 7 || block == 11 || block == 30) throw Failure(block);
                },
                Grain{64});
        } catch (const Failure& f) {
            rethrown = true;
            caught = f.block;
        }
        CHECK(caught == 5);
        CHECK(active == 0);
        std::this_thread::sleep_for(1ms);
        CHECK(ran_after_rethrow == 0);
    };
    for (std::size_t threads : {0u, 1u, 4u}) {
        Pool p(threads);
        for (int round = 0; round < 10; ++round) {
            run_case(p, true);
            run_case(p, false);
        }
        CHECK(compute(p, 1000, kSmallGrain) == compute_sequential(1000, kSmallGrain));  // still usable
    }
}

void test_concurrent_callers(Pool& p) {
    std::atomic<int> bad{0};
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (std::size_t j = 0; j < 200; ++j) {
                const std::size_t n = (t * 997 + j * 131) % 5000;
                std::vector<std::size_t> out(n);
                each_index(p, n, [&](std::size_t i) { out[i] = i * 31 + t; }, Grain{32});
                auto sum = p.reduce<std::size_t>(
                    n,
                    [&](std::size_t b, std::size_t e) {
                        std::size_t s = 0;
                        for (std::size_t i = b; i < e; ++i) s += out[i];
                        return s;
                    },
                    std::plus<>{}, Grain{32});
                if (sum.value_or(0) != (n == 0 ? 0 : 31 * (n * (n - 1) / 2) + n * t)) ++bad;
            }
        });
    }
    for (auto& c : callers) c.join();
    CHECK(bad == 0);
}

void test_scheduling() {
    Pool p(2);
    // Pooled blocks never run on the caller; a single-block job does.
    const auto caller = std::this_thread::get_id();
    std::vector<std::thread::id> ran(100);
    p.for_blocks(1000, [&](std::size_t b, std::size_t) { ran[b / 10] = std::this_thread::get_id(); }, Grain{10});
    CHECK(std::none_of(ran.begin(), ran.end(), [&](std::thread::id id) { return id == caller; }));
    p.for_blocks(10, [&](std::size_t, std::size_t) { ran[0] = std::this_thread::get_id(); }, Grain{10});
    CHECK(ran[0] == caller);

    // A job submitted from inside a block runs inline instead of deadlocking.
    std::vector<std::size_t> totals(8);
    each_index(
        p, 8,
        [&](std::size_t i) {
            auto size = [](std::size_t b, std::size_t e) { return e - b; };
            totals[i] = p.reduce<std::size_t>(100, size, std::plus<>{}, Grain{1}).value_or(0);
        },
        Grain{1});
    CHECK(totals == std::vector<std::size_t>(8, 100));

    // A small job is not queued behind every block of a large one.
    Pool one(1);
    std::atomic<bool> large_started{false}, large_done{false};
    std::thread large([&] {
        auto slow = [&](std::size_t, std::size_t) {
            large_started = true;
            std::this_thread::sleep_for(1ms);
        };
        one.for_blocks(200, slow, Grain{1});
        large_done = true;
    });
    while (!large_started) std::this_thread::yield();
    std::vector<int> out(4);
    each_index(one, 4, [&](std::size_t i) { out[i] = 1; }, Grain{2});
    CHECK(!large_done && out == std::vector<int>(4, 1));
    large.join();
}

// The choice between workers and calling thread follows the measured costs, both ways, and keeps
// trying the other way now and then.
void test_hand_off_policy() {
    pool::HandOffCosts h;
    const std::size_t grain = 100, blocks = 4;
    auto run = [&](int jobs, double pooled_ns, double inline_ns) {
        int on_workers = 0;
        for (int j = 0; j < jobs; ++j) {
            const auto t = h.choose(grain, blocks, 400);
            on_workers += t.pooled;
            h.record(t, t.pooled ? pooled_ns : inline_ns);
        }
        return on_workers;
    };
    CHECK(run(1, 10.0, 1.0) == 1);  // the workers first,
    CHECK(run(1, 10.0, 1.0) == 0);  // then the calling thread once
    const int explored = run(64, 10.0, 1.0);
    CHECK(explored >= 3 && explored <= 5);  // every 16th job
    // The machine changes: hand-offs get cheap. The occasional try notices, and the workers win.
    run(400, 0.5, 1.0);
    CHECK(run(64, 0.5, 1.0) >= 59);
    // Long jobs stay on the workers, however fast the calling thread once was.
    const std::size_t long_grain = 1000;
    for (int j = 0; j < 40; ++j) {
        const auto t = h.choose(long_grain, blocks, 4000);
        CHECK(t.pooled);
        h.record(t, 200.0);  // 0.8 ms a job
    }
    // Only jobs of 2 to 32 blocks are timed; other sizes and grains keep their own costs.
    CHECK(h.choose(grain, 33, 3300).cell == pool::HandOffCosts::kNoCell &&
          h.choose(grain, 1, 100).cell == pool::HandOffCosts::kNoCell);
    CHECK(h.pooled_cost(grain, 16) == 0.0 && h.pooled_cost(7, blocks) == 0.0);
    CHECK(h.pooled_cost(grain, 5) > 0.0 && h.inline_cost(grain, 7) > 0.0);  // 4 to 7 blocks: one class
    // Beyond the grains it tells apart, jobs just go to the workers.
    for (std::size_t g = 1; g <= pool::HandOffCosts::kGrains; ++g) (void)h.choose(1000 + g, blocks, 4000 + 4 * g);
    CHECK(h.choose(5000, blocks, 20000).cell == pool::HandOffCosts::kNoCell && h.choose(5000, blocks, 20000).pooled);
}

// A pool whose hand-off is slow learns to run small jobs on the calling thread (here blocks are
// slow on the workers, as when the machine's two processors are one core's two threads), and
// the results are the same either way.
void test_slow_hand_off_runs_inline() {
    Pool p(2);
    const auto caller = std::this_thread::get_id();
    int inline_jobs = 0;
    for (int job = 0; job < 48; ++job) {
        std::this_thread::sleep_for(1ms);  // workers asleep again: awake ones always get the job
        std::vector<std::size_t> out(40, 0);
        std::atomic<int> on_caller{0};
        p.for_blocks(
            40,
            [&](std::size_t b, std::size_t e) {
                if (std::this_thread::get_id() == caller) {
                    ++on_caller;
                } else {
                    std::this_thread::sleep_for(50us);
                }
                for (std::size_t i = b; i < e; ++i) out[i] = i * i;
            },
            Grain{10});
        for (std::size_t i = 0; i < out.size(); ++i) CHECK(out[i] == i * i);
        if (job >= 32) inline_jobs += on_caller == 4;
    }
    // Of the last 16, all but the one that tries the workers again; unless the machine was so
    // loaded that a hand-off took the workers longer than kLongJobNs, when they keep the class.
    const double pooled_job_ns = p.costs().pooled_cost(10, 4) * 40.0;
    CHECK(inline_jobs >= 10 || pooled_job_ns > pool::HandOffCosts::kLongJobNs);
}

void test_global_start_race() {
    std::vector<std::thread> racers;
    std::vector<Pool*> seen(8);
    for (std::size_t t = 0; t < 8; ++t) racers.emplace_back([&, t] { seen[t] = &pool::global(); });
    for (auto& r : racers) r.join();
    CHECK(pool::started());
    CHECK(std::count(seen.begin(), seen.end(), seen[0]) == 8);
}

// Child: thread count and a digest of every job kind on the global pool.
int child_report() {
    std::string all;
    for (std::size_t n : kSizes) all += compute(pool::global(), n, kSmallGrain);
    std::printf("%zu %zu\n", pool::thread_count(), std::hash<std::string>{}(all));
    return 0;
}

void test_environment_sizing() {
    const std::string def = std::to_string(pool::default_thread_count());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", def},
        {"RAYON_NUM_THREADS=1", "1"},
        {"RAYON_NUM_THREADS=7", "7"},
        {"RAYON_NUM_THREADS=+2", "2"},
        {"RAYON_NUM_THREADS=0 RAYON_RS_NUM_CPUS=3", def},
        {"RAYON_NUM_THREADS=abc RAYON_RS_NUM_CPUS=3", "3"},
#if !defined(POOL_TEST_TSAN)  // thousands of threads are slow under TSan
        {"RAYON_NUM_THREADS=1000000", std::to_string(pool::kMaxThreads)},
#endif
    };
    std::string digest;
    for (const auto& [env, threads] : cases) {
        std::string out;
        CHECK(run_child(env, "--child-report", &out) == 0);
        const auto space = out.find(' ');
        CHECK(out.substr(0, space) == threads);
        if (digest.empty()) digest = out.substr(space);
        CHECK(out.substr(space) == digest);  // same results for every size
    }
}

// Child: thread stacks cannot be mapped; jobs must still complete.
int child_no_threads() {
    const std::string expected = compute_sequential(5000, kSmallGrain);
    unsigned long pages = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f || std::fscanf(f, "%lu", &pages) != 1) return 2;
    std::fclose(f);
    rlimit lim{};
    getrlimit(RLIMIT_AS, &lim);
    lim.rlim_cur = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) + (1u << 20);
    if (setrlimit(RLIMIT_AS, &lim) != 0) return 2;
    const bool ok = compute(pool::global(), 5000, kSmallGrain) == expected;
    std::printf("%zu\n", pool::thread_count());
    return ok ? 0 : 1;
}

void test_thread_creation_failure() {
#if defined(POOL_TEST_ASAN)
    return;  // AddressSanitizer cannot run under an address-space limit
#endif
    std::string out;
    CHECK(run_child("RAYON_NUM_THREADS=4", "--child-no-threads", &out) == 0);
    CHECK(out == "0\n");
}

bool wait_ok(pid_t pid, std::chrono::seconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r != 0) return r == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

void test_fork_child_starts_fresh_pool() {
    // Other threads keep submitting while we fork, so the parent's pool may
    // be mid-job, its locks held, at the moment of the fork.
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 2; ++t)
        busy.emplace_back([&] {
            while (!stop) (void)compute(pool::global(), 3000, kSmallGrain);
        });
    const std::string expected = compute_sequential(20000, kSmallGrain);
    for (int round = 0; round < 5 && g_failed_checks == 0; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            const bool fresh = !pool::started();
            _exit(fresh && compute(pool::global(), 20000, kSmallGrain) == expected ? 0 : 1);
        }
        CHECK(pid > 0 && wait_ok(pid, 10s));
    }
    stop = true;
    for (auto& b : busy) b.join();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child-report") == 0) return child_report();
    if (argc > 1 && std::strcmp(argv[1], "--child-no-threads") == 0) return child_no_threads();

    CHECK(!pool::started());  // nothing starts the pool before its first use
    const std::vector<std::pair<const char*, std::function<void()>>> tests = {
        {"sizing_rules", test_sizing_rules},
        {"global_start_race", test_global_start_race},
        {"same_results_for_any_pool_size", test_same_results_for_any_pool_size},
        {"reductions", test_reductions},
        {"exceptions", test_exceptions},
        {"concurrent_callers_own_pool",
         [] {
             Pool p(3);
             test_concurrent_callers(p);
         }},
        {"concurrent_callers_global_pool", [] { test_concurrent_callers(pool::global()); }},
        {"scheduling", test_scheduling},
        {"hand_off_policy", test_hand_off_policy},
        {"slow_hand_off_runs_inline", test_slow_hand_off_runs_inline},
        {"environment_sizing", test_environment_sizing},
        {"thread_creation_failure", test_thread_creation_failure},
        {"fork_child_starts_fresh_pool", test_fork_child_starts_fresh_pool},
    };
    int passed = 0, failed = 0;
    for (const auto& [name, run] : tests) {
        const int before = g_failed_checks;
        run();
        const bool ok = g_failed_checks == before;
        ++(ok ? passed : failed);
        std::printf("%s %s\n", ok ? "PASS" : "FAIL", name);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && g_failed_checks == 0 ? 0 : 1;
}
