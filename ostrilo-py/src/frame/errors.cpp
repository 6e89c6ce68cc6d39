// The cold half of the frame: error messages, the panic exception and the mapping of C++
// exceptions to Python ones.
#include "frame/errors.hpp"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "drevan/panic.hpp"
#include "frame/once.hpp"
#include "frame/runtime.hpp"

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
static CreationLock g_panic_type_lock;

PyObject* panic_exception_type() {
    if (g_panic_type.load(std::memory_order_acquire) == nullptr && !forget_slot_at_runtime_end(&g_panic_type))
        return nullptr;
    return create_once(
        g_panic_type, g_panic_type_lock,
        [] {
            return PyErr_NewExceptionWithDoc(
                "pyo3_runtime.PanicException",
                "Raised when native code called from Python fails an internal assertion.\n\n"
                "Like SystemExit, this exception derives from BaseException, so that it normally\n"
                "propagates all the way up and ends the interpreter.",
                PyExc_BaseException, nullptr);
        },
        [](PyObject* lost) { Py_DECREF(lost); });
}

void adopt_panic_exception_type(PyObject* type) {
    if (g_panic_type.load(std::memory_order_acquire) == nullptr && !forget_slot_at_runtime_end(&g_panic_type)) {
        PyErr_Clear();  // this library then makes its own class when it first needs one
        return;
    }
    PyObject* expected = nullptr;
    if (g_panic_type.compare_exchange_strong(expected, type)) Py_INCREF(type);
}

// The calling thread's id as the system's own tools (ps, top, a debugger) show it.
static unsigned long long system_thread_id() {
#if defined(_WIN32)
    return GetCurrentThreadId();
#elif defined(__APPLE__)
    std::uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return id;
#elif defined(__linux__)
    return static_cast<unsigned long long>(::syscall(SYS_gettid));
#else
    return 0;
#endif
}

static void report_panic(const char* message, const char* file, int line) {
    std::fprintf(stderr, "ostrilo_py: thread %llu failed an internal assertion", system_thread_id());
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

}  // namespace ostrilo
