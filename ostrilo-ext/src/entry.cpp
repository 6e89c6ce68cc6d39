// Argument parsing with optional trailing parameters (entry.hpp). The messages are the frame's.
#include "entry.hpp"

#include <string>
#include <vector>

namespace ostrilo::ext {

namespace {

std::string full_name(const FnDesc& d) { return std::string(d.name) + "()"; }

Py_ssize_t find_param(const FnDesc& d, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = 0; i < d.nparams; ++i)
        if (PyUnicode_CompareWithASCIIString(key, d.params[i]) == 0) return i;
    return -1;
}

}  // namespace

bool parse_with_defaults(const FnDesc& d, std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** slots) {
    if (nargs > d.nparams) {
        PyErr_Format(PyExc_TypeError, "%s takes at most %zd positional arguments but %zd %s given",
                     full_name(d).c_str(), d.nparams, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < d.nparams; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t i = find_param(d, key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(d).c_str(), key);
                return false;
            }
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(d).c_str(),
                             d.params[i]);
                return false;
            }
            slots[i] = args[nargs + k];
        }
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i)
        if (slots[i] == nullptr) missing.push_back(d.params[i]);
    if (!missing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) list += missing.size() == 2 ? " and " : i + 1 == missing.size() ? ", and " : ", ";
            list += '\'';
            list += missing[i];
            list += '\'';
        }
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", full_name(d).c_str(), missing.size(),
                     missing.size() == 1 ? "argument" : "arguments", list.c_str());
        return false;
    }
    return true;
}

}  // namespace ostrilo::ext
