// Taking ostrilo_py's table (shared.hpp).
#include "shared.hpp"

#include <cstring>

#include "geometry/circle.hpp"
#include "geometry/plane.hpp"

namespace ostrilo {

PyTypeObject* shared_class(SharedClass which) {
    if (g_shared == nullptr) {
        PyErr_SetString(PyExc_ImportError, "ostrilo_ext has not been initialised");
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(
        Py_NewRef(reinterpret_cast<PyObject*>(g_shared->classes[static_cast<std::size_t>(which)].type)));
}

// VecList's arrays: ostrilo_py allocates and frees them, whichever library holds the list.
void* allocate_array(std::size_t bytes) {
    void* p = g_shared->allocate_array(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void free_array(void* p) noexcept { g_shared->free_array(p); }

PyTypeObject* Bound<VecList>::create() { return shared_class(SharedClass::VecList); }
PyTypeObject* Bound<drevan::geometry::Plane>::create() { return shared_class(SharedClass::Plane); }
PyTypeObject* Bound<drevan::geometry::Circle>::create() { return shared_class(SharedClass::Circle); }

namespace {

[[gnu::cold]] bool mismatch(const char* what) {
    PyErr_Format(PyExc_ImportError,
                 "ostrilo_ext does not match the installed ostrilo_py (%s differs): both come from one "
                 "package and must be installed together",
                 what);
    return false;
}

[[gnu::cold]] bool not_the_class(const char* expected, const SharedClassEntry& e) {
    PyErr_Format(PyExc_ImportError,
                 "ostrilo_ext does not match the installed ostrilo_py: the entry of its class table where "
                 "ostrilo_ext expects %s holds %.16s (class object %s); both come from one package and must be "
                 "installed together",
                 expected, e.name[0] != '\0' ? e.name : "no name", e.type->tp_name);
    return false;
}

// The entry of T is T's: its name, and the name and instance size of the class object it holds
// (builtins.<name>, as the class tables make it), not only sizes that another class can share.
template <class T>
bool check_class(const SharedApi& api) {
    const SharedClassEntry& e = api.classes[static_cast<std::size_t>(shared_class_of<T>())];
    if (e.type == nullptr || e.allocate == nullptr) return mismatch("the class table");
    const char* name = Bound<T>::name.data;
    const char* held = e.type->tp_name;
    if (!entry_named(e, name) || std::strncmp(held, "builtins.", 9) != 0 || std::strcmp(held + 9, name) != 0)
        return not_the_class(name, e);
    if (e.instance_size != instance_size_of<T> || e.value_size != value_size_of<T> ||
        e.type->tp_basicsize != static_cast<Py_ssize_t>(e.instance_size))
        return mismatch(name);
    return true;
}

// Where ostrilo_py's table is not to be had, why: the import cannot be fixed without knowing.
[[gnu::cold]] bool no_table(PyObject* found) {
    if (found == nullptr)
        PyErr_SetString(PyExc_ImportError,
                        "ostrilo_ext cannot take ostrilo_py's classes: _ostrilo_py_shared has no 'api', which "
                        "ostrilo_py places there when it is first imported (was _ostrilo_py_shared removed from "
                        "sys.modules, or its 'api' deleted, after that? Restart the interpreter)");
    else if (!PyCapsule_CheckExact(found))
        PyErr_Format(PyExc_ImportError,
                     "ostrilo_ext cannot take ostrilo_py's classes: _ostrilo_py_shared.api is not ostrilo_py's "
                     "class table but an object of type '%s'",
                     Py_TYPE(found)->tp_name);
    else if (const char* name = PyCapsule_GetName(found); name != nullptr)
        PyErr_Format(PyExc_ImportError,
                     "ostrilo_ext cannot take ostrilo_py's classes: _ostrilo_py_shared.api is not ostrilo_py's "
                     "class table but a capsule named '%s'",
                     name);
    else
        PyErr_SetString(PyExc_ImportError,
                        "ostrilo_ext cannot take ostrilo_py's classes: _ostrilo_py_shared.api is not ostrilo_py's "
                        "class table but an unnamed capsule");
    return false;
}

// ostrilo_py's table from its capsule; null with an ImportError that says what is missing.
const SharedApi* take_table() {
    PyObject* helper = PyImport_ImportModule(kSharedApiModule);
    if (helper == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError,
                            "ostrilo_ext needs the private module _ostrilo_py_shared beside ostrilo_py (a bare "
                            "build tree has none): install the package");
        }
        return nullptr;
    }
    PyObject* found = PyObject_GetAttrString(helper, "api");
    Py_DECREF(helper);
    if (found == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        no_table(nullptr);
        return nullptr;
    }
    // The table is ostrilo_py's for the process: the pointer outlives the capsule.
    void* p = PyCapsule_IsValid(found, kSharedApiCapsule) ? PyCapsule_GetPointer(found, kSharedApiCapsule) : nullptr;
    if (p == nullptr) no_table(found);
    Py_DECREF(found);
    return static_cast<const SharedApi*>(p);
}

template <class T>
bool bind_class() {
    return class_object<T>.get() != nullptr;
}

}  // namespace

bool import_shared(PyObject*) {
    PyObject* core = PyImport_ImportModule("ostrilo_py");
    if (core == nullptr) return false;
    Py_DECREF(core);
    const SharedApi* api = take_table();
    if (api == nullptr) return false;
    if (api->version != kSharedApiVersion) return mismatch("the table's version");
    if (api->size != sizeof(SharedApi)) return mismatch("the table's size");
    if (!(api->layout == SharedLayout{})) return mismatch("the instance layout");
    if (!(check_class<drevan::Vec3d>(*api) && check_class<drevan::Quat>(*api) &&
          check_class<drevan::AngleRadians>(*api) && check_class<drevan::AngleDegrees>(*api) &&
          check_class<VecList>(*api) && check_class<drevan::geometry::Plane>(*api) &&
          check_class<drevan::geometry::Circle>(*api)))
        return false;
    if (api->panic_exception == nullptr || api->allocate_array == nullptr || api->free_array == nullptr ||
        api->for_blocks == nullptr || api->thread_count == nullptr)
        return mismatch("the table");
    g_shared = api;
    adopt_panic_exception_type(api->panic_exception);
    return bind_class<drevan::Vec3d>() && bind_class<drevan::Quat>() && bind_class<drevan::AngleRadians>() &&
           bind_class<drevan::AngleDegrees>() && bind_class<VecList>() && bind_class<drevan::geometry::Plane>() &&
           bind_class<drevan::geometry::Circle>();
}

}  // namespace ostrilo
