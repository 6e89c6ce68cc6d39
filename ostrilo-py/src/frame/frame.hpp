#pragma once
// The call frame: every entry from the interpreter passes through these templates. They parse
// arguments, check and borrow the receiver, convert arguments, run the core operation, convert
// the result, release borrows and map failures. Everything that only runs when a call fails is
// out of line and cold (frame.cpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

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
// Cold error helpers (frame.cpp). Each sets a Python exception.

[[gnu::cold]] void raise_already_mutably_borrowed();
[[gnu::cold]] void raise_already_borrowed();
[[gnu::cold]] void raise_not_instance(PyObject* obj, const char* target);
[[gnu::cold]] void add_argument_prefix(const char* name);
[[gnu::cold]] void raise_panic(const char* message);
[[gnu::cold]] void set_error_from_current_exception();
[[gnu::cold]] void raise_index_out_of_bounds();
PyObject* panic_exception_type();

// Thrown by core-facing code when a Python exception is already set.
struct PyErrAlreadySet {};
[[noreturn, gnu::cold]] inline void throw_pyerr() { throw PyErrAlreadySet{}; }

// ---------------------------------------------------------------------------------------------
// Class objects: one per class per process, created on first need. Losers of a creation race
// drop their copy and use the winner's.

struct ClassInfo {
    const char* name;
    PyTypeObject* (*create)();
    std::atomic<PyTypeObject*> type{nullptr};

    PyTypeObject* peek() const noexcept { return type.load(std::memory_order_acquire); }
    PyTypeObject* get() noexcept {
        PyTypeObject* t = peek();
        return t ? t : create_slow();
    }
    PyTypeObject* create_slow() noexcept;
};

// Every bound core type names its class here (specialisations in classes.hpp).
template <class T>
struct Bound : std::false_type {};
template <class T>
ClassInfo& class_of();

template <class T>
inline bool is_instance(PyObject* o) noexcept {
    PyTypeObject* t = class_of<T>().peek();
    if (t == nullptr) return false;
    // Our classes are final (no class can derive from them), so an instance's type is the class.
    return Py_TYPE(o) == t;
}
template <class T>
inline Obj<T>* as_obj(PyObject* o) noexcept {
    return reinterpret_cast<Obj<T>*>(o);
}

// New instance of the class of T holding a copy (or move) of value; nullptr with an error set.
template <class T, class V>
inline PyObject* new_instance(PyTypeObject* tp, V&& value) {
    auto* mem = static_cast<Obj<T>*>(PyObject_Malloc(static_cast<std::size_t>(tp->tp_basicsize)));
    if (mem == nullptr) return PyErr_NoMemory();
    PyObject* o = PyObject_Init(reinterpret_cast<PyObject*>(mem), tp);
    new (&mem->value) T(std::forward<V>(value));
    new (&mem->flag) BorrowFlag(0);
    return o;
}
template <class T, class V>
inline PyObject* new_instance(V&& value) {
    PyTypeObject* tp = class_of<T>().get();
    if (tp == nullptr) return nullptr;
    return new_instance<T>(tp, std::forward<V>(value));
}

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if constexpr (!std::is_trivially_destructible_v<T>) as_obj<T>(self)->value.~T();
    tp->tp_free(self);
    Py_DECREF(tp);
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
            raise_not_instance(o, class_of<T>().name);
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

// ---------------------------------------------------------------------------------------------
// Argument conversions, chosen by the C++ parameter type of the core-facing function.

bool convert_double_slow(PyObject* o, double& out);
bool convert_uword(PyObject* o, std::size_t& out);
bool convert_bool_slow(PyObject* o, bool& out);

template <class P>
struct Conv;

template <>
struct Conv<double> {
    using Holder = double;
    static bool from(PyObject* o, Holder& h) {
        if (PyFloat_CheckExact(o)) [[likely]] {
            h = PyFloat_AS_DOUBLE(o);
            return true;
        }
        return convert_double_slow(o, h);
    }
    static double get(Holder& h) { return h; }
};

template <>
struct Conv<std::size_t> {
    using Holder = std::size_t;
    static bool from(PyObject* o, Holder& h) { return convert_uword(o, h); }
    static std::size_t get(Holder& h) { return h; }
};

template <>
struct Conv<bool> {
    using Holder = bool;
    static bool from(PyObject* o, Holder& h) {
        if (o == Py_True) {
            h = true;
            return true;
        }
        if (o == Py_False) {
            h = false;
            return true;
        }
        return convert_bool_slow(o, h);
    }
    static bool get(Holder& h) { return h; }
};

// A borrowed instance of one of our classes, read-only for the duration of the call.
template <class T>
struct Conv<const T&> {
    using Holder = Shared<T>;
    static bool from(PyObject* o, Holder& h) { return h.acquire(o); }
    static const T& get(Holder& h) { return h.get(); }
};

// The raw object, for conversions a class does itself.
template <>
struct Conv<PyObject*> {
    using Holder = PyObject*;
    static bool from(PyObject* o, Holder& h) {
        h = o;
        return true;
    }
    static PyObject* get(Holder& h) { return h; }
};

