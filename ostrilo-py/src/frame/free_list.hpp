#pragma once
// Free lists for the instances of the small value classes. A released instance's block goes onto
// a short stack of its class, and the next instance of the class takes it from there instead of
// going through the interpreter's allocator both times (the interpreter does the same for its
// floats). The stacks hold bare blocks, not objects: the cycle collector, reference counts and
// leak checks never see them.
//
// With the global lock there is one stack per class and the lock guards it. Without it (the
// free-threaded build) every thread has its own, which it empties when it ends.
//
// When the interpreter finalises (at its exit handlers), the stacks are closed and emptied: from
// then on a released block goes straight back to the allocator, so none is left over when the
// interpreter's allocator takes stock.
//
// A class takes part by specialising its storage and registering when its class is created:
//     template <> struct InstanceStorage<drevan::Vec3d> : FreeListStorage<drevan::Vec3d> {};
//     PyTypeObject* Bound<drevan::Vec3d>::create() { return with_free_list<drevan::Vec3d>(...); }
#include <atomic>
#include <cstddef>

#include "frame/borrow.hpp"

namespace ostrilo {

// Most blocks a stack keeps: a few kilobytes per class and thread.
inline constexpr std::size_t kFreeListCapacity = 128;

// Open until the interpreter finalises; opened again when its runtime has ended, for the next one.
inline std::atomic<bool> free_lists_open{true};

template <std::size_t Capacity>
struct BlockStack {
    std::size_t count = 0;
    void* blocks[Capacity];

    void* pop() noexcept { return count != 0 ? blocks[--count] : nullptr; }
    bool push(void* block) noexcept {
        if (count == Capacity || !free_lists_open.load(std::memory_order_relaxed)) return false;
        blocks[count++] = block;
        return true;
    }
    void empty() noexcept {
        while (count != 0) PyObject_Free(blocks[--count]);
    }
};

template <class T, std::size_t Capacity = kFreeListCapacity>
struct FreeListStorage {
#ifdef Py_GIL_DISABLED
    struct ThreadStack : BlockStack<Capacity> {
        ThreadStack() = default;
        ThreadStack(const ThreadStack&) = delete;
        ThreadStack& operator=(const ThreadStack&) = delete;
        // A thread that ends while the interpreter runs gives its blocks back. After
        // finalisation the allocator may be gone: what is left then goes with the process.
        ~ThreadStack() {
            if (free_lists_open.load(std::memory_order_relaxed)) this->empty();
        }
    };
    static BlockStack<Capacity>& stack() noexcept {
        thread_local ThreadStack s;
        return s;
    }
#else
    static inline constinit BlockStack<Capacity> shared{};
    static BlockStack<Capacity>& stack() noexcept { return shared; }
#endif

    static void* allocate(PyTypeObject* tp) noexcept {
        if (void* block = stack().pop()) return block;
        return PyObject_Malloc(static_cast<std::size_t>(tp->tp_basicsize));
    }
    static void release(PyObject* self) noexcept {
        if (!stack().push(self)) PyObject_Free(self);
    }
    // Frees the blocks of this class's stack (the calling thread's, without the global lock).
    static void empty() noexcept { stack().empty(); }
};

// Registers `empty` to run when the interpreter finalises, after the stacks are closed; false
// with an error set if the exit handler cannot be installed.
bool empty_at_exit(void (*empty)() noexcept) noexcept;

// The class object `tp` of T (a new reference, or null with an error set) after registering T's
// free list for finalisation.
template <class T>
PyTypeObject* with_free_list(PyTypeObject* tp) noexcept {
    if (tp != nullptr && !empty_at_exit(&InstanceStorage<T>::empty)) {
        Py_DECREF(tp);
        return nullptr;
    }
    return tp;
}

}  // namespace ostrilo
