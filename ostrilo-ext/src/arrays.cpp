// Numbers in and out (arrays.hpp).
#include "arrays.hpp"

#include <bit>
#include <cstring>

namespace ostrilo::ext {

namespace {

[[noreturn, gnu::cold]] void fail(PyObject* type, const char* what, const char* text) {
    PyErr_Format(type, "%s %s", what, text);
    throw_pyerr();
}

// Releases a buffer view on every exit.
struct View {
    Py_buffer b{};
    bool held = false;
    ~View() {
        if (held) PyBuffer_Release(&b);
    }
};

// 'd' (or '<d' / '=d' where that is the native order) and the same for 'f'; 0 otherwise.
char format_kind(const char* f) {
    if (f == nullptr) return 'B';
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
    if ((f[0] == 'd' || f[0] == 'f') && f[1] == '\0') return f[0];
    return 0;
}

double item_at(const Py_buffer& b, const char* p) {
    if (b.itemsize == 8) {
        double d;
        std::memcpy(&d, p, 8);
        return d;
    }
    float f;
    std::memcpy(&f, p, 4);
    return static_cast<double>(f);
}

}  // namespace

double read_double(PyObject* o, const char* what) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be numbers, not '%s'", what, Py_TYPE(o)->tp_name);
        }
        throw_pyerr();
    }
    return v;
}

void read_flat(PyObject* o, double* out, std::size_t n, const char* what) {
    if (PyUnicode_Check(o) || PyBytes_Check(o)) fail(PyExc_TypeError, what, "must be a sequence of numbers");
    PyObject* seq = PySequence_Fast(o, "");
    if (seq == nullptr) {
        PyErr_Clear();
        fail(PyExc_TypeError, what, "must be a sequence of numbers");
    }
    const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq);
    if (len != static_cast<Py_ssize_t>(n)) {
        Py_DECREF(seq);
        PyErr_Format(PyExc_ValueError, "%s must have %zu numbers, not %zd", what, n, len);
        throw_pyerr();
    }
    try {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = read_double(PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(i)), what);
    } catch (...) {
        Py_DECREF(seq);
        throw;
    }
    Py_DECREF(seq);
}

bool is_batch(PyObject* o) {
    if (PyObject_CheckBuffer(o)) {
        View v;
        if (PyObject_GetBuffer(o, &v.b, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            return false;
        }
        v.held = true;
        return v.b.ndim == 2;
    }
    if (!PySequence_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o)) return false;
    if (PySequence_Size(o) <= 0) {
        PyErr_Clear();
        return PySequence_Check(o);  // an empty sequence is an empty batch
    }
    PyObject* first = PySequence_GetItem(o, 0);
    if (first == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool nested = PySequence_Check(first) && !PyUnicode_Check(first) && !PyBytes_Check(first);
    Py_DECREF(first);
    return nested;
}

std::vector<double> read_rows(PyObject* o, std::size_t width, const char* what) {
    std::vector<double> out;
    if (PyObject_CheckBuffer(o)) {
        View v;
        if (PyObject_GetBuffer(o, &v.b, PyBUF_STRIDES | PyBUF_FORMAT) < 0) throw_pyerr();
        v.held = true;
        const char kind = format_kind(v.b.format);
        if (kind == 0 || (kind == 'd' && v.b.itemsize != 8) || (kind == 'f' && v.b.itemsize != 4))
            fail(PyExc_TypeError, what, "must hold float64 or float32 numbers");
        if (v.b.ndim != 2 || v.b.shape[1] != static_cast<Py_ssize_t>(width)) {
            PyErr_Format(PyExc_ValueError, "%s must have the shape (n, %zu)", what, width);
            throw_pyerr();
        }
        const auto rows = static_cast<std::size_t>(v.b.shape[0]);
        out.resize(rows * width);
        const char* base = static_cast<const char*>(v.b.buf);
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < width; ++c)
                out[r * width + c] = item_at(v.b, base + static_cast<Py_ssize_t>(r) * v.b.strides[0] +
                                                      static_cast<Py_ssize_t>(c) * v.b.strides[1]);
        return out;
    }
    if (PyUnicode_Check(o) || PyBytes_Check(o)) fail(PyExc_TypeError, what, "must be a sequence of rows");
    PyObject* seq = PySequence_Fast(o, "");
    if (seq == nullptr) {
        PyErr_Clear();
        fail(PyExc_TypeError, what, "must be a sequence of rows");
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    try {
        out.resize(static_cast<std::size_t>(n) * width);
        for (Py_ssize_t r = 0; r < n; ++r)
            read_flat(PySequence_Fast_GET_ITEM(seq, r), out.data() + static_cast<std::size_t>(r) * width, width, what);
    } catch (...) {
        Py_DECREF(seq);
        throw;
    }
    Py_DECREF(seq);
    return out;
}

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
