#pragma once
// Errors of the call frame. Everything here runs only when a call fails: out of line and cold
// (errors.cpp). Each raise_* sets a Python exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ostrilo {

[[gnu::cold]] void raise_already_mutably_borrowed();
[[gnu::cold]] void raise_already_borrowed();
[[gnu::cold]] void raise_not_instance(PyObject* obj, const char* target);
[[gnu::cold]] void raise_index_out_of_bounds();
[[gnu::cold]] int raise_no_deleter();  // returns -1
// An internal assertion failure: reported on stderr and raised as pyo3_runtime.PanicException.
[[gnu::cold]] void raise_panic(const char* message);
[[gnu::cold]] void raise_comparison_borrow_panic();
// A TypeError raised while converting the argument `name` gets the prefix "argument 'name': ".
[[gnu::cold]] void add_argument_prefix(const char* name);
// The Python exception for the exception being handled (call only inside a catch block).
[[gnu::cold]] void set_error_from_current_exception();
PyObject* panic_exception_type();
// Makes `type` this library's PanicException if it has none yet (a module built beside another
// raises the same class as it).
void adopt_panic_exception_type(PyObject* type);

// Thrown by core-facing code when a Python exception is already set.
struct PyErrAlreadySet {};
[[noreturn, gnu::cold]] inline void throw_pyerr() { throw PyErrAlreadySet{}; }

// Runs f; a C++ exception becomes the matching Python exception and the result `failed`.
template <class R, class F>
[[gnu::always_inline]] inline R catching(F&& f, R failed) noexcept {
    try {
        return f();
    } catch (...) {
        set_error_from_current_exception();
        return failed;
    }
}

}  // namespace ostrilo
