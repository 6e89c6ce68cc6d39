#pragma once
// Entries from the interpreter: every call parses its arguments, borrows its receiver, converts
// its arguments, runs the core function, converts the result, releases the borrows and maps
// failures, in that order. Core functions are bound as they are: free functions, static and
// non-static member functions (whose object is the receiver: a const member takes the shared
// borrow, a non-const one the exclusive borrow).
#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/convert.hpp"

namespace ostrilo {

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
};
template <class R, class... A>
struct FnTraits<R (*)(A...) noexcept> : FnTraits<R (*)(A...)> {};
template <class R, class C, class... A>
struct FnTraits<R (C::*)(A...) const> {
    using Result = R;
    using Args = std::tuple<const C&, A...>;
};
template <class R, class C, class... A>
struct FnTraits<R (C::*)(A...) const noexcept> : FnTraits<R (C::*)(A...) const> {};
template <class R, class C, class... A>
struct FnTraits<R (C::*)(A...)> {
    using Result = R;
    using Args = std::tuple<C&, A...>;
};

template <auto Fn>
using ResultOf = typename FnTraits<decltype(Fn)>::Result;
template <auto Fn>
using ArgsOf = typename FnTraits<decltype(Fn)>::Args;
template <auto Fn, std::size_t I>
using ArgOf = std::tuple_element_t<I, ArgsOf<Fn>>;

// The Python parameters: the arguments after the receiver, if there is one.
template <class Args, bool WithReceiver>
struct ParamTypes {
    using type = Args;
};
template <class H, class... T>
struct ParamTypes<std::tuple<H, T...>, true> {
    using type = std::tuple<T...>;
};
template <auto Fn, bool WithReceiver>
using ParamsOf = typename ParamTypes<ArgsOf<Fn>, WithReceiver>::type;

// The receiver: `const T&` takes a shared borrow, `T&` the exclusive one.
template <class P>
struct Receiver;
template <class T>
struct Receiver<const T&> {
    using Type = T;
    using Guard = Shared<T>;
};
template <class T>
struct Receiver<T&> {
    using Type = T;
    using Guard = Exclusive<T>;
};
template <auto Fn>
using ReceiverOf = Receiver<ArgOf<Fn, 0>>;

// Calls the core function Fn; a member function's object is the first argument.
template <auto Fn, class First, class... A>
inline decltype(auto) call_core(First&& first, A&&... a) {
    if constexpr (std::is_member_function_pointer_v<decltype(Fn)>)
        return (std::forward<First>(first).*Fn)(std::forward<A>(a)...);
    else
        return Fn(std::forward<First>(first), std::forward<A>(a)...);
}

// ---------------------------------------------------------------------------------------------
// Argument parsing.

struct FnDesc {
    const char* name;  // "dot", "__new__"
    const char* cls;   // "Vec3d", or nullptr for module functions
    const char* const* params;
    Py_ssize_t nparams;
    std::atomic<PyObject*>* interned;  // lazily interned parameter names
};

// Fills slots[0..nparams) from a vector call; false with the error set. The first `required`
// parameters must be given; a trailing optional one left out keeps a null slot.
bool parse_vector(const FnDesc& d, Py_ssize_t required, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** slots);
// Same for a positional tuple and a keyword dictionary (constructors).
bool parse_tuple(const FnDesc& d, Py_ssize_t required, PyObject* args, PyObject* kwargs, PyObject** slots);

// How many leading parameters are required: those before the first one with a default (Opt).
template <class Params>
struct RequiredCount;
template <class... A>
struct RequiredCount<std::tuple<A...>> {
    // A std::array, not a C array: its bound is known inside the member initialisers below, where
    // clang still counts a static C array of the incomplete class as of unknown bound.
    static constexpr std::array<bool, sizeof...(A) + 1> optional{HasDefault<A>..., false};
    static constexpr std::size_t value = [] {
        std::size_t n = 0;
        while (n < sizeof...(A) && !optional[n]) ++n;
        return n;
    }();
    static_assert(
        [] {
            for (std::size_t i = value; i < sizeof...(A); ++i)
                if (!optional[i]) return false;
            return true;
        }(),
        "a parameter without a default follows one with a default");
};

