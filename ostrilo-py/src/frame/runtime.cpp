// The caches forgotten when an interpreter runtime ends (see runtime.hpp).
#include "frame/runtime.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace ostrilo {
namespace {

using Forget = std::pair<void (*)(void*) noexcept, void*>;

std::mutex g_lock;
std::vector<Forget>* g_forgets = nullptr;  // never freed: it must outlive every static destructor
bool g_watching = false;                   // a handler is installed for the current runtime

// Py_AtExit's handler: the runtime is gone, its objects with it.
void runtime_ended() {
    std::vector<Forget> forgets;
    {
        std::lock_guard held(g_lock);
        if (g_forgets != nullptr) forgets.swap(*g_forgets);
        g_watching = false;
    }
    for (const Forget& f : forgets) f.first(f.second);
}

}  // namespace

bool forget_at_runtime_end(void (*forget)(void*) noexcept, void* arg) noexcept {
    try {
        std::lock_guard held(g_lock);
        if (g_forgets == nullptr) g_forgets = new std::vector<Forget>();
        for (const Forget& f : *g_forgets)
            if (f.first == forget && f.second == arg) return true;
        if (!g_watching) {
            if (Py_AtExit(&runtime_ended) != 0) {
                PyErr_SetString(PyExc_ImportError, "ostrilo_py cannot register its exit handler (Py_AtExit is full)");
                return false;
            }
            g_watching = true;
        }
        g_forgets->push_back({forget, arg});
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace ostrilo
