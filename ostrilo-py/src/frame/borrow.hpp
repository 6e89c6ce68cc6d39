#pragma once
// Instances and their borrows: the instance layout, the class object of every bound type, the
// creation and release of instances, and the borrow flag that guards an instance's value.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "frame/errors.hpp"
#include "frame/once.hpp"
#include "frame/text.hpp"

namespace ostrilo {

// ---------------------------------------------------------------------------------------------
// Borrow flags: 0 free, n > 0 shared borrows, -1 exclusive.

using BorrowFlag = std::atomic<std::int32_t>;

#ifdef Py_GIL_DISABLED
// Without a global lock, threads race on the flag: sequentially consistent read-modify-write.
inline bool try_borrow_shared(BorrowFlag& f) noexcept {
    std::int32_t v = f.load();
    for (;;) {
        if (v == -1) return false;
        if (f.compare_exchange_weak(v, v + 1)) return true;
    }
}
inline void release_shared(BorrowFlag& f) noexcept { f.fetch_sub(1); }
inline bool try_borrow_exclusive(BorrowFlag& f) noexcept {
    std::int32_t expected = 0;
    return f.compare_exchange_strong(expected, -1);
}
inline void release_exclusive(BorrowFlag& f) noexcept { f.store(0); }
#else
// With the global lock, only the thread holding it touches any flag (the worker pool never
// does), and the lock's hand-off orders those accesses: a plain load and store is an atomic
// read-modify-write here, without the cost of a locked instruction.
inline bool try_borrow_shared(BorrowFlag& f) noexcept {
    const std::int32_t v = f.load(std::memory_order_relaxed);
    if (v == -1) return false;
    f.store(v + 1, std::memory_order_relaxed);
    return true;
}
inline void release_shared(BorrowFlag& f) noexcept {
    f.store(f.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}
inline bool try_borrow_exclusive(BorrowFlag& f) noexcept {
    if (f.load(std::memory_order_relaxed) != 0) return false;
    f.store(-1, std::memory_order_relaxed);
    return true;
}
inline void release_exclusive(BorrowFlag& f) noexcept { f.store(0, std::memory_order_relaxed); }
#endif

template <class T>
struct Obj {
    PyObject_HEAD
    T value;
    BorrowFlag flag;
};

// ---------------------------------------------------------------------------------------------
// Class objects: one per class per process, created on first need.

struct ClassObject {
    const char* name;
    PyTypeObject* (*create)();
    std::atomic<PyTypeObject*> type{nullptr};
    CreationLock lock{};

    PyTypeObject* peek() const noexcept { return type.load(std::memory_order_acquire); }
    PyTypeObject* get() noexcept {
        PyTypeObject* t = peek();
        return t ? t : create_slow();
    }
    // The one path that creates the class: every caller that finds no class yet ends up here,
    // and exactly one of them builds it (see create_once). nullptr with an error set on failure.
    PyTypeObject* create_slow() noexcept;
};

// A core type bound to a Python class. Each class declares its binding once, in its header:
//     template <> struct Bound<drevan::Vec3d> : BoundAs<"Vec3d"> {
//         static PyTypeObject* create();  // the class table's, in the class's source
//     };
template <class T>
struct Bound : std::false_type {};
template <fixed_string Name>
struct BoundAs : std::true_type {
    static constexpr auto name = Name;
};

template <class T>
inline constinit ClassObject class_object{Bound<T>::name.data, &Bound<T>::create};

template <class T>
inline bool is_instance(PyObject* o) noexcept {
    PyTypeObject* t = class_object<T>.peek();
    // Our classes are final (no class can derive from them), so an instance's type is the class.
    return t != nullptr && Py_TYPE(o) == t;
}
template <class T>
inline Obj<T>* as_obj(PyObject* o) noexcept {
    return reinterpret_cast<Obj<T>*>(o);
}

// Where the instances of T live. A class may specialise this (say, to keep a free list); the
// default takes them from the interpreter's object allocator.
template <class T>
struct InstanceStorage {
    static void* allocate(PyTypeObject* tp) noexcept {
        return PyObject_Malloc(static_cast<std::size_t>(tp->tp_basicsize));
    }
    static void release(PyObject* self) noexcept { PyObject_Free(self); }
};

// New instance of the class `tp` of T holding a copy (or move) of value; nullptr with an error set.
template <class T, class V>
inline PyObject* new_instance(PyTypeObject* tp, V&& value) {
    auto* mem = static_cast<Obj<T>*>(InstanceStorage<T>::allocate(tp));
    if (mem == nullptr) return PyErr_NoMemory();
    PyObject* o = PyObject_Init(reinterpret_cast<PyObject*>(mem), tp);
    new (&mem->value) T(std::forward<V>(value));
    new (&mem->flag) BorrowFlag(0);
    return o;
}
template <class T, class V>
inline PyObject* new_instance(V&& value) {
    PyTypeObject* tp = class_object<T>.get();
    if (tp == nullptr) return nullptr;
    return new_instance<T>(tp, std::forward<V>(value));
}

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if constexpr (!std::is_trivially_destructible_v<T>) as_obj<T>(self)->value.~T();
    InstanceStorage<T>::release(self);
    Py_DECREF(tp);
}

// The last step of the interpreter's own deallocator (see ClassTable::create): the value goes,
// then its block. Only that deallocator calls it, once per instance.
template <class T>
void free_instance(void* self) {
    if constexpr (!std::is_trivially_destructible_v<T>) as_obj<T>(static_cast<PyObject*>(self))->value.~T();
    InstanceStorage<T>::release(static_cast<PyObject*>(self));
}

// ---------------------------------------------------------------------------------------------
// Borrow guards.

// Holds a shared or exclusive borrow of an instance for the guard's lifetime.
template <class T, bool IsExclusive>
struct Borrow {
    Obj<T>* obj = nullptr;
    Borrow() = default;
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (obj == nullptr) return;
        if constexpr (IsExclusive)
            release_exclusive(obj->flag);
        else
            release_shared(obj->flag);
    }
    // Instance check and borrow; on failure sets the error and returns false.
    bool acquire(PyObject* o) {
        if (!is_instance<T>(o)) [[unlikely]] {
            raise_not_instance(o, Bound<T>::name.data);
            return false;
        }
        return acquire_unchecked(o);
    }
    // The receiver of a method, property or slot of T's own class: the interpreter's descriptors
    // and slot dispatch have already checked its type, so only the borrow remains.
    bool acquire_receiver(PyObject* o) { return acquire_unchecked(o); }
    bool acquire_unchecked(PyObject* o) {
        Obj<T>* p = as_obj<T>(o);
        if constexpr (IsExclusive) {
            if (!try_borrow_exclusive(p->flag)) [[unlikely]] {
                raise_already_borrowed();
                return false;
            }
        } else if (!try_borrow_shared(p->flag)) [[unlikely]] {
            raise_already_mutably_borrowed();
            return false;
        }
        obj = p;
        return true;
    }
    std::conditional_t<IsExclusive, T&, const T&> get() const { return obj->value; }
};

template <class T>
using Shared = Borrow<T, false>;
template <class T>
using Exclusive = Borrow<T, true>;

}  // namespace ostrilo