// ---------------------------------------------------------------------------------------------
// Result conversions, chosen by the return type. Each gives a new reference or nullptr.

template <class R, class = void>
struct Ret;

template <>
struct Ret<double> {
    static PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
};
template <>
struct Ret<bool> {
    static PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};
template <>
struct Ret<std::size_t> {
    static PyObject* to_py(std::size_t v) { return PyLong_FromSize_t(v); }
};
template <>
struct Ret<std::string> {
    static PyObject* to_py(const std::string& s) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
};
template <>
struct Ret<PyObject*> {
    static PyObject* to_py(PyObject* o) { return o; }
};
template <class A, class B>
struct Ret<std::pair<A, B>> {
    static PyObject* to_py(std::pair<A, B>&& p) {
        PyObject* a = Ret<A>::to_py(std::move(p.first));
        if (a == nullptr) return nullptr;
        PyObject* b = Ret<B>::to_py(std::move(p.second));
        if (b == nullptr) {
            Py_DECREF(a);
            return nullptr;
        }
        PyObject* t = PyTuple_New(2);
        if (t == nullptr) {
            Py_DECREF(a);
            Py_DECREF(b);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, 0, a);
        PyTuple_SET_ITEM(t, 1, b);
        return t;
    }
};
// A tuple of any length, items converted in order.
template <class... E>
struct Ret<std::tuple<E...>> {
    static PyObject* to_py(std::tuple<E...>&& items) {
        PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(sizeof...(E)));
        if (t == nullptr) return nullptr;
        bool ok = true;
        Py_ssize_t at = 0;
        std::apply(
            [&](auto&&... item) {
                ((ok = ok && fill(t, at++, Ret<std::remove_cvref_t<decltype(item)>>::to_py(std::move(item)))), ...);
            },
            items);
        if (!ok) {
            Py_DECREF(t);
            return nullptr;
        }
        return t;
    }
    static bool fill(PyObject* t, Py_ssize_t at, PyObject* item) {
        if (item == nullptr) return false;
        PyTuple_SET_ITEM(t, at, item);
        return true;
    }
};
// Any sized range of convertible items becomes a new list of exactly that length.
template <class Range>
PyObject* list_to_py(const Range& items) {
    using E = std::remove_cvref_t<decltype(*std::begin(items))>;
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(std::size(items)));
    if (l == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& e : items) {
        PyObject* item = Ret<E>::to_py(E(e));
        if (item == nullptr) {
            Py_DECREF(l);
            return nullptr;
        }
        PyList_SET_ITEM(l, i++, item);
    }
    return l;
}
template <class E, std::size_t N>
struct Ret<std::array<E, N>> {
    static PyObject* to_py(const std::array<E, N>& a) { return list_to_py(a); }
};
template <class E>
struct Ret<std::vector<E>> {
    static PyObject* to_py(const std::vector<E>& a) { return list_to_py(a); }
};
// A value record of one of our classes becomes a new instance of that class.
template <class T>
struct Ret<T, std::enable_if_t<Bound<T>::value>> {
    static PyObject* to_py(T&& v) { return new_instance<T>(std::move(v)); }
    static PyObject* to_py(const T& v) { return new_instance<T>(v); }
};

// ---------------------------------------------------------------------------------------------
// Annotations of parameters and results, as Python expressions, derived from the C++ types.

template <class R, class = void>
struct RetAnn;
template <>
struct RetAnn<void> {
    static constexpr Ann get() { return ann("None"); }
};
template <>
struct RetAnn<double> {
    static constexpr Ann get() { return ann("float"); }
};
template <>
struct RetAnn<bool> {
    static constexpr Ann get() { return ann("bool"); }
};
template <>
struct RetAnn<std::size_t> {
    static constexpr Ann get() { return ann("int"); }
};
template <>
struct RetAnn<std::string> {
    static constexpr Ann get() { return ann("str"); }
};
template <class T>
struct RetAnn<T, std::enable_if_t<Bound<T>::value>> {
    static constexpr Ann get() { return ann(Bound<T>::name); }
};
template <class... E>
struct RetAnn<std::tuple<E...>> {
    static constexpr Ann get() {
        Ann a = ann("tuple[");
        bool first = true;
        ((a.add(first ? "" : ", "), a.add(RetAnn<E>::get()), first = false), ...);
        a.add(']');
        return a;
    }
};
template <class A, class B>
struct RetAnn<std::pair<A, B>> : RetAnn<std::tuple<A, B>> {};
template <class E, std::size_t N>
struct RetAnn<std::array<E, N>> {
    static constexpr Ann get() {
        Ann a = ann("list[");
        a.add(RetAnn<E>::get());
        a.add(']');
        return a;
    }
};
template <class E>
struct RetAnn<std::vector<E>> : RetAnn<std::array<E, 1>> {};