// The parameters of a function. Owner is the class whose name prefixes messages ("Vec3d.dot()"),
// or void for module functions.
template <fixed_string Name, class Owner, fixed_string... Params>
struct Desc {
    static constexpr const char* param_names[sizeof...(Params) + 1] = {Params.data..., nullptr};
    static inline std::atomic<PyObject*> interned[sizeof...(Params) + 1] = {};
    static constexpr std::size_t count = sizeof...(Params);
    static const FnDesc& get() {
        static const FnDesc d{Name.data, owner_name(), param_names, static_cast<Py_ssize_t>(count), interned};
        return d;
    }
    static constexpr const char* owner_name() {
        if constexpr (std::is_void_v<Owner>)
            return nullptr;
        else
            return Bound<Owner>::name.data;
    }
};

// The start of every call with parameters: the arguments in parameter order in slots (null for
// an optional one left out).
template <class D, class Params>
inline bool start_call(PyObject* const* args, std::size_t nargsf, PyObject* kwnames, PyObject** slots) {
    static_assert(D::count == std::tuple_size_v<Params>, "parameter names must match the function's parameters");
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(D::count)) [[likely]] {
        for (std::size_t i = 0; i < D::count; ++i) slots[i] = args[i];
        return true;
    }
    return parse_vector(D::get(), static_cast<Py_ssize_t>(RequiredCount<Params>::value), args, nargs, kwnames, slots);
}

// Converted arguments in parameter order (the first failure stops, with the argument's name).
template <class Args, class Seq = std::make_index_sequence<std::tuple_size_v<Args>>>
struct ArgPack;
template <class... A, std::size_t... I>
struct ArgPack<std::tuple<A...>, std::index_sequence<I...>> {
    std::tuple<typename CasterOf<A>::Holder...> holders;
    bool convert(PyObject* const* slots, const char* const* names) {
        return (convert_one<I>(slots[I], names[I]) && ...);
    }
    template <std::size_t K>
    bool convert_one(PyObject* o, const char* name) {
        if (CasterOf<std::tuple_element_t<K, std::tuple<A...>>>::from(o, std::get<K>(holders))) [[likely]]
            return true;
        add_argument_prefix(name);
        return false;
    }
    template <auto Fn, class... Pre>
    decltype(auto) call(Pre&&... pre) {
        if constexpr (sizeof...(Pre) + sizeof...(A) == 0)
            return Fn();
        else
            return call_core<Fn>(std::forward<Pre>(pre)..., CasterOf<A>::get(std::get<I>(holders))...);
    }
};

// The end of every call: runs f and converts its result; core failures become Python exceptions.
template <class F>
[[gnu::always_inline]] inline PyObject* finish_call(F&& f) noexcept {
    return catching(
        [&]() -> PyObject* {
            if constexpr (std::is_void_v<decltype(f())>) {
                f();
                Py_RETURN_NONE;
            } else {
                return to_py(f());
            }
        },
        static_cast<PyObject*>(nullptr));
}

// ---------------------------------------------------------------------------------------------
// Entry trampolines: methods (WithReceiver), static methods and module functions.

template <auto Fn, class D, bool WithReceiver>
PyObject* call_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    using Params = ParamsOf<Fn, WithReceiver>;
    PyObject* slots[D::count + 1];
    if (!start_call<D, Params>(args, static_cast<std::size_t>(nargsf), kwnames, slots)) return nullptr;
    if constexpr (WithReceiver) {
        typename ReceiverOf<Fn>::Guard recv;
        if (!recv.acquire_receiver(self)) return nullptr;
        ArgPack<Params> pack;
        if (!pack.convert(slots, D::param_names)) return nullptr;
        return finish_call([&]() -> decltype(auto) { return pack.template call<Fn>(recv.get()); });
    } else {
        ArgPack<Params> pack;
        if (!pack.convert(slots, D::param_names)) return nullptr;
        return finish_call([&]() -> decltype(auto) { return pack.template call<Fn>(); });
    }
}

