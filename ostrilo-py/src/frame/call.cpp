// The slow paths of a call: conversions that may call back into the interpreter, argument
// parsing against a function's parameters, and the messages of a call that does not match them.
#include "frame/call.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "frame/runtime.hpp"

namespace ostrilo {

bool convert_double_slow(PyObject* o, double& out) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_uword(PyObject* o, std::size_t& out) {
    PyObject* num;
    if (PyLong_Check(o)) {
        num = Py_NewRef(o);
    } else {
        num = PyNumber_Index(o);
        if (num == nullptr) return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(num);
    Py_DECREF(num);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (v > static_cast<unsigned long long>(SIZE_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::size_t>(v);
    return true;
}

// numpy's bool scalars are accepted through their truth slot; everything else that is not
// exactly a bool fails the instance check against `bool`.
static bool is_numpy_bool_type(PyTypeObject* tp) {
    PyObject* t = reinterpret_cast<PyObject*>(tp);
    PyObject* mod = PyObject_GetAttrString(t, "__module__");
    if (mod == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool in_numpy = PyUnicode_Check(mod) && PyUnicode_CompareWithASCIIString(mod, "numpy") == 0;
    Py_DECREF(mod);
    if (!in_numpy) return false;
    PyObject* name = PyType_GetName(tp);
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool named =
        PyUnicode_CompareWithASCIIString(name, "bool_") == 0 || PyUnicode_CompareWithASCIIString(name, "bool") == 0;
    Py_DECREF(name);
    return named;
}

bool convert_bool_slow(PyObject* o, bool& out) {
    PyTypeObject* tp = Py_TYPE(o);
    if (is_numpy_bool_type(tp)) {
        if (tp->tp_as_number == nullptr || tp->tp_as_number->nb_bool == nullptr) {
            PyObject* name = PyType_GetName(tp);
            if (name == nullptr) return false;
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name);
            Py_DECREF(name);
            return false;
        }
        const int r = tp->tp_as_number->nb_bool(o);
        if (r < 0) return false;
        out = r != 0;
        return true;
    }
    raise_not_instance(o, "bool");
    return false;
}

bool tuple_put(PyObject* tuple, Py_ssize_t at, PyObject* item) {
    if (item == nullptr) return false;
    PyTuple_SET_ITEM(tuple, at, item);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Argument parsing

static std::string full_name(const FnDesc& d) {
    std::string s;
    if (d.cls) {
        s += d.cls;
        s += '.';
    }
    s += d.name;
    s += "()";
    return s;
}

[[gnu::cold]] static void raise_too_many(const FnDesc& d, Py_ssize_t required, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (required == d.nparams)
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", full_name(d).c_str(),
                     d.nparams, given, verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                     full_name(d).c_str(), required, d.nparams, given, verb);
}

[[gnu::cold]] static void raise_unexpected(const FnDesc& d, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(d).c_str(), key);
}

[[gnu::cold]] static void raise_multiple(const FnDesc& d, Py_ssize_t index) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(d).c_str(), d.params[index]);
}

[[gnu::cold]] static void raise_missing(const FnDesc& d, Py_ssize_t required, PyObject* const* slots) {
    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < required; ++i)
        if (slots[i] == nullptr) missing.push_back(d.params[i]);
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2)
                list += " and ";
            else if (i + 1 == missing.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", full_name(d).c_str(), missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
}

static PyObject* interned_name(const FnDesc& d, Py_ssize_t i) {
    PyObject* s = d.interned[i].load(std::memory_order_acquire);
    if (s) return s;
    // Interned strings go with their runtime (see runtime.hpp). Without the name the keyword is
    // still found by comparing texts.
    if (!forget_slot_at_runtime_end(&d.interned[i])) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* made = PyUnicode_InternFromString(d.params[i]);
    if (made == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (!d.interned[i].compare_exchange_strong(expected, made)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

// Index of the parameter named by key, or -1.
static Py_ssize_t find_param(const FnDesc& d, PyObject* key) {
    for (Py_ssize_t i = 0; i < d.nparams; ++i)
        if (interned_name(d, i) == key) return i;
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = 0; i < d.nparams; ++i)
        if (PyUnicode_CompareWithASCIIString(key, d.params[i]) == 0) return i;
    return -1;
}

static bool place_keyword(const FnDesc& d, PyObject* key, PyObject* value, PyObject** slots) {
    const Py_ssize_t i = find_param(d, key);
    if (i < 0) {
        raise_unexpected(d, key);
        return false;
    }
    if (slots[i] != nullptr) {
        raise_multiple(d, i);
        return false;
    }
    slots[i] = value;
    return true;
}

static bool check_missing(const FnDesc& d, Py_ssize_t required, PyObject* const* slots) {
    for (Py_ssize_t i = 0; i < required; ++i)
        if (slots[i] == nullptr) {
            raise_missing(d, required, slots);
            return false;
        }
    return true;
}

bool parse_vector(const FnDesc& d, Py_ssize_t required, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** slots) {
    if (nargs > d.nparams) {
        raise_too_many(d, required, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < d.nparams; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k)
            if (!place_keyword(d, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
    return check_missing(d, required, slots);
}

bool parse_tuple(const FnDesc& d, Py_ssize_t required, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > d.nparams) {
        raise_too_many(d, required, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < d.nparams; ++i) slots[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        bool ok = true;
        // PyDict_Next hands out borrowed references: on a free-threaded interpreter another
        // thread must not change the dictionary during the walk.
#ifdef Py_GIL_DISABLED
        Py_BEGIN_CRITICAL_SECTION(kwargs);
#endif
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (ok && PyDict_Next(kwargs, &pos, &key, &value)) ok = place_keyword(d, key, value, slots);
#ifdef Py_GIL_DISABLED
        Py_END_CRITICAL_SECTION();
#endif
        if (!ok) return false;
    }
    return check_missing(d, required, slots);
}

}  // namespace ostrilo
