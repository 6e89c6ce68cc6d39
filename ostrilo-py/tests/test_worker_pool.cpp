// Tests of the worker pool. Plain executable: prints one line per failed
// check and a closing "N passed, N failed" line; exit status 0 iff all pass.
//
//   test_worker_pool            run the tests
//   test_worker_pool --bench    print hand-off latencies and scaling
//
// Some tests run this binary again as a child (/proc/self/exe) with a chosen
// environment, because the process-wide pool is sized once per process.

#include "worker_pool.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_THREAD__)
// The fork test starts a new pool in a child of a multi-threaded process.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

extern char** environ;

namespace pool = ostrilo::pool;
using pool::Grain;
using pool::Pool;

namespace {

int g_failed_checks = 0;

#define CHECK(cond)                                                               \
    do {                                                                          \
        if (!(cond)) {                                                            \
            ++g_failed_checks;                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                         \
    } while (0)

// Element counts around the block-plan boundaries of small grains.
const std::vector<std::size_t> kSizes = {0, 1, 2, 3, 7, 63, 64, 65, 127, 128, 129, 1000, 4097, 20000, 100003};
// Pool sizes; 0 is the no-worker fallback that runs everything inline.
const std::vector<std::size_t> kPoolSizes = {0, 1, 2, 3, 7};
const Grain kSmallGrain{64};  // forces many blocks for small n

// Deterministic, badly conditioned values: summing them in a different
// grouping changes the bits of the result.
double value_at(std::size_t i) {
    const double mag = static_cast<double>((i * 2654435761u) % 1000003) * 1e-3;
    return (i % 3 == 0 ? 1e16 : 1.0) * (i % 2 ? -mag : mag) + 0.1 * static_cast<double>(i % 7);
}

std::uint64_t bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

struct Results {
    std::vector<double> mapped;
    double sum = 0;
    std::size_t min_index = 0;
    std::string text;
    bool operator==(const Results& o) const {
        if (mapped.size() != o.mapped.size() || bits(sum) != bits(o.sum) ||
            min_index != o.min_index || text != o.text)
            return false;
        for (std::size_t i = 0; i < mapped.size(); ++i)
            if (bits(mapped[i]) != bits(o.mapped[i])) return false;
        return true;
    }
};

struct Best {
    double key;
    std::size_t index;
};

// Lowest key, lowest index among equal keys: a block keeps its first best,
// a merge keeps the left pair unless the right one is strictly smaller.
Best best_in(std::size_t b, std::size_t e, const std::function<double(std::size_t)>& key) {
    Best best{key(b), b};
    for (std::size_t i = b + 1; i < e; ++i)
        if (key(i) < best.key) best = {key(i), i};
    return best;
}
Best merge(Best l, Best r) { return r.key < l.key ? r : l; }

// Every kind of job on `p` (or on the process-wide pool when p is null).
Results compute(Pool* p, std::size_t n, Grain grain) {
    Pool& pl = p ? *p : pool::global();
    Results r;
    r.mapped.assign(n, -1.0);
    pl.for_blocks(
        n,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) r.mapped[i] = value_at(i) * 3.0 + 1.0;
        },
        grain);
    auto sum = pl.reduce<double>(
        n,
        [](std::size_t b, std::size_t e) {
            double s = 0;
            for (std::size_t i = b; i < e; ++i) s += value_at(i);
            return s;
        },
        [](double l, double r2) { return l + r2; }, grain);
    r.sum = sum.value_or(-0.0);
    auto key = [](std::size_t i) { return static_cast<double>(i % 5 == 4 ? 0 : 1 + (i % 3)); };
    auto best = pl.reduce<Best>(
        n, [&](std::size_t b, std::size_t e) { return best_in(b, e, key); }, merge, grain);
    r.min_index = best ? best->index : SIZE_MAX;
    r.text = pl.join(
        n, ", ", [](std::size_t i, std::string& out) { out += std::to_string(i * 7); }, grain);
    return r;
}

