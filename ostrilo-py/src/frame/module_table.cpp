// Modules: adding members, and the submodules that are created once per process.
#include "frame/module_table.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace ostrilo {

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return false;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return false;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    const bool ok = text != nullptr && PyList_Check(all) && PyList_Append(all, text) == 0;
    if (text != nullptr && !PyList_Check(all)) PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    Py_XDECREF(text);
    Py_DECREF(all);
    return ok && PyObject_SetAttrString(module, name, value) == 0;
}

bool add_class(PyObject* module, ClassObject& object) {
    PyTypeObject* tp = object.get();
    return tp != nullptr && add_to_module(module, object.name, reinterpret_cast<PyObject*>(tp));
}

bool add_function(PyObject* module, PyMethodDef* def) {
    PyObject* modname = PyModule_GetNameObject(module);
    if (modname == nullptr) return false;
    PyObject* fn = PyCFunction_NewEx(def, module, modname);
    Py_DECREF(modname);
    if (fn == nullptr) return false;
    const bool ok = add_to_module(module, def->ml_name, fn);
    Py_DECREF(fn);
    return ok;
}

namespace {

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* create_submodule(PyModuleDef& def) {
    PyObject* types = PyImport_ImportModule("types");
    if (types == nullptr) return nullptr;
    PyObject* ns_type = PyObject_GetAttrString(types, "SimpleNamespace");
    Py_DECREF(types);
    if (ns_type == nullptr) return nullptr;
    PyObject* args = PyTuple_New(0);
    PyObject* kwargs = Py_BuildValue("{s:s}", "name", def.m_name);
    PyObject* spec = args && kwargs ? PyObject_Call(ns_type, args, kwargs) : nullptr;
    Py_DECREF(ns_type);
    Py_XDECREF(args);
    Py_XDECREF(kwargs);
    if (spec == nullptr) return nullptr;
    PyObject* module = PyModule_FromDefAndSpec(&def, spec);
    Py_DECREF(spec);
    if (module == nullptr) return nullptr;
    if (PyModule_ExecDef(module, &def) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

bool add_submodule(PyObject* parent, PyModuleDef& def, std::atomic<PyObject*>& cache) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return false;
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules do not yet support subinterpreters, see "
                        "https://github.com/PyO3/pyo3/issues/576");
        return false;
    }
    PyObject* module = cache.load(std::memory_order_acquire);
    if (module == nullptr) {
        PyObject* made = create_submodule(def);
        if (made == nullptr) return false;
        PyObject* none = nullptr;
        if (cache.compare_exchange_strong(none, made)) {
            module = made;
        } else {
            Py_DECREF(made);
            module = none;
        }
    }
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return false;
    const char* full = PyUnicode_AsUTF8(name);
    if (full == nullptr) {
        Py_DECREF(name);
        return false;
    }
    const char* dot = std::strrchr(full, '.');
    const bool ok = add_to_module(parent, dot ? dot + 1 : full, module);
    Py_DECREF(name);
    return ok;
}

}  // namespace ostrilo
