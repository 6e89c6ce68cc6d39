#pragma once
// What ostrilo_py lends to the companion modules built beside it in the same package: its class
// objects (the very same ones, so that an instance made by either is an instance of both), its
// instance allocators (one free list per class, whichever library fills it), its array allocator
// and its worker pool (one set of threads per process).
//
// ostrilo_py places one SharedApi in a capsule, attribute `api` of the private helper module
// _ostrilo_py_shared beside the extension, while it executes; a companion imports ostrilo_py, takes
// the capsule and refuses to load unless the version and every layout figure match its own
// (a companion from another build of the package would misread the instances), and unless each
// class entry is the class it expects at that place: sizes alone cannot tell two classes of the
// same size apart, and a companion that took one for the other would write past its instances.
#include <cstddef>
#include <cstdint>

#include "drevan/angle.hpp"
#include "drevan/geometry/circle.hpp"
#include "drevan/geometry/plane.hpp"
#include "drevan/quat.hpp"
#include "drevan/vec3d.hpp"
#include "frame/borrow.hpp"
#include "vec_list.hpp"

namespace ostrilo {

inline constexpr std::uint32_t kSharedApiVersion = 2;
inline constexpr const char* kSharedApiModule = "_ostrilo_py_shared";
inline constexpr const char* kSharedApiCapsule = "_ostrilo_py_shared.api";

// The shared classes, in the order of SharedApi::classes.
enum class SharedClass : std::uint32_t { Vec3d, Quat, AngleRadians, AngleDegrees, VecList, Plane, Circle, Count };

inline constexpr std::size_t kSharedNameSize = 16;

struct SharedClassEntry {
    PyTypeObject* type;                         // a strong reference, for the process
    void* (*allocate)(PyTypeObject*) noexcept;  // an instance block of the class (InstanceStorage)
    std::uint32_t instance_size;                // sizeof(Obj<T>)
    std::uint32_t value_size;                   // sizeof(T)
    char name[kSharedNameSize];                 // the class's Python name, padded with NULs
};

// Whether an entry's name is exactly `expected` (read within the field only, whatever it holds).
inline bool entry_named(const SharedClassEntry& e, const char* expected) noexcept {
    std::size_t i = 0;
    for (; i < kSharedNameSize && expected[i] != '\0'; ++i)
        if (e.name[i] != expected[i]) return false;
    return i < kSharedNameSize && e.name[i] == '\0';
}

// The figures both sides compute from the headers they were built with.
struct SharedLayout {
    std::uint32_t object_head = sizeof(PyObject);
    std::uint32_t pointer = sizeof(void*);
    std::uint32_t borrow_flag = sizeof(BorrowFlag);
    std::uint32_t vec_list = sizeof(VecList);
#ifdef Py_GIL_DISABLED
    std::uint32_t free_threaded = 1;
#else
    std::uint32_t free_threaded = 0;
#endif
    std::uint32_t classes = static_cast<std::uint32_t>(SharedClass::Count);
    friend constexpr bool operator==(const SharedLayout&, const SharedLayout&) = default;
};

struct SharedApi {
    std::uint32_t version = kSharedApiVersion;
    std::uint32_t size = sizeof(SharedApi);
    SharedLayout layout{};
    SharedClassEntry classes[static_cast<std::size_t>(SharedClass::Count)];
    PyObject* panic_exception;  // pyo3_runtime.PanicException, one class for every library
    // Arrays of VecList (RawAllocator); allocate gives nullptr when memory runs out.
    void* (*allocate_array)(std::size_t bytes) noexcept;
    void (*free_array)(void* p) noexcept;
    // Runs body(ctx, begin, end) over contiguous blocks of [0, n) of at least `grain` elements on
    // the worker pool, as the pool's for_blocks does; false if a block could not run (the body
    // itself must not throw).
    bool (*for_blocks)(std::size_t n, std::size_t grain, void (*body)(void*, std::size_t, std::size_t) noexcept,
                       void* ctx) noexcept;
    std::size_t (*thread_count)() noexcept;
};

template <class T>
constexpr SharedClass shared_class_of();
template <>
constexpr SharedClass shared_class_of<drevan::Vec3d>() {
    return SharedClass::Vec3d;
}
template <>
constexpr SharedClass shared_class_of<drevan::Quat>() {
    return SharedClass::Quat;
}
template <>
constexpr SharedClass shared_class_of<drevan::AngleRadians>() {
    return SharedClass::AngleRadians;
}
template <>
constexpr SharedClass shared_class_of<drevan::AngleDegrees>() {
    return SharedClass::AngleDegrees;
}
template <>
constexpr SharedClass shared_class_of<VecList>() {
    return SharedClass::VecList;
}
template <>
constexpr SharedClass shared_class_of<drevan::geometry::Plane>() {
    return SharedClass::Plane;
}
template <>
constexpr SharedClass shared_class_of<drevan::geometry::Circle>() {
    return SharedClass::Circle;
}

template <class T>
constexpr std::uint32_t instance_size_of = static_cast<std::uint32_t>(sizeof(Obj<T>));
template <class T>
constexpr std::uint32_t value_size_of = static_cast<std::uint32_t>(sizeof(T));

// ostrilo_py's execution step: fills the table (once per process) and publishes the capsule. A
// build without the helper module (a bare build tree) goes without.
bool publish_shared_api(PyObject* module);

}  // namespace ostrilo