// A parameter is annotated like a result of its type; a borrowed instance like its class.
template <class P>
struct ArgAnn : RetAnn<P> {};
template <class T>
struct ArgAnn<const T&> : RetAnn<T> {};

template <class R>
inline PyObject* to_py(R&& r) {
    return Ret<std::remove_cvref_t<R>>::to_py(std::forward<R>(r));
}

// ---------------------------------------------------------------------------------------------
// Function traits of the core-facing functions bound by the tables.

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

// The receiver: `const T&` takes a shared borrow, `T&` the exclusive one.
template <class P>
struct Receiver;
template <class T>
struct Receiver<const T&> {
    using Type = T;
    using Guard = Shared<T>;
    static constexpr bool exclusive = false;
};
template <class T>
struct Receiver<T&> {
    using Type = T;
    using Guard = Exclusive<T>;
    static constexpr bool exclusive = true;
};

// ---------------------------------------------------------------------------------------------
// Argument parsing against a function description.

struct FnDesc {
    const char* name;  // "dot", "__new__"
    const char* cls;   // "Vec3d", or nullptr for module functions
    const char* const* params;
    Py_ssize_t nparams;
    std::atomic<PyObject*>* interned;  // lazily interned parameter names
};

// Fills slots[0..nparams) from a vector call; false with the error set.
bool parse_vector(const FnDesc& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
// Same for a positional tuple and a keyword dictionary (constructors).
bool parse_tuple(const FnDesc& d, PyObject* args, PyObject* kwargs, PyObject** slots);

// Owner is the class whose name prefixes messages ("Vec3d.dot()"), or void for module functions.
template <fixed_string Name, class Owner, fixed_string... Params>
struct Desc {
    static constexpr const char* param_names[sizeof...(Params) + 1] = {Params.data..., nullptr};
    static inline std::atomic<PyObject*> interned[sizeof...(Params) + 1] = {};
    static constexpr std::size_t count = sizeof...(Params);
    static const FnDesc& get() {
        static const FnDesc d{Name.data, owner_name(), param_names, static_cast<Py_ssize_t>(count), interned};
        return d;
    }
    static const char* owner_name() {
        if constexpr (std::is_void_v<Owner>)
            return nullptr;
        else
            return class_of<Owner>().name;
    }
};

// Converts slots into holders in parameter order (the first failure stops, with the prefix rule).
template <class Args, std::size_t... I>
struct ArgPack;
template <class... A, std::size_t... I>
struct ArgPack<std::tuple<A...>, I...> {
    std::tuple<typename Conv<A>::Holder...> holders;
    bool convert(PyObject* const* slots, const char* const* names) {
        return (convert_one<I>(slots[I], names[I]) && ...);
    }
    template <std::size_t K>
    bool convert_one(PyObject* o, const char* name) {
        using P = std::tuple_element_t<K, std::tuple<A...>>;
        if (Conv<P>::from(o, std::get<K>(holders))) [[likely]]
            return true;
        add_argument_prefix(name);
        return false;
    }
    template <class F, class... Pre>
    decltype(auto) call(F f, Pre&&... pre) {
        return f(std::forward<Pre>(pre)..., Conv<A>::get(std::get<I>(holders))...);
    }
};

template <class Tuple, class Seq>
struct MakePack;
template <class Tuple, std::size_t... I>
struct MakePack<Tuple, std::index_sequence<I...>> {
    using type = ArgPack<Tuple, I...>;
};
template <class Tuple>
using PackOf = typename MakePack<Tuple, std::make_index_sequence<std::tuple_size_v<Tuple>>>::type;

template <class Tuple>
struct DropFirst;
template <class H, class... T>
struct DropFirst<std::tuple<H, T...>> {
    using type = std::tuple<T...>;
};

// Runs f and converts its result; core failures become Python exceptions.
template <class F>
inline PyObject* run_and_convert(F&& f) noexcept {
    try {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            f();
            Py_RETURN_NONE;
        } else {
            return to_py(f());
        }
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Entry trampolines.

// A method with parameters: receiver first, then the parameters (vector call with keywords).
template <auto Fn, class D>
PyObject* method_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    using Tr = FnTraits<decltype(Fn)>;
    using Rcv = Receiver<std::tuple_element_t<0, typename Tr::Args>>;
    using Pack = PackOf<typename DropFirst<typename Tr::Args>::type>;
    constexpr std::size_t n = D::count;
    static_assert(n == Tr::arity - 1, "parameter names must match the function's parameters");
    PyObject* slots[n + 1];
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(n)) [[likely]] {
        for (std::size_t i = 0; i < n; ++i) slots[i] = args[i];
    } else if (!parse_vector(D::get(), args, nargs, kwnames, slots)) {
        return nullptr;
    }
    typename Rcv::Guard recv;
    if (!recv.acquire_receiver(self)) return nullptr;
    Pack pack;
    if (!pack.convert(slots, D::param_names)) return nullptr;
    return run_and_convert([&]() -> decltype(auto) { return pack.call(Fn, recv.get()); });
}

