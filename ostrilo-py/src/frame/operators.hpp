#pragma once
// Operators: the binary number slots, rich comparison, and the adapters that give the core's
// C++ operators the shape of a function with the receiver first.
#include "frame/call.hpp"

namespace ostrilo {

// The core's operators as functions.
template <class T>
T negate(const T& a) {
    return -a;
}
template <class T, class U>
T plus(const T& a, const U& b) {
    return a + b;
}
template <class T, class U>
T minus(const T& a, const U& b) {
    return a - b;
}
template <class T, class U>
T times(const T& a, U b) {
    return a * b;
}
// The reflected product `s * a`: the receiver a is the right operand.
template <class T, class U>
T times_reflected(const T& a, U s) {
    return s * a;
}
template <class T, class U>
T divided(const T& a, U b) {
    return a / b;
}
// A constructor that stores its arguments as the fields of the value record, in order.
template <class T, class... A>
T from_fields(A... fields) {
    return T{fields...};
}

// Binary number slot: the forward form with the left operand as receiver, then (where the class
// has one) the reflected form with the right operand as receiver; otherwise NotImplemented.
// Errors of the receiver check, the borrow and the operand conversion are discarded.
// One form: false when it does not apply; otherwise true, with its result (or nullptr) in r.
template <auto Fn>
inline bool try_binary(PyObject* recv_obj, PyObject* operand, PyObject*& r) {
    using C = CasterOf<ArgOf<Fn, 1>>;
    if (!is_instance<typename ReceiverOf<Fn>::Type>(recv_obj)) return false;
    typename ReceiverOf<Fn>::Guard recv;
    if (!recv.acquire_unchecked(recv_obj)) [[unlikely]] {
        PyErr_Clear();
        return false;
    }
    typename C::Holder h;
    if (!C::from(operand, h)) [[unlikely]] {
        PyErr_Clear();
        return false;
    }
    r = finish_call([&]() -> decltype(auto) { return call_core<Fn>(recv.get(), C::get(h)); });
    return true;
}

struct NoReflected {};

template <auto Fwd, auto Refl = NoReflected{}>
PyObject* binary_slot(PyObject* a, PyObject* b) {
    PyObject* r;
    if (try_binary<Fwd>(a, b, r)) return r;
    if constexpr (!std::is_same_v<std::remove_cvref_t<decltype(Refl)>, NoReflected>) {
        if (try_binary<Refl>(b, a, r)) return r;
    }
    Py_RETURN_NOTIMPLEMENTED;
}

// ---------------------------------------------------------------------------------------------
// Rich comparison of a class with itself.

// Which operators a class compares with; the others give NotImplemented.
enum class Compares : unsigned { Equality = (1u << Py_EQ) | (1u << Py_NE), Order = 0x3fu };
// How `!=` is answered: by the comparison itself, or by asking the interpreter for `==` and
// negating its truth value (no borrow of its own).
enum class NotEqual { Direct, NegatedEquality };
// An exclusively borrowed `other` operand gives NotImplemented, or is an internal failure.
enum class BorrowedOther { NotImplemented, Panic };

// `!=` as the negated truth of the interpreter's full `self == other` (no identity shortcut, so
// a value that is unequal to itself is `!=` itself); nullptr if either step raises.
PyObject* negated_equality(PyObject* self, PyObject* other);

// Cmp(a, b, op) gives 1 (true), 0 (false) or -1 (NotImplemented).
template <class T, auto Cmp, Compares Ops, NotEqual Ne, BorrowedOther Other>
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if ((static_cast<unsigned>(Ops) & (1u << op)) == 0) Py_RETURN_NOTIMPLEMENTED;
    if constexpr (Ne == NotEqual::NegatedEquality) {
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
        if constexpr (Other == BorrowedOther::Panic) {
            raise_comparison_borrow_panic();
            return nullptr;
        }
        Py_RETURN_NOTIMPLEMENTED;
    }
    const int r = Cmp(a.get(), b.get(), op);
    if (r < 0) Py_RETURN_NOTIMPLEMENTED;
    return Py_NewRef(r ? Py_True : Py_False);
}

// `==` from an equality test, `!=` as its negation.
template <auto Eq>
int by_equality(const std::remove_cvref_t<ArgOf<Eq, 0>>& a, const std::remove_cvref_t<ArgOf<Eq, 0>>& b, int op) {
    const bool eq = call_core<Eq>(a, b);
    return op == Py_EQ ? eq : !eq;
}

// The C++ operators <, <=, ==, >, >= of T (`!=` is answered elsewhere).
template <class T>
int by_operators(const T& a, const T& b, int op) {
    switch (op) {
        case Py_LT:
            return a < b;
        case Py_LE:
            return a <= b;
        case Py_EQ:
            return a == b;
        case Py_GT:
            return a > b;
        case Py_GE:
            return a >= b;
        default:
            return -1;
    }
}

}  // namespace ostrilo
