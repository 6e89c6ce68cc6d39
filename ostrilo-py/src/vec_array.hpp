#pragma once
// The element array of a list: core vectors in one contiguous block, from an allocator that
// leaves new elements uninitialised (an output is written once, by the job that fills it) and
// maps large blocks as huge pages.
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "drevan/vec3d.hpp"

namespace ostrilo {

// Large blocks (at least this many bytes) are mappings of their own, starting on a huge page and
// advised to the kernel as transparent huge pages: first touch of a 240 MB output then costs ~120
// page faults instead of ~60000. The last two freed, up to 32 MiB each, are kept for reuse
// (vec_array.cpp).
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

// An uninitialised array of n vectors.
inline VecArray uninitialised(std::size_t n) {
    VecArray a;
    a.resize(n);  // default-initialised by RawAllocator: no writes
    return a;
}

inline VecArray copy_of(const VecArray& src) {
    VecArray a = uninitialised(src.size());
    if (!src.empty()) std::memcpy(a.data(), src.data(), src.size() * sizeof(drevan::Vec3d));
    return a;
}

// Uninitialised scratch output of a job: n values of T, freed with the scope. Short lists use
// the stack, so that a batch operation on a handful of elements costs no allocation besides
// its result.
template <class T>
struct Scratch {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr std::size_t kLocal = 256 / sizeof(T);
    T local[kLocal];
    T* data;
    explicit Scratch(std::size_t n) : data(n <= kLocal ? local : RawAllocator<T>().allocate(n)) {}
    ~Scratch() {
        if (data != local) free_array(data);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

}  // namespace ostrilo
