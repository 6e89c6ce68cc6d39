#pragma once
// Conversions between Python objects and C++ values. Each C++ type has one Caster, which holds
// everything the frame knows about it (any member may be missing where the type is only ever an
// argument or only a result):
//   Holder, from(PyObject*, Holder&), get(Holder&)  the argument: check, convert, hand over;
//   to_py(value)                                    the result: a new reference or nullptr;
//   annotation()                                    its annotation in the interface records.
#include <array>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame/borrow.hpp"

namespace ostrilo {

// One annotation node of the interface records, as compact JSON (room for a method of three
// parameters that each take rows of numbers).
using Json = ctext<1024>;

constexpr Json json_of(const char* s) {
    Json j;
    j.add(s);
    return j;
}
// builtins.<name>
constexpr Json builtin_annotation(const char* name) {
    Json j = json_of(R"({"type":"attribute","value":{"type":"name","id":"builtins"},"attr":")");
    j.add(name);
    j.add("\"}");
    return j;
}
constexpr std::uint64_t class_id(const char* name) { return fnv1a64("class:", name); }
// A class of the module, by identifier.
constexpr Json class_annotation(const char* name) {
    Json j = json_of(R"({"type":"id","id":")");
    j.add_decimal(class_id(name));
    j.add("\"}");
    return j;
}
constexpr Json none_annotation() { return json_of(R"({"type":"name","id":"None"})"); }
// value[slice]; several items make a tuple slice.
template <class... Items>
constexpr Json subscript_annotation(const Json& value, const Items&... items) {
    Json j = json_of(R"({"type":"subscript","value":)");
    j.add(value);
    j.add(R"(,"slice":)");
    if constexpr (sizeof...(Items) == 1) {
        (j.add(items), ...);
    } else {
        j.add(R"({"type":"tuple","elts":[)");
        bool first = true;
        ((j.add(first ? "" : ","), j.add(items), first = false), ...);
        j.add("]}");
    }
    j.add('}');
    return j;
}
// item | None
constexpr Json optional_annotation(const Json& item) {
    Json j = json_of(R"({"type":"binop","left":)");
    j.add(item);
    j.add(R"(,"op":"bitor","right":{"type":"constant","kind":"none"}})");
    return j;
}

template <class T, class = void>
struct Caster;

// The caster of a parameter or result type: references and const are looked through, so a
// `const Vec3d&` parameter borrows a Vec3d instance.
template <class T>
using CasterOf = Caster<std::remove_cvref_t<T>>;

template <class R>
inline PyObject* to_py(R&& r) {
    return CasterOf<R>::to_py(std::forward<R>(r));
}

bool convert_double_slow(PyObject* o, double& out);
bool convert_uword(PyObject* o, std::size_t& out);
bool convert_bool_slow(PyObject* o, bool& out);

template <>
struct Caster<void> {
    static constexpr Json annotation() { return none_annotation(); }
};

template <>
struct Caster<double> {
    using Holder = double;
    static bool from(PyObject* o, Holder& h) {
        if (PyFloat_CheckExact(o)) [[likely]] {
            h = PyFloat_AS_DOUBLE(o);
            return true;
        }
        return convert_double_slow(o, h);
    }
    static double get(Holder& h) { return h; }
    static PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
    static constexpr Json annotation() { return builtin_annotation("float"); }
};

template <>
struct Caster<std::size_t> {
    using Holder = std::size_t;
    static bool from(PyObject* o, Holder& h) { return convert_uword(o, h); }
    static std::size_t get(Holder& h) { return h; }
    static PyObject* to_py(std::size_t v) { return PyLong_FromSize_t(v); }
    static constexpr Json annotation() { return builtin_annotation("int"); }
};

template <>
struct Caster<bool> {
    using Holder = bool;
    static bool from(PyObject* o, Holder& h) {
        if (o == Py_True || o == Py_False) {
            h = o == Py_True;
            return true;
        }
        return convert_bool_slow(o, h);
    }
    static bool get(Holder& h) { return h; }
    static PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
    static constexpr Json annotation() { return builtin_annotation("bool"); }
};

template <>
struct Caster<std::string> {
    static PyObject* to_py(const std::string& s) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
    static constexpr Json annotation() { return builtin_annotation("str"); }
};

// The raw object, for conversions a class does itself (a result is a new reference already).
template <>
struct Caster<PyObject*> {
    using Holder = PyObject*;
    static bool from(PyObject* o, Holder& h) {
        h = o;
        return true;
    }
    static PyObject* get(Holder& h) { return h; }
    static PyObject* to_py(PyObject* o) { return o; }
};

// An instance of one of our classes: as an argument borrowed for reading for the duration of
// the call, as a result a new instance holding the value.
template <class T>
struct Caster<T, std::enable_if_t<Bound<T>::value>> {
    using Holder = Shared<T>;
    static bool from(PyObject* o, Holder& h) { return h.acquire(o); }
    static const T& get(Holder& h) { return h.get(); }
    static PyObject* to_py(T&& v) { return new_instance<T>(std::move(v)); }
    static PyObject* to_py(const T& v) { return new_instance<T>(v); }
    static constexpr Json annotation() { return class_annotation(Bound<T>::name.data); }
};

// A trailing parameter that may be left out: Opt<double, "1e-09">, Opt<bool, "False">,
// Opt<std::size_t, "1">. The default is written once, as the Python literal that the text
// signature and the records show; the value the call gets is that literal read at compile time
// (a decimal that the fast exact path converts, so it is the correctly rounded double).
// Two more forms: "math.inf" for a double (inspect.signature reads it while `math` is imported,
// and the stub imports it), and "None" for an argument taken as it is (the function gets a null
// object, as for None passed).
template <class T, fixed_string Text>
struct Opt {
    T value;
    operator T() const { return value; }
};

namespace detail {
constexpr bool digit(char c) { return c >= '0' && c <= '9'; }
// Not constexpr: a default literal that cannot be read stops the build with this name.
template <class T>
T default_literal_is_not_True_False_digits_or_a_short_decimal();
// The literal's value. Decimals with at most 15 significant digits and a power of ten within
// 10**22 only: one division or multiplication of two exact doubles, hence correctly rounded.
template <class T, fixed_string Text>
consteval T literal_value() {
    constexpr auto bad = default_literal_is_not_True_False_digits_or_a_short_decimal<T>;
    const char* s = Text.data;
    if constexpr (std::is_same_v<T, bool>) {
        if (same_text(s, "True")) return true;
        if (same_text(s, "False")) return false;
        return bad();
    } else if constexpr (!std::is_arithmetic_v<T>) {
        if (same_text(s, "None")) return T{nullptr};
        return bad();
    } else {
        if constexpr (std::is_floating_point_v<T>) {
            if (same_text(s, "math.inf")) return __builtin_inf();
        }
        bool negative = false;
        if (*s == '-') {
            if (std::is_unsigned_v<T>) return bad();
            negative = true;
            ++s;
        }
        std::uint64_t digits = 0;
        int count = 0, exponent = 0;
        bool any = false;
        auto take = [&](char c) {
            if (digits != 0 || c != '0') {
                digits = digits * 10 + static_cast<unsigned>(c - '0');
                ++count;
            }
            any = true;
        };
        for (; digit(*s); ++s) take(*s);
        if constexpr (std::is_integral_v<T>) {
            if (!any || *s != '\0' || count > 18) return bad();
            return negative ? static_cast<T>(-static_cast<std::int64_t>(digits)) : static_cast<T>(digits);
        } else {
            if (*s == '.')
                for (++s; digit(*s); ++s) {
                    take(*s);
                    --exponent;
                }
            if (*s == 'e' || *s == 'E') {
                ++s;
                const bool negative_exponent = *s == '-';
                if (*s == '-' || *s == '+') ++s;
                if (!digit(*s)) return bad();
                int e = 0;
                for (; digit(*s) && e < 1000; ++s) e = e * 10 + (*s - '0');
                exponent += negative_exponent ? -e : e;
            }
            if (!any || *s != '\0' || count > 15 || exponent < -22 || exponent > 22) return bad();
            double power = 1.0;
            for (int i = 0; i < (exponent < 0 ? -exponent : exponent); ++i) power *= 10.0;
            const double v = exponent < 0 ? static_cast<double>(digits) / power : static_cast<double>(digits) * power;
            return negative ? -v : v;
        }
    }
}
}  // namespace detail

template <class T, fixed_string Text>
struct Caster<Opt<T, Text>> {
    static constexpr const char* default_text = Text.data;
    static constexpr T default_value = detail::literal_value<T, Text>();
    struct Holder {
        typename CasterOf<T>::Holder inner{};
        bool present = false;
    };
    static bool from(PyObject* o, Holder& h) {
        if (o == nullptr) return true;  // left out
        h.present = true;
        return CasterOf<T>::from(o, h.inner);
    }
    static Opt<T, Text> get(Holder& h) {
        return Opt<T, Text>{h.present ? T(CasterOf<T>::get(h.inner)) : default_value};
    }
    static constexpr Json annotation() { return CasterOf<T>::annotation(); }
};

template <class T>
concept HasDefault = requires { CasterOf<T>::default_text; };

// A tuple or pair of any length, items converted in order.
bool tuple_put(PyObject* tuple, Py_ssize_t at, PyObject* item);  // false when item is nullptr
template <class Tuple>
PyObject* tuple_to_py(Tuple&& items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(std::tuple_size_v<std::remove_cvref_t<Tuple>>));
    if (t == nullptr) return nullptr;
    bool ok = true;
    Py_ssize_t at = 0;
    std::apply([&](auto&&... item) { ((ok = ok && tuple_put(t, at++, to_py(std::move(item)))), ...); },
               std::forward<Tuple>(items));
    if (!ok) {
        Py_DECREF(t);
        return nullptr;
    }
    return t;
}
template <class... E>
struct Caster<std::tuple<E...>> {
    static PyObject* to_py(std::tuple<E...>&& t) { return tuple_to_py(std::move(t)); }
    static constexpr Json annotation() {
        return subscript_annotation(builtin_annotation("tuple"), CasterOf<E>::annotation()...);
    }
};
template <class A, class B>
struct Caster<std::pair<A, B>> {
    static PyObject* to_py(std::pair<A, B>&& p) { return tuple_to_py(std::move(p)); }
    static constexpr Json annotation() { return Caster<std::tuple<A, B>>::annotation(); }
};

// Any sized range of convertible items becomes a new list of exactly that length.
template <class Range>
PyObject* list_to_py(const Range& items) {
    using E = std::remove_cvref_t<decltype(*std::begin(items))>;
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(std::size(items)));
    if (l == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& e : items) {
        PyObject* item = Caster<E>::to_py(E(e));
        if (item == nullptr) {
            Py_DECREF(l);
            return nullptr;
        }
        PyList_SET_ITEM(l, i++, item);
    }
    return l;
}
template <class E>
constexpr Json list_annotation() {
    return subscript_annotation(builtin_annotation("list"), Caster<E>::annotation());
}
template <class E, std::size_t N>
struct Caster<std::array<E, N>> {
    static PyObject* to_py(const std::array<E, N>& a) { return list_to_py(a); }
    static constexpr Json annotation() { return list_annotation<E>(); }
};
template <class E, class A>
struct Caster<std::vector<E, A>> {
    static PyObject* to_py(const std::vector<E, A>& a) { return list_to_py(a); }
    static constexpr Json annotation() { return list_annotation<E>(); }
};

}  // namespace ostrilo