// A method without parameters.
template <auto Fn>
PyObject* method_noargs(PyObject* self, PyObject*) {
    using Tr = FnTraits<decltype(Fn)>;
    using Rcv = Receiver<std::tuple_element_t<0, typename Tr::Args>>;
    typename Rcv::Guard recv;
    if (!recv.acquire_receiver(self)) return nullptr;
    return run_and_convert([&]() -> decltype(auto) { return Fn(recv.get()); });
}

// A static method or module function with parameters.
template <auto Fn, class D>
PyObject* function_fast(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    using Tr = FnTraits<decltype(Fn)>;
    using Pack = PackOf<typename Tr::Args>;
    constexpr std::size_t n = D::count;
    static_assert(n == Tr::arity, "parameter names must match the function's parameters");
    PyObject* slots[n + 1];
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(n)) [[likely]] {
        for (std::size_t i = 0; i < n; ++i) slots[i] = args[i];
    } else if (!parse_vector(D::get(), args, nargs, kwnames, slots)) {
        return nullptr;
    }
    Pack pack;
    if (!pack.convert(slots, D::param_names)) return nullptr;
    return run_and_convert([&]() -> decltype(auto) { return pack.call(Fn); });
}

// A static method without parameters.
template <auto Fn>
PyObject* function_noargs(PyObject*, PyObject*) {
    return run_and_convert([&]() -> decltype(auto) { return Fn(); });
}

// Constructor: converts the parameters and stores the core value Fn returns in a new instance
// of `type`.
template <auto Fn, class D>
PyObject* construct(PyTypeObject* type, PyObject* const* slots) {
    using Tr = FnTraits<decltype(Fn)>;
    using T = typename Tr::Result;
    using Pack = PackOf<typename Tr::Args>;
    Pack pack;
    if (!pack.convert(slots, D::param_names)) return nullptr;
    try {
        return new_instance<T>(type, pack.call(Fn));
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}
template <auto Fn, class D>
PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[D::count + 1];
    if (!parse_tuple(D::get(), args, kwargs, slots)) return nullptr;
    return construct<Fn, D>(type, slots);
}
// The same constructor through the vector call of the class object (no argument tuple).
template <auto Fn, class D>
PyObject* type_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    constexpr std::size_t n = D::count;
    PyObject* slots[n + 1];
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(n)) [[likely]] {
        for (std::size_t i = 0; i < n; ++i) slots[i] = args[i];
    } else if (!parse_vector(D::get(), args, nargs, kwnames, slots)) {
        return nullptr;
    }
    return construct<Fn, D>(reinterpret_cast<PyTypeObject*>(type), slots);
}

// Property getter.
template <auto Fn>
PyObject* getter(PyObject* self, void*) {
    return method_noargs<Fn>(self, nullptr);
}

