// Arrays at the border. Out: a VecList lends a read-only (n, 3) view of its own array, with a
// shared borrow that keeps append, extend and rotate away until the view is released; Vec3d and
// Quat hand out private copies. In: VecList(obj) copies a 2-D (n, 3) buffer of native doubles
// or floats, with any strides, before it falls back to reading a sequence of Vec3d.
#include "buffers.hpp"

#include <bit>
#include <cstring>
#include <new>

#include "drevan/quat.hpp"
#include "drevan/vec3d.hpp"
#include "worker_pool.hpp"

namespace ostrilo {

using drevan::Quat;
using drevan::Vec3d;

namespace {

[[gnu::cold]] int raise_buffer_error(const char* message) {
    PyErr_SetString(PyExc_BufferError, message);
    return -1;
}

constexpr bool wants(int flags, int request) { return (flags & request) == request; }

// Shape and strides of one exported view; lives in view->internal until the view is released.
// Vec3d and Quat views also carry their private copy of the values here.
struct ViewInfo {
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    double values[4];
};

// Fills view for `ndim` dimensions of doubles at buf, read-only and C-contiguous. A consumer
// that asks for neither shape nor format gets the same bytes as a plain 1-D byte buffer.
int fill_view(PyObject* self, Py_buffer* view, int flags, void* buf, int ndim, ViewInfo* info) {
    Py_ssize_t len = sizeof(double);
    for (int d = 0; d < ndim; ++d) len *= info->shape[d];
    view->buf = buf;
    view->obj = Py_NewRef(self);
    view->len = len;
    view->readonly = 1;
    view->suboffsets = nullptr;
    view->internal = info;
    if (wants(flags, PyBUF_ND)) {
        view->itemsize = sizeof(double);
        view->format = wants(flags, PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
        view->ndim = ndim;
        view->shape = info->shape;
        view->strides = wants(flags, PyBUF_STRIDES) ? info->strides : nullptr;
    } else {
        view->itemsize = 1;
        view->format = wants(flags, PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
        view->ndim = 1;
        view->shape = nullptr;
        view->strides = nullptr;
    }
    return 0;
}

// Checks the consumer's request against a read-only, C-contiguous array whose first dimension
// has `rows` entries; -1 with BufferError when it cannot be met.
int check_request(int flags, Py_ssize_t rows, int ndim, const char* read_only_message) {
    if (wants(flags, PyBUF_WRITABLE)) return raise_buffer_error(read_only_message);
    // A C-contiguous array is Fortran-contiguous too only when at most one dimension exceeds 1.
    if (wants(flags, PyBUF_F_CONTIGUOUS) && ndim == 2 && rows > 1)
        return raise_buffer_error("the array is C-contiguous, not Fortran-contiguous");
    return 0;
}

ViewInfo* new_info() {
    auto* info = static_cast<ViewInfo*>(PyMem_Malloc(sizeof(ViewInfo)));
    if (info == nullptr) PyErr_NoMemory();
    return info;
}

// Something for an empty list's view to point at: consumers may not expect a null buffer.
alignas(double) const unsigned char empty_storage[sizeof(double)] = {};

template <class T, std::size_t N>
int copy_getbuffer(PyObject* self, Py_buffer* view, int flags, const char* read_only_message,
                   void (*read)(const T&, double*)) {
    if (view == nullptr) return raise_buffer_error("a buffer request needs a view");
    if (check_request(flags, N, 1, read_only_message) < 0) return -1;
    ViewInfo* info = new_info();
    if (info == nullptr) return -1;
    {
        // Copied under a momentary shared borrow; the view keeps no borrow, so setters go on working.
        Shared<T> b;
        if (!b.acquire_receiver(self)) {
            PyMem_Free(info);
            return -1;
        }
        read(b.get(), info->values);
    }
    info->shape[0] = N;
    info->strides[0] = sizeof(double);
    return fill_view(self, view, flags, info->values, 1, info);
}

void read_vec3d(const Vec3d& v, double* out) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

void read_quat(const Quat& q, double* out) {
    out[0] = q.w;
    out[1] = q.i;
    out[2] = q.j;
    out[3] = q.k;
}

// ---------------------------------------------------------------------------------------------
// Buffers in

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

}  // namespace

int vec_list_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    if (view == nullptr) return raise_buffer_error("a buffer request needs a view");
    Obj<VecList>* o = as_obj<VecList>(self);
    ViewInfo* info = new_info();
    if (info == nullptr) return -1;
    if (!try_borrow_shared(o->flag)) {
        PyMem_Free(info);
        raise_already_mutably_borrowed();
        return -1;
    }
    // Under the borrow the array cannot change until the view is released.
    const std::size_t n = o->value.items.size();
    if (check_request(flags, static_cast<Py_ssize_t>(n), 2, "VecList buffers are read-only") < 0) {
        release_shared(o->flag);
        PyMem_Free(info);
        return -1;
    }
    info->shape[0] = static_cast<Py_ssize_t>(n);
    info->shape[1] = 3;
    info->strides[0] = sizeof(Vec3d);
    info->strides[1] = sizeof(double);
    void* data = n == 0 ? const_cast<unsigned char*>(empty_storage) : static_cast<void*>(o->value.items.data());
    return fill_view(self, view, flags, data, 2, info);
}

void vec_list_releasebuffer(PyObject* self, Py_buffer* view) {
    release_shared(as_obj<VecList>(self)->flag);
    PyMem_Free(view->internal);
}

int vec3d_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return copy_getbuffer<Vec3d, 3>(self, view, flags, "Vec3d buffers are read-only copies", read_vec3d);
}

int quat_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return copy_getbuffer<Quat, 4>(self, view, flags, "Quat buffers are read-only copies", read_quat);
}

void copy_releasebuffer(PyObject*, Py_buffer* view) { PyMem_Free(view->internal); }

int read_rows(PyObject* o, VecArray& out) {
    if (!PyObject_CheckBuffer(o)) return 0;
    HeldView h;
    // Strides and format, read-only: what every exporter can give without copying.
    if (PyObject_GetBuffer(o, &h.view, PyBUF_RECORDS_RO) < 0) return -1;
    h.held = true;
    const Py_buffer& v = h.view;
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

}  // namespace ostrilo
