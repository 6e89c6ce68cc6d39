#pragma once
// The few thread calls of the worker pool that differ between operating systems: POSIX threads
// on Linux and macOS, Windows threads on Windows. Everything else the pool uses (std::mutex,
// std::condition_variable, std::atomic) is standard C++.
#include <cstddef>

#ifdef _WIN32
namespace ostrilo::pool::os {
using Thread = void*;  // the thread's HANDLE
}
#else
#include <pthread.h>
namespace ostrilo::pool::os {
using Thread = pthread_t;
}
#endif

namespace ostrilo::pool::os {

// Starts entry(arg) on a new thread with a stack of stack_bytes. On POSIX systems the thread
// takes no asynchronous signals: they are left to the threads that run the interpreter (faults
// stay deliverable, so that crash handlers still see them). False if no thread could be made.
bool start_thread(Thread& thread, void (*entry)(void*), void* arg, std::size_t stack_bytes) noexcept;

// Waits for the thread to end and releases it.
void join_thread(Thread thread) noexcept;

// Lets another thread that is ready run on this processor.
void yield_processor() noexcept;

// Has fn called in the child process after fork(). Systems without fork (Windows) have no
// child to call it in: nothing to register, and true.
bool call_in_fork_child(void (*fn)()) noexcept;

}  // namespace ostrilo::pool::os