// Property setter: converts the value first, then takes the exclusive borrow.
[[gnu::cold]] int raise_no_deleter();
template <auto Fn>
int setter(PyObject* self, PyObject* value, void*) {
    using Tr = FnTraits<decltype(Fn)>;
    using Rcv = Receiver<std::tuple_element_t<0, typename Tr::Args>>;
    using P = std::tuple_element_t<1, typename Tr::Args>;
    if (value == nullptr) return raise_no_deleter();
    typename Conv<P>::Holder h;
    if (!Conv<P>::from(value, h)) {
        add_argument_prefix("value");
        return -1;
    }
    typename Rcv::Guard recv;
    if (!recv.acquire_receiver(self)) return -1;
    try {
        Fn(recv.get(), Conv<P>::get(h));
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

// Unary slots: repr, negation, iteration.
template <auto Fn>
PyObject* unary(PyObject* self) {
    return method_noargs<Fn>(self, nullptr);
}

// Hash slot: the 64-bit digest truncated to the interpreter's width; -1 becomes -2.
template <auto Fn>
Py_hash_t hash_slot(PyObject* self) {
    using Tr = FnTraits<decltype(Fn)>;
    using Rcv = Receiver<std::tuple_element_t<0, typename Tr::Args>>;
    typename Rcv::Guard recv;
    if (!recv.acquire_receiver(self)) return -1;
    const auto h = static_cast<Py_hash_t>(Fn(recv.get()));
    return h == -1 ? -2 : h;
}

// Length slot.
template <auto Fn>
Py_ssize_t len_slot(PyObject* self) {
    using Tr = FnTraits<decltype(Fn)>;
    using Rcv = Receiver<std::tuple_element_t<0, typename Tr::Args>>;
    typename Rcv::Guard recv;
    if (!recv.acquire_receiver(self)) return -1;
    return static_cast<Py_ssize_t>(Fn(recv.get()));
}

// Subscript: receiver first, then the key converted as the parameter `index`.
template <auto Fn>
PyObject* subscript(PyObject* self, PyObject* key) {
    using Tr = FnTraits<decltype(Fn)>;
    using Rcv = Receiver<std::tuple_element_t<0, typename Tr::Args>>;
    using P = std::tuple_element_t<1, typename Tr::Args>;
    typename Rcv::Guard recv;
    if (!recv.acquire_receiver(self)) return nullptr;
    typename Conv<P>::Holder h;
    if (!Conv<P>::from(key, h)) {
        add_argument_prefix("index");
        return nullptr;
    }
    return run_and_convert([&]() -> decltype(auto) { return Fn(recv.get(), Conv<P>::get(h)); });
}

// The sequence-item slot derived from the subscript: position as an int, then the subscript.
template <auto Fn>
PyObject* sequence_item(PyObject* self, Py_ssize_t i) {
    PyObject* key = PyLong_FromSsize_t(i);
    if (key == nullptr) return nullptr;
    PyObject* r = subscript<Fn>(self, key);
    Py_DECREF(key);
    return r;
}

// Binary number slot: forward form with the left operand as receiver, then (where the class has
// one) the reflected form with the right operand as receiver; otherwise NotImplemented. Errors
// of the receiver check, the borrow and the operand conversion are discarded.
struct NoReflected {};

template <auto Fn>
inline PyObject* try_binary(PyObject* recv_obj, PyObject* operand, bool& tried) {
    using Tr = FnTraits<decltype(Fn)>;
    using Rcv = Receiver<std::tuple_element_t<0, typename Tr::Args>>;
    using T = typename Rcv::Type;
    using P = std::tuple_element_t<1, typename Tr::Args>;
    tried = false;
    if (!is_instance<T>(recv_obj)) return nullptr;
    typename Rcv::Guard recv;
    if (!recv.acquire_unchecked(recv_obj)) {
        PyErr_Clear();
        return nullptr;
    }
    typename Conv<P>::Holder h;
    if (!Conv<P>::from(operand, h)) {
        PyErr_Clear();
        return nullptr;
    }
    tried = true;
    return run_and_convert([&]() -> decltype(auto) { return Fn(recv.get(), Conv<P>::get(h)); });
}

template <auto Fwd, auto Refl = NoReflected{}>
PyObject* binary_slot(PyObject* a, PyObject* b) {
    bool tried;
    PyObject* r = try_binary<Fwd>(a, b, tried);
    if (tried) return r;
    if constexpr (!std::is_same_v<std::remove_cvref_t<decltype(Refl)>, NoReflected>) {
        r = try_binary<Refl>(b, a, tried);
        if (tried) return r;
    }
    Py_RETURN_NOTIMPLEMENTED;
}

// Rich comparison. Cmp(self, other, op) gives 1 (true), 0 (false) or -1 (NotImplemented).
//  - ne_from_eq: `!=` asks the interpreter for `==` and negates its truth value (no borrow).
//  - other_borrow_panics: an exclusively borrowed `other` is an internal assertion failure
//    rather than NotImplemented.
[[gnu::cold]] void raise_comparison_borrow_panic();
// `!=` as the negated truth of the interpreter's full `self == other` (no identity shortcut, so
// a value that is unequal to itself is `!=` itself); nullptr if either step raises.
PyObject* negated_equality(PyObject* self, PyObject* other);

inline constexpr unsigned cmp_bit(int op) { return 1u << op; }
inline constexpr unsigned EQ_NE = cmp_bit(Py_EQ) | cmp_bit(Py_NE);
inline constexpr unsigned ALL_OPS = 0x3f;

template <class T, auto Cmp, unsigned Ops, bool ne_from_eq, bool other_borrow_panics>
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if ((Ops & cmp_bit(op)) == 0) Py_RETURN_NOTIMPLEMENTED;
    if constexpr (ne_from_eq) {
        if (op == Py_NE) return negated_equality(self, other);
    }
    // The interpreter calls a type's comparison slot with an instance of that type first.
    if (!is_instance<T>(other)) Py_RETURN_NOTIMPLEMENTED;
    Shared<T> a;
    if (!a.acquire_receiver(self)) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    Shared<T> b;
    if (!b.acquire_unchecked(other)) {
        PyErr_Clear();
        if constexpr (other_borrow_panics) {
            raise_comparison_borrow_panic();
            return nullptr;
        }
        Py_RETURN_NOTIMPLEMENTED;
    }
    const int r = Cmp(a.get(), b.get(), op);
    if (r < 0) Py_RETURN_NOTIMPLEMENTED;
    return Py_NewRef(r ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------------------------
// Class tables. A class is described by its name, text signature and a list of entries; the
// same entries build the type object and describe the interface.

// Each entry adds what it needs to the class being built and describes itself: one line per
// Python-visible function, "F\t<name>\t<receiver>\t<param>=<annotation>;...\t<returns>\t<decorator>",
// collected at build time into the interface records the library exports.

using Text = ctext<24576>;

enum class Category { MethodDef, GetSet, TypeSlots };

template <class Args, fixed_string... Params>
constexpr void describe_params(Text& t) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((t.add(I == 0 ? "" : ";"), t.add(Params.data), t.add('='),
          t.add(ArgAnn<std::tuple_element_t<I, Args>>::get())),
         ...);
    }(std::make_index_sequence<sizeof...(Params)>{});
}

template <class Owner>
constexpr void describe_line(Text& t, const char* name, const char* receiver, const Text* params, const Ann& ret,
                             const char* decorator) {
    t.add("F\t");
    t.add(name);
    t.add('\t');
    t.add(receiver);
    t.add('\t');
    if (params) t.add(*params);
    t.add('\t');
    t.add(ret);
    t.add('\t');
    t.add(decorator);
    t.add('\n');
}

template <class F>
using ResultOf = typename FnTraits<F>::Result;

template <fixed_string Name, auto Fn, fixed_string... Params>
struct Method {
    static constexpr Category category = Category::MethodDef;
    static constexpr auto doc = signature_text<Name, true, Params...>();
    template <class Owner>
    static PyMethodDef def() {
        using D = Desc<Name, Owner, Params...>;
        if constexpr (sizeof...(Params) == 0)
            return {Name.data, reinterpret_cast<PyCFunction>(&method_noargs<Fn>), METH_NOARGS, doc.data};
        else
            return {Name.data, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_fast<Fn, D>)),
                    METH_FASTCALL | METH_KEYWORDS, doc.data};
    }
    template <class Owner>
    static constexpr void describe(Text& t) {
        Text p;
        describe_params<typename DropFirst<typename FnTraits<decltype(Fn)>::Args>::type, Params...>(p);
        describe_line<Owner>(t, Name.data, "self", &p, RetAnn<ResultOf<decltype(Fn)>>::get(), "");
    }
};

