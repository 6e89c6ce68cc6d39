// Reading elements in. VecList(obj) takes, in this order: a list or tuple of Vec3d (read in
// place), another VecList (its array), a 2-D (n, 3) buffer of native doubles or floats with any
// strides (copied on the pool), and any other sequence of Vec3d (through iteration).
#include "vec_list_input.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "vec3d.hpp"
#include "vec_list.hpp"
#include "worker_pool.hpp"

namespace ostrilo {

using drevan::Vec3d;

namespace {

// ---------------------------------------------------------------------------------------------
// Buffers

enum class Element { None, Double, Float };

// The element type of a buffer format: native doubles or floats only ("d", "@d", "=d", or with
// the byte order of this machine spelt out; the same for "f").
Element element_of(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return Element::None;  // unsigned bytes
    constexpr char native_order = std::endian::native == std::endian::little ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == native_order) ++format;
    if (format[0] == '\0' || format[1] != '\0') return Element::None;
    if (format[0] == 'd' && itemsize == sizeof(double)) return Element::Double;
    if (format[0] == 'f' && itemsize == sizeof(float)) return Element::Float;
    return Element::None;
}

// Copies rows [b, e) of an (n, 3) array with byte strides s0, s1 into out. Strides need not be
// multiples of the element size, so each element is read with memcpy.
template <class E>
void copy_rows(const char* base, Py_ssize_t s0, Py_ssize_t s1, Vec3d* out, std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
        const char* row = base + static_cast<Py_ssize_t>(i) * s0;
        E c[3];
        std::memcpy(&c[0], row, sizeof(E));
        std::memcpy(&c[1], row + s1, sizeof(E));
        std::memcpy(&c[2], row + 2 * s1, sizeof(E));
        out[i] = Vec3d{static_cast<double>(c[0]), static_cast<double>(c[1]), static_cast<double>(c[2])};
    }
}

// A plain copy runs at memory speed on one thread; a second one only pays for its hand-off (and,
// on a busy machine, for waiting until it is scheduled) from tens of megabytes on.
constexpr pool::Grain kPlainCopy{std::size_t{1} << 20};

// Releases a buffer view on every exit.
struct HeldView {
    Py_buffer view;
    bool held = false;
    ~HeldView() {
        if (held) PyBuffer_Release(&view);
    }
};

// Whether the pending error of a failed buffer request may be set aside for the sequence path:
// an exporter that cannot describe its elements as a buffer (numpy's datetimes raise ValueError,
// a class's own __buffer__ may raise anything) is no reason to refuse a sequence. A BufferError
// (the buffer exists but cannot be lent as asked: locked, or indirect), running out of memory and
// interruptions are not set aside.
bool sequence_may_follow(PyObject* o) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
        PyErr_ExceptionMatches(PyExc_BufferError))
        return false;
    return PySequence_Check(o) && !PyUnicode_Check(o);
}

}  // namespace

int read_rows(PyObject* o, VecArray& out) {
    if (!PyObject_CheckBuffer(o)) return 0;
    HeldView h;
    // Strides and format, read-only: what every exporter can give without copying.
    if (PyObject_GetBuffer(o, &h.view, PyBUF_RECORDS_RO) < 0) {
        if (!sequence_may_follow(o)) return -1;
        PyErr_Clear();
        return 0;
    }
    h.held = true;
    const Py_buffer& v = h.view;
    // The request did not ask for indirect arrays; an exporter that hands out suboffsets anyway
    // describes memory that cannot be read as strided rows.
    if (v.suboffsets != nullptr) {
        PyErr_SetString(PyExc_BufferError, "the buffer has suboffsets, but indirect buffers were not requested");
        return -1;
    }
    const Element element = element_of(v.format, v.itemsize);
    if (element == Element::None || v.ndim != 2 || v.shape == nullptr || v.shape[1] != 3) return 0;
    // An exporter's length is the product of its shape and item size; a buffer that claims rows
    // it has no memory for (a zero length, no pointer) is refused, never read.
    const Py_ssize_t rows = v.shape[0];
    if (rows < 0 || (rows > 0 && (v.buf == nullptr || rows > PY_SSIZE_T_MAX / (3 * v.itemsize) ||
                                  v.len != rows * 3 * v.itemsize))) {
        PyErr_Format(PyExc_BufferError, "the buffer's length (%zd bytes) does not match its shape (%zd, 3)", v.len,
                     rows);
        return -1;
    }
    const auto n = static_cast<std::size_t>(rows);
    // Without strides the exporter's array is C-contiguous.
    const Py_ssize_t s1 = v.strides ? v.strides[1] : v.itemsize;
    const Py_ssize_t s0 = v.strides ? v.strides[0] : 3 * v.itemsize;
    try {
        VecArray rows;
        rows.resize(n);  // uninitialised; a length no allocator can meet throws std::bad_alloc
        const char* base = static_cast<const char*>(v.buf);
        Vec3d* dst = rows.data();
        if (element == Element::Double && s1 == sizeof(double) && s0 == sizeof(Vec3d)) {
            pool::for_blocks(
                n,
                [=](std::size_t b, std::size_t e) {
                    std::memcpy(dst + b, base + b * sizeof(Vec3d), (e - b) * sizeof(Vec3d));
                },
                kPlainCopy);
        } else if (element == Element::Double) {
            pool::for_blocks(n, [=](std::size_t b, std::size_t e) { copy_rows<double>(base, s0, s1, dst, b, e); });
        } else {
            pool::for_blocks(n, [=](std::size_t b, std::size_t e) { copy_rows<float>(base, s0, s1, dst, b, e); });
        }
        out = std::move(rows);
    } catch (const std::bad_alloc&) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate a VecList of %zd elements", v.shape[0]);
        return -1;
    }
    return 1;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Sequences

