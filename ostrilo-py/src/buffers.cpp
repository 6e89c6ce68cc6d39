// Arrays at the border, on their way out: a VecList lends a read-only (n, 3) view of its own
// array, with a shared borrow that keeps append, extend and rotate away until the view is
// released; Vec3d and Quat hand out private copies.
#include "buffers.hpp"

#include <cstring>
#include <new>

#include "drevan/quat.hpp"
#include "drevan/vec3d.hpp"
#include "vec_list.hpp"

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

}  // namespace ostrilo