template <fixed_string Name, auto Fn, fixed_string... Params>
struct Static {
    static constexpr Category category = Category::MethodDef;
    static constexpr auto doc = signature_text<Name, false, Params...>();
    template <class Owner>
    static PyMethodDef def() {
        using D = Desc<Name, Owner, Params...>;
        if constexpr (sizeof...(Params) == 0)
            return {Name.data, reinterpret_cast<PyCFunction>(&function_noargs<Fn>), METH_NOARGS | METH_STATIC,
                    doc.data};
        else
            return {Name.data, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_fast<Fn, D>)),
                    METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc.data};
    }
    template <class Owner>
    static constexpr void describe(Text& t) {
        Text p;
        describe_params<typename FnTraits<decltype(Fn)>::Args, Params...>(p);
        describe_line<Owner>(t, Name.data, "", &p, RetAnn<ResultOf<decltype(Fn)>>::get(), "staticmethod");
    }
};

// A module-level function (no owner class: messages read "name()").
template <fixed_string Name, auto Fn, fixed_string... Params>
struct Function {
    static constexpr auto doc = signature_text<Name, false, Params...>();
    static PyMethodDef def() {
        using D = Desc<Name, void, Params...>;
        if constexpr (sizeof...(Params) == 0)
            return {Name.data, reinterpret_cast<PyCFunction>(&function_noargs<Fn>), METH_NOARGS, doc.data};
        else
            return {Name.data, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_fast<Fn, D>)),
                    METH_FASTCALL | METH_KEYWORDS, doc.data};
    }
    static constexpr void describe(Text& t) {
        Text p;
        describe_params<typename FnTraits<decltype(Fn)>::Args, Params...>(p);
        describe_line<void>(t, Name.data, "", &p, RetAnn<ResultOf<decltype(Fn)>>::get(), "");
    }
};

template <fixed_string Name, auto Get, auto Set = nullptr>
struct Property {
    static constexpr Category category = Category::GetSet;
    static constexpr bool has_setter = !std::is_same_v<decltype(Set), std::nullptr_t>;
    static PyGetSetDef def() {
        if constexpr (has_setter)
            return {Name.data, &getter<Get>, &setter<Set>, nullptr, nullptr};
        else
            return {Name.data, &getter<Get>, nullptr, nullptr, nullptr};
    }
    template <class Owner>
    static constexpr void describe(Text& t) {
        describe_line<Owner>(t, Name.data, "self", nullptr, RetAnn<ResultOf<decltype(Get)>>::get(), "property");
        if constexpr (has_setter) {
            Text p;
            p.add("value=");
            p.add(ArgAnn<std::tuple_element_t<1, typename FnTraits<decltype(Set)>::Args>>::get());
            describe_line<Owner>(t, Name.data, "self", &p, ann("None"), "setter");
        }
    }
};

// A property that reads and writes one field of the value record.
template <class M>
struct MemberOf;
template <class C, class F>
struct MemberOf<F C::*> {
    using Class = C;
    using Type = F;
    using Param = std::conditional_t<Bound<F>::value, const F&, F>;
};
template <auto Member>
typename MemberOf<decltype(Member)>::Type read_field(const typename MemberOf<decltype(Member)>::Class& v) {
    return v.*Member;
}
template <auto Member>
void write_field(typename MemberOf<decltype(Member)>::Class& v, typename MemberOf<decltype(Member)>::Param value) {
    v.*Member = value;
}
template <fixed_string Name, auto Member>
using Field = Property<Name, read_field<Member>, write_field<Member>>;