template <auto Fn, bool WithReceiver>
PyObject* call_noargs(PyObject* self, PyObject*) {
    if constexpr (WithReceiver) {
        typename ReceiverOf<Fn>::Guard recv;
        if (!recv.acquire_receiver(self)) return nullptr;
        return finish_call([&]() -> decltype(auto) { return call_core<Fn>(recv.get()); });
    } else {
        return finish_call([&]() -> decltype(auto) { return Fn(); });
    }
}

// Constructor: converts the parameters and stores the core value Fn returns in a new instance
// of `type`, called through tp_new (argument tuple) or the class's vector call.
template <auto Fn, class D>
[[gnu::always_inline]] inline PyObject* construct(PyTypeObject* type, PyObject* const* slots) {
    ArgPack<ArgsOf<Fn>> pack;
    if (!pack.convert(slots, D::param_names)) return nullptr;
    return catching([&] { return new_instance<ResultOf<Fn>>(type, pack.template call<Fn>()); },
                    static_cast<PyObject*>(nullptr));
}
template <auto Fn, class D>
PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[D::count + 1];
    if (!parse_tuple(D::get(), static_cast<Py_ssize_t>(RequiredCount<ArgsOf<Fn>>::value), args, kwargs, slots))
        return nullptr;
    return construct<Fn, D>(type, slots);
}
template <auto Fn, class D>
PyObject* type_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* slots[D::count + 1];
    if (!start_call<D, ArgsOf<Fn>>(args, nargsf, kwnames, slots)) return nullptr;
    return construct<Fn, D>(reinterpret_cast<PyTypeObject*>(type), slots);
}

// Property setter: converts the value first, then takes the exclusive borrow.
template <auto Fn>
int setter(PyObject* self, PyObject* value, void*) {
    using C = CasterOf<ArgOf<Fn, 1>>;
    if (value == nullptr) return raise_no_deleter();
    typename C::Holder h;
    if (!C::from(value, h)) {
        add_argument_prefix("value");
        return -1;
    }
    typename ReceiverOf<Fn>::Guard recv;
    if (!recv.acquire_receiver(self)) return -1;
    return catching(
        [&] {
            call_core<Fn>(recv.get(), C::get(h));
            return 0;
        },
        -1);
}

template <auto Fn>
PyObject* getter(PyObject* self, void*) {
    return call_noargs<Fn, true>(self, nullptr);
}
// Unary slots: repr, negation, iteration.
template <auto Fn>
PyObject* unary(PyObject* self) {
    return call_noargs<Fn, true>(self, nullptr);
}

// Hash slot: the 64-bit digest truncated to the interpreter's width; -1 becomes -2.
template <auto Fn>
Py_hash_t hash_slot(PyObject* self) {
    typename ReceiverOf<Fn>::Guard recv;
    if (!recv.acquire_receiver(self)) return -1;
    const auto h = static_cast<Py_hash_t>(call_core<Fn>(recv.get()));
    return h == -1 ? -2 : h;
}

template <auto Fn>
Py_ssize_t len_slot(PyObject* self) {
    typename ReceiverOf<Fn>::Guard recv;
    if (!recv.acquire_receiver(self)) return -1;
    return static_cast<Py_ssize_t>(call_core<Fn>(recv.get()));
}

// Subscript: receiver first, then the key converted as the parameter `index`.
template <auto Fn>
PyObject* subscript(PyObject* self, PyObject* key) {
    using C = CasterOf<ArgOf<Fn, 1>>;
    typename ReceiverOf<Fn>::Guard recv;
    if (!recv.acquire_receiver(self)) return nullptr;
    typename C::Holder h;
    if (!C::from(key, h)) {
        add_argument_prefix("index");
        return nullptr;
    }
    return finish_call([&]() -> decltype(auto) { return call_core<Fn>(recv.get(), C::get(h)); });
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

}  // namespace ostrilo
