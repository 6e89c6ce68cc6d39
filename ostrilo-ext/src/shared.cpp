// Taking ostrilo_py's table (shared.hpp).
#include "shared.hpp"

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

template <class T>
bool check_class(const SharedApi& api) {
    const SharedClassEntry& e = api.classes[static_cast<std::size_t>(shared_class_of<T>())];
    if (e.type == nullptr || e.allocate == nullptr) return mismatch("the class table");
    if (e.instance_size != instance_size_of<T> || e.value_size != value_size_of<T>)
        return mismatch(Bound<T>::name.data);
    return true;
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
    void* p = PyCapsule_Import(kSharedApiCapsule, 0);
    if (p == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError,
                        "ostrilo_ext needs the private module _ostrilo_py_shared beside ostrilo_py (a bare build "
                        "tree has none): install the package");
        return false;
    }
    const auto* api = static_cast<const SharedApi*>(p);
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