// A type slot given directly, with nothing to describe (e.g. marking a class unhashable).
template <int SlotId, auto Fn>
struct Slot {
    static constexpr Category category = Category::TypeSlots;
    template <class Owner>
    static void slots(std::vector<PyType_Slot>& out) {
        out.push_back({SlotId, reinterpret_cast<void*>(Fn)});
    }
    template <class Owner>
    static constexpr void describe(Text&) {}
};

using Unhashable = Slot<Py_tp_hash, PyObject_HashNotImplemented>;

// A slot that the interpreter exposes as one special method without parameters.
template <int SlotId, fixed_string Name, auto Trampoline, class Result>
struct UnarySpecial {
    static constexpr Category category = Category::TypeSlots;
    template <class Owner>
    static void slots(std::vector<PyType_Slot>& out) {
        out.push_back({SlotId, reinterpret_cast<void*>(Trampoline)});
    }
    template <class Owner>
    static constexpr void describe(Text& t) {
        describe_line<Owner>(t, Name.data, "self", nullptr, RetAnn<Result>::get(), "");
    }
};

template <auto Fn>
using Repr = UnarySpecial<Py_tp_repr, "__repr__", unary<Fn>, std::string>;
template <auto Fn>
using Hash = UnarySpecial<Py_tp_hash, "__hash__", hash_slot<Fn>, std::size_t>;
template <auto Fn>
using Neg = UnarySpecial<Py_nb_negative, "__neg__", unary<Fn>, ResultOf<decltype(Fn)>>;
template <auto Fn>
using Len = UnarySpecial<Py_sq_length, "__len__", len_slot<Fn>, std::size_t>;
template <auto Fn>
using Iter = UnarySpecial<Py_tp_iter, "__iter__", unary<Fn>, ResultOf<decltype(Fn)>>;

// One operand form of a binary operator: its special-method name, function and parameter name.
template <fixed_string Name, auto Fn, fixed_string Param>
struct Op {
    static constexpr auto fn = Fn;
    template <class Owner>
    static constexpr void describe(Text& t) {
        Text p;
        describe_params<typename DropFirst<typename FnTraits<decltype(Fn)>::Args>::type, Param>(p);
        describe_line<Owner>(t, Name.data, "self", &p, RetAnn<ResultOf<decltype(Fn)>>::get(), "");
    }
};

// A binary number slot: the forward form, and optionally the reflected one.
template <int SlotId, class Forward, class Reflected = void>
struct Binary {
    static constexpr Category category = Category::TypeSlots;
    template <class Owner>
    static void slots(std::vector<PyType_Slot>& out) {
        if constexpr (std::is_void_v<Reflected>)
            out.push_back({SlotId, reinterpret_cast<void*>(&binary_slot<Forward::fn>)});
        else
            out.push_back({SlotId, reinterpret_cast<void*>(&binary_slot<Forward::fn, Reflected::fn>)});
    }
    template <class Owner>
    static constexpr void describe(Text& t) {
        Forward::template describe<Owner>(t);
        if constexpr (!std::is_void_v<Reflected>) Reflected::template describe<Owner>(t);
    }
};

// Rich comparison of the class with itself; see richcompare for the flags.
template <auto Cmp, unsigned Ops, bool ne_from_eq, bool other_borrow_panics>
struct Compare {
    static constexpr Category category = Category::TypeSlots;
    template <class Owner>
    static void slots(std::vector<PyType_Slot>& out) {
        out.push_back({Py_tp_richcompare,
                       reinterpret_cast<void*>(&richcompare<Owner, Cmp, Ops, ne_from_eq, other_borrow_panics>)});
    }
    template <class Owner>
    static constexpr void describe(Text& t) {
        constexpr const char* names[] = {"__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__"};
        Text p;
        p.add("other=");
        p.add(Bound<Owner>::name);
        for (int op = 0; op < 6; ++op) {
            if ((Ops & cmp_bit(op)) == 0 || (op == Py_NE && ne_from_eq)) continue;
            describe_line<Owner>(t, names[op], "self", &p, ann("bool"), "");
        }
    }
};

template <auto Fn, fixed_string Class, fixed_string... Params>
struct Ctor {
    static constexpr auto fn = Fn;
    using D = Desc<fixed_string("__new__"), typename FnTraits<decltype(Fn)>::Result, Params...>;
    static constexpr auto doc = signature_text<Class, false, Params...>();
    template <class Owner>
    static constexpr void describe(Text& t) {
        Text p;
        describe_params<typename FnTraits<decltype(Fn)>::Args, Params...>(p);
        describe_line<Owner>(t, "__new__", "cls", &p, ann(Bound<Owner>::name), "");
    }
};

struct ClassParts {
    const char* qualified_name;  // "builtins.Vec3d"
    const char* doc;             // text signature or nullptr
    int basicsize;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getset;
    std::vector<PyType_Slot> slots;
    vectorcallfunc vectorcall = nullptr;
};

