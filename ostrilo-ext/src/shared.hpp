#pragma once
// ostrilo_ext works on ostrilo_py's own classes: the class objects, instance allocators, array
// allocator and worker pool come from the table ostrilo_py lends (shared_api.hpp), taken when
// this module executes. Include this header, never ostrilo_py's class headers: the bindings
// here say where each class comes from.
#include <cstddef>
#include <new>

#include "geometry/circle.hpp"
#include "geometry/plane.hpp"
#include "shared_api.hpp"

namespace ostrilo {

// The table, set by import_shared before any member of the module runs.
inline const SharedApi* g_shared = nullptr;

// The class object of a shared class, as ClassObject::create expects (a new reference).
PyTypeObject* shared_class(SharedClass which);

template <class T>
struct SharedStorage {
    static void* allocate(PyTypeObject* tp) noexcept {
        return g_shared->classes[static_cast<std::size_t>(shared_class_of<T>())].allocate(tp);
    }
    // Instances are released by ostrilo_py's own deallocation, never here.
    static void release(PyObject* self) noexcept { PyObject_Free(self); }
};

#define OSTRILO_SHARED_CLASS(Type, Name)                                                \
    template <>                                                                         \
    struct Bound<Type> : BoundAs<Name> {                                                \
        static PyTypeObject* create() { return shared_class(shared_class_of<Type>()); } \
    };                                                                                  \
    template <>                                                                         \
    struct InstanceStorage<Type> : SharedStorage<Type> {};

OSTRILO_SHARED_CLASS(drevan::Vec3d, "Vec3d")
OSTRILO_SHARED_CLASS(drevan::Quat, "Quat")
OSTRILO_SHARED_CLASS(drevan::AngleRadians, "AngleRadians")
OSTRILO_SHARED_CLASS(drevan::AngleDegrees, "AngleDegrees")
#undef OSTRILO_SHARED_CLASS

// VecList, Plane and Circle declare their bindings in ostrilo_py's headers (included by
// shared_api.hpp); their instances come from the shared allocators too.
template <>
struct InstanceStorage<VecList> : SharedStorage<VecList> {};
template <>
struct InstanceStorage<drevan::geometry::Plane> : SharedStorage<drevan::geometry::Plane> {};
template <>
struct InstanceStorage<drevan::geometry::Circle> : SharedStorage<drevan::geometry::Circle> {};

// The module's first execution step: imports ostrilo_py, takes its table, checks that it was
// built from the same sources (ImportError otherwise) and binds every shared class.
bool import_shared(PyObject* module);

// Runs body(begin, end) over blocks of [0, n) on ostrilo_py's worker pool (at least `grain`
// elements a block; the block boundaries depend only on n). Throws std::bad_alloc if the pool
// cannot run the job. The body must not throw.
template <class F>
void for_blocks(std::size_t n, F&& body, std::size_t grain = 4096) {
    struct Ctx {
        std::remove_reference_t<F>* body;
    } ctx{std::addressof(body)};
    const bool ran = g_shared->for_blocks(
        n, grain, [](void* p, std::size_t b, std::size_t e) noexcept { (*static_cast<Ctx*>(p)->body)(b, e); }, &ctx);
    if (!ran) throw std::bad_alloc();
}

}  // namespace ostrilo
