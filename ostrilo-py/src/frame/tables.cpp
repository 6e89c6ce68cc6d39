// What the tables create: class objects from the parts a class table gathers, and the members of
// modules, with the submodules that are created once per process.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>

#include "frame/module_table.hpp"
#include "frame/runtime.hpp"

namespace ostrilo {

PyTypeObject* ClassObject::create_slow() noexcept {
    // A class belongs to the runtime that made it (see runtime.hpp).
    if (!forget_slot_at_runtime_end(&type)) return nullptr;
    return create_once(
        type, lock, [this] { return catching([this] { return create(); }, static_cast<PyTypeObject*>(nullptr)); },
        [](PyTypeObject* lost) { Py_DECREF(lost); });
}

PyTypeObject* create_class(std::unique_ptr<ClassParts> s) {
    bool has_new = false;
    for (const PyType_Slot& slot : s->slots)
        if (slot.slot == Py_tp_new) has_new = true;
    s->methods.push_back({nullptr, nullptr, 0, nullptr});
    s->getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    s->slots.push_back({Py_tp_methods, s->methods.data()});
    s->slots.push_back({Py_tp_getset, s->getset.data()});
    if (s->doc) s->slots.push_back({Py_tp_doc, const_cast<char*>(s->doc)});
#ifdef Py_tp_vectorcall
    // Given with the other slots, the class is complete before any thread can see it (a new
    // class is listed in object.__subclasses__() as soon as it exists).
    if (s->vectorcall) s->slots.push_back({Py_tp_vectorcall, reinterpret_cast<void*>(s->vectorcall)});
#endif
    s->slots.push_back({0, nullptr});
    auto spec = std::make_unique<PyType_Spec>(
        PyType_Spec{s->qualified_name, s->basicsize, 0,
                    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | (has_new ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION)),
                    s->slots.data()});
    PyObject* t = PyType_FromSpec(spec.get());
    if (t == nullptr) {
        // 3.11 fails without an error when its copy of the name cannot be allocated.
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;  // no class refers to the parts: they go
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(t);
#ifndef Py_tp_vectorcall
    if (s->vectorcall) tp->tp_vectorcall = s->vectorcall;
#endif
    // The class refers to its method tables, slots and names for the rest of the process.
    static_cast<void>(s.release());
    static_cast<void>(spec.release());
    return tp;
}

// ---------------------------------------------------------------------------------------------
// Modules

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

bool add_submodule(PyObject* parent, PyModuleDef& def, std::atomic<PyObject*>& cache, CreationLock& lock) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return false;
    // The first interpreter of each runtime claims the module (see runtime.hpp): a runtime that
    // finalised has no interpreters left.
    if (!forget_at_runtime_end([](void*) noexcept { g_interpreter_id.store(-1); }, &g_interpreter_id) ||
        !forget_slot_at_runtime_end(&cache))
        return false;
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules do not yet support subinterpreters, see "
                        "https://github.com/PyO3/pyo3/issues/576");
        return false;
    }
    PyObject* module =
        create_once(cache, lock, [&def] { return create_submodule(def); }, [](PyObject* lost) { Py_DECREF(lost); });
    if (module == nullptr) return false;
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
