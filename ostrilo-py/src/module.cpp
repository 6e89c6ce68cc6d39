// The module's entry point, its two execution steps and the geometry submodule.
#include <atomic>
#include <cstring>

#include "frame/frame.hpp"

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

bool add_class(PyObject* module, ClassInfo& info) {
    PyTypeObject* tp = info.get();
    return tp != nullptr && add_to_module(module, info.name, reinterpret_cast<PyObject*>(tp));
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

// Classes that are built into this library (a class whose code is not linked is skipped).
bool add_linked_class(PyObject* module, ClassInfo* info) { return info == nullptr || add_class(module, *info); }

int geometry_exec(PyObject* module) {
    if (!add_linked_class(module, &circle_class)) return -1;
    if (&geometry_functions != nullptr)
        for (PyMethodDef* def = geometry_functions; def->ml_name != nullptr; ++def)
            if (!add_function(module, def)) return -1;
    if (!add_linked_class(module, &plane_class)) return -1;
    return 0;
}

PyModuleDef_Slot geometry_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&geometry_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef geometry_def = {
    PyModuleDef_HEAD_INIT, "ostrilo_py.geometry", "", 0, nullptr, geometry_slots, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter_id{-1};
std::atomic<PyObject*> g_geometry{nullptr};

PyObject* create_geometry() {
    PyObject* types = PyImport_ImportModule("types");
    if (types == nullptr) return nullptr;
    PyObject* ns_type = PyObject_GetAttrString(types, "SimpleNamespace");
    Py_DECREF(types);
    if (ns_type == nullptr) return nullptr;
    PyObject* args = PyTuple_New(0);
    PyObject* kwargs = Py_BuildValue("{s:s}", "name", "ostrilo_py.geometry");
    PyObject* spec = args && kwargs ? PyObject_Call(ns_type, args, kwargs) : nullptr;
    Py_DECREF(ns_type);
    Py_XDECREF(args);
    Py_XDECREF(kwargs);
    if (spec == nullptr) return nullptr;
    PyObject* module = PyModule_FromDefAndSpec(&geometry_def, spec);
    Py_DECREF(spec);
    if (module == nullptr) return nullptr;
    if (PyModule_ExecDef(module, &geometry_def) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

bool add_geometry(PyObject* parent) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return false;
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules do not yet support subinterpreters, see "
                        "https://github.com/PyO3/pyo3/issues/576");
        return false;
    }
    PyObject* module = g_geometry.load(std::memory_order_acquire);
    if (module == nullptr) {
        PyObject* made = create_geometry();
        if (made == nullptr) return false;
        PyObject* none = nullptr;
        if (g_geometry.compare_exchange_strong(none, made)) {
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

// The members of both modules in registration order, for the interface records.
[[OSTRILO_INTERFACE_SECTION]] constexpr char module_description[] =
    "R\tostrilo_py\tAngleDegrees,AngleRadians,Quat,VecList,Vec3d,geometry\n"
    "R\tgeometry\tCircle,circle_circle,circle_point,circle_point_unchecked,plane_line,Plane\n";

int ostrilo_exec(PyObject* module) {
    if (!add_linked_class(module, &angle_degrees_class)) return -1;
    if (!add_linked_class(module, &angle_radians_class)) return -1;
    if (!add_linked_class(module, &quat_class)) return -1;
    if (!add_linked_class(module, &vec_list_class)) return -1;
    if (!add_class(module, vec3d_class)) return -1;
    if (!add_geometry(module)) return -1;
    return 0;
}

PyModuleDef_Slot ostrilo_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&ostrilo_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef ostrilo_def = {
    PyModuleDef_HEAD_INIT, "ostrilo_py", "", 0, nullptr, ostrilo_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ostrilo

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_ostrilo_py() {
    return PyModuleDef_Init(&ostrilo::ostrilo_def);
}