// A length reported by __len__ is only a hint: a sequence may claim sys.maxsize and yield two
// items. Reserve at most this many elements from it; longer sequences grow geometrically.
constexpr std::size_t kHintCap = std::size_t{1} << 16;

[[gnu::cold]] void raise_str_not_vec() { PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

// The vector held by item, copied out under a momentary shared borrow; false with the error set.
inline bool read_vec(PyObject* item, PyTypeObject* vec_type, Vec3d& out) {
    if (Py_TYPE(item) != vec_type) [[unlikely]] {
        raise_not_instance(item, "Vec3d");
        return false;
    }
    Shared<Vec3d> b;
    if (!b.acquire_unchecked(item)) [[unlikely]]
        return false;
    out = b.get();
    return true;
}

// Lists and tuples: their items are read in place. Nothing here runs Python code, so the list
// cannot change while it is read (on a free-threaded interpreter the critical section keeps
// other threads out).
bool gather_fast(PyObject* o, PyTypeObject* vec_type, VecArray& out) {
    bool ok = true;
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(o);
#endif
    const bool is_list = PyList_CheckExact(o);
    const Py_ssize_t n = is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
    PyObject** items =
        is_list ? reinterpret_cast<PyListObject*>(o)->ob_item : reinterpret_cast<PyTupleObject*>(o)->ob_item;
    try {
        out = uninitialised(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n && ok; ++i) ok = read_vec(items[i], vec_type, out[static_cast<std::size_t>(i)]);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        ok = false;
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    return ok;
}

// Any other sequence: the iteration protocol, with the length as a capped capacity hint.
bool gather_iter(PyObject* o, PyTypeObject* vec_type, VecArray& out) {
    const Py_ssize_t len = PyObject_Size(o);
    if (len < 0) PyErr_Clear();
    try {
        if (len > 0) out.reserve(std::min(static_cast<std::size_t>(len), kHintCap));
    } catch (const std::bad_alloc&) {
        // A hint that cannot be honoured is no error: the array grows as items arrive.
    }
    PyObject* it = PyObject_GetIter(o);
    if (it == nullptr) return false;
    bool ok = true;
    try {
        while (PyObject* item = PyIter_Next(it)) {
            Vec3d v;
            ok = read_vec(item, vec_type, v);
            Py_DECREF(item);
            if (!ok) break;
            out.push_back(v);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        ok = false;
    }
    Py_DECREF(it);
    return ok && !PyErr_Occurred();
}

}  // namespace

// The argument conversion of `list`.
bool Caster<Gathered>::from(PyObject* o, Gathered& h) noexcept {
    if (PyUnicode_Check(o)) {
        raise_str_not_vec();
        return false;
    }
    PyTypeObject* vec_type = class_object<Vec3d>.get();
    if (vec_type == nullptr) return false;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return gather_fast(o, vec_type, h.items);
    if (Py_TYPE(o) == class_object<VecList>.peek()) {
        // Another list: its array, read under a shared borrow.
        Shared<VecList> b;
        if (!b.acquire_unchecked(o)) return false;
        try {
            h.items = copy_of(b.get().items);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    // A 2-D (n, 3) array of doubles or floats; any other buffer is read as a sequence.
    if (const int taken = read_rows(o, h.items); taken != 0) return taken > 0;
    if (!PySequence_Check(o)) {
        raise_not_instance(o, "Sequence");
        return false;
    }
    return gather_iter(o, vec_type, h.items);
}

}  // namespace ostrilo
