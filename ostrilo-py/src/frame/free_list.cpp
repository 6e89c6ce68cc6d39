// The exit handler that closes and empties the free lists of the value classes.
#include "frame/free_list.hpp"

#include <mutex>

#include "frame/runtime.hpp"

namespace ostrilo {
namespace {

using Empty = void (*)() noexcept;

constexpr std::size_t kMaxFreeLists = 16;
std::mutex g_lists_lock;
Empty g_lists[kMaxFreeLists];
std::size_t g_list_count = 0;
std::atomic<bool> g_handler_installed{false};

void close_free_lists() noexcept {
    free_lists_open.store(false, std::memory_order_relaxed);
    std::lock_guard lock(g_lists_lock);
    for (std::size_t i = 0; i < g_list_count; ++i) g_lists[i]();
}

PyObject* on_exit(PyObject*, PyObject*) {
    close_free_lists();
    Py_RETURN_NONE;
}

PyMethodDef g_on_exit{"_empty_free_lists", on_exit, METH_NOARGS, nullptr};

// atexit.register(on_exit); its handlers run first thing when the interpreter finalises.
bool install_handler() noexcept {
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (atexit == nullptr) return false;
    PyObject* fn = PyCFunction_New(&g_on_exit, nullptr);
    PyObject* r = fn != nullptr ? PyObject_CallMethod(atexit, "register", "O", fn) : nullptr;
    Py_XDECREF(fn);
    Py_DECREF(atexit);
    Py_XDECREF(r);
    return r != nullptr;
}

}  // namespace

bool empty_at_exit(Empty empty) noexcept {
    {
        std::lock_guard lock(g_lists_lock);
        bool known = false;
        for (std::size_t i = 0; i < g_list_count; ++i) known = known || g_lists[i] == empty;
        if (!known) {
            if (g_list_count == kMaxFreeLists) {
                PyErr_SetString(PyExc_SystemError, "too many free lists");
                return false;
            }
            g_lists[g_list_count++] = empty;
        }
    }
    // Outside the lock: installing runs Python code, which may let another thread in.
    if (g_handler_installed.exchange(true)) return true;
    // The stacks were emptied at the exit handler; a later runtime opens them and installs the
    // handler in its own atexit module.
    if (!forget_at_runtime_end(
            [](void*) noexcept {
                free_lists_open.store(true);
                g_handler_installed.store(false);
            },
            &g_handler_installed)) {
        g_handler_installed.store(false);
        return false;
    }
    if (install_handler()) return true;
    g_handler_installed.store(false);
    return false;
}

}  // namespace ostrilo
