#pragma once
// What the process keeps for one interpreter runtime. Class objects, the submodule, the panic
// exception type and interned names are made once and reused by every later import; but a
// program that embeds Python may finalise its interpreter and start a new one in the same process
// (Py_FinalizeEx, then Py_Initialize), and finalisation frees every object of the old one. So each
// such cache registers, when it is first filled, how to forget what it holds; when the runtime has
// finished finalising (Py_AtExit, after the last Python code ran) every registered cache is
// emptied without touching its objects, and the next runtime builds its own.
#include <atomic>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ostrilo {

// Calls forget(arg) once the current runtime has finalised; registering the same pair again
// before then does nothing. Call with the interpreter attached. false with an error set when the
// handler cannot be installed (the interpreter allows 32 such handlers per runtime).
bool forget_at_runtime_end(void (*forget)(void*) noexcept, void* arg) noexcept;

// The usual forget: an atomic slot (or an array of count of them) set back to null.
template <class P>
bool forget_slot_at_runtime_end(std::atomic<P*>* slot) noexcept {
    return forget_at_runtime_end([](void* s) noexcept { static_cast<std::atomic<P*>*>(s)->store(nullptr); }, slot);
}

}  // namespace ostrilo
