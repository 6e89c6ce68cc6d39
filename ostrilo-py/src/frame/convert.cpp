// Conversions that may call back into the interpreter.
#include "frame/convert.hpp"

#include <cstdint>

namespace ostrilo {

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

bool tuple_put(PyObject* tuple, Py_ssize_t at, PyObject* item) {
    if (item == nullptr) return false;
    PyTuple_SET_ITEM(tuple, at, item);
    return true;
}

}  // namespace ostrilo
