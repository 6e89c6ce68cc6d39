// New NumPy arrays for results (arrays.hpp).
#include "arrays.hpp"

#include <utility>

namespace ostrilo::ext {

NewArray::NewArray(std::initializer_list<std::size_t> shape, const char* dtype) {
    PyObject* dims = PyTuple_New(static_cast<Py_ssize_t>(shape.size()));
    if (dims == nullptr) throw_pyerr();
    Py_ssize_t k = 0;
    for (std::size_t d : shape) {
        PyObject* x = PyLong_FromSize_t(d);
        if (x == nullptr) {
            Py_DECREF(dims);
            throw_pyerr();
        }
        PyTuple_SET_ITEM(dims, k++, x);
    }
    PyObject* np = PyImport_ImportModule("numpy");
    if (np == nullptr) {
        Py_DECREF(dims);
        throw_pyerr();
    }
    array_ = PyObject_CallMethod(np, "empty", "(Os)", dims, dtype);
    Py_DECREF(np);
    Py_DECREF(dims);
    if (array_ == nullptr) throw_pyerr();
    if (PyObject_GetBuffer(array_, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        Py_CLEAR(array_);
        throw_pyerr();
    }
}

NewArray::~NewArray() {
    if (array_ != nullptr) {
        PyBuffer_Release(&view_);
        Py_DECREF(array_);
    }
}

PyObject* NewArray::release() {
    PyBuffer_Release(&view_);
    return std::exchange(array_, nullptr);
}

}  // namespace ostrilo::ext
