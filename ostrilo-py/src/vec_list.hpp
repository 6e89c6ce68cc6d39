#pragma once
// The Python classes VecList and VecListIterator (vec_list.cpp) and the value records behind
// them: one contiguous array of core vectors.
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "drevan/vec3d.hpp"
#include "frame/borrow.hpp"

namespace ostrilo {

// Large blocks (at least this many bytes) are advised to the kernel as candidates for
// transparent huge pages: first touch of a 240 MB output then costs ~120 page faults instead of
// ~60000.
inline constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;

void* allocate_array(std::size_t bytes);  // throws std::bad_alloc
void free_array(void* p) noexcept;

// An allocator that leaves default-constructed elements uninitialised, so that an output array
// is written once, by the job that fills it, and not zeroed first.
template <class T>
struct RawAllocator {
    using value_type = T;
    RawAllocator() noexcept = default;
    template <class U>
    RawAllocator(const RawAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_array(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { free_array(p); }

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
    }

    friend bool operator==(const RawAllocator&, const RawAllocator&) noexcept { return true; }
};

using VecArray = std::vector<drevan::Vec3d, RawAllocator<drevan::Vec3d>>;

// Both records are aligned like the vector of doubles they hold, on every platform, so that in
// an instance the borrow flag that follows the record always ends 8 bytes before the end.
struct alignas(8) VecList {
    VecArray items;
};

// A snapshot of a list's elements and the position of the next one to hand out. The array is
// released as soon as the last element has been handed out.
struct alignas(8) VecListIterator {
    VecArray items;
    std::size_t cursor = 0;
};

template <>
struct Bound<VecList> : BoundAs<"VecList"> {
    static PyTypeObject* create();
};
template <>
struct Bound<VecListIterator> : BoundAs<"VecListIterator"> {
    static PyTypeObject* create();
};

}  // namespace ostrilo
