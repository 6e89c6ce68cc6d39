// ostrilo_py's side of the table it lends to its companion modules (shared_api.hpp).
#include "shared_api.hpp"

#include "angle.hpp"
#include "frame/runtime.hpp"
#include "geometry/circle.hpp"
#include "geometry/plane.hpp"
#include "quat.hpp"
#include "vec3d.hpp"
#include "worker_pool.hpp"

namespace ostrilo {
namespace {

template <class T>
bool fill_entry(SharedApi& api) {
    static_assert(Bound<T>::name.size < kSharedNameSize, "a shared class's name fits its entry, with a NUL");
    PyTypeObject* tp = class_object<T>.get();
    if (tp == nullptr) return false;
    SharedClassEntry& e = api.classes[static_cast<std::size_t>(shared_class_of<T>())];
    e = SharedClassEntry{tp,
                         [](PyTypeObject* t) noexcept { return InstanceStorage<T>::allocate(t); },
                         instance_size_of<T>,
                         value_size_of<T>,
                         {}};
    for (std::size_t i = 0; i < Bound<T>::name.size; ++i) e.name[i] = Bound<T>::name.data[i];
    return true;
}

bool run_blocks(std::size_t n, std::size_t grain, void (*body)(void*, std::size_t, std::size_t) noexcept,
                void* ctx) noexcept {
    try {
        pool::for_blocks(n, [&](std::size_t b, std::size_t e) { body(ctx, b, e); }, pool::Grain{grain});
        return true;
    } catch (...) {
        return false;
    }
}

// Filled by the first execution of the module in each interpreter runtime (the class objects
// belong to the runtime, see frame/runtime.hpp); later ones find it filled.
std::atomic<SharedApi*> g_api{nullptr};
CreationLock g_api_lock;

SharedApi* make_api() {
    auto* api = new (std::nothrow) SharedApi{};
    if (api == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    const bool ok = fill_entry<drevan::Vec3d>(*api) && fill_entry<drevan::Quat>(*api) &&
                    fill_entry<drevan::AngleRadians>(*api) && fill_entry<drevan::AngleDegrees>(*api) &&
                    fill_entry<VecList>(*api) && fill_entry<drevan::geometry::Plane>(*api) &&
                    fill_entry<drevan::geometry::Circle>(*api);
    api->panic_exception = ok ? panic_exception_type() : nullptr;
    if (api->panic_exception == nullptr) {
        delete api;
        return nullptr;
    }
    api->allocate_array = [](std::size_t bytes) noexcept -> void* {
        try {
            return ostrilo::allocate_array(bytes);
        } catch (...) {
            return nullptr;
        }
    };
    api->free_array = [](void* p) noexcept { ostrilo::free_array(p); };
    api->for_blocks = &run_blocks;
    api->thread_count = []() noexcept -> std::size_t {
        try {
            return pool::thread_count();
        } catch (...) {
            return 1;
        }
    };
    return api;
}

}  // namespace

bool publish_shared_api(PyObject*) {
    // The class objects and the table live for the process: a table lost in a race is one
    // small block, freed.
    if (g_api.load(std::memory_order_acquire) == nullptr &&
        !forget_at_runtime_end(
            [](void* slot) noexcept { delete static_cast<std::atomic<SharedApi*>*>(slot)->exchange(nullptr); }, &g_api))
        return false;
    SharedApi* api = create_once(g_api, g_api_lock, make_api, [](SharedApi* lost) { delete lost; });
    if (api == nullptr) return false;
    PyObject* helper = PyImport_ImportModule(kSharedApiModule);
    if (helper == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return false;
        PyErr_Clear();  // no helper beside the extension: no companion can load either
        return true;
    }
    PyObject* capsule = PyCapsule_New(api, kSharedApiCapsule, nullptr);
    const bool ok = capsule != nullptr && PyObject_SetAttrString(helper, "api", capsule) == 0;
    Py_XDECREF(capsule);
    Py_DECREF(helper);
    return ok;
}

}  // namespace ostrilo