// Creates the class object from its parts (kept alive for the process).
PyTypeObject* create_class(ClassParts* parts);

template <class T, class... Entries>
void add_entries(ClassParts& s) {
    auto add = [&]<class E>() {
        if constexpr (E::category == Category::MethodDef)
            s.methods.push_back(E::template def<T>());
        else if constexpr (E::category == Category::GetSet)
            s.getset.push_back(E::def());
        else
            E::template slots<T>(s.slots);
    };
    (add.template operator()<Entries>(), ...);
}

// The interface description of a class, as constant data in the object file. The build reads
// it back from there to write the exported interface records.
template <std::size_t N>
struct Blob {
    char data[N];
};

template <std::size_t N, std::size_t Cap>
constexpr Blob<N> to_blob(const ctext<Cap>& t) {
    Blob<N> b{};
    for (std::size_t i = 0; i < N; ++i) b.data[i] = t.data[i];
    return b;
}

#define OSTRILO_INTERFACE_SECTION gnu::section(".ostrilo_interface"), gnu::used

template <class T, class Ctor, auto Subscript, class... Entries>
struct ClassDescription {
    static constexpr Text make() {
        Text t;
        t.add("C\t");
        t.add(Bound<T>::name);
        t.add('\n');
        if constexpr (!std::is_void_v<Ctor>) Ctor::template describe<T>(t);
        if constexpr (!std::is_same_v<decltype(Subscript), std::nullptr_t>) {
            Text p;
            p.add("index=");
            p.add(ArgAnn<std::tuple_element_t<1, typename FnTraits<decltype(Subscript)>::Args>>::get());
            describe_line<T>(t, "__getitem__", "self", &p, RetAnn<ResultOf<decltype(Subscript)>>::get(), "");
        }
        (Entries::template describe<T>(t), ...);
        return t;
    }
    static constexpr Text text = make();
    static constexpr Blob<text.size> blob = to_blob<text.size>(text);
};

// Places a description in the object file (a named, non-template variable: the compiler ignores
// section attributes on template members).
#define OSTRILO_CONCAT2(a, b) a##b
#define OSTRILO_CONCAT(a, b) OSTRILO_CONCAT2(a, b)
#define OSTRILO_DESCRIBE(Table)                                                                     \
    [[OSTRILO_INTERFACE_SECTION]] constexpr auto OSTRILO_CONCAT(interface_description_, __LINE__) = \
        Table::Description::blob

// Builds the class of T: its value layout, constructor (or none), and its entries. The parts
// live for the process; a class with a subscript also receives the derived sequence item.
template <class T, class Ctor, auto Subscript, class... Entries>
PyTypeObject* build_class(const char* qualified_name) {
    auto* s = new ClassParts{};
    s->qualified_name = qualified_name;
    s->basicsize = static_cast<int>(sizeof(Obj<T>));
    s->slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)});
    s->slots.push_back({Py_tp_free, reinterpret_cast<void*>(&PyObject_Free)});
    if constexpr (!std::is_same_v<Ctor, void>) {
        s->doc = Ctor::doc.data;
        s->slots.push_back({Py_tp_new, reinterpret_cast<void*>(&tp_new<Ctor::fn, typename Ctor::D>)});
        s->vectorcall = &type_vectorcall<Ctor::fn, typename Ctor::D>;
    }
    if constexpr (!std::is_same_v<decltype(Subscript), std::nullptr_t>) {
        s->slots.push_back({Py_mp_subscript, reinterpret_cast<void*>(&subscript<Subscript>)});
        s->slots.push_back({Py_sq_item, reinterpret_cast<void*>(&sequence_item<Subscript>)});
    }
    add_entries<T, Entries...>(*s);
    return create_class(s);
}

template <class T, class Ctor, auto Subscript, class... Entries>
struct ClassTable {
    using Description = ClassDescription<T, Ctor, Subscript, Entries...>;
    static PyTypeObject* build(const char* qualified_name) {
        return build_class<T, Ctor, Subscript, Entries...>(qualified_name);
    }
};

// The functions of a module, in registration order, with their description.
template <fixed_string Module, class... Functions>
struct FunctionTable {
    static constexpr Text make() {
        Text t;
        t.add("M\t");
        t.add(Module.data);
        t.add('\n');
        (Functions::describe(t), ...);
        return t;
    }
    using Description = FunctionTable;
    static constexpr Text text = make();
    static constexpr Blob<text.size> blob = to_blob<text.size>(text);
    static PyMethodDef* defs() {
        static PyMethodDef table[] = {Functions::def()..., {nullptr, nullptr, 0, nullptr}};
        return table;
    }
};

// ---------------------------------------------------------------------------------------------
// Module helpers (module.cpp).

// Appends name to the module's __all__ (creating it when missing) and sets the attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value);
bool add_class(PyObject* module, ClassInfo& info);
// A built-in function bound to the module, added under its name.
bool add_function(PyObject* module, PyMethodDef* def);

}  // namespace ostrilo

#include "frame/classes.hpp"
