// Borrow flags under threads that race for them, without an interpreter: writers and readers of
// one vector record and one list record (whose writers reallocate its array). Built twice from
// this source: with Py_GIL_DISABLED (flags raced for with atomic read-modify-writes) and without
// it (flags touched only under the global lock, here a stand-in mutex, while the borrowed
// sections run outside it, as they do when a method gives the lock up). Checks: no torn read, no
// two exclusive owners, no reader beside a writer, each refusal reported, flags back to zero.
// Under ThreadSanitizer the plain reads and writes of the records are checked as well.
//   test_borrow_stress [least seconds per case, default 0.5]
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vec_list.hpp"

namespace ostrilo {

// A refused borrow would set a Python exception; here it is counted.
thread_local long refusals_reported = 0;
void raise_already_borrowed() { ++refusals_reported; }
void raise_already_mutably_borrowed() { ++refusals_reported; }

// The list's array allocator, without the page advice.
void* allocate_array(std::size_t bytes) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void free_array(void* p) noexcept { std::free(p); }

}  // namespace ostrilo

namespace {

using drevan::Vec3d;
using ostrilo::Obj;
using ostrilo::VecList;

#ifdef Py_GIL_DISABLED
constexpr const char* kBuild = "free-threaded";
#else
constexpr const char* kBuild = "global lock";
#endif

std::mutex g_global_lock;

// Holds the stand-in global lock around a flag operation, on the build that has one.
struct FlagAccess {
#ifndef Py_GIL_DISABLED
    std::lock_guard<std::mutex> held{g_global_lock};
#endif
};

// Who is inside a record's borrowed sections right now.
struct Occupancy {
    std::atomic<int> exclusive{0};
    std::atomic<int> shared{0};
    std::atomic<long> double_owner{0};
    std::atomic<long> reader_beside_writer{0};
};

// Counted by one thread, read by the main thread while the case runs.
struct alignas(64) Tally {
    std::atomic<long> exclusive{0}, shared{0}, refused{0}, torn{0}, misreported{0};
};

struct Totals {
    static constexpr long kEnough = 1000, kEnoughRefused = 100;
    long exclusive = 0, shared = 0, refused = 0, torn = 0, misreported = 0;
    explicit Totals(const std::vector<Tally>& tallies) {
        for (const Tally& t : tallies) {
            exclusive += t.exclusive.load();
            shared += t.shared.load();
            refused += t.refused.load();
            torn += t.torn.load();
            misreported += t.misreported.load();
        }
    }
    // Enough of every kind of section, and of threads meeting each other's borrows.
    bool enough() const { return exclusive >= kEnough && shared >= kEnough && refused >= kEnoughRefused; }
};

// A little work between the parts of a read or a write, so that a section that is not alone
// would show.
inline void pause() {
    for (int i = 0; i < 8; ++i) asm volatile("");
}

// Runs body with a borrow of o held; false (and counts the refusal) when it is refused.
template <class T, bool IsExclusive, class F>
bool borrowed(Obj<T>* o, Occupancy& occ, Tally& tally, F&& body) {
    std::optional<ostrilo::Borrow<T, IsExclusive>> guard(std::in_place);
    const long reported = ostrilo::refusals_reported;
    bool ok;
    {
        [[maybe_unused]] FlagAccess a;
        ok = guard->acquire_unchecked(reinterpret_cast<PyObject*>(o));
    }
    if (!ok) {
        ++tally.refused;
        // Each refusal reports exactly one error; a successful borrow reports none.
        if (ostrilo::refusals_reported != reported + 1) ++tally.misreported;
        guard.reset();  // holds nothing: no flag access
        return false;
    }
    if (ostrilo::refusals_reported != reported) ++tally.misreported;
    if constexpr (IsExclusive) {
        if (occ.exclusive.fetch_add(1) != 0) ++occ.double_owner;
        if (occ.shared.load() != 0) ++occ.reader_beside_writer;
        body(guard->get());
        occ.exclusive.fetch_sub(1);
        ++tally.exclusive;
    } else {
        occ.shared.fetch_add(1);
        if (occ.exclusive.load() != 0) ++occ.reader_beside_writer;
        body(guard->get());
        occ.shared.fetch_sub(1);
        ++tally.shared;
    }
    [[maybe_unused]] FlagAccess a;
    guard.reset();
    return true;
}

struct Records {
    Obj<Vec3d>* vec;
    Obj<VecList>* list;
    Occupancy vec_occ, list_occ;
};

constexpr std::size_t kListCap = 48;
constexpr double kCapSeconds = 20;

bool uniform(const Vec3d& v) { return v.x == v.y && v.y == v.z; }

void write_vec(Records& r, Tally& t, double k) {
    borrowed<Vec3d, true>(r.vec, r.vec_occ, t, [&](Vec3d& v) {
        v.x = k;
        pause();
        v.y = k;
        pause();
        v.z = k;
    });
}

void read_vec(Records& r, Tally& t) {
    borrowed<Vec3d, false>(r.vec, r.vec_occ, t, [&](const Vec3d& v) {
        const double x = v.x;
        pause();
        const double y = v.y;
        pause();
        if (!(x == y && y == v.z)) ++t.torn;
    });
}

// Appends the vector record's value (read under a shared borrow inside the list's exclusive
// one, as `append` does) and makes every element that value; the array is dropped and regrown
// now and then, so appends reallocate it.
void write_list(Records& r, Tally& t, double k) {
    borrowed<VecList, true>(r.list, r.list_occ, t, [&](VecList& l) {
        Vec3d u{k, k, k};
        borrowed<Vec3d, false>(r.vec, r.vec_occ, t, [&](const Vec3d& v) { u = v; });
        if (!uniform(u)) ++t.torn;
        if (l.items.size() >= kListCap) {
            l.items.clear();
            l.items.shrink_to_fit();
        }
        l.items.push_back(u);
        for (Vec3d& e : l.items) {
            e = u;
            pause();
        }
    });
}

void read_list(Records& r, Tally& t) {
    borrowed<VecList, false>(r.list, r.list_occ, t, [&](const VecList& l) {
        const std::size_t n = l.items.size();
        if (n == 0 || n > kListCap) {
            ++t.torn;
            return;
        }
        const Vec3d first = l.items[0];
        for (std::size_t i = 0; i < n; ++i) {
            const Vec3d& e = l.items[i];
            if (!uniform(e) || e.x != first.x) ++t.torn;
        }
    });
}

struct Case {
    const char* name;
    int vec_writers, vec_readers, list_writers, list_readers;
};

const Case kCases[] = {
    {"vector: 2 writers, 2 readers", 2, 2, 0, 0},
    {"vector: 1 writer, 3 readers", 1, 3, 0, 0},
    {"list: 2 writers, 2 readers", 0, 0, 2, 2},
    {"list: 3 writers, 1 reader", 0, 0, 3, 1},
    {"list appends the vector while it is rewritten", 1, 1, 2, 1},
};

bool run(const Case& c, double seconds) {
    alignas(Obj<Vec3d>) unsigned char vec_mem[sizeof(Obj<Vec3d>)] = {};
    alignas(Obj<VecList>) unsigned char list_mem[sizeof(Obj<VecList>)] = {};
    auto* vec = reinterpret_cast<Obj<Vec3d>*>(vec_mem);
    auto* list = reinterpret_cast<Obj<VecList>*>(list_mem);
    new (&vec->value) Vec3d{0.0, 0.0, 0.0};
    new (&vec->flag) ostrilo::BorrowFlag(0);
    new (&list->value) VecList{};
    list->value.items.push_back(Vec3d{0.0, 0.0, 0.0});
    new (&list->flag) ostrilo::BorrowFlag(0);
    Records r{vec, list, {}, {}};

    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    const int roles[4] = {c.vec_writers, c.vec_readers, c.list_writers, c.list_readers};
    int nthreads = 0;
    for (int n : roles) nthreads += n;
    std::vector<Tally> tallies(static_cast<std::size_t>(nthreads));
    std::vector<std::thread> threads;
    int index = 0;
    for (int role = 0; role < 4; ++role) {
        for (int k = 0; k < roles[role]; ++k, ++index) {
            threads.emplace_back([&, role, index] {
                Tally& t = tallies[static_cast<std::size_t>(index)];
                ready.fetch_add(1);
                while (ready.load() < nthreads) std::this_thread::yield();
                double value = index;
                std::uint64_t seed = 0x9E3779B97F4A7C15u * static_cast<std::uint64_t>(index + 1);
                while (!stop.load(std::memory_order_relaxed)) {
                    value += nthreads;  // distinct per thread and per write
                    switch (role) {
                        case 0:
                            write_vec(r, t, value);
                            break;
                        case 1:
                            read_vec(r, t);
                            break;
                        case 2:
                            write_list(r, t, value);
                            break;
                        default:
                            read_list(r, t);
                            break;
                    }
                    // A gap of random length before the next attempt: without gaps one side
                    // could keep the other out for the whole case (readers overlapping each
                    // other, say); with a fixed one the threads could fall into step.
                    seed ^= seed << 13;
                    seed ^= seed >> 7;
                    seed ^= seed << 17;
                    for (unsigned n = seed % 64; n > 0; --n) pause();
                }
            });
        }
    }
    // At least `seconds`, then until every kind of section has been seen often enough (or the
    // cap, which fails the case).
    const auto t0 = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
    while (elapsed() < seconds || (!Totals(tallies).enough() && elapsed() < kCapSeconds))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop.store(true);
    for (std::thread& th : threads) th.join();

    const Totals total(tallies);
    const long doubles = r.vec_occ.double_owner + r.list_occ.double_owner;
    const long beside = r.vec_occ.reader_beside_writer + r.list_occ.reader_beside_writer;
    const int flags[2] = {vec->flag.load(), list->flag.load()};
    std::printf(
        "%-48s %4.1fs %9ld exclusive %9ld shared %8ld refused | torn %ld, misreported %ld, two owners %ld, reader "
        "beside writer %ld, flags %d %d\n",
        c.name, elapsed(), total.exclusive, total.shared, total.refused, total.torn, total.misreported, doubles, beside,
        flags[0], flags[1]);
    list->value.~VecList();
    return total.torn == 0 && total.misreported == 0 && doubles == 0 && beside == 0 && flags[0] == 0 && flags[1] == 0 &&
           total.enough();
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
    std::printf("borrow flags, %s build\n", kBuild);
    int failed = 0;
    for (const Case& c : kCases)
        if (!run(c, seconds)) {
            std::printf("FAILED: %s\n", c.name);
            ++failed;
        }
    return failed == 0 ? 0 : 1;
}