Results compute_sequential(std::size_t n, Grain grain) {
    Results r;
    for (std::size_t i = 0; i < n; ++i) r.mapped.push_back(value_at(i) * 3.0 + 1.0);
    // The same block split as the pool, folded left to right.
    const pool::BlockPlan plan = pool::plan_blocks(n, grain);
    double sum = -0.0;
    for (std::size_t b = 0; b < plan.count; ++b) {
        double s = 0;
        for (std::size_t i = plan.begin(b); i < plan.end(b); ++i) s += value_at(i);
        sum = b == 0 ? s : sum + s;
    }
    r.sum = sum;
    r.min_index = n == 0 ? SIZE_MAX : (n > 4 ? 4 : 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (i) r.text += ", ";
        r.text += std::to_string(i * 7);
    }
    return r;
}

// Runs this binary again with `env` added to the environment and `arg`;
// returns its exit status (or -1) and its standard output.
int run_child(const std::vector<std::string>& env, const char* arg, std::string* out) {
    std::vector<std::string> strings;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "RAYON_", 6) != 0) strings.emplace_back(*e);
    strings.insert(strings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& s : strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    std::string a = arg;
    char* argv[] = {self, a.data(), nullptr};

    int fds[2];
    if (pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    pid_t pid;
    const int rc = posix_spawn(&pid, self, &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    char buf[4096];
    ssize_t got;
    while ((got = read(fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<std::size_t>(got));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits for `pid` at most `seconds`, killing it on timeout; true if it
// exited with status 0.
bool wait_ok(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (r < 0) return false;
        usleep(10'000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

// ---------------------------------------------------------------------------

void test_block_plan() {
    for (std::size_t grain : {1, 64, 4096}) {
        for (std::size_t n = 0; n < 3000; n += (n < 300 ? 1 : 97)) {
            const auto plan = pool::plan_blocks(n, Grain{grain});
            CHECK((n == 0) == (plan.count == 0));
            CHECK(plan.count <= pool::kMaxBlocks);
            if (n == 0) continue;
            CHECK(plan.begin(0) == 0 && plan.end(plan.count - 1) == n);
            for (std::size_t b = 0; b < plan.count; ++b) {
                CHECK(plan.begin(b) < plan.end(b));
                if (plan.count > 1) CHECK(plan.end(b) - plan.begin(b) >= grain);
            }
        }
    }
    // A zero grain means one element; huge counts do not overflow.
    CHECK(pool::plan_blocks(5, Grain{0}).count == 5);
    const auto huge = pool::plan_blocks(SIZE_MAX, Grain{1});
    CHECK(huge.count == pool::kMaxBlocks);
    CHECK(huge.end(huge.count - 1) == SIZE_MAX);
    CHECK(huge.begin(1) == SIZE_MAX / pool::kMaxBlocks + 1);
}

void test_sizing_rules() {
    using pool::decide_thread_count;
    const std::size_t def = 5;
    CHECK(decide_thread_count(nullptr, nullptr, def) == def);
    CHECK(decide_thread_count("3", "9", def) == 3);
    CHECK(decide_thread_count("+2", nullptr, def) == 2);
    CHECK(decide_thread_count("007", nullptr, def) == 7);
    CHECK(decide_thread_count("0", "3", def) == def);  // 0 is the default, RS not consulted
    CHECK(decide_thread_count("+0", "3", def) == def);
    // Not decimal integers: fall through to RAYON_RS_NUM_CPUS.
    for (const char* bad : {"abc", "", "+", "++2", "-1", " 2", "2 ", "2x", "0x10", "1.5"})
        CHECK(decide_thread_count(bad, "3", def) == 3);
    CHECK(decide_thread_count("abc", "0", def) == def);
    CHECK(decide_thread_count(nullptr, "+4", def) == 4);
    CHECK(decide_thread_count(nullptr, "four", def) == def);
    // Absurd values are capped; a zero default still gives one thread.
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
    CPU_ZERO(&set);
    const std::size_t d = pool::default_thread_count();
    CHECK(d >= 1);
    if (sched_getaffinity(0, sizeof set, &set) == 0) CHECK(d <= static_cast<std::size_t>(CPU_COUNT(&set)));
}

void test_same_results_for_any_pool_size() {
    for (Grain grain : {kSmallGrain, pool::kCheapWork}) {
        std::vector<Results> expected;
        for (std::size_t n : kSizes) expected.push_back(compute_sequential(n, grain));
        for (std::size_t threads : kPoolSizes) {
            Pool p(threads);
            CHECK(p.size() == threads);
            for (std::size_t k = 0; k < kSizes.size(); ++k) CHECK(compute(&p, kSizes[k], grain) == expected[k]);
        }
    }
}

void test_tie_rule_keeps_lowest_index() {
    for (std::size_t threads : {1, 2, 7}) {
        Pool p(threads);
        for (std::size_t n : {1, 2, 65, 130, 1000, 9999}) {
            for (std::size_t first : {std::size_t{0}, n / 3, n - 1}) {
                // Keys: equal everywhere, with the minimum repeated from `first` on
                // every 7th index; NaN-free so < is a strict weak order.
                auto key = [&](std::size_t i) { return i >= first && (i - first) % 7 == 0 ? 1.0 : 2.0; };
                auto best = p.reduce<Best>(
                    n, [&](std::size_t b, std::size_t e) { return best_in(b, e, key); }, merge, Grain{16});
                CHECK(best && best->index == first && best->key == 1.0);
            }
        }
        CHECK(!p.reduce<int>(0, [](std::size_t, std::size_t) { return 1; }, std::plus<>{}));
    }
}

void test_join() {
    Pool p(3);
    const std::string expected = "a0|b1|c2|a3|b4|c5|a6";
    auto text = [](std::size_t i, std::string& out) {
        out += static_cast<char>('a' + i % 3);
        out += std::to_string(i);
    };
    CHECK(p.join(7, "|", text, Grain{1}) == expected);
    CHECK(p.join(7, "|", text, Grain{100}) == expected);
    CHECK(p.join(0, "|", text, Grain{1}).empty());
    CHECK(p.join(1, "|", text, Grain{1}) == "a0");
    // Empty element texts keep their separators; empty separator.
    CHECK(p.join(4, ", ", [](std::size_t, std::string&) {}, Grain{1}) == ", , , ");
    CHECK(p.join(5, "", [](std::size_t i, std::string& o) { o += std::to_string(i); }, Grain{1}) == "01234");
}

void test_exceptions() {
    struct Failure : std::runtime_error {
        std::size_t block;
        explicit Failure(std::size_t b) : std::runtime_error("block"), block(b) {}
    };
    // Blocks 5, 7, 11 and 30 of 40 fail. With `low_fails_last` block 5 is the
    // last to throw; otherwise block 7 (already running) throws after it.
    auto run_case = [](Pool& p, bool low_fails_last) {
        std::atomic<int> active{0}, ran_after_rethrow{0};
        std::atomic<bool> rethrown{false}, started7{false}, thrown5{false};
        const bool parallel = p.size() >= 2;
        auto wait_for = [](const std::atomic<bool>& flag) {
            for (int i = 0; i < 20'000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::microseconds(5));
        };
        std::size_t caught = SIZE_MAX;
        try {
            p.for_blocks(
                64 * 40,
                [&](std::size_t b, std::size_t) {
                    const std::size_t block = b / 64;
                    ++active;
                    if (block == 7) started7 = true;
                    if (low_fails_last && block == 5) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    if (!low_fails_last && parallel && block == 5) wait_for(started7);
                    if (!low_fails_last && parallel && block == 7) {
                        wait_for(thrown5);
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    if (block % 2) std::this_thread::sleep_for(std::chrono::microseconds(100));
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
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        CHECK(ran_after_rethrow == 0);
    };
    for (std::size_t threads : {0, 1, 4}) {
        Pool p(threads);
        for (int round = 0; round < 10; ++round) {
            run_case(p, true);
            run_case(p, false);
        }
        // The pool keeps working after a failure.
        CHECK(compute(&p, 1000, kSmallGrain) == compute_sequential(1000, kSmallGrain));
    }
    // Single-block jobs run inline and throw straight through.
    bool thrown = false;
    try {
        pool::for_each_index(3, [](std::size_t i) {
            if (i == 1) throw std::logic_error("inline");
        });
    } catch (const std::logic_error&) {
        thrown = true;
    }
    CHECK(thrown);
}

void test_concurrent_callers(Pool* p) {
    std::atomic<int> bad{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int j = 0; j < 200; ++j) {
                const std::size_t n = kSizes[(static_cast<std::size_t>(t) * 7 + j) % kSizes.size()] % 5000;
                std::vector<std::size_t> out(n);
                Pool& pl = p ? *p : pool::global();
                pl.for_each_index(n, [&](std::size_t i) { out[i] = i * 31 + static_cast<std::size_t>(t); }, Grain{32});
                auto sum = pl.reduce<std::size_t>(
                    n, [&](std::size_t b, std::size_t e) {
                        std::size_t s = 0;
                        for (std::size_t i = b; i < e; ++i) s += out[i];
                        return s;
                    },
                    std::plus<>{}, Grain{32});
                const std::size_t want = n == 0 ? 0 : 31 * (n * (n - 1) / 2) + n * static_cast<std::size_t>(t);
                if (sum.value_or(0) != want) ++bad;
            }
        });
    }
    for (auto& c : callers) c.join();
    CHECK(bad == 0);
}

void test_nested_job_runs_inline() {
    Pool p(2);
    std::vector<std::size_t> totals(8);
    p.for_blocks(
        8,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i)
                totals[i] = *p.reduce<std::size_t>(
                    100, [](std::size_t x, std::size_t y) { return y - x; }, std::plus<>{}, Grain{1});
        },
        Grain{1});
    CHECK(std::all_of(totals.begin(), totals.end(), [](std::size_t v) { return v == 100; }));
}

void test_global_start_race() {
    std::vector<std::thread> racers;
    std::vector<Pool*> seen(8);
    std::vector<std::size_t> counts(8);
    for (int t = 0; t < 8; ++t)
        racers.emplace_back([&, t] {
            counts[t] = pool::thread_count();
            seen[t] = &pool::global();
        });
    for (auto& r : racers) r.join();
    CHECK(pool::started());
    for (int t = 0; t < 8; ++t) CHECK(seen[t] == seen[0] && counts[t] == counts[0]);
}

// Digest of every job kind on the process-wide pool; identical for any size.
std::string report_digest() {
    std::uint64_t h = 1469598103934665603u;
    auto mix = [&](std::uint64_t v) { h = (h ^ v) * 1099511628211u; };
    for (std::size_t n : kSizes) {
        const Results r = compute(nullptr, n, kSmallGrain);
        for (double d : r.mapped) mix(bits(d));
        mix(bits(r.sum));
        mix(r.min_index);
        for (char c : r.text) mix(static_cast<unsigned char>(c));
    }
    return std::to_string(pool::thread_count()) + " " + std::to_string(h);
}

void test_environment_sizing() {
    const std::string def = std::to_string(pool::default_thread_count());
    struct Case {
        std::vector<std::string> env;
        std::string threads;
    };
    const std::vector<Case> cases = {
        {{}, def},
        {{"RAYON_NUM_THREADS=1"}, "1"},
        {{"RAYON_NUM_THREADS=7"}, "7"},
        {{"RAYON_NUM_THREADS=+2"}, "2"},
        {{"RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=3"}, def},
        {{"RAYON_NUM_THREADS=abc", "RAYON_RS_NUM_CPUS=3"}, "3"},
#if !defined(__SANITIZE_THREAD__)  // thousands of threads are slow under TSan
        {{"RAYON_NUM_THREADS=1000000"}, std::to_string(pool::kMaxThreads)},
#endif
    };
    std::string digest;
    for (const auto& c : cases) {
        std::string out;
        CHECK(run_child(c.env, "--child-report", &out) == 0);
        const auto space = out.find(' ');
        CHECK(space != std::string::npos && out.substr(0, space) == c.threads);
        if (space == std::string::npos) continue;
        if (digest.empty()) digest = out.substr(space);
        CHECK(out.substr(space) == digest);
    }
}

void test_fork_child_starts_fresh_pool() {
    pool::ensure_started();
    // Other threads keep submitting while we fork, so the parent's pool may
    // be mid-job (its locks held) at the moment of the fork.
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 2; ++t)
        busy.emplace_back([&] {
            while (!stop) (void)compute(nullptr, 3000, kSmallGrain);
        });
    const Results expected = compute_sequential(20000, kSmallGrain);
    for (int round = 0; round < 5; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            const bool fresh = !pool::started();
            const bool same = compute(nullptr, 20000, kSmallGrain) == expected;
            _exit(fresh && same && pool::started() ? 0 : 1);
        }
        CHECK(pid > 0 && wait_ok(pid, 10));
        if (g_failed_checks) break;
    }
    stop = true;
    for (auto& b : busy) b.join();
}

void test_no_threads_fallback() {
    std::string out;
    CHECK(run_child({"RAYON_NUM_THREADS=4"}, "--child-no-threads", &out) == 0);
    CHECK(out == "0\n");
}

// Child: make thread stacks impossible to map, then use the pool.
int child_no_threads() {
    const Results expected = compute_sequential(5000, kSmallGrain);
    rlimit lim{};
    getrlimit(RLIMIT_AS, &lim);
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!f || std::fscanf(f, "%lu", &pages) != 1) return 2;
    std::fclose(f);
    lim.rlim_cur = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) + (1u << 20);
    if (setrlimit(RLIMIT_AS, &lim) != 0) return 2;
    const bool ok = compute(nullptr, 5000, kSmallGrain) == expected;
    std::printf("%zu\n", pool::thread_count());
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------

template <class F>
double median_ns(int reps, F&& f) {
    std::vector<double> t(static_cast<std::size_t>(reps));
    for (auto& x : t) {
        const auto a = std::chrono::steady_clock::now();
        f();
        x = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - a).count();
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

int bench() {
    struct V {
        double x, y, z;
    };
    Pool& p = pool::global();
    std::printf("threads %zu\n", p.size());
    volatile int sink = 0;
    auto touch = [](void* s, std::size_t) { *static_cast<volatile int*>(s) = 1; };
    std::printf("pooled 1-block job, back to back: %.0f ns\n",
                median_ns(20001, [&] { p.run(1, touch, const_cast<int*>(&sink)); }));
    std::printf("pooled 2-block job, back to back: %.0f ns\n",
                median_ns(20001, [&] { p.run(2, touch, const_cast<int*>(&sink)); }));
    std::printf("pooled 1-block job, workers asleep: %.0f ns\n", median_ns(201, [&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    p.run(1, touch, const_cast<int*>(&sink));
                }) - 2e6);
    std::vector<V> in(10'000'000, V{1.5, -2.0, 3.25}), out(in.size());
    const V o{1, 2, 3};
    auto body = [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = {in[i].x + o.x, in[i].y + o.y, in[i].z + o.z};
    };
    std::printf("%10s %12s %12s\n", "n", "inline ns", "pool ns");
    for (std::size_t n : {10, 1000, 10'000, 32'768, 65'536, 100'000, 1'000'000, 10'000'000}) {
        const int reps = n >= 1'000'000 ? 31 : 1001;
        std::printf("%10zu %12.0f %12.0f\n", n, median_ns(reps, [&] { body(0, n); }),
                    median_ns(reps, [&] { pool::for_blocks(n, body); }));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child-report") == 0) {
        std::printf("%s\n", report_digest().c_str());
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--child-no-threads") == 0) return child_no_threads();
    if (argc > 1 && std::strcmp(argv[1], "--bench") == 0) return bench();

    struct Test {
        const char* name;
        std::function<void()> run;
    };
    // Nothing may start the process-wide pool before its start race.
    CHECK(!pool::started());
    const std::vector<Test> tests = {
        {"block_plan", test_block_plan},
        {"sizing_rules", test_sizing_rules},
        {"global_start_race", test_global_start_race},
        {"same_results_for_any_pool_size", test_same_results_for_any_pool_size},
        {"tie_rule_keeps_lowest_index", test_tie_rule_keeps_lowest_index},
        {"join", test_join},
        {"exceptions", test_exceptions},
        {"concurrent_callers_own_pool", [] { Pool p(3); test_concurrent_callers(&p); }},
        {"concurrent_callers_global_pool", [] { test_concurrent_callers(nullptr); }},
        {"nested_job_runs_inline", test_nested_job_runs_inline},
        {"environment_sizing", test_environment_sizing},
        {"no_threads_fallback", test_no_threads_fallback},
        {"fork_child_starts_fresh_pool", test_fork_child_starts_fresh_pool},
    };
    int passed = 0, failed = 0;
    for (const auto& t : tests) {
        const int before = g_failed_checks;
        const auto start = std::chrono::steady_clock::now();
        t.run();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const bool ok = g_failed_checks == before;
        (ok ? passed : failed)++;
        std::printf("%s %s (%.0f ms)\n", ok ? "PASS" : "FAIL", t.name, ms);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && g_failed_checks == 0 ? 0 : 1;
}
