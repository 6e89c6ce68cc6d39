// Arrays out (arrays.hpp).
#include "arrays.hpp"

#include <cstring>

namespace ostrilo::ext {

PyObject* make_array(const double* data, std::size_t rows, std::size_t width) {
    PyObject* np = PyImport_ImportModule("numpy");
    if (np == nullptr) return nullptr;
    PyObject* arr = PyObject_CallMethod(np, "empty", "((nn)s)", static_cast<Py_ssize_t>(rows),
                                        static_cast<Py_ssize_t>(width), "float64");
    Py_DECREF(np);
    if (arr == nullptr) return nullptr;
    Py_buffer b;
    if (PyObject_GetBuffer(arr, &b, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        Py_DECREF(arr);
        return nullptr;
    }
    if (rows * width != 0) std::memcpy(b.buf, data, rows * width * sizeof(double));
    PyBuffer_Release(&b);
    return arr;
}

}  // namespace ostrilo::ext
