#pragma once
// Objects made once per process on first need (class objects, the panic exception, the geometry
// submodule), when several threads may need one at the same moment.
//
// The first thread to find the slot empty takes the slot's lock, looks again and builds; the
// others wait for the lock and then find the object. A thread already inside a creation (the
// collector may run a finalizer while a class is being built, and the finalizer may need a class)
// builds without waiting: it never waits for one lock while holding another, so it cannot
// deadlock, at the price that such a nested creation may race; the first to publish wins then,
// and the other's object is discarded.
#include <atomic>
#include <mutex>
#include <type_traits>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ostrilo {

// No lock: every thread that finds the slot empty builds, the first to publish wins.
struct FirstPublishWins {};

#if PY_VERSION_HEX >= 0x030D0000
// The interpreter's mutex. A thread waiting for it detaches from the interpreter (gives up the
// global lock, or lets a stop-the-world pause go ahead), so the builder, which needs the
// interpreter, can always finish. A std::mutex would hold the global lock while waiting.
struct CreationLock {
    PyMutex mutex{};
    void lock() noexcept { PyMutex_Lock(&mutex); }
    void unlock() noexcept { PyMutex_Unlock(&mutex); }
};
#else
// Before 3.13 the interpreter has no mutex that detaches while waiting; with the global lock a
// race needs the builder to give the lock up mid-way (a finalizer), which is rare, and costs
// one discarded object.
using CreationLock = FirstPublishWins;
#endif

// How many creations this thread is inside.
inline thread_local int creation_depth = 0;

// Builds and publishes unless another thread has published first (whose object is returned then).
template <class P, class Build, class Discard>
P* build_and_publish(std::atomic<P*>& slot, Build& build, Discard& discard) {
    P* made = build();
    if (made == nullptr) return nullptr;
    P* published = nullptr;
    if (slot.compare_exchange_strong(published, made, std::memory_order_acq_rel, std::memory_order_acquire))
        return made;
    discard(made);
    return published;
}

// The object in slot, built by build() when there is none yet; build returns the object or
// nullptr on failure, which publishes nothing (a later call tries again). discard(p) disposes of
// an object that lost a race.
template <class P, class Lock, class Build, class Discard>
P* create_once(std::atomic<P*>& slot, Lock& lock, Build&& build, Discard&& discard) {
    P* found = slot.load(std::memory_order_acquire);
    if (found != nullptr) return found;
    struct Depth {
        Depth() noexcept { ++creation_depth; }
        ~Depth() { --creation_depth; }
    } depth;
    static_cast<void>(lock);
    if constexpr (!std::is_same_v<Lock, FirstPublishWins>) {
        if (creation_depth == 1) {
            std::lock_guard<Lock> held(lock);
            found = slot.load(std::memory_order_acquire);
            return found != nullptr ? found : build_and_publish(slot, build, discard);
        }
    }
    return build_and_publish(slot, build, discard);
}

}  // namespace ostrilo
