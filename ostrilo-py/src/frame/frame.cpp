// The out-of-line half of the call frame: argument parsing, conversions that may call back into
// the interpreter, error messages, the panic exception and class creation.
#include "frame/frame.hpp"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "drevan/panic.hpp"

namespace ostrilo {

// ---------------------------------------------------------------------------------------------
// Errors

void raise_already_mutably_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed"); }
void raise_already_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already borrowed"); }
void raise_index_out_of_bounds() { PyErr_SetString(PyExc_IndexError, "Index out of bounds"); }

int raise_no_deleter() {
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return -1;
}

static std::string type_qualname(PyTypeObject* tp) {
    PyObject* q = PyType_GetQualName(tp);
    if (q == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(q, &n);
    std::string out = s ? std::string(s, static_cast<std::size_t>(n)) : "<failed to extract type name>";
    if (s == nullptr) PyErr_Clear();
    Py_DECREF(q);
    return out;
}

void raise_not_instance(PyObject* obj, const char* target) {
    std::string msg;
    if (obj == Py_None)
        msg = std::string("'None' is not an instance of '") + target + "'";
    else
        msg = "'" + type_qualname(Py_TYPE(obj)) + "' object is not an instance of '" + target + "'";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

// A TypeError (exactly) raised while converting a named argument is replaced by one whose
// message names the argument; the new error takes over the old one's cause.
void add_argument_prefix(const char* name) {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *etype, *exc, *tb;
    PyErr_Fetch(&etype, &exc, &tb);
    PyErr_NormalizeException(&etype, &exc, &tb);
    if (exc && tb) PyException_SetTraceback(exc, tb);
    Py_XDECREF(etype);
    Py_XDECREF(tb);
#endif
    if (exc == nullptr) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc);
#else
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, nullptr);
#endif
        return;
    }
    PyObject* text = PyObject_Str(exc);
    if (text == nullptr) {
        Py_DECREF(exc);
        return;
    }
    PyObject* msg = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (msg == nullptr) {
        Py_DECREF(exc);
        return;
    }
    PyObject* err = PyObject_CallOneArg(PyExc_TypeError, msg);
    Py_DECREF(msg);
    if (err == nullptr) {
        Py_DECREF(exc);
        return;
    }
    PyObject* cause = PyException_GetCause(exc);  // new reference or NULL
    if (cause) PyException_SetCause(err, cause);  // steals
    Py_DECREF(exc);
    PyErr_SetObject(PyExc_TypeError, err);
    Py_DECREF(err);
}

// ---------------------------------------------------------------------------------------------
// Internal assertion failures

static std::atomic<PyObject*> g_panic_type{nullptr};

PyObject* panic_exception_type() {
    PyObject* t = g_panic_type.load(std::memory_order_acquire);
    if (t) return t;
    PyObject* made =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                  "Raised when native code called from Python fails an internal assertion.\n\n"
                                  "Like SystemExit, this exception derives from BaseException, so that it normally\n"
                                  "propagates all the way up and ends the interpreter.",
                                  PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, made)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

static void report_panic(const char* message, const char* file, int line) {
    std::fprintf(stderr, "ostrilo_py: thread %ld failed an internal assertion",
                 static_cast<long>(::syscall(SYS_gettid)));
    if (file) std::fprintf(stderr, " at %s:%d", file, line);
    std::fprintf(stderr, ":\n%s\n", message);
    std::fflush(stderr);
}

static void set_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise_panic(const char* message) {
    report_panic(message, nullptr, 0);
    set_panic(message);
}

void raise_comparison_borrow_panic() { raise_panic("Already mutably borrowed: PyBorrowError"); }

// Not PyObject_RichCompareBool: its identity shortcut would make `x != x` false for a value
// holding NaN.
// `!=` as the negation of the full `==` (not PyObject_RichCompareBool, whose identity shortcut
// would make `x != x` False for a value that is not equal to itself).
PyObject* negated_equality(PyObject* self, PyObject* other) {
    PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
    if (eq == nullptr) return nullptr;
    const int truth = PyObject_IsTrue(eq);
    Py_DECREF(eq);
    if (truth < 0) return nullptr;
    return Py_NewRef(truth ? Py_False : Py_True);
}

static constexpr const char* GENERIC_PANIC = "internal failure without a message";

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const PyErrAlreadySet&) {
        if (!PyErr_Occurred()) raise_panic(GENERIC_PANIC);
    } catch (const drevan::Panic& p) {
        report_panic(p.what(), p.file, p.line);
        set_panic(p.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        const char* what = e.what();
        raise_panic(what && *what ? what : GENERIC_PANIC);
    } catch (...) {
        raise_panic(GENERIC_PANIC);
    }
}

// ---------------------------------------------------------------------------------------------
// Conversions

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

[[gnu::cold]] static void raise_too_many(const FnDesc& d, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", full_name(d).c_str(), d.nparams,
                 given, given == 1 ? "was" : "were");
}

[[gnu::cold]] static void raise_unexpected(const FnDesc& d, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(d).c_str(), key);
}

[[gnu::cold]] static void raise_multiple(const FnDesc& d, Py_ssize_t index) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(d).c_str(), d.params[index]);
}

[[gnu::cold]] static void raise_missing(const FnDesc& d, PyObject* const* slots) {
    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < d.nparams; ++i)
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

static bool check_missing(const FnDesc& d, PyObject* const* slots) {
    for (Py_ssize_t i = 0; i < d.nparams; ++i)
        if (slots[i] == nullptr) {
            raise_missing(d, slots);
            return false;
        }
    return true;
}

bool parse_vector(const FnDesc& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (nargs > d.nparams) {
        raise_too_many(d, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < d.nparams; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k)
            if (!place_keyword(d, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
    return check_missing(d, slots);
}

bool parse_tuple(const FnDesc& d, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > d.nparams) {
        raise_too_many(d, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < d.nparams; ++i) slots[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(d, key, value, slots)) return false;
    }
    return check_missing(d, slots);
}

// ---------------------------------------------------------------------------------------------
// Class objects

PyTypeObject* ClassInfo::create_slow() noexcept {
    PyTypeObject* made = create();
    if (made == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

PyTypeObject* create_class(ClassParts* s) {
    bool has_new = false;
    for (const PyType_Slot& slot : s->slots)
        if (slot.slot == Py_tp_new) has_new = true;
    s->methods.push_back({nullptr, nullptr, 0, nullptr});
    s->getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    s->slots.push_back({Py_tp_methods, s->methods.data()});
    s->slots.push_back({Py_tp_getset, s->getset.data()});
    if (s->doc) s->slots.push_back({Py_tp_doc, const_cast<char*>(s->doc)});
    s->slots.push_back({0, nullptr});
    auto* spec = new PyType_Spec{
        s->qualified_name, s->basicsize, 0,
        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | (has_new ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION)),
        s->slots.data()};
    PyObject* t = PyType_FromSpec(spec);
    if (t == nullptr) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(t);
    if (s->vectorcall) tp->tp_vectorcall = s->vectorcall;
    return tp;
}

}  // namespace ostrilo
