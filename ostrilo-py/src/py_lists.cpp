// Results of list operations as Python lists.
#include "py_lists.hpp"

#include "vec3d.hpp"

namespace ostrilo {

PyList<double> float_list(const double* values, std::size_t n) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return {nullptr};
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (f == nullptr) {
            Py_DECREF(list);
            return {nullptr};
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
    }
    return {list};
}

PyList<bool> bool_list(const unsigned char* values, std::size_t n) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return {nullptr};
    for (std::size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(values[i] ? Py_True : Py_False));
    return {list};
}

PyList<drevan::Vec3d> vec_objects(const VecArray& items) {
    PyTypeObject* tp = class_object<drevan::Vec3d>.get();
    if (tp == nullptr) return {nullptr};
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) return {nullptr};
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* v = new_instance<drevan::Vec3d>(tp, items[i]);
        if (v == nullptr) {
            Py_DECREF(list);
            return {nullptr};
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), v);
    }
    return {list};
}

}  // namespace ostrilo
