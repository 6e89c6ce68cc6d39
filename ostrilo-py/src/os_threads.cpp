// The worker pool's thread calls on POSIX systems and on Windows (see os_threads.hpp).
#include "os_threads.hpp"

#include <initializer_list>
#include <new>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#endif

namespace ostrilo::pool::os {

namespace {

// What the new thread runs, handed over through the one pointer the system passes; the thread
// frees it before it calls the entry.
struct Start {
    void (*entry)(void*);
    void* arg;
};

void run_start(void* p) noexcept {
    const Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    start.entry(start.arg);
}

}  // namespace

#ifdef _WIN32

namespace {
DWORD WINAPI thread_main(void* p) {
    run_start(p);
    return 0;
}
}  // namespace

bool start_thread(Thread& thread, void (*entry)(void*), void* arg, std::size_t stack_bytes) noexcept {
    auto* start = new (std::nothrow) Start{entry, arg};
    if (start == nullptr) return false;
    // The size reserves the stack's address space; pages are committed as the stack grows.
    HANDLE h = CreateThread(nullptr, stack_bytes, &thread_main, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (h == nullptr) {
        delete start;
        return false;
    }
    thread = h;
    return true;
}

void join_thread(Thread thread) noexcept {
    WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
    CloseHandle(static_cast<HANDLE>(thread));
}

void yield_processor() noexcept { SwitchToThread(); }

bool call_in_fork_child(void (*)()) noexcept { return true; }

#else

namespace {
void* thread_main(void* p) {
    run_start(p);
    return nullptr;
}
}  // namespace

bool start_thread(Thread& thread, void (*entry)(void*), void* arg, std::size_t stack_bytes) noexcept {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setstacksize(&attr, stack_bytes);
    auto* start = new (std::nothrow) Start{entry, arg};
    // The new thread inherits the signal mask of the one that creates it.
    sigset_t all, old;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, sig);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const bool started = start != nullptr && pthread_create(&thread, &attr, &thread_main, start) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (!started) delete start;
    return started;
}

void join_thread(Thread thread) noexcept { pthread_join(thread, nullptr); }

void yield_processor() noexcept { sched_yield(); }

bool call_in_fork_child(void (*fn)()) noexcept { return pthread_atfork(nullptr, nullptr, fn) == 0; }

#endif

}  // namespace ostrilo::pool::os
